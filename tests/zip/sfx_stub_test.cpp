// Self-extracting archives run as programs: made by the component, started in a
// temporary folder with files already there, answered on standard input. The
// overwrite modes, the folder (record, argument, question), the message and its
// buttons, the command line, and entries that must never be written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <algorithm>
#include <functional>

#include "outside/zip_builder.h"
#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"
#include "zip/zip_sfx.h"

using namespace ziptest;
namespace fs = std::filesystem;

namespace {

std::string S(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

const std::string kNewA = std::string(5000, 'A') + "novi";
const std::string kNewB = "novi b\n";
const std::string kNewC = "Izvješće ĆČŽ\n";

class SfxRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(src_);
    WriteAll(src_ + "/a.txt", kNewA);
    WriteAll(src_ + "/b.txt", kNewB);
    WriteAll(src_ + "/Izvješće.txt", kNewC);
  }

  // A new self-extractor of the three files, made by an add to an ".exe" name.
  std::string Make(const std::string& name, const std::function<void(TZipArchiver&)>& set) {
    const std::string exe = dir_.file(name);
    TZipArchiver zip;
    set(zip);
    zip.SetZipFileName(Q(exe));
    zip.FSpecArgs() = QStringList{Q(src_ + "/a.txt"), Q(src_ + "/b.txt"), Q(src_ + "/Izvješće.txt")};
    EXPECT_EQ(zip.Add(), 0) << S(zip.Message());
    EXPECT_TRUE(ui_.boxes.empty()) << S(ui_.lastText());
    return exe;
  }

  struct Ran {
    int status;
    std::string out;
  };
  // Runs the program in folder cwd with the given standard input.
  Ran Start(const std::string& exe, const std::string& cwd, const std::string& args, const std::string& input,
            const std::string& env = "") {
    fs::create_directories(cwd);
    const std::string in = dir_.file("stdin" + std::to_string(++runs_));
    WriteAll(in, input);
    Ran r;
    r.status = ::Run("cd " + ShellQuote(cwd) + " && " + env + " " + ShellQuote(exe) + " " + args + " <" +
                         ShellQuote(in) + " 2>&1",
                     &r.out);
    return r;
  }

  // Both peers read the whole file as a sound archive.
  void PeersAccept(const std::string& exe) {
    std::string log;
    if (HaveTool("unzip")) {
      EXPECT_EQ(::Run("unzip -t " + ShellQuote(exe) + " 2>&1", &log), 0) << log;
    }
    if (HaveTool("python3")) {
      EXPECT_EQ(::Run("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                      "sys.exit(1 if z.testzip() is not None or len(z.namelist()) != 3 else 0)' " +
                          ShellQuote(exe) + " 2>&1",
                      &log),
                0)
          << log;
    }
  }

  FakeUiServices ui_;
  TempDir dir_{"zipsfxrun"};
  std::string src_ = dir_.file("src");
  int runs_ = 0;
};

