#pragma once
// The exclusive hold on a container that an operation rewrites (adding a signer,
// revoking one) from its first read to its final rename, so that two writers at
// the same time never lose each other's change: the second waits a little for
// the first, or is told the container is in use.
//
// The lock is an advisory flock on the file the path leads to (through a
// symbolic link, its target). A rewrite replaces that file by a new one with
// its own inode, so a waiter that wins the lock checks that the path still names
// the file it locked, and starts over on the new file when it does not. Before
// its own rename a writer asks Changed(): a program that ignores the lock and
// changed or replaced the file meanwhile makes the rename fail instead of
// undoing its change.
#include <sys/types.h>

#include <QString>
#include <cerrno>
#include <ctime>

// How long a second writer waits for the first before it is told the container is in use.
inline constexpr int kContainerLockWaitMs = 5000;

class TContainerLock {
 public:
  TContainerLock() = default;
  ~TContainerLock() { Release(); }
  TContainerLock(const TContainerLock&) = delete;
  TContainerLock& operator=(const TContainerLock&) = delete;

  // Locks the file that path names, waiting up to waitMs while another writer
  // holds it. False with SystemError() set: EWOULDBLOCK when the wait ran out
  // (Busy()), else the reason the file could not be opened. On a file system
  // without locks the file's identity is still taken, and Changed() still holds.
  bool Acquire(const QString& path, int waitMs = kContainerLockWaitMs);
  bool Busy() const { return error_ == EWOULDBLOCK; }
  int SystemError() const { return error_; }

  // 0 when the path still names the file that was locked, with the size and
  // modification time it had then; else an error number (EWOULDBLOCK when it
  // was changed or replaced, or nothing is held).
  int Changed() const;

  void Release();

 private:
  int fd_ = -1;
  QString path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  off_t size_ = 0;
  timespec mtime_{};
  int error_ = 0;
};
