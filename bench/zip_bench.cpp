// Speed of the ZIP road beside Info-ZIP and pigz: adding one large file at level 9
// with the ZIP component and libziplib.so, with the default thread count (the
// machine's cores) and with TARVI_THREADS=1, against `zip -9 -q` (one core) and
// `pigz -9 -K` (every core, writing a ZIP), and extracting it with libunzlib.so
// against `unzip -q`, for random data and for text.
//
//   zip_bench [size in MiB, default 1024] [work folder, default $TMPDIR or /tmp]
//   (build the targets zip_bench, ziplib and unzlib)
//
// Prints each time, the peer's, their ratio (targets: on every core at least 4
// times faster than zip -9, and at most 1.2 of pigz -9 -K; extracting at most 1.2
// of unzip), the archive sizes, and the peak resident memory of the process (the
// libraries stream, so it does not grow with the file). Both sides read from the
// page cache; ours also flushes what it writes to disk, as every file the program
// writes is. Build in Release for real figures; the libraries are found beside
// this program.
#include <sys/resource.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/fake_ui_services.h"
#include "zip/zip_archiver.h"

using bench::Seconds;

namespace {

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

double TimeCommand(const std::string& cmd) {
  auto t0 = std::chrono::steady_clock::now();
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    std::exit(1);
  }
  return Seconds(t0);
}

// Random bytes, or text made of words in varied order (compresses about as well as
// ordinary prose, not as well as one repeated line).
void MakeFile(const std::string& path, uint64_t size, bool text) {
  static const char* const kWords[] = {"ugovor",  "dokument", "potpis", "certifikat", "datoteka", "izvješće", "članak",
                                       "stranka", "obveza",   "rok",    "iznos",      "plaćanje", "kartica",  "ključ",
                                       "zaštita", "podaci",   "prilog", "dostava",    "godina",   "mjesec"};
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 gen(12345);
  std::vector<char> buf(1 << 20);
  uint64_t left = size;
  while (left > 0) {
    size_t n = 0;
    if (text) {
      while (n < buf.size()) {
        const char* w = kWords[gen() % 20];
        while (*w && n < buf.size()) buf[n++] = *w++;
        if (n < buf.size()) buf[n++] = (gen() % 12 == 0) ? '\n' : ' ';
        if (n < buf.size() && gen() % 50 == 0) {
          std::string num = std::to_string(gen() % 100000);
          for (char c : num)
            if (n < buf.size()) buf[n++] = c;
        }
      }
    } else {
      for (; n + 8 <= buf.size(); n += 8) {
        uint64_t v = gen();
        std::memcpy(&buf[n], &v, 8);
      }
    }
    const size_t k = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
    out.write(buf.data(), static_cast<std::streamsize>(k));
    left -= k;
  }
}

uint64_t FileSize(const std::string& p) { return std::filesystem::file_size(p); }

void Report(const char* what, double ours, double peer, uint64_t oursSize, uint64_t peerSize) {
  std::printf("%-16s ours %7.2f s   peer %7.2f s   ratio %.2f", what, ours, peer, ours / peer);
  if (oursSize)
    std::printf("   archive ours %llu, peer %llu bytes", static_cast<unsigned long long>(oursSize),
                static_cast<unsigned long long>(peerSize));
  std::printf("\n");
}

// Our archive of input made with TARVI_THREADS set to threads (nullptr: the
// default); the time Add took. A failure ends the benchmark.
double AddOurs(TZipArchiver& zip, const std::string& ours, const std::string& input, const char* threads) {
  std::filesystem::remove(ours);
  if (threads)
    setenv("TARVI_THREADS", threads, 1);
  else
    unsetenv("TARVI_THREADS");
  zip.SetZipFileName(QString::fromStdString(ours));
  zip.FSpecArgs() = QStringList{QString::fromStdString(input)};
  TimeCommand("sync");
  auto t0 = std::chrono::steady_clock::now();
  const int32_t rc = zip.Add();
  const double t = Seconds(t0);
  unsetenv("TARVI_THREADS");
  if (rc != 0 || zip.Count() != 1) {
    std::fprintf(stderr, "Add failed: %d %s\n", rc, zip.Message().toStdString().c_str());
    std::exit(1);
  }
  return t;
}

