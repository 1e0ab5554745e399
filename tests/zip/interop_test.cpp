// The component with independent peers: what Info-ZIP zip and Python's zipfile
// write is listed with exactly the names that extraction then writes, and what
// the component adds passes unzip -t and reads back in Python with its names.
// Skipped when a peer is not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>

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

class Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = {{"Čćžšđ ČĆŽŠĐ.txt", std::string(5000, 't')},
              {"mapa/Đurđevac izvješće.pdf", std::string(40000, 'p')},
              {"mapa/podmapa/prazno.txt", ""}};
    for (const auto& [name, data] : files_) {
      std::filesystem::create_directories(std::filesystem::path(src() + "/" + name).parent_path());
      WriteAll(src() + "/" + name, data);
    }
  }
  std::string src() const { return dir_.file("src"); }
  int Sh(const std::string& cmd, std::string* out = nullptr) { return ::Run(cmd + " 2>&1", out); }

  // Lists and extracts the archive; the listed names must be the written files.
  void ListAndExtract(const std::string& archive, const std::map<std::string, std::string>& expected) {
    TZipArchiver zip;
    zip.SetZipFileName(Q(archive));
    std::vector<std::string> listed;
    for (int i = 0; i < zip.Count(); ++i) listed.push_back(S(zip.DirEntry(i).FileName));
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> names;
    for (const auto& [name, data] : expected) names.push_back(name);
    EXPECT_EQ(listed, names);
    EXPECT_EQ(zip.ErrCode(), 0) << S(zip.Message());

    const std::string out = dir_.file("out" + std::to_string(++outs_));
    std::filesystem::create_directories(out);
    zip.SetExtrBaseDir(Q(out));
    zip.SetExtrOptions({ExtrDirNames, ExtrOverWrite});
    EXPECT_EQ(zip.Extract(), 0) << S(zip.Message());
    EXPECT_EQ(zip.ProcessedCount(), static_cast<int32_t>(expected.size()));
    for (const std::string& name : listed) {
      SCOPED_TRACE(name);
      EXPECT_EQ(ReadText(out + "/" + name), expected.at(name));
    }
  }

  FakeUiServices ui_;
  TempDir dir_{"zipinterop"};
  std::map<std::string, std::string> files_;
  int outs_ = 0;
};

TEST_F(Interop, InfoZipArchives) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  for (const char* level : {"-9", "-0"}) {
    SCOPED_TRACE(level);
    const std::string archive = dir_.file(std::string("z") + level + ".zip");
    std::string log;
    ASSERT_EQ(Sh("cd " + ShellQuote(src()) + " && zip -q -r " + level + " " + ShellQuote(archive) + " .", &log), 0)
        << log;
    ListAndExtract(archive, files_);
  }
  // From a pipe: a data descriptor, Zip64 local extra and a Zip64 end record that
  // repeats the ordinary one.
  const std::string piped = dir_.file("piped.zip");
  std::string log;
  ASSERT_EQ(Sh("printf 'iz cijevi' | zip -q " + ShellQuote(piped) + " -", &log), 0) << log;
  ListAndExtract(piped, {{"-", "iz cijevi"}});
}

TEST_F(Interop, PythonArchives) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
  const std::string script = dir_.file("make.py");
  WriteAll(script, std::string(R"PY(
import os, sys, zipfile
src, kind, out = sys.argv[1], sys.argv[2], sys.argv[3]
class Pipe:
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
with zipfile.ZipFile(Pipe(open(out, 'wb')) if kind == 'pipe' else out, 'w', zipfile.ZIP_DEFLATED) as z:
    for root, dirs, files in os.walk(src):
        for f in files:
            path = os.path.join(root, f)
            with z.open(os.path.relpath(path, src), 'w') as w:
                w.write(open(path, 'rb').read())
)PY"));
  for (const char* kind : {"file", "pipe"}) {
    SCOPED_TRACE(kind);
    const std::string archive = dir_.file(std::string("py-") + kind + ".zip");
    std::string log;
    ASSERT_EQ(
        Sh("python3 " + ShellQuote(script) + " " + ShellQuote(src()) + " " + kind + " " + ShellQuote(archive), &log), 0)
        << log;
    ListAndExtract(archive, files_);
  }
}