// Each overwrite mode over a folder that already has a.txt and b.txt: skip keeps
// them byte for byte, overwrite replaces them, ask follows the answers typed.
TEST_F(SfxRun, OverwriteModes) {
  struct Case {
    const char* label;
    OvrOpts mode;
    std::string input;
    bool replaceA, replaceB;
    int questions;
  } cases[] = {
      {"always", OvrAlways, "", true, true, 0},
      {"never", OvrNever, "y\ny\n", false, false, 0},
      {"ask yes no", OvrConfirm, "y\nn\n", true, false, 2},
      {"ask no yes", OvrConfirm, "n\ny\n", false, true, 2},
      {"ask all", OvrConfirm, "A\n", true, true, 1},
      {"ask none", OvrConfirm, "N\n", false, false, 1},
      {"ask, a wrong key asked again", OvrConfirm, "x\ny\nn\n", true, false, 3},
      {"ask, no one answers", OvrConfirm, "", false, false, 1},
  };
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string exe = Make("mode" + std::to_string(++k) + ".exe", [&](TZipArchiver& z) {
      z.SetSFXOverWriteMode(c.mode);
      z.SetSFXOptions({SFXAutoRun});
    });
    const std::string work = dir_.file("work" + std::to_string(k));
    fs::create_directories(work + "/cilj");
    WriteAll(work + "/cilj/a.txt", "staro a");
    WriteAll(work + "/cilj/b.txt", "staro b");
    const Ran r = Start(exe, work, "cilj", c.input);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadText(work + "/cilj/a.txt"), c.replaceA ? kNewA : "staro a");
    EXPECT_EQ(ReadText(work + "/cilj/b.txt"), c.replaceB ? kNewB : "staro b");
    EXPECT_EQ(ReadText(work + "/cilj/Izvješće.txt"), kNewC);  // a new file is always written
    size_t questions = 0;
    for (size_t at = 0; (at = r.out.find("Replace ", at)) != std::string::npos; ++at) ++questions;
    EXPECT_EQ(questions, static_cast<size_t>(c.questions)) << r.out;
    // Nothing else, no hidden half-written file, is left in the folder.
    EXPECT_EQ(TreeOf(work + "/cilj"), (std::vector<std::string>{"Izvješće.txt", "a.txt", "b.txt"}));
    PeersAccept(exe);
  }
}

// The folder: the record's default, a command-line argument before it, and the
// question shown first when the archive does not run by itself.
TEST_F(SfxRun, ExtractionFolder) {
  const std::string autoExe = Make("auto.exe", [](TZipArchiver& z) {
    z.SetSFXDefaultDir("raspakirano/dublje");
    z.SetSFXOptions({SFXAutoRun});
  });
  const std::string askExe = Make("ask.exe", [](TZipArchiver& z) { z.SetSFXDefaultDir("raspakirano"); });
  struct Case {
    const char* label;
    const std::string& exe;
    std::string args, input, folder;
  } cases[] = {
      {"default", autoExe, "", "", "raspakirano/dublje"},
      {"argument first", autoExe, "drugdje", "", "drugdje"},
      {"asked, Enter takes the default", askExe, "", "\n", "raspakirano"},
      {"asked, another folder typed", askExe, "", "moje mjesto\n", "moje mjesto"},
      {"asked, no one answers", askExe, "", "", "raspakirano"},
      {"argument, nothing asked", askExe, "tamo", "ovdje\n", "tamo"},
  };
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string work = dir_.file("fold" + std::to_string(++k));
    const Ran r = Start(c.exe, work, c.args.empty() ? "" : ShellQuote(c.args), c.input);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadText(work + "/" + c.folder + "/a.txt"), kNewA) << r.out;
    EXPECT_EQ(r.out.find("Extract to [") != std::string::npos, &c.exe == &askExe && c.args.empty()) << r.out;
    EXPECT_NE(r.out.find("3 file(s) extracted to " + c.folder), std::string::npos) << r.out;
  }
}

