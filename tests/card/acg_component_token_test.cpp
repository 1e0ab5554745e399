// The card component over our middleware module and SoftHSM2: loading, readers,
// opening and closing the session, the card's certificate, card notifications and
// the shutdown road, for module versions 1 and 2.
#include <QCoreApplication>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QThread>
#include <QTimer>
#include <cstring>

#include "acg_fixture.h"
#include "card/certificate.h"
#include "card/cryptoki.h"
#include "card/registry.h"
#include "support/temp_dir.h"

using namespace acgfx;

namespace {

class CardComponent : public CardTest {
 protected:
  // A five-byte serial: the value comes from its first four bytes.
  static void SetUpTestSuite() { MakeTokens({{"Alpha", "0x01A20F337C"}}); }
  static void TearDownTestSuite() { DropTokens(); }

  TACGComponent& LoggedIn() {
    TACGComponent& c = Loaded();
    EXPECT_TRUE(c.Login()) << events_.Joined().toStdString();
    EXPECT_TRUE(c.LoggedIn);
    return c;
  }
};

TEST_F(CardComponent, LoadedBindsInitialisesAndListsTheReaders) {
  TACGComponent& c = Loaded();
  EXPECT_TRUE(c.LibraryInitialized);
  EXPECT_FALSE(ui_->terminateRequested());
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  EXPECT_EQ(c.DefaultPKCS11DLL, QStringLiteral("acpkcs.dll"));
  EXPECT_EQ(c.EnterPINfmCaption, programName_ + " - Prijava na karticu");
  EXPECT_EQ(c.PKCS11DLLReg, "SOFTWARE\\VodezOdir\\" + programName_ + "\\PKCS #11 DLL");
  EXPECT_EQ(c.DefaultProgramReg, "SOFTWARE\\VodezOdir\\" + programName_);
  EXPECT_EQ(c.ModuleMajorVersion, 2);
  EXPECT_TRUE(c.CardPresent);
  EXPECT_FALSE(c.Connected());
  // The token's slot and SoftHSM2's free slot, names without their padding.
  ASSERT_EQ(c.ReaderCount, 2);
  ASSERT_EQ(c.ReaderNames.size(), 2);
  for (const QString& n : c.ReaderNames) {
    EXPECT_FALSE(n.isEmpty());
    EXPECT_FALSE(n.endsWith(' ')) << n.toStdString();
  }
  EXPECT_EQ(c.SlotList[0], module_->slotOf("Alpha"));
  EXPECT_FALSE(c.PollTimer->isActive());

  // The reader list control gets a copy of the names.
  QListWidget list;
  c.SetReadersList(&list);
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.item(1)->text(), c.ReaderNames[1]);
  QPlainTextEdit memo;
  c.SetReadersList(&memo);
  EXPECT_EQ(memo.toPlainText(), c.ReaderNames.join('\n'));
}

TEST_F(CardComponent, ReaderIndexOutsideTheReadersIsRefused) {
  TACGComponent& c = Loaded();
  c.SetReaderIndex(1);
  EXPECT_EQ(c.ReaderIndex(), 1);
  c.SetReaderIndex(2);
  EXPECT_EQ(c.ReaderIndex(), 1);
  EXPECT_EQ(ui_->lastText(), QStringLiteral("Nedozvoljena vrijednost za indeks čitača [treba biti između 0 i 1]"));
  c.SetReaderIndex(-1);
  EXPECT_EQ(c.ReaderIndex(), 1);

  // One reader: the free slot hidden.
  module_->ctl.acpkcs_ctl_hide_uninitialised_slots(1);
  c.SetReaderIndex(0);
  c.RefreshReaders();
  EXPECT_EQ(c.ReaderCount, 1);
  c.SetReaderIndex(1);
  EXPECT_EQ(ui_->lastText(), QStringLiteral("Nedozvoljena vrijednost za indeks čitača [treba biti 0]"));
  EXPECT_EQ(c.ReaderIndex(), 0);
}

TEST_F(CardComponent, MoreSlotsThanTheListHoldsAreCut) {
  TACGComponent& c = Loaded();
  module_->ctl.acpkcs_ctl_add_fake_slots(12);
  c.RefreshReaders();
  EXPECT_EQ(c.ReaderCount, kMaxReaders);
  EXPECT_EQ(c.ReaderNames.size(), kMaxReaders);
}

