// Signing speed and memory of a large file, on every core and on one.
//
//   sign_bench [size in MiB, default 1024] [work folder, default $TMPDIR]
//
// Makes two SoftHSM2 tokens (two signers) behind the build's libacpkcs.so, then,
// for a file of random bytes and a file of text:
//  - signs it into a new container (ZIP level 9, Base64, SHA-1, card signature)
//    with the default thread count (the machine's cores) and with
//    TARVI_THREADS=1, and prints the times beside `zip -9 -q` (one core; target:
//    at least 4 times faster) and `pigz -9 -K` (every core, writing a ZIP; target:
//    at most 1.2 of its time), and beside `zip -9 -q` + `sha1sum`;
//  - adds the second signer to that container (the container selected) and prints
//    the time beside `cp` of the container and beside `cp` + `sync` of the copy,
//    since the new container is flushed to disk before it replaces the old one
//    (target: at most 1.5 of cp + sync);
//  - prints the peak resident memory of each run (target: under 64 MiB).
// Every run is a process of its own, measured from outside; the files are read
// from the page cache; the quick runs count the fastest of three. Build in
// Release for real figures.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "card/acg_component.h"
#include "card/binding.h"
#include "card/cryptoki.h"
#include "platform/fake_ui_services.h"
#include "platform/library.h"
#include "signing/data_module.h"
#include "signing/sign_file.h"

using bench::Sh;

namespace {

struct RunResult {
  int status = -1;
  double seconds = 0;
  double peakMiB = 0;
};

// Runs argv as a child process and measures it from outside.
RunResult RunMeasured(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    // Peers print their results; only the figures matter here.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  RunResult r;
  int status = 0;
  struct rusage ru {};
  if (pid > 0 && wait4(pid, &status, 0, &ru) == pid) {
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.peakMiB = double(ru.ru_maxrss) / 1024.0;
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return r;
}

// The fastest of n runs (the machine may be busy with other work), each after a
// sync so no earlier write-back competes; the first failure ends it.
template <typename F>
RunResult BestOf(int n, F run) {
  RunResult best;
  for (int i = 0; i < n; ++i) {
    Sh("sync");
    RunResult r = run();
    if (r.status != 0) return r;
    if (i == 0 || r.seconds < best.seconds) best = r;
    best.peakMiB = std::max(best.peakMiB, r.peakMiB);
  }
  return best;
}

std::string SelfPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, size_t(n)) : "sign_bench";
}

// A token with a 2048-bit key pair and a certificate from a shared test CA.
bool MakeToken(const std::string& dir, const std::string& label, const std::string& serial) {
  const std::string t = dir + "/" + label;
  const std::string mod = "/usr/lib/softhsm/libsofthsm2.so";
  const std::string p11 = "pkcs11-tool --module " + mod + " --token-label " + label + " --login --pin 1234 ";
  return Sh("mkdir -p '" + t + "'") &&
         Sh("softhsm2-util --init-token --free --label " + label + " --so-pin 12345678 --pin 1234 >/dev/null") &&
         Sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out '" + t + "/user.key' 2>/dev/null") &&
         Sh("openssl pkey -in '" + t + "/user.key' -pubout -outform DER -out '" + t + "/pub.der'") &&
         Sh("openssl req -new -key '" + t + "/user.key' -subj '/CN=Bench " + label + "/O=Tarvi Test/C=HR' -out '" + t +
            "/user.csr' 2>/dev/null") &&
         Sh("openssl x509 -req -in '" + t + "/user.csr' -CA '" + dir + "/ca.crt' -CAkey '" + dir +
            "/ca.key' -set_serial " + serial + " -days 365 -outform DER -out '" + t + "/user.der' 2>/dev/null") &&
         Sh(p11 + "--write-object '" + t + "/user.key' --type privkey --id 01 >/dev/null 2>&1") &&
         Sh(p11 + "--write-object '" + t + "/pub.der' --type pubkey --id 01 >/dev/null 2>&1") &&
         Sh(p11 + "--write-object '" + t + "/user.der' --type cert --id 01 >/dev/null 2>&1");
}

