#include "platform/disk_steps.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <QFileDevice>
#include <QFileInfo>
#include <cerrno>
#include <utility>

namespace {

DiskFaultHook& Hook() {
  static DiskFaultHook hook;
  return hook;
}

// False (errno set) when the seam fails this step.
bool Allowed(DiskStep step) {
  const DiskFaultHook& hook = Hook();
  if (!hook) return true;
  const int err = hook(step);
  if (err == 0) return true;
  errno = err;
  return false;
}

}  // namespace

bool DiskWrite(int fd, const void* data, size_t n) {
  if (!Allowed(DiskStep::Write)) return false;
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    p += w;
    n -= size_t(w);
  }
  return true;
}

bool DiskWriteAt(int fd, const void* data, size_t n, int64_t offset) {
  if (!Allowed(DiskStep::Write)) return false;
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, p, n, off_t(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    p += w;
    offset += w;
    n -= size_t(w);
  }
  return true;
}

bool DiskClose(int fd) {
  if (!Allowed(DiskStep::Close)) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return false;
  }
  // Linux releases the descriptor even when close reports an error: never retry.
  return ::close(fd) == 0 || errno == EINTR;
}

bool DiskSync(int fd) { return Allowed(DiskStep::Sync) && ::fsync(fd) == 0; }

bool DiskRename(const char* from, const char* to, bool replace) {
  if (!Allowed(DiskStep::Rename)) return false;
  if (replace) return ::rename(from, to) == 0;
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a hard link fails as well when the name exists.
  if (::link(from, to) != 0) return false;
  ::unlink(from);
  return true;
}

void DiskSyncFolder(const char* folder) {
  const int d = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0) return;
  (void)::fsync(d);
  ::close(d);
}

QString DiskErrorText(int err) {
  // The program speaks Croatian whatever the system's locale (a fresh machine
  // runs C.UTF-8, whose C library texts are English), so the reasons are its own.
  switch (err) {
    case 0: return QStringLiteral("Nema pogreške");
    case EPERM: return QStringLiteral("Operacija nije dopuštena");
    case ENOENT: return QStringLiteral("Nema takve datoteke ili mape");
    case ESRCH: return QStringLiteral("Nema takvog procesa");
    case EINTR: return QStringLiteral("Sistemski poziv je prekinut");
    case EIO: return QStringLiteral("Ulazno-izlazna pogreška");
    case ENXIO: return QStringLiteral("Nema takvog uređaja ili adrese");
    case E2BIG: return QStringLiteral("Popis argumenata je predugačak");
    case ENOEXEC: return QStringLiteral("Neispravan format izvršne datoteke");
    case EBADF: return QStringLiteral("Neispravan opisnik datoteke");
    case EAGAIN: return QStringLiteral("Resurs trenutačno nije dostupan");
    case ENOMEM: return QStringLiteral("Nema dovoljno memorije");
    case EACCES: return QStringLiteral("Pristup nije dopušten");
    case EFAULT: return QStringLiteral("Neispravna adresa");
    case EBUSY: return QStringLiteral("Uređaj ili resurs je zauzet");
    case EEXIST: return QStringLiteral("Datoteka već postoji");
    case EXDEV: return QStringLiteral("Veza između različitih uređaja nije moguća");
    case ENODEV: return QStringLiteral("Nema takvog uređaja");
    case ENOTDIR: return QStringLiteral("Nije mapa");
    case EISDIR: return QStringLiteral("To je mapa");
    case EINVAL: return QStringLiteral("Neispravan argument");
    case ENFILE: return QStringLiteral("Previše otvorenih datoteka u sustavu");
    case EMFILE: return QStringLiteral("Previše otvorenih datoteka");
    case ETXTBSY: return QStringLiteral("Izvršna datoteka je zauzeta");
    case EFBIG: return QStringLiteral("Datoteka je prevelika");
    case ENOSPC: return QStringLiteral("Nema više mjesta na uređaju");
    case ESPIPE: return QStringLiteral("Nedopušteno pozicioniranje");
    case EROFS: return QStringLiteral("Datotečni sustav je samo za čitanje");
    case EMLINK: return QStringLiteral("Previše veza");
    case EPIPE: return QStringLiteral("Prekinuta cijev");
    case EDEADLK: return QStringLiteral("Izbjegnuto međusobno blokiranje resursa");
    case ENAMETOOLONG: return QStringLiteral("Naziv datoteke je predugačak");
    case ENOLCK: return QStringLiteral("Nema slobodnih zaključavanja");
    case ENOSYS: return QStringLiteral("Funkcija nije ostvarena");
    case ENOTEMPTY: return QStringLiteral("Mapa nije prazna");
    case ELOOP: return QStringLiteral("Previše razina simboličkih veza");
    case EOVERFLOW: return QStringLiteral("Vrijednost je prevelika za svoj tip podataka");
    case EILSEQ: return QStringLiteral("Neispravan ili nepotpun višebajtni znak");
    case ENOBUFS: return QStringLiteral("Nema slobodnog međuspremnika");
    case EOPNOTSUPP: return QStringLiteral("Operacija nije podržana");
    case ETIMEDOUT: return QStringLiteral("Isteklo je vrijeme čekanja");
    case ECONNREFUSED: return QStringLiteral("Veza je odbijena");
    case ESTALE: return QStringLiteral("Zastarjeli opisnik datoteke");
    case EDQUOT: return QStringLiteral("Kvota diska je premašena");
    case ENOMEDIUM: return QStringLiteral("Nema medija u uređaju");
    case ECANCELED: return QStringLiteral("Operacija je otkazana");
    default: return QStringLiteral("Nepoznata pogreška ") + QString::number(err);
  }
}

QString FileErrorText(const QFileDevice& file, int err) {
  if (err == 0 && file.error() == QFileDevice::OpenError) {
    // Qt opens a folder and then refuses it in English, leaving errno alone.
    err = QFileInfo(file.fileName()).isDir() ? EISDIR : file.fileName().isEmpty() ? ENOENT : EIO;
  }
  return DiskErrorText(err != 0 ? err : EIO);
}

DiskFaultHook SetDiskFaultHook(DiskFaultHook hook) { return std::exchange(Hook(), std::move(hook)); }