TEST_F(CardComponent, OpensAndClosesTheSessionWithTheModuleReinitialised) {
  TACGComponent& c = Loaded();
  module_->ctl.acpkcs_ctl_record(1);
  c.SetConnected(true);
  ASSERT_TRUE(c.Connected()) << events_.Joined().toStdString();
  EXPECT_EQ(events_.lines, QStringList{"AfterOpen"});
  EXPECT_FALSE(c.LoggedIn);  // a public session
  EXPECT_EQ(CurrentSession, c.SessionHandle);
  EXPECT_EQ(CurrentSlot, c.SlotList[0]);
  EXPECT_EQ(c.CurrentSlotId, c.SlotList[0]);
  EXPECT_EQ(c.CurrentReaderName, c.ReaderNames[0]);
  // SoftHSM2's serial fills all 16 characters; blanks would have become NULs.
  EXPECT_GT(strnlen(reinterpret_cast<const char*>(c.TokenInfo.serialNumber), 16), 0u);
  EXPECT_EQ(c.UserCertSerial, 0);  // read only once logged in

  std::vector<std::string> calls = Calls();
  ASSERT_GE(calls.size(), 1u);
  bool found = false;
  for (const std::string& l : calls)
    if (l.rfind("C_OpenSession", 0) == 0) {
      found = true;
      EXPECT_NE(l.find("flags=0x6"), std::string::npos) << l;
    }
  EXPECT_TRUE(found);

  c.SetConnected(false);
  EXPECT_FALSE(c.Connected());
  EXPECT_TRUE(c.LibraryInitialized);
  EXPECT_EQ(events_.lines, (QStringList{"AfterOpen", "AfterClose"}));
  EXPECT_EQ(Names(Calls()),
            (std::vector<std::string>{"C_GetSessionInfo", "C_CloseAllSessions", "C_Finalize", "C_Initialize"}));
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
}

// The opening ends its hourglass before AfterOpen: what the handler then does with
// the cursor (here, the hourglass of work of its own) stays, and the state change
// comes last.
TEST_F(CardComponent, AfterOpenComesAfterTheCursorAndBeforeTheStateChange) {
  TACGComponent& c = Loaded();
  QStringList seen;
  c.OnAfterOpen = [&](TACGComponent*) {
    seen << QStringLiteral("AfterOpen cursor=%1").arg(ui_->waitCursor());
    ui_->setWaitCursor(true);
  };
  QObject::connect(&c, &TACGComponent::StateChanged,
                   [&] { seen << QStringLiteral("StateChanged cursor=%1").arg(ui_->waitCursor()); });
  c.SetConnected(true);
  ASSERT_TRUE(c.Connected()) << events_.Joined().toStdString();
  EXPECT_EQ(seen, (QStringList{"AfterOpen cursor=0", "StateChanged cursor=1"}));
  EXPECT_TRUE(ui_->waitCursor());
}

