#pragma once
// The card component: the program's one link to the smart card. It binds the
// PKCS#11 module and the cryptographic library once its owner has set its
// properties and calls Loaded(), keeps the reader list, opens and closes the one
// session the program works with, takes the module's card notifications and reads
// the user's certificate from the card. Failures reach the owner through the error
// events, each with a code and a text.
//
// Everything runs on the user-interface thread. The notify callback that the
// module calls (CardNotify) only queues the work to that thread: the handling
// closes the session and finalises and re-initialises the module, which must not
// happen inside the module's own call or on its event thread.
//
// Use (the main window):
//   auto* card = new TACGComponent(this);
//   card->SetAutoMode(amLogin); card->EnableWorkWithoutPKCS = true; ...
//   card->OnAfterLogin = [this](TACGComponent*) { ... };          // bind the events
//   card->Loaded();                                                 // then load
//   ...
//   card->CloseSession();                                           // at close
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "card/pin.h"
#include "card/registry.h"
#include "interfaces/pkcs11.h"

class QTimer;
class TCardAppDlg;
class TCertifikat;
class TChangePINDlg;
class TUnlockPINDlg;

enum TAutoMode { amNone, amOpen, amLogin };

// The card notifications the middleware gives the notify callback (its event
// values, fixed by the middleware): a card put into the reader is Inserted; a card
// taken out is Removed, and any other value counts as taken out too.
enum class CardEvent : CK_NOTIFICATION { Removed = 2, Inserted = 3 };
constexpr bool IsCardInserted(CK_NOTIFICATION event) {
  return event == static_cast<CK_NOTIFICATION>(CardEvent::Inserted);
}

// The session that the card layer opened last (by OpenSession or by a poll of the
// PIN or wait dialog), or 0; signing and decryption work on it.
extern CK_SESSION_HANDLE CurrentSession;
// The slot of the last OpenSession.
extern CK_SLOT_ID CurrentSlot;

// Most readers the component keeps.
inline constexpr int kMaxReaders = 10;

class TACGComponent : public QObject {
  Q_OBJECT

 public:
  using TNotifyEvent = std::function<void(TACGComponent* sender)>;
  using TInsertRemoveEvent = std::function<void(CK_SESSION_HANDLE hSession, CK_NOTIFICATION event, void* pApplication)>;
  using TLoginEvent = std::function<void(TACGComponent* sender, TPin& pin)>;
  using TErrorEvent = std::function<void(TACGComponent* sender, int errorCode, const QString& errorString)>;

  explicit TACGComponent(QObject* owner = nullptr);
  ~TACGComponent() override;

  // The owner has set the properties: bind, initialise and run the automatic mode.
  void Loaded();

  // --- properties -------------------------------------------------------------
  // Read: a session is open. Write: opens or closes it (only when the module is
  // initialised and the value changes).
  bool Connected() const { return SessionHandle > 0; }
  void SetConnected(bool value);

  bool CheckInitRSAFunkc = false;
  QString DefaultPKCS11DLL = QStringLiteral("acpkcs.dll");
  QString DefaultProgramReg = QStringLiteral("SOFTWARE\\VodezOdir\\ThisProgram");
  TAutoMode AutoMode() const { return autoMode_; }
  void SetAutoMode(TAutoMode mode) { autoMode_ = mode; }
  bool EnableWorkWithoutPKCS = false;
  QString EnterPINfmCaption;
  QString EnterPINlbCaption;
  bool GeneralInfoWithGeneral = false;
  bool GeneralInfoWithReader = false;
  bool GeneralInfoWithCard = false;
  bool GeneralInfoWithMechanism = false;
  bool GeneralInfoWithObject = false;
  bool GeneralInfoWithTool = false;
  bool LogOutOnClose = false;
  // The PIN Login uses: as set, or (with PinPrompt) from the dialog or OnLogin for
  // one login, wiped when that Login returns.
  TPin PIN;
  bool PinPrompt = false;
  QString PKCS11DLLReg = QStringLiteral("SOFTWARE\\VodezOdir\\ThisProgram\\PKCS #11 DLL");
  int ReaderIndex() const { return readerIndex_; }
  // A value outside 0 .. ReaderCount - 1 is not stored; an error box says so.
  void SetReaderIndex(int value);
  // A QPlainTextEdit (one name a line) or a QListWidget (one item a name).
  QWidget* ReadersList() const { return readersList_; }
  void SetReadersList(QWidget* control);
  HKEY RootRegKey = 0;
  QString WaitForCardText = QStringLiteral("Umetnite karticu, molim");
  QString AfterCardInsertText = QStringLiteral("Kartica umetnuta");

  // --- events -------------------------------------------------------------------
  TNotifyEvent OnAfterClose;
  TNotifyEvent OnAfterOpen;
  TNotifyEvent OnAfterLogin;
  TNotifyEvent OnAfterLogout;
  TInsertRemoveEvent OnInsertRemoveCard;
  TLoginEvent OnLogin;
  TErrorEvent OnLoginError;
  TErrorEvent OnLogoutError;
  TErrorEvent OnCloseSessionError;
  TErrorEvent OnOpenSessionError;
  TErrorEvent OnOtherError;  // never fired

  // Where the token explorer collects the module, slot, token and mechanism data
  // after every session opening (slot and session of the new session).
  std::function<void(CK_SLOT_ID slot, CK_SESSION_HANDLE session)> TokenExplorerCollect;

