// Self-extracting archives: the settings record byte by byte, and an add to a
// new ".EXE" name that puts stub, record and archive together so that unzip and
// the component both read it, and the stub itself extracts it.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <cerrno>
#include <filesystem>
#include <memory>

#include "outside/zip_builder.h"
#include "platform/disk_steps.h"
#include "platform/fake_ui_services.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"
#include "zip/zip_sfx.h"

using namespace ziptest;

namespace {

std::string S(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }
uint32_t U16(const QByteArray& b, int at) {
  return static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8);
}
uint32_t U32(const QByteArray& b, int at) { return U16(b, at) | (U16(b, at + 2) << 16); }

TEST(SfxRecord, LayoutAndLimits) {
  TZaSFX maker;
  // Nothing set: 18 rounded up to 20, 28 bytes with the trailer.
  QByteArray r = TSFXHeaderStream(maker).Data();
  ASSERT_EQ(r.size(), 28);
  EXPECT_EQ(r.left(4), QByteArray("ZM\x00\x01", 4));
  EXPECT_EQ(U16(r, 4), 20u);
  EXPECT_EQ(static_cast<uint8_t>(r[8]), somAsk);
  EXPECT_EQ(r.mid(20, 4), QByteArray("ZM\x0A\x01", 4));
  EXPECT_EQ(U32(r, 24), 20u);

  maker.DialogTitle = "Naslov";               // 6
  maker.DefaultExtractPath = "C:\\Izvješće";  // 11 bytes in code page 1250
  maker.CommandLine = "";
  maker.FallbackExtractPath = "F";
  maker.Message = "Poruka";
  maker.MessageFlags = 0x12345678;
  maker.Options = {soAskFiles, soAutoRun, soCanBeCancelled};
  maker.OverwriteMode = somSkip;
  r = TSFXHeaderStream(maker).Data();
  const int s = (18 + 6 + 11 + 0 + 1 + 6 + 3) / 4 * 4;  // 44
  ASSERT_EQ(r.size(), s + 8);
  EXPECT_EQ(U16(r, 4), static_cast<uint32_t>(s));
  EXPECT_EQ(U16(r, 6), (1u << 1) | (1u << 3) | (1u << 9));
  EXPECT_EQ(static_cast<uint8_t>(r[8]), 1);
  EXPECT_EQ(r.mid(9, 5), QByteArray("\x06\x0B\x00\x01\x06", 5));
  EXPECT_EQ(U32(r, 14), 0x12345678u);
  EXPECT_EQ(r.mid(18, 24), QByteArray("NaslovC:\\Izvje\x9A\xE6"
                                      "eFPoruka"));
  EXPECT_EQ(r.mid(s, 4), QByteArray("ZM\x0A\x01", 4));
  EXPECT_EQ(U32(r, s + 4), static_cast<uint32_t>(s));

  // 255 characters are accepted in each text, 256 in any one are not.
  for (QString TCustomZaSFX::*field :
       {&TCustomZaSFX::DialogTitle, &TCustomZaSFX::DefaultExtractPath, &TCustomZaSFX::CommandLine,
        &TCustomZaSFX::FallbackExtractPath, &TCustomZaSFX::Message}) {
    TZaSFX m;
    m.*field = QString(255, u'a');
    EXPECT_EQ(TSFXHeaderStream(m).Data().size(), (18 + 255 + 3) / 4 * 4 + 8);
    m.*field = QString(256, u'a');
    try {
      TSFXHeaderStream{m};
      ADD_FAILURE() << "256 characters accepted";
    } catch (const EZaSfxError& e) {
      EXPECT_EQ(e.Id(), kZipSfxStringTooLong);
      EXPECT_EQ(S(e.Message()), "Error - On or more of the 4 property strings mentioned below exceeds 255 characters!");
    }
  }
}

TEST(SfxRecord, NewArchiveStream) {
  TZipArchiveStream a;
  char buf[40];
  EXPECT_EQ(a.Read(buf, sizeof buf), 22);
  EXPECT_EQ(QByteArray(buf, 22), QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0'));
  EXPECT_EQ(a.Read(buf, 1), 0);
  EXPECT_EQ(a.Seek(100), 22);
  EXPECT_EQ(a.Seek(-3), 0);
  EXPECT_EQ(a.Write(buf, 4), 0);
}

class Sfx : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteAll(dir_.file("a.txt"), std::string(3000, 'a'));
    WriteAll(dir_.file("Izvješće.txt"), "izvješće\n");
  }
  FakeUiServices ui_;
  TempDir dir_{"zipsfx"};
  TZipArchiver zip_;
};

