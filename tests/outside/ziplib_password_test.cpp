// Password-protected entries (the traditional ZIP encryption) in both libraries:
// what we write opens in Info-ZIP unzip, Python's zipfile and 7-Zip with the
// password and not without it; what zip and 7z write opens here; the password
// questions of both libraries and what each answer does. Peer checks are skipped
// when the peer is not installed.
#include <filesystem>
#include <random>

#include "outside_test_support.h"
#include "support/temp_dir.h"
#include "ziplib_harness.h"

using namespace ziptest;
using outsidetest::Random;
using outsidetest::Sh;

namespace {

std::string Text(size_t n) { return outsidetest::Sentences(n, "Povjerljivi zapisnik sjednice, točka "); }

class ZipLibPassword : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Libs().Loaded());
    // Deflated, stored by its suffix, stored because it does not shrink, empty.
    files_ = {
        {"tajno.txt", Text(70000)}, {"slika.gif", Random(30000, 3)}, {"šum.bin", Random(5000, 4)}, {"prazno.txt", ""}};
    std::filesystem::create_directories(src());
    for (const auto& [name, data] : files_) WriteAll(src() + "/" + name, data);
  }
  std::string src() const { return dir_.file("src"); }
  std::vector<std::string> Specs() const {
    std::vector<std::string> v;
    for (const auto& [name, data] : files_) v.push_back(src() + "/" + name);
    return v;
  }
  // Our encrypted archive of the whole tree.
  std::string AddEncrypted(const std::string& name, const std::string& password, Recorder& r) {
    AddJob job;
    job.archive = dir_.file(name);
    job.specs = Specs();
    job.encrypt = 65535;
    job.password = password;
    EXPECT_EQ(job.Run(r), static_cast<int32_t>(files_.size())) << r.Dump();
    return job.archive;
  }
  std::string NewFolder() {
    const std::string out = dir_.file("out-" + std::to_string(++outs_));
    std::filesystem::create_directories(out);
    return out;
  }
  // Our extractor opens every file of archive with password, byte for byte; its callbacks.
  Recorder ExpectOpensWith(const std::string& archive, const std::string& password) {
    ExtractJob x;
    x.archive = archive;
    x.base = NewFolder();
    x.password = password;
    Recorder r;
    EXPECT_EQ(x.Run(r), static_cast<int32_t>(files_.size())) << r.Dump();
    ExpectSameFiles(x.base);
    return r;
  }
  void ExpectSameFiles(const std::string& out) {
    for (const auto& [name, data] : files_) {
      SCOPED_TRACE(name);
      ASSERT_TRUE(std::filesystem::exists(out + "/" + name)) << ::testing::PrintToString(TreeOf(out));
      EXPECT_EQ(ReadText(out + "/" + name), data);
    }
  }

  TempDir dir_{"zippassword"};
  std::vector<std::pair<std::string, std::string>> files_;
  int outs_ = 0;
};

