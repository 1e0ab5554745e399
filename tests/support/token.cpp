#include "support/token.h"

#include <cstdlib>
#include <stdexcept>

SoftHsm::SoftHsm() {
  if (const char* c = std::getenv("SOFTHSM2_CONF")) {
    hadConf_ = true;
    oldConf_ = c;
  }
  setenv("SOFTHSM2_CONF", conf().c_str(), 1);
}

SoftHsm::~SoftHsm() {
  if (hadConf_)
    setenv("SOFTHSM2_CONF", oldConf_.c_str(), 1);
  else
    unsetenv("SOFTHSM2_CONF");
}

static std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

TokenFiles SoftHsm::addToken(const std::string& label, const std::string& pin, int bits, const std::string& serial,
                             const std::string& cn) {
  std::string cmd = std::string(TARVI_TEST_SCRIPTS) + "/make_token.sh " + Quote(root()) + " " + Quote(label) + " " +
                    Quote(pin) + " " + std::to_string(bits) + " " + Quote(serial) + " " +
                    Quote(cn.empty() ? "Test Signer " + label : cn);
  std::string out;
  if (Run(cmd, &out) != 0) throw std::runtime_error("make_token.sh failed for " + label + ": " + out);
  return TokenFiles{root() + "/" + label, label, pin};
}
