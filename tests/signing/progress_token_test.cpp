// The progress window while the long operations hold the thread: signing, adding
// a signer, verifying, extracting, encrypting and decrypting a container of a few
// megabytes. What counts is what the window showed: every paint event it got, with
// the caption, the bar's position and whether the window system had exposed it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QWindow>
#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <tuple>

#include "card/acg_component.h"
#include "encrypt_fixture.h"
#include "signing/decrypt.h"
#include "signing/encrypt.h"
#include "signing/encrypted_container.h"
#include "signing/extract_revoke.h"
#include "signing/progress_window.h"
#include "signing/settings.h"
#include "signing/sign_file.h"
#include "signing/verify.h"

using namespace enctest;

namespace {

struct Paint {
  QString caption, description;
  int value, maximum;
  bool exposed;
};

// Records every paint event of the window it watches, and the position it had
// when it was shown (the first update of an operation sets it before showing).
class PaintRecorder : public QObject {
 public:
  std::vector<Paint> paints;
  // Per showing: the position then, and the first paint after it.
  std::vector<std::pair<int, std::optional<Paint>>> showings;
  // Every paint, by showing (from one Show event to the next).
  std::vector<std::vector<Paint>> byShowing;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != fmProgres) return false;
    if (event->type() == QEvent::Show) {
      showings.push_back({fmProgres->ProgressBar1->value(), std::nullopt});
      byShowing.emplace_back();
    }
    if (event->type() == QEvent::Paint) {
      QWindow* w = fmProgres->windowHandle();
      paints.push_back({fmProgres->windowTitle(), fmProgres->lbOpis->text(), fmProgres->ProgressBar1->value(),
                        fmProgres->ProgressBar1->maximum(), w && w->isExposed()});
      if (!showings.empty() && !showings.back().second) showings.back().second = paints.back();
      if (!byShowing.empty()) byShowing.back().push_back(paints.back());
    }
    return false;
  }
};

class ProgressTest : public EncTokenTest {
 protected:
  void SetUp() override {
    EncTokenTest::SetUp();
    if (HasFatalFailure()) return;
    window_ = std::make_unique<TfmProgres>();
    fmProgres = window_.get();
    fmProgres->installEventFilter(&recorder_);
    // Time moves 50 ms an update: every update is due for a repaint, whatever the
    // machine's speed (how often repaints come is the benchmark's matter).
    fmProgres->setClock([this] { return now_ += 50; });
    // Pending messages run as the program's own services run them.
    ui_.onProcess = [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); };
  }
  void TearDown() override {
    CurrentSession = 0;
    window_.reset();
    EncTokenTest::TearDown();
  }

  // What the window showed during one operation, grouped by caption, description
  // and maximum (one step each), in order of appearance.
  struct Step {
    QString caption, description;
    int maximum;
    std::vector<Paint> paints;
  };
  std::vector<Step> Steps() {
    std::vector<Step> steps;
    for (const Paint& p : recorder_.paints) {
      auto it = std::find_if(steps.begin(), steps.end(), [&](const Step& s) {
        return s.caption == p.caption && s.description == p.description && s.maximum == p.maximum;
      });
      if (it == steps.end()) {
        steps.push_back({p.caption, p.description, p.maximum, {}});
        it = steps.end() - 1;
      }
      it->paints.push_back(p);
    }
    recorder_.paints.clear();
    return steps;
  }

  // The operation's steps in order (a step may follow another of the same texts),
  // each painted exposed at several advancing positions; every showing of the
  // window painted the position it was shown with; the window is gone afterwards.
  void ExpectAdvancing(const char* operation, const std::vector<std::pair<QString, QString>>& expected) {
    SCOPED_TRACE(operation);
    EXPECT_FALSE(fmProgres->isVisible());
    ASSERT_FALSE(recorder_.showings.empty()) << "the window was never shown";
    for (const auto& [value, first] : recorder_.showings) {
      ASSERT_TRUE(first.has_value()) << "shown but never painted";
      EXPECT_TRUE(first->exposed);
      EXPECT_EQ(first->value, value) << "the position it was shown with was not painted";
    }
    recorder_.showings.clear();
    const std::vector<Step> steps = Steps();
    size_t from = 0;
    for (const auto& [caption, description] : expected) {
      SCOPED_TRACE((caption + " / " + description).toStdString());
      auto it = std::find_if(steps.begin() + std::ptrdiff_t(from), steps.end(), [&](const Step& s) {
        return s.caption == caption && s.description == description && s.paints.size() >= 3;
      });
      ASSERT_NE(it, steps.end()) << "no step painted at least three times";
      from = size_t(it - steps.begin()) + 1;
      int distinct = 1;
      for (size_t i = 0; i < it->paints.size(); ++i) {
        EXPECT_TRUE(it->paints[i].exposed) << "painted before it was exposed";
        if (i == 0) continue;
        EXPECT_GE(it->paints[i].value, it->paints[i - 1].value);
        if (it->paints[i].value != it->paints[i - 1].value) ++distinct;
      }
      EXPECT_GE(distinct, 3) << "the bar did not move";
      EXPECT_GT(it->paints.back().value, it->paints.front().value);
    }
  }

  std::unique_ptr<TfmProgres> window_;
  PaintRecorder recorder_;
  int64_t now_ = 1000;
};

}  // namespace

