// Signing files into containers with SoftHSM2 tokens behind our middleware module,
// checked with independent peers: openssl for every signature over the signed
// range, base64 and Info-ZIP's unzip for the payload.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>

#include "card/cryptoki.h"
#include "card/registry.h"
#include "container_fixture.h"
#include "platform/disk_steps.h"
#include "sign_token_fixture.h"
#include "signing/data_module.h"
#include "signing/extract_revoke.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
#include "signing/settings.h"
#include "signing/sign_file.h"
#include "signing/sign_limits.h"
#include "signing/verify.h"
#include "support/file_size_limit.h"
#include "support/qt_print.h"

namespace {

// A container cut into its parts by plain searching, without the program's reader.
struct Parsed {
  std::string head, range, payload;
  struct Signer {
    std::string certHex, sigHex, time;
  };
  std::vector<Signer> signers;
  std::string timeStamp;
};

std::string Between(const std::string& text, size_t& at, const std::string& open, const std::string& close) {
  size_t a = text.find(open, at);
  if (a == std::string::npos) return {};
  a += open.size();
  size_t b = text.find(close, a);
  if (b == std::string::npos) return {};
  at = b + close.size();
  return text.substr(a, b - a);
}

Parsed Parse(const std::string& text) {
  Parsed p;
  const size_t start = text.find("<TimeStamp>"), end = text.find("</File>");
  if (start == std::string::npos || end == std::string::npos) return p;
  p.head = text.substr(0, start);
  p.range = text.substr(start, end + 7 - start);
  size_t at = 0;
  p.timeStamp = Between(text, at, "<TimeStamp>\r\n", "\r\n</TimeStamp>");
  p.payload = Between(text, at, "<![CDATA[\r\n", "\r\n]]>\r\n</File>");
  at = end;
  while (text.find("<Signer>", at) != std::string::npos) {
    Parsed::Signer s;
    s.certHex = Between(text, at, "<Certificate>\r\n", "\r\n</Certificate>");
    s.sigHex = Between(text, at, "<Sign>\r\n", "\r\n</Sign>");
    s.time = Between(text, at, "<Time>\r\n", "\r\n</Time>");
    p.signers.push_back(s);
  }
  return p;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// The serial value the card component reads: the first four serial bytes.
constexpr int32_t kSharedSerialValue = 0x10010000;

class SignFileTest : public CardTokenTest {
 protected:
  // Alpha and Beta share the first four serial bytes and their issuer.
  std::vector<TokenSpec> tokenSpecs() const override {
    return {{"Alpha", 1024, "0x10010000AA"}, {"Beta", 1024, "0x10010000BB"}, {"Gamma", 1024, "0x1003"}};
  }
  void SetUp() override {
    CardTokenTest::SetUp();
    std::string error;
    ASSERT_TRUE(BindTarviRsaForTests(&error)) << error;
    dm_ = std::make_unique<TdmCollector>();
    dmCollector = dm_.get();
    ASSERT_EQ(RegWriteValue(HKEY_LOCAL_MACHINE, SettingsKey, "File", "FileUpload.dtd"), 0);
    fmProgres = &progress_;
    progress_.setClock([this] { return clock_ += 1000; });
  }
  void TearDown() override {
    fmProgres = nullptr;
    dmCollector = nullptr;
    SetSignClock({});
    RegDeleteValue(HKEY_LOCAL_MACHINE, SettingsKey, "File");
    CardTokenTest::TearDown();
  }

  QString path(const std::string& name) const { return QString::fromStdString(dir_.file(name)); }
  std::string report() const { return dir_.file("report.pdf"); }
  std::string container() const { return dir_.file("report_pdf.sgn"); }
  void writeReport(size_t bytes, uint32_t seed = 7) {
    Bytes b = TestRandomBytes(bytes, seed);
    WriteAll(report(), b.data(), b.size());
  }
  int32_t sign(size_t token, const std::string& file, bool showSuccess = true) {
    useToken(token);
    return SignFile(session(token), InstallPath, QString::fromStdString(file), true, kSharedSerialValue, 0,
                    showSuccess);
  }
  // An injected C_Sign failure never reaches the token, so the operation that
  // C_SignInit opened is still running there: end it as a refusing card would.
  void endSignOperation(size_t token) {
    CK_BYTE info[35] = {}, sig[512];
    CK_ULONG len = sizeof sig;
    cryptoki::C_Sign(session(token), info, sizeof info, sig, &len);
  }
  std::vector<QString> boxTexts() {
    std::vector<QString> v;
    for (const auto& b : ui_.boxes) v.push_back(b.text);
    ui_.boxes.clear();
    return v;
  }
  QStringList files() const {
    return QDir(QString::fromStdString(dir_.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
  }
  QStringList workFiles() const {
    QStringList left = QDir(GetTempDirectory()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    left.removeAll(QStringLiteral(".owner"));  // the folder's record of its process
    return left;
  }
  std::string certHex(size_t token) const {
    std::vector<unsigned char> der = ReadAll(this->token(token).certDer());
    return TestHexUpper(der.data(), der.size());
  }
  // Every signature checked by openssl over the signed range, each with its token's
  // certificate, in order.
  void expectSignatures(const std::string& text, const std::vector<size_t>& tokens) {
    Parsed p = Parse(text);
    ASSERT_EQ(p.signers.size(), tokens.size());
    WriteAll(dir_.file("range.bin"), p.range);
    for (size_t i = 0; i < tokens.size(); ++i) {
      SCOPED_TRACE("signer " + std::to_string(i));
      EXPECT_EQ(p.signers[i].certHex, certHex(tokens[i]));
      WriteAll(dir_.file("sig.bin"), Unhex(p.signers[i].sigHex));
      EXPECT_EQ(OpensslVerifySha1(token(tokens[i]).certPem(), dir_.file("range.bin"), dir_.file("sig.bin")), "");
      EXPECT_EQ(p.signers[i].time.size(), 17u);
    }
    QFile::remove(path("range.bin"));
    QFile::remove(path("sig.bin"));
    QFile::remove(path("sig.bin.pub.pem"));
  }
  // The payload decodes to a ZIP that unzip accepts, holding exactly report.pdf.
  void expectPayloadHoldsReport(const std::string& text) {
    Parsed p = Parse(text);
    TempDir t("payload");
    WriteAll(t.file("p.b64"), p.payload);
    ASSERT_EQ(::Run("tr -d '\\r\\n' < '" + t.file("p.b64") + "' | base64 -d > '" + t.file("p.zip") + "'"), 0);
    std::string out;
    EXPECT_EQ(::Run("unzip -t '" + t.file("p.zip") + "'", &out), 0) << out;
    EXPECT_EQ(::Run("unzip -Z1 '" + t.file("p.zip") + "'", &out), 0);
    EXPECT_EQ(out, "report.pdf\n");
    EXPECT_EQ(::Run("unzip -p '" + t.file("p.zip") + "' report.pdf | cmp - '" + report() + "'", &out), 0) << out;
  }

  // sign(), with every call that reaches the card module recorded: the calls.
  std::string cardCallsOfSigning(size_t token, const std::string& file, int32_t& result) {
    takeLog();
    m_.ctl.acpkcs_ctl_record(1);
    result = sign(token, file);
    m_.ctl.acpkcs_ctl_record(0);
    return takeLog();
  }

  TempDir dir_{"signfile"};
  std::unique_ptr<TdmCollector> dm_;
  TfmProgres progress_;
  int64_t clock_ = 0;
};

TEST_F(SignFileTest, NewContainerThenMoreSignersThenRefusals) {
  writeReport(300000);
  // A new container, one signer.
  ASSERT_EQ(sign(0, report()), sfrOk);
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSignSuccess});
  EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn"}));
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
  const std::string one = ReadText(container());
  EXPECT_EQ(Parse(one).head,
            "<?xml version=\"1.0\" ?>\r\n<!DOCTYPE FileUpload SYSTEM \"FileUpload.dtd\">\r\n<FileUpload>\r\n");
  EXPECT_EQ(one.substr(one.size() - 24), "</Signer>\r\n</FileUpload>");
  expectSignatures(one, {0});
  expectPayloadHoldsReport(one);
  EXPECT_EQ(Parse(one).signers[0].time.substr(0, 14), Parse(one).timeStamp);
  // The progress window was used, and is hidden again.
  EXPECT_GT(progress_.repaintCount(), 0);
  EXPECT_FALSE(progress_.isVisible());
  EXPECT_FALSE(ui_.waitCursor());

  // A second card adds its signer; nothing before it changes. Its serial shares
  // the first four bytes with the first card's: only the whole serial counts.
  ASSERT_EQ(sign(1, report()), sfrOk);
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSignSuccess});
  const std::string two = ReadText(container());
  EXPECT_EQ(two.substr(0, one.size() - 15), one.substr(0, one.size() - 15));
  expectSignatures(two, {0, 1});
  EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn"}));

  // The same card again is refused, the container untouched.
  ASSERT_EQ(sign(0, report()), sfrOk);
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSignAlreadySigned});
  ASSERT_EQ(sign(1, report()), sfrOk);
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSignAlreadySigned});
  EXPECT_EQ(ReadText(container()), two);

  // The container itself, selected and signed: in place.
  ASSERT_EQ(sign(2, container()), sfrOk);
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSignSuccess});
  const std::string three = ReadText(container());
  EXPECT_EQ(three.substr(0, two.size() - 15), two.substr(0, two.size() - 15));
  expectSignatures(three, {0, 1, 2});
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(QString::fromStdString(container()), list));
  ASSERT_EQ(list.size(), 3u);
  for (const TSignerRecord& r : list) EXPECT_EQ(r.SignatureOk, 1);

  // A changed report.pdf is refused.
  writeReport(300000, 8);
  ASSERT_EQ(sign(2, report()), sfrOk);
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSignDifferentContent});
  EXPECT_EQ(ReadText(container()), three);
  EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn"}));
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();

  // Revoking the first, the middle or the last signer keeps the others valid.
  for (size_t drop = 0; drop < 3; ++drop) {
    SCOPED_TRACE("revoke " + std::to_string(drop));
    WriteAll(container(), three);
    RevokeSignature(QString::fromStdString(container()), list[drop]);
    std::vector<size_t> rest;
    for (size_t k = 0; k < 3; ++k)
      if (k != drop) rest.push_back(k);
    const std::string after = ReadText(container());
    expectSignatures(after, rest);
    EXPECT_EQ(Parse(after).range, Parse(three).range);
  }
  EXPECT_TRUE(ui_.boxes.empty());
}

