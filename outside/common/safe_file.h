#pragma once
// The whole-or-nothing file writer of the stand-in libraries, the self-extractor's
// stub and the middleware stand-in: the same steps as the program's own writer,
// in one copy here because outside/ cannot link the program's platform layer.
//
// A file is made under a hidden name beside its target, ".tarvi-<pid>-<random>.tmp"
// (the program's pattern: the pid tells a stale file of an ended process from one
// still being written), written with checked steps, synced, closed and renamed
// into place, and the folder synced; on any failure, and when the writer is
// dropped unfinished, the hidden file is removed.
//
// Each step returns true on success, else false with errno set to the reason.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace outside_io {

enum class DiskStep { kWrite, kClose, kSync, kRename };

// Test seam: the environment variable TARVI_DISK_FAULT="<step>:<nth>:<errno>"
// (step write, close, sync or rename; nth counted from 1 over this process's
// calls of that step since the variable last changed, 0 for every call) makes
// that step fail with errno without being tried. Read at every step, so a test
// may set it in a child's environment or between calls of a loaded library.
int InjectedFault(DiskStep step);

// All n bytes at the file's position (a short write is retried; one that makes
// no progress is ENOSPC).
bool DiskWrite(int fd, const void* data, size_t n);
// All n bytes at offset, leaving the file's position alone.
bool DiskWriteAt(int fd, const void* data, size_t n, uint64_t offset);
// Closes fd: the descriptor is gone either way.
bool DiskClose(int fd);
bool DiskSync(int fd);
// Within the folder open on dirfd. replace false never clobbers: EEXIST when to
// exists, and no moment in which to holds a part of from.
bool DiskRename(int dirfd, const std::string& from, const std::string& to, bool replace);
// Syncs a folder after a rename in it. Best effort.
void DiskSyncFolder(int dirfd);

// Whether name has the hidden pattern; the pid in it to *pid when given.
bool IsTempName(std::string_view name, pid_t* pid = nullptr);
// Removes the stale hidden files of the folder open on dirfd: regular files of
// this user whose process has certainly ended. Returns how many.
int RemoveStaleTempFiles(int dirfd);

class SafeFile {
 public:
  SafeFile() = default;
  ~SafeFile() { Discard(); }
  SafeFile(const SafeFile&) = delete;
  SafeFile& operator=(const SafeFile&) = delete;

  // A new hidden file beside target; a symbolic link as target is followed, so the
  // file it names is the one replaced. Opens (and keeps) target's folder.
  bool Create(const std::string& target, mode_t mode = 0600);
  // A new hidden file in the folder open on dirfd, which the caller keeps open
  // until the file is committed or discarded. mode is given before the umask.
  bool CreateIn(int dirfd, mode_t mode = 0600);

  int fd() const { return fd_; }
  const std::string& TempName() const { return temp_; }

  bool Write(const void* data, size_t n) { return DiskWrite(fd_, data, n); }
  bool WriteAt(const void* data, size_t n, uint64_t offset) { return DiskWriteAt(fd_, data, n, offset); }
  bool Sync() { return DiskSync(fd_); }
  bool Close();
  // Closes when still open, renames the file into place as leaf of its folder,
  // and syncs the folder. On failure the hidden file is removed.
  bool RenameTo(const std::string& leaf, bool replace);
  // Sync, close and rename to the target given to Create.
  bool Commit(bool replace);
  // Removes the hidden file (closing it first); nothing once committed.
  void Discard();

 private:
  int dirfd_ = -1;
  bool ownDir_ = false;
  int fd_ = -1;
  std::string temp_;
  std::string leaf_;  // Create's target, within dirfd_
};

}  // namespace outside_io
