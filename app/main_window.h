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
#include <functional>
#include <memory>

#include "card/pkcs11.h"

class QAction;
class QCloseEvent;
class QFileSystemModel;
class QLabel;
class QMenu;
class QRadioButton;
class QTreeView;
class QTreeWidget;
class TACGComponent;
class TACGLogin;

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
  QAction* actEvidencijaMbr = nullptr;
  QAction* actOProgramu = nullptr;
  QAction* actIzlaz = nullptr;
  QAction* actZapAktivnosti = nullptr;  // Ctrl+Alt+L, no menu entry

  // ---- status bar: panel 0 is the bar's own hint area, 1 to 3 are labels --------
  QLabel* StatusPanel(int index) const;
  QString PanelText(int index) const;
  // The width a panel has (0 while it is hidden); panel 0 has none of its own.
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
  void actZapAktivnostiExecute();
  // The filter handler shared by the three radio buttons: the lists are emptied and
  // the lower panels follow the filter.
  void rbIzvorneClick();
  // Empties the signer and recipient lists.
  void ClearLists();

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

  // The road of a file named on the command line; run by FormShow with the first
  // argument. Set by the module that implements it.
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

  QStringList arguments_;
  QLabel* panels_[4] = {};
  bool closed_ = false;
  bool scrollPending_ = false;
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