TEST_F(CardComponent, OpenFailuresReachTheOpenSessionEvent) {
  struct Case {
    const char* what;
    std::function<void(TACGComponent&)> arrange;
    QString event;
    bool connected;
  };
  const std::vector<Case> cases = {
      {"the free slot holds no usable token", [](TACGComponent& c) { c.SetReaderIndex(1); },
       QStringLiteral("OpenSessionError 225 CKR_TOKEN_NOT_RECOGNIZED"), false},
      {"the card is out", [this](TACGComponent&) { SetCardPresent(0, false); },
       QStringLiteral("OpenSessionError 224 Kartica nije prisutna !"), false},
      {"the token info fails otherwise",
       [this](TACGComponent&) { module_->ctl.acpkcs_ctl_fail("C_GetTokenInfo", CKR_DEVICE_ERROR, 1); },
       QStringLiteral("OpenSessionError 48 CKR_DEVICE_ERROR"), false},
      {"C_OpenSession fails",
       [this](TACGComponent&) { module_->ctl.acpkcs_ctl_fail("C_OpenSession", CKR_SESSION_COUNT, 1); },
       QStringLiteral("OpenSessionError 177 CKR_SESSION_COUNT"), false},
      {"a token neither initialised nor with a user PIN",
       [this](TACGComponent&) {
         module_->ctl.acpkcs_ctl_token_flags(-1, 0, ~(CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED));
       },
       QStringLiteral("OpenSessionError -1 Kartica nije inicijalizirana"), true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    TACGComponent& c = Loaded();
    k.arrange(c);
    module_->ctl.acpkcs_ctl_record(1);
    c.SetConnected(true);
    EXPECT_EQ(events_.lines, QStringList{k.event});
    EXPECT_EQ(c.Connected(), k.connected);
    EXPECT_FALSE(ui_->waitCursor());
    std::vector<std::string> calls = Calls();
    if (k.event.contains("177") || k.event.contains("225")) {
      EXPECT_EQ(Names(calls).back(), "C_CloseAllSessions");  // nothing left half-open
    }
    module_->ctl.acpkcs_ctl_reset();
  }
}

TEST_F(CardComponent, NoReaderAtTheIndexIsRefusedWithoutCallingTheModule) {
  TACGComponent& c = Loaded();
  module_->ctl.acpkcs_ctl_fail("C_GetSlotList", CKR_DEVICE_ERROR, 1);
  c.RefreshReaders();
  ui_->boxes.clear();
  EXPECT_EQ(c.ReaderCount, 0);
  module_->ctl.acpkcs_ctl_record(1);
  c.SetConnected(true);
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(events_.lines, QStringList{"OpenSessionError 3 CKR_SLOT_ID_INVALID"});
  EXPECT_TRUE(Calls().empty());
}

TEST_F(CardComponent, InformationFailuresAfterOpeningShowTheirBoxes) {
  {
    TACGComponent& c = Loaded();
    // The third call: the token explorer's fill reads the token information between
    // the component's two reads.
    module_->ctl.acpkcs_ctl_fail("C_GetTokenInfo", CKR_DEVICE_ERROR, 3);
    c.SetConnected(true);
    EXPECT_TRUE(c.Connected());  // the session stays
    EXPECT_EQ(ui_->lastText(), QStringLiteral("Greška kod dohvata informacija o kartici ! [ErrorCode = 48]"));
    EXPECT_FALSE(events_.Has("AfterOpen"));
  }
  {
    TACGComponent& c = Loaded();
    module_->ctl.acpkcs_ctl_fail("C_GetSessionInfo", CKR_DEVICE_ERROR, 1);
    c.SetConnected(true);
    EXPECT_TRUE(c.Connected());
    EXPECT_EQ(ui_->lastText(), QStringLiteral("Greška kod dohvata informacija o vezi s čitačem ! [ErrorCode = 48]"));
    EXPECT_FALSE(events_.Has("AfterOpen"));
  }
}

TEST_F(CardComponent, LoginReadsTheCardsCertificate) {
  TACGComponent& c = LoggedIn();
  EXPECT_EQ(events_.lines, (QStringList{"AfterOpen", "AfterLogin"}));
  EXPECT_EQ(c.UserCertSerialHex, QStringLiteral("01A20F337C"));
  EXPECT_EQ(c.UserCertSerial, 0x01A20F33);
  ASSERT_TRUE(c.UserCertificate->Loaded);
  EXPECT_EQ(c.UserCertificate->SerialHex, c.UserCertSerialHex);
  EXPECT_EQ(c.UserCertificate->SubjectCommonName, QStringLiteral("Test Signer Alpha"));
  const std::vector<unsigned char> der = ReadAll(Token(0).certDer());
  ASSERT_EQ(static_cast<size_t>(c.UserCertificate->DerLength), der.size());
  EXPECT_EQ(0, memcmp(c.UserCertificate->Der, der.data(), der.size()));

  // Closing finalises the module, which ends the login with the session.
  c.SetConnected(false);
  EXPECT_FALSE(c.LoggedIn);
  c.SetConnected(true);
  EXPECT_TRUE(c.Connected());
  EXPECT_FALSE(c.LoggedIn);
}

TEST_F(CardComponent, RemovalWhileLoggedInLogsOutClosesAndReinitialises) {
  TACGComponent& c = LoggedIn();
  const CK_SESSION_HANDLE session = c.SessionHandle;
  events_.lines.clear();
  module_->ctl.acpkcs_ctl_record(1);

  SetCardPresent(0, false);
  // Nothing happens inside the module's call: the work waits for the event loop.
  EXPECT_TRUE(events_.lines.isEmpty());
  EXPECT_TRUE(c.LoggedIn);
  ASSERT_TRUE(SpinUntil([&] { return events_.Has("InsertRemove 2"); }));

  EXPECT_EQ(events_.lines, (QStringList{"AfterLogout", "AfterClose", "InsertRemove 2"}));
  EXPECT_EQ(events_.lastNotifySession, session);
  EXPECT_EQ(events_.lastNotifyApp, &c);
  EXPECT_FALSE(c.LoggedIn);
  EXPECT_FALSE(c.Connected());
  EXPECT_FALSE(c.CardPresent);
  EXPECT_EQ(c.UserCertSerial, 0);
  EXPECT_TRUE(c.UserCertSerialHex.isEmpty());
  EXPECT_TRUE(c.LibraryInitialized);
  EXPECT_TRUE(c.PollTimer->isActive());
  std::vector<std::string> names = Names(Calls());
  std::vector<std::string> tail(names.end() - 2, names.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"C_Finalize", "C_Initialize"}));
  EXPECT_EQ(Count(names, "C_CloseAllSessions"), 1);

  // The card back: no session hears it, the component's own poll does (amNone).
  SetCardPresent(0, true);
  ASSERT_TRUE(SpinUntil([&] { return events_.Has("InsertRemove 3"); }));
  EXPECT_TRUE(c.CardPresent);
  EXPECT_FALSE(c.PollTimer->isActive());
  EXPECT_EQ(events_.lastNotifyApp, nullptr);

  // And the user logs in again.
  EXPECT_TRUE(c.Login());
  EXPECT_EQ(c.UserCertSerial, 0x01A20F33);
}

