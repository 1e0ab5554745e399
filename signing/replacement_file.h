#pragma once
// Writing a file so that its final name only ever shows a whole file: the
// bytes go to a new file with a unique name in the target's own folder, which is
// flushed to disk and renamed into place once complete; on any failure, or when
// the object dies uncommitted, the new file is removed and the target is as it
// was. A new container never replaces a file that appeared meanwhile; a changed
// container replaces the old one in a single rename and keeps its mode bits.
//
// A target that is a symbolic link is followed: the file it leads to is replaced
// in its own folder and the link stays a link. A target with other hard links
// cannot be replaced without splitting it from them (the other names would keep
// the old bytes), so a writer that must change every name of a file refuses it.
//
// Beside it, a container source that copies every byte the strict reader reads
// into such a file, so a container is validated, digested and copied in one pass
// and the copy holds exactly the bytes that were checked.
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

#include "signing/base64.h"
#include "signing/container.h"

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
  const QString& Error() const { return error_; }
  // The system's error number behind the last failure (0 before any).
  int SystemError() const { return errno_; }

  // Appends all bytes (or fails: a short write is a failure).
  bool Write(const void* data, size_t size);
  // Writes all bytes at offset, leaving the append position alone.
  bool WriteAt(int64_t offset, const void* data, size_t size);
  // Reads up to size bytes at offset of what was written; the count, -1 on error.
  int64_t ReadAt(int64_t offset, void* data, size_t size);
  // Cuts the file to size and moves the append position there.
  bool Truncate(int64_t size);
  int64_t Size() const { return size_; }

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
  bool Fail(const QString& what);
  bool HasOtherLinks();
  int fd_ = -1;
  HardLinks hardLinks_ = HardLinks::Split;
  QString target_, tempPath_, error_;
  int64_t size_ = 0;
  int errno_ = 0;
  std::function<int()> beforeRename_;
  int64_t writebackFrom_ = 0;  // written bytes below this are already on their way to disk
  bool committed_ = false;
};

// The error text of a target that has other hard links (%1 the target, %2 its
// number of links).
inline const QString kMsgHardLinkedFile =
    QStringLiteral("Unable to write %1: the file has %2 hard links, and changing it would split them");

// Appends a stream to a replacement file through a 64 KiB buffer; a failed write
// throws EWriteError (the file's SystemError() tells why). Finish() writes what
// the buffer still holds.
class ReplacementFileSink : public ByteSink {
 public:
  explicit ReplacementFileSink(TReplacementFile& out) : out_(out) {}
  void Write(const void* data, size_t size) override;
  void Finish();

 private:
  TReplacementFile& out_;
  std::vector<uint8_t> buffer_;
};

// A work file in the program's private temporary folder, written as a stream
// through a 64 KiB buffer with every step checked. It is not synced: it is read
// back and deleted by the same operation, and nothing of it is kept across a crash.
class TWorkFileSink : public ByteSink {
 public:
  TWorkFileSink() = default;
  ~TWorkFileSink();
  TWorkFileSink(const TWorkFileSink&) = delete;
  TWorkFileSink& operator=(const TWorkFileSink&) = delete;
  // Creates the file (or empties it), mode 0600. False with SystemError() set.
  bool Open(const QString& path);
  // Throws EWriteError when a step fails.
  void Write(const void* data, size_t size) override;
  // Writes what the buffer holds and closes the file; false when either fails.
  bool Close();
  int SystemError() const { return errno_; }

 private:
  bool Drain();
  int fd_ = -1;
  int errno_ = 0;
  std::vector<uint8_t> buffer_;
};

// The error number of a full or failing disk whose system text appears in a
// message (as the ZIP libraries report a failed write), else 0.
int DiskErrorInMessage(const QString& message);

// Reads through to another source and writes every byte read, at its own offset,
// into a replacement file; reports the position after each read. A failed write
// makes the read fail too, so the reader stops with a read error; WriteFailed()
// tells the two apart.
class SgnCopyingSource : public SgnSource {
 public:
  using Progress = std::function<void(int64_t position, int64_t size)>;
  SgnCopyingSource(SgnSource& inner, TReplacementFile* copy, Progress progress = {})
      : inner_(inner), copy_(copy), progress_(std::move(progress)), total_(progress_ ? inner.size() : 0) {}
  int64_t size() const override { return inner_.size(); }
  int64_t readAt(int64_t offset, void* buf, size_t n) override;
  bool WriteFailed() const { return writeFailed_; }
  // The highest offset read so far: equal to size() after a complete pass.
  int64_t Covered() const { return covered_; }

 private:
  SgnSource& inner_;
  TReplacementFile* copy_;
  Progress progress_;
  int64_t total_;  // asked once: a file's size costs a system call, and a pass reads many blocks
  bool writeFailed_ = false;
  int64_t covered_ = 0;
};

// Progress for a byte count beyond 32 bits: both figures scaled down together so
// the maximum fits, then ShowProgress (signing/progress_window.h).
void ShowProgress64(int64_t position, int64_t maximum, const QString& description, const QString& caption);

// A new folder of its own (mode 0700) in the program's temporary folder, named
// prefix + six random characters; empty when it cannot be made. Work files go in
// there under their fixed names, out of reach of any other run or user.
QString CreatePrivateWorkFolder(const QString& prefix);

// Such a work folder, removed with everything in it when the operation ends,
// whichever way it ends (or earlier, through remove()).
struct TWorkFolder {
  QString path;
  TWorkFolder() = default;
  TWorkFolder(const TWorkFolder&) = delete;
  TWorkFolder& operator=(const TWorkFolder&) = delete;
  ~TWorkFolder() { remove(); }
  void remove();
};
