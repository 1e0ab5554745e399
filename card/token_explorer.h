#pragma once
// The token explorer: a dialog whose pages hold what the PKCS#11 module, the
// reader and the card report, the card's mechanisms and a tree of the objects on
// the card. The card component creates it and refills it every time it has opened
// a session (FillPages); the program itself never shows it. It only reads: nothing
// is created, deleted, generated or stored on the card.
//
// Fixed-width PKCS#11 text fields are blank-padded and not NUL-terminated; they are
// shown through CutAtDoubleBlank, never read as C strings.
#include <QDialog>
#include <QString>
#include <QTreeWidgetItem>
#include <memory>

#include "interfaces/pkcs11.h"

class QGroupBox;
class QPushButton;
class QTabWidget;
class QTreeWidget;

// The text of a fixed-width field: its bytes up to the first pair of blanks (or a
// NUL), at most width of them, as UTF-8.
QString CutAtDoubleBlank(const void* text, size_t width);
template <size_t N>
QString CutAtDoubleBlank(const CK_UTF8CHAR (&field)[N]) {
  return CutAtDoubleBlank(field, N);
}

// What the explorer keeps of one listed object.
struct TokenObjectRecord {
  CK_OBJECT_HANDLE Handle = 0;
  CK_OBJECT_CLASS ObjectClass = 0;
  QString LabelText;
  CK_KEY_TYPE KeyType = 0;  // key objects
  QString ValueText;        // data objects (value as code page 1250 text), certificates
};

// A node of the object tree; the node that carries a record owns it.
class TokenObjectNode : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  std::unique_ptr<TokenObjectRecord> Record;
  // The record a node of the object tree carries, or nullptr.
  static const TokenObjectRecord* RecordOf(const QTreeWidgetItem* item);
};

class TCardAppDlg : public QDialog {
  Q_OBJECT
 public:
  // Most objects one fill lists.
  static constexpr CK_ULONG kMaxObjects = 50;
  // Longest label and data value read (bytes).
  static constexpr CK_ULONG kAttributeBuffer = 52;
  // Most mechanisms the page takes from a module: far more than any token has; a
  // count above it is not believed far enough to allocate for it.
  static constexpr CK_ULONG kMaxMechanisms = 4096;

  explicit TCardAppDlg(QWidget* parent = nullptr);
  ~TCardAppDlg() override;

  // Pages, in order: "Opće informacije", "Čitač", "Kartica", "Mehanizmi",
  // "Objekti na kartici".
  QTabWidget* PageControl = nullptr;
  QTreeWidget* GeneralList = nullptr;
  QTreeWidget* ReaderList = nullptr;
  QTreeWidget* TokenList = nullptr;
  QGroupBox* MechanismBox = nullptr;
  QTreeWidget* MechanismList = nullptr;
  QGroupBox* ObjectBox = nullptr;
  QTreeWidget* ObjectTree = nullptr;
  QPushButton* ExitBtn = nullptr;

  // The slot and session of the last fill.
  CK_SLOT_ID Slot = 0;
  CK_SESSION_HANDLE Session = 0;
  // Objects found by the last tree fill, and labels too long to read so far in it.
  CK_ULONG ObjectCount = 0;
  int LongLabelCount = 0;

  // Empties and refills every page for the slot and session (called right after
  // the card component has opened the session).
  void FillPages(CK_SLOT_ID slot, CK_SESSION_HANDLE session);
  void FillGeneralPage(const CK_INFO& info);
  void FillReaderPage(CK_SLOT_ID slot, const CK_SLOT_INFO& info);
  void FillTokenPage(const CK_TOKEN_INFO& info);
  void AddMechanismRow(CK_MECHANISM_TYPE code);
  // Fills the object tree from Session under the wait cursor; the last PKCS#11
  // result (0 on success).
  CK_RV OtvoriSesiju();
  CK_RV FillObjectTree(CK_SESSION_HANDLE session);
  CK_RV AddObjectNode(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle);

  // Empties the four list views (columns and rows) and the object tree.
  void ClearPages();

  // The caption a mechanism code gets on the mechanism page.
  static QString MechanismCaption(CK_MECHANISM_TYPE code);

 private:
  void FillMechanismPage(CK_SLOT_ID slot, bool& stop);
  QTreeWidgetItem* ClassNode(const QString& text);
};

// Texts.
inline const QString kMsgExplorerInfoError =
    QStringLiteral("Pogreška prilikom dohvata informacija o Cryptoki biblioteci funkcija");
inline const QString kMsgExplorerTooManyMechanisms =
    QStringLiteral("Broj pronađenih mehanizama je veći od maksimalno dozovoljenog (MAX = ");
inline const QString kMsgExplorerMechanismsError = QStringLiteral("Podržani mehanizmi se ne mogu dohvatiti !(rc = ");
inline const QString kMsgExplorerFindInit = QStringLiteral("Pogreška inicijalizacije traženja objekata na kartici ! (");
inline const QString kMsgExplorerFind = QStringLiteral("Pogreška traženja objekata na kartici ! [Error Code=");
inline const QString kMsgExplorerFindFinal = QStringLiteral("Pogreška finalizacije traženja objekata na kartici ! (");
inline const QString kMsgExplorerClass = QStringLiteral("Pogreška prilikom dohvata klase objekta sa kartice ! (");
inline const QString kMsgExplorerLabelLength = QStringLiteral("Pogreška prilikom dohvata veličine naziva objekta! (");
inline const QString kMsgExplorerLabel = QStringLiteral("Pogreška prilikom dohvata naziva objekta! (");
inline const QString kMsgExplorerDataLength =
    QStringLiteral("Pogreška prilikom dohvata veličine naziva podatkovnog objekta! (");
inline const QString kMsgExplorerData = QStringLiteral("Pogreška prilikom dohvata podatkovnog objekta! (");
inline const QString kMsgExplorerKeyType = QStringLiteral("Pogreška prilikom dohvata tipa ključa! (");
inline const QString kExplorerNoObjects = QStringLiteral("Nema objekata na kartici.");