TEST_F(CardComponent, NotificationFromTheModulesOwnThreadIsHandledOnTheUiThread) {
  // The module follows a control file from a thread of its own when one is named
  // at initialisation, as a middleware's event thread would.
  TempDir dir("card-control");
  const std::string control = dir.file("card");
  WriteAll(control, "# all cards in\n");
  setenv("TARVI_CARD_CONTROL", control.c_str(), 1);
  TACGComponent& c = LoggedIn();
  unsetenv("TARVI_CARD_CONTROL");
  QThread* handledOn = nullptr;
  c.OnAfterLogout = [&](TACGComponent*) { handledOn = QThread::currentThread(); };
  WriteAll(control, "slot " + std::to_string(IndexOfToken(0)) + " absent\n");
  ASSERT_TRUE(SpinUntil([&] { return events_.Has("InsertRemove 2"); }));
  EXPECT_EQ(handledOn, QCoreApplication::instance()->thread());
  EXPECT_FALSE(c.Connected());
  EXPECT_FALSE(c.LoggedIn);
  EXPECT_TRUE(c.LibraryInitialized);
  module_->ctl.acpkcs_ctl_set_control_file(nullptr);
}

// The steps that let pending messages run can meet a card notification there: the
// session it closed is not closed a second time, nor taken for open afterwards.
TEST_F(CardComponent, ANotificationHandledInsideOpeningOrClosingWins) {
  {
    TACGComponent& c = LoggedIn();
    events_.lines.clear();
    bool removed = false;
    ui_->onProcess = [&] {
      if (!removed) {
        removed = true;
        SetCardPresent(0, false);
      }
      QCoreApplication::processEvents();
    };
    module_->ctl.acpkcs_ctl_record(1);
    c.CloseSession();
    ui_->onProcess = nullptr;
    EXPECT_EQ(events_.lines, (QStringList{"AfterLogout", "AfterClose", "InsertRemove 2"}));
    EXPECT_EQ(Count(Calls(), "C_Finalize"), 1);
    EXPECT_FALSE(c.Connected());
    EXPECT_TRUE(c.LibraryInitialized);
    EXPECT_FALSE(ui_->waitCursor());
  }
  module_->ctl.acpkcs_ctl_reset();
  {
    // Another session has logged the user in, so the new one opens logged in; the
    // card goes out while the component reads the session's state.
    TACGComponent& c = Loaded();
    const CK_SESSION_HANDLE other = module_->open(c.SlotList[0]);
    ASSERT_EQ(module_->login(other, "1234"), CKR_OK);
    bool removed = false;
    ui_->onProcess = [&] {
      if (!removed && c.SessionHandle != 0) {
        removed = true;
        SetCardPresent(0, false);
      }
      QCoreApplication::processEvents();
    };
    c.SetConnected(true);
    ui_->onProcess = nullptr;
    EXPECT_TRUE(removed);
    EXPECT_EQ(events_.lines, (QStringList{"AfterClose", "InsertRemove 2"}));
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(c.LoggedIn);
    EXPECT_EQ(c.UserCertSerial, 0);
    EXPECT_FALSE(ui_->waitCursor());
  }
}

