// Encrypting for a recipient: the container's texts and cipher text checked with
// libcrypto against a recipient key the test holds, the output name, the
// overwrite question, and the failures that must leave nothing behind.
#include "signing/encrypt.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "encrypt_fixture.h"
#include "interfaces/tarvirsa.h"
#include "signing/activity_log.h"
#include "signing/data_module.h"
#include "signing/decrypt.h"
#include "signing/encrypted_container.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
#include "signing/settings.h"
#include "support/small_disk.h"

using namespace enctest;

namespace {

// What the ZIP step left in the program's private temporary folder.
QStringList WorkLeftovers() {
  return QDir(GetTempDirectory()).entryList({"ZipSgnDat*"}, QDir::AllEntries | QDir::Hidden);
}

class Encrypt : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (HasFatalFailure()) return;
    id_ = MakeTestIdentity(cert1024());
    cert_ = LoadCert(id_.certDer);
  }
  static TestCertSpec cert1024() {
    TestCertSpec s;
    s.bits = 1024;
    s.cn = "Primatelj";
    s.serial = {0x8A, 0x01, 0x02, 0x03, 0x04};
    return s;
  }
  // A file in the test's work folder.
  QString put(const std::string& name, const Bytes& data) {
    const QString path = dir("work") + QString::fromStdString(name);
    WriteAll(path.toStdString(), data.data(), data.size());
    return path;
  }
  int32_t encrypt(const QString& sgn, QString& out, bool zipFirst = false, int mode = 0) {
    return EncryptForRecipient("1234567", dir("install"), sgn, out, zipFirst, mode, *cert_);
  }
  Bytes sessionKey(const Parts& p) const { return RsaUnwrap(id_.key.get(), p.wrappedKeys.at(0)); }

  TestIdentity id_;
  std::unique_ptr<TCertifikat> cert_;
};

}  // namespace

// The cipher text is the plain text padded to 8 and enciphered in ECB: the same
// bytes as the 128-byte library calls, and as any other cutting.
TEST_F(Encrypt, CipherTextIsThePaddedPlainTextInEcb) {
  struct Case {
    size_t plain, cipher;
  };
  const Case cases[] = {{1000, 1008}, {1001, 1008}, {1024, 1032},   {0, 0},         {127, 128},
                        {128, 136},   {129, 136},   {65536, 65544}, {65537, 65544}, {200003, 200008}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plain);
    const Bytes plain = TestRandomBytes(c.plain, uint32_t(c.plain + 3));
    const QString sgn = put("doc" + std::to_string(c.plain) + ".sgn", plain);
    QString out;
    ASSERT_EQ(encrypt(sgn, out), kEncryptOk) << ui_.lastText().toStdString();
    EXPECT_EQ(out, dir("work") + "doc" + QString::number(c.plain) + ".enc");
    const std::string text = ReadText(out.toStdString());
    const Parts p = Split(text);
    ASSERT_EQ(p.cipher.size(), c.cipher);
    EXPECT_EQ(EncCipherLength(c.plain), c.cipher);
    const Bytes key = sessionKey(p);
    ASSERT_EQ(key.size(), 24u);
    EXPECT_EQ(Des3Ecb(key, Pad8(plain), true, 128), p.cipher);
    EXPECT_EQ(Des3Ecb(key, p.cipher, false, 65536), Pad8(plain));
    EXPECT_TRUE(ui_.boxes.empty());
  }
  EXPECT_FALSE(ui_.waitCursor());
}

