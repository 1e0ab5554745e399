// The activity log and the program log: line formats, appending, trimming, and
// where they go when the install folder cannot be written.
#include "signing/activity_log.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/disk_steps.h"
#include "platform/library.h"
#include "support/temp_dir.h"

namespace {

const std::string kExe = ProgramBaseName();

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> v;
  size_t start = 0;
  for (size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
    v.push_back(text.substr(start, p - start));
  EXPECT_EQ(start, text.size()) << "text after the last CR LF";
  return v;
}

// The names in a folder, hidden ones included, sorted.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ActivityLog, OffAtStartThenLinesWithTimeAndTag) {
  EXPECT_FALSE(ActivityLogOn);
  EXPECT_EQ(ActivityLogStream, nullptr);
  TempDir install;
  const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
  QFile* log = OpenActivityLogFile(Q(install.path()));
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->fileName(), Q(install.file(kExe + "Act.log")));
  EXPECT_EQ(WriteActivityLog(log, "[Dekripcija]", "Datoteka čćžšđ.enc"), 0);
  EXPECT_EQ(WriteActivityLog(log, "[Start]", ""), 0);
  delete log;
  const QDateTime after = QDateTime::currentDateTime().addSecs(1);

  std::vector<std::string> lines = Lines(ReadText(install.file(kExe + "Act.log")));
  ASSERT_EQ(lines.size(), 2u);
  QRegularExpression re("^(\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d) (.*)$");
  for (size_t i = 0; i < lines.size(); ++i) {
    auto m = re.match(QString::fromUtf8(lines[i]));
    ASSERT_TRUE(m.hasMatch()) << lines[i];
    QDateTime t = QDateTime::fromString(m.captured(1), "dd.MM.yyyy HH:mm:ss");
    EXPECT_TRUE(t >= before.addMSecs(-before.time().msec()) && t <= after) << lines[i];
    EXPECT_EQ(m.captured(2), i == 0 ? QString("[Dekripcija] Datoteka čćžšđ.enc") : QString("[Start] "));
  }
}

TEST(ActivityLog, SwitchingOnAgainAppendsAndNoStreamWritesNothing) {
  TempDir install;
  for (int i = 0; i < 2; ++i) {
    QFile* log = OpenActivityLogFile(Q(install.path()));
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(WriteActivityLog(log, "[T]", QString::number(i)), 0);
    delete log;
  }
  std::vector<std::string> lines = Lines(ReadText(install.file(kExe + "Act.log")));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(19), " [T] 0");
  EXPECT_EQ(lines[1].substr(19), " [T] 1");

  EXPECT_EQ(WriteActivityLog(nullptr, "[T]", "x"), -1);
  QFile closed(Q(install.file("closed.log")));
  EXPECT_EQ(WriteActivityLog(&closed, "[T]", "x"), -1);
  EXPECT_FALSE(closed.exists());
}

TEST(ProgramLog, EntriesAndTheEngineLineForm) {
  TempDir install;
  EXPECT_EQ(AppendProgramLog(Q(install.path()), "prva"), 1);
  EXPECT_EQ(AppendProgramLog(Q(install.path()) + "/", ProgramLogLine("greška")), 1);
  std::vector<std::string> lines = Lines(ReadText(install.file(kExe + ".log")));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "prva");
  QString second = QString::fromUtf8(lines[1]);
  EXPECT_TRUE(QRegularExpression("^- \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\dgreška$").match(second).hasMatch())
      << lines[1];
}

// A log of exactly the limit takes the entry untrimmed; one byte more and the
// first 500 lines go after the entry is written.
TEST(ProgramLog, TrimsOnlyPastTheLimit) {
  for (qint64 size : {kProgramLogLimit, kProgramLogLimit + 1}) {
    SCOPED_TRACE(size);
    TempDir install;
    std::string text;
    for (int i = 0; i < 599; ++i) {
      char head[8];
      std::snprintf(head, sizeof head, "%03d", i);
      text += head + std::string(848, 'x') + "\r\n";
    }
    text += "599" + std::string(size - static_cast<qint64>(text.size()) - 5, 'y') + "\r\n";
    ASSERT_EQ(static_cast<qint64>(text.size()), size);
    const std::string file = install.file(kExe + ".log");
    WriteAll(file, text);

    EXPECT_EQ(AppendProgramLog(Q(install.path()), "novi unos"), 1);
    std::vector<std::string> lines = Lines(ReadText(file));
    if (size == kProgramLogLimit) {
      ASSERT_EQ(lines.size(), 601u);
      EXPECT_EQ(lines[0].substr(0, 3), "000");
    } else {
      ASSERT_EQ(lines.size(), 101u);
      EXPECT_EQ(lines[0].substr(0, 3), "500");
    }
    EXPECT_EQ(lines.back(), "novi unos");
  }
}

