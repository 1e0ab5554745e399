#pragma once
// A registry of its own (TARVI_REGISTRY_DIR) for as long as the object lives: an
// empty folder of hive files, and the registry folder before it afterwards.
#include <string>

#include "support/temp_dir.h"

class PrivateRegistry {
 public:
  explicit PrivateRegistry(const std::string& tag = "registry");
  ~PrivateRegistry();
  PrivateRegistry(const PrivateRegistry&) = delete;
  PrivateRegistry& operator=(const PrivateRegistry&) = delete;

  const std::string& path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }

 private:
  TempDir dir_;
  bool had_ = false;
  std::string saved_;
};
