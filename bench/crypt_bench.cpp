// Encryption and decryption speed and memory of a large signed container, on
// every core and on one.
//
//   crypt_bench [container MiB, default 1024] [work folder, default $TMPDIR]
//
// Makes a signed container of that size (Base64 text of random bytes, as a payload
// is), a private SoftHSM2 token with a 2048-bit key and its certificate, then in
// separate processes, each of ours with the default thread count (the machine's
// cores) and with TARVI_THREADS=1: the ZIP step alone (the data module's
// component, level 9), EncryptForRecipient, the extraction alone and
// DecryptEncodedFile on the token; beside them `openssl enc -des-ede3 -nopad` over
// the bytes our cipher enciphers and `openssl enc -d -des-ede3 -nopad` over the
// cipher text (one core). It prints each time, wall-clock and processor time, how
// many times faster every core is than one (targets: encryption at least 4,
// decryption at least 3), our cipher work (less the ZIP step or the extraction)
// against openssl's, and each process's peak resident memory (target: under
// 64 MiB). Build in Release for real figures.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "card/certificate.h"
#include "card/cryptoki.h"
#include "card/tarvirsa_api.h"
#include "platform/fake_ui_services.h"
#include "platform/library.h"
#include "signing/data_module.h"
#include "signing/decrypt.h"
#include "signing/encrypt.h"
#include "signing/encrypted_container.h"
#include "signing/file_utils.h"
#include "signing/settings.h"

using namespace bench;

