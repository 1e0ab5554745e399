// libziplib.so: adds files to a ZIP archive for the ZIP component, over zlib. One
// call of ZipLibExec is one operation; all its state lives in the Adding below,
// so a callback may start another operation.
//
// The archive is always written anew, to a temporary file in its own folder, and
// renamed over the old one only when complete: an error or an abort leaves the
// old archive as it was. Entries of an existing archive are copied as they are
// stored; entries of the same name are replaced. Each file is deflated at the
// record's level, or stored when its suffix says so or deflating does not shrink
// it. Nothing of 4 GiB or more is written: without Zip64 the sizes and offsets
// would wrap.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "interfaces/ziplib_errors.h"
#include "interfaces/ziplib_names.h"
#include "interfaces/ziplib_records.h"
#include "lib_support.h"
#include "outside/common/safe_file.h"
#include "outside/worker_threads.h"
#include "parallel_deflate.h"
#include "zip_crypto.h"
#include "zip_format.h"

#define ZIPLIB_EXPORT extern "C" __attribute__((visibility("default")))

using namespace zipcommon;

namespace {

constexpr size_t kChunk = 65536;  // progress is reported at least this often
// Files larger than this are deflated in independent blocks that every core can
// work on; smaller ones in one stream, where starting threads would not pay.
constexpr uint64_t kBlocksFrom = uint64_t(4) << 20;
constexpr size_t kDeflateBlock = size_t(512) << 10;
constexpr size_t kOutBuffer = 262144;
constexpr uint16_t kMadeBy = 0x0014;  // MS-DOS, version 2.0
constexpr uint16_t kExternalArchive = 0x20, kExternalReadOnly = 0x01, kExternalFolder = 0x10;

bool IsFlagOn(int32_t v) { return v != 0; }

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A path as an entry name: "/" separators, no empty, "." or ".." components, no
// leading "/".
std::string CleanName(const std::string& path) {
  std::string out;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(pos, slash - pos);
    if (!part.empty() && part != "." && part != "..") {
      if (!out.empty()) out.push_back('/');
      out += part;
    }
    pos = slash + 1;
  }
  return out;
}

// Buffered output with its position; earlier bytes can be patched in place.
class Output {
 public:
  explicit Output(int fd) : fd_(fd), buf_(new uint8_t[kOutBuffer]) {}
  // After a failed write the archive is given up: the position then means nothing.
  bool Write(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    if (used_ + n > kOutBuffer) {
      if (!Flush()) return false;
      if (n >= kOutBuffer) {
        if (!outside_io::DiskWrite(fd_, p, n)) return false;
        pos_ += n;
        behind_.Written(fd_, pos_);
        return true;
      }
    }
    std::memcpy(buf_.get() + used_, p, n);
    used_ += n;
    pos_ += n;
    return true;
  }
  bool Flush() {
    if (used_ == 0) return true;
    const bool ok = outside_io::DiskWrite(fd_, buf_.get(), used_);
    used_ = 0;
    if (ok) behind_.Written(fd_, pos_);
    return ok;
  }
  bool PatchAt(uint64_t off, const void* data, size_t n) {
    if (!Flush()) return false;
    return outside_io::DiskWriteAt(fd_, data, n, off);
  }
  // Drops everything from off on.
  bool TruncateTo(uint64_t off) {
    if (!Flush()) return false;
    if (ftruncate(fd_, static_cast<off_t>(off)) != 0) return false;
    if (lseek(fd_, static_cast<off_t>(off), SEEK_SET) < 0) return false;
    pos_ = off;
    behind_.Rewound(off);
    return true;
  }
  uint64_t Pos() const { return pos_; }

 private:
  int fd_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t used_ = 0;
  uint64_t pos_ = 0;
  // What has reached the file goes to the disk while the archive is being made.
  WriteBehind behind_;
};

// One file (or folder) to add.
struct Source {
  std::string path;        // to open
  std::string entryName;   // UTF-8, "/" separators
  std::string storedName;  // the bytes written
  bool utf8 = false;       // storedName is UTF-8 (bit 11)
  std::string extra;       // the extra field, local and central
  std::string comment;     // the file comment, as stored
  bool folder = false;
  uint64_t size = 0;
  uint32_t dosTime = 0;
  bool readOnly = false;
  dev_t device = 0;  // which file it is: the same file named twice goes in once
  ino_t inode = 0;
  int replaces = -1;     // index of the existing entry of that name
  bool encrypt = false;  // written with the traditional ZIP encryption
  std::string password;  // its password, as bytes; empty until one is known
};

// A finished entry: its central header.
struct Written {
  std::vector<uint8_t> central;
  uint32_t dosTime = 0;
};

enum class Result { kOk, kSkip, kStop };

struct EntryHeader;

class Adding {
 public:
  Adding(ZipRec& rec, Callback& cb) : rec_(rec), cb_(cb) {}
  // An operation that ends early by an exception leaves no temporary file: the
  // writer removes it.
  ~Adding() {
    WipeString(specPassword_);
    for (Source& s : sources_) WipeString(s.password);
    for (Source& s : chosen_) WipeString(s.password);
  }
  int32_t Run();

