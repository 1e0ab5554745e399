#include "token_sessions_fixture.h"

#include <gtest/gtest.h>

#include <QString>

#include "card/binding.h"
#include "card/cryptoki.h"

std::vector<TokenFiles> AddTokens(SoftHsm& hsm, const std::vector<TokenSpec>& specs) {
  std::vector<TokenFiles> tokens;
  for (const TokenSpec& t : specs) tokens.push_back(hsm.addToken(t.label, "1234", t.bits, t.serial));
  return tokens;
}

void OpenLoggedInSessions(Acpkcs& m, const std::vector<TokenFiles>& tokens, std::vector<CK_SESSION_HANDLE>& sessions) {
  ASSERT_TRUE(BindCryptoki(CryptokiModule, QString::fromStdString(m.path()), false));
  ASSERT_EQ(cryptoki::C_Initialize(nullptr), CKR_OK);
  for (const TokenFiles& t : tokens) {
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(cryptoki::C_OpenSession(m.slotOf(t.label), CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
              CKR_OK);
    ASSERT_EQ(m.login(h, t.pin), CKR_OK);
    sessions.push_back(h);
  }
}

void CloseModule(Acpkcs& m) {
  cryptoki::C_Finalize(nullptr);
  UnloadCryptokiModule();
  m.ctl.acpkcs_ctl_reset();
}
