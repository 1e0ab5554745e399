#include "support/private_registry.h"

#include <cstdlib>

PrivateRegistry::PrivateRegistry(const std::string& tag) : dir_(tag) {
  const char* old = std::getenv("TARVI_REGISTRY_DIR");
  had_ = old != nullptr;
  saved_ = old ? old : "";
  setenv("TARVI_REGISTRY_DIR", dir_.path().c_str(), 1);
}

PrivateRegistry::~PrivateRegistry() {
  if (had_)
    setenv("TARVI_REGISTRY_DIR", saved_.c_str(), 1);
  else
    unsetenv("TARVI_REGISTRY_DIR");
}
