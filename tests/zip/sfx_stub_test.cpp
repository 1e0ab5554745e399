// Self-extracting archives run as programs: made by the component, started in a
// temporary folder with files already there, answered on standard input. The
// overwrite modes, the folder (record, argument, question), the message and its
// buttons, the command line, and entries that must never be written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

#include "outside/disk_fault_seam.h"
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
    r.status = ::Run(
        "cd " + ShellQuote(cwd) + " && " + env + " " + ShellQuote(exe) + " " + args + " <" + ShellQuote(in) + " 2>&1",
        &r.out);
    return r;
  }

  // A self-extractor built byte by byte: our stub, the maker's record, entries
  // that no adding library would write.
  std::string Program(const std::string& name, const TZaSFX& maker, const std::vector<BuildEntry>& entries) {
    const QByteArray record = TSFXHeaderStream(maker).Data();
    const std::vector<unsigned char> stub = ReadAll(std::string(TARVI_BIN_DIR) + "/ZASFXUS.BIN");
    const std::string prefix = std::string(stub.begin(), stub.end()) + std::string(record.constData(), record.size());
    const std::string exe = dir_.file(name);
    WriteAll(exe, BuildZip(entries, "", prefix).bytes);
    fs::permissions(exe, fs::perms::owner_all);
    return exe;
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
    QString message;      // as given to the component
    uint32_t slaveFlags;  // with a maker of our own when not 0
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
      {"the folder in the command", {soAutoRun}, "izlaz", "", "cp ></b.txt ></../van.txt", "", "izlaz", "van.txt"},
      {"asked, yes", {soAutoRun, soAskCmdLine}, "izlaz", "", "cp a.txt kopija.txt", "\n", "izlaz", "izlaz/kopija.txt"},
      {"asked, no", {soAutoRun, soAskCmdLine}, "izlaz", "", "cp a.txt kopija.txt", "n\n", "izlaz", ""},
      {"asked, no one answers", {soAutoRun, soAskCmdLine}, "izlaz", "", "cp a.txt kopija.txt", "", "izlaz", ""},
      {"variables expanded",
       {soAutoRun, soExpandVariables},
       "%SFX_CILJ%/x",
       "",
       "cp a.txt %SFX_IME%",
       "",
       "var/x",
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
  BuildEntry link{"veza", outside};
  link.host = 3;
  link.external = (0120777u << 16);
  BuildEntry device{"uredaj", ""};
  device.host = 3;
  device.external = (0020666u << 16);
  const std::string exe = Program("opasno.exe", maker,
                                  {{"dobar.txt", "dobar", 8},
                                   {"../izvan.txt", "x"},
                                   {outside + "/apsolutno.txt", "x"},
                                   {"C:/disk.txt", "x"},
                                   link,
                                   device,
                                   {"mapa/kroz.txt", "x"},
                                   {"zadnji.txt", "zadnji", 8}});
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

// The command line runs its program directly, never through a shell: a folder
// with a blank, ";", "$()" or quotes in its name, and such text in the record's
// command line and in a variable, reach the program as the arguments they stand
// in, once; nothing else runs.
TEST_F(SfxRun, CommandLineIsNoShellText) {
  // The program writes each argument it gets on a line of its own.
  const std::string script = dir_.file("zapisi");
  WriteAll(script, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done >> \"$SFX_LOG\"\n");
  fs::permissions(script, fs::perms::owner_all);
  const std::string injected = "a b;$(touch INJECTED);`touch INJECTED`";
  TZaSFX slave;
  slave.Options = {soAutoRun, soExpandVariables};
  slave.OverwriteMode = somOverwrite;
  // The program by way of the folder, with the record's Windows separators.
  slave.CommandLine = Q(R"("><\..\..\zapisi" "><" "x; touch INJECTED; $(touch INJECTED) \"navodnici\" 'jednostruki'" )"
                        R"("dvostruki ""unutra""" ></kraj %SFX_VAR%)");
  const std::string exe = Make("noshell.exe", [&](TZipArchiver& z) { z.SetSFXSlave(&slave); });
  const char* folders[] = {"s razmakom", "x;touch INJECTED;", "$(touch INJECTED)", "navodnik\"i'jednostruki",
                           "x && touch INJECTED || touch INJECTED"};
  int k = 0;
  for (const char* folder : folders) {
    SCOPED_TRACE(folder);
    const std::string work = dir_.file("noshell" + std::to_string(++k));
    const std::string log = dir_.file("noshell" + std::to_string(k) + ".log");
    const Ran r =
        Start(exe, work, ShellQuote(folder), "", "SFX_LOG=" + ShellQuote(log) + " SFX_VAR=" + ShellQuote(injected));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadText(work + "/" + folder + "/b.txt"), kNewB) << r.out;
    const std::string full = fs::canonical(work + "/" + folder).string();
    EXPECT_EQ(ReadText(log), "[" + full +
                                 "]\n[x; touch INJECTED; $(touch INJECTED) \"navodnici\" 'jednostruki']\n"
                                 "[dvostruki \"unutra\"]\n[" +
                                 full + "/kraj]\n[" + injected + "]\n")
        << r.out;
    // Nothing else ran: no file INJECTED anywhere (the folders may be named so).
    for (const std::string& f : TreeOf(dir_.path())) EXPECT_NE(fs::path(f).filename(), "INJECTED") << f;
  }
  // A program that cannot be started is a failure, reported with the reason.
  slave.CommandLine = "./nema-ga";
  const std::string missing = Make("nema.exe", [&](TZipArchiver& z) { z.SetSFXSlave(&slave); });
  const Ran r = Start(missing, dir_.file("nema"), "cilj", "");
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("Error: cannot run ./nema-ga (No such file or directory)"), std::string::npos) << r.out;
}

// A deflated entry of count MiB of one letter, made without deflating them all:
// one MiB compressed up to a full flush (which starts the next block afresh, so
// every MiB compresses to the same bytes), repeated, then an empty final block.
BuildEntry LargeEntry(const std::string& name, size_t count) {
  const std::string mib(size_t(1) << 20, 'v');
  z_stream zs{};
  deflateInit2(&zs, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string piece(deflateBound(&zs, mib.size()) + 64, '\0'), tail(64, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(mib.data()));
  zs.avail_in = static_cast<uInt>(mib.size());
  zs.next_out = reinterpret_cast<Bytef*>(piece.data());
  zs.avail_out = static_cast<uInt>(piece.size());
  deflate(&zs, Z_FULL_FLUSH);
  piece.resize(piece.size() - zs.avail_out);
  zs.next_out = reinterpret_cast<Bytef*>(tail.data());
  zs.avail_out = static_cast<uInt>(tail.size());
  deflate(&zs, Z_FINISH);
  tail.resize(tail.size() - zs.avail_out);
  deflateEnd(&zs);
  BuildEntry e{name, "", 8};
  e.raw = true;
  uLong crc = crc32(0, nullptr, 0);
  const uLong one = Crc(mib);
  for (size_t i = 0; i < count; ++i) {
    e.data += piece;
    crc = crc32_combine(crc, one, static_cast<z_off_t>(mib.size()));
  }
  e.data += tail;
  e.crc = static_cast<int64_t>(crc);
  e.usize = static_cast<int64_t>(count * mib.size());
  return e;
}

// Ctrl+C (SIGINT), a kill (SIGTERM) or a closed terminal (SIGHUP) while an entry
// is being written: its hidden file goes with the program, nothing is left.
TEST_F(SfxRun, EndSignalsLeaveNothing) {
  TZaSFX maker;
  maker.Options = {soAutoRun};
  maker.OverwriteMode = somOverwrite;
  // Large enough that writing it outlasts the way from its first byte to the signal.
  const std::string exe = Program("velika.exe", maker, {LargeEntry("velika.bin", 256)});
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    const std::string folder = dir_.file(std::string("signal") + std::to_string(sig));
    fs::create_directories(folder);
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, folder.c_str(), IN_CREATE), 0);
    // Started with the signals at their defaults whatever this process inherited.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, ends;
    sigemptyset(&none);
    sigemptyset(&ends);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ends, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &ends);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    std::string a0 = exe, a1 = folder;
    char* argv[] = {a0.data(), a1.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &files, &attr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    // The entry's hidden file appears: the signal comes while it is written.
    std::string hidden;
    while (hidden.empty()) {
      pollfd p{watch, POLLIN, 0};
      if (poll(&p, 1, 120000) != 1) break;  // a stub that never writes: fail, do not hang
      alignas(inotify_event) char buf[4096];
      const ssize_t n = read(watch, buf, sizeof buf);
      for (ssize_t at = 0; at < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
        if (ev->len > 0 && std::string(ev->name).rfind(".tarvi-", 0) == 0) hidden = ev->name;
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
    kill(pid, sig);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(watch);
    // The program's pattern for files beside a user's: its pid, a random part.
    const std::string own = ".tarvi-" + std::to_string(pid) + "-";
    EXPECT_EQ(hidden.rfind(own, 0), 0u) << hidden;
    EXPECT_EQ(hidden.size(), own.size() + 12 + 4) << hidden;
    EXPECT_TRUE(hidden.size() > 4 && hidden.compare(hidden.size() - 4, 4, ".tmp") == 0) << hidden;
    ASSERT_TRUE(WIFSIGNALED(status)) << "the stub ended before the signal: " << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(TreeOf(folder), std::vector<std::string>{});
  }
}

// Two entries of one name: the first is written and the second refused, as the
// extracting library refuses it, so a name never ends up holding another
// entry's bytes.
TEST_F(SfxRun, DuplicateNameRefused) {
  TZaSFX maker;
  maker.Options = {soAutoRun};
  maker.OverwriteMode = somOverwrite;
  const std::string exe =
      Program("dvaput.exe", maker, {{"isto.txt", "prvi", 8}, {"isto.txt", "drugi", 8}, {"mapa/isto.txt", "treci"}});
  const std::string work = dir_.file("dvaput");
  const Ran r = Start(exe, work, "cilj", "");
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_EQ(ReadText(work + "/cilj/isto.txt"), "prvi");
  EXPECT_EQ(ReadText(work + "/cilj/mapa/isto.txt"), "treci");
  EXPECT_NE(r.out.find("refused: isto.txt (an earlier entry of the archive wrote this name)"), std::string::npos)
      << r.out;
  EXPECT_EQ(TreeOf(work + "/cilj"), (std::vector<std::string>{"isto.txt", "mapa/", "mapa/isto.txt"}));
}

// Every self-extractor carries the stub: it holds no symbol table, no debug
// data and so no build paths.
TEST(SfxStub, IsStripped) {
  const std::vector<unsigned char> elf = ReadAll(std::string(TARVI_BIN_DIR) + "/ZASFXUS.BIN");
  ASSERT_GE(elf.size(), 64u);
  ASSERT_EQ(std::memcmp(elf.data(),
                        "\x7F"
                        "ELF\x02",
                        5),
            0);
  auto get = [&](size_t at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | elf.at(at + static_cast<size_t>(i));
    return v;
  };
  const uint64_t shoff = get(0x28, 8), shentsize = get(0x3A, 2), shnum = get(0x3C, 2), shstrndx = get(0x3E, 2);
  ASSERT_LT(shstrndx, shnum);
  const uint64_t names = get(shoff + shstrndx * shentsize + 0x18, 8);
  std::vector<std::string> sections;
  for (uint64_t i = 0; i < shnum; ++i) {
    size_t at = names + get(shoff + i * shentsize, 4);
    std::string name;
    while (elf.at(at) != 0) name.push_back(static_cast<char>(elf.at(at++)));
    sections.push_back(name);
  }
  EXPECT_NE(std::find(sections.begin(), sections.end(), ".text"), sections.end());
  for (const std::string& name : sections) {
    EXPECT_NE(name, ".symtab");
    EXPECT_NE(name.rfind(".debug", 0), 0u) << name;
  }
#ifndef __SANITIZE_ADDRESS__
  // (A sanitizer build keeps source locations in the code for its reports.)
  const std::string bytes(elf.begin(), elf.end());
  EXPECT_EQ(bytes.find("sfx_stub.cpp"), std::string::npos);
#endif
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

// A failing disk under the stub, at every sampled step of its writer: the earlier
// file stays byte for byte, the failure is reported with the system's reason, the
// program ends with 2 and leaves no hidden file; past the last step the new file
// is whole.
TEST_F(SfxRun, DiskFaultsKeepTheEarlierFile) {
  TZaSFX maker;
  maker.Options = {soAutoRun};
  maker.OverwriteMode = somOverwrite;
  const std::string exe = Program("disk.exe", maker, {LargeEntry("velika.bin", 2)});
  int k = 0;
  for (const DiskFault& f : kSampledFaults) {
    SCOPED_TRACE(f.Name());
    const std::string work = dir_.file("disk" + std::to_string(++k));
    fs::create_directories(work + "/cilj");
    WriteAll(work + "/cilj/velika.bin", "the earlier file");
    const Ran r = Start(exe, work, "cilj", "", "TARVI_DISK_FAULT=" + f.Value());
    if (f.Reached()) {
      EXPECT_EQ(r.status, 2) << r.out;
      EXPECT_NE(r.out.find("  refused: velika.bin (cannot "), std::string::npos) << r.out;
      EXPECT_NE(r.out.find(std::string(strerrordesc_np(f.err)) + ")"), std::string::npos) << r.out;
      EXPECT_EQ(ReadText(work + "/cilj/velika.bin"), "the earlier file");
    } else {
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(fs::file_size(work + "/cilj/velika.bin"), size_t(2) << 20);
    }
    EXPECT_EQ(HiddenLeft(work + "/cilj"), std::vector<std::string>{});
  }
}

}  // namespace
