// Several runs of the program on one container at the same time, and runs killed
// in the middle of a write: each run is a process of its own (this executable,
// started again as a writer), logged in to its own SoftHSM2 token behind our
// middleware module. A co-signature is never lost, a run never reports success
// for a change that is not in the file, and a killed run leaves nothing beside
// the user's files once the start-up's clean-up has run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>

#include "card/acg_component.h"
#include "card/binding.h"
#include "card/cryptoki.h"
#include "card/registry.h"
#include "container_fixture.h"
#include "encrypt_fixture.h"
#include "platform/disk_steps.h"
#include "platform/library.h"
#include "platform/temp_beside.h"
#include "sign_token_fixture.h"
#include "signing/data_module.h"
#include "signing/encrypt.h"
#include "signing/extract_revoke.h"
#include "signing/file_utils.h"
#include "signing/settings.h"
#include "signing/sign_file.h"
#include "signing/verify.h"

extern char** environ;

namespace {

// What one writer run is told, through its environment.
constexpr char kEnvOp[] = "TARVI_WRITER_OP";            // sign, revoke or encrypt
constexpr char kEnvFile[] = "TARVI_WRITER_FILE";        // the file it works on
constexpr char kEnvToken[] = "TARVI_WRITER_TOKEN";      // its token's label
constexpr char kEnvCert[] = "TARVI_WRITER_CERT";        // revoke: the signer's certificate; encrypt: the recipient's
constexpr char kEnvKillAt[] = "TARVI_WRITER_KILL";      // "write:N" or "sync:N": killed at that disk step
constexpr char kEnvSync[] = "TARVI_WRITER_SYNC";        // a folder: report ready, then wait for "go"
constexpr char kEnvOutcome[] = "TARVI_WRITER_OUTCOME";  // where it writes "ok" or "failed <text>"
constexpr char kTokenPin[] = "1234";

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string SelfExe() {
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? std::string(self, size_t(n)) : std::string();
}

// Waits (bounded) until path exists.
bool AwaitFile(const std::string& path, int ms = 60000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (access(path.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Starts this executable as one writer run with these variables added.
pid_t StartWriter(const std::map<std::string, std::string>& vars) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (!vars.count(entry.substr(0, entry.find('=')))) env.push_back(entry);
  }
  for (const auto& [k, v] : vars) env.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string exe = SelfExe(), filter = "--gtest_filter=WriterRun.Runs";
  char* argv[] = {exe.data(), filter.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  return pid;
}

struct Finished {
  int status = 0;
  std::string outcome;  // "ok", "failed <text>", or "" when the run wrote none
};

Finished Await(pid_t pid, const std::string& outcomeFile) {
  Finished f;
  if (waitpid(pid, &f.status, 0) != pid) f.status = -1;
  if (access(outcomeFile.c_str(), F_OK) == 0) f.outcome = ReadText(outcomeFile);
  return f;
}

// --- the writer run -------------------------------------------------------------

// Logged in to the token named in its environment, as the card layer would be.
class WriterRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv(kEnvOp)) GTEST_SKIP() << "runs only as a writer started by the tests below";
    ASSERT_TRUE(BindCryptoki(CryptokiModule, QString::fromStdString(m_.path()), false));
    ASSERT_EQ(cryptoki::C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(cryptoki::C_OpenSession(m_.slotOf(std::getenv(kEnvToken)), CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                      nullptr, &session_),
              CKR_OK);
    ASSERT_EQ(m_.login(session_, kTokenPin), CKR_OK);
    CurrentSession = session_;
    std::string error;
    ASSERT_TRUE(BindTarviRsaForTests(&error)) << error;
    dm_ = std::make_unique<TdmCollector>();
    dmCollector = dm_.get();
    Settings = std::make_unique<TPostavkeRada>(Q(install_.path()) + "/");
    VersionText = QStringLiteral("Tarvi Sealdesk 1.0.0.8");
  }
  void TearDown() override {
    Settings.reset();
    dmCollector = nullptr;
    CurrentSession = 0;
    if (session_) cryptoki::C_Finalize(nullptr);
  }

  TempDir install_{"install"};
  Acpkcs m_;
  FakeUiServices ui_;
  CK_SESSION_HANDLE session_ = 0;
  std::unique_ptr<TdmCollector> dm_;
};

// Whether folder holds a temporary file of this process.
bool WritingIn(const QString& folder) {
  for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
    pid_t pid = 0;
    if (IsTempBesideName(name.toStdString(), &pid) && pid == getpid()) return true;
  }
  return false;
}

