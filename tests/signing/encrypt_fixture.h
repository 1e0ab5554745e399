#pragma once
// Encrypted containers made and opened by the tests themselves with libcrypto
// (never with the program's writer or reader), and private SoftHSM2 tokens behind
// our middleware module for decryption on the card.
#include <gtest/gtest.h>
#include <openssl/types.h>

#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "card/certificate.h"
#include "container_fixture.h"
#include "interfaces/pkcs11.h"
#include "outside/acpkcs_harness.h"
#include "platform/fake_ui_services.h"
#include "signing/data_module.h"
#include "support/qt_print.h"
#include "support/temp_dir.h"
#include "support/token.h"
#include "token_sessions_fixture.h"

namespace enctest {

// DES-EDE3 in ECB without padding, cut into calls of `piece` bytes (0: one call).
Bytes Des3Ecb(const Bytes& key24, const Bytes& data, bool encrypt, size_t piece = 0);
// PKCS #7 padding to 8 (nothing for an empty input), as the container pads.
Bytes Pad8(const Bytes& plain);
// RSAES-PKCS1-v1_5 with a public or private key.
Bytes RsaWrap(EVP_PKEY* key, const Bytes& data);
Bytes RsaUnwrap(EVP_PKEY* key, const Bytes& data);
// A key from a PEM file; a certificate's public key from a DER file.
std::shared_ptr<EVP_PKEY> LoadPrivateKey(const std::string& pemPath);
std::shared_ptr<EVP_PKEY> CertPublicKey(const Bytes& certDer);

// One container as the layout has it, each part as written.
struct Spec {
  std::string version = "Tarvi Sealdesk 1.0.0.8";
  struct Recipient {
    std::string subject = "CN=Test Recipient,O=Tarvi Test,C=HR";
    std::string serial = "1001";
  };
  std::vector<Recipient> recipients = {Recipient{}};
  std::string payload;               // Base64 text exactly as it stands between the CDATA lines
  std::vector<std::string> keysHex;  // one SessionKey text each
  std::string text() const;
};

// A whole container for the plain text: padded, enciphered under key24 in one go
// and wrapped for each public key, one Recipient per key.
std::string MakeContainer(const Bytes& plain, const Bytes& key24, const std::vector<EVP_PKEY*>& recipients,
                          const std::vector<std::string>& serials = {});
// The same for a cipher text given whole (no padding added).
std::string MakeContainerFromCipher(const Bytes& cipher, const Bytes& key24, const std::vector<EVP_PKEY*>& recipients,
                                    const std::vector<std::string>& serials = {});

// What a container holds, found by plain text search.
struct Parts {
  std::string version, subject, serial;
  std::string payloadText;
  Bytes cipher;  // the payload decoded
  std::vector<Bytes> wrappedKeys;
};
Parts Split(const std::string& text);

// A certificate as the program loads it.
std::unique_ptr<TCertifikat> LoadCert(const Bytes& der);

// Every file in a folder (names), hidden ones included.
std::vector<std::string> FilesIn(const std::string& folder);

// The data module and the global settings for one test; both gone afterwards.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  QString dir(const std::string& sub = "") const;  // a folder of the test, made on demand
  TempDir tmp_{"enc"};
  FakeUiServices ui_;
  std::unique_ptr<TdmCollector> dm_;
};

// Tokens of a private SoftHSM2 behind libacpkcs.so, bound the way the program
// binds its module, each with an open logged-in session (token_sessions_fixture.h).
class EncTokenTest : public EngineTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual std::vector<TokenSpec> tokenSpecs() const { return {{"Alpha"}, {"Beta"}}; }
  CK_SESSION_HANDLE session(size_t i) const { return sessions_.at(i); }
  const TokenFiles& token(size_t i) const { return tokens_.at(i); }
  Bytes certDer(size_t i) const { return ReadAll(token(i).certDer()); }
  // The serial of token i's certificate as the card layer shows it.
  QString cardSerial(size_t i) const;
  // A fresh logged-in session for token i in place of its old one (an injected
  // failure leaves the real module's operation open).
  void reopen(size_t i);
  // Runs before the module is bound and the sessions open.
  virtual void beforeSessions() {}
  // Imports a private key (PEM) into token i under the given id (from beforeSessions).
  void importPrivateKey(size_t i, const std::string& pemPath, const std::string& id);

  SoftHsm hsm_;
  Acpkcs m_;
  std::vector<TokenFiles> tokens_;
  std::vector<CK_SESSION_HANDLE> sessions_;
};

}  // namespace enctest