// Bytes this process has read through system calls so far, page cache included.
int64_t BytesReadSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

// A selected container is read once for a new signer: the pass that checks and
// digests it also copies it and looks at what it carries.
TEST_F(SignFileTest, ANewSignerReadsTheSelectedContainerOnce) {
  writeReport(6 << 20);
  ASSERT_EQ(sign(0, report()), sfrOk);
  boxTexts();
  const int64_t size = int64_t(ReadText(container()).size());
  const int64_t before = BytesReadSoFar();
  ASSERT_GE(before, 0);
  ASSERT_EQ(sign(1, container()), sfrOk);
  const int64_t read = BytesReadSoFar() - before;
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSignSuccess});
  EXPECT_GT(read, size);
  EXPECT_LT(read, size + size / 4) << "container of " << size << " bytes";
  expectSignatures(ReadText(container()), {0, 1});
}

TEST_F(SignFileTest, FixedClockValueAndFileTimeGiveTheSameBytes) {
  writeReport(5000);  // at most ProgressMinSize: no progress window
  struct utimbuf t = {1700000000, 1700000000};
  ASSERT_EQ(utime(report().c_str(), &t), 0);
  SetSignClock([] { return QDateTime(QDate(2024, 2, 29), QTime(13, 45, 1, 789)); });
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  const std::string first = ReadText(container());
  ASSERT_TRUE(QFile::remove(QString::fromStdString(container())));
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  EXPECT_EQ(ReadText(container()), first);
  EXPECT_TRUE(ui_.boxes.empty());  // no success box asked for
  EXPECT_EQ(progress_.repaintCount(), 0);

  const std::string expectedHead =
      "<?xml version=\"1.0\" ?>\r\n<!DOCTYPE FileUpload SYSTEM \"FileUpload.dtd\">\r\n<FileUpload>\r\n"
      "<TimeStamp>\r\n20240229134501\r\n</TimeStamp>\r\n<File compress=\"zip\" encoding=\"base64\">\r\n"
      "<![CDATA[\r\n";
  EXPECT_EQ(first.substr(0, expectedHead.size()), expectedHead);
  EXPECT_EQ(Parse(first).signers.at(0).time, "20240229134501789");
  expectPayloadHoldsReport(first);

  // Without the registry value the DTD name is empty and the rest the same.
  ASSERT_EQ(RegDeleteValue(HKEY_LOCAL_MACHINE, SettingsKey, "File"), 0);
  ASSERT_TRUE(QFile::remove(QString::fromStdString(container())));
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  const std::string noDtd = ReadText(container());
  const std::string emptyDtd = "<?xml version=\"1.0\" ?>\r\n<!DOCTYPE FileUpload SYSTEM \"\">\r\n<FileUpload>\r\n";
  EXPECT_EQ(noDtd.substr(0, emptyDtd.size()), emptyDtd);
  EXPECT_EQ(noDtd.substr(noDtd.find("<TimeStamp>")), first.substr(first.find("<TimeStamp>")));

  // A value that would break the DOCTYPE line is left out the same way: the
  // container must stay readable by the program itself.
  ASSERT_EQ(RegWriteValue(HKEY_LOCAL_MACHINE, SettingsKey, "File", "File\"Upload.dtd"), 0);
  ASSERT_TRUE(QFile::remove(QString::fromStdString(container())));
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  EXPECT_EQ(ReadText(container()), noDtd);
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(QString::fromStdString(container()), list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].SignatureOk, 1);
}