// Kills this process at the n-th disk step of the kind given that comes while
// its new file lies beside the user's file (work files before it do not count).
void ArmKill(const std::string& spec, const QString& folder) {
  const size_t colon = spec.find(':');
  const DiskStep kind = spec.substr(0, colon) == "sync" ? DiskStep::Sync : DiskStep::Write;
  const int n = std::stoi(spec.substr(colon + 1));
  SetDiskFaultHook([kind, n, folder, seen = 0](DiskStep s) mutable {
    if (s == kind && WritingIn(folder) && ++seen == n) raise(SIGKILL);
    return 0;
  });
}

TEST_F(WriterRun, Runs) {
  const std::string op = std::getenv(kEnvOp);
  const QString file = Q(std::getenv(kEnvFile));
  const std::string outcome = std::getenv(kEnvOutcome);
  if (const char* sync = std::getenv(kEnvSync)) {
    WriteAll(std::string(sync) + "/ready-" + std::to_string(getpid()), "");
    ASSERT_TRUE(AwaitFile(std::string(sync) + "/go"));
  }
  if (const char* kill = std::getenv(kEnvKillAt)) ArmKill(kill, QFileInfo(file).absolutePath());
  std::string failure;
  if (op == "sign") {
    const int32_t rc = SignFile(session_, InstallPath, file, true, 0, 0, true);
    if (rc != sfrOk)
      failure = "result " + std::to_string(rc) + " " + SignFileSystemErrorText().toStdString();
    else if (ui_.boxes.size() != 1 || ui_.boxes[0].text != kMsgSignSuccess)
      failure = "box " + ui_.lastText().toStdString();
  } else if (op == "revoke") {
    const std::vector<unsigned char> cert = ReadAll(std::getenv(kEnvCert));
    TSignerList list;
    ASSERT_TRUE(VerifySignedFile(file, list));
    const auto it = std::find_if(list.begin(), list.end(), [&](const TSignerRecord& r) {
      return r.Certificate == std::vector<uint8_t>(cert.begin(), cert.end());
    });
    ASSERT_NE(it, list.end());
    try {
      RevokeSignature(file, *it);
    } catch (const EFileError& e) {
      failure = "revoke " + e.Text().toStdString();
    }
  } else if (op == "encrypt") {
    const std::vector<unsigned char> der = ReadAll(std::getenv(kEnvCert));
    auto cert = enctest::LoadCert(Bytes(der.begin(), der.end()));
    QString out;
    const int32_t rc = EncryptForRecipient("", InstallPath, file, out, true, 0, *cert);
    if (rc != kEncryptOk) failure = "result " + std::to_string(rc) + " " + ui_.lastText().toStdString();
  } else {
    FAIL() << "no such operation: " << op;
  }
  WriteAll(outcome, failure.empty() ? std::string("ok") : "failed " + failure);
}

// --- the tests ------------------------------------------------------------------

