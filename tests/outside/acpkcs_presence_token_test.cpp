// Cards taken out of and put into readers: what the module then reports, and
// the notify callbacks, driven by control calls and by the control file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "acpkcs_harness.h"
#include "support/temp_dir.h"

namespace {

struct Event {
  CK_SESSION_HANDLE session;
  CK_NOTIFICATION event;
  void* app;
  std::thread::id thread;
  CK_RV reentry;  // what a call back into the module answered from inside the callback
};

std::mutex g_mu;
std::vector<Event> g_events;
CK_FUNCTION_LIST* g_module = nullptr;

CK_RV Record(CK_SESSION_HANDLE h, CK_NOTIFICATION ev, CK_VOID_PTR app) {
  CK_ULONG n = 0;
  CK_RV re = g_module->C_GetSlotList(CK_TRUE, nullptr, &n);
  std::lock_guard<std::mutex> g(g_mu);
  g_events.push_back({h, ev, app, std::this_thread::get_id(), re});
  return CKR_OK;
}

std::vector<Event> TakeEvents() {
  std::lock_guard<std::mutex> g(g_mu);
  std::vector<Event> e;
  e.swap(g_events);
  return e;
}

class AcpkcsPresence : public AcpkcsTokenTest {
 protected:
  std::vector<const char*> labels() const override { return {"Alpha", "Beta"}; }
  void SetUp() override {
    AcpkcsTokenTest::SetUp();
    g_module = m_.f;
    TakeEvents();
    a_ = m_.slotOf("Alpha");
    b_ = m_.slotOf("Beta");
  }
  CK_ULONG presentCount() {
    CK_ULONG n = 0;
    EXPECT_EQ(m_.f->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
    return n;
  }
  CK_SLOT_ID a_ = 0, b_ = 0;
  int appA_ = 0, appB_ = 0;
};

TEST_F(AcpkcsPresence, RemovalClosesSessionsAndTellsEveryCallbackOnce) {
  CK_SESSION_HANDLE sa = m_.open(a_, Record, &appA_);
  CK_SESSION_HANDLE sa2 = m_.open(a_, Record, &appA_);  // same callback twice: told once
  CK_SESSION_HANDLE sb = m_.open(b_, Record, &appB_);
  m_.open(b_);  // no callback
  const CK_ULONG before = presentCount();

  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_card_present(m_.indexOf(a_), 0), 0);
  std::vector<Event> ev = TakeEvents();
  ASSERT_EQ(ev.size(), 2u);
  for (const Event& e : ev) {
    EXPECT_EQ(e.event, 2u);
    EXPECT_EQ(e.thread, std::this_thread::get_id());
    EXPECT_EQ(e.reentry, CKR_OK);
  }
  EXPECT_EQ(ev[0].app == &appA_ ? ev[0].session : ev[1].session, sa);

  // The reader stays, the card is gone.
  EXPECT_EQ(presentCount(), before - 1);
  CK_SLOT_INFO si;
  ASSERT_EQ(m_.f->C_GetSlotInfo(a_, &si), CKR_OK);
  EXPECT_EQ(si.flags & CKF_TOKEN_PRESENT, 0u);
  CK_TOKEN_INFO ti;
  EXPECT_EQ(m_.f->C_GetTokenInfo(a_, &ti), CKR_TOKEN_NOT_PRESENT);
  CK_SESSION_HANDLE h;
  EXPECT_EQ(m_.f->C_OpenSession(a_, 6, nullptr, nullptr, &h), CKR_TOKEN_NOT_PRESENT);
  CK_ULONG n;
  EXPECT_EQ(m_.f->C_GetMechanismList(a_, nullptr, &n), CKR_TOKEN_NOT_PRESENT);
  CK_SESSION_INFO info;
  EXPECT_NE(m_.f->C_GetSessionInfo(sa, &info), CKR_OK);
  EXPECT_NE(m_.f->C_GetSessionInfo(sa2, &info), CKR_OK);
  EXPECT_EQ(m_.f->C_GetSessionInfo(sb, &info), CKR_OK);
  EXPECT_EQ(m_.f->C_CloseAllSessions(a_), CKR_OK);

  // Taking out an absent card again changes nothing and tells nobody.
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_card_present_id(a_, 0), 0);
  EXPECT_TRUE(TakeEvents().empty());

  // Insertion: only the sessions still open hear of it, with event 3.
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_card_present_id(a_, 1), 0);
  ev = TakeEvents();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].event, 3u);
  EXPECT_EQ(ev[0].session, sb);
  EXPECT_EQ(ev[0].app, &appB_);
  EXPECT_EQ(presentCount(), before);
  EXPECT_EQ(m_.f->C_GetTokenInfo(a_, &ti), CKR_OK);
}

