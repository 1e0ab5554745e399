// A failing disk at every step of every operation that writes a user's file:
// the file layer's seam fails the k-th write, close, sync or rename of encrypt,
// sign, add-signer, revoke, decrypt and save, one at a time. At every point the
// earlier files stay byte for byte, or the new file is complete; a failure is
// reported; nothing partial or temporary is left, beside the target or in the
// program's work folder.
//
// CTest runs a sample of the points (first, middle and last of each kind); with
// TARVI_DISK_FAULTS=all every point runs (tests/run_disk_faults.sh). The runs and
// their checks are those of tests/support/disk_faults.h.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "card/acg_component.h"
#include "encrypt_fixture.h"
#include "signing/decrypt.h"
#include "signing/encrypt.h"
#include "signing/encrypted_container.h"
#include "signing/extract_revoke.h"
#include "signing/file_utils.h"
#include "signing/settings.h"
#include "signing/sign_file.h"
#include "signing/verify.h"
#include "support/disk_faults.h"

using namespace enctest;

namespace {

QStringList WorkLeftovers() {
  QStringList left = QDir(GetTempDirectory()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
  left.removeAll(QStringLiteral(".owner"));
  return left;
}

class DiskFaults : public EncTokenTest {
 protected:
  // Two signers of their own.
  std::vector<TokenSpec> tokenSpecs() const override { return {{"Alpha", 1024, "0x1001"}, {"Beta", 1024, "0x2002"}}; }
  void SetUp() override {
    EncTokenTest::SetUp();
    if (HasFatalFailure()) return;
    work_ = dir("op");
    // Large enough that every writer makes several writes of its 1 MiB buffers,
    // so that a failure can fall in the middle of a file, not only at its ends.
    original_ = TestRandomBytes(3500000, 11);
    // The material every run starts from, made once without faults.
    const QString report = dir("make") + "report.pdf";
    WriteAll(report.toStdString(), original_.data(), original_.size());
    ASSERT_EQ(sign(0, report), sfrOk) << ui_.lastText().toStdString();
    oneSigner_ = ReadFileBytes(dir("make") + "report_pdf.sgn");
    ASSERT_EQ(sign(1, report), sfrOk) << ui_.lastText().toStdString();
    twoSigners_ = ReadFileBytes(dir("make") + "report_pdf.sgn");
    {
      QFile back(dir("make") + "report_pdf.sgn");
      ASSERT_TRUE(back.open(QIODevice::WriteOnly | QIODevice::Truncate));
      ASSERT_EQ(back.write(oneSigner_), oneSigner_.size());
    }
    auto cert = LoadCert(certDer(0));
    QString enc;
    ASSERT_EQ(EncryptForRecipient("", dir("install"), dir("make") + "report_pdf.sgn", enc, true, 0, *cert), kEncryptOk);
    encrypted_ = ReadFileBytes(enc);
    ASSERT_TRUE(ui_.boxes.empty()) << ui_.lastText().toStdString();
    ASSERT_EQ(goodSigners(oneSigner_), 1);
    ASSERT_EQ(goodSigners(twoSigners_), 2);
    // A folder on another file system than the program's work folder, when the
    // machine has one at hand (a tmpfs in /dev/shm).
    struct stat shm {
    }, temp{};
    if (stat("/dev/shm", &shm) == 0 && stat(QFile::encodeName(GetTempDirectory()).constData(), &temp) == 0 &&
        shm.st_dev != temp.st_dev && access("/dev/shm", W_OK) == 0) {
      char name[] = "/dev/shm/tarvi-faults-XXXXXX";
      if (mkdtemp(name)) otherDisk_ = QString::fromLocal8Bit(name) + "/";
    }
  }
  void TearDown() override {
    if (!otherDisk_.isEmpty()) QDir(otherDisk_).removeRecursively();
    CurrentSession = 0;
    EncTokenTest::TearDown();
  }

  // Signs as token i, whose session is the card layer's current one.
  int32_t sign(size_t i, const QString& file) {
    CurrentSession = session(i);
    return SignFile(session(i), InstallPath, file, true, 0, 0, false);
  }
  static QByteArray ReadFileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  void put(const QString& name, const QByteArray& bytes) {
    QFile f(name.startsWith('/') ? name : work_ + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
  }
  void putOriginal() {
    put("report.pdf", QByteArray(reinterpret_cast<const char*>(original_.data()), qsizetype(original_.size())));
  }
  // Signers whose signatures verify.
  int goodSigners(const QByteArray& bytes) {
    const QString path = dir("check") + "c.sgn";
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) return -1;
    f.close();
    TSignerList list;
    if (!VerifySignedFile(path, list)) return -1;
    int good = 0;
    for (const TSignerRecord& r : list) good += r.SignatureOk == 1;
    return good == int(list.size()) ? good : -1;
  }
  // Boxes other than questions tell of a failure.
  bool failureBox() const {
    for (const auto& b : ui_.boxes)
      if (b.kind != MsgKind::Confirmation && !b.text.startsWith(kMsgDecSuccess)) return true;
    return false;
  }

  QString work_;
  Bytes original_;
  QByteArray oneSigner_, twoSigners_, encrypted_;
  QString otherDisk_;
  QString shown_;  // what the shell shows beside the engine's own boxes

  // The writers of a container.
  std::vector<DiskFaultCase> containerWriters() {
    std::vector<DiskFaultCase> ops;
    const QString sgn = work_ + "report_pdf.sgn";
    ops.push_back({"encrypt", work_, work_ + "report_pdf.enc",
                   [this] {
                     put("report_pdf.sgn", oneSigner_);
                     put("report_pdf.enc", "an older encrypted container");
                   },
                   [this, sgn] {
                     auto cert = LoadCert(certDer(0));
                     QString out;
                     const int32_t rc = EncryptForRecipient("", dir("install"), sgn, out, true, 0, *cert);
                     return WriteOutcome{rc == kEncryptOk, rc != kEncryptOk && failureBox()};
                   },
                   [this](const QByteArray& b) {
                     const Parts p = Split(b.toStdString());
                     return b.size() == encrypted_.size() && b.endsWith("</EncodedFile>\r\n") &&
                            p.cipher.size() % 8 == 0 && p.wrappedKeys.size() == 1 && p.wrappedKeys[0].size() == 128;
                   }});
    ops.push_back({"sign", work_, sgn, [this] { putOriginal(); },
                   [this] {
                     const int32_t rc = sign(0, work_ + "report.pdf");
                     shown_ = SignFileResultLine(rc) + SignFileSystemErrorText();  // what the shell adds
                     return WriteOutcome{rc == sfrOk && !failureBox(), rc != sfrOk || failureBox()};
                   },
                   [this](const QByteArray& b) { return goodSigners(b) == 1; }});
    ops.push_back({"add-signer", work_, sgn,
                   [this] {
                     putOriginal();
                     put("report_pdf.sgn", oneSigner_);
                   },
                   [this] {
                     const int32_t rc = sign(1, work_ + "report.pdf");
                     shown_ = SignFileResultLine(rc) + SignFileSystemErrorText();  // what the shell adds
                     return WriteOutcome{rc == sfrOk && !failureBox(), rc != sfrOk || failureBox()};
                   },
                   [this](const QByteArray& b) { return goodSigners(b) == 2; }});
    ops.push_back({"revoke", work_, sgn, [this] { put("report_pdf.sgn", twoSigners_); },
                   [this, sgn] {
                     TSignerList list;
                     if (!VerifySignedFile(sgn, list) || list.size() != 2) return WriteOutcome{};
                     try {
                       // The disk fails only inside the operation, not while the list is read.
                       RevokeSignature(sgn, list[0]);
                     } catch (const EFileError& e) {
                       shown_ = e.Text();  // the shell's box
                       return WriteOutcome{false, true};
                     }
                     return WriteOutcome{true, false};
                   },
                   [this](const QByteArray& b) { return goodSigners(b) == 1 && b.size() < twoSigners_.size(); }});
    return ops;
  }

  // The writers of a file taken out of a container (saving it over an older file
  // copies it there).
  std::vector<DiskFaultCase> fileWriters() {
    std::vector<DiskFaultCase> ops;
    const QString sgn = work_ + "report_pdf.sgn";
    // Into the folder of the encrypted container; and, where there is one, onto
    // another file system than the work folder's, where the file is copied in.
    std::vector<QString> decryptFolders = {work_};
    if (!otherDisk_.isEmpty()) decryptFolders.push_back(otherDisk_);
    for (const QString& folder : decryptFolders) {
      ops.push_back({folder == work_ ? "decrypt" : "decrypt onto another file system", folder,
                     folder + "report_pdf.sgn", [this, folder] { put(folder + "report_pdf.enc", encrypted_); },
                     [this, folder] {
                       TRecipientList list;
                       ParseRecipientsFile(folder + "report_pdf.enc", list);
                       LastDecryptedFile.clear();
                       DecryptEncodedFile(session(0), dir("install"), folder + "report_pdf.enc", folder, cardSerial(0),
                                          0, list);
                       return WriteOutcome{!LastDecryptedFile.isEmpty() && !failureBox(), failureBox()};
                     },
                     [this](const QByteArray& b) { return b == oneSigner_; }});
    }
    ops.push_back({"save", work_, work_ + "report.pdf",
                   [this] {
                     put("report_pdf.sgn", oneSigner_);
                     put("report.pdf", "an older file of the same name");
                   },
                   [this, sgn] {
                     ui_.fileAnswers = {work_ + "report.pdf"};
                     QString name;
                     ExtractOriginalFile(sgn, emSaveAs, name);
                     return WriteOutcome{!failureBox(), failureBox()};
                   },
                   [this](const QByteArray& b) {
                     return b ==
                            QByteArray(reinterpret_cast<const char*>(original_.data()), qsizetype(original_.size()));
                   }});
    return ops;
  }

  std::vector<DiskFaultCase> operations() {
    std::vector<DiskFaultCase> ops = containerWriters();
    for (DiskFaultCase& c : fileWriters()) ops.push_back(std::move(c));
    return ops;
  }

  // The case as the shell runs it: every run starts with no boxes or answers;
  // what it shows is the engine's boxes and the shell's own line; no work file
  // is left in the program's work folder, and no box is empty.
  DiskFaultCase asShown(DiskFaultCase c) {
    c.prepare = [this, prepare = c.prepare] {
      ui_.boxes.clear();
      ui_.fileAnswers.clear();
      shown_.clear();
      prepare();
    };
    c.run = [this, run = c.run] {
      WriteOutcome o = run();
      o.shown = shown_;
      for (const auto& b : ui_.boxes) o.shown += "\n" + b.text;
      return o;
    };
    c.afterEach = [this] {
      EXPECT_TRUE(WorkLeftovers().isEmpty()) << WorkLeftovers().join(",").toStdString();
      for (const auto& b : ui_.boxes) {
        if (b.kind != MsgKind::Confirmation) {
          EXPECT_FALSE(b.text.isEmpty());
        }
      }
    };
    return c;
  }
};

TEST_F(DiskFaults, EveryStepOfEveryWriterFailsCleanly) {
  for (const DiskFaultCase& op : operations()) {
    CheckEveryDiskFault(asShown(op));
    if (HasFailure()) return;  // the first failing point is enough to read
  }
}

}  // namespace
