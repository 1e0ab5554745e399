// Add and Extract of the component over the real libziplib.so and libunzlib.so:
// the roads the signed-file engine takes, the preconditions and their messages,
// and hostile archives seen through the component.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <filesystem>

#include "interfaces/ziplib_errors.h"
#include "interfaces/ziplib_names.h"
#include "outside/zip_builder.h"
#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"

using namespace ziptest;

namespace {

std::string S(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string Text(size_t n) {
  std::string s;
  while (s.size() < n) s += "Izvješće o radu, redak " + std::to_string(s.size()) + ".\n";
  s.resize(n);
  return s;
}

class Drivers : public ::testing::Test {
 protected:
  void SetUp() override {
    // As the data module sets the component up.
    zip_.SetAddStoreSuffixes({assGIF, assPNG, assZ, assZIP, assZOO, assARC, assLZH, assARJ, assTAZ, assTGZ, assLHA});
    std::filesystem::create_directories(out_);
  }
  FakeUiServices ui_;
  TempDir dir_{"zipdrv"};
  std::string out_ = dir_.file("out");
  TZipArchiver zip_;
};

// Signing packs the file into "ZipSgnDat.tmp" under its bare name; extracting
// takes entry 0 back out into a folder, where ExtrBaseDir + its listed name is
// the file, byte for byte, Croatian name included.
TEST_F(Drivers, TheEnginesRoads) {
  for (const char* fileName : {"report.pdf", "Ugovor čćžšđ ČĆŽŠĐ.docx", "slika.gif"}) {
    SCOPED_TRACE(fileName);
    const std::string doc = Text(250000);
    std::filesystem::create_directories(dir_.file("docs"));
    const std::string source = dir_.file("docs/") + fileName;
    WriteAll(source, doc);
    const std::string archive = dir_.file("ZipSgnDat.tmp");
    std::filesystem::remove(archive);

    zip_.SetZipFileName(Q(archive));
    EXPECT_EQ(zip_.Count(), 0);
    EXPECT_EQ(zip_.ErrCode(), 0);
    zip_.SetAddOptions({});
    zip_.FSpecArgs().clear();
    zip_.FSpecArgs().append(QString::fromStdString(source));
    EXPECT_EQ(zip_.Add(), 0) << S(zip_.Message());
    EXPECT_EQ(zip_.ProcessedCount(), 1);
    EXPECT_TRUE(zip_.FSpecArgs().isEmpty());
    ASSERT_EQ(zip_.Count(), 1);
    EXPECT_EQ(S(zip_.DirEntry(0).FileName), fileName);
    EXPECT_EQ(zip_.DirEntry(0).Method, std::string(fileName) == "slika.gif" ? 0 : 8);

    // The decrypting road: a fresh component reads the archive.
    TZipArchiver reader;
    reader.SetZipFileName(Q(archive));
    ASSERT_EQ(reader.Count(), 1);
    reader.FSpecArgs().clear();
    reader.SetExtrBaseDir(Q(out_ + "/"));
    reader.SetExtrOptions({ExtrDirNames, ExtrOverWrite});
    const std::string target = S(reader.ExtrBaseDir() + reader.DirEntry(0).FileName);
    EXPECT_EQ(reader.Extract(), 0) << S(reader.Message());
    EXPECT_EQ(reader.ProcessedCount(), 1);
    EXPECT_EQ(ReadText(target), doc);
    EXPECT_EQ(TreeOf(out_).size(), 1u);
    std::filesystem::remove(target);
  }
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(Drivers, AddPreconditions) {
  WriteAll(dir_.file("a.txt"), std::string("a"));
  // No lines: nothing happens, the lines stay as they were.
  zip_.SetZipFileName(Q(dir_.file("p.zip")));
  EXPECT_EQ(zip_.Add(), kZipNoFilesToZip);
  EXPECT_EQ(S(zip_.Message()), "Error - no files to zip!");
  // No archive name.
  zip_.SetZipFileName(QString());
  zip_.FSpecArgs() = QStringList{Q(dir_.file("a.txt"))};
  EXPECT_EQ(zip_.Add(), kZipNoZipFile);
  EXPECT_EQ(zip_.FSpecArgs().size(), 1);
  // Unattended encryption without a password.
  zip_.SetZipFileName(Q(dir_.file("p.zip")));
  zip_.SetAddOptions({AddEncrypt});
  zip_.SetUnattended(true);
  EXPECT_EQ(zip_.Add(), kZipUnattendedNoPassword);
  EXPECT_EQ(zip_.FSpecArgs().size(), 1);
  zip_.SetUnattended(false);
  // The archive's folder must exist, unless it is to be made.
  zip_.SetAddOptions({});
  zip_.SetZipFileName(Q(dir_.file("new/sub/p.zip")));
  EXPECT_EQ(zip_.Add(), kZipDestDirMissing);
  EXPECT_EQ(S(zip_.Message()), "Destination directory '" + dir_.file("new/sub") + "' must exist!");
  EXPECT_TRUE(zip_.FSpecArgs().isEmpty());  // the library was loaded: the lines are used up
  EXPECT_FALSE(std::filesystem::exists(dir_.file("new")));
  zip_.FSpecArgs() = QStringList{Q(dir_.file("a.txt"))};
  zip_.SetAddOptions({AddForceDest});
  EXPECT_EQ(zip_.Add(), 0) << S(zip_.Message());
  EXPECT_EQ(zip_.Count(), 1);
}

// What the library reports comes back from Add: an add that processed nothing
// does not answer an earlier operation's result, and a file left out still shows
// when the rest went in.
TEST_F(Drivers, AddAnswersTheLibrarysErrors) {
  // A file of 4 GiB cannot go into a ZIP without Zip64.
  const std::string big = dir_.file("big.bin");
  {
    QFile f(Q(big));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize((qint64{1} << 32) + 1));
  }
  zip_.SetZipFileName(Q(dir_.file("b.zip")));
  zip_.FSpecArgs() = QStringList{Q(big)};
  EXPECT_EQ(zip_.Add(), ZIPERR_TOO_LARGE);
  EXPECT_EQ(zip_.ProcessedCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("b.zip")));

  // One of two is a named pipe, which is no file to add.
  WriteAll(dir_.file("ok.txt"), std::string("ok"));
  ASSERT_EQ(mkfifo(dir_.file("pipe").c_str(), 0600), 0);
  zip_.FSpecArgs() = QStringList{Q(dir_.file("ok.txt")), Q(dir_.file("pipe"))};
  EXPECT_EQ(zip_.Add(), ZIPERR_READ);
  EXPECT_EQ(zip_.ProcessedCount(), 1);
  EXPECT_EQ(zip_.Count(), 1);
}

// A cancelled operation of a Verbose component: the unload report raises 11007 to
// the caller of Add or Extract, and the component is idle again afterwards, not
// busy for good.
TEST_F(Drivers, CancelledVerboseOperationLeavesTheComponentIdle) {
  WriteAll(dir_.file("c.txt"), Text(1000));
  const QString archive = Q(dir_.file("c.zip"));
  for (bool adding : {true, false}) {
    SCOPED_TRACE(adding ? "add" : "extract");
    zip_.SetZipFileName(archive);
    zip_.SetUnattended(true);
    zip_.SetPassword(QStringLiteral("x"));  // no unattended-extract warning
    zip_.SetVerbose(true);
    zip_.SetExtrBaseDir(Q(out_));
    zip_.SetExtrOptions({ExtrDirNames, ExtrOverWrite});
    zip_.OnProgress = [](TZipArchiver& z, ProgressType, const QString&, uint32_t) { z.SetCancel(true); };
    zip_.FSpecArgs() = QStringList{Q(dir_.file("c.txt"))};
    try {
      adding ? zip_.Add() : zip_.Extract();
      ADD_FAILURE() << "no exception";
    } catch (const EZipArchiver& e) {
      EXPECT_EQ(e.Id(), kZipUserCancelled);
    }
    EXPECT_FALSE(zip_.IsBusy());
    EXPECT_FALSE(zip_.Cancel());

    zip_.OnProgress = nullptr;
    zip_.SetVerbose(false);
    zip_.FSpecArgs() = QStringList{Q(dir_.file("c.txt"))};
    if (adding) {
      EXPECT_EQ(zip_.Add(), 0) << S(zip_.Message());
    } else {
      zip_.FSpecArgs().clear();
      EXPECT_EQ(zip_.Extract(), 0) << S(zip_.Message());
    }
    EXPECT_EQ(zip_.ProcessedCount(), 1);
  }
}

TEST_F(Drivers, ExtractPreconditions) {
  zip_.SetZipFileName(QString());
  EXPECT_EQ(zip_.Extract(), kZipNoZipFile);
  zip_.SetZipFileName(Q(dir_.file("none.zip")));
  EXPECT_EQ(zip_.Extract(), kZipInputMissing);
  WriteAll(dir_.file("bad.zip"), std::string("not an archive"));
  zip_.SetZipFileName(Q(dir_.file("bad.zip")));
  EXPECT_EQ(zip_.Extract(), kZipFileNotOpened);

  WriteAll(dir_.file("good.zip"), BuildZip({{.name = "a.txt", .data = "a"}, {.name = "b.txt", .data = "b"}}).bytes);
  zip_.SetZipFileName(Q(dir_.file("good.zip")));
  zip_.SetExtrBaseDir(Q(dir_.file("missing/dir")));
  zip_.FSpecArgs() = QStringList{"a.txt"};
  EXPECT_EQ(zip_.Extract(), kZipExtractDirMissing);
  EXPECT_EQ(S(zip_.Message()), "Extract directory '" + dir_.file("missing/dir") + "' must exist");
  EXPECT_TRUE(zip_.FSpecArgs().isEmpty());
  EXPECT_FALSE(std::filesystem::exists(dir_.file("missing")));

  // Made when asked; "*.*" first means every entry, whatever follows.
  zip_.SetExtrOptions({ExtrForceDirs});
  zip_.FSpecArgs() = QStringList{"*.*", "a.txt"};
  EXPECT_EQ(zip_.Extract(), 0) << S(zip_.Message());
  EXPECT_EQ(zip_.ProcessedCount(), 2);
  EXPECT_EQ(TreeOf(dir_.file("missing/dir")), (std::vector<std::string>{"a.txt", "b.txt"}));

  // Unattended without a password: a warning (the result), and the extract goes
  // on; the password count is back afterwards.
  zip_.SetUnattended(true);
  zip_.SetPasswordReqCount(3);
  zip_.SetExtrOptions({ExtrOverWrite});
  std::vector<std::string> messages;
  zip_.OnMessage = [&](TZipArchiver&, int32_t, const QString& text) { messages.push_back(S(text)); };
  EXPECT_EQ(zip_.Extract(), kZipUnattendedExtractWarning);
  EXPECT_EQ(zip_.ProcessedCount(), 2);
  EXPECT_EQ(zip_.PasswordReqCount(), 3u);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0], "Warning - Unattended Extract: possible not all files extracted");
}