 private:
  // The notices of record fields this system has no use for.
  void Notices();
  bool Collect();
  // The sources that go in (into chosen_), and the existing entries they replace.
  bool Choose(std::vector<bool>& replaced);
  // Nothing to do, no password, too many entries, or the program stopped at the
  // counts: false, each reported as ever.
  bool ReadyToWrite(const std::vector<bool>& replaced);
  // The hidden file the new archive is written to, beside the archive.
  bool OpenNewArchive();
  // The kept entries, then the new ones; isIn: which of chosen_ went in.
  bool WriteEntries(const std::vector<bool>& replaced, std::vector<bool>& isIn, int32_t& added);
  // The central directory and the end record, synced.
  bool WriteCentral();
  // The new archive in place of the old one.
  bool CommitArchive();
  // AddMove: the sources that went in, to the trash or deleted.
  void MoveSources(const std::vector<bool>& isIn);
  bool CollectSpec(const ZipSpec& spec);
  void Walk(const std::string& folder, const std::string& display, const std::string& pattern, bool recurse);
  void Consider(const std::string& path, const std::string& display, const struct stat& st, bool byPattern);
  bool Excluded(const std::string& entryName) const;
  bool StoreBySuffix(const std::string& entryName) const;
  bool ReadExisting();
  bool CopyRange(uint64_t from, uint64_t to);
  // An entry of the existing archive, copied as stored to the end of the new one.
  bool CopyEntry(const Entry& e);
  Result AddOne(Source& s);
  // The steps of AddOne: the program's say and the opened file (its CRC first
  // when it is encrypted); the data, deflated or stored; the central header.
  Result OpenSource(Source& s, Fd& in, bool encrypt, uint32_t& knownCrc);
  Result WriteEntryData(int in, Source& s, EntryHeader& eh, uint32_t knownCrc, uint32_t& crc, uint64_t& csize,
                        uint64_t& usize);
  void AddCentral(const Source& s, const EntryHeader& eh, uint64_t headerPos);
  Result Deflate(int in, Source& s, uint32_t& crc, uint64_t& csize, uint64_t& usize, int level);
  // The same in blocks, on the worker threads (or this one, with one thread).
  Result DeflateInBlocks(int in, Source& s, uint32_t& crc, uint64_t& csize, uint64_t& usize, int level);
  // progressCode: ZIPCB_PROGRESS, or ZIPCB_EXTRA_PROGRESS for a second pass.
  Result Store(int in, Source& s, uint32_t& crc, uint64_t& usize, int progressCode = ZIPCB_PROGRESS);
  // The CRC-32 of a file, read once before it is encrypted: the encryption header
  // checks the password against it, and it is written before the data.
  Result CrcOf(int in, Source& s, uint32_t& crc);
  // The next chunk of a file into in_: its length (0 at the end), or -1 once the
  // failure has been reported.
  ssize_t ReadChunk(int in, const Source& s);
  // Starts the encryption of an entry's data at the current position: its header.
  bool StartEncryption(const Source& s, uint32_t crc);
  // Entry data out, through the encryption when one is running.
  bool WriteData(uint8_t* data, size_t n);
  // Asks the program once for the password of every file that is to be encrypted
  // and has none; false when none was given (nothing is added then).
  bool AskAddPassword(std::vector<Source>& chosen);
  // The program's say on an entry before it is written: its comment (code 12) and
  // extra data (code 14). false when the operation is to stop.
  bool AskEntryDetails(Source& s);
  // Stores the entry's name (and comment) in code page 852 when both fit, else
  // both in UTF-8; a name that is not plain ASCII gets the Unicode path field.
  void EncodeTexts(Source& s, const std::string& userExtra);
  bool Stop(int code, const std::string& text) {
    cb_.Message(code, text);
    stop_ = true;
    return false;
  }
  bool Verbose() const { return IsFlagOn(rec_.Verbose) || IsFlagOn(rec_.Trace); }

  ZipRec& rec_;
  Callback& cb_;
  std::vector<Source> sources_;
  std::unordered_map<std::string, size_t> byName_;  // entry name -> index in sources_
  std::vector<Source> chosen_;                      // what goes in, in order
  std::vector<std::string> excl_;
  std::vector<std::string> suffixes_;
  time_t fromDate_ = 0;
  bool stop_ = false;

  Fd old_;
  mode_t oldMode_ = 0;
  Directory dir_;
  bool haveOld_ = false;
  Fd dirfd_;                  // the archive's folder
  std::string leaf_;          // the archive's name in it
  outside_io::SafeFile tmp_;  // the new archive until it is renamed into place

  std::unique_ptr<Output> out_;
  std::unique_ptr<uint8_t[]> in_{new uint8_t[kChunk]};
  std::unique_ptr<uint8_t[]> zbuf_{new uint8_t[kChunk]};
  std::vector<Written> written_;
  std::unique_ptr<ZipCrypto> crypt_;  // while an encrypted entry's data is written
  bool specEncrypt_ = false;          // of the file argument being collected
  std::string specPassword_;
};

bool Adding::Excluded(const std::string& entryName) const {
  const std::string base = BaseName(entryName);
  for (const std::string& x : excl_)
    if (x == entryName || WildcardMatch(x, entryName) || WildcardMatch(x, base)) return true;
  return false;
}

bool Adding::StoreBySuffix(const std::string& entryName) const {
  const std::string name = Lower(entryName);
  for (const std::string& s : suffixes_)
    if (!s.empty() && name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) return true;
  return false;
}

void Adding::Consider(const std::string& path, const std::string& display, const struct stat& st, bool byPattern) {
  if (stop_) return;
  const bool junk = IsFlagOn(rec_.JunkDirs);
  const bool folder = S_ISDIR(st.st_mode);
  if (byPattern && !IsFlagOn(rec_.Hidden) && BaseName(display).starts_with(".")) return;
  if (folder && (junk || IsFlagOn(rec_.NoDirEntries))) return;
  if (!folder && !S_ISREG(st.st_mode)) {
    cb_.Message(ZIPERR_READ, "Not a regular file, skipped: " + path);
    return;
  }
  Source s;
  s.path = path;
  s.folder = folder;
  s.entryName = junk ? BaseName(CleanName(display)) : CleanName(display);
  if (s.entryName.empty()) return;
  if (folder) s.entryName += '/';
  if (Excluded(s.entryName)) return;
  if (IsFlagOn(rec_.FromDate) && st.st_mtime < fromDate_) return;
  if (!folder && static_cast<uint64_t>(st.st_size) > kMax32) {
    Stop(ZIPERR_TOO_LARGE, "File of 4 GiB or more (Zip64 is not supported): " + path);
    return;
  }
  // The program may rename the entry; the new name is cleaned as any name.
  if (!cb_.Send(ZIPCB_NEW_NAME, 0, 0, s.entryName)) {
    stop_ = true;
    return;
  }
  if (cb_.Answer().Error == 1) {
    const ZipCallbackRec& a = cb_.Answer();
    std::string wanted(a.Msg.Text, strnlen(a.Msg.Text, sizeof a.Msg.Text));
    std::replace(wanted.begin(), wanted.end(), '\\', '/');
    std::string renamed = CleanName(wanted);
    if (renamed.empty() || !ziplib_names::IsValidUtf8(renamed)) {
      cb_.Message(0, "New name refused, kept " + s.entryName);
    } else {
      if (folder) renamed += '/';
      s.entryName = renamed;
    }
  }
  s.device = st.st_dev;
  s.inode = st.st_ino;
  if (const auto named = byName_.find(s.entryName); named != byName_.end()) {
    const Source& o = sources_[named->second];
    if (o.device == s.device && o.inode == s.inode) return;  // the same file named twice
    // Keeping either would silently drop the other: nothing is added.
    Stop(ZIPERR_DUPLICATE_NAME,
         "Two files for one entry name, nothing added: " + s.entryName + " (" + o.path + ", " + path + ")");
    return;
  }
  EncodeTexts(s, std::string());
  if (s.storedName.size() + s.extra.size() > 0xFFFF - kCentralHeaderSize) {
    cb_.Message(ZIPERR_READ, "Name too long, skipped: " + path);
    return;
  }
  s.size = folder ? 0 : static_cast<uint64_t>(st.st_size);
  s.dosTime = DosDateTime(st.st_mtime);
  s.readOnly = (st.st_mode & S_IWUSR) == 0;
  s.encrypt = specEncrypt_ && !folder;
  if (s.encrypt) s.password = specPassword_;
  byName_.emplace(s.entryName, sources_.size());
  sources_.push_back(std::move(s));
}