  // The component's dialogs, made by the constructor: the token explorer (the hook
  // above refills it) and the PIN change and unlock dialogs. Nothing shows them.
  std::unique_ptr<TCardAppDlg> CardAppDlg;
  std::unique_ptr<TChangePINDlg> ChangePINDlg;
  std::unique_ptr<TUnlockPINDlg> UnlockPINDlg;

  // --- public state -------------------------------------------------------------
  bool CardPresent = false;
  QStringList ReaderNames;  // one per slot of SlotList
  bool LibraryInitialized = false;
  int32_t ModuleMajorVersion = 0;
  CK_SESSION_HANDLE SessionHandle = 0;
  bool LoggedIn = false;
  bool LoginInProgress = false;
  int ReaderCount = 0;
  QTimer* PollTimer = nullptr;  // 300 ms, acts only with amNone
  int32_t UserCertSerial = 0;   // 0 not read, -1 the serial could not be extracted
  QString UserCertSerialHex;
  std::unique_ptr<TCertifikat> UserCertificate;
  CK_SLOT_ID CurrentSlotId = 0;
  QString CurrentReaderName;
  CK_SLOT_ID SlotList[kMaxReaders] = {};
  CK_TOKEN_INFO TokenInfo = {};

  // --- operations ---------------------------------------------------------------
  void OpenSession();
  void CloseSession();
  void RefreshReaders();
  // Logs the user in; true when logged in afterwards (also when already).
  bool Login();
  // The PIN dialog; true when closed with OK.
  bool ShowEnterPin(bool showReaderChoice, TPin& pin, bool& workWithoutCard);
  // The wait-for-card dialog; true when a card was found or the user pressed OK.
  bool WaitForCard(CK_NOTIFY callback);
  // Reads the card's certificate; returns the new UserCertSerial.
  int32_t FindUserCertificate();
  // The OnTimer handler of PollTimer.
  void PollCard();
  // The handling of one card notification, on the user-interface thread.
  void HandleCardNotify(CK_SESSION_HANDLE hSession, CK_NOTIFICATION event, void* pApplication);

  // The notify callback given to C_OpenSession. Safe on any thread and inside the
  // module's calls: it queues HandleCardNotify on the recorded instance and
  // returns CKR_OK.
  static CK_RV CardNotify(CK_SESSION_HANDLE hSession, CK_NOTIFICATION event, CK_VOID_PTR pApplication);

  // The last instance created (while it lives), or nullptr.
  static TACGComponent* Instance();

 signals:
  // The session or login state may have changed (actions update on it).
  void StateChanged();

 private:
  void AutoStart();
  void FireError(const TErrorEvent& event, int code, const QString& text);
  void FireNotify(const TNotifyEvent& event);
  // Closes the session a dialog poll opened on slot, leaving the component's own
  // session alone.
  void ClosePollSession(CK_SLOT_ID slot, CK_SESSION_HANDLE session);

  // The steps of OpenSession: the session on the chosen reader's slot (0 when none
  // opened), then the token and login state it shows (false: stop, reported).
  CK_SESSION_HANDLE OpenChosenSlot();
  bool ReadOpenedState(CK_SESSION_HANDLE handle);

  // The steps of Login (card/pin_dialogs.cpp), each saying whether Login goes on.
  enum class LoginRoad { Continue, Succeeded, Failed };
  LoginRoad LoginOnOpenSession();
  LoginRoad LoginObtainPin(bool& workWithoutCard);
  LoginRoad LoginOnChosenReader();
  LoginRoad LoginCheckCard(CK_FLAGS& flagsBefore);
  bool LoginWithPin(CK_FLAGS flagsBefore);
  // Ends the wait cursor and reports; at start-up (amLogin) also ends the program
  // when endProgram.
  void LoginFailed(int code, const QString& text, bool endProgram);

  TAutoMode autoMode_ = amNone;
  int readerIndex_ = 0;
  QPointer<QWidget> readersList_;

  friend class TEnterPINDlg;
  friend class TfmWaitForCard;
};

// Message texts of the component.
inline const QString kMsgInitError =
    QStringLiteral("Pogreška inicijalizacije Cryptoki biblioteke funkcija ! [ErrorCode = ");
inline const QString kMsgFinalizeError =
    QStringLiteral("Pogreška finalizacije Cryptoki biblioteke funkcija ! [ErrorCode = ");
inline const QString kMsgTokenNotPresent = QStringLiteral("Kartica nije prisutna !");
inline const QString kMsgTokenInfoError = QStringLiteral("Greška kod dohvata informacija o kartici ! [ErrorCode = ");
inline const QString kMsgSessionInfoError =
    QStringLiteral("Greška kod dohvata informacija o vezi s čitačem ! [ErrorCode = ");
inline const QString kMsgNotInitialised = QStringLiteral("Kartica nije inicijalizirana");
inline const QString kMsgLogoutError = QStringLiteral("Greška kod odjavljivanja ...");
inline const QString kMsgReaderIndexOne = QStringLiteral("Nedozvoljena vrijednost za indeks čitača [treba biti 0]");
inline const QString kMsgReaderIndexRange =
    QStringLiteral("Nedozvoljena vrijednost za indeks čitača [treba biti između 0 i ");
