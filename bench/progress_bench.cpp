// How long the progress window goes without a repaint while the long operations
// hold the thread.
//
//   progress_bench [container MiB, default 256] [work folder, default $TMPDIR]
//
// Makes a signed container of that size (Base64 text of random bytes, as a payload
// is) and a private SoftHSM2 token with a 2048-bit key, shows the progress window
// (on the display when there is one, else offscreen) and runs, in this process:
// verifying the container, EncryptForRecipient (the ZIP step and the cipher),
// reading the recipients of the encrypted container and DecryptEncodedFile on the
// token. For each it prints the time, the number of
// repaints, the longest gap between two repaints while the window was shown, and
// the time from the start to the first repaint, beside the target (half a second,
// and about 20 repaints a second) and the ratio to it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "card/certificate.h"
#include "card/cryptoki.h"
#include "card/tarvirsa_api.h"
#include "platform/fake_ui_services.h"
#include "platform/library.h"
#include "signing/data_module.h"
#include "signing/decrypt.h"
#include "signing/encrypt.h"
#include "signing/encrypted_container.h"
#include "signing/progress_window.h"
#include "signing/settings.h"
#include "signing/verify.h"

namespace {

const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
constexpr double kTargetGap = 0.5;

bool Sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A signed container of about the given size: the layout around Base64 lines.
bool MakeContainer(const std::string& path, uint64_t bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::fputs("<?xml version=\"1.0\" ?>\r\n<!DOCTYPE FileUpload SYSTEM \"\">\r\n<FileUpload>\r\n<TimeStamp>\r\n"
             "20240102030405\r\n</TimeStamp>\r\n<File compress=\"zip\" encoding=\"base64\">\r\n<![CDATA[\r\n",
             f);
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  uint64_t s = 0x9E3779B97F4A7C15ULL;
  std::string block;
  for (uint64_t written = 0; written < bytes;) {
    block.clear();
    for (int line = 0; line < 4096; ++line) {
      for (int i = 0; i < 64; ++i) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        block += a[(s >> 58) & 63];
      }
      block += "\r\n";
    }
    std::fwrite(block.data(), 1, block.size(), f);
    written += block.size();
  }
  std::fputs("QQ==\r\n]]>\r\n</File>\r\n</FileUpload>", f);
  return std::fclose(f) == 0;
}

struct Token {
  std::string dir, conf, key, certDer;
};

bool MakeToken(Token& t) {
  t.conf = t.dir + "/softhsm2.conf";
  t.key = t.dir + "/user.key";
  t.certDer = t.dir + "/user.der";
  if (!QDir().mkpath(QString::fromStdString(t.dir + "/tokens"))) return false;
  FILE* f = std::fopen(t.conf.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n", t.dir.c_str());
  std::fclose(f);
  setenv("SOFTHSM2_CONF", t.conf.c_str(), 1);
  const std::string q = "'" + t.dir;
  return Sh("softhsm2-util --init-token --free --label Bench --so-pin 12345678 --pin 1234 >/dev/null") &&
         Sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + q + "/user.key' 2>/dev/null") &&
         Sh("openssl req -new -x509 -key " + q + "/user.key' -subj '/CN=Bench Recipient/O=Tarvi Test/C=HR' -days 30 "
            "-outform DER -out " + q + "/user.der' 2>/dev/null") &&
         Sh(std::string("pkcs11-tool --module ") + kSoftHsm + " --token-label Bench --login --pin 1234 --write-object " +
            q + "/user.key' --type privkey --id 01 >/dev/null 2>&1");
}

// A logged-in session on the token, in this process.
CK_SESSION_HANDLE OpenCard(std::unique_ptr<SharedLibrary>& module) {
  module = SharedLibrary::Load(kSoftHsm);
  if (!module || (!FillCryptokiTable(*module).empty() && !HasAllStandardCryptokiFunctions())) return 0;
  if (cryptoki::C_Initialize(nullptr) != CKR_OK) return 0;
  CK_ULONG n = 0;
  cryptoki::C_GetSlotList(CK_TRUE, nullptr, &n);
  std::vector<CK_SLOT_ID> slotIds(n);
  cryptoki::C_GetSlotList(CK_TRUE, slotIds.data(), &n);
  for (CK_ULONG i = 0; i < n; ++i) {
    CK_TOKEN_INFO ti;
    if (cryptoki::C_GetTokenInfo(slotIds[i], &ti) != CKR_OK || std::memcmp(ti.label, "Bench ", 6) != 0) continue;
    CK_SESSION_HANDLE h = 0;
    if (cryptoki::C_OpenSession(slotIds[i], CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK) return 0;
    CK_UTF8CHAR pin[] = "1234";
    if (cryptoki::C_Login(h, CKU_USER, pin, 4) != CKR_OK) return 0;
    return h;
  }
  return 0;
}

// The times of the window's paint events.
class PaintClock : public QObject {
 public:
  std::vector<double> paints;
  QElapsedTimer clock;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == fmProgres && event->type() == QEvent::Paint) paints.push_back(clock.nsecsElapsed() / 1e9);
    return false;
  }
};