// The number of bytes a container's Base64 payload decodes to.
size_t DecodedLength(const std::string& payload) {
  size_t chars = 0, pad = 0;
  for (char c : payload) {
    if (c == '\r' || c == '\n') continue;
    ++chars;
    if (c == '=') ++pad;
  }
  return chars / 4 * 3 - pad;
}

TEST_F(SignFileTest, AZipOfAMultipleOf2304BytesLeavesACrLfBeforeTheTail) {
  // Random bytes are stored, not deflated, so the archive is the file plus a fixed
  // overhead: learn it from one signing, then size the file so that the archive
  // is exactly 48 lines of 48 bytes long, twice over.
  writeReport(3000);
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  const size_t overhead = DecodedLength(Parse(ReadText(container())).payload) - 3000;
  writeReport(2 * 2304 - overhead);
  QFile::remove(QString::fromStdString(container()));
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  const std::string sgn = ReadText(container());
  const Parsed p = Parse(sgn);
  ASSERT_EQ(DecodedLength(p.payload), 2u * 2304);
  EXPECT_EQ(p.payload.size(), 2u * 3168);
  EXPECT_EQ(p.payload.substr(p.payload.size() - 2), "\r\n");
  EXPECT_NE(sgn.find("\r\n\r\n]]>\r\n</File>\r\n<Signer>"), std::string::npos);
  expectSignatures(sgn, {0});
  expectPayloadHoldsReport(sgn);
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(QString::fromStdString(container()), list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].SignatureOk, 1);
}

// The length of TestBase64Lines' text for a payload of n bytes.
size_t Base64LinesLength(size_t n) {
  const size_t chars = (n + 2) / 3 * 4;
  const size_t lines = (chars + 63) / 64;
  return chars + 2 * (lines ? lines - 1 : 0) + (n > 0 && n % 2304 == 0 ? 2 : 0);
}

// Base64 text of a stored ZIP of report.pdf that is exactly `length` bytes long:
// the archive as long as fits, then empty line breaks (which the decoder skips)
// after the first line.
std::string Base64ZipOfLength(size_t length, std::string* content) {
  static const size_t frame = TestPythonZip({{"report.pdf", "q"}}, false).size() - 1;
  size_t k = length * 3 / 4;
  while (k > 0 && Base64LinesLength(k + frame) + 2 > length) --k;
  *content = std::string(k, 'q');
  std::string text = TestBase64Lines(TestPythonZip({{"report.pdf", *content}}, false));
  EXPECT_EQ(text.size(), Base64LinesLength(k + frame));
  std::string filler;
  while (text.size() + filler.size() + 2 <= length) filler += "\r\n";
  if (text.size() + filler.size() < length) filler += "\n";
  text.insert(64, filler);
  return text;
}

