#include "bridge_fixture.h"

#include <dlfcn.h>

#include <stdexcept>

std::string BinFile(const std::string& name) { return std::string(TARVI_BIN_DIR) + "/" + name; }

Library::Library(const std::string& path) : path_(path), handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (!handle_) throw std::runtime_error("cannot load " + path + ": " + dlerror());
}

void* Library::Symbol(const char* name) const {
  void* p = dlsym(handle_, name);
  if (!p) throw std::runtime_error(std::string("no symbol ") + name + " in " + path_);
  return p;
}

FakeModule::FakeModule(bool partial) : lib_(BinFile(partial ? "libjni_fake_p11_partial.so" : "libjni_fake_p11.so")) {}

void FakeModule::Set(const char* key, unsigned long value) const {
  lib_.Get<void(const char*, unsigned long)>("fake_p11_set")(key, value);
}
unsigned long FakeModule::Value(const char* key) const {
  return lib_.Get<unsigned long(const char*)>("fake_p11_get")(key);
}
std::string FakeModule::Text(const char* key) const {
  auto text = lib_.Get<unsigned long(const char*, char*, unsigned long)>("fake_p11_text");
  std::string out(text(key, nullptr, 0), '\0');
  text(key, out.data(), out.size());
  return out;
}
void FakeModule::Reset() const { lib_.Get<void()>("fake_p11_reset")(); }
