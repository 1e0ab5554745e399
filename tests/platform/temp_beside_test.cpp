#include "platform/temp_beside.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <string>

#include "support/temp_dir.h"

namespace {

QStringList Entries(const std::string& folder) {
  return QDir(QString::fromStdString(folder))
      .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// The pid of a process that has ended (and was reaped).
pid_t EndedPid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  int status = 0;
  waitpid(pid, &status, 0);
  return pid;
}

TEST(TempBeside, OnlyTheProgramsOwnPatternIsOurs) {
  struct Case {
    const char* name;
    bool ours;
    pid_t pid;
  };
  const Case cases[] = {
      {".tarvi-1234-abc123.tmp", true, 1234},
      {".tarvi-7-Z.tmp", true, 7},
      {".tarvi-2147483647-x.tmp", true, 2147483647},
      {".tarvi-2147483648-x.tmp", false, 0},  // no pid is that large
      {".tarvi-0-abc.tmp", false, 0},
      {".tarvi--abc.tmp", false, 0},
      {".tarvi-12a-abc.tmp", false, 0},
      {".tarvi-1234-.tmp", false, 0},
      {".tarvi-1234.tmp", false, 0},
      {".tarvi-1234-ab.c.tmp", false, 0},
      {".tarvi-1234-ab-c.tmp", false, 0},
      {".tarvi-1234-abc.tmp~", false, 0},
      {"tarvi-1234-abc.tmp", false, 0},
      {".tarvi-1234-abc.TMP", false, 0},
      {"SgnTmpAbc123.tmp", false, 0},
      {".report.pdf.ABCDEF.tmp", false, 0},
  };
  for (const Case& c : cases) {
    pid_t pid = 0;
    EXPECT_EQ(IsTempBesideName(c.name, &pid), c.ours) << c.name;
    if (c.ours) {
      EXPECT_EQ(pid, c.pid) << c.name;
    }
  }
}

// Of the files named as ours, only a regular file of this user whose process is
// gone goes; the user's own files, a living run's file, links, folders and other
// users' files stay.
TEST(TempBeside, OnlyStaleFilesOfEndedRunsAreRemoved) {
  TempDir dir("beside");
  const std::string gone = std::to_string(EndedPid());
  const std::string self = std::to_string(getpid());
  struct Case {
    std::string name;
    bool removed;
  };
  const Case files[] = {
      {".tarvi-" + gone + "-abc.tmp", true},
      {".tarvi-" + gone + "-def456.tmp", true},
      {".tarvi-" + self + "-abc.tmp", false},  // this run still works on it
      {".tarvi-1-abc.tmp", false},             // init lives (to a user, out of reach)
      {"report.pdf", false},
      {".tarvi-" + gone + "-abc.tmp.keep", false},
  };
  for (const Case& c : files) WriteAll(dir.file(c.name), "x");
  // A link and a folder that carry our name, both leading to something to keep.
  TempDir elsewhere("elsewhere");
  WriteAll(elsewhere.file("target"), "kept");
  const std::string link = ".tarvi-" + gone + "-link.tmp", folder = ".tarvi-" + gone + "-dir.tmp";
  ASSERT_EQ(symlink(elsewhere.file("target").c_str(), dir.file(link).c_str()), 0);
  ASSERT_EQ(mkdir(dir.file(folder).c_str(), 0700), 0);
  // Another user's file (only root can make one).
  const std::string foreign = ".tarvi-" + gone + "-other.tmp";
  const bool asRoot = geteuid() == 0;
  if (asRoot) {
    WriteAll(dir.file(foreign), "x");
    ASSERT_EQ(chown(dir.file(foreign).c_str(), 65534, 65534), 0);
  }

  EXPECT_EQ(RemoveStaleTempFiles(QString::fromStdString(dir.path())), 2);
  for (const Case& c : files) EXPECT_EQ(access(dir.file(c.name).c_str(), F_OK) != 0, c.removed) << c.name;
  EXPECT_EQ(ReadText(elsewhere.file("target")), "kept");
  EXPECT_TRUE(QFileInfo(QString::fromStdString(dir.file(link))).isSymLink());
  EXPECT_TRUE(QFileInfo(QString::fromStdString(dir.file(folder))).isDir());
  if (asRoot) {
    EXPECT_EQ(access(dir.file(foreign).c_str(), F_OK), 0);
  }
  EXPECT_EQ(RemoveStaleTempFiles(QString::fromStdString(dir.file("missing"))), 0);
}

// A new temporary file carries this run's pid, is private, never reuses a name,
// and its creation first clears the stale ones of the folder.
TEST(TempBeside, NewFilesCarryThisRunAndClearTheStaleOnes) {
  TempDir dir("beside");
  const std::string stale = ".tarvi-" + std::to_string(EndedPid()) + "-old.tmp";
  WriteAll(dir.file(stale), "left by a killed run");
  QString a, b;
  const int fa = CreateTempBeside(QString::fromStdString(dir.path()), &a);
  const int fb = CreateTempBeside(QString::fromStdString(dir.path()), &b);
  ASSERT_GE(fa, 0);
  ASSERT_GE(fb, 0);
  EXPECT_NE(a, b);
  for (const QString& path : {a, b}) {
    pid_t pid = 0;
    EXPECT_TRUE(IsTempBesideName(QFileInfo(path).fileName().toStdString(), &pid)) << path.toStdString();
    EXPECT_EQ(pid, getpid());
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(fcntl(fa, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  close(fa);
  close(fb);
  QStringList names{QFileInfo(a).fileName(), QFileInfo(b).fileName()};
  names.sort();
  EXPECT_EQ(Entries(dir.path()), names);
  EXPECT_EQ(access(dir.file(stale).c_str(), F_OK), -1);
  errno = 0;
  EXPECT_EQ(CreateTempBeside(QString::fromStdString(dir.file("missing")), &a), -1);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