TEST_F(ZipLibPassword, OurEncryptedArchivesOpenInPeersOnlyWithThePassword) {
  Recorder r;
  const std::string archive = AddEncrypted("ours.zip", "tajna lozinka", r);
  EXPECT_TRUE(r.Of(ZIPCB_PASSWORD).empty()) << "the file argument's password is used without asking";

  // Every entry carries flag bit 0 in the directory; the data is not in the clear.
  const std::string bytes = ReadText(archive);
  EXPECT_EQ(bytes.find("Povjerljivi zapisnik"), std::string::npos);

  if (HaveTool("unzip")) {
    int rc = 0;
    std::string log = Sh("unzip -P 'tajna lozinka' -t " + ShellQuote(archive), &rc);
    EXPECT_EQ(rc, 0) << log;
    Sh("unzip -P kriva -t " + ShellQuote(archive), &rc);
    EXPECT_NE(rc, 0) << "a wrong password must not pass";
    log = Sh("zipinfo -v " + ShellQuote(archive), &rc);
    EXPECT_EQ(rc, 0) << log;
    size_t encrypted = 0;
    for (size_t at = log.find("file security status:"); at != std::string::npos;
         at = log.find("file security status:", at + 1)) {
      const std::string line = log.substr(at, log.find('\n', at) - at);
      if (line.find("encrypted") != std::string::npos && line.find("not encrypted") == std::string::npos) ++encrypted;
    }
    EXPECT_EQ(encrypted, files_.size()) << log;
  }
  if (HaveTool("python3")) {
    const std::string script = dir_.file("check.py");
    WriteAll(script, std::string(R"PY(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
for i in z.infolist():
    assert i.flag_bits & 1, i.filename
    data = z.read(i, pwd=b'tajna lozinka')
    print(i.filename.encode('cp437').decode('cp852'), len(data), i.compress_type)
try:
    z.read(z.infolist()[0], pwd=b'kriva')
    print('opened with a wrong password')
except RuntimeError:
    pass
)PY"));
    int rc = 0;
    const std::string out = Sh("python3 " + ShellQuote(script) + " " + ShellQuote(archive), &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(out, "tajno.txt 70000 8\nslika.gif 30000 0\nšum.bin 5000 0\nprazno.txt 0 0\n");
  }
  if (HaveTool("7z")) {
    int rc = 0;
    std::string log = Sh("7z t '-ptajna lozinka' " + ShellQuote(archive), &rc);
    EXPECT_EQ(rc, 0) << log;
    Sh("7z t -pkriva " + ShellQuote(archive), &rc);
    EXPECT_NE(rc, 0);
  }

  // And back through our own extractor.
  ExpectOpensWith(archive, "tajna lozinka");
}

// The 11 header bytes before the check byte come from a random source: the same
// file under the same password is never written the same way twice.
TEST_F(ZipLibPassword, EncryptionHeaderIsFreshEachTime) {
  Recorder r1, r2;
  const std::string a = ReadText(AddEncrypted("a.zip", "x", r1));
  const std::string b = ReadText(AddEncrypted("b.zip", "x", r2));
  ASSERT_EQ(a.size(), b.size());
  // The first entry's data starts after its 30-byte local header and name.
  const size_t data = 30 + std::string("tajno.txt").size();
  EXPECT_NE(a.substr(data, 12), b.substr(data, 12));
}

// AddEncrypt without a password: the adding library asks once (bit 0 of the error
// slot says "adding", so the program asks for a confirmation too); without an
// answer nothing is added and no archive is made.
TEST_F(ZipLibPassword, AddAsksOnceWhenNoPasswordIsGiven) {
  struct Case {
    const char* what;
    const char* answer;  // nullptr: no password given
    int32_t added;
  };
  for (const Case& c : {Case{"answered", "odgovor", 4}, Case{"not answered", nullptr, 0}}) {
    SCOPED_TRACE(c.what);
    AddJob job;
    job.archive = dir_.file(std::string("asked-") + (c.answer ? "yes" : "no") + ".zip");
    job.specs = Specs();
    job.encrypt = -1;
    Recorder r;
    r.onCall = [&](ZipCallbackRec& rec) {
      if ((rec.Action & 0xFF) == ZIPCB_PASSWORD && c.answer) {
        std::strcpy(rec.Msg.Text, c.answer);
        rec.Error = 1;
      }
      return 0;
    };
    EXPECT_EQ(job.Run(r), c.added) << r.Dump();
    const auto asks = r.Of(ZIPCB_PASSWORD);
    ASSERT_EQ(asks.size(), 1u) << r.Dump();
    EXPECT_EQ(asks[0].error & 1, 1);
    if (!c.answer) {
      EXPECT_TRUE(r.HasError(ZIPERR_PASSWORD)) << r.Dump();
      EXPECT_FALSE(std::filesystem::exists(job.archive));
      for (const std::string& f : TreeOf(dir_.path())) EXPECT_EQ(f.find(".tarvi-"), std::string::npos) << f;
      continue;
    }
    ExtractJob x;
    x.archive = job.archive;
    x.base = NewFolder();
    x.password = c.answer;
    Recorder rx;
    EXPECT_EQ(x.Run(rx), 4) << rx.Dump();
    ExpectSameFiles(x.base);
  }
}

// What Info-ZIP zip and 7-Zip write opens here with the right password: deflated,
// stored, and from a pipe (sizes after the data: the check byte is the time's).
TEST_F(ZipLibPassword, PeerEncryptedArchivesExtract) {
  std::vector<std::pair<std::string, std::string>> made;  // what, archive
  int rc = 0;
  std::string log;
  if (HaveTool("zip")) {
    for (const char* level : {"-9", "-0"}) {
      const std::string a = dir_.file(std::string("zip") + level + ".zip");
      log = Sh("cd " + ShellQuote(src()) + " && zip -q " + level + " -P tajna " + ShellQuote(a) + " *", &rc);
      ASSERT_EQ(rc, 0) << log;
      made.emplace_back(std::string("zip ") + level, a);
    }
  }
  if (HaveTool("7z")) {
    const std::string a = dir_.file("7z.zip");
    log = Sh("cd " + ShellQuote(src()) + " && 7z a -tzip -ptajna -mem=ZipCrypto " + ShellQuote(a) + " .", &rc);
    ASSERT_EQ(rc, 0) << log;
    made.emplace_back("7z", a);
  }
  if (made.empty()) GTEST_SKIP() << "neither zip nor 7z is installed";
  for (const auto& [what, archive] : made) {
    SCOPED_TRACE(what);
    const Recorder r = ExpectOpensWith(archive, "tajna");
    EXPECT_TRUE(r.Of(ZIPCB_PASSWORD).empty()) << r.Dump();
  }
  if (HaveTool("zip")) {
    const std::string piped = dir_.file("piped.zip");
    log = Sh("printf 'iz cijevi' | zip -q -P tajna " + ShellQuote(piped) + " -", &rc);
    ASSERT_EQ(rc, 0) << log;
    ExtractJob x;
    x.archive = piped;
    x.base = NewFolder();
    x.password = "tajna";
    Recorder r;
    EXPECT_EQ(x.Run(r), 1) << r.Dump();
    EXPECT_EQ(ReadText(x.base + "/-"), "iz cijevi");
  }
}

// The extracting library's questions. Two entries under one password; the record's
// password is tried first, then each answer; a password that opened one entry is
// tried on the next before asking again. A wrong password never leaves a file.
TEST_F(ZipLibPassword, ExtractQuestionsAndAnswers) {
  files_ = {{"prvi.txt", Text(9000)}, {"drugi.txt", Text(12000)}};
  for (const auto& [name, data] : files_) WriteAll(src() + "/" + name, data);
  Recorder made;
  const std::string archive = AddEncrypted("two.zip", "tajna", made);

  struct Answer {
    const char* password;  // nullptr: none
    bool cancelAll = false;
    bool abort = false;
  };
  struct Case {
    const char* what;
    const char* recordPassword;
    int32_t requests;
    std::vector<Answer> answers;
    size_t asks;
    int32_t done;
    size_t badPasswordSkips;
  };
  const std::vector<Case> cases = {
      {"record password opens both", "tajna", 1, {}, 0, 2, 0},
      {"wrong record password, then the right answer", "kriva", 1, {{"tajna"}}, 1, 2, 0},
      {"wrong then right within two requests", "", 2, {{"kriva"}, {"tajna"}}, 2, 2, 0},
      {"one request, wrong each time", "", 1, {{"kriva"}, {"opet kriva"}}, 2, 0, 2},
      {"no answer", "", 3, {{nullptr}, {nullptr}}, 2, 0, 2},
      {"cancel all stops asking", "", 3, {{nullptr, true}}, 1, 0, 2},
      {"abort stops the operation", "", 3, {{nullptr, false, true}}, 1, 0, 0},
      {"no requests allowed", "", 0, {}, 0, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ExtractJob x;
    x.archive = archive;
    x.base = NewFolder();
    x.password = c.recordPassword;
    x.passwordReqCount = c.requests;
    size_t next = 0;
    Recorder r;
    r.onCall = [&](ZipCallbackRec& rec) -> int32_t {
      if ((rec.Action & 0xFF) != ZIPCB_PASSWORD || next >= c.answers.size()) return 0;
      const Answer& a = c.answers[next++];
      if (a.abort) return ZIPABI_CANCEL;
      if (a.password) {
        std::strcpy(rec.Msg.Text, a.password);
        rec.Error = 1;
      } else {
        rec.Size = 0;
      }
      if (a.cancelAll) rec.Action = 0;
      return 0;
    };
    EXPECT_EQ(x.Run(r), c.done) << r.Dump();
    const auto asks = r.Of(ZIPCB_PASSWORD);
    EXPECT_EQ(asks.size(), c.asks) << r.Dump();
    for (const Event& e : asks) EXPECT_EQ(e.error & 1, 0) << "the extracting library asks";
    size_t bad = 0;
    for (const Event& e : r.Of(ZIPCB_SKIPPED)) {
      EXPECT_EQ(e.size, ZIPSKIP_BAD_PASSWORD);
      EXPECT_EQ(e.error, ZIPERR_PASSWORD);
      ++bad;
    }
    EXPECT_EQ(bad, c.badPasswordSkips);
    if (c.done == 2)
      ExpectSameFiles(x.base);
    else
      EXPECT_TRUE(TreeOf(x.base).empty()) << ::testing::PrintToString(TreeOf(x.base));
  }
}

}  // namespace