TEST_F(SignFileTest, UnpackedPayloadsOnBlockBoundaries) {
  // Unpacked, the file's own bytes are the payload text, so its length is exact:
  // text that fills the 64 KiB blocks exactly is still followed by the tail once
  // and then directly by the Signer element.
  for (size_t length : {size_t(65535), size_t(65536), size_t(65537), size_t(131072)}) {
    SCOPED_TRACE(length);
    std::string content;
    const std::string text = Base64ZipOfLength(length, &content);
    ASSERT_EQ(text.size(), length);
    WriteAll(report(), text);
    QFile::remove(QString::fromStdString(container()));
    useToken(0);
    ASSERT_EQ(SignFile(session(0), InstallPath, path("report.pdf"), false, kSharedSerialValue, 0, false), sfrOk);
    const std::string sgn = ReadText(container());
    const size_t payloadAt = Parse(sgn).head.size() + 95;
    EXPECT_EQ(sgn.substr(payloadAt, length), text);
    EXPECT_EQ(sgn.substr(payloadAt + length, 14 + 10), "\r\n]]>\r\n</File>\r\n<Signer>");
    expectSignatures(sgn, {0});
    TSignerList list;
    ASSERT_TRUE(VerifySignedFile(QString::fromStdString(container()), list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].SignatureOk, 1);
    // What the container carries is what a viewer is shown.
    QString shown;
    ExtractOriginalFile(QString::fromStdString(container()), emCompare, shown);
    EXPECT_EQ(ReadText(shown.toStdString()), content);
    QFile::remove(shown);
  }
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(SignFileTest, AnUnpackedPayloadMustBeTheZipOfOneFile) {
  const struct {
    const char* what;
    std::string text;
  } refused[] = {
      {"two files", TestBase64Lines(TestPythonZip({{"report.pdf", "a"}, {"hidden.txt", "b"}}))},
      {"a folder entry too", TestBase64Lines(TestPythonZip({{"report.pdf", "a"}, {"dir/", ""}}))},
      {"an empty archive", TestBase64Lines(TestPythonZip({}))},
      {"a name leaving the folder", TestBase64Lines(TestPythonZip({{"../report.pdf", "a"}}))},
      {"Base64 of no archive", TestBase64Lines(TestRandomBytes(3000))},
      {"text outside the alphabet", "<![CDATA[\r\nUEsDBA==\r\n]]>"},
      {"plain words", "hello world"},
      {"nothing", ""},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    WriteAll(report(), c.text);
    useToken(0);
    EXPECT_EQ(SignFile(session(0), InstallPath, path("report.pdf"), false, kSharedSerialValue, 0, true),
              sfrOutputUnwritable);
    // The ZIP component's own boxes stay away too: only the shell's result line.
    EXPECT_TRUE(boxTexts().empty());
    EXPECT_EQ(files(), QStringList{"report.pdf"});
    EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
    EXPECT_FALSE(ui_.waitCursor());
  }
  // The Base64 text of an archive of one file is taken as it is.
  const std::string good = TestBase64Lines(TestPythonZip({{"report.pdf", "sadržaj"}}));
  WriteAll(report(), good);
  useToken(0);
  ASSERT_EQ(SignFile(session(0), InstallPath, path("report.pdf"), false, kSharedSerialValue, 0, true), sfrOk);
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSignSuccess});
  EXPECT_EQ(Parse(ReadText(container())).payload, good);
  expectSignatures(ReadText(container()), {0});
}

TEST_F(SignFileTest, TheCardsRefusalsLeaveNoContainer) {
  writeReport(200000);
  struct Case {
    const char* function;
    int32_t result;
  } cases[] = {{"C_GetAttributeValue", sfrNoCertificate}, {"C_Sign", sfrNoSignature}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    m_.ctl.acpkcs_ctl_fail(c.function, CKR_DEVICE_ERROR, 0);
    EXPECT_EQ(sign(0, report()), c.result);
    m_.ctl.acpkcs_ctl_clear_failures();
    endSignOperation(0);
    EXPECT_TRUE(ui_.boxes.empty());
    EXPECT_EQ(files(), QStringList{"report.pdf"});
    EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
    EXPECT_FALSE(progress_.isVisible());
    EXPECT_FALSE(ui_.waitCursor());
  }
  // The same on an existing container: it stays as it was.
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  const std::string before = ReadText(container());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("in place ") + c.function);
    m_.ctl.acpkcs_ctl_fail(c.function, CKR_DEVICE_ERROR, 0);
    EXPECT_EQ(sign(1, container()), c.result);
    m_.ctl.acpkcs_ctl_clear_failures();
    endSignOperation(1);
    EXPECT_EQ(ReadText(container()), before);
    EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn"}));
  }
  // A card without a public-key object cannot sign.
  destroyPublicKeys(1);
  EXPECT_EQ(sign(1, report()), sfrNoSignature);
  EXPECT_EQ(ReadText(container()), before);
  QFile::remove(QString::fromStdString(container()));
  EXPECT_EQ(sign(1, report()), sfrNoSignature);
  EXPECT_EQ(files(), QStringList{"report.pdf"});
  EXPECT_TRUE(ui_.boxes.empty());
}

// Lowers the file-size limit for its lifetime: writes beyond it fail with EFBIG,
// as on a full disk.

