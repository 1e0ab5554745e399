#pragma once
// The program's one transactional file writer: every file the program writes or
// changes in a user's folder (and its own registry and descriptions) is made by it.
//
// The bytes go to a new file under the hidden temporary name of
// platform/temp_beside.h in the target's own folder; it is flushed to disk and
// renamed into place once complete, and the folder is synced after the rename. On
// any failure, or when the object dies uncommitted, the new file is removed and
// the target is as it was. Every step goes through platform/disk_steps.h, so the
// test seam there can fail any one of them. A new file can be kept from replacing
// one that appeared meanwhile; a changed file replaces the old one in a single
// rename and keeps its mode bits.
//
// A target that is a symbolic link is followed: the file it leads to is replaced
// in its own folder and the link stays a link. A target with other hard links
// cannot be replaced without splitting it from them (the other names would keep
// the old bytes), so a writer that must change every name of a file refuses it.
#include <sys/types.h>

#include <QString>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>

// The step at which a replacement file failed: each caller names it in its own words.
enum class WriteStep {
  None,
  Create,  // making the new file beside the target (or a hard-linked target refused)
  Write,   // writing, cutting or setting the file's bits and times
  Sync,    // fsync before the rename
  Close,   // closing, which reports a deferred write failure
  Check,   // the caller's check before the rename, or a hard link made meanwhile
  Rename,  // the rename into place
};

class TReplacementFile {
 public:
  TReplacementFile() = default;
  ~TReplacementFile();
  TReplacementFile(const TReplacementFile&) = delete;
  TReplacementFile& operator=(const TReplacementFile&) = delete;

  // What to do with a target that has other hard links.
  enum class HardLinks { Split, Refuse };

  // Creates the new file (mode 0600 until commit) in the folder of target, where
  // target is the file a symbolic link leads to, under the hidden temporary name
  // of platform/temp_beside.h (stale ones of ended runs there are removed first).
  // With HardLinks::Refuse, a target with more than one link is refused (here,
  // and again at the commit). False with the reason in error().
  bool Create(const QString& target, HardLinks hardLinks = HardLinks::Split);
  bool IsOpen() const { return fd_ >= 0; }
  const QString& TempPath() const { return tempPath_; }
  const QString& Target() const { return target_; }
  // The failure in English ("Unable to write <file>: <reason>"), for the callers
  // that show it so.
  const QString& Error() const { return error_; }
  // The system's error number behind the last failure (0 before any).
  int SystemError() const { return errno_; }
  // The step of the last failure (None before any).
  WriteStep FailedStep() const { return step_; }

  // Appends all bytes (or fails: a short write is a failure).
  bool Write(const void* data, size_t size);
  // Writes all bytes at offset, leaving the append position alone.
  bool WriteAt(int64_t offset, const void* data, size_t size);
  // Reads up to size bytes at offset of what was written; the count, -1 on error.
  int64_t ReadAt(int64_t offset, void* data, size_t size);
  // Cuts the file to size and moves the append position there.
  bool Truncate(int64_t size);
  int64_t Size() const { return size_; }

  // The permission bits the committed file gets, in place of those of the file it
  // replaces (or, for a new file, 0666 less the umask). Kept across Create.
  void SetMode(mode_t mode) { mode_ = int(mode & 07777); }
  // Sets the new file's modification time (after its last write).
  bool SetModificationTime(const struct timespec& mtime);

  // Flushes and closes the file, then renames it to the target: with replace,
  // over the existing target (whose mode bits it takes); without, only when no
  // file of that name exists. The folder is flushed too. False with error() set,
  // the new file then removed.
  bool Commit(bool replace);
  // A check that Commit runs last, just before the rename: a non-zero result is
  // the error number with which the commit fails, the target left as it is.
  void CheckBeforeRename(std::function<int()> check) { beforeRename_ = std::move(check); }
  // Removes the new file (also what the destructor does before a commit).
  void Discard();

 private:
  bool Fail(WriteStep step, const QString& what);
  bool HasOtherLinks();
  mode_t CommitMode(bool replace) const;
  bool FlushAndClose(bool replace);
  bool RenameIntoPlace(bool replace);
  int fd_ = -1;
  HardLinks hardLinks_ = HardLinks::Split;
  QString target_, tempPath_, error_;
  int64_t size_ = 0;
  int errno_ = 0;
  WriteStep step_ = WriteStep::None;
  int mode_ = -1;  // -1: the replaced file's bits, or a new file's usual ones
  std::function<int()> beforeRename_;
  int64_t writebackFrom_ = 0;  // written bytes below this are already on their way to disk
  bool committed_ = false;
};

// The error text of a target that has other hard links (%1 the target, %2 its
// number of links).
inline const QString kMsgHardLinkedFile =
    QStringLiteral("Unable to write %1: the file has %2 hard links, and changing it would split them");
