#pragma once
// The build's cryptographic library (bin/libtarvirsa.so) bound into the card
// layer's function table, once per test program. Only for tests that link
// tarvi_card: the support library itself does not.
#include <memory>
#include <string>

#include "card/tarvirsa_api.h"
#include "platform/library.h"

inline std::string BuiltTarviRsaPath() { return std::string(TARVI_BIN_DIR) + "/libtarvirsa.so"; }

// False, with the reason in *why, when the library is missing or lacks a function;
// the first call's answer stands for the whole test program.
inline bool BindBuiltTarviRsa(std::string* why = nullptr) {
  static const std::string problem = [] {
    static std::unique_ptr<SharedLibrary> lib;
    std::string err;
    lib = SharedLibrary::Load(BuiltTarviRsaPath(), &err);
    if (!lib) return "cannot load libtarvirsa.so: " + err;
    const auto missing = FillTarviRsaTable(*lib);
    if (!missing.empty()) return "libtarvirsa.so lacks " + missing.front();
    return std::string();
  }();
  if (why) *why = problem;
  return problem.empty();
}