void Adding::Walk(const std::string& folder, const std::string& display, const std::string& pattern, bool recurse) {
  DIR* d = opendir(folder.c_str());
  if (!d) {
    cb_.Message(ZIPERR_READ, "Cannot read the folder " + folder + ": " + ErrnoText(errno));
    return;
  }
  std::vector<std::string> names;
  while (struct dirent* de = readdir(d)) {
    std::string n = de->d_name;
    if (n != "." && n != "..") names.push_back(std::move(n));
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    if (stop_) return;
    const std::string path = folder == "/" ? "/" + n : folder + "/" + n;
    const std::string shown = display.empty() ? n : display + "/" + n;
    struct stat lst {
    }, st{};
    if (lstat(path.c_str(), &lst) != 0) continue;
    // A linked file is added as the file it names; a linked folder is not entered,
    // so a link loop cannot run the walk forever.
    if (S_ISLNK(lst.st_mode)) {
      if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    } else {
      st = lst;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!recurse) continue;
      if (!IsFlagOn(rec_.Hidden) && n.starts_with(".")) continue;
      Consider(path, shown, st, true);
      Walk(path, shown, pattern, recurse);
    } else if (WildcardMatch(pattern, n)) {
      Consider(path, shown, st, true);
    }
  }
}

bool Adding::CollectSpec(const ZipSpec& spec) {
  if (!spec.Spec || !*spec.Spec) return true;
  std::string text = spec.Spec;
  const std::string root = spec.RootDir && *spec.RootDir ? spec.RootDir : "";
  const bool absolute = text[0] == '/';
  const std::string full = absolute || root.empty() ? text : root + "/" + text;
  std::string display = text;
  if (absolute && !root.empty() && text.size() > root.size() && text.compare(0, root.size(), root) == 0 &&
      text[root.size()] == '/')
    display = text.substr(root.size() + 1);
  const bool recurse = spec.Recurse != 0;
  const size_t before = sources_.size();
  specEncrypt_ = spec.Encrypt != 0;
  specPassword_ = spec.Password ? spec.Password : "";

  // A file argument that names an existing file is that file, whatever
  // characters it holds.
  struct stat st {};
  bool named = false;  // the argument names something that exists
  if (stat(full.c_str(), &st) == 0) {
    named = true;
    if (S_ISDIR(st.st_mode)) {
      Consider(full, display, st, false);
      if (recurse) Walk(full, CleanName(display), "*", true);
      named = sources_.size() > before || !IsFlagOn(rec_.NoDirEntries);
    } else {
      Consider(full, display, st, false);
    }
  } else if (HasWildcards(BaseName(text))) {
    std::string folder, pattern, shownFolder, unused;
    SplitPath(full, folder, pattern);
    SplitPath(display, shownFolder, unused);
    if (display.find('/') == std::string::npos) shownFolder.clear();
    Walk(folder, shownFolder, pattern, recurse);
  }
  if (stop_) return false;
  if (!named && sources_.size() == before && !cb_.Message(ZIPERR_NOTHING, "Nothing matches " + text)) return false;
  return !cb_.Aborted();
}

bool Adding::Collect() {
  for (int32_t i = 0; i < rec_.ExclCount; ++i) {
    if (!rec_.Excl[i]) continue;
    std::string x = rec_.Excl[i];
    std::replace(x.begin(), x.end(), '\\', '/');
    excl_.push_back(std::move(x));
  }
  if (rec_.StoreSuffixes) {
    std::string list = rec_.StoreSuffixes;
    size_t pos = 0;
    while (pos <= list.size()) {
      size_t colon = list.find(':', pos);
      if (colon == std::string::npos) colon = list.size();
      std::string s = Lower(list.substr(pos, colon - pos));
      if (!s.empty()) suffixes_.push_back(std::move(s));
      pos = colon + 1;
    }
  }
  if (IsFlagOn(rec_.FromDate)) {
    // "mm dd yy"; years below 80 are 20yy.
    auto num = [&](int at) { return (rec_.Date[at] - '0') * 10 + (rec_.Date[at + 1] - '0'); };
    struct tm tm {};
    const int yy = num(6);
    tm.tm_year = (yy < 80 ? 2000 + yy : 1900 + yy) - 1900;
    tm.tm_mon = std::clamp(num(0), 1, 12) - 1;
    tm.tm_mday = std::clamp(num(3), 1, 31);
    tm.tm_isdst = -1;
    fromDate_ = mktime(&tm);
  }
  for (int32_t i = 0; i < rec_.SpecCount; ++i)
    if (!CollectSpec(rec_.Specs[i])) return false;
  return true;
}

bool Adding::ReadExisting() {
  old_.Reset();
  int fd = open(rec_.Archive, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    return Stop(ZIPERR_READ, std::string("Cannot open the archive ") + rec_.Archive + ": " + ErrnoText(errno));
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
    close(fd);
    return true;  // an empty file becomes the new archive
  }
  old_.Adopt(fd);
  oldMode_ = st.st_mode & 0777;
  if (Problem p = ReadDirectory(fd, dir_))
    return Stop(p.code, "The existing archive cannot be read (" + p.text + "): " + rec_.Archive);
  for (const Entry& e : dir_.entries)
    if (e.problem)
      return Stop(e.problem.code, "The existing archive is damaged (" + e.problem.text + "): " + rec_.Archive);
  haveOld_ = true;
  return true;
}