bool MakeData(const std::string& path, uint64_t bytes, bool text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::mt19937_64 rnd(42);
  std::vector<char> block(1 << 20);
  static const char* words[] = {"ugovor",   "stranka",  "iznos", "datum", "potpis",      "članak",  "obveza", "rok",
                                "plaćanje", "isporuka", "račun", "kupac", "prodavatelj", "jamstvo", "odredba"};
  for (uint64_t done = 0; done < bytes;) {
    size_t n = 0;
    if (text) {
      while (n + 200 < block.size()) {
        int len = std::snprintf(block.data() + n, 200, "%08llu %s %s %s %llu.%02llu EUR\n",
                                static_cast<unsigned long long>(rnd() % 100000000), words[rnd() % 15],
                                words[rnd() % 15], words[rnd() % 15], static_cast<unsigned long long>(rnd() % 100000),
                                static_cast<unsigned long long>(rnd() % 100));
        n += size_t(len);
      }
    } else {
      for (; n + 8 <= block.size(); n += 8) {
        uint64_t v = rnd();
        std::memcpy(block.data() + n, &v, 8);
      }
    }
    n = size_t(std::min<uint64_t>(n, bytes - done));
    if (std::fwrite(block.data(), 1, n, f) != n) {
      std::fclose(f);
      return false;
    }
    done += n;
  }
  return std::fclose(f) == 0;
}

// The child: binds the libraries as the program does, opens a logged-in session on
// the token and signs the file. Exit status: SignFile's result, or 100 and up.
int ChildSign(int argc, char** argv, const std::string& file, const std::string& label) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  FakeUiServices ui;
  if (!BindTarviRsa(TarviRsaModule)) return 100;
  if (!BindCryptoki(CryptokiModule, QStringLiteral("acpkcs.dll"), true)) return 101;
  if (cryptoki::C_Initialize(nullptr) != CKR_OK) return 102;
  CK_ULONG n = 0;
  cryptoki::C_GetSlotList(CK_TRUE, nullptr, &n);
  std::vector<CK_SLOT_ID> slotIds(n);
  cryptoki::C_GetSlotList(CK_TRUE, slotIds.data(), &n);
  CK_SESSION_HANDLE session = 0;
  for (CK_ULONG i = 0; i < n && !session; ++i) {
    CK_TOKEN_INFO ti;
    if (cryptoki::C_GetTokenInfo(slotIds[i], &ti) != CKR_OK) continue;
    std::string l(reinterpret_cast<char*>(ti.label), sizeof ti.label);
    l.erase(l.find_last_not_of(' ') + 1);
    if (l == label)
      cryptoki::C_OpenSession(slotIds[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
  }
  if (!session) return 103;
  CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
  if (cryptoki::C_Login(session, CKU_USER, pin, 4) != CKR_OK) return 104;
  CurrentSession = session;
  TdmCollector dm;
  dmCollector = &dm;
  const int32_t rc = SignFile(session, QString(), QString::fromLocal8Bit(file.c_str()), true, 0, 0, false);
  for (const auto& b : ui.boxes) std::fprintf(stderr, "box: %s\n", b.text.toLocal8Bit().constData());
  dmCollector = nullptr;
  cryptoki::C_Finalize(nullptr);
  return rc;
}

// Runs f with TARVI_THREADS set to threads (nullptr: unset, the default).
template <typename F>
RunResult WithThreads(const char* threads, F f) {
  if (threads)
    setenv("TARVI_THREADS", threads, 1);
  else
    unsetenv("TARVI_THREADS");
  RunResult r = f();
  unsetenv("TARVI_THREADS");
  return r;
}

void Line(const char* what, const RunResult& ours, const char* peerName, const RunResult& peer, double target) {
  const double ratio = peer.seconds > 0 ? ours.seconds / peer.seconds : 0;
  std::printf("%-34s ours %8.2f s   %-20s %8.2f s   ratio %5.2f%s\n", what, ours.seconds, peerName, peer.seconds, ratio,
              target > 0 ? (ratio <= target ? "  (target met)" : "  (target MISSED)") : "");
}

// The work folder's parts and this program, which runs each signing as a child.
struct Paths {
  std::string work, hsm, self;
};

// The SoftHSM2 configuration, a runtime folder for Qt and the two tokens; says on
// stderr why not.
bool MakeTokens(const Paths& p) {
  Sh("mkdir -p '" + p.hsm + "/tokens'");
  Sh("printf 'directories.tokendir = %s/tokens\\nobjectstore.backend = file\\nlog.level = ERROR\\n' '" + p.hsm +
     "' > '" + p.hsm + "/softhsm2.conf'");
  setenv("SOFTHSM2_CONF", (p.hsm + "/softhsm2.conf").c_str(), 1);
  Sh("mkdir -m 700 '" + p.work + "/runtime'");
  setenv("XDG_RUNTIME_DIR", (p.work + "/runtime").c_str(), 1);
  if (!Sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + p.hsm + "/ca.key' -out '" + p.hsm +
          "/ca.crt' -days 3650 -subj '/CN=Bench CA' 2>/dev/null") ||
      !MakeToken(p.hsm, "BenchA", "0x2001") || !MakeToken(p.hsm, "BenchB", "0x2002")) {
    std::fprintf(stderr, "cannot make the tokens\n");
    return false;
  }
  return true;
}