TEST_F(Sfx, AddToNewExeArchive) {
  const std::string exe = dir_.file("setup.exe");
  zip_.SetSFXMessage(QString(QChar(2)) + "Raspakirati?");
  zip_.SetSFXCaption("Raspakiravanje");
  zip_.SetSFXOptions({SFXAskFiles, SFXNoSuccessMsg, SFXCheckSize});
  zip_.SetSFXOverWriteMode(OvrNever);
  zip_.SetZipFileName(Q(exe));
  zip_.FSpecArgs() = QStringList{Q(dir_.file("a.txt")), Q(dir_.file("Izvješće.txt"))};
  // The program takes its name only once it holds the files.
  bool seenEarly = false;
  zip_.OnProgress = [&](TZipArchiver&, ProgressType, const QString&, uint32_t) {
    seenEarly = seenEarly || std::filesystem::exists(exe);
  };
  ASSERT_EQ(zip_.Add(), 0) << S(zip_.Message());
  zip_.OnProgress = nullptr;
  EXPECT_FALSE(seenEarly);
  EXPECT_EQ(zip_.ProcessedCount(), 2);
  EXPECT_EQ(TreeOf(dir_.path()), (std::vector<std::string>{"Izvješće.txt", "a.txt", "setup.exe"}));
  // The type character is taken off the component's message.
  EXPECT_EQ(zip_.SFXMessage(), "Raspakirati?");
  EXPECT_EQ(zip_.SFXPath(), Q(std::string(TARVI_BIN_DIR) + "/ZASFXUS.BIN"));
  EXPECT_EQ(zip_.SFXOptions(), SFXOpts({SFXAskFiles, SFXNoSuccessMsg}));

  const std::vector<unsigned char> raw = ReadAll(exe);
  const QByteArray file(reinterpret_cast<const char*>(raw.data()), static_cast<qsizetype>(raw.size()));
  const std::vector<unsigned char> stubRaw = ReadAll(std::string(TARVI_BIN_DIR) + "/ZASFXUS.BIN");
  const QByteArray stub(reinterpret_cast<const char*>(stubRaw.data()), static_cast<qsizetype>(stubRaw.size()));
  ASSERT_TRUE(file.startsWith(stub));
  const QByteArray rec = file.mid(stub.size());
  const int s = (18 + 14 + 12 + 3) / 4 * 4;
  EXPECT_EQ(U16(rec, 4), static_cast<uint32_t>(s));
  EXPECT_EQ(U16(rec, 6), (1u << 1) | (1u << 4));  // soAskFiles, soNoSuccessMsg
  EXPECT_EQ(static_cast<uint8_t>(rec[8]), somSkip);
  EXPECT_EQ(U32(rec, 14), 36u);
  EXPECT_EQ(rec.mid(18, 26), QByteArray("RaspakiravanjeRaspakirati?"));
  EXPECT_EQ(rec.mid(s, 4), QByteArray("ZM\x0A\x01", 4));
  // The entries follow the record.
  EXPECT_EQ(zip_.DataOffset(), stub.size() + s + 8);
  EXPECT_EQ(file.mid(stub.size() + s + 8, 4), QByteArray("PK\x03\x04", 4));

  TZipArchiver again;
  again.SetZipFileName(Q(exe));
  ASSERT_EQ(again.Count(), 2);
  EXPECT_EQ(again.ErrCode(), 0) << S(again.Message());
  EXPECT_EQ(S(again.DirEntry(1).FileName), "Izvješće.txt");
  EXPECT_TRUE(ui_.boxes.empty());

  if (HaveTool("unzip")) {
    std::string out;
    EXPECT_EQ(::Run("unzip -t " + ShellQuote(exe) + " 2>&1", &out), 0) << out;
    EXPECT_EQ(out.find("extra bytes"), std::string::npos) << out;
    // The stub is a program that extracts what follows it (after the Yes/No message).
    const std::string dest = dir_.file("unpacked");
    EXPECT_EQ(::Run("echo y | " + ShellQuote(exe) + " " + ShellQuote(dest) + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(ReadText(dest + "/a.txt"), std::string(3000, 'a'));
  }

  // The archive exists now: a further add goes into it like any archive.
  WriteAll(dir_.file("b.txt"), "b");
  zip_.FSpecArgs() = QStringList{Q(dir_.file("b.txt"))};
  ASSERT_EQ(zip_.Add(), 0) << S(zip_.Message());
  EXPECT_EQ(zip_.Count(), 3);
  EXPECT_TRUE(ReadText(exe).rfind(std::string(stub.constData(), stub.size()), 0) == 0);
}

TEST_F(Sfx, SlaveMaker) {
  // A maker given by the caller is used as it stands, the component's SFX
  // properties left out.
  TZaSFX slave;
  slave.DialogTitle = "Od pozivatelja";
  zip_.SetSFXSlave(&slave);
  zip_.SetSFXCaption("ne ovaj");
  const std::string exe = dir_.file("slave.EXE");
  zip_.SetZipFileName(Q(exe));
  zip_.FSpecArgs() = QStringList{Q(dir_.file("a.txt"))};
  ASSERT_EQ(zip_.Add(), 0) << S(zip_.Message());
  EXPECT_NE(ReadText(exe).find("Od pozivatelja"), std::string::npos);
  EXPECT_EQ(ReadText(exe).find("ne ovaj"), std::string::npos);
  EXPECT_EQ(slave.TargetFile, Q(exe));
}

// Our stub is no Windows program: it has no icon resource to replace. The icon,
// given to the component or to a maker of the caller's, is left out with one
// information message; the files go in and the program runs.
TEST_F(Sfx, IconOnOurStubIsLeftOut) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::red);
  TZaSFX slave;
  slave.Icon = QIcon(pixmap);
  for (const bool viaSlave : {false, true}) {
    SCOPED_TRACE(viaSlave ? "the caller's maker" : "SFXIcon");
    TZipArchiver zip;
    zip.SetSFXOptions({SFXAutoRun});
    if (viaSlave)
      zip.SetSFXSlave(&slave);
    else
      zip.SetSFXIcon(QIcon(pixmap));
    std::vector<std::pair<int32_t, QString>> messages;
    zip.OnMessage = [&](TZipArchiver&, int32_t code, const QString& text) { messages.emplace_back(code, text); };
    const std::string exe = dir_.file(viaSlave ? "ikona2.exe" : "ikona1.exe");
    zip.SetZipFileName(Q(exe));
    zip.FSpecArgs() = QStringList{Q(dir_.file("a.txt")), Q(dir_.file("Izvješće.txt"))};
    const size_t before = ui_.boxes.size();
    ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
    EXPECT_EQ(zip.ProcessedCount(), 2);
    EXPECT_EQ(zip.Count(), 2);
    ASSERT_EQ(ui_.boxes.size(), before + 1);
    EXPECT_EQ(ui_.boxes.back().kind, MsgKind::Information);
    EXPECT_EQ(ui_.boxes.back().text, "No icon resources found in executable.");
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], std::make_pair(0, QString("No icon resources found in executable.")));
    const std::string dest = dir_.file(viaSlave ? "ikona2" : "ikona1");
    EXPECT_EQ(::Run(ShellQuote(exe) + " " + ShellQuote(dest) + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(ReadText(dest + "/Izvješće.txt"), "izvješće\n");
  }
}