TEST_F(SignFileTest, AFullDiskLeavesNoPartialFile) {
  writeReport(300000);  // random: the ZIP is about as large, the container a third larger
  {
    FileSizeLimit limit(350000);
    EXPECT_EQ(sign(0, report()), sfrOutputUnwritable);
  }
  EXPECT_EQ(files(), QStringList{"report.pdf"});
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
  EXPECT_TRUE(boxTexts().empty());

  ASSERT_EQ(sign(0, report(), false), sfrOk);
  const std::string before = ReadText(container());
  for (const std::string& target : {report(), container()}) {
    SCOPED_TRACE(target);
    FileSizeLimit limit(before.size() + 100);
    EXPECT_EQ(sign(1, target), sfrOutputUnwritable);
  }
  EXPECT_EQ(ReadText(container()), before);
  EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn"}));
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(SignFileTest, FilesThatCannotBeReadOrWritten) {
  EXPECT_EQ(sign(0, dir_.file("missing.pdf")), sfrInputUnreadable);
  writeReport(1000);
  // A file at the container's name that is no container: the comparison's format
  // warning, and the file is left alone.
  WriteAll(container(), "not a container");
  EXPECT_EQ(sign(0, report()), sfrOk);
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgFormatCompare});
  EXPECT_EQ(ReadText(container()), "not a container");
  QFile::remove(QString::fromStdString(container()));
  if (geteuid() != 0) {
    chmod(dir_.path().c_str(), 0555);
    EXPECT_EQ(sign(0, report()), sfrOutputUnwritable);
    chmod(dir_.path().c_str(), 0755);
    EXPECT_EQ(files(), QStringList{"report.pdf"});
  }
  // An existing container the user may not write.
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  if (geteuid() != 0) {
    chmod(container().c_str(), 0444);
    EXPECT_EQ(sign(1, report()), sfrOutputUnwritable);
    chmod(container().c_str(), 0644);
  }
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(SignFileTest, OnlyAStrictlyValidContainerIsSignedInPlace) {
  // Another file's CDATA section planted before the signed range: the element
  // walk passes it, the strict reader does not, so the file is no container to
  // add to and is packed into one of its own.
  TestCertSpec spec;
  spec.bits = 1024;
  const TestIdentity someone = MakeTestIdentity(spec);
  TestContainer c;
  c.payload = TestBase64Lines(TestPythonZip({{"report.pdf", "potpisani sadržaj"}}));
  c.addSigner(someone);
  std::string text = c.text();
  text.insert(c.head().size(), "<![CDATA[\r\nUEsDBA==\r\n]]>\r\n");
  const std::string planted = dir_.file("planted.sgn");
  WriteAll(planted, text);
  ASSERT_EQ(sign(0, planted), sfrOk);
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSignSuccess});
  EXPECT_EQ(ReadText(planted), text);
  EXPECT_EQ(files(), (QStringList{"planted.sgn", "planted_sgn.sgn"}));
  expectSignatures(ReadText(dir_.file("planted_sgn.sgn")), {0});

  // The honest container is signed in place.
  WriteAll(planted, c.text());
  ASSERT_EQ(sign(0, planted), sfrOk);
  const Parsed p = Parse(ReadText(planted));
  ASSERT_EQ(p.signers.size(), 2u);
  EXPECT_EQ(p.range, c.range());
}

TEST_F(SignFileTest, AFailedZipStepSignsNothing) {
  writeReport(300000);
  // The packing is cancelled from inside the ZIP library's callback.
  ui_.onProcess = [this] { dm_->ZipArchiver1.SetCancel(true); };
  EXPECT_EQ(sign(0, report()), sfrOutputUnwritable);
  ui_.onProcess = nullptr;
  for (const QString& t : boxTexts()) EXPECT_NE(t, kMsgSignSuccess);
  EXPECT_EQ(files(), QStringList{"report.pdf"});
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();

  // A second signing started while the first one packs is refused by the busy ZIP
  // component; the first one is not disturbed.
  int32_t nested = -1;
  ui_.onProcess = [&] {
    if (nested != -1 || !dm_->ZipArchiver1.IsBusy()) return;
    nested = -2;
    nested = sign(0, report(), false);
  };
  EXPECT_EQ(sign(0, report()), sfrOk);
  ui_.onProcess = nullptr;
  EXPECT_EQ(nested, sfrOutputUnwritable);
  expectSignatures(ReadText(container()), {0});
  expectPayloadHoldsReport(ReadText(container()));
}

TEST_F(SignFileTest, AContainerWhoseFileIsNotAloneIsNeverSigned) {
  writeReport(3000);
  const std::string shown = ReadText(report());
  TestCertSpec spec;
  spec.bits = 1024;
  const TestIdentity someone = MakeTestIdentity(spec);
  const struct {
    const char* what;
    TestZipEntries entries;
    QString box;  // for the container beside the file and for the container selected
  } cases[] = {
      {"a hidden second file", {{"report.pdf", shown}, {"hidden.txt", "potpisano bez uvida"}}, kMsgFormatCompare},
      {"a hidden first file", {{"hidden.txt", "potpisano bez uvida"}, {"report.pdf", shown}}, kMsgFormatCompare},
      {"a folder entry", {{"report.pdf", shown}, {"dir/", ""}}, kMsgFormatCompare},
      {"a name above the folder", {{"../report.pdf", shown}}, kMsgNotInterpreted},
      {"a name two folders up", {{"a/../../report.pdf", shown}}, kMsgNotInterpreted},
      {"the name ..", {{"..", shown}}, kMsgNotInterpreted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestContainer x;
    x.payload = TestBase64Lines(TestPythonZip(c.entries));
    x.addSigner(someone);
    WriteAll(container(), x.text());
    // Found beside the file it claims to carry, and selected itself: no signer.
    for (const std::string& target : {report(), container()}) {
      SCOPED_TRACE(target);
      EXPECT_EQ(sign(0, target), sfrOk);
      EXPECT_EQ(boxTexts(), std::vector<QString>{c.box});
      EXPECT_EQ(ReadText(container()), x.text());
    }
    EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn"}));
    EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
    EXPECT_FALSE(ui_.waitCursor());
  }
  // The same container with the one file alone takes signers both ways.
  TestContainer alone;
  alone.payload = TestBase64Lines(TestPythonZip({{"report.pdf", shown}}));
  alone.addSigner(someone);
  WriteAll(container(), alone.text());
  ASSERT_EQ(sign(0, report()), sfrOk);
  ASSERT_EQ(sign(1, container()), sfrOk);
  EXPECT_EQ(boxTexts(), (std::vector<QString>{kMsgSignSuccess, kMsgSignSuccess}));
  const Parsed p = Parse(ReadText(container()));
  ASSERT_EQ(p.signers.size(), 3u);
  EXPECT_EQ(p.range, alone.range());
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(QString::fromStdString(container()), list));
  for (const TSignerRecord& r : list) EXPECT_EQ(r.SignatureOk, 1);
}