struct PeerTimes {
  RunResult zip, zipSha, pigz;
};

PeerTimes PeerRuns(const Paths& p, const std::string& file) {
  PeerTimes t;
  Sh("sync");
  t.zip = RunMeasured({"zip", "-9", "-q", p.work + "/peer.zip", file});
  RunResult sha = RunMeasured({"sha1sum", file});
  t.zipSha = {t.zip.status | sha.status, t.zip.seconds + sha.seconds, std::max(t.zip.peakMiB, sha.peakMiB)};
  Sh("rm -f '" + p.work + "/peer.zip'");
  Sh("sync");
  t.pigz = RunMeasured({"sh", "-c", "pigz -9 -K -c \"$0\" > \"$1\"", file, p.work + "/peer.zip"});
  Sh("rm -f '" + p.work + "/peer.zip'");
  return t;
}

struct SignTimes {
  RunResult signOne, sign;
};

// One thread first, its container removed; then the default, kept for the
// second signer.
SignTimes SignRuns(const Paths& p, const std::string& file, const std::string& container) {
  SignTimes t;
  Sh("sync");
  t.signOne = WithThreads("1", [&] { return RunMeasured({p.self, "--child-sign", file, "BenchA"}); });
  Sh("rm -f '" + container + "'");
  Sh("sync");
  t.sign = WithThreads(nullptr, [&] { return RunMeasured({p.self, "--child-sign", file, "BenchA"}); });
  return t;
}

struct AddTimes {
  RunResult cp, cpSync, add;
};

// Each of these runs adds one more signer to the same container.
AddTimes AddRuns(const Paths& p, const std::string& container) {
  AddTimes t;
  t.cp = BestOf(3, [&] {
    RunResult r = RunMeasured({"cp", container, p.work + "/copy.sgn"});
    Sh("rm -f '" + p.work + "/copy.sgn'");
    return r;
  });
  // Our new container is flushed to disk before it takes the old one's place.
  t.cpSync = BestOf(3, [&] {
    RunResult r = RunMeasured({"sh", "-c", "cp \"$0\" \"$1\" && sync \"$1\"", container, p.work + "/copy.sgn"});
    Sh("rm -f '" + p.work + "/copy.sgn'");
    return r;
  });
  t.add = BestOf(3, [&] { return RunMeasured({p.self, "--child-sign", container, "BenchB"}); });
  return t;
}