bool Adding::CopyRange(uint64_t from, uint64_t to) {
  while (from < to) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(to - from, kChunk));
    if (!ReadAt(old_.get(), in_.get(), n, from)) return Stop(ZIPERR_READ, "Cannot read the existing archive");
    if (!out_->Write(in_.get(), n)) return Stop(ZIPERR_WRITE, "Cannot write the archive: " + ErrnoText(errno));
    from += n;
    // Copying the existing entries reports no progress of its own: a tick.
    if (!cb_.Send(ZIPCB_TICK, 0, 0, "")) {
      stop_ = true;
      return false;
    }
  }
  return true;
}

bool Adding::CopyEntry(const Entry& e) {
  uint64_t end = e.dataEnd;
  if (e.flag & kFlagDescriptor) {
    uint8_t sig[4];
    const uint64_t len = ReadAt(old_.get(), sig, 4, end) && Get32(sig) == kSigDescriptor ? 16 : 12;
    if (end + len <= dir_.centralPos) end += len;
  }
  const uint64_t newPos = out_->Pos();
  if (newPos > kMax32) return Stop(ZIPERR_TOO_LARGE, "Archive of 4 GiB or more (Zip64 is not supported)");
  if (!CopyRange(e.headerPos, end)) return false;
  Written w;
  w.dosTime = e.dosTime;
  w.central.resize(static_cast<size_t>(e.TotalSize()));
  if (!ReadAt(old_.get(), w.central.data(), w.central.size(), e.centralPos))
    return Stop(ZIPERR_READ, "Cannot read the existing archive");
  Put32(w.central.data() + 42, static_cast<uint32_t>(newPos));
  written_.push_back(std::move(w));
  return true;
}

// Deflates one entry's data from in to the archive (through WriteData, so an
// encrypted entry is encrypted as it goes out), counting its CRC and sizes.
ssize_t Adding::ReadChunk(int in, const Source& s) {
  while (true) {
    const ssize_t n = read(in, in_.get(), kChunk);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    cb_.Message(ZIPERR_READ, "Cannot read " + s.path + ": " + ErrnoText(errno));
    return -1;
  }
}

Result Adding::Deflate(int in, Source& s, uint32_t& crc, uint64_t& csize, uint64_t& usize, int level) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    Stop(ZIPERR_NO_MEMORY, "out of memory");
    return Result::kStop;
  }
  struct End {
    z_stream* z;
    ~End() { deflateEnd(z); }
  } end{&zs};
  bool eof = false;
  while (!eof) {
    const ssize_t n = ReadChunk(in, s);
    if (n < 0) return Result::kSkip;
    eof = n == 0;
    usize += static_cast<uint64_t>(n);
    if (usize > kMax32) {
      Stop(ZIPERR_TOO_LARGE, "File of 4 GiB or more (Zip64 is not supported): " + s.path);
      return Result::kStop;
    }
    crc = static_cast<uint32_t>(crc32(crc, in_.get(), static_cast<uInt>(n)));
    zs.next_in = in_.get();
    zs.avail_in = static_cast<uInt>(n);
    int ret;
    do {
      zs.next_out = zbuf_.get();
      zs.avail_out = static_cast<uInt>(kChunk);
      ret = deflate(&zs, eof ? Z_FINISH : Z_NO_FLUSH);
      const size_t produced = kChunk - zs.avail_out;
      if (produced && !WriteData(zbuf_.get(), produced)) {
        Stop(ZIPERR_WRITE, "Cannot write the archive: " + ErrnoText(errno));
        return Result::kStop;
      }
      csize += produced;
    } while (zs.avail_out == 0);
    if (eof && ret != Z_STREAM_END) {
      Stop(ZIPERR_WRITE, "Compression failed");
      return Result::kStop;
    }
    if (out_->Pos() > kMax32) {
      Stop(ZIPERR_TOO_LARGE, "Archive of 4 GiB or more (Zip64 is not supported)");
      return Result::kStop;
    }
    if (n > 0 && !cb_.Send(ZIPCB_PROGRESS, 0, static_cast<uint32_t>(n), "")) return Result::kStop;
  }
  return Result::kOk;
}

Result Adding::DeflateInBlocks(int in, Source& s, uint32_t& crc, uint64_t& csize, uint64_t& usize, int level) {
  int readErr = 0, writeErr = 0;
  bool tooLarge = false;
  uint64_t readSoFar = 0;
  parallel_deflate::Io io;
  io.read = [&](uint8_t* p, size_t n) -> ssize_t {
    while (true) {
      const ssize_t got = read(in, p, n);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        readErr = errno;
        return -1;
      }
      readSoFar += static_cast<uint64_t>(got);
      if (readSoFar > kMax32) {
        tooLarge = true;
        return -1;
      }
      return got;
    }
  };
  io.write = [&](uint8_t* p, size_t n) {
    if (!WriteData(p, n)) {
      writeErr = errno;
      return false;
    }
    if (out_->Pos() > kMax32) {
      tooLarge = true;
      return false;
    }
    return true;
  };
  io.progress = [&](size_t n) { return cb_.Send(ZIPCB_PROGRESS, 0, static_cast<uint32_t>(n), ""); };
  const parallel_deflate::Result r =
      parallel_deflate::DeflateBlocks(io, level, outside_threads::WorkerCount(), kDeflateBlock);
  switch (r.status) {
    case parallel_deflate::Status::kOk:
      crc = r.crc;
      csize = r.out;
      usize = r.in;
      return Result::kOk;
    case parallel_deflate::Status::kReadFailed:
      if (tooLarge) break;
      cb_.Message(ZIPERR_READ, "Cannot read " + s.path + ": " + ErrnoText(readErr));
      return Result::kSkip;
    case parallel_deflate::Status::kWriteFailed:
      if (tooLarge) break;
      Stop(ZIPERR_WRITE, "Cannot write the archive: " + ErrnoText(writeErr));
      return Result::kStop;
    case parallel_deflate::Status::kStopped: return Result::kStop;
    case parallel_deflate::Status::kNoMemory: Stop(ZIPERR_NO_MEMORY, "out of memory"); return Result::kStop;
  }
  Stop(ZIPERR_TOO_LARGE, "File or archive of 4 GiB or more (Zip64 is not supported): " + s.path);
  return Result::kStop;
}

