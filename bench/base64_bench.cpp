// Base64 stream encoding and decoding of 1 GiB (or the MiB given as the first
// argument), file to /dev/null, against coreutils base64 on the same files
// (target: encoding at least 1 GB/s on one core), and the peak resident memory,
// which must not grow with the size. Build in a Release tree for figures that
// mean anything.
#include <sys/resource.h>
#include <unistd.h>

#include <QFile>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "signing/base64.h"

namespace {

// Wall-clock time and the processor time spent (user + system), so the figures
// still mean something on a machine that other work keeps busy.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

double CpuSeconds(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

template <typename F>
Timing Measure(int who, F work) {
  const double cpu = CpuSeconds(who);
  const auto start = std::chrono::steady_clock::now();
  work();
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), CpuSeconds(who) - cpu};
}

bool MakeInput(const std::string& path, uint64_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::vector<uint64_t> block(1 << 17);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (uint64_t done = 0; done < size;) {
    for (auto& w : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, block.size() * 8));
    if (std::fwrite(block.data(), 1, n, f) != n) {
      std::fclose(f);
      return false;
    }
    done += n;
  }
  return std::fclose(f) == 0;
}

template <typename F>
Timing TimeOurs(const std::string& in, const std::string& out, F routine) {
  QFile source(QString::fromStdString(in)), destination(QString::fromStdString(out));
  if (!source.open(QIODevice::ReadOnly) || !destination.open(QIODevice::WriteOnly)) {
    std::fprintf(stderr, "cannot open %s or %s\n", in.c_str(), out.c_str());
    std::exit(1);
  }
  QIODeviceSource src(source);
  QIODeviceSink dst(destination);
  return Measure(RUSAGE_SELF, [&] {
    routine(src, dst);
    destination.flush();
  });
}

Timing TimePeer(const std::string& command) {
  return Measure(RUSAGE_CHILDREN, [&] {
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "failed: %s\n", command.c_str());
      std::exit(1);
    }
  });
}

void Report(const char* what, uint64_t bytes, Timing ours, Timing peer) {
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf(
      "%-8s ours %8.1f MB/s   coreutils base64 %8.1f MB/s   ratio %.2f   (by processor time: %.1f, %.1f, %.2f)\n", what,
      mb / ours.wall, mb / peer.wall, peer.wall / ours.wall, mb / ours.cpu, mb / peer.cpu, peer.cpu / ours.cpu);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const uint64_t size = mib << 20;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/base64-bench-XXXXXX";
  if (!mkdtemp(dir.data())) return 1;
  const std::string input = dir + "/input.bin", encoded = dir + "/input.b64";

  std::printf("Base64 streams over %llu MiB (figures in input bytes per second, one core)\n",
              static_cast<unsigned long long>(mib));
  if (!MakeInput(input, size)) return 1;
  // The text both decoders read, in our line layout (CR LF).
  TimeOurs(input, encoded, [](ByteSource& s, ByteSink& d) { MimeEncodeStream(s, d); });

  Timing ourEncode = TimeOurs(input, "/dev/null", [](ByteSource& s, ByteSink& d) { MimeEncodeStream(s, d); });
  Timing peerEncode = TimePeer("base64 -w 64 '" + input + "' > /dev/null");
  Report("encode", size, ourEncode, peerEncode);

  Timing ourDecode = TimeOurs(encoded, "/dev/null", [](ByteSource& s, ByteSink& d) { MimeDecodeStream(s, d); });
  Timing peerDecode = TimePeer("base64 -d -i '" + encoded + "' > /dev/null");  // -i: skip the CRs
  Report("decode", size, ourDecode, peerDecode);
  std::printf("encoding %s the target of 1000 MB/s\n",
              static_cast<double>(size) / 1e6 / ourEncode.wall >= 1000 ? "meets" : "MISSES");
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("peak resident memory: %.1f MiB\n", static_cast<double>(ru.ru_maxrss) / 1024.0);

  std::remove(input.c_str());
  std::remove(encoded.c_str());
  rmdir(dir.c_str());
  return 0;
}
