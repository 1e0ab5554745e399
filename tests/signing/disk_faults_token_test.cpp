// A failing disk at every step of every operation that writes a user's file:
// the file layer's seam fails the k-th write, close, sync or rename of encrypt,
// sign, add-signer, revoke, decrypt and save, one at a time. At every point the
// earlier files stay byte for byte, or the new file is complete; a failure is
// reported; nothing partial or temporary is left, beside the target or in the
// program's work folder.
//
// CTest runs a sample of the points (first, middle and last of each kind); with
// TARVI_DISK_FAULTS=all every point runs (tests/run_disk_faults.sh).
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
#include <map>
#include <set>

#include "card/acg_component.h"
#include "encrypt_fixture.h"
#include "platform/disk_steps.h"
#include "signing/decrypt.h"
#include "signing/encrypt.h"
#include "signing/encrypted_container.h"
#include "signing/extract_revoke.h"
#include "signing/file_utils.h"
#include "signing/settings.h"
#include "signing/sign_file.h"
#include "signing/verify.h"

using namespace enctest;

namespace {

const DiskStep kSteps[] = {DiskStep::Write, DiskStep::Close, DiskStep::Sync, DiskStep::Rename};

const char* StepName(DiskStep s) {
  switch (s) {
    case DiskStep::Write: return "write";
    case DiskStep::Close: return "close";
    case DiskStep::Sync: return "sync";
    case DiskStep::Rename: return "rename";
  }
  return "?";
}

// Counts the steps of each kind and fails the k-th of one kind with ENOSPC.
class Injector {
 public:
  Injector(DiskStep kind, int k) : kind_(kind), k_(k) {
    previous_ = SetDiskFaultHook([this](DiskStep s) {
      const int n = ++seen_[s];
      if (s == kind_ && n == k_) {
        fired_ = true;
        return ENOSPC;
      }
      return 0;
    });
  }
  ~Injector() { SetDiskFaultHook(previous_); }
  int seen(DiskStep s) const {
    auto it = seen_.find(s);
    return it == seen_.end() ? 0 : it->second;
  }
  bool fired() const { return fired_; }

