#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#include "platform/disk_steps.h"
#include "platform/temp_beside.h"

namespace {

// The step that failed and the system's reason, both in the program's Croatian.
QString Reason(const char* step, int err) {
  return QString::fromUtf8(step) + ": " + DiskErrorText(err);
}

}  // namespace

bool WriteFileAtomically(const QString& path, const QByteArray& data, QString* error) {
  auto fail = [&](const QString& why) {
    if (error) *error = why;
    return false;
  };
  if (path.isEmpty()) return fail(QStringLiteral("empty file name"));

  const QFileInfo info(path);
  const QByteArray target = QFile::encodeName(path);
  const QByteArray folder = QFile::encodeName(info.path());

  QString tempName;
  int fd = CreateTempBeside(info.path(), &tempName, 0666);
  if (fd < 0) return fail(Reason("stvaranje", errno));
  const QByteArray temp = QFile::encodeName(tempName);

  bool ok = true;
  QString why;
  struct stat st {};
  if (::stat(target.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
    // Keep the permissions the user gave the file; failure here is not fatal.
    (void)::fchmod(fd, st.st_mode & 07777);
  }
  if (!data.isEmpty() && !DiskWrite(fd, data.constData(), size_t(data.size()))) {
    ok = false;
    why = Reason("pisanje", errno);
  } else if (!DiskSync(fd)) {
    ok = false;
    why = Reason("sinkronizacija", errno);
  }
  if (!DiskClose(fd) && ok) {
    ok = false;
    why = Reason("zatvaranje", errno);
  }
  if (ok && !DiskRename(temp.constData(), target.constData(), true)) {
    ok = false;
    why = Reason("preimenovanje", errno);
  }
  if (!ok) {
    ::unlink(temp.constData());
    return fail(why);
  }
  // The rename itself reaches the disk only with the folder's entry.
  DiskSyncFolder(folder.constData());
  if (error) error->clear();
  return true;
}
