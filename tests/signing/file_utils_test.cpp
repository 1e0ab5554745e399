#include "signing/file_utils.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <csignal>
#include <cstdio>
#include <set>
#include <string>

#include "platform/library.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string Bytes(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7 + i / 251);
  return s;
}

std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  for (const QString& n : QDir(Q(folder)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
    names.insert(n.toStdString());
  return names;
}

void SetMtime(const std::string& path, time_t when) {
  struct timespec t[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
}

time_t Mtime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : 0;
}

// A small tmpfs of our own, where the system lets us mount one (root).
class Tmpfs {
 public:
  Tmpfs(const std::string& where, const char* options) : where_(where) {
    mounted_ = geteuid() == 0 && mount("tmpfs", where.c_str(), "tmpfs", 0, options) == 0;
  }
  ~Tmpfs() {
    if (mounted_) umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool RemountReadOnly() { return mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0; }

 private:
  std::string where_;
  bool mounted_ = false;
};

// Writes beyond `bytes` fail with EFBIG while the object lives, as on a full disk.

}  // namespace

TEST(FileUtils, CopyIntoAFolderKeepsTheNameTheDateAndReportsProgress) {
  TempDir dir("copy");
  const std::string source = dir.file("izvješće.pdf");
  const std::string data = Bytes(40000, 'a');
  WriteAll(source, data);
  SetMtime(source, 981158400);  // 3 February 2001
  ASSERT_EQ(mkdir(dir.file("into").c_str(), 0755), 0);

  QProgressBar bar;
  QLabel label;
  EXPECT_TRUE(CopyFileWithProgress(Q(source), Q(dir.file("into")), &bar, &label));
  EXPECT_EQ(ReadText(dir.file("into/izvješće.pdf")), data);
  EXPECT_EQ(Mtime(dir.file("into/izvješće.pdf")), 981158400);
  EXPECT_EQ(bar.maximum(), 40000);
  EXPECT_EQ(bar.value(), 40000);
  EXPECT_EQ(label.text(), QStringLiteral("100 %"));
  EXPECT_EQ(Entries(dir.file("into")), std::set<std::string>{"izvješće.pdf"});

  WriteAll(dir.file("empty"), "");
  EXPECT_TRUE(CopyFileWithProgress(Q(dir.file("empty")), Q(dir.file("empty2")), &bar, &label));
  EXPECT_EQ(label.text(), QStringLiteral("100 %"));
  EXPECT_EQ(ReadText(dir.file("empty2")), "");

  // Copying a file onto itself must not destroy it.
  EXPECT_TRUE(CopyFileWithProgress(Q(source), Q(source)));
  EXPECT_EQ(ReadText(source), data);
}

TEST(FileUtils, FailedCopiesLeaveSourceAndOldTargetIntact) {
  const std::string data = Bytes(200000, 's');
  const std::string oldTarget = "the old target";
  enum Way { FullDisk, FileSizeLimitReached, ReadOnlyTarget, MissingFolder, MissingSource };
  for (Way way : {FullDisk, FileSizeLimitReached, ReadOnlyTarget, MissingFolder, MissingSource}) {
    SCOPED_TRACE(way);
    TempDir dir("copyfail");
    const std::string source = dir.file("source.bin");
    WriteAll(source, data);
    const std::string folder = dir.file("target");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    std::unique_ptr<Tmpfs> fs;
    if (way == FullDisk || (way == ReadOnlyTarget && geteuid() == 0)) {
      fs = std::make_unique<Tmpfs>(folder, "size=64k");
      if (!fs->mounted()) {
        std::cout << "no tmpfs here; case " << way << " not run\n";
        continue;
      }
    }
    std::string target = folder + "/out.bin";
    WriteAll(target, oldTarget);
    if (way == ReadOnlyTarget) {
      if (fs) {
        ASSERT_TRUE(fs->RemountReadOnly());
      } else {
        ASSERT_EQ(chmod(target.c_str(), 0444), 0);
      }
    }
    if (way == MissingFolder) target = dir.file("nowhere/out.bin");
    const std::string from = way == MissingSource ? dir.file("missing.bin") : source;
    const std::set<std::string> before = Entries(folder);

    std::string message;
    try {
      std::unique_ptr<FileSizeLimit> limit;
      if (way == FileSizeLimitReached) limit = std::make_unique<FileSizeLimit>(50000);
      CopyFileWithProgress(Q(from), Q(target));
      ADD_FAILURE() << "no exception";
    } catch (const EFileError& e) {
      message = e.what();
    }
    switch (way) {
      case FullDisk:
      case FileSizeLimitReached: EXPECT_EQ(message, "Unable to write " + target); break;
      case ReadOnlyTarget:
      case MissingFolder: EXPECT_EQ(message, "Unable to open " + target); break;
      case MissingSource: EXPECT_EQ(message, "Unable to open " + from); break;
    }
    EXPECT_EQ(ReadText(source), data);
    EXPECT_EQ(ReadText(folder + "/out.bin"), oldTarget);
    EXPECT_EQ(Entries(folder), before);  // no partial or temporary file is left

    // A move whose copy fails keeps its source.
    if (way == FileSizeLimitReached) {
      std::unique_ptr<FileSizeLimit> limit = std::make_unique<FileSizeLimit>(50000);
      EXPECT_THROW(MoveFileWithFallback(Q(source), Q(target)), EFileError);
      limit.reset();
      EXPECT_EQ(ReadText(source), data);
      EXPECT_EQ(ReadText(target), oldTarget);
    }
  }
}

TEST(FileUtils, MoveRenamesReplacesOrCopiesAcrossFileSystems) {
  TempDir dir("move");
  const std::string a = dir.file("a"), b = dir.file("b");
  WriteAll(a, "first");
  struct stat st;
  ASSERT_EQ(stat(a.c_str(), &st), 0);
  MoveFileWithFallback(Q(a), Q(b));
  EXPECT_FALSE(QFileInfo::exists(Q(a)));
  struct stat moved;
  ASSERT_EQ(stat(b.c_str(), &moved), 0);
  EXPECT_EQ(moved.st_ino, st.st_ino);  // a plain rename

  WriteAll(a, "second");
  SetMtime(a, 1000000000);
  MoveFileWithFallback(Q(a), Q(b));  // over an existing file: replaced through the copy
  EXPECT_FALSE(QFileInfo::exists(Q(a)));
  EXPECT_EQ(ReadText(b), "second");
  EXPECT_EQ(Mtime(b), 1000000000);

  ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
  MoveFileWithFallback(Q(b), Q(dir.file("folder")));
  EXPECT_EQ(ReadText(dir.file("folder/b")), "second");
  EXPECT_FALSE(QFileInfo::exists(Q(b)));

  MoveFileWithFallback(Q(dir.file("missing")), Q(dir.file("x")));  // nothing to move: nothing happens
  EXPECT_FALSE(QFileInfo::exists(Q(dir.file("x"))));

  ASSERT_EQ(mkdir(dir.file("other").c_str(), 0755), 0);
  Tmpfs other(dir.file("other"), "size=1m");
  if (other.mounted()) {
    MoveFileWithFallback(Q(dir.file("folder/b")), Q(dir.file("other/b")));
    EXPECT_EQ(ReadText(dir.file("other/b")), "second");
    EXPECT_FALSE(QFileInfo::exists(Q(dir.file("folder/b"))));
  }
}

TEST(FileUtils, MovingAFileOntoItselfKeepsIt) {
  TempDir dir("moveself");
  const std::string file = dir.file("izvješće.pdf"), link = dir.file("link.pdf");
  struct Case {
    const char* what;
    std::string destination;
    bool sourceNameStays;
  } cases[] = {
      {"the same name", file, true},
      {"the folder that holds it", dir.path(), true},
      {"the same name by another path", dir.path() + "/./izvješće.pdf", true},
      {"another link to the same file", link, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(link.c_str());
    WriteAll(file, "content");
    ASSERT_EQ(::link(file.c_str(), link.c_str()), 0);
    MoveFileWithFallback(Q(file), Q(c.destination));
    EXPECT_EQ(QFileInfo::exists(Q(file)), c.sourceNameStays);
    EXPECT_EQ(ReadText(c.sourceNameStays ? file : link), "content");
  }
}

TEST(FileUtils, SizesMasksAndDates) {
  TempDir dir("sizes");
  const std::string big = dir.file("big.bin");
  {
    WriteAll(big, "");
    ASSERT_EQ(truncate(big.c_str(), 5LL << 30), 0);  // sparse, 5 GiB
  }
  WriteAll(dir.file("a[1].txt"), "12345");
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  struct Case {
    std::string name;
    int64_t size;
  } cases[] = {
      {big, 5LL << 30},       {dir.file("*.bin"), 5LL << 30}, {dir.file("a[1].txt"), 5}, {dir.file("a?1?.txt"), 5},
      {dir.file("a[1]"), -1}, {dir.file("missing*"), -1},     {dir.file("sub"), 0},      {dir.file("x/*.bin"), -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetFileSizeByName(Q(c.name)), c.size) << c.name;
    EXPECT_EQ(FileMaskExists(Q(c.name)), c.size >= 0) << c.name;
  }
  SetMtime(dir.file("a[1].txt"), 981158400);
  EXPECT_EQ(GetFileDateTime(Q(dir.file("a[1].txt"))).toSecsSinceEpoch(), 981158400);
  EXPECT_FALSE(GetFileDateTime(Q(dir.file("missing"))).isValid());
}

TEST(FileUtils, UniqueFilesLiveInThePrivateTemporaryFolder) {
  const QString temp = GetTempDirectory();
  ASSERT_TRUE(temp.endsWith(QLatin1Char('/')));
  struct stat st;
  ASSERT_EQ(stat(QFile::encodeName(temp).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, geteuid());

  const QString name = CreateUniqueTempFile(QStringLiteral("sgn"), QStringLiteral("zip"));
  const QString second = CreateUniqueTempFile(QStringLiteral("sgn"), QStringLiteral("zip"));
  EXPECT_NE(name, second);
  EXPECT_TRUE(name.startsWith(temp));
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^sgn[A-Y]{5}\\.zip$")).match(QFileInfo(name).fileName()).hasMatch())
      << name.toStdString();
  EXPECT_EQ(GetFileSizeByName(name), 0);
  QFile::remove(name);
  QFile::remove(second);

  // With one letter left there are 25 names; every base but "Y" is taken under
  // some other extension, so only ...Y.zip may be created.
  TempDir dir("unique");
  for (char c = 'A'; c < 'Y'; ++c) WriteAll(dir.file(std::string("sgnABCD") + c + ".other"), "");
  EXPECT_EQ(CreateUniqueFile(Q(dir.path()), QStringLiteral("sgnABCD"), QStringLiteral("zip")),
            Q(dir.file("sgnABCDY.zip")));
  EXPECT_THROW(CreateUniqueFile(Q(dir.path()), QStringLiteral("sgnABCDE"), QStringLiteral("zip")),
               std::invalid_argument);
  EXPECT_THROW(CreateUniqueFile(Q(dir.file("missing")), QStringLiteral("sgn"), QStringLiteral("zip")), EFileError);
}

TEST(FileUtils, RandomLettersStopBeforeZ) {
  EXPECT_EQ(RandomLetters(0), QString());
  EXPECT_EQ(RandomLetters(-3), QString());
  const QString letters = RandomLetters(5000);
  ASSERT_EQ(letters.size(), 5000);
  std::set<QChar> seen(letters.begin(), letters.end());
  EXPECT_EQ(seen.size(), 25u);
  EXPECT_EQ(*seen.begin(), QLatin1Char('A'));
  EXPECT_EQ(*seen.rbegin(), QLatin1Char('Y'));
}

TEST(FileUtils, TrailingSeparatorRule) {
  struct Case {
    const char *in, *out;
  } cases[] = {{"", ""}, {"/work/", "/work/"}, {"/work", "/work/"}, {"5", "5/"}, {"D", "D/"}, {"C:", "C:/"}};
  for (const Case& c : cases)
    EXPECT_EQ(IncludeTrailingBackslash(QString::fromLatin1(c.in)), QString::fromLatin1(c.out));
}

TEST(FileUtils, ShellOpenGoesThroughTheOpener) {
  TempDir dir("open");
  WriteAll(dir.file("doc.pdf"), "x");
  QStringList opened;
  bool answer = true;
  FileOpener previous = SetFileOpener([&](const QString& path) {
    opened << path;
    return answer;
  });
  EXPECT_TRUE(ShellOpenFile(Q(dir.file("doc.pdf"))));
  answer = false;
  EXPECT_FALSE(ShellOpenFile(Q(dir.file("doc.pdf"))));
  EXPECT_EQ(errno, EIO);
  EXPECT_FALSE(ShellOpenFile(Q(dir.file("missing.pdf"))));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(opened, QStringList({Q(dir.file("doc.pdf")), Q(dir.file("doc.pdf"))}));
  SetFileOpener(previous);
}

namespace {

// Field 22 of /proc/<pid>/stat, read here on its own: the process's start time.
std::string StartTime(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  std::string rest = stat.substr(stat.rfind(')') + 2);
  for (int field = 3; field < 22; ++field) rest = rest.substr(rest.find(' ') + 1);
  return rest.substr(0, rest.find(' '));
}

}  // namespace

// At start the work folders of earlier runs go: a killed run's, and any whose
// recorded process has ended; the folders of runs that still live, of other
// users and programs, links and folders open to others are left alone.
TEST(FileUtils, WorkFoldersOfEndedRunsAreRemovedAtStart) {
  TempDir base("stale");
  const std::string prog = ProgramBaseName();
  // (The case runs in a process of its own, as CTest runs every case: the child
  // below must make its work folder afresh, not inherit this process's.)

  // A run killed while it worked: its folder holds a work file and its record.
  const pid_t killed = fork();
  if (killed == 0) {
    setenv("TMPDIR", base.path().c_str(), 1);
    const QString folder = GetTempDirectory();
    WriteAll(folder.toStdString() + "ZipSgnDat.tmp", "half an archive");
    raise(SIGKILL);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(killed, &status, 0), killed);
  ASSERT_TRUE(WIFSIGNALED(status));
  const QStringList left = QDir(Q(base.path())).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  ASSERT_EQ(left.size(), 1);
  const std::string killedFolder = base.file(left[0].toStdString());
  EXPECT_EQ(ReadText(killedFolder + "/.owner").rfind(std::to_string(killed) + " ", 0), 0u);

  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_EQ(waitpid(ended, &status, 0), ended);
  const std::string self = std::to_string(getpid()) + " " + StartTime(getpid()) + "\n";
  const std::string gone = std::to_string(ended) + " 1\n";

  struct Case {
    std::string name, owner;  // owner "": no record
    mode_t mode;
    bool removed;
  };
  const Case cases[] = {
      {prog + "-AAAAAA", gone, 0700, true},                               // its process has ended
      {prog + "-BBBBBB", self, 0700, false},                              // a run that still works
      {prog + "-CCCCCC", std::to_string(getpid()) + " 1\n", 0700, true},  // its pid taken by another process
      {prog + "-DDDDDD", "", 0700, false},                                // no record: not proved stale
      {"Other-EEEEEE", gone, 0700, false},                                // another program's
      {prog + "-FFFFFFF", gone, 0700, false},                             // not a name of ours
      {prog + "-GGGGGG", gone, 0755, false},                              // not a private folder
  };
  for (const Case& c : cases) {
    const std::string path = base.file(c.name);
    ASSERT_EQ(mkdir(path.c_str(), c.mode), 0) << c.name;
    chmod(path.c_str(), c.mode);
    if (!c.owner.empty()) WriteAll(path + "/.owner", c.owner);
    WriteAll(path + "/work.tmp", "x");
  }
  // A link named like a folder of ours, to an ended run's folder elsewhere.
  TempDir elsewhere("elsewhere");
  WriteAll(elsewhere.file(".owner"), gone);
  chmod(elsewhere.path().c_str(), 0700);
  ASSERT_EQ(symlink(elsewhere.path().c_str(), base.file(prog + "-HHHHHH").c_str()), 0);
  // Another user's folder (only root can make one).
  const bool asRoot = geteuid() == 0;
  if (asRoot) {
    const std::string path = base.file(prog + "-IIIIII");
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    WriteAll(path + "/.owner", gone);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  }

  EXPECT_EQ(RemoveStaleWorkFolders(Q(base.path())), 3);
  EXPECT_FALSE(QFileInfo::exists(Q(killedFolder)));
  for (const Case& c : cases) EXPECT_EQ(QFileInfo::exists(Q(base.file(c.name))), !c.removed) << c.name;
  EXPECT_TRUE(QFileInfo(Q(base.file(prog + "-HHHHHH"))).isSymLink());
  EXPECT_TRUE(QFileInfo::exists(Q(elsewhere.file(".owner"))));
  if (asRoot) {
    EXPECT_TRUE(QFileInfo::exists(Q(base.file(prog + "-IIIIII"))));
  }
}

// This run's own folder records this process, and goes at exit when nothing
// but the record is left in it.
TEST(FileUtils, TheWorkFolderRecordsItsProcess) {
  const QString folder = GetTempDirectory();
  EXPECT_EQ(ReadText(folder.toStdString() + ".owner"), std::to_string(getpid()) + " " + StartTime(getpid()) + "\n");
  EXPECT_EQ(RemoveStaleWorkFolders(QFileInfo(folder.chopped(1)).path()), 0);
  EXPECT_TRUE(QFileInfo::exists(folder + ".owner"));
}