 private:
  DiskStep kind_;
  int k_;
  std::map<DiskStep, int> seen_;
  bool fired_ = false;
  DiskFaultHook previous_;
};

using Snapshot = std::map<QString, QByteArray>;

Snapshot Take(const QString& folder) {
  Snapshot s;
  for (const QString& name : QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
    QFile f(folder + name);
    s[name] = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<folder>");
  }
  return s;
}

QStringList WorkLeftovers() {
  QStringList left = QDir(GetTempDirectory()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
  left.removeAll(QStringLiteral(".owner"));
  return left;
}

struct Outcome {
  bool succeeded = false;
  bool reported = false;  // a result code, a box or an error the caller shows
};

struct Operation {
  const char* name;
  QString folder;                          // where the earlier files and the target lie
  QString target;                          // the file the operation makes or replaces
  std::function<void()> prepare;           // the earlier files, written without faults
  std::function<Outcome()> run;
  std::function<bool(const QByteArray&)> complete;  // the target as a finished operation leaves it
};

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
    struct stat shm {}, temp {};
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
  void putOriginal() { put("report.pdf", QByteArray(reinterpret_cast<const char*>(original_.data()), qsizetype(original_.size()))); }
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

  std::vector<Operation> operations() {
    std::vector<Operation> ops;
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
                     return Outcome{rc == kEncryptOk, rc != kEncryptOk && failureBox()};
                   },
                   [this](const QByteArray& b) {
                     const Parts p = Split(b.toStdString());
                     return b.size() == encrypted_.size() && b.endsWith("</EncodedFile>\r\n") && p.cipher.size() % 8 == 0 &&
                            p.wrappedKeys.size() == 1 && p.wrappedKeys[0].size() == 128;
                   }});
    ops.push_back({"sign", work_, sgn, [this] { putOriginal(); },
                   [this] {
                     const int32_t rc = sign(0, work_ + "report.pdf");
                     shown_ = SignFileResultLine(rc) + SignFileSystemErrorText();  // what the shell adds
                     return Outcome{rc == sfrOk && !failureBox(), rc != sfrOk || failureBox()};
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
                     return Outcome{rc == sfrOk && !failureBox(), rc != sfrOk || failureBox()};
                   },
                   [this](const QByteArray& b) { return goodSigners(b) == 2; }});
    ops.push_back({"revoke", work_, sgn, [this] { put("report_pdf.sgn", twoSigners_); },
                   [this, sgn] {
                     TSignerList list;
                     if (!VerifySignedFile(sgn, list) || list.size() != 2) return Outcome{};
                     try {
                       // The disk fails only inside the operation, not while the list is read.
                       RevokeSignature(sgn, list[0]);
                     } catch (const EFileError& e) {
                       shown_ = e.Text();  // the shell's box
                       return Outcome{false, true};
                     }
                     return Outcome{true, false};
                   },
                   [this](const QByteArray& b) { return goodSigners(b) == 1 && b.size() < twoSigners_.size(); }});
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
                       DecryptEncodedFile(session(0), dir("install"), folder + "report_pdf.enc", folder,
                                          cardSerial(0), 0, list);
                       return Outcome{!LastDecryptedFile.isEmpty() && !failureBox(), failureBox()};
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
                     return Outcome{!failureBox(), failureBox()};
                   },
                   [this](const QByteArray& b) {
                     return b == QByteArray(reinterpret_cast<const char*>(original_.data()), qsizetype(original_.size()));
                   }});
    return ops;
  }

  // One run of op with the k-th step of kind failing (k 0: none); the counts seen.
  std::map<DiskStep, int> runOnce(const Operation& op, DiskStep kind, int k) {
    QDir(op.folder).removeRecursively();
    QDir().mkpath(op.folder);
    op.prepare();
    const Snapshot before = Take(op.folder);
    ui_.boxes.clear();
    ui_.fileAnswers.clear();
    shown_.clear();
    Outcome outcome;
    std::map<DiskStep, int> seen;
    bool fired = false;
    {
      Injector injector(kind, k);
      outcome = op.run();
      for (DiskStep s : kSteps) seen[s] = injector.seen(s);
      fired = injector.fired();
    }
    const Snapshot after = Take(op.folder);
    const QString targetName = QFileInfo(op.target).fileName();
    std::set<QString> names;
    for (const auto& [name, bytes] : after) names.insert(name);
    if (k > 0) {
      EXPECT_TRUE(fired);
    } else {
      EXPECT_TRUE(outcome.succeeded) << ui_.lastText().toStdString();
    }
    EXPECT_NE(outcome.succeeded, outcome.reported) << "succeeded and reported a failure, or neither";
    for (const auto& [name, bytes] : before) {
      if (name == targetName && outcome.succeeded) continue;
      EXPECT_TRUE(after.count(name) && after.at(name) == bytes) << name.toStdString() << " changed";
    }
    for (const QString& name : names) {
      if (before.count(name)) continue;
      EXPECT_TRUE(outcome.succeeded && name == targetName) << name.toStdString() << " left behind";
    }
    if (outcome.succeeded) {
      EXPECT_TRUE(after.count(targetName) && op.complete(after.at(targetName))) << "the new file is not complete";
    }
    if (k > 0 && outcome.reported) {
      // The full disk is named in the system's own words, in Croatian.
      QString text = shown_;
      for (const auto& b : ui_.boxes) text += "\n" + b.text;
      EXPECT_TRUE(text.contains(QStringLiteral("Nema više mjesta na uređaju"))) << text.toStdString();
    }
    EXPECT_TRUE(WorkLeftovers().isEmpty()) << WorkLeftovers().join(",").toStdString();
    for (const auto& b : ui_.boxes) {
      if (b.kind != MsgKind::Confirmation) {
        EXPECT_FALSE(b.text.isEmpty());
      }
    }
    return seen;
  }
};

std::vector<int> Points(int n) {
  std::vector<int> all;
  const char* full = std::getenv("TARVI_DISK_FAULTS");
  if (full && std::string(full) == "all") {
    for (int k = 1; k <= n; ++k) all.push_back(k);
    return all;
  }
  std::set<int> some;
  for (int k : {1, (n + 1) / 2, n})
    if (k >= 1 && k <= n) some.insert(k);
  return {some.begin(), some.end()};
}

TEST_F(DiskFaults, EveryStepOfEveryWriterFailsCleanly) {
  for (const Operation& op : operations()) {
    SCOPED_TRACE(op.name);
    std::map<DiskStep, int> counts;
    {
      SCOPED_TRACE("no fault");
      counts = runOnce(op, DiskStep::Write, 0);
    }
    ASSERT_FALSE(HasFailure());
    std::printf("%s: %d writes, %d closes, %d syncs, %d renames\n", op.name, counts[DiskStep::Write],
                counts[DiskStep::Close], counts[DiskStep::Sync], counts[DiskStep::Rename]);
    // Every operation writes and renames at least once (a file extracted by the ZIP
    // library is synced there, before the program renames it).
    EXPECT_GE(counts[DiskStep::Write], 1);
    EXPECT_GE(counts[DiskStep::Rename], 1);
    for (DiskStep kind : kSteps) {
      for (int k : Points(counts[kind])) {
        SCOPED_TRACE(std::string(StepName(kind)) + " " + std::to_string(k) + " of " + std::to_string(counts[kind]));
        runOnce(op, kind, k);
        if (HasFailure()) return;  // the first failing point is enough to read
      }
    }
  }
}

}  // namespace
