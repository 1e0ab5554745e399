#pragma once
// Signing against real tokens: a private SoftHSM2 with one token per signer, behind
// our middleware module bound the way the program binds it, each token with an open
// session that is logged in. CurrentSession follows the token in use, as the card
// layer's session would.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "interfaces/pkcs11.h"
#include "outside/acpkcs_harness.h"
#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"
#include "support/token.h"
#include "token_sessions_fixture.h"

class CardTokenTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The tokens this test needs; one by default.
  virtual std::vector<TokenSpec> tokenSpecs() const { return {{"Alpha"}}; }

  // Makes token i the card in use: CurrentSession := its session.
  void useToken(size_t i);
  CK_SESSION_HANDLE session(size_t i) const { return sessions_.at(i); }
  const TokenFiles& token(size_t i) const { return tokens_.at(i); }
  // Removes every RSA public key object from token i.
  void destroyPublicKeys(size_t i);
  // Adds a further certificate object (DER file) to token i.
  void addCertificateObject(size_t i, const std::string& derPath, const std::string& label);
  std::string takeLog() { return m_.takeLog(); }

  SoftHsm hsm_;
  FakeUiServices ui_;
  Acpkcs m_;
  std::vector<TokenFiles> tokens_;
  std::vector<CK_SESSION_HANDLE> sessions_;
};

// Checks a signature over exactly the bytes of dataPath with the certificate,
// through the openssl command line (SHA-1, PKCS #1 v1.5): "" when it verifies,
// else openssl's complaint.
std::string OpensslVerifySha1(const std::string& certPem, const std::string& dataPath, const std::string& sigPath);
// Checks a signature over a raw DigestInfo (openssl pkeyutl): "" when it verifies.
std::string OpensslVerifyRaw(const std::string& certPem, const std::string& digestInfoPath, const std::string& sigPath);