// A failed add to a new self-extractor leaves nothing: no program under its name
// (an empty one would run and report success), no hidden file beside it; and the
// failure has its box, as a failed add has.
TEST_F(Sfx, FailedAddLeavesNoProgram) {
  const uintmax_t stub = std::filesystem::file_size(std::string(TARVI_BIN_DIR) + "/ZASFXUS.BIN");
  std::string noise(300000, '\0');
  uint32_t x = 12345;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  WriteAll(dir_.file("sum.bin"), noise);
  struct Case {
    const char* label;
    const char* file;
    rlim_t limit;  // a full disk: no file grows past this; 0 none
    int32_t code;
    QString box;  // what the box says first
  } cases[] = {
      {"a missing file", "nema.txt", 0, kZipAutoSfxError,
       "Error 11 occurred during Auto SFX creation.\nNothing matches " + Q(dir_.file("nema.txt"))},
      {"the disk full while the files go in", "sum.bin", static_cast<rlim_t>(stub + 4096), kZipAutoSfxError,
       "Error 13 occurred during Auto SFX creation.\nCannot write the archive: "},
      {"the disk full for the stub", "a.txt", 4096, kZipOutputCreateFailed, DiskErrorText(EFBIG)},
  };
  const std::vector<std::string> before = TreeOf(dir_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TZipArchiver zip;
    zip.SetZipFileName(Q(dir_.file("novi.exe")));
    zip.FSpecArgs() = QStringList{Q(dir_.file(c.file))};
    const size_t boxes = ui_.boxes.size();
    int32_t result = 0;
    {
      std::unique_ptr<FileSizeLimit> full;
      if (c.limit != 0) full = std::make_unique<FileSizeLimit>(c.limit);
      result = zip.Add();
    }
    EXPECT_EQ(result, c.code) << S(zip.Message());
    EXPECT_EQ(zip.ErrCode(), c.code);
    ASSERT_EQ(ui_.boxes.size(), boxes + 1) << S(zip.Message());
    EXPECT_TRUE(ui_.boxes.back().text.startsWith(c.box)) << S(ui_.boxes.back().text);
    EXPECT_EQ(zip.Message(), ui_.boxes.back().text);
    EXPECT_EQ(TreeOf(dir_.path()), before);
  }
  // A cancel leaves nothing either; it was the user's own choice, so no box.
  TZipArchiver zip;
  zip.SetZipFileName(Q(dir_.file("novi.exe")));
  zip.FSpecArgs() = QStringList{Q(dir_.file("sum.bin"))};
  zip.OnProgress = [](TZipArchiver& z, ProgressType, const QString&, uint32_t) { z.SetCancel(true); };
  const size_t boxes = ui_.boxes.size();
  EXPECT_NE(zip.Add(), 0);
  EXPECT_EQ(ui_.boxes.size(), boxes);
  EXPECT_EQ(TreeOf(dir_.path()), before);
}

