#include "card/acg_component.h"

#include <QListWidget>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "card/binding.h"
#include "card/card_objects.h"
#include "card/certificate.h"
#include "card/cryptoki.h"
#include "card/pin_change_dialogs.h"
#include "card/pin_dialogs.h"
#include "card/pkcs11_codes.h"
#include "card/tarvirsa_api.h"
#include "card/token_explorer.h"
#include "card/version_info.h"
#include "platform/library.h"
#include "platform/scope_exit.h"
#include "platform/ui_services.h"

CK_SESSION_HANDLE CurrentSession = 0;
CK_SLOT_ID CurrentSlot = 0;

namespace {

// The recorded instance. The module may call CardNotify on a thread of its own, so
// the pointer is read under a lock and the work is posted, never done there.
std::mutex g_instanceLock;
TACGComponent* g_instance = nullptr;

QString Num(CK_RV rv) { return QString::number(static_cast<qulonglong>(rv)); }

void ErrorBox(const QString& text) { Ui().messageBox(MsgKind::Error, text); }

}  // namespace

TACGComponent::TACGComponent(QObject* owner) : QObject(owner) {
  UserCertificate = std::make_unique<TCertifikat>();
  PollTimer = new QTimer(this);
  PollTimer->setInterval(300);
  CardAppDlg = std::make_unique<TCardAppDlg>();
  ChangePINDlg = std::make_unique<TChangePINDlg>();
  UnlockPINDlg = std::make_unique<TUnlockPINDlg>();
  TokenExplorerCollect = [this](CK_SLOT_ID slot, CK_SESSION_HANDLE session) {
    if (CardAppDlg) CardAppDlg->FillPages(slot, session);
  };
  std::lock_guard<std::mutex> lock(g_instanceLock);
  g_instance = this;
}

TACGComponent::~TACGComponent() {
  {
    std::lock_guard<std::mutex> lock(g_instanceLock);
    if (g_instance == this) g_instance = nullptr;
  }
  PollTimer->stop();
  CardAppDlg.reset();
  ChangePINDlg.reset();
  UnlockPINDlg.reset();
  if (LibraryInitialized) {
    CK_RV rv = cryptoki::C_Finalize(nullptr);
    if (rv != CKR_OK) ErrorBox(kMsgFinalizeError + Num(rv) + " ]");
    LibraryInitialized = false;
  }
  // The cryptographic library stays loaded until the process ends.
  UnloadCryptokiModule();
}

TACGComponent* TACGComponent::Instance() {
  std::lock_guard<std::mutex> lock(g_instanceLock);
  return g_instance;
}

void TACGComponent::FireError(const TErrorEvent& event, int code, const QString& text) {
  if (event) event(this, code, text);
}

void TACGComponent::FireNotify(const TNotifyEvent& event) {
  if (event) event(this);
}

void TACGComponent::Loaded() {
  const QString program = QString::fromStdString(ProgramBaseName());
  EnterPINfmCaption = program + " - " + EnterPINfmCaption;
  PKCS11DLLReg.replace(QStringLiteral("%s"), program);
  DefaultProgramReg.replace(QStringLiteral("%s"), program);

  bool continueFlag = false;
  if (!LoadCryptoLibraries(PKCS11DLLReg, DefaultPKCS11DLL, CheckInitRSAFunkc, continueFlag, EnableWorkWithoutPKCS)) {
    if (!EnableWorkWithoutPKCS && !continueFlag) Ui().requestTerminate();
  } else {
    DefaultPKCS11DLL = DllFileName;
    CK_RV rv = cryptoki::C_Initialize(nullptr);
    LibraryInitialized = rv == CKR_OK;
    if (rv != CKR_OK) ErrorBox(kMsgInitError + Num(rv) + " ]");
    if (LibraryInitialized) {
      RefreshReaders();
      connect(PollTimer, &QTimer::timeout, this, &TACGComponent::PollCard, Qt::UniqueConnection);
      CK_ULONG count = 0;
      rv = cryptoki::C_GetSlotList(CK_TRUE, nullptr, &count);
      CardPresent = rv == CKR_OK && count > 0;
      // A module without a version record reports its version through C_GetInfo.
      CK_INFO info{};
      if (cryptoki::C_GetInfo(&info) != CKR_OK) info.libraryVersion = CK_VERSION{0, 0};
      ModuleMajorVersion = GetModuleMajorVersion(DllFileName, info.libraryVersion).toInt();
    }
  }
  AutoStart();
}

