#include "signing/activity_log.h"

#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <vector>

#include "platform/disk_steps.h"
#include "platform/library.h"
#include "signing/progress_window.h"
#include "signing/replacement_file.h"

bool ActivityLogOn = false;
QFile* ActivityLogStream = nullptr;

namespace {

QString WithSlash(QString folder) {
  if (!folder.endsWith('/')) folder += '/';
  return folder;
}

QString ProgramName() { return QString::fromStdString(ProgramBaseName()); }

bool WritableFolder(const QString& folder) {
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) return false;
  return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

// Where each of the first lines of a file ends (just past its CR, LF or CR LF), and
// how many lines it has; a last line without an end counts too.
struct LineEnds {
  std::vector<qint64> ends;
  qint64 lines = 0;
};

LineEnds ScanLines(QFile& f, size_t keep) {
  LineEnds r;
  char buf[65536];
  qint64 pos = 0;
  bool afterCr = false, crRecorded = false, open = false;
  for (qint64 n; (n = f.read(buf, sizeof buf)) > 0;) {
    for (qint64 i = 0; i < n; ++i, ++pos) {
      char c = buf[i];
      if (afterCr) {
        afterCr = false;
        if (c == '\n') {
          if (crRecorded) r.ends.back() = pos + 1;
          continue;
        }
      }
      if (c == '\r' || c == '\n') {
        ++r.lines;
        open = false;
        afterCr = c == '\r';
        crRecorded = r.ends.size() < keep;
        if (crRecorded) r.ends.push_back(pos + 1);
      } else {
        open = true;
      }
    }
  }
  if (open) ++r.lines;
  return r;
}

// Drops the first lines, keeping at least the last one (the entry just written).
// The rest is copied through a bounded buffer into a new file that replaces the log.
void TrimProgramLog(const QString& name) {
  QFile in(name);
  if (!in.open(QIODevice::ReadOnly)) return;
  LineEnds scan = ScanLines(in, kProgramLogTrimLines);
  qint64 drop = std::min<qint64>(kProgramLogTrimLines, scan.lines - 1);
  if (drop <= 0) return;
  // Written, synced and renamed over the log only when whole; any failed step
  // leaves the untrimmed log as it was.
  TReplacementFile out;
  if (!in.seek(scan.ends[drop - 1]) || !out.Create(name)) return;
  char buf[65536];
  qint64 n;
  while ((n = in.read(buf, sizeof buf)) > 0)
    if (!out.Write(buf, size_t(n))) return;  // the unfinished copy is discarded
  if (n < 0) return;
  out.Commit(true);
}

}  // namespace

QString LogFolder(const QString& installFolder) {
  if (WritableFolder(installFolder)) return WithSlash(installFolder);
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty()) state = QDir::homePath() + "/.local/state";
  QString folder = WithSlash(state) + "VodezOdir/";
  QDir().mkpath(folder);
  return folder;
}

QString ActivityLogFileName(const QString& installFolder) {
  return LogFolder(installFolder) + ProgramName() + "Act.log";
}

QString ProgramLogFileName(const QString& folder) { return LogFolder(folder) + ProgramName() + ".log"; }

QString LogTimeStamp() { return QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")); }

QString ProgramLogLine(const QString& text) { return "- " + LogTimeStamp() + text; }

QFile* OpenActivityLogFile(const QString& installFolder) {
  auto* f = new QFile(ActivityLogFileName(installFolder));
  if (!f->open(QIODevice::ReadWrite)) {
    delete f;
    return nullptr;
  }
  return f;
}

int WriteActivityLog(QFile* stream, const QString& tag, const QString& text) {
  if (!stream || !stream->isOpen()) return -1;
  QByteArray line = (LogTimeStamp() + " " + tag + " " + text + "\r\n").toUtf8();
  if (!stream->seek(stream->size())) return -1;
  if (stream->write(line) != line.size() || !stream->flush() || !DiskSync(stream->handle())) return -1;
  return 0;
}

int AppendProgramLog(const QString& folder, const QString& text) {
  const QString name = ProgramLogFileName(folder);
  bool trim = false;
  {
    QFile f(name);
    if (!f.open(QIODevice::ReadWrite)) return 0;
    trim = f.size() > kProgramLogLimit;
    QByteArray entry = (text + "\r\n").toUtf8();
    if (!f.seek(f.size()) || f.write(entry) != entry.size() || !f.flush() || !DiskSync(f.handle())) return 0;
  }
  if (trim) TrimProgramLog(name);
  return 1;
}

void Reporter::operator()(MsgKind kind, const QString& boxText, const QString& logText) const {
  if (mode_ == kReportBoxes) {
    // A box tells the outcome: no progress window of the operation stays behind it.
    HideProgress();
    Ui().messageBox(kind, boxText);
  } else if (mode_ == kReportProgramLog)
    AppendProgramLog(folder_, ProgramLogLine(logText));
}