// A Windows stub: a PE file with an icon resource (types 3, then 1, then a
// language) beside a group-icon branch (type 14) that must not be taken.
std::string PeStub(uint32_t iconSize) {
  std::string b(0x300 + 2 * iconSize, '\0');
  auto put16 = [&](size_t at, uint32_t v) { b[at] = char(v & 0xFF), b[at + 1] = char((v >> 8) & 0xFF); };
  auto put32 = [&](size_t at, uint32_t v) { put16(at, v & 0xFFFF), put16(at + 2, v >> 16); };
  b[0] = 'M', b[1] = 'Z';
  put32(60, 64);
  b.replace(64, 4, std::string("PE\0\0", 4));
  put16(64 + 6, 1);         // one section
  put16(64 + 20, 224);      // optional header size
  put32(64 + 136, 0x1000);  // resource directory address
  put32(64 + 140, 0x100);
  put32(64 + 248 + 12, 0x1000);  // the section: its address, its file position
  put32(64 + 248 + 20, 0x200);
  const size_t r = 0x200;
  put16(r + 14, 2);
  put32(r + 16, 14), put32(r + 20, 0x80000000u | 0x60);  // group icons first
  put32(r + 24, 3), put32(r + 28, 0x80000000u | 0x20);
  put16(r + 0x20 + 14, 1), put32(r + 0x20 + 16, 1), put32(r + 0x20 + 20, 0x80000000u | 0x38);
  put16(r + 0x38 + 14, 1), put32(r + 0x38 + 16, 0x41A), put32(r + 0x38 + 20, 0x50);
  put32(r + 0x50, 0x1100), put32(r + 0x50 + 4, iconSize);
  put16(r + 0x60 + 14, 1), put32(r + 0x60 + 16, 1), put32(r + 0x60 + 20, 0x78);
  put32(r + 0x78, 0x1100 + iconSize), put32(r + 0x78 + 4, iconSize);
  std::fill(b.begin() + 0x300, b.end(), '\xEE');
  return b;
}

TEST(SfxIcon, ReplacedInAWindowsStub) {
  TempDir dir("zipsfxicon");
  const QByteArray oldPath = qgetenv("PATH");
  qputenv("PATH", QByteArray(dir.path().c_str()) + ":" + oldPath);
  QImage image(16, 16, QImage::Format_ARGB32);
  image.fill(qRgba(0, 128, 0, 255));
  const QIcon icon(QPixmap::fromImage(image));
  const QByteArray ico = TCustomZaSFX::IconFileBytes(icon);
  ASSERT_GE(ico.size(), 22);
  const uint32_t size = U32(ico, 6 + 8);
  const uint32_t offset = U32(ico, 6 + 12);

  TZaSFX maker;
  maker.SetSFXLanguage("pe");
  EXPECT_EQ(maker.SFXPath, "ZASFXPE.BIN");
  maker.Icon = icon;
  WriteAll(dir.file("ZASFXPE.BIN"), PeStub(size));
  maker.TargetFile = Q(dir.file("s.exe"));
  maker.CreateSfx();
  EXPECT_EQ(maker.SFXPath, Q(dir.file("ZASFXPE.BIN")));
  std::string out = ReadText(dir.file("s.exe"));
  ASSERT_EQ(out.size(), 0x300 + 2 * size + 28 + 22);
  // The image's header and pixels; Qt leaves the padding of the mask rows at
  // whatever the buffer held, so the 64 mask bytes of a 16 x 16 image may differ
  // between two saves.
  ASSERT_GT(size, 64u);
  EXPECT_TRUE(out.substr(0x300, size - 64) == std::string(ico.constData() + offset, size - 64));
  EXPECT_EQ(out.substr(0x300 + size, size), std::string(size, '\xEE'));  // the group branch untouched

  // No image of the resource's byte size.
  WriteAll(dir.file("ZASFXPE.BIN"), PeStub(size + 1));
  maker.TargetFile = Q(dir.file("t.exe"));
  try {
    maker.CreateSfx();
    ADD_FAILURE() << "no failure";
  } catch (const EZaSfxError& e) {
    EXPECT_EQ(S(e.Message()), "No matching icon found.");
  }
  out = ReadText(dir.file("t.exe"));
  EXPECT_EQ(out.substr(0x300, size + 1), std::string(size + 1, '\xEE'));
  qputenv("PATH", oldPath);
}

}  // namespace
