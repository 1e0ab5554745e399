#include "support/cert_set.h"

#include <filesystem>
#include <map>
#include <stdexcept>

MadeCert MadeCertPaths(const std::string& folder, const std::string& name) {
  const std::string base = folder + "/" + name;
  return MadeCert{base + ".der", base + ".p7c", base + ".pem"};
}

const MadeCert& MadeCertIn(const std::string& folder, const std::string& name) {
  static std::map<std::string, MadeCert> known;
  const std::string key = folder + "/" + name;
  auto it = known.find(key);
  if (it == known.end()) {
    MadeCert m = MadeCertPaths(folder, name);
    if (!std::filesystem::exists(m.der)) throw std::runtime_error("no fixture certificate " + name);
    it = known.emplace(key, m).first;
  }
  return it->second;
}