TEST_F(Interop, OurArchivesReadByPeers) {
  const std::string archive = dir_.file("ours.zip");
  TZipArchiver zip;
  zip.SetZipFileName(Q(archive));
  zip.SetRootDir(Q(src()));
  zip.SetAddOptions({AddDirNames, AddRecurseDirs});
  zip.FSpecArgs() = QStringList{"."};
  EXPECT_EQ(zip.Add(), 0) << S(zip.Message());
  EXPECT_EQ(zip.ProcessedCount(), 3);
  ListAndExtract(archive, files_);
  if (HaveTool("unzip")) {
    std::string log;
    EXPECT_EQ(Sh("unzip -t " + ShellQuote(archive), &log), 0) << log;
  }
  if (HaveTool("python3")) {
    std::string out;
    EXPECT_EQ(Sh("python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], metadata_encoding='cp852'); "
                 "assert z.testzip() is None; print('|'.join(sorted(z.namelist())))\" " +
                     ShellQuote(archive),
                 &out),
              0)
        << out;
    EXPECT_EQ(out, "mapa/podmapa/prazno.txt|mapa/Đurđevac izvješće.pdf|Čćžšđ ČĆŽŠĐ.txt\n");
  }
}

// A name with Croatian letters is stored in code page 852 under host 0, as the
// component's reader expects, and also as UTF-8 in the Unicode path field, so
// unzip and 7-Zip on Linux (which cannot be told the code page) show it right.
TEST_F(Interop, CroatianNamesShowRightInPeers) {
  const std::string name = "Izvješće č.txt";
  WriteAll(dir_.file(name), std::string("sadržaj"));
  const std::string archive = dir_.file("imena.zip");
  TZipArchiver zip;
  zip.SetZipFileName(Q(archive));
  zip.FSpecArgs() = QStringList{Q(dir_.file(name))};
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  ASSERT_EQ(zip.Count(), 1);
  const ZipDirEntry& e = zip.DirEntry(0);
  EXPECT_EQ(S(e.FileName), name);
  EXPECT_EQ(e.HostSystem, 0);
  EXPECT_EQ(e.Flag & ziplib_names::kFlagUtf8, 0);
  std::string cp852;
  ASSERT_TRUE(ziplib_names::EncodeOem(name, cp852));
  EXPECT_NE(ReadText(archive).find(cp852), std::string::npos) << "the stored name is code page 852";
  const std::string field = ziplib_names::UnicodePathField(cp852, name);
  EXPECT_EQ(std::string(e.ExtraData.constData(), static_cast<size_t>(e.ExtraData.size())), field);
  const std::string bytes = ReadText(archive);
  EXPECT_EQ(bytes.find(cp852 + field), 30 + 0u) << "the local header carries it too";
  EXPECT_NE(bytes.rfind(cp852 + field), 30 + 0u) << "and the central one";

  std::string out;
  if (HaveTool("unzip")) {
    EXPECT_EQ(Sh("LC_ALL=C.UTF-8 unzip -l " + ShellQuote(archive), &out), 0) << out;
    EXPECT_NE(out.find("   " + name + "\n"), std::string::npos) << out;
    EXPECT_EQ(Sh("LC_ALL=C.UTF-8 unzip -Z1 " + ShellQuote(archive), &out), 0) << out;
    EXPECT_EQ(out, name + "\n");
  }
  if (HaveTool("7z")) {
    EXPECT_EQ(Sh("LC_ALL=C.UTF-8 7z l " + ShellQuote(archive), &out), 0) << out;
    EXPECT_NE(out.find("  " + name + "\n"), std::string::npos) << out;
  }
  ListAndExtract(archive, {{name, "sadržaj"}});
}