Result Adding::Store(int in, Source& s, uint32_t& crc, uint64_t& usize, int progressCode) {
  while (true) {
    const ssize_t n = ReadChunk(in, s);
    if (n < 0) return Result::kSkip;
    if (n == 0) return Result::kOk;
    usize += static_cast<uint64_t>(n);
    if (usize > kMax32 || out_->Pos() + static_cast<uint64_t>(n) > kMax32) {
      Stop(ZIPERR_TOO_LARGE, "File or archive of 4 GiB or more (Zip64 is not supported): " + s.path);
      return Result::kStop;
    }
    crc = static_cast<uint32_t>(crc32(crc, in_.get(), static_cast<uInt>(n)));
    if (!WriteData(in_.get(), static_cast<size_t>(n))) {
      Stop(ZIPERR_WRITE, "Cannot write the archive: " + ErrnoText(errno));
      return Result::kStop;
    }
    if (!cb_.Send(progressCode, 0, static_cast<uint32_t>(n), "")) return Result::kStop;
  }
}

Result Adding::CrcOf(int in, Source& s, uint32_t& crc) {
  crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  while (true) {
    const ssize_t n = ReadChunk(in, s);
    if (n < 0) return Result::kSkip;
    if (n == 0) break;
    crc = static_cast<uint32_t>(crc32(crc, in_.get(), static_cast<uInt>(n)));
    if (!cb_.Send(ZIPCB_TICK, 0, 0, "")) return Result::kStop;
  }
  if (lseek(in, 0, SEEK_SET) != 0) {
    cb_.Message(ZIPERR_READ, "Cannot read " + s.path + ": " + ErrnoText(errno));
    return Result::kSkip;
  }
  return Result::kOk;
}

bool Adding::StartEncryption(const Source& s, uint32_t crc) {
  crypt_ = std::make_unique<ZipCrypto>(s.password);
  uint8_t header[kCryptHeaderSize];
  if (!crypt_->MakeHeader(CryptCheckByte(crc), header)) {
    crypt_.reset();
    return Stop(ZIPERR_WRITE, "No random bytes for the encryption header: " + ErrnoText(errno));
  }
  if (!out_->Write(header, sizeof header)) {
    crypt_.reset();
    return Stop(ZIPERR_WRITE, "Cannot write the archive: " + ErrnoText(errno));
  }
  return true;
}

bool Adding::WriteData(uint8_t* data, size_t n) {
  if (crypt_) crypt_->Encrypt(data, n);
  return out_->Write(data, n);
}

bool Adding::AskAddPassword(std::vector<Source>& chosen) {
  const Source* first = nullptr;
  for (const Source& s : chosen)
    if (s.encrypt && s.password.empty()) {
      first = &s;
      break;
    }
  if (!first) return true;
  // Bit 0 of the error slot: the adding library asks, so the program asks for the
  // password and its confirmation. -1 has that bit and is no answer: the program
  // writes 1 (a password) or 0 (none) over it.
  if (!cb_.Send(ZIPCB_PASSWORD, -1, 1, first->entryName)) return false;
  const ZipCallbackRec& a = cb_.Answer();
  std::string password;
  if (a.Error == 1) password.assign(a.Msg.Text, strnlen(a.Msg.Text, sizeof a.Msg.Text));
  struct Wipe {
    std::string& s;
    ~Wipe() { WipeString(s); }
  } wipe{password};
  if (password.empty()) {
    // Adding them in the clear would hand out what was to be protected.
    cb_.Message(ZIPERR_PASSWORD, "No password given for the files to encrypt; nothing added");
    return false;
  }
  for (Source& s : chosen)
    if (s.encrypt && s.password.empty()) s.password = password;
  return true;
}

void Adding::EncodeTexts(Source& s, const std::string& userExtra) {
  std::string comment;
  s.utf8 = !ziplib_names::EncodeOem(s.entryName, s.storedName) ||
           (!s.comment.empty() && !ziplib_names::EncodeOem(s.comment, comment));
  if (s.utf8) {
    s.storedName = s.entryName;
  } else {
    s.comment = comment;
  }
  s.extra = userExtra;
  // Every name that is not plain ASCII also goes in the Unicode path field, unless
  // the program gave its own: readers that cannot be told the code page need it
  // for a name in code page 852, and unzip needs it for a UTF-8 name too, as it
  // reads an MS-DOS entry's name as OEM text even when bit 11 calls it UTF-8.
  bool hasField = false;
  for (size_t at = 0; at + 4 <= userExtra.size();
       at += 4 + Get16(reinterpret_cast<const uint8_t*>(userExtra.data()) + at + 2))
    hasField =
        hasField || Get16(reinterpret_cast<const uint8_t*>(userExtra.data()) + at) == ziplib_names::kUnicodePathId;
  const bool ascii =
      std::all_of(s.entryName.begin(), s.entryName.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!hasField && !ascii) s.extra += ziplib_names::UnicodePathField(s.storedName, s.entryName);
}