void TACGComponent::AutoStart() {
  if (!LibraryInitialized) return;
  if (autoMode_ == amOpen) {
    if (!CardPresent) {
      CardPresent = WaitForCard(&TACGComponent::CardNotify);
      if (!CardPresent) return;
    }
    SetConnected(true);
  } else if (autoMode_ == amLogin) {
    if (Login() && !LoggedIn) Ui().requestTerminate();
  }
}

void TACGComponent::SetConnected(bool value) {
  if (!LibraryInitialized || value == Connected()) return;
  if (value)
    OpenSession();
  else
    CloseSession();
}

void TACGComponent::SetReaderIndex(int value) {
  if (value >= 0 && value < ReaderCount) {
    readerIndex_ = value;
    return;
  }
  if (ReaderCount < 2)
    ErrorBox(kMsgReaderIndexOne);
  else
    ErrorBox(kMsgReaderIndexRange + QString::number(ReaderCount - 1) + "]");
}

void TACGComponent::SetReadersList(QWidget* control) {
  if (control == readersList_) return;
  readersList_ = control;
  if (auto* memo = qobject_cast<QPlainTextEdit*>(control)) {
    memo->setPlainText(ReaderNames.join('\n'));
  } else if (auto* list = qobject_cast<QListWidget*>(control)) {
    list->clear();
    list->addItems(ReaderNames);
  }
}

void TACGComponent::RefreshReaders() {
  ReaderNames.clear();
  QStringList names;
  CK_ULONG count = 0;
  if (GetReaderList(SlotList, kMaxReaders, count, names)) {
    ReaderCount = static_cast<int>(std::min<CK_ULONG>(count, kMaxReaders));
    // Names stay paired with their slots; a missing one reads as empty.
    for (int i = 0; i < ReaderCount; ++i) ReaderNames.append(i < names.size() ? names[i] : QString());
  } else {
    ReaderCount = 0;
  }
}

void TACGComponent::OpenSession() {
  if (!LibraryInitialized || SessionHandle != 0) return;
  IUiServices& ui = Ui();
  ui.setWaitCursor(true);
  // Every road out ends the wait cursor; once a session was opened, the state
  // change is announced after it. The road that ends in AfterOpen ends the cursor
  // before the event, and leaves the cursor the handler set alone.
  bool opened = false;
  bool cursorEnded = false;
  ScopeExit end([&] {
    if (!cursorEnded) ui.setWaitCursor(false);
    if (opened) emit StateChanged();
  });
  const CK_SESSION_HANDLE handle = OpenChosenSlot();
  if (handle == 0) return;
  opened = true;
  if (!ReadOpenedState(handle)) return;
  ui.processPendingMessages();
  ui.setWaitCursor(false);
  cursorEnded = true;
  FireNotify(OnAfterOpen);
}

CK_SESSION_HANDLE TACGComponent::OpenChosenSlot() {
  IUiServices& ui = Ui();
  // No reader at the index (none found, or the list changed): refuse rather than
  // open a slot id that was never read.
  if (readerIndex_ < 0 || readerIndex_ >= ReaderCount) {
    FireError(OnOpenSessionError, static_cast<int>(CKR_SLOT_ID_INVALID), PkcsRetCodeText(CKR_SLOT_ID_INVALID));
    ui.processPendingMessages();
    return 0;
  }
  const CK_SLOT_ID slot = SlotList[readerIndex_];
  CK_RV rv = cryptoki::C_GetTokenInfo(slot, &TokenInfo);
  if (rv != CKR_OK) {
    FireError(OnOpenSessionError, static_cast<int>(rv),
              rv == CKR_TOKEN_NOT_PRESENT ? kMsgTokenNotPresent : PkcsRetCodeText(rv));
    ui.processPendingMessages();
    return 0;
  }
  ui.processPendingMessages();
  CurrentSlotId = slot;
  CurrentReaderName = readerIndex_ < ReaderNames.size() ? ReaderNames[readerIndex_] : QString();

  CK_SESSION_HANDLE handle = 0;
  rv = cryptoki::C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, this, &TACGComponent::CardNotify, &handle);
  if (rv != CKR_OK) {
    FireError(OnOpenSessionError, static_cast<int>(rv), PkcsRetCodeText(rv));
    cryptoki::C_CloseAllSessions(slot);
    return 0;
  }
  SessionHandle = handle;
  CurrentSession = handle;
  CurrentSlot = slot;
  if (TokenExplorerCollect) TokenExplorerCollect(slot, handle);
  return handle;
}