// A payload in which another reader finds a second document, or the file under
// another name, takes no signer, found beside its file (through the comparison)
// or selected itself; the card is not asked.
TEST_F(SignFileTest, AnArchiveThatCarriesASecondDocumentIsNeverSigned) {
  writeReport(3000);
  TestCertSpec spec;
  spec.bits = 1024;
  const TestIdentity someone = MakeTestIdentity(spec);
  for (const TestTwoDocumentZip& v : TestTwoDocumentZips("report.pdf", ReadText(report()))) {
    SCOPED_TRACE(v.what);
    TestContainer x;
    x.payload = TestBase64Lines(v.zip);
    x.addSigner(someone);
    WriteAll(container(), x.text());
    for (const std::string& target : {report(), container()}) {
      SCOPED_TRACE(target);
      int32_t result = -1;
      const std::string calls = cardCallsOfSigning(0, target, result);
      EXPECT_EQ(result, sfrOk);
      EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgNotInterpreted});
      EXPECT_EQ(calls, "");
      EXPECT_EQ(ReadText(container()), x.text());
    }
    EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn"}));
    EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
  }
}

// Limits are met before anything is packed or the card asked: the 1001st signer,
// names that could not exist, a file whose archive would need Zip64. Each is
// result 2 with the reason the shell adds, and nothing is written.
TEST_F(SignFileTest, LimitsAreRefusedBeforeTheCardIsAsked) {
  writeReport(3000);
  TestCertSpec spec;
  spec.bits = 1024;
  const TestIdentity someone = MakeTestIdentity(spec);
  {
    SCOPED_TRACE("a container of 1000 signers");
    TestContainer full;
    full.payload = TestBase64Lines(TestPythonZip({{"report.pdf", ReadText(report())}}));
    full.addSigner(someone);
    full.signers.assign(kSgnMaxSigners, full.signers.front());
    WriteAll(container(), full.text());
    for (const std::string& target : {report(), container()}) {
      SCOPED_TRACE(target);
      int32_t result = -1;
      EXPECT_EQ(cardCallsOfSigning(0, target, result), "");
      EXPECT_EQ(result, sfrOutputUnwritable);
      EXPECT_EQ(SignFileSystemErrorText(), "");
      EXPECT_TRUE(boxTexts().empty());
      EXPECT_EQ(ReadText(container()), full.text());
    }
    // One signer fewer takes the 1000th, which every reader still reads.
    full.signers.pop_back();
    WriteAll(container(), full.text());
    ASSERT_EQ(sign(0, container()), sfrOk);
    TSignerList list;
    ASSERT_TRUE(VerifySignedFile(QString::fromStdString(container()), list));
    EXPECT_EQ(list.size(), kSgnMaxSigners);
    boxTexts();
    QFile::remove(QString::fromStdString(container()));
  }
  // 250 bytes of Croatian letters: the container's name fits, the viewed copy's
  // "Tmp_Orig_" name does not; 252 bytes: the container's name does not.
  QString croatian;
  while (croatian.toUtf8().size() < 246) croatian += QStringLiteral("čćžšđ").at(croatian.size() % 5);
  for (const QString& name : {QString(248, 'a') + ".txt", croatian + ".txt"}) {
    SCOPED_TRACE(name.toStdString());
    ASSERT_EQ(name.toUtf8().size(), name.startsWith('a') ? 252 : 250);
    const std::string document = dir_.file(name.toStdString());
    WriteAll(document, "sadržaj");
    int32_t result = -1;
    EXPECT_EQ(cardCallsOfSigning(0, document, result), "");
    EXPECT_EQ(result, sfrOutputUnwritable);
    EXPECT_EQ(SignFileSystemErrorText(), DiskErrorText(ENAMETOOLONG));
    EXPECT_TRUE(boxTexts().empty());
    QStringList left = files(), expected{name, "report.pdf"};
    left.sort();
    expected.sort();
    EXPECT_EQ(left, expected);
    QFile::remove(QString::fromStdString(document));
  }
  // A container that carries such a name takes no signer in place either.
  {
    TestContainer longName;
    longName.payload = TestBase64Lines(TestPythonZip({{std::string(246, 'a') + ".txt", "sadržaj"}}));
    longName.addSigner(someone);
    WriteAll(container(), longName.text());
    int32_t result = -1;
    EXPECT_EQ(cardCallsOfSigning(0, container(), result), "");
    EXPECT_EQ(result, sfrOutputUnwritable);
    EXPECT_EQ(SignFileSystemErrorText(), DiskErrorText(ENAMETOOLONG));
    EXPECT_EQ(ReadText(container()), longName.text());
    QFile::remove(QString::fromStdString(container()));
  }
  // At the size limit (a sparse file: nothing of it is read), the archive could
  // need Zip64: refused before packing.
  {
    QFile big(QString::fromStdString(report()));
    ASSERT_TRUE(big.resize(kMaxPackedFileSize));
    int32_t result = -1;
    EXPECT_EQ(cardCallsOfSigning(0, report(), result), "");
    EXPECT_EQ(result, sfrOutputUnwritable);
    EXPECT_EQ(SignFileSystemErrorText(), DiskErrorText(EFBIG));
    EXPECT_TRUE(boxTexts().empty());
    EXPECT_EQ(files(), QStringList{"report.pdf"});
  }
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
}