TEST_F(CardComponent, PollActsOnlyWithoutAnAutomaticMode) {
  TACGComponent& c = Loaded();
  c.PollTimer->start();
  for (TAutoMode mode : {amLogin, amOpen}) {
    c.SetAutoMode(mode);
    c.PollCard();
    EXPECT_TRUE(events_.lines.isEmpty()) << mode;
  }
  c.SetAutoMode(amNone);
  c.PollCard();
  EXPECT_EQ(events_.lines, QStringList{"InsertRemove 3"});
}

// The main window's close handler closes the session; then the component goes.
TEST_F(CardComponent, ShutdownForModuleVersionsOneAndTwo) {
  struct Case {
    const char* module;
    bool logoutOnClose;
    std::vector<std::string> close;
  };
  const std::vector<Case> cases = {
      {"libacpkcs.so", false, {"C_GetSessionInfo", "C_CloseAllSessions", "C_Finalize", "C_Initialize"}},
      {"libacpkcs.so", true, {"C_GetSessionInfo", "C_Logout", "C_CloseAllSessions", "C_Finalize", "C_Initialize"}},
      {"libacpkcs_v1.so", false, {"C_GetSessionInfo", "C_Finalize", "C_Initialize"}},
      {"libacpkcs_v1.so", true, {"C_GetSessionInfo", "C_Logout", "C_Finalize", "C_Initialize"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.module) + (k.logoutOnClose ? " with logout" : " without logout"));
    UseModule(k.module);
    TACGComponent& c = LoggedIn();
    EXPECT_EQ(c.ModuleMajorVersion, k.module == std::string("libacpkcs.so") ? 2 : 1);
    c.LogOutOnClose = k.logoutOnClose;
    module_->ctl.acpkcs_ctl_record(1);
    c.CloseSession();
    EXPECT_EQ(Names(Calls()), k.close);
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(c.LoggedIn);
    EXPECT_TRUE(events_.Has("AfterClose"));
    Destroy();
    EXPECT_EQ(Names(Calls()), std::vector<std::string>{"C_Finalize"});
    EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  }
}

TEST_F(CardComponent, VersionOneIgnoresCardPresentNotifications) {
  UseModule("libacpkcs_v1.so");
  TACGComponent& c = LoggedIn();
  events_.lines.clear();
  SetCardPresent(0, false);
  ASSERT_TRUE(SpinUntil([&] { return events_.Has("InsertRemove 2"); }));
  EXPECT_EQ(events_.lines, (QStringList{"AfterLogout", "AfterClose", "InsertRemove 2"}));
  SetCardPresent(0, true);
  // The poll reports the card, and this module's version leaves that unheard.
  c.PollCard();
  EXPECT_FALSE(events_.Has("InsertRemove 3"));
  EXPECT_FALSE(c.CardPresent);
  EXPECT_TRUE(c.PollTimer->isActive());
}

TEST_F(CardComponent, CloseFailuresReachTheirEventsAndBoxes) {
  struct Case {
    const char* function;
    bool logoutOnClose;
    QString event;  // empty: none
    QStringList boxes;
    bool initialisedAfter;
  };
  const std::vector<Case> cases = {
      {"C_Logout", true, "LogoutError 48 Greška kod odjavljivanja ...", {}, true},
      {"C_CloseAllSessions", false, "CloseSessionError 48 CKR_DEVICE_ERROR", {}, true},
      // The module stays initialised, so initialising it again fails as well.
      {"C_Finalize",
       false,
       "",
       {"Pogreška finalizacije Cryptoki biblioteke funkcija ! [ErrorCode = 48 ]",
        "Pogreška inicijalizacije Cryptoki biblioteke funkcija ! [ErrorCode = 401 ]"},
       false},
      {"C_Initialize", false, "", {"Pogreška inicijalizacije Cryptoki biblioteke funkcija ! [ErrorCode = 48 ]"}, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.function);
    TACGComponent& c = LoggedIn();
    c.LogOutOnClose = k.logoutOnClose;
    events_.lines.clear();
    ui_->boxes.clear();
    module_->ctl.acpkcs_ctl_fail(k.function, CKR_DEVICE_ERROR, 1);
    c.CloseSession();
    QStringList expected;
    if (!k.event.isEmpty()) expected << k.event;
    expected << "AfterClose";
    EXPECT_EQ(events_.lines, expected);
    QStringList shown;
    for (const auto& b : ui_->boxes) shown << b.text;
    EXPECT_EQ(shown, k.boxes);
    EXPECT_EQ(c.LibraryInitialized, k.initialisedAfter);
    EXPECT_FALSE(c.Connected());
    // Not initialised: the component leaves the module alone from then on.
    if (!k.initialisedAfter) {
      c.SetConnected(true);
      EXPECT_FALSE(c.Connected());
      EXPECT_FALSE(c.Login());
    }
    Destroy();
    module_->ctl.acpkcs_ctl_reset();
    module_->f->C_Finalize(nullptr);
  }
}

