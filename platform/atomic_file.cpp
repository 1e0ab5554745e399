#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <random>

#include "platform/disk_steps.h"

namespace {

// The step that failed and the system's reason, both in the program's Croatian.
QString Reason(const char* step, int err) {
  return QString::fromUtf8(step) + ": " + DiskErrorText(err);
}

// A name that nobody else in the folder uses: opened with O_EXCL.
int CreateTemp(const QByteArray& folder, const QByteArray& base, QByteArray* tempPath, int* err) {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    QByteArray name = folder + "/." + base + ".tmp" + QByteArray::number(static_cast<quint32>(rd()), 16);
    int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      *tempPath = name;
      return fd;
    }
    if (errno != EEXIST) {
      *err = errno;
      return -1;
    }
  }
  *err = EEXIST;
  return -1;
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
  const QByteArray base = QFile::encodeName(info.fileName());

  int err = 0;
  QByteArray temp;
  int fd = CreateTemp(folder, base, &temp, &err);
  if (fd < 0) return fail(Reason("stvaranje", err));

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
