#pragma once
// The main window: its lifecycle (creation, first show, close), the state of the
// card and of the work in its status bar, its card component's events and the
// hidden activity-log switch.
//
// Creation runs in a fixed order, and start-up (app/startup.h) relies on it:
//   constructor   widgets; the card component with its properties and events,
//                 then its Loaded() (binding, C_Initialize, waiting for a card and
//                 the PIN dialog: the after-login event fires here, before any
//                 settings exist); then FormCreate()
//   show()        the window is shown
//   FormShow()    once, called by start-up, never from a show event
//   close         FormClose() from the close event: temporary copies deleted, card
//                 session closed, "Last Path" written
// A terminate request ends the program without FormClose.
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTreeWidgetItem>
#include <functional>
#include <memory>
#include <vector>

#include "interfaces/pkcs11.h"

class QAction;
class QCloseEvent;
class QFileSystemModel;
class QLabel;
class QMenu;
class QRadioButton;
class QTimer;
class QTreeView;
class QTreeWidget;
class QToolBar;
class TACGComponent;
class TACGLogin;
class TCertifikat;
class TFolderTreeFollower;
struct TRecipientRecord;
struct TSignerRecord;

// A row of the signer list: it owns its signer record, which goes with the row.
class TSignerRow : public QTreeWidgetItem {
 public:
  static constexpr int kType = QTreeWidgetItem::UserType + 1;
  TSignerRow(QTreeWidget* list, std::unique_ptr<TSignerRecord> record);
  ~TSignerRow() override;
  const std::unique_ptr<TSignerRecord> Record;
  // The record of a signer row; nullptr for any other item.
  static TSignerRecord* RecordOf(const QTreeWidgetItem* item);
  // Records alive in rows, all lists together.
  static int LiveRecords();
};

// A row of the recipient list: it owns its recipient record.
class TRecipientRow : public QTreeWidgetItem {
 public:
  static constexpr int kType = QTreeWidgetItem::UserType + 2;
  TRecipientRow(QTreeWidget* list, std::unique_ptr<TRecipientRecord> record);
  ~TRecipientRow() override;
  const std::unique_ptr<TRecipientRecord> Record;
  static TRecipientRecord* RecordOf(const QTreeWidgetItem* item);
  static int LiveRecords();
};

class TfmMain : public QMainWindow {
  Q_OBJECT
 public:
  // arguments: the program's command-line arguments after the program name.
  explicit TfmMain(const QStringList& arguments = {}, QWidget* parent = nullptr);
  ~TfmMain() override;

  // ---- the card ---------------------------------------------------------------
  TACGComponent* DUDComponent = nullptr;
  TACGLogin* DUDLogin1 = nullptr;

  // ---- folder tree, filter, file list and the two lower lists -----------------
  QTreeView* stvListaDirektoija = nullptr;
  QFileSystemModel* stvModel = nullptr;
  QRadioButton* rbIzvorne = nullptr;
  QRadioButton* rbPotpisane = nullptr;
  QRadioButton* rbPakirane = nullptr;
  QTreeWidget* slvDatoteke = nullptr;
  QWidget* pnlPrimatelj = nullptr;
  QTreeWidget* lwPrimatelj = nullptr;
  QWidget* pnlPotpisnici = nullptr;
  QTreeWidget* lvPotpisnici = nullptr;

  // ---- menus and commands -----------------------------------------------------
  QMenu* mnuDatoteka = nullptr;
  QMenu* mnuPregled = nullptr;
  QMenu* mnuMaticniBroj = nullptr;  // "&Matični broj"
  QMenu* mnuPomoc = nullptr;
  QMenu* pmDatoteke = nullptr;    // context menu of the file list
  QMenu* pmPotpisnici = nullptr;  // context menu of the signer list
  QToolBar* tbAlati = nullptr;
  QAction* actPrikaziOrigDat = nullptr;
  QAction* actQVDPotpisivanje = nullptr;
  QAction* actQVDPakiranje = nullptr;
  QAction* actKriptAndSend = nullptr;
  QAction* actIzvlacenjeIzvorne = nullptr;
  QAction* actCoverPage = nullptr;
  QAction* actProvjeraPotpisa = nullptr;
  QAction* actSendeMail = nullptr;
  QAction* actPovuciPotpis = nullptr;
  QAction* actDodajUKO = nullptr;
  QAction* actDetPotpisa = nullptr;
  QAction* actOsvjeziPrikaz = nullptr;  // F5, no menu entry
  QAction* actEvidencijaMbr = nullptr;
  QAction* actAdminKontaktOsoba = nullptr;
  QAction* actPostavke = nullptr;
  QAction* actOProgramu = nullptr;
  QAction* actIzlaz = nullptr;
  QAction* actZapAktivnosti = nullptr;  // Ctrl+Alt+L, no menu entry

