// What several benchmarks make before they measure: large signed containers, a
// private SoftHSM2 token with the recipient's key, a logged-in session on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/cryptoki.h"
#include "platform/library.h"

class TCertifikat;

namespace bench {

inline constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";

// Runs cmd with /bin/sh; true when it exits with 0.
bool Sh(const std::string& cmd);

// The whole file (empty when it cannot be read).
std::vector<uint8_t> ReadFile(const std::string& path);

inline double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A signed container of about the given size: the layout around Base64 lines.
bool MakeContainer(const std::string& path, uint64_t bytes);

// A token labelled "Bench" (user PIN "1234") in dir, with a 2048-bit private key;
// the key and its self-signed certificate lie beside it.
struct Token {
  std::string dir, conf, key, certDer;
};
bool MakeToken(Token& t);

// tarvirsa.dll loaded and its function table filled; says on stderr why not.
bool LoadTarviRsa(std::unique_ptr<SharedLibrary>& rsa);

// A token made in dir and its certificate loaded; says on stderr why not.
bool MakeRecipient(const std::string& dir, Token& token, TCertifikat& cert);

// A logged-in session on the token, in this process (0 when there is none).
CK_SESSION_HANDLE OpenCard(std::unique_ptr<SharedLibrary>& module);

}  // namespace bench