bool Adding::AskEntryDetails(Source& s) {
  // Code 12: the name, and 256 bytes into the text area the current comment.
  ZipCallbackRec q{};
  q.Action = ZIPCB_COMMENT;
  PutText(q.Msg.Text, 256, s.entryName);
  if (!cb_.SendFilled(q)) return false;
  std::string comment;
  if (cb_.Answer().Error == 1) {
    const ZipCallbackRec& a = cb_.Answer();
    const size_t n = std::min<size_t>(strnlen(a.Msg.Text, sizeof a.Msg.Text),
                                      static_cast<size_t>(std::clamp<int32_t>(a.Size, 0, 511)));
    comment.assign(a.Msg.Text, n);
    if (!ziplib_names::IsValidUtf8(comment)) {
      cb_.Message(0, "File comment refused (not UTF-8): " + s.entryName);
      comment.clear();
    }
  }
  // Code 14: the extra data so far (none of the program's yet).
  ZipCallbackRec x{};
  x.Action = ZIPCB_EXTRA_DATA;
  PutText(x.Msg.Text, sizeof x.Msg.X.Lead, s.entryName);
  if (!cb_.SendFilled(x)) return false;
  std::string extra;
  if (cb_.Answer().Error == -1 && cb_.Answer().Size > 0) {
    const ZipCallbackRec& a = cb_.Answer();
    const size_t n = static_cast<size_t>(a.Size);
    if (n < sizeof a.Msg.Text)
      extra.assign(a.Msg.Text, n);
    else if (a.Msg.X.Extra && n <= 0xFFFF)
      extra.assign(reinterpret_cast<const char*>(a.Msg.X.Extra), n);
    // Only whole blocks of id and length, none claiming Zip64 sizes, and room
    // left for the name's own field.
    bool whole = !extra.empty() && extra.size() + 9 + s.entryName.size() <= 0xFFFF;
    size_t at = 0;
    while (whole && at < extra.size()) {
      const auto* p = reinterpret_cast<const uint8_t*>(extra.data()) + at;
      if (at + 4 > extra.size() || Get16(p) == 0x0001 || at + 4 + Get16(p + 2) > extra.size())
        whole = false;
      else
        at += 4 + Get16(p + 2);
    }
    if (!whole) {
      cb_.Message(0, "Extra data refused (not whole blocks, or too long): " + s.entryName);
      extra.clear();
    }
  }
  s.comment = comment;
  EncodeTexts(s, extra);
  if (s.storedName.size() + s.extra.size() + s.comment.size() > 0xFFFF - kCentralHeaderSize) {
    s.comment.clear();
    EncodeTexts(s, std::string());
    cb_.Message(0, "Comment and extra data dropped (too long with the name): " + s.entryName);
  }
  return !cb_.Aborted();
}

// What an entry's local header says; sizes and CRC are patched in once known.
struct EntryHeader {
  uint16_t method = kMethodStored;
  int level = 0;
  bool encrypt = false;
  uint8_t h[kLocalHeaderSize] = {};

  void Fill(const Source& s, uint32_t crc, uint32_t csize, uint32_t usize) {
    uint16_t flag = s.utf8 ? ziplib_names::kFlagUtf8 : 0;
    if (method == kMethodDeflated) flag |= level >= 8 ? 0x2 : level <= 2 ? 0x4 : 0;
    if (encrypt) flag |= kFlagEncrypted;
    Put32(h, kSigLocal);
    Put16(h + 4, method == kMethodDeflated || encrypt ? 20 : 10);
    Put16(h + 6, flag);
    Put16(h + 8, method);
    Put32(h + 10, s.dosTime);
    Put32(h + 14, crc);
    Put32(h + 18, csize);
    Put32(h + 22, usize);
    Put16(h + 26, static_cast<uint16_t>(s.storedName.size()));
    Put16(h + 28, static_cast<uint16_t>(s.extra.size()));
  }
};