bool TACGComponent::ReadOpenedState(CK_SESSION_HANDLE handle) {
  IUiServices& ui = Ui();
  ui.setWaitCursor(true);
  TokenInfo.flags = 0;
  CK_RV rv = cryptoki::C_GetTokenInfo(CurrentSlotId, &TokenInfo);
  if (rv != CKR_OK) {
    ErrorBox(kMsgTokenInfoError + Num(rv) + "]");
    return false;
  }
  // The serial is a fixed 16-character field, blank-padded.
  for (int i = static_cast<int>(sizeof TokenInfo.serialNumber) - 1; i >= 0 && TokenInfo.serialNumber[i] == ' '; --i)
    TokenInfo.serialNumber[i] = '\0';

  CK_SESSION_INFO info{};
  rv = cryptoki::C_GetSessionInfo(SessionHandle, &info);
  if (rv != CKR_OK) {
    ErrorBox(kMsgSessionInfoError + Num(rv) + "]");
    return false;
  }
  ui.processPendingMessages();
  // A card notification handled just now may have closed the session again: the
  // state read before is then no longer the card's.
  if (SessionHandle != handle) return false;
  LoggedIn = false;
  if (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS) {
    LoggedIn = true;
    if (UserCertSerial == 0) FindUserCertificate();
  } else if ((TokenInfo.flags & (CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED)) == 0) {
    FireError(OnOpenSessionError, -1, kMsgNotInitialised);
    return false;
  }
  return true;
}

void TACGComponent::CloseSession() {
  if (!LibraryInitialized || SessionHandle == 0) return;
  IUiServices& ui = Ui();
  ui.setWaitCursor(true);
  ui.processPendingMessages();
  // A card notification handled just now closed the session already.
  if (SessionHandle == 0) {
    ui.setWaitCursor(false);
    return;
  }

  bool closedAll = false;
  CK_RV closeRv = CKR_OK;
  CK_SESSION_INFO info{};
  CK_RV rv = cryptoki::C_GetSessionInfo(SessionHandle, &info);
  if (rv == CKR_OK && LogOutOnClose) {
    CK_RV out = cryptoki::C_Logout(SessionHandle);
    if (out != CKR_OK && out != CKR_USER_NOT_LOGGED_IN)
      FireError(OnLogoutError, static_cast<int>(out), kMsgLogoutError);
  }
  // Older middleware closes its sessions itself when finalised.
  if (ModuleMajorVersion >= 2) {
    closeRv = cryptoki::C_CloseAllSessions(CurrentSlotId);
    closedAll = true;
  }
  if (closedAll && closeRv != CKR_OK)
    FireError(OnCloseSessionError, static_cast<int>(closeRv), PkcsRetCodeText(closeRv));

  rv = cryptoki::C_Finalize(nullptr);
  if (rv != CKR_OK) ErrorBox(kMsgFinalizeError + Num(rv) + " ]");
  rv = cryptoki::C_Initialize(nullptr);
  LibraryInitialized = rv == CKR_OK;
  if (rv != CKR_OK) ErrorBox(kMsgInitError + Num(rv) + " ]");

  SessionHandle = 0;
  // Finalising ended every session and the login with them.
  LoggedIn = false;
  CurrentSession = 0;
  FireNotify(OnAfterClose);
  ui.setWaitCursor(false);
  emit StateChanged();
}

