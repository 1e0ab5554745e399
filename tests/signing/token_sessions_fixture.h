#pragma once
// Tokens of a private SoftHSM2 behind our middleware module, the module bound the
// way the program binds it, each token with an open session that is logged in: the
// ground of both the signing and the decrypting token tests.
#include <string>
#include <vector>

#include "interfaces/pkcs11.h"
#include "outside/acpkcs_harness.h"
#include "support/token.h"

struct TokenSpec {
  std::string label;
  int bits = 1024;
  std::string serial = "0x1001";
};

// One token per spec, each with the PIN "1234".
std::vector<TokenFiles> AddTokens(SoftHsm& hsm, const std::vector<TokenSpec>& specs);
// Binds the module m as the program binds its module, initialises it, and opens
// and logs in one read-write session per token, appended to sessions in the
// tokens' order. A failure is a fatal test failure (see HasFatalFailure).
void OpenLoggedInSessions(Acpkcs& m, const std::vector<TokenFiles>& tokens, std::vector<CK_SESSION_HANDLE>& sessions);
// Finalises and unbinds the module, and resets its controls for the next test.
void CloseModule(Acpkcs& m);