TEST(ProgramLog, FewLongLinesKeepTheNewEntry) {
  TempDir install;
  const std::string file = install.file(kExe + ".log");
  std::string line(200000, 'z');
  WriteAll(file, line + "\r\n" + line + "\n" + line + "\r");
  EXPECT_EQ(AppendProgramLog(Q(install.path()), "zadnji"), 1);
  EXPECT_EQ(ReadText(file), "zadnji\r\n");
}

TEST(Logs, UnwritableInstallFolderFallsBackToTheStateFolder) {
  TempDir install;
  const std::string state = std::getenv("XDG_STATE_HOME");
  const QString fallback = Q(state + "/VodezOdir/");
  std::vector<std::string> unwritable = {install.file("missing")};
  if (geteuid() != 0) {  // root writes into a read-only folder anyway
    mkdir(install.file("ro").c_str(), 0555);
    unwritable.push_back(install.file("ro"));
  }
  for (const std::string& folder : unwritable) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(LogFolder(Q(folder)), fallback);
    EXPECT_EQ(AppendProgramLog(Q(folder), "unos"), 1);
    QFile* log = OpenActivityLogFile(Q(folder));
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->fileName(), fallback + Q(kExe) + "Act.log");
    EXPECT_EQ(WriteActivityLog(log, "[T]", "x"), 0);
    delete log;
  }
  EXPECT_NE(ReadText(state + "/VodezOdir/" + kExe + ".log").find("unos\r\n"), std::string::npos);
  EXPECT_EQ(LogFolder(Q(install.path())), Q(install.path()) + "/");
}

TEST(Logs, NowhereToWriteIsReportedNotFatal) {
  TempDir t;
  WriteAll(t.file("not-a-folder"), "x");
  const std::string saved = std::getenv("XDG_STATE_HOME");
  setenv("XDG_STATE_HOME", t.file("not-a-folder").c_str(), 1);
  EXPECT_EQ(AppendProgramLog(Q(t.file("missing")), "unos"), 0);
  EXPECT_EQ(OpenActivityLogFile(Q(t.file("missing"))), nullptr);
  setenv("XDG_STATE_HOME", saved.c_str(), 1);
}

}  // namespace

namespace {

// A failing disk under the trim: each write, close, sync and rename after the
// entry's own append fails in turn. The log then holds the old lines and the new
// entry, untrimmed and whole, and no temporary file is left beside it; without
// a failure it is trimmed.
TEST(ProgramLog, AFailingDiskWhileTrimmingKeepsTheWholeLog) {
  std::string text;
  for (int i = 0; i < 700; ++i) text += std::to_string(1000 + i) + std::string(800, 'x') + "\r\n";
  ASSERT_GT(qint64(text.size()), kProgramLogLimit);
  const std::string appended = text + "novi unos\r\n";
  for (DiskStep kind : {DiskStep::Write, DiskStep::Close, DiskStep::Sync, DiskStep::Rename}) {
    for (int k = 1;; ++k) {
      SCOPED_TRACE(std::to_string(int(kind)) + " " + std::to_string(k));
      TempDir install;
      const std::string file = install.file(kExe + ".log");
      WriteAll(file, text);
      int seen = 0;
      // The append's own sync comes first; the trim's steps follow it.
      int syncs = 0;
      bool fired = false;
      const DiskFaultHook previous = SetDiskFaultHook([&](DiskStep s) {
        if (s == DiskStep::Sync && ++syncs == 1) return 0;
        if (s == kind && ++seen == k) {
          fired = true;
          return ENOSPC;
        }
        return 0;
      });
      const int rc = AppendProgramLog(Q(install.path()), "novi unos");
      SetDiskFaultHook(previous);
      EXPECT_EQ(rc, 1);
      EXPECT_EQ(std::vector<std::string>{kExe + ".log"}, Names(install.path()));
      if (!fired) {
        EXPECT_EQ(Lines(ReadText(file)).size(), 201u);  // trimmed: every step of this kind has failed once
        break;
      }
      EXPECT_EQ(ReadText(file), appended);
    }
  }
}

}  // namespace
