// The PIN retry policy and the vendor functions of our middleware module.
#include <gtest/gtest.h>

#include <string>

#include "acpkcs_harness.h"

namespace {

constexpr CK_FLAGS kPinFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;

class AcpkcsPin : public AcpkcsTokenTest {
 protected:
  void SetUp() override {
    AcpkcsTokenTest::SetUp();
    slot_ = m_.slotOf("Alpha");
    unlock_ = m_.symbol<CK_C_UnlockPIN>("C_UnlockPIN");
    ASSERT_NE(unlock_, nullptr);
  }
  CK_STATE state(CK_SESSION_HANDLE h) {
    CK_SESSION_INFO info{};
    EXPECT_EQ(m_.f->C_GetSessionInfo(h, &info), CKR_OK);
    return info.state;
  }
  CK_RV unlock(CK_SESSION_HANDLE h, std::string code, std::string pin) {
    return unlock_(h, reinterpret_cast<CK_UTF8CHAR_PTR>(code.data()), code.size(),
                   reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size());
  }
  void lockIt(CK_SESSION_HANDLE h) {
    m_.ctl.acpkcs_ctl_set_pin_policy(3);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(m_.login(h, "9999"), CKR_PIN_INCORRECT);
    ASSERT_EQ(m_.tokenFlags(slot_) & kPinFlags, CKF_USER_PIN_LOCKED);
  }
  CK_SLOT_ID slot_ = 0;
  CK_C_UnlockPIN unlock_ = nullptr;
};

TEST_F(AcpkcsPin, WrongPinsCountDownToLockedAndLockedIsNotForwarded) {
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_pin_policy(3), 0);
  CK_SESSION_HANDLE h = m_.open(slot_);
  struct Step {
    const char* pin;
    CK_RV rv;
    CK_FLAGS flags;
  } steps[] = {
      {"0000", CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW},
      {"1234", CKR_OK, 0},  // a good login starts the count again
      {nullptr, 0, 0},      // logout
      {"0000", CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW},
      {"0000", CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
      {"0000", CKR_PIN_INCORRECT, CKF_USER_PIN_LOCKED},
      {"1234", CKR_PIN_LOCKED, CKF_USER_PIN_LOCKED},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.pin ? s.pin : "logout");
    if (!s.pin) {
      ASSERT_EQ(m_.f->C_Logout(h), CKR_OK);
      continue;
    }
    EXPECT_EQ(m_.login(h, s.pin), s.rv);
    EXPECT_EQ(m_.tokenFlags(slot_) & kPinFlags, s.flags);
  }
  // The right PIN never reached the token.
  EXPECT_EQ(state(h), CKS_RW_PUBLIC_SESSION);
  // The lock belongs to the card, not to the session.
  CK_SESSION_HANDLE h2 = m_.open(slot_);
  EXPECT_EQ(m_.login(h2, "1234"), CKR_PIN_LOCKED);
  std::string old = "1234", neu = "5678";
  EXPECT_EQ(m_.f->C_SetPIN(h2, reinterpret_cast<CK_UTF8CHAR_PTR>(old.data()), 4,
                           reinterpret_cast<CK_UTF8CHAR_PTR>(neu.data()), 4),
            CKR_PIN_LOCKED);
}

TEST_F(AcpkcsPin, WithoutPolicyWrongPinsNeverLock) {
  CK_SESSION_HANDLE h = m_.open(slot_);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(m_.login(h, "0000"), CKR_PIN_INCORRECT);
  EXPECT_EQ(m_.tokenFlags(slot_) & (CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED), 0u);
  EXPECT_EQ(m_.login(h, "1234"), CKR_OK);
}

TEST_F(AcpkcsPin, UnlockWithWrongAndRightCode) {
  CK_SESSION_HANDLE h = m_.open(slot_);
  lockIt(h);
  EXPECT_EQ(unlock(h, "00000000", "4321"), CKR_PIN_INCORRECT);
  EXPECT_EQ(unlock(h, "8765432", "4321"), CKR_PIN_INCORRECT);
  EXPECT_EQ(m_.tokenFlags(slot_) & kPinFlags, CKF_USER_PIN_LOCKED);

  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_unlock_code("24681357"), 0);
  ASSERT_EQ(unlock(h, "24681357", "4321"), CKR_OK);
  EXPECT_EQ(m_.tokenFlags(slot_) & kPinFlags, 0u);
  EXPECT_EQ(m_.login(h, "1234"), CKR_PIN_INCORRECT);
  EXPECT_EQ(m_.login(h, "4321"), CKR_OK);
  EXPECT_EQ(state(h), CKS_RW_USER_FUNCTIONS);
}

TEST_F(AcpkcsPin, UnlockFailsWhenTheTokenRefusesTheSoPinOrTheCardIsOut) {
  CK_SESSION_HANDLE h = m_.open(slot_);
  lockIt(h);
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_so_pin("11111111"), 0);
  EXPECT_EQ(unlock(h, "87654321", "4321"), CKR_PIN_INCORRECT);
  EXPECT_EQ(m_.tokenFlags(slot_) & kPinFlags, CKF_USER_PIN_LOCKED);
  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_so_pin("12345678"), 0);
  EXPECT_EQ(unlock(h, "87654321", "4321"), CKR_OK);

  // C_ResetToken is there for binding only.
  auto reset = m_.symbol<CK_C_ResetToken>("C_ResetToken");
  ASSERT_NE(reset, nullptr);
  EXPECT_EQ(reset(slot_, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);

  ASSERT_EQ(m_.ctl.acpkcs_ctl_set_card_present_id(slot_, 0), 0);
  EXPECT_EQ(unlock(h, "87654321", "4321"), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(reset(slot_, nullptr, 0), CKR_TOKEN_NOT_PRESENT);
}

}  // namespace