// The field as Info-ZIP zip on Windows writes it (the name in the OEM code page,
// "?" for what that lacks, the whole name in UTF-8 beside it): the component lists
// the field's name while its CRC matches the stored name, and the extracted file
// has that name; a stale, unknown or broken field leaves the stored name.
TEST_F(Interop, UnicodePathFieldIsReadWhenCurrent) {
  std::string cp852;
  ASSERT_TRUE(ziplib_names::EncodeOem("Izvješće č.txt", cp852));
  struct Case {
    const char* what;
    std::string stored;
    std::string extra;
    uint16_t flag;
    std::string expected;
  };
  const std::string greek = "Ελλάδα.txt";
  std::string truncated = ziplib_names::UnicodePathField("??????.txt", greek);
  truncated.resize(truncated.size() - 3);
  std::string version2 = ziplib_names::UnicodePathField("??????.txt", greek);
  version2[4] = 2;
  const std::vector<Case> cases = {
      {"current field", "??????.txt", ziplib_names::UnicodePathField("??????.txt", greek), 0, greek},
      {"current field after another", "??????.txt",
       std::string("\x0a\x00\x04\x00"
                   "abcd",
                   8) +
           ziplib_names::UnicodePathField("??????.txt", greek),
       0, greek},
      {"stale field", cp852, ziplib_names::UnicodePathField("Stari.txt", "Stari naziv.txt"), 0, "Izvješće č.txt"},
      {"unknown version", "??????.txt", version2, 0, "??????.txt"},
      {"cut short", "??????.txt", std::string(truncated.data(), 4) + truncated.substr(4), 0, "??????.txt"},
      {"UTF-8 flag wins", "Izvješće č.txt", ziplib_names::UnicodePathField("Izvješće č.txt", greek), 0x800,
       "Izvješće č.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string archive = dir_.file(std::string("field-") + std::to_string(outs_) + ".zip");
    WriteAll(archive, BuildZip({{.name = c.stored, .data = "iz Windowsa", .flag = c.flag, .extra = c.extra}}).bytes);
    ListAndExtract(archive, {{c.expected, "iz Windowsa"}});
    if (HaveTool("unzip") && c.expected == greek) {
      // unzip reads the same fixture the same way.
      std::string out;
      EXPECT_EQ(Sh("LC_ALL=C.UTF-8 unzip -Z1 " + ShellQuote(archive), &out), 0) << out;
      EXPECT_EQ(out, c.expected + "\n");
    }
  }
}

// Names with characters that code page 852 lacks are stored in UTF-8 with bit 11
// and carry the Unicode path field too: unzip reads an MS-DOS entry's name as OEM
// text even with bit 11 and needs the field, Python reads bit 11 and ignores the
// field. Every peer and the component show the names exactly; the extracted files
// have them.
TEST_F(Interop, NamesOutsideCodePage852ShowRightInEveryPeer) {
  const std::vector<std::string> names = {"Cijena €.txt", "a–b’c.txt"};
  const std::string archive = dir_.file("znakovi.zip");
  TZipArchiver zip;
  zip.SetZipFileName(Q(archive));
  for (const std::string& name : names) {
    WriteAll(dir_.file(name), "sadržaj " + name);
    zip.FSpecArgs() << Q(dir_.file(name));
  }
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  ASSERT_EQ(zip.Count(), 2);
  for (int i = 0; i < zip.Count(); ++i) {
    const ZipDirEntry& e = zip.DirEntry(i);
    SCOPED_TRACE(S(e.FileName));
    EXPECT_EQ(S(e.FileName), names[static_cast<size_t>(i)]);
    EXPECT_NE(e.Flag & ziplib_names::kFlagUtf8, 0);
    EXPECT_EQ(std::string(e.ExtraData.constData(), static_cast<size_t>(e.ExtraData.size())),
              ziplib_names::UnicodePathField(names[static_cast<size_t>(i)], names[static_cast<size_t>(i)]));
  }
  const std::string expected = names[0] + "\n" + names[1] + "\n";
  std::string out;
  if (HaveTool("unzip")) {
    EXPECT_EQ(Sh("LC_ALL=C.UTF-8 unzip -Z1 " + ShellQuote(archive), &out), 0) << out;
    EXPECT_EQ(out, expected);
    EXPECT_EQ(Sh("LC_ALL=C.UTF-8 unzip -l " + ShellQuote(archive), &out), 0) << out;
    for (const std::string& name : names) EXPECT_NE(out.find("   " + name + "\n"), std::string::npos) << out;
  }
  if (HaveTool("7z")) {
    EXPECT_EQ(Sh("LC_ALL=C.UTF-8 7z l " + ShellQuote(archive), &out), 0) << out;
    for (const std::string& name : names) EXPECT_NE(out.find("  " + name + "\n"), std::string::npos) << out;
  }
  if (HaveTool("python3")) {
    EXPECT_EQ(Sh("python3 -c \"import sys, zipfile; print('\\n'.join(zipfile.ZipFile(sys.argv[1]).namelist()))\" " +
                     ShellQuote(archive),
                 &out),
              0)
        << out;
    EXPECT_EQ(out, expected);
  }
  ListAndExtract(archive, {{names[0], "sadržaj " + names[0]}, {names[1], "sadržaj " + names[1]}});
}

// The adding library writes up to 65535 entries and the component reads that
// many back (peers agree); one more is refused before anything is written.
TEST_F(Interop, ReaderAndWriterAgreeAt65535Entries) {
  const std::string many = dir_.file("many");
  std::filesystem::create_directories(many);
  for (int i = 0; i < 65535; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "/%05d.txt", i);
    WriteAll(many + name, std::string());
  }
  const std::string archive = dir_.file("65535.zip");
  TZipArchiver zip;
  zip.SetUnattended(true);
  zip.SetZipFileName(Q(archive));
  zip.SetRootDir(Q(many));
  zip.FSpecArgs() = QStringList{"*.txt"};
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  EXPECT_EQ(zip.ProcessedCount(), 65535);
  EXPECT_EQ(zip.Count(), 65535);
  EXPECT_EQ(S(zip.DirEntry(65534).FileName), "65534.txt");
  std::string out;
  if (HaveTool("python3")) {
    EXPECT_EQ(Sh("python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); print(len(z.namelist()))\" " +
                     ShellQuote(archive),
                 &out),
              0)
        << out;
    EXPECT_EQ(out, "65535\n");
  }
  if (HaveTool("unzip")) {
    EXPECT_EQ(Sh("unzip -tq " + ShellQuote(archive), &out), 0) << out;
  }
  // Reopened from the file, as a new run would.
  TZipArchiver reader;
  reader.SetUnattended(true);
  reader.SetZipFileName(Q(archive));
  EXPECT_EQ(reader.ErrCode(), 0) << S(reader.Message());
  EXPECT_EQ(reader.Count(), 65535);

  const auto before = ReadAll(archive);
  WriteAll(many + "/one more.txt", std::string("x"));
  zip.SetZipFileName(Q(archive));
  zip.SetRootDir(Q(many));
  zip.FSpecArgs() = QStringList{"one more.txt"};
  EXPECT_EQ(zip.Add(), ZIPERR_TOO_LARGE);
  EXPECT_EQ(S(zip.Message()), "More than 65535 entries (Zip64 is not supported)");
  EXPECT_EQ(zip.ProcessedCount(), 0);
  EXPECT_TRUE(ReadAll(archive) == before);
}

