#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QDir>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/disk_steps.h"
#include "support/temp_dir.h"

namespace {

QStringList Entries(const std::string& folder) {
  return QDir(QString::fromStdString(folder))
      .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

TEST(AtomicFile, CreatesAndReplacesKeepingPermissions) {
  TempDir dir;
  const std::string f = dir.file("a.txt");
  ASSERT_TRUE(WriteFileAtomically(QString::fromStdString(f), "first"));
  EXPECT_EQ(ReadText(f), "first");
  ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
  QString err = "stale";
  ASSERT_TRUE(WriteFileAtomically(QString::fromStdString(f), QByteArray("second\0x", 8), &err));
  EXPECT_TRUE(err.isEmpty());
  EXPECT_EQ(ReadText(f), std::string("second\0x", 8));
  struct stat st {};
  ASSERT_EQ(::stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Entries(dir.path()), QStringList{"a.txt"});  // no temporary file left
}

TEST(AtomicFile, FailuresLeaveTheOldStateAndNoTemporary) {
  TempDir dir;
  QString err;
  // Folder missing.
  EXPECT_FALSE(WriteFileAtomically(QString::fromStdString(dir.file("none/a.txt")), "x", &err));
  EXPECT_FALSE(err.isEmpty());
  // The target is a non-empty folder: the rename fails (also for root).
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(dir.file("d/inner"))));
  err.clear();
  EXPECT_FALSE(WriteFileAtomically(QString::fromStdString(dir.file("d")), "x", &err));
  EXPECT_TRUE(err.startsWith("preimenovanje: ")) << err.toStdString();
  EXPECT_EQ(Entries(dir.path()), QStringList{"d"});
}

TEST(AtomicFile, PartialWriteKeepsTheOldFile) {
  TempDir dir;
  const std::string f = dir.file("desc.txt");
  WriteAll(f, std::string(100, 'o'));
  // A file size limit makes the write stop part-way, as a full disk would.
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 50;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  QString err;
  bool ok = WriteFileAtomically(QString::fromStdString(f), QByteArray(200, 'n'), &err);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(err.startsWith("pisanje: ")) << err.toStdString();
  EXPECT_EQ(ReadText(f), std::string(100, 'o'));
  EXPECT_EQ(Entries(dir.path()), QStringList{"desc.txt"});
}

}  // namespace

namespace {

// Each checked step failing in turn, as a full disk fails it: the write reports
// the step and the system's reason, the old file keeps its bytes, no temporary
// file is left; a new file is not created at all.
TEST(AtomicFile, EveryDiskStepIsChecked) {
  struct Case {
    DiskStep step;
    const char* named;
  };
  const Case cases[] = {{DiskStep::Write, "pisanje: "},
                        {DiskStep::Sync, "sinkronizacija: "},
                        {DiskStep::Close, "zatvaranje: "},
                        {DiskStep::Rename, "preimenovanje: "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.named);
    TempDir dir;
    const std::string f = dir.file("a.txt");
    ASSERT_TRUE(WriteFileAtomically(QString::fromStdString(f), "old"));
    for (const std::string& target : {f, dir.file("new.txt")}) {
      int calls = 0;
      const DiskFaultHook previous = SetDiskFaultHook([&](DiskStep s) {
        ++calls;
        return s == c.step ? ENOSPC : 0;
      });
      QString err;
      EXPECT_FALSE(WriteFileAtomically(QString::fromStdString(target), "new content", &err));
      SetDiskFaultHook(previous);
      EXPECT_GT(calls, 0);
      EXPECT_EQ(err, QString::fromLatin1(c.named) + QStringLiteral("Nema više mjesta na uređaju"));
      EXPECT_EQ(ReadText(f), "old");
      EXPECT_EQ(Entries(dir.path()), QStringList{"a.txt"});
    }
  }
}

}  // namespace