class ConcurrentWriters : public CardTokenTest {
 protected:
  std::vector<TokenSpec> tokenSpecs() const override {
    return {{"Alpha", 1024, "0x1001"}, {"Beta", 1024, "0x2002"}, {"Gamma", 1024, "0x3003"}};
  }
  void SetUp() override {
    CardTokenTest::SetUp();
    if (HasFatalFailure()) return;
    std::string error;
    ASSERT_TRUE(BindTarviRsaForTests(&error)) << error;
    dm_ = std::make_unique<TdmCollector>();
    dmCollector = dm_.get();
    previousInstallPath_ = InstallPath;
    InstallPath = Q(install_.path()) + "/";
  }
  void TearDown() override {
    InstallPath = previousInstallPath_;
    dmCollector = nullptr;
    Settings.reset();
    CardTokenTest::TearDown();
  }

  std::string report() const { return dir_.file("report.pdf"); }
  std::string container() const { return dir_.file("report_pdf.sgn"); }
  std::vector<uint8_t> certOf(size_t token) const {
    const std::vector<unsigned char> der = ReadAll(this->token(token).certDer());
    return std::vector<uint8_t>(der.begin(), der.end());
  }
  // A container of report.pdf signed in this process by the tokens given.
  std::string containerSignedBy(const std::vector<size_t>& tokens) {
    QFile::remove(Q(container()));
    for (size_t t : tokens) {
      useToken(t);
      EXPECT_EQ(SignFile(session(t), InstallPath, Q(report()), true, 0, 0, false), sfrOk)
          << ui_.lastText().toStdString();
    }
    ui_.boxes.clear();
    return ReadText(container());
  }
  // The tokens whose certificates sign the container, in order; every signature
  // checked with openssl over the signed range as it stands in the file.
  std::vector<size_t> signersOf(const std::string& path) {
    TSignerList list;
    EXPECT_TRUE(VerifySignedFile(Q(path), list));
    const std::string text = ReadText(path);
    const size_t start = text.find("<TimeStamp>"), end = text.find("</File>");
    EXPECT_NE(end, std::string::npos);
    WriteAll(scratch_.file("range.bin"), text.substr(start, end + 7 - start));
    std::vector<size_t> tokens;
    for (const TSignerRecord& r : list) {
      size_t t = 0;
      while (t < tokens_.size() && certOf(t) != r.Certificate) ++t;
      EXPECT_LT(t, tokens_.size()) << "a signer of no token here";
      EXPECT_EQ(r.SignatureOk, 1);
      if (t < tokens_.size()) {
        WriteAll(scratch_.file("sig.bin"), r.Signature.data(), r.Signature.size());
        EXPECT_EQ(OpensslVerifySha1(token(t).certPem(), scratch_.file("range.bin"), scratch_.file("sig.bin")), "");
      }
      tokens.push_back(t);
    }
    return tokens;
  }
  QStringList userFiles() const {
    return QDir(Q(dir_.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
  }

  struct Writer {
    std::string op;
    size_t token;
    std::string file;  // report() or container()
    std::string cert;  // for revoke and encrypt
  };
  // Starts the writers together and returns what each reported.
  std::vector<Finished> runTogether(const std::vector<Writer>& writers) {
    TempDir sync("sync");
    std::vector<pid_t> pids;
    std::vector<std::string> outcomes;
    for (size_t i = 0; i < writers.size(); ++i) {
      outcomes.push_back(sync.file("outcome-" + std::to_string(i)));
      const Writer& w = writers[i];
      pids.push_back(StartWriter({{kEnvOp, w.op},
                                  {kEnvFile, w.file},
                                  {kEnvToken, token(w.token).label},
                                  {kEnvCert, w.cert},
                                  {kEnvSync, sync.path()},
                                  {kEnvOutcome, outcomes.back()}}));
      EXPECT_GT(pids.back(), 0);
    }
    // All logged in and waiting; then at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (QDir(Q(sync.path())).entryList({"ready-*"}, QDir::Files).size() < int(writers.size()) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    WriteAll(sync.file("go"), "");
    std::vector<Finished> done;
    for (size_t i = 0; i < writers.size(); ++i) done.push_back(Await(pids[i], outcomes[i]));
    return done;
  }

  TempDir dir_{"writers"};
  TempDir install_{"install"};
  TempDir scratch_{"scratch"};
  QString previousInstallPath_;
  std::unique_ptr<TdmCollector> dm_;
};

// The only failure a writer may meet here: the container in use by the other one.
bool InUseFailure(const std::string& outcome) {
  const std::string inUse = DiskErrorText(EWOULDBLOCK).toStdString();
  return outcome == "failed result " + std::to_string(sfrOutputUnwritable) + " " + inUse ||
         (outcome.rfind("failed revoke Unable to write ", 0) == 0 && outcome.size() > inUse.size() &&
          outcome.compare(outcome.size() - inUse.size(), inUse.size(), inUse) == 0);
}

// Two runs add their signers to one container at once, 20 rounds each way: by
// the document beside it, in place, and a revoke racing an in-place signing. In
// every round the container verifies (ours and openssl) and holds the signer of
// every run that reported success, and none whose revoke reported success.
TEST_F(ConcurrentWriters, NoChangeThatReportedSuccessIsLost) {
  const Bytes doc = TestRandomBytes(20000, 3);
  WriteAll(report(), doc.data(), doc.size());
  const std::string oneSigner = containerSignedBy({0});
  const std::string twoSigners = containerSignedBy({0, 1});
  struct Case {
    const char* name;
    const std::string& start;
    std::vector<Writer> writers;
  };
  const Case cases[] = {
      {"by the document", oneSigner, {{"sign", 1, report(), ""}, {"sign", 2, report(), ""}}},
      {"in place", oneSigner, {{"sign", 1, container(), ""}, {"sign", 2, container(), ""}}},
      {"revoke and sign", twoSigners, {{"revoke", 0, container(), token(0).certDer()}, {"sign", 2, container(), ""}}},
  };
  constexpr int kRounds = 20;
  for (const Case& c : cases) {
    int bothSucceeded = 0;
    for (int round = 0; round < kRounds; ++round) {
      SCOPED_TRACE(std::string(c.name) + ", round " + std::to_string(round));
      WriteAll(container(), c.start);
      const std::vector<Finished> done = runTogether(c.writers);
      std::vector<size_t> expected = c.start == oneSigner ? std::vector<size_t>{0} : std::vector<size_t>{0, 1};
      int succeeded = 0;
      for (size_t i = 0; i < done.size(); ++i) {
        ASSERT_TRUE(WIFEXITED(done[i].status) && WEXITSTATUS(done[i].status) == 0) << "writer " << i;
        ASSERT_FALSE(done[i].outcome.empty()) << "writer " << i;
        if (done[i].outcome != "ok") {
          EXPECT_TRUE(InUseFailure(done[i].outcome)) << done[i].outcome;
          continue;
        }
        ++succeeded;
        const Writer& w = c.writers[i];
        if (w.op == "sign")
          expected.push_back(w.token);
        else
          expected.erase(std::remove(expected.begin(), expected.end(), w.token), expected.end());
      }
      EXPECT_GE(succeeded, 1);
      bothSucceeded += succeeded == 2;
      // Signers in the order their runs renamed; the set is what matters.
      std::vector<size_t> found = signersOf(container());
      std::sort(found.begin(), found.end());
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(found, expected);
      EXPECT_EQ(userFiles(), (QStringList{"report.pdf", "report_pdf.sgn"}));
      if (HasFailure()) return;
    }
    // The second run waits for the first rather than giving up.
    EXPECT_GT(bothSucceeded, 0) << c.name;
  }
}

// A run killed in the middle of writing (sign, add-signer, revoke, encrypt), at
// a write while the new file grows and at the sync just before its rename,
// leaves its temporary file beside the user's files and its work folder; the
// start-up's clean-up of the folders it knows removes both, the user's files
// stay as they were, and the container can be rewritten at once.
TEST_F(ConcurrentWriters, AKilledRunLeavesNothingOnceTheProgramStartsAgain) {
  const Bytes doc = TestRandomBytes(3000000, 5);
  WriteAll(report(), doc.data(), doc.size());
  const std::string oneSigner = containerSignedBy({0});
  TempDir work("killed-work");
  struct Case {
    const char* op;
    bool existing;  // the container is there before the run
    std::string file;
    std::string cert;
  };
  const Case cases[] = {
      {"sign", false, report(), ""},
      {"sign", true, report(), ""},  // adding a signer by the document
      {"revoke", true, container(), token(0).certDer()},
      {"encrypt", true, container(), token(1).certDer()},
  };
  // The folder the user last worked in, as the program keeps it.
  ASSERT_EQ(WriteSettingText(QLatin1String(kRegLastPath), Q(dir_.path())), 0);
  for (const Case& c : cases) {
    for (const char* at : {"write:2", "sync:1"}) {
      SCOPED_TRACE(std::string(c.op) + (c.existing ? " (existing)" : "") + " killed at " + at);
      if (c.existing)
        WriteAll(container(), oneSigner);
      else
        QFile::remove(Q(container()));
      const QStringList before = userFiles();
      const std::string outcome = work.file("outcome");
      const pid_t pid = StartWriter({{kEnvOp, c.op},
                                     {kEnvFile, c.file},
                                     {kEnvToken, token(1).label},
                                     {kEnvCert, c.cert},
                                     {kEnvKillAt, at},
                                     {"TMPDIR", work.path()},
                                     {kEnvOutcome, outcome}});
      ASSERT_GT(pid, 0);
      const Finished f = Await(pid, outcome);
      ASSERT_TRUE(WIFSIGNALED(f.status) && WTERMSIG(f.status) == SIGKILL) << f.outcome;
      // Killed in the middle: its temporary file lies beside the user's files.
      QStringList left = userFiles();
      for (const QString& name : before) left.removeOne(name);
      ASSERT_EQ(left.size(), 1) << left.join(",").toStdString();
      pid_t writer = 0;
      EXPECT_TRUE(IsTempBesideName(left[0].toStdString(), &writer)) << left[0].toStdString();
      EXPECT_EQ(writer, pid);

      auto workFolders = [&] {
        return QDir(Q(work.path())).entryList({Q(ProgramBaseName() + "-*")}, QDir::AllEntries | QDir::Hidden);
      };
      // Signing packs in its work folder, which the killed run left too.
      if (std::string(c.op) == "sign") {
        EXPECT_EQ(workFolders().size(), 1);
      }

      // The program starts again.
      Settings = std::make_unique<TPostavkeRada>(InstallPath);
      EXPECT_EQ(RemoveStaleTempFilesInKnownFolders(), 1);
      RemoveStaleWorkFolders(Q(work.path()));
      EXPECT_EQ(userFiles(), before);
      // (The killed test process's own support folders lie there too; only the
      // program's work folder counts.)
      EXPECT_TRUE(workFolders().isEmpty()) << workFolders().join(",").toStdString();
      if (c.existing) {
        EXPECT_EQ(ReadText(container()), oneSigner);
      }
      if (HasFailure()) return;
    }
  }
  // Nothing of the killed runs holds the container: it takes a signer at once.
  useToken(2);
  EXPECT_EQ(SignFile(session(2), InstallPath, Q(container()), true, 0, 0, false), sfrOk)
      << ui_.lastText().toStdString();
  EXPECT_EQ(signersOf(container()), (std::vector<size_t>{0, 2}));
}

// Another writer holding the container (here a second open of it in this
// process, which flock tells apart like another run): signing in place and
// revoking wait for it, then report the container in use and change nothing; one
// that lets go while they wait is simply waited for.
TEST_F(ConcurrentWriters, AHeldContainerIsWaitedForThenReportedInUse) {
  const Bytes doc = TestRandomBytes(5000, 9);
  WriteAll(report(), doc.data(), doc.size());
  const std::string oneSigner = containerSignedBy({0});
  const int holder = open(container().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const QString inUse = DiskErrorText(EWOULDBLOCK);

  useToken(1);
  EXPECT_EQ(SignFile(session(1), InstallPath, Q(container()), true, 0, 0, true), sfrOutputUnwritable);
  EXPECT_EQ(SignFileSystemErrorText(), inUse);
  EXPECT_EQ(SignFile(session(1), InstallPath, Q(report()), true, 0, 0, true), sfrOutputUnwritable);
  EXPECT_EQ(SignFileSystemErrorText(), inUse);
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(Q(container()), list));
  ASSERT_EQ(list.size(), 1u);
  try {
    RevokeSignature(Q(container()), list[0]);
    ADD_FAILURE() << "revoked a container another writer holds";
  } catch (const EFileError& e) {
    EXPECT_EQ(e.Text(), QStringLiteral("Unable to write %1: ").arg(Q(container())) + inUse);
  }
  EXPECT_TRUE(ui_.boxes.empty()) << ui_.lastText().toStdString();
  EXPECT_EQ(ReadText(container()), oneSigner);
  EXPECT_EQ(userFiles(), (QStringList{"report.pdf", "report_pdf.sgn"}));

  // Let go while the signer waits.
  std::thread release([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(holder);
  });
  EXPECT_EQ(SignFile(session(1), InstallPath, Q(report()), true, 0, 0, true), sfrOk) << ui_.lastText().toStdString();
  release.join();
  EXPECT_EQ(signersOf(container()), (std::vector<size_t>{0, 1}));
}

// A program that ignores the lock and changes the container between the read
// and the rename (here at the sync just before it): the rename does not undo its
// change, the run reports the container in use, and no temporary file remains.
TEST_F(ConcurrentWriters, AContainerChangedBeforeTheRenameIsNotOverwritten) {
  const Bytes doc = TestRandomBytes(5000, 9);
  WriteAll(report(), doc.data(), doc.size());
  const std::string oneSigner = containerSignedBy({0});
  const std::string twoSigners = containerSignedBy({0, 1});
  const QString inUse = DiskErrorText(EWOULDBLOCK);
  struct Case {
    const char* name;
    std::function<void()> change;
  };
  const Case cases[] = {
      {"rewritten in place", [&] { WriteAll(container(), twoSigners); }},
      {"replaced",
       [&] {
         WriteAll(scratch_.file("other.sgn"), twoSigners);
         ASSERT_EQ(rename(scratch_.file("other.sgn").c_str(), container().c_str()), 0);
       }},
  };
  for (const Case& c : cases) {
    for (const char* op : {"sign", "revoke"}) {
      SCOPED_TRACE(std::string(c.name) + ", " + op);
      WriteAll(container(), oneSigner);
      TSignerList list;
      ASSERT_TRUE(VerifySignedFile(Q(container()), list));
      bool changed = false;
      const DiskFaultHook previous = SetDiskFaultHook([&](DiskStep s) {
        if (s == DiskStep::Sync && !changed) {
          changed = true;
          c.change();
        }
        return 0;
      });
      if (std::string(op) == "sign") {
        useToken(2);
        EXPECT_EQ(SignFile(session(2), InstallPath, Q(container()), true, 0, 0, true), sfrOutputUnwritable);
        EXPECT_EQ(SignFileSystemErrorText(), inUse);
      } else {
        try {
          RevokeSignature(Q(container()), list[0]);
          ADD_FAILURE() << "revoked over a changed container";
        } catch (const EFileError& e) {
          EXPECT_TRUE(e.Text().endsWith(": " + inUse)) << e.Text().toStdString();
        }
      }
      SetDiskFaultHook(previous);
      EXPECT_TRUE(changed);
      EXPECT_EQ(ReadText(container()), twoSigners);
      EXPECT_EQ(userFiles(), (QStringList{"report.pdf", "report_pdf.sgn"}));
      ui_.boxes.clear();
    }
  }
}

}  // namespace