// Hostile archives through the component: List, then Extract into a folder.
// Nothing lands outside it, nothing half-written stays, and the result is an
// error.
TEST_F(Drivers, HostileArchives) {
  struct Case {
    const char* what;
    std::string bytes;
    int32_t listCount;   // entries List shows
    int32_t extractErr;  // what Extract answers
  } cases[] = {
      {"parent folder", BuildZip({{.name = "../escaped.txt", .data = "x"}}).bytes, 1, ZIPERR_UNSAFE_NAME},
      {"deep parent folder", BuildZip({{.name = "a/../../escaped.txt", .data = "x"}}).bytes, 1, ZIPERR_UNSAFE_NAME},
      {"backslash parent", BuildZip({{.name = "..\\escaped.txt", .data = "x"}}).bytes, 1, ZIPERR_UNSAFE_NAME},
      {"absolute", BuildZip({{.name = "/tmp/escaped.txt", .data = "x"}}).bytes, 1, ZIPERR_UNSAFE_NAME},
      {"drive", BuildZip({{.name = "C:\\escaped.txt", .data = "x"}}).bytes, 1, ZIPERR_UNSAFE_NAME},
      {"symlink",
       BuildZip({{.name = "link", .data = "/etc", .host = 3, .madeBy = 30, .external = 0120777u << 16}}).bytes, 1,
       ZIPERR_UNSAFE_NAME},
      {"lying size", BuildZip({{.name = "bomb.txt", .data = std::string(100000, 'z'), .method = 8, .usize = 10}}).bytes,
       1, ZIPERR_BAD_DATA},
      {"bad CRC", BuildZip({{.name = "crc.txt", .data = "data", .crc = 7}}).bytes, 1, ZIPERR_BAD_DATA},
      {"overlapping",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "aaaa"}, {.name = "b.txt", .data = "bbbb"}});
         Put32(b.bytes, b.central[1] + 42, 0);
         return b.bytes;
       }(),
       2, ZIPERR_BAD_DATA},
      {"truncated directory",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         Put16(b.bytes, b.endPos + 8, 5);
         Put16(b.bytes, b.endPos + 10, 5);
         return b.bytes;
       }(),
       0, kZipNoZipFile},
      {"bad end record",
       [] {
         std::string s = BuildZip({{.name = "a.txt", .data = "a"}}).bytes;
         s[s.size() - 21] = 'X';
         return s;
       }(),
       0, kZipFileNotOpened},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string base = dir_.file("t/base");
    std::filesystem::remove_all(dir_.file("t"));
    std::filesystem::create_directories(base);
    WriteAll(dir_.file("t/h.zip"), k.bytes);
    zip_.SetZipFileName(Q(dir_.file("t/h.zip")));
    EXPECT_EQ(zip_.Count(), k.listCount);
    zip_.SetExtrBaseDir(Q(base));
    zip_.SetExtrOptions({ExtrDirNames, ExtrOverWrite});
    zip_.FSpecArgs().clear();
    EXPECT_EQ(zip_.Extract(), k.extractErr) << S(zip_.Message());
    EXPECT_EQ(TreeOf(dir_.file("t")), (std::vector<std::string>{"base/", "h.zip"}));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("escaped.txt")));
    EXPECT_FALSE(std::filesystem::exists("/tmp/escaped.txt"));
  }
}