TEST_F(ProgressTest, EveryLongOperationPaintsItsProgressWhileItWorks) {
  // Data that does not compress: each step has real work to do.
  const QString plain = dir("work") + "snimka.bin";
  {
    std::mt19937 random(7);
    std::string bytes(3 << 20, '\0');
    for (char& c : bytes) c = char(random());
    WriteAll(plain.toStdString(), bytes);
  }
  const QString sgn = dir("work") + "snimka_bin.sgn";

  // The card layer's session follows the card in use.
  CurrentSession = session(0);
  ASSERT_EQ(SignFile(session(0), dir("install"), plain, true, 0x1001, 0, false), sfrOk) << ui_.lastText().toStdString();
  ExpectAdvancing("signing", {{"snimka.bin", kProgressZipping}, {kProgressSigningCaption, "snimka.bin"}});

  CurrentSession = session(1);
  ASSERT_EQ(SignFile(session(1), dir("install"), sgn, true, 0x2002, 0, false), sfrOk) << ui_.lastText().toStdString();
  ExpectAdvancing("adding a signer", {{kProgressSigningCaption, "snimka_bin.sgn"}});

  TSignerList signers;
  ASSERT_TRUE(VerifySignedFile(sgn, signers));
  ASSERT_EQ(signers.size(), 2u);
  ExpectAdvancing("verifying", {{kProgressVerifyCaption, "snimka_bin.sgn"}});

  QString extracted;
  ExtractOriginalFile(sgn, emCompare, extracted);
  ASSERT_FALSE(extracted.isEmpty()) << ui_.lastText().toStdString();
  EXPECT_EQ(QFileInfo(extracted).size(), QFileInfo(plain).size());
  QFile::remove(extracted);
  ExpectAdvancing("extracting",
                  {{kProgressSignedCaption, kProgressAnalysing}, {kProgressSignedCaption, kProgressUnpacking}});

  auto cert = LoadCert(certDer(0));
  QString enc;
  ASSERT_EQ(EncryptForRecipient("", dir("install"), sgn, enc, true, 0, *cert), kEncryptOk)
      << ui_.lastText().toStdString();
  // The ZIP step, then the cipher, as shares of one whole.
  ExpectAdvancing("encrypting", {{kMsgEncProgressCaption, "snimka_bin.sgn"}});

  // Reading the recipients of a large container (as listing them does).
  TRecipientList recipients;
  ASSERT_TRUE(ParseRecipientsFile(enc, recipients));
  ExpectAdvancing("reading the recipients", {{kProgressReadingEncrypted, QFileInfo(enc).fileName()}});
  QFile::remove(sgn);
  LastDecryptedFile.clear();
  DecryptEncodedFile(session(0), dir("install"), enc, dir("work"), cardSerial(0), 0, recipients);
  ASSERT_EQ(LastDecryptedFile, sgn) << ui_.lastText().toStdString();
  ExpectAdvancing("decrypting", {{kProgressDecReading, QFileInfo(enc).fileName()},
                                 {kProgressDecCaption, QFileInfo(enc).fileName()},
                                 {kProgressDecCaption, kProgressDecUnpacking}});
}