void PrintKind(const char* kind, const PeerTimes& peer, const SignTimes& s, const AddTimes& a) {
  std::printf("\n%s data:\n", kind);
  Line("sign into a new container", s.sign, "zip -9 -q", peer.zip, 0.25);
  Line("", s.sign, "pigz -9 -K", peer.pigz, 1.2);
  Line("", s.sign, "zip -9 -q + sha1sum", peer.zipSha, 0);
  Line("sign, TARVI_THREADS=1", s.signOne, "zip -9 -q", peer.zip, 0);
  Line("", s.signOne, "pigz -9 -K", peer.pigz, 0);
  std::printf("%-34s %.2f times faster on every core than on one\n", "", s.signOne.seconds / s.sign.seconds);
  Line("add a second signer", a.add, "cp", a.cp, 0);
  Line("", a.add, "cp + sync of the copy", a.cpSync, 1.5);
  std::printf(
      "peak memory: signing %.1f MiB (one thread %.1f MiB), adding a signer %.1f MiB (target: under 64 MiB); "
      "zip %.1f MiB, pigz %.1f MiB\n",
      s.sign.peakMiB, s.signOne.peakMiB, a.add.peakMiB, peer.zip.peakMiB, peer.pigz.peakMiB);
}

// How one kind of data went: its failures, whether the benchmark cannot go on,
// the highest peak memory of our runs.
struct KindOutcome {
  int failures = 0;
  bool stop = false;
  double peak = 0;
};

KindOutcome BenchKind(const Paths& p, uint64_t mib, bool text) {
  KindOutcome o;
  const char* kind = text ? "text" : "random";
  const std::string file = p.work + "/report.bin", container = p.work + "/report_bin.sgn";
  if (!MakeData(file, mib << 20, text)) {
    std::fprintf(stderr, "cannot write %s\n", file.c_str());
    return {1, true, 0};
  }
  Sh("cat '" + file + "' > /dev/null");

  const PeerTimes peer = PeerRuns(p, file);
  const SignTimes s = SignRuns(p, file, container);
  if (s.sign.status != 0 || s.signOne.status != 0) {
    std::fprintf(stderr, "signing failed: %d, one thread %d\n", s.sign.status, s.signOne.status);
    return {1, false, 0};
  }
  const AddTimes a = AddRuns(p, container);
  if (a.add.status != 0) {
    std::fprintf(stderr, "adding a signer failed: %d\n", a.add.status);
    ++o.failures;
  }
  PrintKind(kind, peer, s, a);
  o.peak = std::max({s.sign.peakMiB, s.signOne.peakMiB, a.add.peakMiB});
  Sh("rm -f '" + file + "' '" + container + "'");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--child-sign") return ChildSign(argc, argv, argv[2], argv[3]);

  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const char* tmp = std::getenv("TMPDIR");
  std::string base = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
  std::string pattern = base + "/sign-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "cannot make a work folder under %s\n", base.c_str());
    return 1;
  }
  const Paths p{pattern, pattern + "/hsm", SelfPath()};
  if (!MakeTokens(p)) {
    Sh("rm -rf '" + p.work + "'");
    return 1;
  }

  std::printf("signing %llu MiB, every figure a separate process, warm page cache, %u cores\n",
              static_cast<unsigned long long>(mib), std::thread::hardware_concurrency());
  int failures = 0;
  double peak = 0;
  for (bool text : {false, true}) {
    const KindOutcome o = BenchKind(p, mib, text);
    failures += o.failures;
    peak = std::max(peak, o.peak);
    if (o.stop) break;
  }
  std::printf("\nhighest peak memory of our runs: %.1f MiB%s\n", peak,
              peak < 64 ? "  (target met)" : "  (target MISSED)");
  Sh("rm -rf '" + p.work + "'");
  return failures == 0 ? 0 : 1;
}