// The listed name is the extracted name, for every host and code page.
TEST_F(Drivers, ListedNameIsExtractedName) {
  struct Case {
    std::string stored;
    uint8_t host, madeBy;
    uint16_t flag;
    CodePageOpts cp;
  } cases[] = {
      {"\xAC\x86\xA7\xE7\xD0", 0, 20, 0, cpAuto},
      {"\xC8\xE6\x9E\x9A\xF0", 0, 20, 0, cpNone},
      {"\xAC\x86\xA7\xE7\xD0", 3, 30, 0, cpOEM},
      {"\xC8\xE6\x9E\x9A\xF0", 3, 30, 0, cpAuto},
      {"čćžšđ", 3, 30, 0, cpAuto},
      {"čćžšđ", 0, 20, 0x800, cpAuto},
      {"\xAC\x86\xA7\xE7\xD0", 11, 50, 0, cpNone},
      {"mapa\\\xAC\x86.txt", 0, 20, 0, cpAuto},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.host) + "/" + std::to_string(k.cp));
    std::filesystem::remove_all(out_);
    std::filesystem::create_directories(out_);
    WriteAll(dir_.file("n.zip"),
             BuildZip({{.name = k.stored, .data = "x", .host = k.host, .madeBy = k.madeBy, .flag = k.flag}}).bytes);
    zip_.SetCodePage(k.cp);
    zip_.SetZipFileName(Q(dir_.file("n.zip")));
    ASSERT_EQ(zip_.Count(), 1);
    const std::string listed = S(zip_.DirEntry(0).FileName);
    zip_.SetExtrBaseDir(Q(out_));
    zip_.SetExtrOptions({ExtrDirNames, ExtrOverWrite});
    EXPECT_EQ(zip_.Extract(), 0) << S(zip_.Message());
    EXPECT_TRUE(std::filesystem::exists(out_ + "/" + listed))
        << listed << " " << ::testing::PrintToString(TreeOf(out_));
  }
}