// The message comes before anything is written: its buttons are answered on the
// terminal, and No or Cancel (or no answer at all) leaves the disk as it was.
TEST_F(SfxRun, MessageAndItsButtons) {
  struct Case {
    const char* label;
    QString message;       // as given to the component
    uint32_t slaveFlags;   // with a maker of our own when not 0
    std::string input;
    bool extracts;
  } cases[] = {
      {"OK only informs", "Dobrodošli", 0, "", true},
      {"OK/Cancel, Enter is OK", QString(QChar(1)) + "Nastaviti?", 0, "\n", true},
      {"OK/Cancel, Cancel", QString(QChar(1)) + "Nastaviti?", 0, "c\n", false},
      {"Yes/No, Yes", QString(QChar(2)) + "Raspakirati?", 0, "y\n", true},
      {"Yes/No, No", QString(QChar(2)) + "Raspakirati?", 0, "n\n", false},
      {"Yes/No, no one answers", QString(QChar(2)) + "Raspakirati?", 0, "", false},
      {"Yes/No with No as default, Enter", "Raspakirati?", 36 | 0x100, "\n", false},
      {"Yes/No/Cancel, Cancel", "Raspakirati?", 0x23, "c\n", false},
      {"Yes/No/Cancel, a wrong key asked again", "Raspakirati?", 0x23, "x\ny\n", true},
  };
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TZaSFX slave;
    const std::string exe = Make("msg" + std::to_string(++k) + ".exe", [&](TZipArchiver& z) {
      z.SetSFXCaption(QString::fromUtf8("Raspakiravanje čćž"));
      z.SetSFXOptions({SFXAutoRun});
      z.SetSFXMessage(c.message);
      if (c.slaveFlags != 0) {
        slave.DialogTitle = QString::fromUtf8("Raspakiravanje čćž");
        slave.Message = c.message;
        slave.MessageFlags = c.slaveFlags;
        slave.Options = {soAutoRun};
        z.SetSFXSlave(&slave);
      }
    });
    const std::string work = dir_.file("msg" + std::to_string(k));
    const Ran r = Start(exe, work, "cilj", c.input);
    // The caption and the message, from code page 1250 to the terminal's UTF-8.
    EXPECT_EQ(r.out.rfind("Raspakiravanje čćž\n", 0), 0u) << r.out;
    QString shown = c.message;
    if (shown.startsWith(QChar(1)) || shown.startsWith(QChar(2))) shown.remove(0, 1);
    EXPECT_NE(r.out.find(S(shown) + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, c.extracts ? 0 : 1) << r.out;
    EXPECT_EQ(fs::exists(work + "/cilj"), c.extracts) << r.out;
    if (c.extracts) {
      EXPECT_EQ(ReadText(work + "/cilj/b.txt"), kNewB);
    }
  }
}

// The command line runs in the folder after a good extraction ("><" is the
// folder); with soAskCmdLine the user may decline it. Variables in the folder and
// the command line are expanded only with soExpandVariables; the fallback folder
// stands in for an empty default.
TEST_F(SfxRun, CommandLineVariablesAndFallback) {
  struct Case {
    const char* label;
    TSFXOptions options;
    QString defaultPath, fallback, command;
    std::string input, folder, ran;
  } cases[] = {
      {"runs", {soAutoRun}, "izlaz", "", "cp a.txt kopija.txt", "", "izlaz", "izlaz/kopija.txt"},
      {"the folder in the command", {soAutoRun}, "izlaz", "", "cp b.txt ../van.txt && test -f ></a.txt", "",
       "izlaz", "van.txt"},
      {"asked, yes", {soAutoRun, soAskCmdLine}, "izlaz", "", "cp a.txt kopija.txt", "\n", "izlaz", "izlaz/kopija.txt"},
      {"asked, no", {soAutoRun, soAskCmdLine}, "izlaz", "", "cp a.txt kopija.txt", "n\n", "izlaz", ""},
      {"variables expanded", {soAutoRun, soExpandVariables}, "%SFX_CILJ%/x", "", "cp a.txt %SFX_IME%", "", "var/x",
       "var/x/ime.txt"},
      {"variables as written", {soAutoRun}, "%SFX_CILJ%", "", "", "", "%SFX_CILJ%", ""},
      {"fallback", {soAutoRun}, "", "rezerva", "", "", "rezerva", ""},
  };
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TZaSFX slave;
    slave.Options = c.options;
    slave.OverwriteMode = somOverwrite;
    slave.DefaultExtractPath = c.defaultPath;
    slave.FallbackExtractPath = c.fallback;
    slave.CommandLine = c.command;
    const std::string exe = Make("cmd" + std::to_string(++k) + ".exe", [&](TZipArchiver& z) { z.SetSFXSlave(&slave); });
    const std::string work = dir_.file("cmd" + std::to_string(k));
    const Ran r = Start(exe, work, "", c.input, "SFX_CILJ=var SFX_IME=ime.txt");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadText(work + "/" + c.folder + "/a.txt"), kNewA) << r.out;
    if (!c.ran.empty()) {
      EXPECT_TRUE(fs::exists(work + "/" + c.ran)) << r.out;
    } else {
      EXPECT_FALSE(fs::exists(work + "/" + c.folder + "/kopija.txt")) << r.out;
    }
  }
}