// Just under the limit the file is not refused: its packing starts (and is
// cancelled here once the ZIP component runs, so the test stays small).
TEST_F(SignFileTest, AFileJustUnderTheSizeLimitIsPacked) {
  writeReport(0);
  QFile big(QString::fromStdString(report()));
  ASSERT_TRUE(big.resize(kMaxPackedFileSize - 1));
  bool packing = false;
  ui_.onProcess = [&] {
    if (!dm_->ZipArchiver1.IsBusy()) return;
    packing = true;
    dm_->ZipArchiver1.SetCancel(true);
  };
  EXPECT_EQ(sign(0, report()), sfrOutputUnwritable);
  ui_.onProcess = nullptr;
  EXPECT_TRUE(packing);
  EXPECT_NE(SignFileSystemErrorText(), DiskErrorText(EFBIG));
  EXPECT_EQ(files(), QStringList{"report.pdf"});
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
}

TEST_F(SignFileTest, NamesWithDoubleDotsRoundTrip) {
  std::vector<QString> opened;
  const FileOpener previous = SetFileOpener([&](const QString& p) {
    opened.push_back(p);
    return true;
  });
  for (const std::string name : {"report..pdf", "a..b..c.txt"}) {
    SCOPED_TRACE(name);
    const std::string file = dir_.file(name);
    const Bytes content = TestRandomBytes(4000, 9);
    WriteAll(file, content.data(), content.size());
    const std::string sgn = SignedFileName(QString::fromStdString(file)).toStdString();
    // Signed, a second signer through the comparison, a third in place.
    ASSERT_EQ(sign(0, file), sfrOk);
    ASSERT_EQ(sign(1, file), sfrOk);
    ASSERT_EQ(sign(2, sgn), sfrOk);
    EXPECT_EQ(boxTexts(), (std::vector<QString>{kMsgSignSuccess, kMsgSignSuccess, kMsgSignSuccess}));
    const std::string text = ReadText(sgn);
    expectSignatures(text, {0, 1, 2});
    // Info-ZIP lists the entry under the file's own name.
    TempDir t("dots");
    WriteAll(t.file("p.b64"), Parse(text).payload);
    ASSERT_EQ(::Run("tr -d '\\r\\n' < '" + t.file("p.b64") + "' | base64 -d > '" + t.file("p.zip") + "'"), 0);
    std::string listed;
    EXPECT_EQ(::Run("unzip -Z1 '" + t.file("p.zip") + "'", &listed), 0);
    EXPECT_EQ(listed, name + "\n");
    // Viewed and saved.
    QString viewed;
    ExtractOriginalFile(QString::fromStdString(sgn), emView, viewed);
    EXPECT_EQ(viewed, GetTempDirectory() + "Tmp_Orig_" + QString::fromStdString(name));
    EXPECT_EQ(opened, std::vector<QString>{viewed});
    opened.clear();
    EXPECT_EQ(ReadAll(viewed.toStdString()), std::vector<unsigned char>(content.begin(), content.end()));
    QFile::remove(viewed);
    ui_.fileAnswers = {path("saved.bin")};
    QString none;
    ExtractOriginalFile(QString::fromStdString(sgn), emSaveAs, none);
    EXPECT_EQ(ReadAll(dir_.file("saved.bin")), std::vector<unsigned char>(content.begin(), content.end()));
    QFile::remove(path("saved.bin"));
    EXPECT_TRUE(ui_.boxes.empty());
  }
  SetFileOpener(previous);
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
}

TEST_F(SignFileTest, ASymlinkedContainerIsSignedAndRevokedThroughTheLink) {
  writeReport(3000);
  ASSERT_EQ(sign(0, report()), sfrOk);
  // The container lives in a shared folder; the user's folder holds a link to it.
  TempDir shared("shared");
  const std::string real = shared.file("report_pdf.sgn");
  ASSERT_EQ(::rename(container().c_str(), real.c_str()), 0);
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(::symlink(real.c_str(), container().c_str()), 0);
  auto expectLinkAndTarget = [&](const std::vector<size_t>& signers) {
    EXPECT_TRUE(QFileInfo(path("report_pdf.sgn")).isSymLink());
    EXPECT_EQ(QFileInfo(path("report_pdf.sgn")).symLinkTarget(), QString::fromStdString(real));
    expectSignatures(ReadText(real), signers);
    struct stat st;
    ASSERT_EQ(::lstat(real.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn"}));
    EXPECT_EQ(
        QDir(QString::fromStdString(shared.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList{"report_pdf.sgn"});
  };
  // The link selected and signed in place.
  ASSERT_EQ(sign(1, container()), sfrOk);
  expectLinkAndTarget({0, 1});
  // The link found beside the file: the comparison reads through it, the signer
  // goes into the shared file.
  ASSERT_EQ(sign(2, report()), sfrOk);
  expectLinkAndTarget({0, 1, 2});
  EXPECT_EQ(boxTexts(), (std::vector<QString>{kMsgSignSuccess, kMsgSignSuccess, kMsgSignSuccess}));
  // Revoked through the link.
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(path("report_pdf.sgn"), list));
  ASSERT_EQ(list.size(), 3u);
  RevokeSignature(path("report_pdf.sgn"), list[1]);
  expectLinkAndTarget({0, 2});
  EXPECT_TRUE(ui_.boxes.empty());
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
}

TEST_F(SignFileTest, AHardLinkedContainerIsRefusedRatherThanSplit) {
  writeReport(3000);
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  const std::string before = ReadText(container());
  const std::string other = dir_.file("shared_copy.sgn");
  ASSERT_EQ(::link(container().c_str(), other.c_str()), 0);
  // Selected under either name, or found beside the file: result 2, nothing changed.
  for (const std::string& target : {container(), other, report()}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(sign(1, target), sfrOutputUnwritable);
    EXPECT_EQ(ReadText(container()), before);
  }
  EXPECT_TRUE(boxTexts().empty());
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(path("report_pdf.sgn"), list));
  ASSERT_EQ(list.size(), 1u);
  try {
    RevokeSignature(path("report_pdf.sgn"), list[0]);
    ADD_FAILURE() << "revoked a hard-linked container";
  } catch (const EFileError& e) {
    EXPECT_EQ(e.Text(), kMsgHardLinkedFile.arg(path("report_pdf.sgn")).arg(2));
  }
  struct stat a, b;
  ASSERT_EQ(::stat(container().c_str(), &a), 0);
  ASSERT_EQ(::stat(other.c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_nlink, 2u);
  EXPECT_EQ(ReadText(other), before);
  EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn", "shared_copy.sgn"}));
}

}  // namespace

namespace {

// Adding a signer on a disk that refuses the copy made for the comparison: the
// extraction names the system's reason in its box, the operation ends with result
// 0 as after any failed comparison, and the container is left as it was.
TEST_F(SignFileTest, AFullDiskWhileComparingIsNamedAndLeavesTheContainer) {
  // Large, and small once packed: only the extracted copy meets the limit.
  WriteAll(report(), std::string(300000, 'a'));
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  const std::string before = ReadText(container());
  ASSERT_LT(before.size(), 100000u);
  {
    FileSizeLimit limit(200000);
    EXPECT_EQ(sign(2, report()), sfrOk);
  }
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSystemErrorPrefix + QString::number(EFBIG) + "-" +
                                             QStringLiteral("Datoteka je prevelika") + "]"});
  EXPECT_EQ(ReadText(container()), before);
  EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn"}));
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
}

}  // namespace

