// Verification speed and memory of a large signed container.
//
//   verify_bench [payload bytes, default 1 GiB] [work folder, default $TMPDIR]
//
// Makes a container whose payload is the Base64 text of that many random bytes,
// signs it with a fresh key (openssl command line), verifies it with the program's
// verifier and prints the time beside `sha1sum` of the same file, their ratio
// (target: at most 1.3) and the peak resident memory (target: under 64 MiB).
// Both runs read the file from the page cache. Build in Release for real figures.
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"
#include "card/tarvirsa_api.h"
#include "platform/fake_ui_services.h"
#include "platform/library.h"
#include "signing/container.h"
#include "signing/verify.h"

using namespace bench;

namespace {

// Base64 lines of random bytes, as the container carries them, fed block by block.
class PayloadMaker {
 public:
  explicit PayloadMaker(uint64_t total) : left_(total), total_(total) {}
  // Appends the next part of the text to out; false when nothing is left.
  bool next(std::string& out) {
    if (left_ == 0) return false;
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const uint64_t n = std::min<uint64_t>(left_, 2304 * 64);
    out.clear();
    for (uint64_t line = 0; line * 48 < n; ++line) {
      if (!first_) out += "\r\n";
      first_ = false;
      const uint64_t len = std::min<uint64_t>(48, n - line * 48);
      uint8_t b[48];
      for (uint64_t i = 0; i < len; ++i) b[i] = uint8_t(rnd() >> 56);
      for (uint64_t i = 0; i < len; i += 3) {
        const uint64_t k = std::min<uint64_t>(3, len - i);
        uint32_t v = uint32_t(b[i]) << 16 | (k > 1 ? uint32_t(b[i + 1]) << 8 : 0) | (k > 2 ? b[i + 2] : 0);
        out += a[(v >> 18) & 63];
        out += a[(v >> 12) & 63];
        out += k > 1 ? a[(v >> 6) & 63] : '=';
        out += k > 2 ? a[v & 63] : '=';
      }
    }
    left_ -= n;
    if (left_ == 0 && total_ % 2304 == 0) out += "\r\n";
    return true;
  }

 private:
  uint64_t rnd() {
    s_ ^= s_ << 13;
    s_ ^= s_ >> 7;
    s_ ^= s_ << 17;
    return s_ * 0x2545F4914F6CDD1DULL;
  }
  uint64_t left_, total_;
  uint64_t s_ = 0x9E3779B97F4A7C15ULL;
  bool first_ = true;
};

}  // namespace

int main(int argc, char** argv) {
  const uint64_t payloadBytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : (uint64_t(1) << 30);
  QString base = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::tempPath();
  QTemporaryDir dir(base + "/verify_bench_XXXXXX");
  if (!dir.isValid()) {
    std::fprintf(stderr, "cannot make a work folder in %s\n", base.toLocal8Bit().constData());
    return 1;
  }
  const std::string d = dir.path().toStdString();
  std::string error;
  auto lib = SharedLibrary::Load("tarvirsa.dll", &error);
  if (!lib || !FillTarviRsaTable(*lib).empty()) {
    std::fprintf(stderr, "tarvirsa.dll: %s\n", error.c_str());
    return 1;
  }
  FakeUiServices ui;  // no box may block a run

  if (!Sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "/k.pem -outform DER -out " + d +
          "/c.der -days 30 -subj /CN=Bench 2>/dev/null")) {
    std::fprintf(stderr, "openssl failed\n");
    return 1;
  }
  const std::vector<uint8_t> cert = ReadFile(d + "/c.der");

  // The container up to "</File>", digesting the signed range on the way.
  const std::string path = d + "/bench.sgn";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 1;
  TR_SHA_CTX sha;
  tarvirsa::SHAInit(&sha);
  auto put = [&](const std::string& s, bool signedPart) {
    std::fwrite(s.data(), 1, s.size(), f);
    if (signedPart) tarvirsa::SHAUpdate(&sha, reinterpret_cast<const uint8_t*>(s.data()), uint32_t(s.size()));
  };
  put(SgnHeaderText(""), false);
  put(SgnRangePrefixText("20240102030405"), true);
  PayloadMaker payload(payloadBytes);
  std::string part;
  while (payload.next(part)) put(part, true);
  put(std::string(kSgnTail), true);
  std::vector<uint8_t> di(kSha1DigestInfoPrefix, kSha1DigestInfoPrefix + sizeof kSha1DigestInfoPrefix);
  const uint8_t* digest = tarvirsa::SHAFinal(&sha);
  di.insert(di.end(), digest, digest + 20);
  {
    std::ofstream o(d + "/di.bin", std::ios::binary);
    o.write(reinterpret_cast<const char*>(di.data()), std::streamsize(di.size()));
  }
  if (!Sh("openssl pkeyutl -sign -inkey " + d + "/k.pem -in " + d + "/di.bin -out " + d + "/sig.bin")) return 1;
  const std::vector<uint8_t> sig = ReadFile(d + "/sig.bin");
  put(SgnSignerText(cert.data(), cert.size(), sig.data(), sig.size(), "20240102030405678"), false);
  put(std::string(kSgnClose), false);
  std::fclose(f);
  const double size = double(QFile(QString::fromStdString(path)).size());

  // Both runs read from the page cache.
  Sh("cat '" + path + "' > /dev/null");

  auto t0 = std::chrono::steady_clock::now();
  TSignerList list;
  const bool ok = VerifySignedFile(QString::fromStdString(path), list);
  const double ours = Seconds(t0);
  if (!ok || list.size() != 1 || list[0].SignatureOk != 1) {
    std::fprintf(stderr, "the container did not verify\n");
    return 1;
  }
  t0 = std::chrono::steady_clock::now();
  Sh("sha1sum '" + path + "' > /dev/null");
  const double peer = Seconds(t0);

  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("container: %.0f MiB\n", size / 1048576.0);
  std::printf("verify:  %.3f s (%.0f MB/s)\n", ours, size / ours / 1e6);
  std::printf("sha1sum: %.3f s (%.0f MB/s)\n", peer, size / peer / 1e6);
  std::printf("ratio:   %.2f (target <= 1.3)\n", ours / peer);
  std::printf("peak resident memory: %.1f MiB (target < 64)\n", double(ru.ru_maxrss) / 1024.0);
  return 0;
}