// Entries that would write outside the folder, links, and folders on the way
// that are links are refused; the sound entries around them are extracted.
TEST_F(SfxRun, UnsafeEntriesAreRefused) {
  const std::string outside = dir_.file("vani");
  fs::create_directories(outside);
  TZaSFX maker;
  maker.Options = {soAutoRun};
  maker.OverwriteMode = somOverwrite;
  const QByteArray record = TSFXHeaderStream(maker).Data();
  const std::vector<unsigned char> stub = ReadAll(std::string(TARVI_BIN_DIR) + "/ZASFXUS.BIN");
  const std::string prefix = std::string(stub.begin(), stub.end()) + std::string(record.constData(), record.size());
  BuildEntry link{"veza", outside};
  link.host = 3;
  link.external = (0120777u << 16);
  BuildEntry device{"uredaj", ""};
  device.host = 3;
  device.external = (0020666u << 16);
  const Built b = BuildZip({{"dobar.txt", "dobar", 8},
                            {"../izvan.txt", "x"},
                            {outside + "/apsolutno.txt", "x"},
                            {"C:/disk.txt", "x"},
                            link,
                            device,
                            {"mapa/kroz.txt", "x"},
                            {"zadnji.txt", "zadnji", 8}},
                           "", prefix);
  const std::string exe = dir_.file("opasno.exe");
  WriteAll(exe, b.bytes);
  fs::permissions(exe, fs::perms::owner_all);
  const std::string work = dir_.file("opasno");
  fs::create_directories(work + "/cilj");
  fs::create_directory_symlink(outside, work + "/cilj/mapa");
  const Ran r = Start(exe, work, "cilj", "");
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_EQ(ReadText(work + "/cilj/dobar.txt"), "dobar");
  EXPECT_EQ(ReadText(work + "/cilj/zadnji.txt"), "zadnji");
  EXPECT_TRUE(fs::is_empty(outside)) << r.out;
  EXPECT_FALSE(fs::exists(work + "/izvan.txt"));
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(work + "/cilj")) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"dobar.txt", "mapa", "zadnji.txt"})) << r.out;
  EXPECT_TRUE(fs::is_symlink(work + "/cilj/mapa"));
  for (const char* refused : {"../izvan.txt", "C:/disk.txt", "veza", "uredaj", "mapa/kroz.txt"})
    EXPECT_NE(r.out.find(std::string("refused: ") + refused), std::string::npos) << refused << "\n" << r.out;
  EXPECT_NE(r.out.find("symbolic link entry refused"), std::string::npos) << r.out;
}

// A maker that fails leaves an earlier file of the target's name as it was, and
// nothing half-written beside it.
TEST_F(SfxRun, FailedMakerLeavesTheEarlierFile) {
  const std::string target = dir_.file("stari/stari.exe");
  fs::create_directories(dir_.file("stari"));
  WriteAll(target, "staro");
  TZaSFX maker;
  maker.TargetFile = Q(target);
  maker.DialogTitle = QString(256, u'n');
  EXPECT_THROW(maker.CreateSfx(), EZaSfxError);
  EXPECT_EQ(ReadText(target), "staro");
  EXPECT_EQ(TreeOf(dir_.file("stari")), std::vector<std::string>{"stari.exe"});

  // Made, it takes the place of the earlier file whole.
  maker.DialogTitle = "Naslov";
  maker.CreateSfx();
  EXPECT_EQ(TreeOf(dir_.file("stari")), std::vector<std::string>{"stari.exe"});
  const std::vector<unsigned char> stub = ReadAll(std::string(TARVI_BIN_DIR) + "/ZASFXUS.BIN");
  EXPECT_EQ(fs::file_size(target), stub.size() + TSFXHeaderStream(maker).Data().size() + 22);
  EXPECT_NE(fs::status(target).permissions() & fs::perms::owner_exec, fs::perms::none);
}

}  // namespace