  // ---- status bar: panel 0 is the bar's own hint area, 1 to 3 are labels --------
  QLabel* StatusPanel(int index) const;
  QString PanelText(int index) const;
  // The least width a panel is given (a longer text widens it; 0 while it is
  // hidden); panel 0 has none of its own.
  int PanelWidth(int index) const;

  // ---- fields -----------------------------------------------------------------
  // Temporary copies of original files opened for viewing; deleted on close.
  std::unique_ptr<QStringList> TempFileList;
  // Set only while the command-line road saves an original without a dialog.
  bool AutoExtract = false;
  const QStringList& Arguments() const { return arguments_; }

  // ---- lifecycle ----------------------------------------------------------------
  void FormCreate();
  void FormShow();
  void FormClose();
  // Whether FormClose has run.
  bool Closed() const { return closed_; }

  // ---- card events ----------------------------------------------------------------
  void DUDComponentAfterLogin(TACGComponent* sender);
  void DUDComponentAfterLogout(TACGComponent* sender);
  void DUDComponentInsertRemoveCard(CK_SESSION_HANDLE hSession, CK_NOTIFICATION event, void* pApplication);
  void DUDComponentLoginError(TACGComponent* sender, int errorCode, const QString& errorString);

  // ---- commands -------------------------------------------------------------------
  // Execute handlers; each can be called directly, whatever its enabled state.
  void actPrikaziOrigDatExecute();
  void actQVDPotpisivanjeExecute();
  void actQVDPakiranjeExecute();
  void actKriptAndSendExecute();
  void actIzvlacenjeIzvorneExecute();
  void actCoverPageExecute();
  void actProvjeraPotpisaExecute();
  void actSendeMailExecute();
  void actPovuciPotpisExecute();
  void actDodajUKOExecute();
  void actDetPotpisaExecute();
  void actOsvjeziPrikazExecute();
  void actEvidencijaMbrExecute();
  void actAdminKontaktOsobaExecute();
  void actPostavkeExecute();
  void actOProgramuExecute();
  void actZapAktivnostiExecute();
  // The update handlers: every action's enabled state from the current state.
  void UpdateActions();

  // ---- lists ------------------------------------------------------------------------
  // The filter handler shared by the three radio buttons: the lists are emptied,
  // the file list's items deselected, the lower panels follow the filter and the
  // file list is read again.
  void rbIzvorneClick();
  // Empties the signer and recipient lists; their records go with their rows.
  void ClearLists();
  // Whether the file list shows a file of this name under the checked filter.
  bool FileShown(const QString& fileName) const;
  // Reads the current folder into the file list (synchronously), keeping the
  // selected file selected when it is still listed.
  void FillFileList();
  // The selected item's full path, or "" when no item is selected.
  QString SelectedFile() const;
  // The item of the file list with this file name, or nullptr.
  QTreeWidgetItem* FileItem(const QString& fileName) const;
  // Selects an item (nullptr: none), as a click on it does before the click handler.
  void SelectFileItem(QTreeWidgetItem* item);
  // The file list's handlers.
  void slvDatotekeClick();
  void slvDatotekeChange();
  void slvDatotekeDblClick();
  // The folder tree's change handler.
  void stvListaDirektoijaChange();

  // ---- the command line ---------------------------------------------------------------
  // The road of a file named on the command line: select it; decrypt an encrypted
  // container at once and, when that gives a signed container, save its original
  // and have the program terminate.
  void OpenCommandLineFile(const QString& file);

  // ---- folder tree ----------------------------------------------------------------
  // The tree's current folder without a trailing "/" ("/" itself stays), or "" when
  // no folder is selected.
  QString CurrentFolder() const;
  // Selects and shows a folder; a folder that does not exist is ignored.
  void SetCurrentFolder(const QString& folder);