// Passwords as peers wrote them. One limit of 81 characters on both roads: an
// 82-character password adds and extracts with its first 81 (what unzip needs to
// open it), and a peer's archive made with all 82 does not open. A Croatian
// password that a Windows writer put in code page 1250 or 852 opens with the
// same text typed here.
TEST_F(Interop, PasswordsAsPeersWroteThem) {
  if (!HaveTool("zip") || !HaveTool("unzip") || !HaveTool("python3")) GTEST_SKIP() << "zip, unzip or python3 missing";
  const std::string plain = dir_.file("tajno.txt");
  WriteAll(plain, std::string("povjerljivo"));
  // A peer's archive, its password given to zip -P as the bytes of a code page.
  auto peer = [&](const std::string& archive, const std::string& password, const char* codec) {
    const std::string script = dir_.file("peer.py");
    WriteAll(script,
             "import subprocess, sys\n"
             "pw = sys.argv[1].encode(sys.argv[2])\n"
             "subprocess.run(['zip', '-q', '-j', '-P', pw, sys.argv[3], sys.argv[4]], check=True)\n");
    std::string log;
    ASSERT_EQ(Sh("python3 " + ShellQuote(script) + " " + ShellQuote(password) + " " + codec + " " +
                     ShellQuote(archive) + " " + ShellQuote(plain),
                 &log),
              0)
        << log;
  };
  // Extracts with Password set (or, with handler, through the password question)
  // and tells whether the file came out.
  auto opens = [&](const std::string& archive, const QString& password, bool handler) {
    TZipArchiver zip;
    zip.SetUnattended(true);
    zip.SetZipFileName(Q(archive));
    if (handler) {
      zip.OnPasswordError = [&](TZipArchiver&, bool, QString& answer, const QString&, uint32_t&, TPasswordButton&) {
        answer = password;
      };
    } else {
      zip.SetPassword(password);
    }
    const std::string out = dir_.file("out" + std::to_string(++outs_));
    std::filesystem::create_directories(out);
    zip.SetExtrBaseDir(Q(out));
    zip.Extract();
    return zip.ProcessedCount() == 1 && ReadText(out + "/tajno.txt") == "povjerljivo";
  };

  const QString croatian = QStringLiteral("Šifra čćžšđ");
  for (const char* codec : {"cp1250", "cp852", "utf-8"}) {
    SCOPED_TRACE(codec);
    const std::string archive = dir_.file(std::string("peer-") + codec + ".zip");
    peer(archive, S(croatian), codec);
    EXPECT_TRUE(opens(archive, croatian, false));
    EXPECT_TRUE(opens(archive, croatian, true));
    EXPECT_FALSE(opens(archive, QStringLiteral("Sifra cczsd"), false));
  }

  const QString long82 = QString(41, u'a') + QString(41, u'b');
  const std::string ours = dir_.file("ours-82.zip");
  TZipArchiver zip;
  zip.SetUnattended(true);
  zip.SetZipFileName(Q(ours));
  zip.SetAddOptions({AddEncrypt});
  zip.SetPassword(long82);
  zip.FSpecArgs() = QStringList{Q(plain)};
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  EXPECT_TRUE(opens(ours, long82, false));
  EXPECT_TRUE(opens(ours, long82, true));
  EXPECT_TRUE(opens(ours, long82.left(81), false));
  std::string log;
  EXPECT_EQ(Sh("unzip -tq -P " + ShellQuote(S(long82.left(81))) + " " + ShellQuote(ours), &log), 0) << log;
  EXPECT_NE(Sh("unzip -tq -P " + ShellQuote(S(long82)) + " " + ShellQuote(ours), &log), 0) << log;

  const std::string peer82 = dir_.file("peer-82.zip");
  peer(peer82, S(long82), "ascii");
  EXPECT_FALSE(opens(peer82, long82, false));
}

}  // namespace
