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

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

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
    if (threads) setenv("TARVI_THREADS", threads, 1);
    else unsetenv("TARVI_THREADS");
    return work();
  });
}

void Print(const char* what, const Run& r) {
  std::printf("%-44s %8.2f s  cpu %8.2f s  peak %7.1f MiB%s\n", what, r.seconds, r.cpu, r.peakKiB / 1024.0,
              r.ok ? "" : "  FAILED");
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
  const QString enc = QString::fromStdString(w + "/bench_pdf.enc");
  const QString zip = QString::fromStdString(w + "/alone.zip");

  auto zipStepIn = [&](const char* threads) {
    QFile::remove(zip);
    return InChildWithThreads(threads, [&] {
      dm.ZipArchiver1.SetZipFileName(zip);
      dm.ZipArchiver1.SetAddOptions({});
      dm.ZipArchiver1.FSpecArgs().clear();
      dm.ZipArchiver1.FSpecArgs().append(QString::fromStdString(sgn));
      return dm.ZipArchiver1.Add() == 0;
    });
  };
  auto encryptIn = [&](const char* threads) {
    QFile::remove(enc);
    return InChildWithThreads(threads, [&] {
      QString out;
      return EncryptForRecipient("", Settings->InstallFolder, QString::fromStdString(sgn), out, true, 0, cert) == 0 &&
             out == enc;
    });
  };
  const Run zipStepOne = zipStepIn("1");
  const Run zipStep = zipStepIn(nullptr);
  const Run oursOne = encryptIn("1");
  const Run ours = encryptIn(nullptr);

  // openssl enciphers exactly what we encipher: the ZIP, padded to 8.
  const std::string padded = w + "/alone.pad";
  {
    std::vector<uint8_t> tail(8, 8);
    const int64_t z = QFileInfo(zip).size();
    Sh("cp '" + zip.toStdString() + "' '" + padded + "'");
    const size_t pad = size_t(8 - z % 8);
    FILE* f = std::fopen(padded.c_str(), "ab");
    if (f) {
      tail.assign(pad, uint8_t(pad));
      std::fwrite(tail.data(), 1, pad, f);
      std::fclose(f);
    }
  }
  const std::string hexKey = "0123456789ABCDEFFEDCBA98765432100011223344556677";
  const Run peerEnc =
      Command("openssl enc -des-ede3 -nopad -K " + hexKey + " -in '" + padded + "' -out '" + w + "/peer.bin'");
  const Run peerDec =
      Command("openssl enc -d -des-ede3 -nopad -K " + hexKey + " -in '" + w + "/peer.bin' -out '" + w + "/peer.out'");

  const QString outDir = QString::fromStdString(w + "/out/");
  QDir().mkpath(outDir);
  const QString aloneDir = QString::fromStdString(w + "/alone/");
  QDir().mkpath(aloneDir);
  auto extractIn = [&](const char* threads) {
    QDir(aloneDir).removeRecursively();
    QDir().mkpath(aloneDir);
    return InChildWithThreads(threads, [&] {
      dm.ZipArchiver1.SetZipFileName(zip);
      dm.ZipArchiver1.FSpecArgs().clear();
      dm.ZipArchiver1.SetExtrBaseDir(aloneDir);
      dm.ZipArchiver1.SetExtrOptions({ExtrDirNames, ExtrOverWrite});
      return dm.ZipArchiver1.Extract() == 0;
    });
  };
  auto decryptIn = [&](const char* threads) {
    QFile::remove(outDir + "bench_pdf.sgn");
    return InChildWithThreads(threads, [&] {
      std::unique_ptr<SharedLibrary> module;
      const CK_SESSION_HANDLE h = OpenCard(module);
      if (!h) return false;
      TRecipientList list;
      if (!ParseRecipientsFile(enc, list)) return false;
      DecryptEncodedFile(h, Settings->InstallFolder, enc, outDir, cert.SerialHex, 0, list);
      return LastDecryptedFile == outDir + "bench_pdf.sgn";
    });
  };
  const Run extractStepOne = extractIn("1");
  const Run extractStep = extractIn(nullptr);
  const Run oursDecOne = decryptIn("1");
  const Run oursDec = decryptIn(nullptr);
  const bool same = Sh("cmp -s '" + sgn + "' '" + outDir.toStdString() + "bench_pdf.sgn'");

  std::printf("\nsigned container %.0f MiB, its ZIP %.0f MiB, %u cores\n", sizeMiB,
              double(QFileInfo(zip).size()) / 1048576.0, std::thread::hardware_concurrency());
  Print("ZIP step alone (level 9)", zipStep);
  Print("ZIP step alone, TARVI_THREADS=1", zipStepOne);
  Print("EncryptForRecipient", ours);
  Print("EncryptForRecipient, TARVI_THREADS=1", oursOne);
  Print("openssl enc -des-ede3 -nopad (the ZIP)", peerEnc);
  Print("extraction alone", extractStep);
  Print("extraction alone, TARVI_THREADS=1", extractStepOne);
  Print("DecryptEncodedFile", oursDec);
  Print("DecryptEncodedFile, TARVI_THREADS=1", oursDecOne);
  Print("openssl enc -d -des-ede3 -nopad", peerDec);
  std::printf("decrypted container identical: %s\n", same ? "yes" : "NO");
  auto times = [](double target, double got) { return got >= target ? "  (target met)" : "  (target MISSED)"; };
  const double encGain = oursOne.seconds / ours.seconds, decGain = oursDecOne.seconds / oursDec.seconds;
  std::printf("\nencryption on every core: %.2f times faster than on one (target >= 4)%s\n", encGain, times(4, encGain));
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
  Settings.reset();
  dmCollector = nullptr;
  return ours.ok && oursOne.ok && oursDec.ok && oursDecOne.ok && same ? 0 : 1;
}