// A new container gets the ordinary mode of a new file, not a temporary file's.
TEST_F(Encrypt, NewContainerHasTheUsualPermissions) {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  QString out;
  ASSERT_EQ(encrypt(put("perm.sgn", TestRandomBytes(10)), out), kEncryptOk);
  struct stat st {};
  ASSERT_EQ(::stat(out.toLocal8Bit().constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST_F(Encrypt, ContainerCarriesVersionSubjectSerialAndOneKeyAsLongAsTheModulus) {
  for (int bits : {1024, 2048, 4096}) {
    SCOPED_TRACE(bits);
    TestCertSpec spec = cert1024();
    spec.bits = bits;
    TestIdentity id = MakeTestIdentity(spec);
    auto cert = LoadCert(id.certDer);
    for (bool decimal : {false, true}) {
      Settings->ShowSNCertAsDecimal = decimal;
      const QString sgn = put("r" + std::to_string(bits) + (decimal ? "d" : "h") + ".sgn", TestRandomBytes(500));
      QString out;
      ASSERT_EQ(EncryptForRecipient("", dir("install"), sgn, out, false, 0, *cert), kEncryptOk);
      const std::string text = ReadText(out.toStdString());
      const Parts p = Split(text);
      EXPECT_EQ(p.version, "Tarvi Sealdesk 1.0.0.8");
      EXPECT_EQ(p.subject, "CN=Primatelj,OU=Razvoj,O=Tarvi Test,C=HR");
      // The serial's top bit gives it a leading 00 byte: its value stays positive.
      EXPECT_EQ(p.serial, decimal ? "9044226" : "008A01020304");
      ASSERT_EQ(p.wrappedKeys.size(), 1u);
      EXPECT_EQ(p.wrappedKeys[0].size(), size_t(bits / 8));
      EXPECT_EQ(RsaUnwrap(id.key.get(), p.wrappedKeys[0]).size(), 24u);
      EXPECT_EQ(text.substr(text.size() - 16), "</EncodedFile>\r\n");
      // The program's own reader agrees.
      TRecipientList list;
      ASSERT_TRUE(ParseRecipients(text.data(), int64_t(text.size()), nullptr, list));
      ASSERT_EQ(list.size(), 1u);
      EXPECT_EQ(list[0].SessionKey, p.wrappedKeys[0]);
      EXPECT_EQ(list[0].SerialText, decimal ? QStringLiteral("8A0102") : QStringLiteral("008A01020304"));
    }
  }
}

TEST_F(Encrypt, FreshSessionKeyEveryTime) {
  const QString sgn = put("same.sgn", TestRandomBytes(300));
  QString out;
  ASSERT_EQ(encrypt(sgn, out), kEncryptOk);
  const Parts a = Split(ReadText(out.toStdString()));
  ASSERT_EQ(encrypt(sgn, out), kEncryptOk);  // the question answers Yes
  const Parts b = Split(ReadText(out.toStdString()));
  EXPECT_NE(sessionKey(a), sessionKey(b));
  EXPECT_NE(a.cipher, b.cipher);
}

TEST(EncodedName, FolderRegistrationNumberTimeBaseNameAndExtension) {
  const QDateTime t(QDate(2024, 3, 5), QTime(7, 8, 9));
  struct Case {
    const char* sgn;
    bool mbr, date;
    const char* ext;
    const char* expected;
  };
  const Case cases[] = {
      {"/x/report_pdf.sgn", true, false, "enc", "/x/1234567_report_pdf.enc"},
      {"/x/report_pdf.sgn", false, false, "enc", "/x/report_pdf.enc"},
      {"/x/report_pdf.sgn", true, true, "enc", "/x/1234567_20240305070809_report_pdf.enc"},
      {"/x/report_pdf.sgn", false, true, "kri", "/x/20240305070809_report_pdf.kri"},
      {"/x/report_pdf.sgn", false, false, "", "/x/report_pdf."},
      {"/x/a.b.sgn", false, false, "enc", "/x/a.b.enc"},
      {"/x.y/noext", false, false, "enc", "/x.y/noext.enc"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(EncodedFileName(c.sgn, "1234567", c.mbr, c.date, t, c.ext), QString::fromUtf8(c.expected)) << c.sgn;
}

TEST_F(Encrypt, NameTakesTheRegistrationNumberAndTheTimeFromTheSettings) {
  Settings->WorkWithMBR = true;
  Settings->PackedNameWithDate = true;
  Settings->PackedFileExt = "kri";
  const QString sgn = put("report_pdf.sgn", TestRandomBytes(100));
  QString out;
  ASSERT_EQ(encrypt(sgn, out), kEncryptOk);
  const QString name = QFileInfo(out).fileName();
  EXPECT_TRUE(name.startsWith("1234567_")) << name.toStdString();
  EXPECT_TRUE(name.endsWith("_report_pdf.kri")) << name.toStdString();
  EXPECT_EQ(name.size(), QString("1234567_20240305070809_report_pdf.kri").size());
  EXPECT_TRUE(QFileInfo(out).isFile());
}

// Yes replaces the file; No opens the save dialog, whose cancel writes nothing.
TEST_F(Encrypt, ExistingOutputAsksAndTheSaveDialogOffersAnotherName) {
  const QString sgn = put("report_pdf.sgn", TestRandomBytes(700));
  const QString existing = dir("work") + "report_pdf.enc";
  WriteAll(existing.toStdString(), "old");
  const QString question = QString::fromUtf8("Kriptirana datoteka ovog imena već postoji na disku [") + existing +
                           QString::fromUtf8("].\nŽelite li je presnimiti s novom?");

  QString out;
  ui_.answers = {mrNo};  // and the dialog is cancelled
  EXPECT_EQ(encrypt(sgn, out), kEncryptStopped);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MsgKind::Confirmation);
  EXPECT_EQ(ui_.boxes[0].text, question);
  EXPECT_EQ(dm_->SnimiDlg.DefaultExt, "enc");
  EXPECT_EQ(dm_->SnimiDlg.InitialDir, dir("work").chopped(1));
  EXPECT_EQ(dm_->SnimiDlg.FileName, "report_pdf.enc");
  EXPECT_EQ(dm_->SnimiDlg.Filter, "Kriptirane datoteke (*.enc)|*.enc|Sve datoteke (*.*)|*.*");
  EXPECT_EQ(out, existing);
  EXPECT_EQ(ReadText(existing.toStdString()), "old");

  const QString other = dir("work") + "drugo";
  ui_.answers = {mrNo};
  ui_.fileAnswers = {other};
  EXPECT_EQ(encrypt(sgn, out), kEncryptOk);
  EXPECT_EQ(out, other + ".enc");  // the default extension is added
  EXPECT_EQ(ReadText(existing.toStdString()), "old");
  EXPECT_NO_THROW(Split(ReadText(out.toStdString())));

  ui_.answers = {mrYes};
  EXPECT_EQ(encrypt(sgn, out), kEncryptOk);
  EXPECT_EQ(out, existing);
  EXPECT_EQ(Split(ReadText(existing.toStdString())).cipher.size(), 704u);
  EXPECT_EQ(FilesIn(dir("work").toStdString()),
            (std::vector<std::string>{"drugo.enc", "report_pdf.enc", "report_pdf.sgn"}));
}

TEST_F(Encrypt, FailuresReportTheirTextAndLeaveNothingBehind) {
  const QString sgn = put("report_pdf.sgn", TestRandomBytes(700));
  const QString existing = dir("work") + "report_pdf.enc";
  WriteAll(existing.toStdString(), "old");
  const auto before = FilesIn(dir("work").toStdString());
  QString out;

  // A recipient certificate without a usable key.
  TCertifikat empty;
  ui_.answers = {mrYes};
  EXPECT_EQ(EncryptForRecipient("", dir("install"), sgn, out, false, 0, empty), kEncryptStopped);
  EXPECT_EQ(ui_.lastText(),
            QString::fromUtf8("Greška kod kriptiranja DES3 ključa. [Error code=") + QString::number(TR_E_KEY) + "]");
  EXPECT_EQ(ReadText(existing.toStdString()), "old");
  EXPECT_EQ(FilesIn(dir("work").toStdString()), before);

  // The file to encrypt is missing.
  ui_.boxes.clear();
  const QString missing = dir("work") + "missing.sgn";
  EXPECT_EQ(encrypt(missing, out), kEncryptCannotOpen);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MsgKind::Error);
  EXPECT_TRUE(ui_.lastText().startsWith("Cannot open file \"" + missing + "\". ")) << ui_.lastText().toStdString();
  EXPECT_FALSE(QFileInfo::exists(dir("work") + "missing.enc"));

  // The chosen output's folder does not exist.
  ui_.boxes.clear();
  const QString nowhere = dir("work") + "no/such/folder/x.enc";
  ui_.answers = {mrNo};
  ui_.fileAnswers = {nowhere};
  EXPECT_EQ(encrypt(sgn, out), kEncryptCannotCreate);
  EXPECT_TRUE(ui_.lastText().startsWith("Cannot create file \"" + nowhere + "\". ")) << ui_.lastText().toStdString();
  EXPECT_EQ(FilesIn(dir("work").toStdString()), before);
  EXPECT_FALSE(ui_.waitCursor());
}

// An extension that makes the output name the input's own never costs the input.
TEST_F(Encrypt, TheOutputIsNeverTheInput) {
  Settings->PackedFileExt = "sgn";
  const Bytes plain = TestRandomBytes(700);
  const QString sgn = put("report_pdf.sgn", plain);
  QString out;
  ui_.answers = {mrYes};
  EXPECT_EQ(encrypt(sgn, out), kEncryptCannotCreate);
  EXPECT_EQ(out, sgn);
  EXPECT_TRUE(ui_.lastText().startsWith("Cannot create file \"" + sgn + "\".")) << ui_.lastText().toStdString();
  EXPECT_EQ(ReadAll(sgn.toStdString()), plain);

  // Nor through the save dialog, nor through a second name of the same file.
  const QString link = dir("work") + "link.sgn";
  ASSERT_TRUE(QFile::link(sgn, link));
  ui_.answers = {mrNo};
  ui_.fileAnswers = {link};
  EXPECT_EQ(encrypt(sgn, out), kEncryptCannotCreate);
  EXPECT_EQ(ReadAll(sgn.toStdString()), plain);
}

TEST_F(Encrypt, LoggingModeWritesTheProgramLogInsteadOfBoxes) {
  QString out;
  const QString missing = dir("work") + "missing.sgn";
  EXPECT_EQ(encrypt(missing, out, false, kReportProgramLog), kEncryptCannotOpen);
  TCertifikat empty;
  const QString sgn = put("a.sgn", TestRandomBytes(10));
  EXPECT_EQ(EncryptForRecipient("", dir("install"), sgn, out, false, kReportProgramLog, empty), kEncryptStopped);
  EXPECT_TRUE(ui_.boxes.empty());
  const std::string log = ReadText(ProgramLogFileName(dir("install")).toStdString());
  EXPECT_NE(log.find("Cannot open file \"" + missing.toStdString() + "\". "), std::string::npos) << log;
  EXPECT_NE(log.find("Greška kod kriptiranja DES3 ključa. [Error code=1027]\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.rfind("- ", 0), 0u);

  // Any other mode says nothing at all.
  EXPECT_EQ(encrypt(missing, out, false, 1), kEncryptCannotOpen);
  EXPECT_TRUE(ui_.boxes.empty());
}

// The two cipher streams on their own: any cutting of the writes gives the same
// bytes, and the last block's padding is checked strictly.
TEST(CipherStreams, RoundTripAcrossBlockBoundaries) {
  std::string error;
  ASSERT_TRUE(BindTarviRsaForTests(&error)) << error;
  const Bytes key = TestRandomBytes(24, 99);
  for (size_t n : {size_t(1), size_t(7), size_t(8), size_t(65527), size_t(65528), size_t(65535), size_t(65536),
                   size_t(65537), size_t(131072), size_t(300001)}) {
    SCOPED_TRACE(n);
    const Bytes plain = TestRandomBytes(n, uint32_t(n));
    MemorySource src(plain.data(), plain.size());
    Des3CipherSource cipher(key.data(), src);
    QByteArray c;
    ByteArraySink cs(c);
    char buf[1000];
    for (size_t got; (got = cipher.Read(buf, 1 + n % 997)) > 0;) cs.Write(buf, got);
    const Bytes cipherBytes(c.begin(), c.end());
    EXPECT_EQ(cipherBytes, Des3Ecb(key, Pad8(plain), true, 128));

    QByteArray p;
    ByteArraySink ps(p);
    Des3PlainSink back(key.data(), ps);
    int blocks = 0;
    back.onBlock = [&](int) { ++blocks; };
    for (size_t at = 0; at < cipherBytes.size(); at += 4093)
      back.Write(cipherBytes.data() + at, std::min<size_t>(4093, cipherBytes.size() - at));
    EXPECT_EQ(back.Finish(), 0);
    EXPECT_EQ(Bytes(p.begin(), p.end()), plain);
    EXPECT_EQ(blocks, int((cipherBytes.size() + 65535) / 65536));
  }
}

// The streams hand the library pieces of many blocks; what comes out and the
// per-block events (progress positions, pad lengths) are those of one block per
// call, for plain texts around block and piece boundaries.
TEST(CipherStreams, PiecesOfManyBlocksGiveTheBytesAndEventsOfOneBlockPerCall) {
  std::string error;
  ASSERT_TRUE(BindTarviRsaForTests(&error)) << error;
  const Bytes key = TestRandomBytes(24, 5);
  constexpr size_t kB = 64;  // block; pieces of 4 blocks are 256 bytes
  struct Events {
    Bytes bytes;
    std::vector<uint64_t> positions;
    std::vector<int> pads;
    Bytes plain;
    int32_t finish = 0;
  };
  auto run = [&](const Bytes& plain, size_t pieceBlocks) {
    Events e;
    MemorySource src(plain.data(), plain.size());
    Des3CipherSource cipher(key.data(), src, kB, pieceBlocks);
    cipher.onBlock = [&](uint64_t at) { e.positions.push_back(at); };
    QByteArray c;
    ByteArraySink cs(c);
    char buf[37];
    for (size_t got; (got = cipher.Read(buf, sizeof buf)) > 0;) cs.Write(buf, got);
    e.bytes.assign(c.begin(), c.end());
    QByteArray p;
    ByteArraySink ps(p);
    Des3PlainSink back(key.data(), ps, kB, pieceBlocks);
    back.onBlock = [&](int pad) { e.pads.push_back(pad); };
    for (size_t at = 0; at < e.bytes.size(); at += 50)
      back.Write(e.bytes.data() + at, std::min<size_t>(50, e.bytes.size() - at));
    e.finish = e.bytes.empty() ? 0 : back.Finish();
    e.plain.assign(p.begin(), p.end());
    return e;
  };
  for (size_t n : {size_t(0), size_t(1), size_t(63), size_t(64), size_t(65), size_t(255), size_t(256), size_t(257),
                   size_t(512), size_t(1000)}) {
    SCOPED_TRACE(n);
    const Bytes plain = TestRandomBytes(n, uint32_t(n) + 1);
    const Events one = run(plain, 1);
    EXPECT_EQ(one.bytes, Des3Ecb(key, n ? Pad8(plain) : Bytes(), true));
    EXPECT_EQ(one.plain, plain);
    EXPECT_EQ(one.positions.size(), n / kB + 1);
    for (size_t pieceBlocks : {size_t(4), size_t(128)}) {
      SCOPED_TRACE(pieceBlocks);
      const Events many = run(plain, pieceBlocks);
      EXPECT_EQ(many.bytes, one.bytes);
      EXPECT_EQ(many.positions, one.positions);
      EXPECT_EQ(many.pads, one.pads);
      EXPECT_EQ(many.plain, one.plain);
      EXPECT_EQ(many.finish, 0);
    }
  }
  // A cipher text cut short of a multiple of 8: the whole blocks before the cut
  // are reported before the library's refusal, as block by block.
  const Bytes cipher = Des3Ecb(key, Pad8(TestRandomBytes(300, 8)), true);
  for (size_t pieceBlocks : {size_t(1), size_t(4), size_t(128)}) {
    SCOPED_TRACE(pieceBlocks);
    QByteArray p;
    ByteArraySink ps(p);
    Des3PlainSink s(key.data(), ps, kB, pieceBlocks);
    int blocks = 0;
    s.onBlock = [&](int) { ++blocks; };
    s.Write(cipher.data(), cipher.size() - 3);
    EXPECT_THROW(s.Finish(), EDes3Error);
    EXPECT_EQ(blocks, 4);
  }
}

TEST(CipherStreams, BadPaddingAndBadLengthsAreNeverAPlainText) {
  std::string error;
  ASSERT_TRUE(BindTarviRsaForTests(&error)) << error;
  const Bytes key = TestRandomBytes(24, 7);
  auto open = [&](const Bytes& plainWithPad, Bytes* out = nullptr) {
    const Bytes cipher = Des3Ecb(key, plainWithPad, true);
    QByteArray p;
    ByteArraySink ps(p);
    Des3PlainSink s(key.data(), ps);
    s.Write(cipher.data(), cipher.size());
    int32_t rc = s.Finish();
    if (out) *out = Bytes(p.begin(), p.end());
    return rc;
  };
  Bytes body = TestRandomBytes(13);
  auto with = [&](std::initializer_list<uint8_t> tail) {
    Bytes b = body;
    b.insert(b.end(), tail);
    return b;
  };
  Bytes out;
  EXPECT_EQ(open(with({3, 3, 3}), &out), 0);
  EXPECT_EQ(out, body);
  EXPECT_EQ(open(with({0, 0, 0})), TR_E_DATA);
  EXPECT_EQ(open(with({9, 9, 9})), TR_E_DATA);
  EXPECT_EQ(open(with({1, 3, 3})), TR_E_DATA);  // a pad byte unlike the pad length
  EXPECT_EQ(open(with({3, 4, 3})), TR_E_DATA);
  EXPECT_EQ(open(Bytes(8, 8), &out), 0);
  EXPECT_TRUE(out.empty());

  // Nothing at all, and a length that is not a multiple of 8.
  QByteArray p;
  ByteArraySink ps(p);
  Des3PlainSink none(key.data(), ps);
  EXPECT_EQ(none.Finish(), TR_E_DATA);
  Des3PlainSink odd(key.data(), ps);
  const Bytes cipher = Des3Ecb(key, Bytes(16, 8), true);
  odd.Write(cipher.data(), 13);
  try {
    odd.Finish();
    ADD_FAILURE() << "no error";
  } catch (const EDes3Error& e) {
    EXPECT_EQ(e.code(), TR_E_DATA);
  }
  EXPECT_TRUE(p.isEmpty());
}

TEST(DecryptNames, OnlyOnePlainNameMayBecomeAFile) {
  for (const char* ok : {"report_pdf.sgn", "a", "Šaržić ček.sgn", "..x", "x.."})
    EXPECT_TRUE(SafeEntryName(QString::fromUtf8(ok))) << ok;
  for (const char* bad : {"", ".", "..", "../x.sgn", "a/b.sgn", "/etc/passwd", "a\\b", "C:x.sgn", "x\ty", "x\x7Fy"})
    EXPECT_FALSE(SafeEntryName(QString::fromUtf8(bad))) << bad;
  EXPECT_FALSE(SafeEntryName(QString(256, 'a')));
}

// The shell's road: the plain text is a ZIP archive whose one entry is the signed
// container under its bare name.
TEST_F(Encrypt, ZipFirstEnciphersAZipOfTheSignedContainer) {
  const Bytes sgn = TestRandomBytes(150000, 42);
  const QString path = put("report_pdf.sgn", sgn);
  QString out;
  ASSERT_EQ(encrypt(path, out, true), kEncryptOk) << ui_.lastText().toStdString();
  const Parts p = Split(ReadText(out.toStdString()));
  Bytes plain = Des3Ecb(sessionKey(p), p.cipher, false);
  ASSERT_FALSE(plain.empty());
  plain.resize(plain.size() - plain.back());
  const std::string zip = tmp_.file("p.zip");
  WriteAll(zip, plain.data(), plain.size());
  std::string listing;
  ASSERT_EQ(::Run("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); print(z.namelist()); "
                  "open(sys.argv[2],'wb').write(z.read('report_pdf.sgn'))\" '" +
                      zip + "' '" + tmp_.file("back.sgn") + "' 2>&1",
                  &listing),
            0)
      << listing;
  EXPECT_EQ(listing, "['report_pdf.sgn']\n");
  EXPECT_EQ(ReadAll(tmp_.file("back.sgn")), sgn);
  // The work archive is gone, with its folder.
  EXPECT_TRUE(WorkLeftovers().isEmpty()) << WorkLeftovers().join(",").toStdString();
}

// Without its ZIP the signed container is never enciphered as it is.
TEST_F(Encrypt, FailedZipStepStopsWithoutAnOutput) {
  QString out;
  const QString missing = dir("work") + "missing.sgn";
  EXPECT_EQ(encrypt(missing, out, true), kEncryptCannotOpen);
  // The box names the container, not the work archive.
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_TRUE(ui_.lastText().startsWith("Cannot open file \"" + missing + "\". ")) << ui_.lastText().toStdString();
  EXPECT_FALSE(QFileInfo::exists(dir("work") + "missing.enc"));

  ui_.boxes.clear();
  const QString sgn = put("report_pdf.sgn", TestRandomBytes(100));
  dm_->ZipArchiver1.OnDirUpdate = [](TZipArchiver&) { throw std::runtime_error("library fault"); };
  EXPECT_EQ(encrypt(sgn, out, true), kEncryptCannotOpen);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "Error in Add; Fatal DLL Exception in mainunit");
  EXPECT_FALSE(QFileInfo::exists(dir("work") + "report_pdf.enc"));
  EXPECT_TRUE(WorkLeftovers().isEmpty()) << WorkLeftovers().join(",").toStdString();
}

// An encryption started while another one packs finds the ZIP component busy: it
// stops without touching the running operation, which goes on to a whole output.
TEST_F(Encrypt, NestedEncryptionLeavesTheRunningOneAlone) {
  const QString sgn = put("report_pdf.sgn", TestRandomBytes(300000));
  const QString other = put("other_pdf.sgn", TestRandomBytes(1000));
  int32_t nested = 1000;
  QString nestedOut;
  ui_.onProcess = [&] {
    if (nested != 1000 || !dm_->ZipArchiver1.IsBusy()) return;
    nested = encrypt(other, nestedOut, true);
  };
  QString out;
  EXPECT_EQ(encrypt(sgn, out, true), kEncryptOk);
  ui_.onProcess = nullptr;
  EXPECT_EQ(nested, kEncryptCannotOpen);
  EXPECT_FALSE(QFileInfo::exists(dir("work") + "other_pdf.enc"));
  EXPECT_TRUE(QFileInfo(out).size() > 300000);
  EXPECT_TRUE(WorkLeftovers().isEmpty()) << WorkLeftovers().join(",").toStdString();
}

// Above ProgressMinSize the progress window follows the data pass and is hidden at
// the end; at or below it the window is not shown.
TEST_F(Encrypt, ProgressWindowOnlyForLargeInputs) {
  auto window = std::make_unique<TfmProgres>();
  fmProgres = window.get();
  QString out;
  ASSERT_EQ(encrypt(put("small.sgn", TestRandomBytes(size_t(ProgressMinSize))), out), kEncryptOk);
  EXPECT_EQ(window->repaintCount(), 0);
  ASSERT_EQ(encrypt(put("large_file.sgn", TestRandomBytes(300000)), out), kEncryptOk);
  EXPECT_GT(window->repaintCount(), 0);
  EXPECT_EQ(window->windowTitle(), "Pakiranje datoteke");
  EXPECT_EQ(window->lbOpis->text(), "large_file.sgn");
  EXPECT_EQ(window->ProgressBar1->maximum(), 300000);
  EXPECT_TRUE(window->isHidden());
  fmProgres = nullptr;
}

// ---- a real, nearly full disk ------------------------------------------------------

namespace {

// Fills the file system of folder until `free` bytes are left (in whole pages).
void LeaveFree(const QString& folder, uint64_t free) {
  struct statvfs vfs {};
  ASSERT_EQ(statvfs(QFile::encodeName(folder).constData(), &vfs), 0);
  const uint64_t now = uint64_t(vfs.f_bavail) * vfs.f_frsize;
  ASSERT_GT(now, free);
  const QString filler = folder + "filler";
  QFile f(filler);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Append));
  const QByteArray block(int(now - free), 'f');
  ASSERT_EQ(f.write(block), block.size());
  ASSERT_TRUE(f.flush());
  f.close();
  ASSERT_EQ(statvfs(QFile::encodeName(folder).constData(), &vfs), 0);
  ASSERT_EQ(uint64_t(vfs.f_bavail) * vfs.f_frsize, free);
}

}  // namespace

// The encrypted container goes beside the signed container on a small tmpfs of
// its own, with one page too few for the new container beside the older one: the
// encryption reports the full disk in the system's words and the older container
// stays as it was; with that page free it succeeds. Runs in a mount namespace of
// its own (unshare), and is skipped where the system allows none.
TEST_F(Encrypt, ANearlyFullDiskIsReportedAndKeepsTheOlderContainer) {
  if (SmallDisk()) GTEST_SKIP() << "the outer half of the test";
  RunOnSmallDisk("Encrypt.OnASmallDisk", "2m");
}

// The inner half, on the small disk.
TEST_F(Encrypt, OnASmallDisk) {
  if (!SmallDisk()) GTEST_SKIP() << "runs inside ANearlyFullDiskIsReportedAndKeepsTheOlderContainer";
  const QString folder = QString::fromLocal8Bit(SmallDisk()) + "/";
  const Bytes plain = TestRandomBytes(300000, 5);
  const QString sgn = folder + "report_pdf.sgn";
  WriteAll(sgn.toStdString(), plain.data(), plain.size());
  QString out;
  ASSERT_EQ(encrypt(sgn, out, true), kEncryptOk) << ui_.lastText().toStdString();
  const std::string older = ReadText(out.toStdString());
  const uint64_t page = 4096, need = (older.size() + page - 1) / page * page;

  LeaveFree(folder, need - page);
  if (HasFatalFailure()) return;
  ui_.boxes.clear();
  ui_.answers = {mrYes};
  EXPECT_EQ(encrypt(sgn, out, true), kEncryptCannotCreate);
  ASSERT_EQ(ui_.boxes.size(), 2u);
  EXPECT_EQ(ui_.boxes[1].kind, MsgKind::Error);
  EXPECT_EQ(ui_.boxes[1].text, CannotCreateText(out, QStringLiteral("Nema više mjesta na uređaju")));
  EXPECT_EQ(ReadText(out.toStdString()), older);
  EXPECT_EQ(FilesIn(folder.toStdString()), (std::vector<std::string>{"filler", "report_pdf.enc", "report_pdf.sgn"}));

  // One page more, and the new container takes the older one's place.
  QFile::remove(folder + "filler");
  LeaveFree(folder, need);
  if (HasFatalFailure()) return;
  ui_.boxes.clear();
  ui_.answers = {mrYes};
  ASSERT_EQ(encrypt(sgn, out, true), kEncryptOk) << ui_.lastText().toStdString();
  const std::string newer = ReadText(out.toStdString());
  EXPECT_EQ(newer.size(), older.size());
  EXPECT_NE(newer, older);  // a fresh session key
  const Parts p = Split(newer);
  EXPECT_EQ(p.cipher.size() % 8, 0u);
  EXPECT_EQ(newer.substr(newer.size() - 16), "</EncodedFile>\r\n");
}
