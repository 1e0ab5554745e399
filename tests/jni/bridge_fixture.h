#pragma once
// Loads a built bridge library, or the scripted PKCS#11 module, into the test
// process. Each gtest case runs in a process of its own, so every case starts
// with a bridge that has loaded nothing; two builds loaded side by side keep two
// separate states.
#include <string>

#include "jni_bridge/jdirect.h"

std::string BinFile(const std::string& name);

class Library {
 public:
  explicit Library(const std::string& path);  // never unloaded: the bridge keeps its module mapped
  void* Symbol(const char* name) const;
  template <typename F>
  F* Get(const char* name) const {
    return reinterpret_cast<F*>(Symbol(name));
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  void* handle_;
};

// A J/Direct function of a loaded bridge, typed from its declaration.
#define JDIRECT(lib, name) ((lib).Get<decltype(::jdirect_##name)>("jdirect_" #name))

inline const char* kNewBuild = "libTarviPkcs11JNI.so";
inline const char* kOldBuild = "libNetsentryDll.so";

// The scripted module (tests/jni/fake_p11_module.cpp), full or partial.
class FakeModule {
 public:
  explicit FakeModule(bool partial = false);
  const std::string& path() const { return lib_.path(); }
  void Set(const char* key, unsigned long value) const;
  unsigned long Value(const char* key) const;
  std::string Text(const char* key) const;
  void Reset() const;

 private:
  Library lib_;
};