// The module binds but will not initialise, and later will not finalise: each is
// shown, and a component whose module never initialised starts nothing.
TEST_F(CardComponent, InitialiseAndFinaliseFailuresAtLoadAndDestroy) {
  {
    TACGComponent& c = Make(amLogin);
    module_->ctl.acpkcs_ctl_fail("C_Initialize", CKR_DEVICE_ERROR, 1);
    module_->ctl.acpkcs_ctl_record(1);
    c.Loaded();
    EXPECT_FALSE(c.LibraryInitialized);
    EXPECT_EQ(ui_->lastText(),
              QStringLiteral("Pogreška inicijalizacije Cryptoki biblioteke funkcija ! [ErrorCode = 48 ]"));
    EXPECT_EQ(ui_->boxes.size(), 1u);
    EXPECT_FALSE(ui_->terminateRequested());
    EXPECT_EQ(c.ReaderCount, 0);
    EXPECT_TRUE(events_.lines.isEmpty()) << events_.Joined().toStdString();
    Destroy();  // nothing to finalise
    EXPECT_EQ(Count(Calls(), "C_Finalize"), 0);
    module_->ctl.acpkcs_ctl_reset();
  }
  {
    ui_->boxes.clear();
    TACGComponent& c = Loaded();
    ASSERT_TRUE(c.LibraryInitialized);
    module_->ctl.acpkcs_ctl_fail("C_Finalize", CKR_DEVICE_ERROR, 1);
    Destroy();
    EXPECT_EQ(ui_->lastText(),
              QStringLiteral("Pogreška finalizacije Cryptoki biblioteke funkcija ! [ErrorCode = 48 ]"));
    EXPECT_EQ(ui_->boxes.size(), 1u);
  }
}

TEST_F(CardComponent, WithoutAModuleTheProgramGoesOnOnlyWhenAllowed) {
  const QString key = "SOFTWARE\\VodezOdir\\" + programName_ + "\\PKCS #11 DLL";
  RegWriteValue(HKEY_LOCAL_MACHINE, key, "DLL", QStringLiteral("/nonexistent/libnone.so"));
  {
    TACGComponent& c = Make(amLogin);
    c.Loaded();
    EXPECT_FALSE(c.LibraryInitialized);
    EXPECT_FALSE(ui_->terminateRequested());
    EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
    EXPECT_FALSE(c.Login());
    c.SetConnected(true);
    EXPECT_FALSE(c.Connected());
    EXPECT_TRUE(events_.lines.isEmpty());
  }
  {
    TACGComponent& c = Make(amLogin);
    c.EnableWorkWithoutPKCS = false;
    c.Loaded();
    EXPECT_FALSE(c.LibraryInitialized);
    EXPECT_TRUE(ui_->terminateRequested());
    EXPECT_EQ(ui_->lastText(), QStringLiteral("/nonexistent/libnone.so nije pronađen ! (LoadLibrary error)"));
  }
}

class OneByteSerial : public CardTest {
 protected:
  static void SetUpTestSuite() { MakeTokens({{"Short", "0x01"}}); }
  static void TearDownTestSuite() { DropTokens(); }
};

TEST_F(OneByteSerial, ShortSerialIsRightAligned) {
  TACGComponent& c = Loaded();
  ASSERT_TRUE(c.Login()) << events_.Joined().toStdString();
  EXPECT_EQ(c.UserCertSerialHex, QStringLiteral("01"));
  EXPECT_EQ(c.UserCertSerial, 1);
}

}  // namespace