CK_RV TACGComponent::CardNotify(CK_SESSION_HANDLE hSession, CK_NOTIFICATION event, CK_VOID_PTR pApplication) {
  std::lock_guard<std::mutex> lock(g_instanceLock);
  if (TACGComponent* c = g_instance) {
    // Posted, with the component as context: dropped if it is gone by then.
    QMetaObject::invokeMethod(
        c, [c, hSession, event, pApplication] { c->HandleCardNotify(hSession, event, pApplication); },
        Qt::QueuedConnection);
  }
  return CKR_OK;
}

void TACGComponent::HandleCardNotify(CK_SESSION_HANDLE hSession, CK_NOTIFICATION event, void* pApplication) {
  const bool present = IsCardInserted(event);
  if (present && ModuleMajorVersion < 2) return;
  if (LoggedIn) FireNotify(OnAfterLogout);
  LoggedIn = false;
  CloseSession();
  UserCertSerial = 0;
  UserCertSerialHex.clear();
  if (present) {
    PollTimer->stop();
    CardPresent = true;
  } else {
    PollTimer->start();
    CardPresent = false;
  }
  if (autoMode_ == amLogin && EnterPINDlg) EnterPINDlg->CardNotified(event);
  if (OnInsertRemoveCard) OnInsertRemoveCard(hSession, event, pApplication);
  emit StateChanged();
  if (autoMode_ == amOpen) {
    if (fmWaitForCard) {
      if (fmWaitForCard->Timer) fmWaitForCard->Timer->start();
    } else {
      WaitForCard(&TACGComponent::CardNotify);
    }
  }
}

void TACGComponent::PollCard() {
  if (autoMode_ != amNone) return;
  CK_ULONG count = 0;
  if (cryptoki::C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK && count > 0)
    HandleCardNotify(CurrentSession, static_cast<CK_NOTIFICATION>(CardEvent::Inserted), nullptr);
}

int32_t TACGComponent::FindUserCertificate() {
  // The certificate that belongs to a key on the card, not merely the first one: a
  // card may hold its CA's certificate too. Its value is trimmed to its own element.
  TUserCertificateObject user;
  if (FindUserCertificateObject(CurrentSession, user) != 1) return 0;
  if (user.Der.empty() || user.Der.size() > static_cast<size_t>(TCertifikat::kDerCapacity)) return 0;
  std::vector<uint8_t> der = std::move(user.Der);
  const uint32_t derLen = static_cast<uint32_t>(der.size());
  der.push_back(0);  // one zero byte spare behind the value, as it was read

  QString hex;
  std::vector<uint8_t> serial;
  uint32_t serialLen = 0;
  bool serialOk = DerPrefixFits(der.data(), derLen) &&
                  tarvirsa::X509ExtractSerial(der.data(), nullptr, &serialLen) == 0 && serialLen <= TR_MAX_CERT_LEN;
  if (serialOk) {
    serial.assign(serialLen + 1, 0);
    uint32_t capacity = serialLen + 1;
    serialOk = tarvirsa::X509ExtractSerial(der.data(), serial.data(), &capacity) == 0 && capacity <= serialLen + 1;
    if (serialOk) serial.resize(capacity);
  }
  if (!serialOk) {
    UserCertSerial = -1;
    UserCertSerialHex.clear();
  } else {
    hex = SerialHexText(serial.data(), serial.size());
  }
  if (!hex.isEmpty()) {
    UserCertSerial = SerialValue(serial.data(), serial.size());
    UserCertSerialHex = hex;
  }
  QString error;
  UserCertificate->LoadFromMemory(der.data(), static_cast<int32_t>(derLen), error, false);
  return UserCertSerial;
}

void TACGComponent::ClosePollSession(CK_SLOT_ID slot, CK_SESSION_HANDLE session) {
  // The component's own session may live on the same slot: then only the poll's
  // session goes; otherwise every session of that slot, as the dialogs always did.
  if (SessionHandle != 0 && slot == CurrentSlotId)
    cryptoki::C_CloseSession(session);
  else
    cryptoki::C_CloseAllSessions(slot);
  CurrentSession = SessionHandle;
}