TEST_F(AcpkcsPresence, RemovalEventValueAndStateAcrossReinitialise) {
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_removal_event(3), -1);
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_removal_event(7), 0);
  m_.open(b_, Record, &appB_);
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_card_present_id(a_, 0), 0);
  std::vector<Event> ev = TakeEvents();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].event, 7u);

  // The card stays out of its reader when the program finalises and starts again,
  // and finalising forgets the callbacks.
  ASSERT_EQ(m_.f->C_Finalize(nullptr), CKR_OK);
  ASSERT_EQ(m_.f->C_Initialize(nullptr), CKR_OK);
  CK_TOKEN_INFO ti;
  EXPECT_EQ(m_.f->C_GetTokenInfo(a_, &ti), CKR_TOKEN_NOT_PRESENT);
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_card_present_id(a_, 1), 0);
  EXPECT_TRUE(TakeEvents().empty());
}

TEST_F(AcpkcsPresence, ControlFileDrivesCardsAndSettings) {
  TempDir t;
  const std::string file = t.file("card");
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_control_file(file.c_str()), 0);
  m_.open(b_, Record, &appB_);
  const int ia = m_.indexOf(a_);

  ASSERT_EQ(m_.ctl.acpkcs_ctl_poll_control_file(), 0);  // no file yet: nothing happens
  EXPECT_TRUE(TakeEvents().empty());

  WriteAll(file, "# demo\nslot " + std::to_string(ia) + " absent\npin-tries 2\n");
  ASSERT_EQ(m_.ctl.acpkcs_ctl_poll_control_file(), 0);
  std::vector<Event> ev = TakeEvents();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].event, 2u);
  CK_TOKEN_INFO ti;
  EXPECT_EQ(m_.f->C_GetTokenInfo(a_, &ti), CKR_TOKEN_NOT_PRESENT);

  // An unchanged file is not applied again, even after a control call.
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_card_present_id(a_, 1), 0);
  TakeEvents();
  ASSERT_EQ(m_.ctl.acpkcs_ctl_poll_control_file(), 0);
  EXPECT_EQ(m_.f->C_GetTokenInfo(a_, &ti), CKR_OK);

  // pin-tries took effect: two wrong PINs lock Alpha.
  CK_SESSION_HANDLE h = m_.open(a_);
  EXPECT_EQ(m_.login(h, "0000"), CKR_PIN_INCORRECT);
  EXPECT_EQ(m_.login(h, "0000"), CKR_PIN_INCORRECT);
  EXPECT_EQ(m_.login(h, "1234"), CKR_PIN_LOCKED);

  WriteAll(file, "slot " + std::to_string(ia) + " absent   \nslot 99 present\nnonsense line\n");
  ASSERT_EQ(m_.ctl.acpkcs_ctl_poll_control_file(), 0);
  EXPECT_EQ(TakeEvents().size(), 1u);
  EXPECT_EQ(m_.f->C_GetTokenInfo(a_, &ti), CKR_TOKEN_NOT_PRESENT);
}

// The file named by TARVI_CARD_CONTROL is followed by the module's own thread,
// which is where the callbacks then come from.
TEST_F(AcpkcsPresence, ControlFileFromTheEnvironmentNotifiesFromTheModulesThread) {
  TempDir t;
  const std::string file = t.file("card");
  ASSERT_EQ(m_.f->C_Finalize(nullptr), CKR_OK);
  setenv("TARVI_CARD_CONTROL", file.c_str(), 1);
  CK_RV rv = m_.f->C_Initialize(nullptr);
  unsetenv("TARVI_CARD_CONTROL");
  ASSERT_EQ(rv, CKR_OK);
  m_.open(b_, Record, &appB_);

  WriteAll(file, "slot " + std::to_string(m_.indexOf(a_)) + " absent\n");
  std::vector<Event> ev;
  for (int i = 0; i < 300 && ev.empty(); ++i) {  // the thread looks a few times a second
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ev = TakeEvents();
  }
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].event, 2u);
  EXPECT_NE(ev[0].thread, std::this_thread::get_id());
  EXPECT_EQ(ev[0].reentry, CKR_OK);
  CK_TOKEN_INFO ti;
  EXPECT_EQ(m_.f->C_GetTokenInfo(a_, &ti), CKR_TOKEN_NOT_PRESENT);
}

}  // namespace