void Measure(const char* what, PaintClock& pc, const std::function<bool()>& work) {
  pc.paints.clear();
  const int explicitBefore = fmProgres->repaintCount();
  pc.clock.start();
  const bool ok = work();
  const double total = pc.clock.nsecsElapsed() / 1e9;
  double gap = 0;
  for (size_t i = 1; i < pc.paints.size(); ++i) gap = std::max(gap, pc.paints[i] - pc.paints[i - 1]);
  const double first = pc.paints.empty() ? total : pc.paints.front();
  gap = std::max(gap, first);
  const int explicitRepaints = fmProgres->repaintCount() - explicitBefore;
  const double rate = total > 0 ? double(explicitRepaints) / total : 0;
  std::printf("%-42s %7.2f s  paints %5zu  repaints %5d (%5.1f/s, target ~20/s)  first %6.3f s"
              "  longest gap %6.3f s  target %.1f s  ratio %5.2f%s\n",
              what, total, pc.paints.size(), explicitRepaints, rate, first, gap, kTargetGap, gap / kTargetGap,
              ok ? "" : "  FAILED");
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const QString base = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::tempPath();
  QTemporaryDir work(base + "/progress-bench-XXXXXX");
  if (!work.isValid()) return 1;
  const std::string w = work.path().toStdString();

  std::unique_ptr<SharedLibrary> rsa = SharedLibrary::Load("tarvirsa.dll");
  if (!rsa || !FillTarviRsaTable(*rsa).empty()) {
    std::fprintf(stderr, "tarvirsa.dll does not load\n");
    return 1;
  }
  Token token;
  token.dir = w + "/token";
  if (!MakeToken(token)) {
    std::fprintf(stderr, "cannot make the token (softhsm2-util, openssl, pkcs11-tool)\n");
    return 1;
  }
  TCertifikat cert;
  QString error;
  const std::vector<uint8_t> der = ReadFile(token.certDer);
  if (!cert.LoadFromMemory(der.data(), int32_t(der.size()), error, false)) {
    std::fprintf(stderr, "certificate: %s\n", error.toUtf8().constData());
    return 1;
  }
  std::unique_ptr<SharedLibrary> module;
  const CK_SESSION_HANDLE session = OpenCard(module);
  if (!session) {
    std::fprintf(stderr, "no session on the token\n");
    return 1;
  }

  const std::string sgn = w + "/bench_pdf.sgn";
  std::printf("making a signed container of %llu MiB...\n", static_cast<unsigned long long>(mib));
  if (!MakeContainer(sgn, mib << 20)) return 1;

  // The message boxes answer by themselves; pending messages run as in the program.
  FakeUiServices ui;
  ui.onProcess = [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); };
  TdmCollector dm;
  dmCollector = &dm;
  Settings = std::make_unique<TPostavkeRada>(QString::fromStdString(w + "/install/"));
  VersionText = "Tarvi Sealdesk bench";
  TfmProgres window;
  fmProgres = &window;
  PaintClock pc;
  window.installEventFilter(&pc);

  Measure("verifying the container", pc, [&] {
    TSignerList signers;
    VerifySignedFile(QString::fromStdString(sgn), signers);
    return true;
  });
  QString enc;
  Measure("encrypting (ZIP step and cipher)", pc, [&] {
    return EncryptForRecipient("", QString::fromStdString(w + "/install/"), QString::fromStdString(sgn), enc, true, 0,
                               cert) == kEncryptOk;
  });
  const QString out = QString::fromStdString(w + "/out/");
  QDir().mkpath(out);
  TRecipientList recipients;
  Measure("reading the recipients", pc, [&] { return ParseRecipientsFile(enc, recipients); });
  Measure("decrypting (reading, cipher, extraction)", pc, [&] {
    if (recipients.empty()) return false;
    LastDecryptedFile.clear();
    DecryptEncodedFile(session, QString::fromStdString(w + "/install/"), enc, out, recipients.front().SerialText, 0,
                       recipients);
    return !LastDecryptedFile.isEmpty();
  });
  fmProgres = nullptr;
  dmCollector = nullptr;
  Settings.reset();
  return 0;
}