// A card that holds more certificates than the user's: the container carries the
// certificate of the key that signed, exactly its DER, and openssl verifies the
// signature over the signed range with it. A card whose only certificate belongs
// to no key, or whose signature does not open with the certificate read, signs
// nothing and reports no success.
TEST_F(SignFileTest, TheContainerCarriesTheCertificateOfTheKeyThatSigned) {
  writeReport(5000);
  const std::vector<unsigned char> userDer = ReadAll(token(0).certDer());
  const std::vector<unsigned char> caDer = ReadAll(token(0).dir + "/../ca.der");
  ASSERT_FALSE(caDer.empty());
  const Bytes user(userDer.begin(), userDer.end()), ca(caDer.begin(), caDer.end());
  Bytes padded = user;
  padded.insert(padded.end(), {0x00, 0x00, 0xFF, 0x30, 0x00});
  const Bytes key = {0x01}, other = {0x02};
  struct Case {
    const char* what;
    std::vector<Acpkcs::CertObject> objects;
  } good[] = {
      {"the CA's certificate first", {{ca, other}, {user, key}}},
      {"the user's certificate padded after its DER", {{padded, key}}},
      {"the CA's first, the user's padded", {{ca, {}}, {padded, key}}},
  };
  for (const Case& c : good) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(m_.putCertificates(session(0), c.objects), "");
    ASSERT_EQ(sign(0, report()), sfrOk);
    EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgSignSuccess});
    expectSignatures(ReadText(container()), {0});
    QFile::remove(QString::fromStdString(container()));
  }

  // Only the CA's certificate: no certificate of the key, result 4.
  ASSERT_EQ(m_.putCertificates(session(0), {{ca, other}}), "");
  EXPECT_EQ(sign(0, report()), sfrNoCertificate);
  EXPECT_TRUE(boxTexts().empty());
  EXPECT_EQ(files(), QStringList{"report.pdf"});

  // The CA's certificate first under the key's own id, while the key's modulus
  // cannot be read for the certificate: the CA's is taken and the card signs with
  // the user's key. The check of the new signature refuses it, result 5, for a new
  // container and for one signed in place.
  auto mismatched = [&](size_t t, const std::string& file) {
    const std::vector<unsigned char> own = ReadAll(token(t).certDer());
    ASSERT_EQ(m_.putCertificates(session(t), {{ca, key}, {Bytes(own.begin(), own.end()), key}}), "");
    // The third C_GetAttributeValue of the run asks for the key's CKA_MODULUS.
    m_.ctl.acpkcs_ctl_fail("C_GetAttributeValue", CKR_ATTRIBUTE_SENSITIVE, 3);
    m_.ctl.acpkcs_ctl_record(1);
    EXPECT_EQ(sign(t, file), sfrNoSignature);
    m_.ctl.acpkcs_ctl_record(0);
    m_.ctl.acpkcs_ctl_clear_failures();
    const std::string log = takeLog();
    const size_t modulus = log.find("pTemplate=[0x120:");
    ASSERT_NE(modulus, std::string::npos) << log;
    EXPECT_NE(log.substr(modulus, log.find('\n', modulus) - modulus).find("(injected)"), std::string::npos) << log;
    EXPECT_NE(log.find("C_Sign "), std::string::npos) << log;  // the card did sign
    EXPECT_TRUE(boxTexts().empty());
  };
  mismatched(0, report());
  EXPECT_EQ(files(), QStringList{"report.pdf"});

  ASSERT_EQ(m_.putCertificates(session(0), {{user, key}}), "");
  ASSERT_EQ(sign(0, report(), false), sfrOk);
  const std::string before = ReadText(container());
  mismatched(1, container());
  EXPECT_EQ(ReadText(container()), before);
  EXPECT_EQ(files(), (QStringList{"report.pdf", "report_pdf.sgn"}));
}
