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
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
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
#include "signing/progress_window.h"
#include "signing/settings.h"
#include "signing/verify.h"

using namespace bench;

namespace {

constexpr double kTargetGap = 0.5;

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
  std::printf(
      "%-42s %7.2f s  paints %5zu  repaints %5d (%5.1f/s, target ~20/s)  first %6.3f s"
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

  std::unique_ptr<SharedLibrary> rsa;
  Token token;
  TCertifikat cert;
  if (!LoadTarviRsa(rsa) || !MakeRecipient(w + "/token", token, cert)) return 1;
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