  // ---- registration numbers -------------------------------------------------------
  // Value "0" of the register (empty when it cannot be read); the window of the
  // register is not touched.
  static QString ReadSelectedMbr();
  // Rebuilds "&Matični broj" from the register: one item a number, the chosen one
  // checked; "(Nema definiranih)" when there is none.
  void BuildMbrMenu();
  // Chooses a number for work: value "0", SelectedMbr and panel 1.
  void SetSelectedMbr(const QString& number);

  // Takes the place of OpenCommandLineFile in FormShow when set; for tests.
  static std::function<void(TfmMain& window, const QString& file)> CommandLineRoad;
  // Observes the lifecycle steps ("AfterLogin", "FormCreate", "FormShow",
  // "FormClose"); for tests.
  static std::function<void(const QString& step)> Trace;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildWidgets();
  void BuildCardComponent();
  void ShowLoginPanels();
  QString SerialText() const;
  QString TokenSerial() const;
  void ApplyMbrVisibility(bool workWithMbr);
  static void Step(const QString& name);
  void BuildActions();
  QAction* MakeAction(const char* name, const QString& caption, const QString& hint, void (TfmMain::*execute)());
  void EncryptSelected(bool send);
  bool CheckedFilterIsSigned() const;
  void ShowSelectedCaption();
  void RefreshContactListWindow();
  // While no one is logged in (and the card's library runs), a card put into the
  // reader offers the login again: no session means no card notice.
  void FollowCardWhileLoggedOut();
  void CardWatchTick();
  bool CardInReader() const;

  QStringList arguments_;
  QLabel* panels_[4] = {};
  bool closed_ = false;
  TFolderTreeFollower* stvFollower_ = nullptr;
  QAction* loginSeparator_ = nullptr;
  QTimer* cardWatch_ = nullptr;
  bool watchedCardPresent_ = false;
};

// The main window while it exists.
extern TfmMain* fmMain;

// The application's title (the windows' resource string 65225).
inline const QString kApplicationTitle = QStringLiteral("Tarvi Sealdesk");

// Texts of the main window.
inline const QString kPanelMbr = QStringLiteral("Mbr:");
inline const QString kPanelCertSerial = QStringLiteral("SB certifikata:");
inline const QString kPanelLoggedOut = QStringLiteral("odjavljen");
inline const QString kPanelCardSerial = QStringLiteral("SB kartice:");
inline const QString kMsgActivityLogOn = QStringLiteral("Vođenje zapisnika svih aktivnosti programa UKLJUČENO!");
inline const QString kMsgActivityLogOff = QStringLiteral("Vođenje zapisnika svih aktivnosti programa ISKLJUČENO!");
inline const QString kMsgActivityLogFailed = QStringLiteral("Zapisnik aktivnosti nije moguće otvoriti [");
inline const QString kMbrNone = QStringLiteral("(Nema definiranih)");
inline const QString kSigValid = QStringLiteral("Ispravan");
inline const QString kSigInvalid = QStringLiteral("Neispravan");
inline const QString kMsgAlreadySigner = QStringLiteral("Već ste potpisnik ove datoteke!");
inline const QString kMsgNoPrivateKey = QStringLiteral("Tajni ključ nedostaje !");
inline const QString kMsgNoCertificate = QStringLiteral("Nedostaje certifikat !");
inline const QString kMsgNoMbr = QStringLiteral("Morate prije odabrati matični broj s kojim radite!");
inline const QString kMsgNoContacts = QStringLiteral("Nemate definiranu niti jednu kontakt osobu !");
inline const QString kMsgOneBadSignature =
    QStringLiteral("Potpisana datoteka ima neispravan potpis. Želite li nastaviti?");
inline const QString kMsgContactExists = QStringLiteral("Ovaj potpisnik je već u listi kontakt osoba!");
inline const QString kMsgContactAdded = QStringLiteral("Potpisnik je uspješno dodan u listu kontakt osoba!");
// Before a command-line decryption while no card is logged in: the PIN dialog's
// own words for that state.
inline const QString kMsgNoCardLoggedIn = QStringLiteral("Odabrali ste: Rad bez kartice");
// The card's notice that a card is present (a removal is 2).
inline constexpr CK_NOTIFICATION kCardPresentEvent = 3;
// How often the reader is looked at while no one is logged in, as the PIN
// dialog's poll does.
inline constexpr int kCardWatchInterval = 300;
inline const QString kMsgOriginalSaved = QStringLiteral("Izvorna datoteka uspješno pohranjena [");