// Adding on one thread and on every core against zip -9 and pigz -9 -K; our
// archive is left at ours for the extraction.
void BenchAdd(TZipArchiver& zip, const std::string& work, const std::string& input, bool text) {
  const std::string ours = work + "/ours.zip", peer = work + "/peer.zip";
  const double addOne = AddOurs(zip, ours, input, "1");
  const uint64_t oneSize = FileSize(ours);
  const double addAll = AddOurs(zip, ours, input, nullptr);
  std::filesystem::remove(peer);
  TimeCommand("sync");
  const double addPeer = TimeCommand("zip -9 -q -j " + Quote(peer) + " " + Quote(input));
  const uint64_t peerSize = FileSize(peer);
  std::filesystem::remove(peer);
  TimeCommand("sync");
  const double addPigz = TimeCommand("pigz -9 -K -c " + Quote(input) + " > " + Quote(peer));
  Report(text ? "add text" : "add random", addAll, addPeer, FileSize(ours), peerSize);
  Report("  beside pigz", addAll, addPigz, FileSize(ours), FileSize(peer));
  Report("  one thread", addOne, addPeer, oneSize, peerSize);
  std::printf("  every core %.2f times faster than one; the same archive: %s\n", addOne / addAll,
              oneSize == FileSize(ours) ? "same size" : "SIZES DIFFER");
}

// Both extract the same archive (ours) into folders of their own; false when ours
// fails or gives another size.
bool BenchExtract(TZipArchiver& zip, const std::string& work, bool text, uint64_t size) {
  const char* kind = text ? "text" : "random";
  const std::string ours = work + "/ours.zip";
  const std::string outOurs = work + "/x-ours", outPeer = work + "/x-peer";
  std::filesystem::create_directories(outOurs);
  std::filesystem::create_directories(outPeer);
  zip.SetExtrBaseDir(QString::fromStdString(outOurs));
  zip.SetExtrOptions({ExtrOverWrite});
  auto t0 = std::chrono::steady_clock::now();
  const int32_t xr = zip.Extract();
  const double extractOurs = Seconds(t0);
  if (xr != 0 || zip.ProcessedCount() != 1) {
    std::fprintf(stderr, "Extract failed: %d %s\n", xr, zip.Message().toStdString().c_str());
    return false;
  }
  const double extractPeer = TimeCommand("unzip -q -o " + Quote(ours) + " -d " + Quote(outPeer));
  Report(text ? "extract text" : "extract random", extractOurs, extractPeer, 0, 0);
  if (FileSize(outOurs + "/" + kind + ".dat") != size) {
    std::fprintf(stderr, "extracted size differs\n");
    return false;
  }
  std::filesystem::remove_all(outOurs);
  std::filesystem::remove_all(outPeer);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const char* tmp = getenv("TMPDIR");
  const std::string base = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
  const std::string work = base + "/tarvi-zip-bench-" + std::to_string(getpid());
  std::filesystem::create_directories(work);
  FakeUiServices ui;

  for (bool text : {false, true}) {
    const char* kind = text ? "text" : "random";
    const std::string input = work + "/" + kind + ".dat";
    std::printf("%s: %llu MiB\n", kind, static_cast<unsigned long long>(mib));
    MakeFile(input, mib << 20, text);
    TimeCommand("cat " + Quote(input) + " > /dev/null");  // into the page cache

    TZipArchiver zip;  // as the data module has it: not unattended (boxes go to the fake)
    zip.SetAddCompLevel(9);
    BenchAdd(zip, work, input, text);
    if (!BenchExtract(zip, work, text, mib << 20)) return 1;
    std::filesystem::remove(work + "/ours.zip");
    std::filesystem::remove(work + "/peer.zip");
    std::filesystem::remove(input);
  }
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("peak resident memory of the program: %ld MiB\n", ru.ru_maxrss / 1024);
  std::filesystem::remove_all(work);
  return 0;
}
