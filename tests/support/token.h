#pragma once
// A private SoftHSM2 token for one test: its own configuration, token folder, test
// CA and a user key pair with certificate on the token. SOFTHSM2_CONF points at it
// for as long as the object lives.
#include <string>

#include "support/temp_dir.h"

struct TokenFiles {
  std::string dir;  // folder with user.key, user.crt, user.der, pub.der, pub.pem
  std::string label;
  std::string pin;
  std::string keyPem() const { return dir + "/user.key"; }
  std::string certPem() const { return dir + "/user.crt"; }
  std::string certDer() const { return dir + "/user.der"; }
};

class SoftHsm {
 public:
  SoftHsm();
  ~SoftHsm();
  // Adds a token; throws on failure.
  TokenFiles addToken(const std::string& label, const std::string& pin = "1234", int bits = 2048,
                      const std::string& serial = "0x1001", const std::string& cn = "");
  const std::string& root() const { return tmp_.path(); }
  std::string conf() const { return tmp_.path() + "/softhsm2.conf"; }
  std::string caCert() const { return tmp_.path() + "/ca.crt"; }
  std::string caKey() const { return tmp_.path() + "/ca.key"; }
  static const char* module() { return "/usr/lib/softhsm/libsofthsm2.so"; }

 private:
  TempDir tmp_{"softhsm"};
  std::string oldConf_;
  bool hadConf_ = false;
};