// Encrypting and decrypting a few megabytes: within one showing of the window its
// position never goes back, from one step to the next included, and no box (the
// result, a failure) comes while the window is still shown.
TEST_F(ProgressTest, PositionsOnlyGrowAndTheWindowIsGoneBeforeTheResult) {
  const QString sgn = dir("work") + "arhiva_bin.sgn";
  {
    std::mt19937 random(11);
    std::string bytes(3 << 20, '\0');
    for (char& c : bytes) c = char(random());
    WriteAll((dir("work") + "arhiva.bin").toStdString(), bytes);
  }
  CurrentSession = session(0);
  ASSERT_EQ(SignFile(session(0), dir("install"), dir("work") + "arhiva.bin", true, 0x1001, 0, false), sfrOk);
  QStringList shownOver;  // texts of the boxes that came with the window visible
  ui_.onBox = [&](const FakeUiServices::Box& box) {
    if (fmProgres && fmProgres->isVisible()) shownOver << box.text;
  };
  auto expectGrowing = [&](const char* operation) {
    SCOPED_TRACE(operation);
    ASSERT_FALSE(recorder_.byShowing.empty());
    for (const std::vector<Paint>& showing : recorder_.byShowing)
      for (size_t i = 1; i < showing.size(); ++i) {
        const Paint& a = showing[i - 1];
        const Paint& b = showing[i];
        // As fractions, whatever maximum each step gives.
        EXPECT_LE(int64_t(a.value) * b.maximum, int64_t(b.value) * a.maximum)
            << a.caption.toStdString() << " " << a.value << "/" << a.maximum << " then " << b.caption.toStdString()
            << " " << b.value << "/" << b.maximum;
      }
    recorder_.byShowing.clear();
    recorder_.paints.clear();
    recorder_.showings.clear();
  };
  recorder_.byShowing.clear();
  recorder_.paints.clear();
  recorder_.showings.clear();

  auto cert = LoadCert(certDer(0));
  QString enc;
  ASSERT_EQ(EncryptForRecipient("", dir("install"), sgn, enc, true, 0, *cert), kEncryptOk);
  expectGrowing("encrypting");

  TRecipientList recipients;
  ASSERT_TRUE(ParseRecipientsFile(enc, recipients));
  recorder_.byShowing.clear();
  QFile::remove(sgn);
  LastDecryptedFile.clear();
  ui_.boxes.clear();
  DecryptEncodedFile(session(0), dir("install"), enc, dir("work"), cardSerial(0), 0, recipients);
  ASSERT_EQ(LastDecryptedFile, sgn);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_TRUE(ui_.boxes[0].text.startsWith(kMsgDecSuccess));
  expectGrowing("decrypting");

  // Decrypting again: the signed container is there already, and the failure box
  // too comes without the window.
  ui_.boxes.clear();
  DecryptEncodedFile(session(0), dir("install"), enc, dir("work"), cardSerial(0), 0, recipients);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_TRUE(ui_.boxes[0].text.startsWith(kMsgDecTargetExists)) << ui_.boxes[0].text.toStdString();
  expectGrowing("decrypting over an existing file");

  // Saving the original over a file that exists: the question comes without the
  // window too.
  ui_.fileAnswers = {dir("work") + "arhiva.bin"};
  ui_.answers = {mrNo};
  QString none;
  ExtractOriginalFile(sgn, emSaveAs, none);
  EXPECT_FALSE(ui_.boxes.empty());
  expectGrowing("extracting");
  ui_.onBox = nullptr;
  EXPECT_TRUE(shownOver.isEmpty()) << shownOver.join(" | ").toStdString();
}