Result Adding::OpenSource(Source& s, Fd& in, bool encrypt, uint32_t& knownCrc) {
  if (!cb_.Send(ZIPCB_NEW_FILE, 0, static_cast<uint32_t>(s.size), s.entryName)) return Result::kStop;
  if (!AskEntryDetails(s)) return Result::kStop;
  if (!s.folder) {
    int fd = open(s.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      cb_.Message(ZIPERR_READ, "Cannot open " + s.path + ": " + ErrnoText(errno));
      return cb_.Aborted() ? Result::kStop : Result::kSkip;
    }
    in.Adopt(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  if (encrypt) {
    Result r = CrcOf(in.get(), s, knownCrc);
    if (r != Result::kOk) return cb_.Aborted() ? Result::kStop : r;
  }
  return Result::kOk;
}

Result Adding::WriteEntryData(int in, Source& s, EntryHeader& eh, uint32_t knownCrc, uint32_t& crc, uint64_t& csize,
                              uint64_t& usize) {
  const uint64_t dataPos = out_->Pos();
  if (eh.encrypt && !StartEncryption(s, knownCrc)) return Result::kStop;
  if (s.folder) return Result::kOk;
  if (eh.method != kMethodDeflated) {
    const Result r = Store(in, s, crc, usize);
    csize = usize;
    return r;
  }
  const Result r = s.size > kBlocksFrom ? DeflateInBlocks(in, s, crc, csize, usize, eh.level)
                                        : Deflate(in, s, crc, csize, usize, eh.level);
  if (r != Result::kOk || csize < usize) return r;
  // Deflating did not shrink it: store it instead, reading the file again.
  eh.method = kMethodStored;
  if (!out_->TruncateTo(dataPos) || lseek(in, 0, SEEK_SET) != 0) {
    Stop(ZIPERR_WRITE, "Cannot rewrite the archive: " + ErrnoText(errno));
    return Result::kStop;
  }
  crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  usize = 0;
  if (eh.encrypt && !StartEncryption(s, knownCrc)) return Result::kStop;
  if (!cb_.Send(ZIPCB_EXTRA_STEP, 0, static_cast<uint32_t>(s.size), "*Storing " + s.entryName)) return Result::kStop;
  const Result stored = Store(in, s, crc, usize, ZIPCB_EXTRA_PROGRESS);
  csize = usize;
  return stored;
}

void Adding::AddCentral(const Source& s, const EntryHeader& eh, uint64_t headerPos) {
  Written w;
  w.dosTime = s.dosTime;
  w.central.assign(kCentralHeaderSize, 0);
  uint8_t* c = w.central.data();
  Put32(c, kSigCentral);
  Put16(c + 4, kMadeBy);
  std::memcpy(c + 6, eh.h + 4, 26);  // needed version through name length, as in the local header
  Put16(c + 30, static_cast<uint16_t>(s.extra.size()));
  Put16(c + 32, static_cast<uint16_t>(s.comment.size()));
  Put16(c + 34, 0);
  Put16(c + 36, 0);
  uint32_t attributes = s.folder ? kExternalFolder : kExternalArchive;
  if (s.readOnly) attributes |= kExternalReadOnly;
  Put32(c + 38, attributes);
  Put32(c + 42, static_cast<uint32_t>(headerPos));
  w.central.insert(w.central.end(), s.storedName.begin(), s.storedName.end());
  w.central.insert(w.central.end(), s.extra.begin(), s.extra.end());
  w.central.insert(w.central.end(), s.comment.begin(), s.comment.end());
  written_.push_back(std::move(w));
}

Result Adding::AddOne(Source& s) {
  const uint64_t headerPos = out_->Pos();
  if (headerPos > kMax32) {
    Stop(ZIPERR_TOO_LARGE, "Archive of 4 GiB or more (Zip64 is not supported)");
    return Result::kStop;
  }
  EntryHeader eh;
  eh.encrypt = s.encrypt && !s.folder;
  Fd in;
  uint32_t knownCrc = 0;
  if (Result r = OpenSource(s, in, eh.encrypt, knownCrc); r != Result::kOk) return r;
  eh.level = std::clamp(rec_.Level, 0, 9);
  eh.method = (s.folder || eh.level == 0 || StoreBySuffix(s.entryName)) ? kMethodStored : kMethodDeflated;
  eh.Fill(s, eh.encrypt ? knownCrc : 0, 0, 0);
  if (!out_->Write(eh.h, sizeof eh.h) || !out_->Write(s.storedName.data(), s.storedName.size()) ||
      !out_->Write(s.extra.data(), s.extra.size())) {
    Stop(ZIPERR_WRITE, "Cannot write the archive: " + ErrnoText(errno));
    return Result::kStop;
  }
  struct EndCrypt {
    std::unique_ptr<ZipCrypto>& c;
    ~EndCrypt() { c.reset(); }
  } endCrypt{crypt_};
  uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  uint64_t csize = 0, usize = 0;
  Result r = WriteEntryData(in.get(), s, eh, knownCrc, crc, csize, usize);
  if (r == Result::kOk && eh.encrypt && crc != knownCrc) {
    // The header already checks against the first reading.
    cb_.Message(ZIPERR_READ, "The file changed while it was added, skipped: " + s.path);
    r = Result::kSkip;
  }
  if (r == Result::kSkip || cb_.Aborted()) {
    if (!out_->TruncateTo(headerPos)) {
      Stop(ZIPERR_WRITE, "Cannot rewrite the archive: " + ErrnoText(errno));
      return Result::kStop;
    }
    return cb_.Aborted() ? Result::kStop : Result::kSkip;
  }
  if (r == Result::kStop) return r;
  if (eh.encrypt) csize += kCryptHeaderSize;
  if (csize > kMax32) {
    Stop(ZIPERR_TOO_LARGE, "File of 4 GiB or more (Zip64 is not supported): " + s.path);
    return Result::kStop;
  }
  eh.Fill(s, crc, static_cast<uint32_t>(csize), static_cast<uint32_t>(usize));
  if (!out_->PatchAt(headerPos, eh.h, sizeof eh.h)) {
    Stop(ZIPERR_WRITE, "Cannot write the archive: " + ErrnoText(errno));
    return Result::kStop;
  }
  AddCentral(s, eh, headerPos);
  if (Verbose() && !cb_.Message(0, std::string("Added: ") + s.entryName)) return Result::kStop;
  return Result::kOk;
}

void Adding::Notices() {
  if (IsFlagOn(rec_.Volume)) cb_.Message(0, "Volume labels are not available on this system; ignored");
  if (rec_.ArchiveOnly || rec_.ResetArchive)
    cb_.Message(0, "Archive attributes are not available on this system; ignored");
  if (IsFlagOn(rec_.ForceDos)) cb_.Message(0, "8.3 names are not used on this system; ignored");
}

bool Adding::Choose(std::vector<bool>& replaced) {
  const bool freshen = IsFlagOn(rec_.Freshen) && !IsFlagOn(rec_.Update);
  const bool update = IsFlagOn(rec_.Update);
  for (Source& s : sources_) {
    for (size_t i = 0; haveOld_ && i < dir_.entries.size(); ++i) {
      std::string stored;
      if (!ReadStoredName(old_.get(), dir_.entries[i], stored))
        return Stop(ZIPERR_READ, "Cannot read the existing archive");
      if (stored == s.storedName) {
        s.replaces = static_cast<int>(i);
        break;
      }
    }
    if ((freshen || update) && s.replaces >= 0 && !(s.dosTime > dir_.entries[static_cast<size_t>(s.replaces)].dosTime))
      continue;
    if (freshen && s.replaces < 0) continue;
    if (s.replaces >= 0) replaced[static_cast<size_t>(s.replaces)] = true;
    chosen_.push_back(std::move(s));
  }
  for (Source& s : sources_) WipeString(s.password);
  sources_.clear();
  return true;
}

bool Adding::ReadyToWrite(const std::vector<bool>& replaced) {
  if (chosen_.empty()) {
    cb_.Message(ZIPERR_NOTHING, "Nothing to do");
    cb_.Finish();
    return false;
  }
  if (!AskAddPassword(chosen_)) {
    cb_.Finish();
    return false;
  }
  const size_t kept = static_cast<size_t>(std::count(replaced.begin(), replaced.end(), false));
  if (kept + chosen_.size() > 0xFFFF) {
    cb_.Message(ZIPERR_TOO_LARGE, "More than 65535 entries (Zip64 is not supported)");
    return false;
  }
  uint32_t files = 0;
  uint64_t bytes = 0;
  for (const Source& s : chosen_) {
    if (!s.folder) ++files;
    bytes += s.size;
  }
  if (!cb_.Send(ZIPCB_FILE_COUNT, 0, files, "") ||
      !cb_.Send(ZIPCB_TOTAL_SIZE, 0, static_cast<uint32_t>(std::min<uint64_t>(bytes, 0xFFFFFFFFu)), "")) {
    cb_.Finish();
    return false;
  }
  return true;
}

bool Adding::OpenNewArchive() {
  std::string folder;
  SplitPath(rec_.Archive, folder, leaf_);
  dirfd_.Adopt(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirfd_) {
    cb_.Message(ZIPERR_WRITE, "Cannot open the archive's folder " + folder + ": " + ErrnoText(errno));
    return false;
  }
  if (!tmp_.CreateIn(dirfd_.get(), 0666)) {
    cb_.Message(ZIPERR_WRITE, "Cannot create a file in " + folder + ": " + ErrnoText(errno));
    return false;
  }
  if (haveOld_) fchmod(tmp_.fd(), oldMode_);
  out_ = std::make_unique<Output>(tmp_.fd());
  return true;
}

bool Adding::WriteEntries(const std::vector<bool>& replaced, std::vector<bool>& isIn, int32_t& added) {
  bool ok = true;
  if (haveOld_) {
    // Anything in front of the first entry (a self-extractor) stays in front.
    uint64_t first = dir_.centralPos;
    for (const Entry& e : dir_.entries) first = std::min(first, e.headerPos);
    ok = CopyRange(0, first);
    for (size_t i = 0; ok && i < dir_.entries.size(); ++i)
      if (!replaced[i]) ok = CopyEntry(dir_.entries[i]);
  }
  // Only what went in may replace an entry or lose its source (AddMove).
  for (size_t i = 0; ok && i < chosen_.size(); ++i) {
    const Result r = AddOne(chosen_[i]);
    if (r == Result::kStop) ok = false;
    isIn[i] = r == Result::kOk;
    if (isIn[i] && !chosen_[i].folder) ++added;
    if (r == Result::kSkip && chosen_[i].replaces >= 0)
      ok = CopyEntry(dir_.entries[static_cast<size_t>(chosen_[i].replaces)]);
  }
  return ok;
}

bool Adding::WriteCentral() {
  const uint64_t centralPos = out_->Pos();
  uint64_t centralSize = 0;
  for (const Written& w : written_) {
    if (!out_->Write(w.central.data(), w.central.size()))
      return Stop(ZIPERR_WRITE, "Cannot write the archive: " + ErrnoText(errno));
    centralSize += w.central.size();
  }
  const std::string comment = rec_.Comment ? std::string(rec_.Comment).substr(0, kMaxComment) : std::string();
  if (centralPos > kMax32 || centralSize > kMax32 || out_->Pos() > kMax32)
    return Stop(ZIPERR_TOO_LARGE, "Archive of 4 GiB or more (Zip64 is not supported)");
  uint8_t end[kEndRecordSize] = {};
  Put32(end, kSigEnd);
  Put16(end + 8, static_cast<uint16_t>(written_.size()));
  Put16(end + 10, static_cast<uint16_t>(written_.size()));
  Put32(end + 12, static_cast<uint32_t>(centralSize));
  Put32(end + 16, static_cast<uint32_t>(centralPos));
  Put16(end + 20, static_cast<uint16_t>(comment.size()));
  if (!out_->Write(end, sizeof end) || !out_->Write(comment.data(), comment.size()) || !out_->Flush() || !tmp_.Sync())
    return Stop(ZIPERR_WRITE, "Cannot write the archive: " + ErrnoText(errno));
  return true;
}

bool Adding::CommitArchive() {
  if (IsFlagOn(rec_.ZipTime)) {
    uint32_t newest = 0;
    for (const Written& w : written_) newest = std::max(newest, w.dosTime);
    const time_t t = FromDosDateTime(newest);
    const struct timespec times[2] = {{t, 0}, {t, 0}};
    futimens(tmp_.fd(), times);
  }
  if (!tmp_.Close()) return Stop(ZIPERR_WRITE, "Cannot write the archive: " + ErrnoText(errno));
  if (!tmp_.RenameTo(leaf_, true))
    return Stop(ZIPERR_WRITE, std::string("Cannot replace the archive ") + rec_.Archive + ": " + ErrnoText(errno));
  return true;
}

void Adding::MoveSources(const std::vector<bool>& isIn) {
  for (size_t i = 0; i < chosen_.size(); ++i) {
    const Source& s = chosen_[i];
    if (s.folder || !isIn[i]) continue;
    std::string why;
    if (IsFlagOn(rec_.AllowUndo)) {
      if (!MoveToTrash(s.path, why)) cb_.Message(0, "Kept " + s.path + " (cannot move it to the trash: " + why + ")");
    } else if (unlink(s.path.c_str()) != 0) {
      cb_.Message(0, "Cannot delete " + s.path + ": " + ErrnoText(errno));
    }
  }
}

int32_t Adding::Run() {
  Notices();
  if (cb_.Aborted()) return 0;
  if (!Collect() || !ReadExisting()) return 0;
  // Which files go in, against the entries already there.
  std::vector<bool> replaced(dir_.entries.size(), false);
  if (!Choose(replaced) || !ReadyToWrite(replaced) || !OpenNewArchive()) return 0;
  std::vector<bool> isIn(chosen_.size(), false);
  int32_t added = 0;
  bool ok = WriteEntries(replaced, isIn, added);
  if (ok && !cb_.Aborted()) ok = WriteCentral();
  if (ok && !cb_.Aborted()) ok = CommitArchive();
  if (!ok || cb_.Aborted()) {
    tmp_.Discard();
    cb_.Finish();
    return 0;
  }
  if (IsFlagOn(rec_.Move)) MoveSources(isIn);
  if (!cb_.Aborted()) cb_.Send(ZIPCB_END_BATCH, 0, 0, "");
  cb_.Finish();
  return added;
}

}  // namespace

ZIPLIB_EXPORT int32_t GetZipLibVersion(void) { return ZIPLIB_OWN_VERSION; }

ZIPLIB_EXPORT int32_t ZipLibExec(ZipRec* rec) {
  if (!rec || !rec->Callback) return 0;
  Callback cb(rec->Callback, rec->Instance, true);
  if (rec->Seven != ZIPABI_SENTINEL || rec->Version < ZIPABI_ZIP_RECORD_VERSION || !rec->Archive || !*rec->Archive ||
      rec->SpecCount < 0 || (rec->SpecCount > 0 && !rec->Specs) || rec->ExclCount < 0 ||
      (rec->ExclCount > 0 && !rec->Excl)) {
    cb.Message(ZIPERR_BAD_RECORD, "invalid parameter record");
    return 0;
  }
  try {
    Adding a(*rec, cb);
    return a.Run();
  } catch (const std::bad_alloc&) {
    cb.Message(ZIPERR_NO_MEMORY, "out of memory");
  } catch (...) {
    cb.Message(ZIPERR_WRITE, "internal error");
  }
  cb.Finish();
  return 0;
}