// A token whose certificate object does not hold what a certificate object should.
class OddCertificateObject : public CardTest {
 protected:
  static void SetUpTestSuite() { MakeTokens({{"Odd", "0x1001"}}); }
  static void TearDownTestSuite() { DropTokens(); }

  using CertObject = Acpkcs::CertObject;
  // Replaces the token's certificate objects with these, in this order.
  void PutCertificates(const std::vector<CertObject>& objects) {
    ASSERT_EQ(module_->f->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE s = module_->open(module_->slotOf("Odd"));
    ASSERT_EQ(module_->login(s, "1234"), CKR_OK);
    EXPECT_EQ(module_->putCertificates(s, objects), "");
    module_->f->C_CloseSession(s);
    ASSERT_EQ(module_->f->C_Finalize(nullptr), CKR_OK);
  }
  // One certificate object with the value given, carrying the key pair's CKA_ID (01),
  // so that it is the user's certificate.
  void PutCertificateValue(const std::vector<uint8_t>& value) { PutCertificates({{value, {0x01}}}); }
  TACGComponent& LoggedInComponent() {
    TACGComponent& c = Loaded();
    EXPECT_TRUE(c.Login()) << events_.Joined().toStdString();
    return c;
  }
};

TEST_F(OddCertificateObject, ASerialThatCannotBeReadGivesMinusOne) {
  PutCertificateValue({0x30, 0x03, 0x02, 0x01, 0x05});  // a SEQUENCE, but no certificate
  TACGComponent& c = LoggedInComponent();
  EXPECT_EQ(c.UserCertSerial, -1);
  EXPECT_TRUE(c.UserCertSerialHex.isEmpty());
  EXPECT_FALSE(c.UserCertificate->Loaded);
}

TEST_F(OddCertificateObject, AValueLongerThanAnyCertificateIsNotRead) {
  std::vector<uint8_t> big(TCertifikat::kDerCapacity + 100, 0x41);
  PutCertificateValue(big);
  TACGComponent& c = LoggedInComponent();
  EXPECT_EQ(c.UserCertSerial, 0);
  EXPECT_FALSE(c.UserCertificate->Loaded);
}

// A card holds more certificates than the user's: the user's is the one of the key.
TEST_F(OddCertificateObject, TheUsersCertificateIsTheOneThatBelongsToTheKey) {
  const std::vector<unsigned char> user = ReadAll(Token(0).certDer());
  const std::vector<unsigned char> ca = ReadAll(Token(0).dir + "/../ca.der");
  ASSERT_FALSE(user.empty());
  ASSERT_FALSE(ca.empty());
  const std::vector<uint8_t> u(user.begin(), user.end()), a(ca.begin(), ca.end());
  std::vector<uint8_t> padded = u;
  padded.insert(padded.end(), 16, 0x00);
  const std::vector<uint8_t> key = {0x01}, other = {0x02}, none = {0x09};
  struct Case {
    const char* what;
    std::vector<CertObject> objects;
    bool found;  // else no certificate belongs to the key
  } cases[] = {
      {"the CA's certificate first", {{a, other}, {u, key}}, true},
      {"the CA's first without an id, the user's under an id of no key", {{a, {}}, {u, none}}, true},
      {"the CA's first under the key's own id", {{a, key}, {u, key}}, true},
      {"the user's padded after its DER", {{a, other}, {padded, key}}, true},
      {"only the CA's certificate", {{a, other}}, false},
      {"only the CA's certificate, under no id", {{a, {}}}, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    PutCertificates(k.objects);
    if (HasFatalFailure()) return;
    TACGComponent& c = LoggedInComponent();
    if (k.found) {
      EXPECT_EQ(c.UserCertSerialHex, QStringLiteral("1001"));
      ASSERT_TRUE(c.UserCertificate->Loaded);
      ASSERT_EQ(static_cast<size_t>(c.UserCertificate->DerLength), u.size());
      EXPECT_EQ(0, memcmp(c.UserCertificate->Der, u.data(), u.size()));
    } else {
      EXPECT_EQ(c.UserCertSerial, 0);
      EXPECT_TRUE(c.UserCertSerialHex.isEmpty());
      EXPECT_FALSE(c.UserCertificate->Loaded);
    }
    Destroy();
  }
}