namespace {

struct Run {
  double seconds = 0;
  double cpu = 0;  // user + system: less at the mercy of other work on the machine
  long peakKiB = 0;
  bool ok = false;
};

// Runs work in a child process: its time, its peak resident memory, its result.
Run InChild(const std::function<bool()>& work) {
  std::fflush(nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) _exit(work() ? 0 : 1);
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  Run r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  r.peakKiB = ru.ru_maxrss;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

Run Command(const std::string& cmd) {
  return InChild([cmd] {
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    return false;
  });
}

// work in a child process with TARVI_THREADS set to threads (nullptr: the default).
Run InChildWithThreads(const char* threads, const std::function<bool()>& work) {
  return InChild([&] {
    if (threads)
      setenv("TARVI_THREADS", threads, 1);
    else
      unsetenv("TARVI_THREADS");
    return work();
  });
}

void Print(const char* what, const Run& r) {
  std::printf("%-44s %8.2f s  cpu %8.2f s  peak %7.1f MiB%s\n", what, r.seconds, r.cpu, r.peakKiB / 1024.0,
              r.ok ? "" : "  FAILED");
}

// What every case works on.
struct Bench {
  std::string w;     // the work folder
  std::string sgn;   // the signed container
  QString enc;       // the encrypted container EncryptForRecipient makes
  QString zip;       // the ZIP step's archive, made alone
  QString outDir;    // where DecryptEncodedFile puts the container
  QString aloneDir;  // where the extraction alone puts it
  TdmCollector* dm;
  const TCertifikat* cert;
};

// A case with TARVI_THREADS=1 and with the default thread count.
struct ByThreads {
  Run one, all;
};

// One thread first, then the default.
ByThreads InBothWays(const std::function<Run(const char* threads)>& run) {
  ByThreads r;
  r.one = run("1");
  r.all = run(nullptr);
  return r;
}

ByThreads ZipStepRuns(const Bench& b) {
  return InBothWays([&](const char* threads) {
    QFile::remove(b.zip);
    return InChildWithThreads(threads, [&] {
      b.dm->ZipArchiver1.SetZipFileName(b.zip);
      b.dm->ZipArchiver1.SetAddOptions({});
      b.dm->ZipArchiver1.FSpecArgs().clear();
      b.dm->ZipArchiver1.FSpecArgs().append(QString::fromStdString(b.sgn));
      return b.dm->ZipArchiver1.Add() == 0;
    });
  });
}

ByThreads EncryptRuns(const Bench& b) {
  return InBothWays([&](const char* threads) {
    QFile::remove(b.enc);
    return InChildWithThreads(threads, [&] {
      const QString sgn = QString::fromStdString(b.sgn);
      QString out;
      return EncryptForRecipient("", Settings->InstallFolder, sgn, out, true, 0, *b.cert) == 0 && out == b.enc;
    });
  });
}

// openssl enciphers exactly what we encipher: the ZIP, padded to 8.
std::string PaddedZip(const Bench& b) {
  const std::string padded = b.w + "/alone.pad";
  std::vector<uint8_t> tail(8, 8);
  const int64_t z = QFileInfo(b.zip).size();
  Sh("cp '" + b.zip.toStdString() + "' '" + padded + "'");
  const size_t pad = size_t(8 - z % 8);
  FILE* f = std::fopen(padded.c_str(), "ab");
  if (f) {
    tail.assign(pad, uint8_t(pad));
    std::fwrite(tail.data(), 1, pad, f);
    std::fclose(f);
  }
  return padded;
}

struct PeerRuns {
  Run enc, dec;
};

PeerRuns OpensslRuns(const Bench& b) {
  const std::string padded = PaddedZip(b);
  const std::string hexKey = "0123456789ABCDEFFEDCBA98765432100011223344556677";
  PeerRuns r;
  r.enc = Command("openssl enc -des-ede3 -nopad -K " + hexKey + " -in '" + padded + "' -out '" + b.w + "/peer.bin'");
  r.dec = Command("openssl enc -d -des-ede3 -nopad -K " + hexKey + " -in '" + b.w + "/peer.bin' -out '" + b.w +
                  "/peer.out'");
  return r;
}

ByThreads ExtractRuns(const Bench& b) {
  return InBothWays([&](const char* threads) {
    QDir(b.aloneDir).removeRecursively();
    QDir().mkpath(b.aloneDir);
    return InChildWithThreads(threads, [&] {
      b.dm->ZipArchiver1.SetZipFileName(b.zip);
      b.dm->ZipArchiver1.FSpecArgs().clear();
      b.dm->ZipArchiver1.SetExtrBaseDir(b.aloneDir);
      b.dm->ZipArchiver1.SetExtrOptions({ExtrDirNames, ExtrOverWrite});
      return b.dm->ZipArchiver1.Extract() == 0;
    });
  });
}

ByThreads DecryptRuns(const Bench& b) {
  return InBothWays([&](const char* threads) {
    QFile::remove(b.outDir + "bench_pdf.sgn");
    return InChildWithThreads(threads, [&] {
      std::unique_ptr<SharedLibrary> module;
      const CK_SESSION_HANDLE h = OpenCard(module);
      if (!h) return false;
      TRecipientList list;
      if (!ParseRecipientsFile(b.enc, list)) return false;
      DecryptEncodedFile(h, Settings->InstallFolder, b.enc, b.outDir, b.cert->SerialHex, 0, list);
      return LastDecryptedFile == b.outDir + "bench_pdf.sgn";
    });
  });
}

struct Figures {
  ByThreads zipStep, ours, extractStep, oursDec;
  PeerRuns peer;
  bool same = false;
};

void PrintTimes(const Figures& f) {
  Print("ZIP step alone (level 9)", f.zipStep.all);
  Print("ZIP step alone, TARVI_THREADS=1", f.zipStep.one);
  Print("EncryptForRecipient", f.ours.all);
  Print("EncryptForRecipient, TARVI_THREADS=1", f.ours.one);
  Print("openssl enc -des-ede3 -nopad (the ZIP)", f.peer.enc);
  Print("extraction alone", f.extractStep.all);
  Print("extraction alone, TARVI_THREADS=1", f.extractStep.one);
  Print("DecryptEncodedFile", f.oursDec.all);
  Print("DecryptEncodedFile, TARVI_THREADS=1", f.oursDec.one);
  Print("openssl enc -d -des-ede3 -nopad", f.peer.dec);
  std::printf("decrypted container identical: %s\n", f.same ? "yes" : "NO");
}

void PrintTargets(const Figures& f) {
  const Run &ours = f.ours.all, &oursOne = f.ours.one, &oursDec = f.oursDec.all, &oursDecOne = f.oursDec.one;
  const Run &zipStep = f.zipStep.all, &zipStepOne = f.zipStep.one;
  const Run &extractStep = f.extractStep.all, &extractStepOne = f.extractStep.one;
  const Run &peerEnc = f.peer.enc, &peerDec = f.peer.dec;
  auto times = [](double target, double got) { return got >= target ? "  (target met)" : "  (target MISSED)"; };
  const double encGain = oursOne.seconds / ours.seconds, decGain = oursDecOne.seconds / oursDec.seconds;
  std::printf("\nencryption on every core: %.2f times faster than on one (target >= 4)%s\n", encGain,
              times(4, encGain));
  std::printf("decryption on every core: %.2f times faster than on one (target >= 3)%s\n", decGain, times(3, decGain));
  // Ours less its ZIP part against openssl, by the clock and by processor time.
  auto ratio = [](double ours, double zipPart, double peer) { return (ours - zipPart) / peer; };
  std::printf("encryption less its ZIP step / openssl: %.2f wall, one thread %.2f wall, %.2f cpu\n",
              ratio(ours.seconds, zipStep.seconds, peerEnc.seconds),
              ratio(oursOne.seconds, zipStepOne.seconds, peerEnc.seconds), ratio(ours.cpu, zipStep.cpu, peerEnc.cpu));
  std::printf("decryption less its extraction / openssl: %.2f wall, one thread %.2f wall, %.2f cpu\n",
              ratio(oursDec.seconds, extractStep.seconds, peerDec.seconds),
              ratio(oursDecOne.seconds, extractStepOne.seconds, peerDec.seconds),
              ratio(oursDec.cpu, extractStep.cpu, peerDec.cpu));
  const long peak = std::max({ours.peakKiB, oursOne.peakKiB, oursDec.peakKiB, oursDecOne.peakKiB});
  std::printf("peak memory of ours: %.1f MiB (target < 64 MiB)%s\n", peak / 1024.0,
              peak < 64 * 1024 ? "  (target met)" : "  (target MISSED)");
}

bool Passed(const Figures& f) {
  return f.ours.all.ok && f.ours.one.ok && f.oursDec.all.ok && f.oursDec.one.ok && f.same;
}

Figures Measure(const Bench& b) {
  Figures f;
  f.zipStep = ZipStepRuns(b);
  f.ours = EncryptRuns(b);
  f.peer = OpensslRuns(b);
  QDir().mkpath(b.outDir);
  QDir().mkpath(b.aloneDir);
  f.extractStep = ExtractRuns(b);
  f.oursDec = DecryptRuns(b);
  f.same = Sh("cmp -s '" + b.sgn + "' '" + b.outDir.toStdString() + "bench_pdf.sgn'");
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const QString base = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::tempPath();
  QTemporaryDir work(base + "/crypt-bench-XXXXXX");
  if (!work.isValid()) return 1;
  const std::string w = work.path().toStdString();

  FakeUiServices ui;
  std::unique_ptr<SharedLibrary> rsa;
  Token token;
  TCertifikat cert;
  if (!LoadTarviRsa(rsa) || !MakeRecipient(w + "/token", token, cert)) return 1;

  const std::string sgn = w + "/bench_pdf.sgn";
  std::printf("making a signed container of %llu MiB...\n", static_cast<unsigned long long>(mib));
  if (!MakeContainer(sgn, mib << 20)) return 1;
  const double sizeMiB = double(QFileInfo(QString::fromStdString(sgn)).size()) / 1048576.0;

  TdmCollector dm;
  dmCollector = &dm;
  Settings = std::make_unique<TPostavkeRada>(QString::fromStdString(w + "/install/"));
  VersionText = "Tarvi Sealdesk bench";
  const Bench b{w,
                sgn,
                QString::fromStdString(w + "/bench_pdf.enc"),
                QString::fromStdString(w + "/alone.zip"),
                QString::fromStdString(w + "/out/"),
                QString::fromStdString(w + "/alone/"),
                &dm,
                &cert};
  const Figures f = Measure(b);

  std::printf("\nsigned container %.0f MiB, its ZIP %.0f MiB, %u cores\n", sizeMiB,
              double(QFileInfo(b.zip).size()) / 1048576.0, std::thread::hardware_concurrency());
  PrintTimes(f);
  PrintTargets(f);
  Settings.reset();
  dmCollector = nullptr;
  return Passed(f) ? 0 : 1;
}
