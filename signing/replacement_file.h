#pragma once
// The signing engine's streams over the program's one transactional writer
// (TReplacementFile, platform/replacement_file.h): a buffered sink that appends
// to a replacement file, a container source that copies every byte the strict
// reader reads into such a file (so a container is validated, digested and
// copied in one pass and the copy holds exactly the bytes that were checked),
// and the work files and folders in the program's private temporary folder.
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/replacement_file.h"
#include "signing/base64.h"
#include "signing/container.h"

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