// One file per name. An archive whose directory holds two entries of one name
// (and, without folders, two of one last component): the first entry's bytes go
// under the name, the later one is refused with a message and a nonzero result;
// a literal name selects exactly the first entry.
TEST_F(Drivers, OneFilePerName) {
  WriteAll(dir_.file("dup.zip"), BuildZip({{.name = "dvaput.txt", .data = "prvi"},
                                           {.name = "ostalo.txt", .data = "ostalo"},
                                           {.name = "dvaput.txt", .data = "drugi", .method = 8},
                                           {.name = "a/isto.txt", .data = "iz a"},
                                           {.name = "b/isto.txt", .data = "iz b"}})
                                     .bytes);
  struct Case {
    const char* what;
    QStringList names;
    ExtrOpts options;
    int32_t processed;
    size_t refused;
    std::vector<std::string> tree;
  };
  const std::vector<Case> cases = {
      {"all, folders kept",
       {},
       {ExtrDirNames},
       4,
       1,
       {"a/", "a/isto.txt", "b/", "b/isto.txt", "dvaput.txt", "ostalo.txt"}},
      {"all, overwriting",
       {},
       {ExtrDirNames, ExtrOverWrite},
       4,
       1,
       {"a/", "a/isto.txt", "b/", "b/isto.txt", "dvaput.txt", "ostalo.txt"}},
      {"all, no folders", {}, {ExtrOverWrite}, 3, 2, {"dvaput.txt", "isto.txt", "ostalo.txt"}},
      {"the literal name", {"dvaput.txt"}, {ExtrDirNames, ExtrOverWrite}, 1, 0, {"dvaput.txt"}},
      {"a pattern takes both, one is written", {"dvaput.*"}, {ExtrDirNames, ExtrOverWrite}, 1, 1, {"dvaput.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(out_);
    std::filesystem::create_directories(out_);
    zip_.SetZipFileName(Q(dir_.file("dup.zip")));
    ASSERT_EQ(zip_.Count(), 5);
    zip_.SetExtrBaseDir(Q(out_));
    zip_.SetExtrOptions(c.options);
    zip_.FSpecArgs() = c.names;
    std::vector<QString> messages;
    size_t refused = 0;
    zip_.OnMessage = [&](TZipArchiver&, int32_t code, const QString& m) {
      if (code != 0) messages.push_back(m);
    };
    zip_.OnExtractSkipped = [&](TZipArchiver&, const QString&, UnZipSkipTypes t, int32_t) {
      EXPECT_EQ(t, stFileExists);
      ++refused;
    };
    const int32_t result = zip_.Extract();
    EXPECT_EQ(zip_.ProcessedCount(), c.processed);
    EXPECT_EQ(refused, c.refused);
    if (c.refused > 0) {
      EXPECT_EQ(result, ZIPERR_BAD_DATA) << S(zip_.Message());
      ASSERT_FALSE(messages.empty());
      EXPECT_TRUE(messages[0].startsWith("an earlier entry of the archive wrote this name")) << S(messages[0]);
    } else {
      EXPECT_EQ(result, 0) << S(zip_.Message());
    }
    EXPECT_EQ(TreeOf(out_), c.tree);
    EXPECT_EQ(ReadText(out_ + "/dvaput.txt"), "prvi");
    if (c.tree.size() == 3) {
      EXPECT_EQ(ReadText(out_ + "/isto.txt"), "iz a");
    }
  }
  zip_.OnMessage = nullptr;
  zip_.OnExtractSkipped = nullptr;
}

std::string Block(uint16_t id, const std::string& data) {
  std::string b;
  Add16(b, id);
  Add16(b, static_cast<uint16_t>(data.size()));
  return b + data;
}

// The adding library's questions reach the component's events, and their answers
// are what is written: a new name (cleaned: it stays inside the archive), a file
// comment, extra data (short, long, and refused when it is not whole blocks);
// ticks while the existing archive is copied.
TEST_F(Drivers, AddingAsksForNamesCommentsAndExtraData) {
  WriteAll(dir_.file("a.txt"), std::string("prvi"));
  WriteAll(dir_.file("b.txt"), std::string("drugi"));
  WriteAll(dir_.file("c.txt"), std::string("treći"));
  WriteAll(dir_.file("d.txt"), std::string("četvrti"));
  const std::string small = Block(0xCAFE, "abcd");
  const std::string big = Block(0xBEEF, std::string(596, 'x'));
  std::vector<std::string> asked, commented, extras;
  int ticks = 0;
  zip_.OnSetNewName = [&](TZipArchiver&, QString& name, bool& changed) {
    asked.push_back(S(name));
    if (name == "a.txt") {
      name = "preimenovano/č.txt";
      changed = true;
    }
    if (name == "d.txt") {
      name = "../../izvan.txt";
      changed = true;
    }
  };
  zip_.OnFileComment = [&](TZipArchiver&, const QString& forFile, QString& comment, bool& changed) {
    commented.push_back(S(forFile) + "|" + S(comment));
    if (forFile == "b.txt") {
      comment = "Komentar: izvješće";
      changed = true;
    }
  };
  zip_.OnFileExtra = [&](TZipArchiver&, const QString& forFile, QByteArray& data, bool& changed) {
    extras.push_back(S(forFile) + "|" + std::to_string(data.size()));
    if (forFile == "b.txt") data = QByteArray(small.data(), static_cast<qsizetype>(small.size()));
    if (forFile == "preimenovano/č.txt") data = QByteArray(big.data(), static_cast<qsizetype>(big.size()));
    if (forFile == "izvan.txt") data = QByteArray("abc");  // not a whole block
    changed = forFile != "c.txt";
  };
  zip_.OnTick = [&](TZipArchiver&) { ++ticks; };
  const std::string archive = dir_.file("pitanja.zip");
  zip_.SetZipFileName(Q(archive));
  zip_.FSpecArgs() = QStringList{Q(dir_.file("a.txt")), Q(dir_.file("b.txt")), Q(dir_.file("d.txt"))};
  ASSERT_EQ(zip_.Add(), 0) << S(zip_.Message());
  EXPECT_EQ(asked, (std::vector<std::string>{"a.txt", "b.txt", "d.txt"}));
  EXPECT_EQ(commented, (std::vector<std::string>{"preimenovano/č.txt|", "b.txt|", "izvan.txt|"}));
  EXPECT_EQ(extras, (std::vector<std::string>{"preimenovano/č.txt|0", "b.txt|0", "izvan.txt|0"}));
  ASSERT_EQ(zip_.Count(), 3);
  std::string cp852;
  ASSERT_TRUE(ziplib_names::EncodeOem("preimenovano/č.txt", cp852));
  const ZipDirEntry& a = zip_.DirEntry(0);
  EXPECT_EQ(S(a.FileName), "preimenovano/č.txt");
  EXPECT_EQ(std::string(a.ExtraData.constData(), static_cast<size_t>(a.ExtraData.size())),
            big + ziplib_names::UnicodePathField(cp852, "preimenovano/č.txt"));
  const ZipDirEntry& b = zip_.DirEntry(1);
  EXPECT_EQ(S(b.FileName), "b.txt");
  EXPECT_EQ(S(b.FileComment), "Komentar: izvješće");
  EXPECT_EQ(std::string(b.ExtraData.constData(), static_cast<size_t>(b.ExtraData.size())), small);
  const ZipDirEntry& d = zip_.DirEntry(2);
  EXPECT_EQ(S(d.FileName), "izvan.txt");
  EXPECT_TRUE(d.ExtraData.isEmpty());

  std::string log;
  if (HaveTool("unzip")) {
    EXPECT_EQ(::Run("unzip -t " + ShellQuote(archive) + " 2>&1", &log), 0) << log;
    EXPECT_EQ(::Run("LC_ALL=C.UTF-8 unzip -Z1 " + ShellQuote(archive) + " 2>&1", &log), 0) << log;
    EXPECT_EQ(log, "preimenovano/č.txt\nb.txt\nizvan.txt\n");
  }
  if (HaveTool("python3")) {
    EXPECT_EQ(::Run("python3 -c \"import sys, zipfile; i = zipfile.ZipFile(sys.argv[1]).getinfo('b.txt'); "
                    "print(i.comment.decode('cp852'), i.extra.hex())\" " +
                        ShellQuote(archive) + " 2>&1",
                    &log),
              0)
        << log;
    EXPECT_EQ(log,
              "Komentar: izvješće feca0400"
              "61626364\n");
  }
  zip_.SetExtrBaseDir(Q(out_));
  zip_.SetExtrOptions({ExtrDirNames});
  EXPECT_EQ(zip_.Extract(), 0) << S(zip_.Message());
  EXPECT_EQ(ReadText(out_ + "/preimenovano/č.txt"), "prvi");
  EXPECT_EQ(ReadText(out_ + "/izvan.txt"), "četvrti");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("izvan.txt")));

  // Adding to the archive copies what is there: the library ticks meanwhile.
  ticks = 0;
  zip_.FSpecArgs() = QStringList{Q(dir_.file("c.txt"))};
  ASSERT_EQ(zip_.Add(), 0) << S(zip_.Message());
  EXPECT_GT(ticks, 0);
  EXPECT_EQ(zip_.Count(), 4);
  zip_.OnSetNewName = nullptr;
  zip_.OnFileComment = nullptr;
  zip_.OnFileExtra = nullptr;
  zip_.OnTick = nullptr;
}

}  // namespace
