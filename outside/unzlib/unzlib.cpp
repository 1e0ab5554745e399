// libunzlib.so: extracts (or tests) the entries of a ZIP archive for the ZIP
// component, over zlib. One call of UnzLibExec is one operation; all its state
// lives in the Extraction below, so a callback may start another operation.
//
// What it refuses, entry by entry, so that nothing lands outside the target
// folder and nothing larger than declared is written:
//   - names that are empty, absolute, carry a drive letter, an empty, "." or ".."
//     component, or a control character;
//   - symbolic links and other special files (they are never created);
//   - entries whose data lies outside the archive or overlaps another entry;
//   - data that inflates to more or less than the declared size, or whose CRC
//     does not match;
//   - Zip64 and multi-disk archives, methods other than stored and deflated, and
//     entries encrypted other than with the traditional ZIP encryption;
//   - a second entry that would write a file already written in this run.
// An encrypted entry is written only once a password has passed both its
// header's check byte and a full trial decryption against the CRC, so a wrong
// password never leaves a file behind.
// Folders on the way are walked without following symbolic links; each file is
// written under a temporary name in its folder and renamed into place complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <semaphore>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib_support.h"
#include "outside/worker_threads.h"
#include "zip_crypto.h"
#include "zip_format.h"
#include "interfaces/ziplib_errors.h"
#include "interfaces/ziplib_names.h"
#include "interfaces/ziplib_records.h"

#define UNZLIB_EXPORT extern "C" __attribute__((visibility("default")))

using namespace zipcommon;

namespace {

constexpr size_t kChunk = 65536;  // progress is reported at least this often
// An entry from this size on is written and summed on a worker thread while the
// calling thread inflates the next chunk; below it a thread would cost more than
// it saves.
constexpr uint64_t kThreadedFrom = uint64_t(1) << 20;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  ~Fd() { Reset(); }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool IsFlagOn(int32_t v) { return v != 0; }

// How many chunks may wait to be written: a write that stalls for a moment (the
// page cache, the disk) holds up the inflating only once all of them are made.
constexpr size_t kDepth = 8;

// Writes the chunks of one entry to its file (none for a test) and sums their CRC,
// in order, each chunk made in the next of kDepth buffers. Threaded, one worker
// does it while the caller makes the next chunks: a buffer stays untouched from
// Start until the Settle that returns its chunk, and only the caller talks to the
// program, so every callback comes as it would on one thread.
class ChunkSink {
 public:
  ChunkSink(int out, uint8_t* buffers, bool threaded) : out_(out), buffers_(buffers) {
    if (!threaded) return;
    try {
      worker_ = std::thread([this] {
        for (size_t next = 0;; ++next) {
          filled_.acquire();
          if (stop_) return;
          Work(chunks_[next % kDepth]);
          done_.release();
        }
      });
    } catch (...) {
      // No thread to be had: the caller does the work itself.
    }
  }
  ~ChunkSink() {
    if (!worker_.joinable()) return;
    for (; settled_ < started_; ++settled_) done_.acquire();
    stop_ = true;
    filled_.release();
    worker_.join();
  }
  ChunkSink(const ChunkSink&) = delete;
  ChunkSink& operator=(const ChunkSink&) = delete;

  // The buffer of the next chunk; free once InFlight() is below kDepth.
  uint8_t* Next() const { return buffers_ + (started_ % kDepth) * kChunk; }
  size_t InFlight() const { return size_t(started_ - settled_); }
  // Writes and sums n bytes of Next().
  void Start(size_t n) {
    Chunk& c = chunks_[started_ % kDepth];
    c.p = Next();
    c.n = n;
    ++started_;
    if (!worker_.joinable()) {
      Work(c);
      return;
    }
    filled_.release();
  }
  // Waits for the oldest chunk in flight: its size, and false with its errno when
  // its write failed.
  bool Settle(size_t& n, int& err) {
    if (worker_.joinable()) done_.acquire();
    const Chunk& c = chunks_[settled_++ % kDepth];
    n = c.n;
    err = c.err;
    return c.ok;
  }
  uint32_t Crc() const { return crc_; }

 private:
  struct Chunk {
    const uint8_t* p = nullptr;
    size_t n = 0;
    bool ok = true;
    int err = 0;
  };

  void Work(Chunk& c) {
    // After a failed write nothing more is written: the caller stops at that chunk.
    c.ok = !failed_;
    if (failed_) return;
    if (out_ >= 0) {
      if (!WriteAll(out_, c.p, c.n)) {
        failed_ = true;
        c.ok = false;
        c.err = errno;
        return;
      }
      at_ += c.n;
      behind_.Written(out_, at_);
    }
    crc_ = static_cast<uint32_t>(crc32(crc_, c.p, static_cast<uInt>(c.n)));
  }

  const int out_;
  uint8_t* const buffers_;
  std::thread worker_;
  std::counting_semaphore<kDepth> filled_{0}, done_{0};
  bool stop_ = false;
  uint64_t started_ = 0, settled_ = 0;  // the caller's
  // Each chunk is the caller's until Start and again from its Settle, the
  // worker's in between; the rest is the worker's while it runs.
  Chunk chunks_[kDepth];
  bool failed_ = false;
  uint64_t at_ = 0;
  WriteBehind behind_;  // the sync before the rename finds little left to do
  uint32_t crc_ = static_cast<uint32_t>(crc32(0, nullptr, 0));
};

enum class Outcome { kDone, kSkipped, kStop };

class Extraction {
 public:
  Extraction(UnzRec& rec, Callback& cb) : rec_(rec), cb_(cb) {}
  ~Extraction() {
    for (std::string& p : passwords_) WipeString(p);
  }
  int32_t Run();
  int32_t Done() const { return done_; }

 private:
  Outcome ExtractOne(size_t index);
  // Streams the data of e to out (or nowhere when out < 0): inflated or copied,
  // never more than the declared size. Returns a Problem for bad data or a
  // failed write; aborted_ is set when the program stopped the operation.
  // With crypt, the data after the encryption header is decrypted on the way
  // (crypt has read the header already). A trial run (progress false) reports
  // ticks, not progress.
  Problem Unpack(const Entry& e, int out, uint32_t& crc, ZipCrypto* crypt = nullptr, bool progress = true);
  enum class Key { kFound, kSkipped, kStop };
  // The password of an encrypted entry: one known in this run, else asked for.
  Key FindPassword(const Entry& e, const std::string& name, std::string& password);
  // Whether a password opens the entry: check byte, then a trial run against the CRC.
  Key Fits(const Entry& e, const std::string& password);
  // Fits for each form of a password (its bytes, then code pages 1250 and 852);
  // opened := the form that fits.
  Key FitsAnyForm(const Entry& e, const std::string& password, std::string& opened);
  // A new cipher for the entry's data, past its header.
  std::unique_ptr<ZipCrypto> CipherFor(const Entry& e, const std::string& password);
  bool Selected(size_t index, const std::string& name);
  std::string NameOf(const Entry& e);
  Outcome Refuse(const std::string& name, int skip, int code, const std::string& why);
  bool Verbose() const { return IsFlagOn(rec_.Verbose) || IsFlagOn(rec_.Trace); }

  UnzRec& rec_;
  Callback& cb_;
  Fd archive_;
  Fd base_;
  Directory dir_;
  std::vector<std::string> patterns_;
  std::vector<bool> literal_;  // the pattern names an entry exactly
  std::vector<bool> matched_;
  std::vector<bool> selected_;
  std::unique_ptr<uint8_t[]> in_{new uint8_t[kChunk]};
  // Chunks to be written while the next ones are made.
  std::unique_ptr<uint8_t[]> out_{new uint8_t[kDepth * kChunk]};
  int32_t done_ = 0;
  std::set<std::string> writtenPaths_;  // output paths written in this run
  std::vector<std::string> passwords_;  // known to open entries of this archive, newest first
  bool noMoreAsking_ = false;           // the program answered "cancel all"
  uint8_t codePage_ = ziplib_names::kCpAuto;
  bool test_ = false, dirNames_ = false, overwrite_ = false, update_ = false, freshen_ = false;
};

std::string Extraction::NameOf(const Entry& e) {
  std::string stored, extra;
  if (!ReadStoredName(archive_.get(), e, stored)) return std::string();
  if (!ReadCentralExtra(archive_.get(), e, extra)) extra.clear();
  return ziplib_names::DecodeEntryName(stored, e.flag, e.hostSystem, e.madeByVersion, codePage_, extra);
}

Outcome Extraction::Refuse(const std::string& name, int skip, int code, const std::string& why) {
  if (!why.empty() && !cb_.Message(code, why + ": " + name)) return Outcome::kStop;
  if (!cb_.Skipped(name, skip, code)) return Outcome::kStop;
  return Outcome::kSkipped;
}

int32_t Extraction::Run() {
  test_ = IsFlagOn(rec_.Test);
  if (rec_.Password && *rec_.Password) passwords_.emplace_back(rec_.Password);
  codePage_ = rec_.CodePage <= ziplib_names::kCpOem ? static_cast<uint8_t>(rec_.CodePage) : static_cast<uint8_t>(ziplib_names::kCpAuto);
  dirNames_ = IsFlagOn(rec_.DirNames);
  overwrite_ = IsFlagOn(rec_.Overwrite);
  update_ = IsFlagOn(rec_.Update);
  freshen_ = IsFlagOn(rec_.Freshen) && !update_;

  archive_ = Fd(open(rec_.Archive, O_RDONLY | O_CLOEXEC));
  if (!archive_) {
    cb_.Message(ZIPERR_READ, std::string("Cannot open the archive ") + rec_.Archive + ": " + ErrnoText(errno));
    return 0;
  }
  if (Problem p = ReadDirectory(archive_.get(), dir_)) {
    cb_.Message(p.code, p.text + ": " + rec_.Archive);
    return 0;
  }
  if (!test_) {
    const char* base = rec_.ExtrBaseDir && *rec_.ExtrBaseDir ? rec_.ExtrBaseDir : ".";
    base_ = Fd(open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!base_) {
      cb_.Message(ZIPERR_WRITE, std::string("Cannot open the extract folder ") + base + ": " + ErrnoText(errno));
      return 0;
    }
  }

  for (int32_t i = 0; i < rec_.NameCount; ++i) {
    const char* n = rec_.Names[i].Name;
    if (!n) continue;
    std::string p(n);
    std::replace(p.begin(), p.end(), '\\', '/');
    patterns_.push_back(std::move(p));
  }
  literal_.assign(patterns_.size(), false);
  matched_.assign(patterns_.size(), false);

  // Choose the entries: a pattern that names an entry exactly is that name; only
  // otherwise do its wildcards count.
  const size_t count = dir_.entries.size();
  selected_.assign(count, patterns_.empty());
  if (!patterns_.empty()) {
    for (size_t i = 0; i < count; ++i) {
      const std::string name = NameOf(dir_.entries[i]);
      // A literal name is one entry: the first of that name, as a reader that
      // looks the name up finds it.
      for (size_t p = 0; p < patterns_.size(); ++p) {
        if (!literal_[p] && patterns_[p] == name) {
          literal_[p] = matched_[p] = true;
          selected_[i] = true;
        }
      }
    }
    for (size_t i = 0; i < count; ++i) {
      if (selected_[i]) continue;
      const std::string name = NameOf(dir_.entries[i]);
      for (size_t p = 0; p < patterns_.size(); ++p) {
        if (!literal_[p] && HasWildcards(patterns_[p]) && WildcardMatch(patterns_[p], name)) {
          matched_[p] = true;
          selected_[i] = true;
        }
      }
    }
  }

  uint32_t files = 0;
  uint64_t bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!selected_[i]) continue;
    const Entry& e = dir_.entries[i];
    const std::string name = NameOf(e);
    const bool folder = (!name.empty() && name.back() == '/') ||
                        (e.hostSystem == ziplib_names::kHostUnix && ((e.externalAttributes >> 16) & S_IFMT) == S_IFDIR);
    if (folder) continue;
    ++files;
    bytes += e.uncompressedSize;
  }
  if (cb_.Send(ZIPCB_FILE_COUNT, 0, files, "") &&
      cb_.Send(ZIPCB_TOTAL_SIZE, 0, static_cast<uint32_t>(std::min<uint64_t>(bytes, 0xFFFFFFFFu)), "")) {
    for (size_t i = 0; i < count; ++i) {
      if (!selected_[i]) continue;
      if (ExtractOne(i) == Outcome::kStop) break;
    }
  }
  if (!cb_.Aborted()) {
    for (size_t p = 0; p < patterns_.size(); ++p)
      if (!matched_[p] && !cb_.Message(ZIPERR_NOTHING, "No entry matches " + patterns_[p])) break;
  }
  if (!cb_.Aborted()) cb_.Send(ZIPCB_END_BATCH, 0, 0, "");
  cb_.Finish();
  return done_;
}

Problem Extraction::Unpack(const Entry& e, int out, uint32_t& crc, ZipCrypto* crypt, bool progress) {
  crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  const uint64_t skip = crypt ? kCryptHeaderSize : 0;
  if (e.compressedSize < skip) return Problem{ZIPERR_BAD_DATA, "encrypted entry shorter than its header"};
  uint64_t inPos = e.dataPos + skip, inLeft = e.compressedSize - skip;
  const uint64_t declared = e.uncompressedSize;
  uint64_t written = 0;
  const bool threaded = declared >= kThreadedFrom && outside_threads::WorkerCount() > 1;
  ChunkSink sink(out, out_.get(), threaded);
  // The chunks in flight are reported in order once written, each before anything
  // is said of a later one, as when each chunk is written where it is made. On one
  // thread each is reported at once, before the next is made.
  // Once a chunk failed or the program stopped, the chunks after it go unreported.
  bool ended = false;
  auto settle = [&](size_t keep) -> Problem {
    while (!ended && sink.InFlight() > keep) {
      size_t n = 0;
      int err = 0;
      if (!sink.Settle(n, err)) {
        ended = true;
        return Problem{ZIPERR_WRITE, "cannot write: " + ErrnoText(err)};
      }
      const bool sent =
          progress ? cb_.Send(ZIPCB_PROGRESS, 0, static_cast<uint32_t>(n), "") : cb_.Send(ZIPCB_TICK, 0, 0, "");
      if (!sent) {
        ended = true;
        return Problem{ZIPERR_ABORTED, "aborted"};
      }
    }
    return {};
  };
  // The buffer the next chunk is made in, once it is free.
  auto next = [&](uint8_t*& buf) -> Problem {
    if (Problem q = settle(kDepth - 1)) return q;
    buf = sink.Next();
    return {};
  };
  auto emit = [&](size_t n) -> Problem {
    if (n == 0) return {};
    if (written + n > declared) {
      if (Problem q = settle(0)) return q;
      return Problem{ZIPERR_BAD_DATA, "entry holds more data than declared"};
    }
    sink.Start(n);
    written += n;
    return threaded ? Problem{} : settle(0);
  };

  auto run = [&]() -> Problem {
    if (e.method == kMethodStored) {
      if (inLeft != e.uncompressedSize) return Problem{ZIPERR_BAD_DATA, "stored entry with two different sizes"};
      while (inLeft > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(inLeft, kChunk));
        uint8_t* buf = nullptr;
        if (Problem p = next(buf)) return p;
        if (!ReadAt(archive_.get(), buf, n, inPos)) return Problem{ZIPERR_READ, "cannot read the archive"};
        if (crypt) crypt->Decrypt(buf, n);
        inPos += n;
        inLeft -= n;
        if (Problem p = emit(n)) return p;
      }
      return {};
    }

    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return Problem{ZIPERR_NO_MEMORY, "out of memory"};
    struct End {
      z_stream* z;
      ~End() { inflateEnd(z); }
    } end{&zs};
    while (true) {
      if (zs.avail_in == 0 && inLeft > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(inLeft, kChunk));
        if (!ReadAt(archive_.get(), in_.get(), n, inPos)) return Problem{ZIPERR_READ, "cannot read the archive"};
        if (crypt) crypt->Decrypt(in_.get(), n);
        inPos += n;
        inLeft -= n;
        zs.next_in = in_.get();
        zs.avail_in = static_cast<uInt>(n);
      }
      uint8_t* buf = nullptr;
      if (Problem p = next(buf)) return p;
      zs.next_out = buf;
      zs.avail_out = static_cast<uInt>(kChunk);
      const int ret = inflate(&zs, Z_NO_FLUSH);
      if (ret == Z_DATA_ERROR || ret == Z_NEED_DICT || ret == Z_STREAM_ERROR)
        return Problem{ZIPERR_BAD_DATA, "bad compressed data"};
      if (ret == Z_MEM_ERROR) return Problem{ZIPERR_NO_MEMORY, "out of memory"};
      if (Problem p = emit(kChunk - zs.avail_out)) return p;
      if (ret == Z_STREAM_END) break;
      if (ret == Z_BUF_ERROR) return Problem{ZIPERR_BAD_DATA, "compressed data ends early"};
    }
    return {};
  };
  // A chunk still in flight was made before whatever ended the run: its write and
  // its report come first.
  const Problem ran = run();
  if (Problem p = settle(0)) return p;
  if (ran) return ran;
  crc = sink.Crc();
  if (written != declared) return Problem{ZIPERR_BAD_DATA, "entry holds less data than declared"};
  return {};
}

std::unique_ptr<ZipCrypto> Extraction::CipherFor(const Entry& e, const std::string& password) {
  auto c = std::make_unique<ZipCrypto>(password);
  uint8_t header[kCryptHeaderSize] = {};
  if (e.compressedSize >= kCryptHeaderSize) ReadAt(archive_.get(), header, sizeof header, e.dataPos);
  c->CheckHeader(header, 0, 0);  // moves the keys past the header
  return c;
}

Extraction::Key Extraction::Fits(const Entry& e, const std::string& password) {
  uint8_t header[kCryptHeaderSize];
  if (e.compressedSize < kCryptHeaderSize || !ReadAt(archive_.get(), header, sizeof header, e.dataPos))
    return Key::kSkipped;
  // Writers that put the CRC after the data (flag bit 3) check against the time.
  const uint8_t check = CryptCheckByte(e.crc);
  const uint8_t other = (e.flag & kFlagDescriptor) ? CryptTimeCheckByte(e.dosTime) : check;
  ZipCrypto c(password);
  if (!c.CheckHeader(header, check, other)) return Key::kSkipped;
  uint32_t crc = 0;
  Problem p = Unpack(e, -1, crc, &c, false);
  if (cb_.Aborted()) return Key::kStop;
  return !p && crc == e.crc ? Key::kFound : Key::kSkipped;
}

Extraction::Key Extraction::FitsAnyForm(const Entry& e, const std::string& password, std::string& opened) {
  // What was typed arrives as UTF-8; a password set on Windows went into the
  // archive as the bytes of the writer's code page: 1250 in a window, 852 at a
  // DOS prompt. Each other form is tried once, in that order.
  std::string forms[3] = {password};
  struct Wipe {
    std::string (&f)[3];
    ~Wipe() {
      for (std::string& s : f) WipeString(s);
    }
  } wipe{forms};
  size_t n = 1;
  for (const auto* table : {&ziplib_names::kCp1250High, &ziplib_names::kCp852High}) {
    std::string& bytes = forms[n];
    if (ziplib_names::EncodeSingleByte(password, *table, bytes) && std::find(forms, forms + n, bytes) == forms + n)
      ++n;
    else
      WipeString(bytes);
  }
  for (size_t i = 0; i < n; ++i) {
    const Key k = Fits(e, forms[i]);
    if (k == Key::kFound) opened = forms[i];
    if (k != Key::kSkipped) return k;
  }
  return Key::kSkipped;
}

Extraction::Key Extraction::FindPassword(const Entry& e, const std::string& name, std::string& password) {
  for (std::string& known : passwords_) {
    const Key k = FitsAnyForm(e, known, password);
    if (k == Key::kStop) return k;
    if (k == Key::kFound) {
      // Later entries try the form that opened this one first.
      if (known != password) {
        WipeString(known);
        known = password;
      }
      return k;
    }
  }
  // The program may be asked PasswordReqCount times for this entry (at most 15);
  // its answer may lower what is left, never raise it.
  uint32_t left = static_cast<uint32_t>(std::clamp<int32_t>(rec_.PasswordReqCount, 0, 15));
  while (left > 0 && !noMoreAsking_) {
    if (!cb_.Send(ZIPCB_PASSWORD, 0, left, name)) return Key::kStop;
    const ZipCallbackRec& a = cb_.Answer();
    if ((a.Action & 0xFF) == 0) noMoreAsking_ = true;
    std::string answer;
    if (a.Error == 1) answer.assign(a.Msg.Text, strnlen(a.Msg.Text, sizeof a.Msg.Text));
    const uint32_t allowed = std::min<uint32_t>(static_cast<uint32_t>(std::max<int32_t>(a.Size, 0)), left);
    left = allowed > 0 ? allowed - 1 : 0;
    if (answer.empty()) break;
    const Key k = FitsAnyForm(e, answer, password);
    WipeString(answer);
    if (k == Key::kStop) return k;
    if (k == Key::kFound) {
      passwords_.insert(passwords_.begin(), password);
      return k;
    }
  }
  return Refuse(name, ZIPSKIP_BAD_PASSWORD, ZIPERR_PASSWORD, "wrong or missing password") == Outcome::kStop
             ? Key::kStop
             : Key::kSkipped;
}

Outcome Extraction::ExtractOne(size_t index) {
  const Entry& e = dir_.entries[index];
  const std::string name = NameOf(e);
  SafeName safe = CheckEntryName(name);
  if (e.hostSystem == ziplib_names::kHostUnix) {
    // Only data is ever written: a link or a device node in an archive is
    // refused. A named pipe is what zip records for data it read from a pipe, and
    // that data is written as a plain file.
    const uint32_t type = (e.externalAttributes >> 16) & S_IFMT;
    if (type == S_IFDIR) safe.isFolder = true;
    else if (type != 0 && type != S_IFREG && type != S_IFIFO && safe.refusal.empty())
      safe.refusal = type == S_IFLNK ? "symbolic link entry refused" : "special file entry refused";
  }
  if (safe.isFolder && safe.refusal.empty()) {
    // Folders are made only where the entries' folders are kept; they count as
    // no file.
    if (test_ || !dirNames_) return Outcome::kSkipped;
    int cur = base_.get();
    Fd holder;
    for (const std::string& part : safe.parts) {
      if (mkdirat(cur, part.c_str(), 0777) != 0 && errno != EEXIST)
        return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "cannot create the folder (" + ErrnoText(errno) + ")");
      Fd next(openat(cur, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!next) return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "folder on the way is a link or a file");
      holder = std::move(next);
      cur = holder.get();
    }
    return Outcome::kDone;
  }

  if (!cb_.Send(ZIPCB_NEW_FILE, 0, e.uncompressedSize, name)) return Outcome::kStop;
  if (!safe.refusal.empty()) return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_UNSAFE_NAME, safe.refusal);
  if (e.problem) return Refuse(name, ZIPSKIP_FORMAT_WRONG, e.problem.code, e.problem.text);
  const bool encrypted = (e.flag & kFlagEncrypted) != 0;
  if ((e.flag & (kFlagStrongEncryption | kFlagMaskedHeader)) || (encrypted && e.method == kMethodAes))
    return Refuse(name, ZIPSKIP_NO_ENCRYPTION, ZIPERR_UNSUPPORTED,
                  "encryption other than the traditional ZIP encryption (not supported)");
  if (e.method != kMethodStored && e.method != kMethodDeflated)
    return Refuse(name, ZIPSKIP_COMPRESSION_UNKNOWN, ZIPERR_UNSUPPORTED,
                  "compression method " + std::to_string(e.method) + " (not supported)");
  std::string password;
  struct Wipe {
    std::string& s;
    ~Wipe() { WipeString(s); }
  } wipe{password};
  if (encrypted) {
    const Key k = FindPassword(e, name, password);
    if (k == Key::kStop) return Outcome::kStop;
    if (k == Key::kSkipped) return Outcome::kSkipped;
  }
  if (e.localNameDiffers && Verbose() && !cb_.Message(0, "Local header names the entry differently: " + name))
    return Outcome::kStop;

  if (test_) {
    uint32_t crc = 0;
    std::unique_ptr<ZipCrypto> crypt = encrypted ? CipherFor(e, password) : nullptr;
    Problem p = Unpack(e, -1, crc, crypt.get());
    if (cb_.Aborted()) return Outcome::kStop;
    if (p) return Refuse(name, ZIPSKIP_FORMAT_WRONG, p.code, p.text);
    if (crc != e.crc) {
      if (!cb_.Message(ZIPERR_BAD_DATA, "CRC error: " + name)) return Outcome::kStop;
      return Outcome::kSkipped;
    }
    if (Verbose() && !cb_.Message(0, "OK: " + name)) return Outcome::kStop;
    ++done_;
    return Outcome::kDone;
  }

  // Walk to the entry's folder, making what is missing, never through a link.
  std::vector<std::string> parts = safe.parts;
  if (!dirNames_) parts.erase(parts.begin(), parts.end() - 1);
  const std::string leaf = parts.back();
  std::string outPath;
  for (const std::string& part : parts) outPath += part + "/";
  // One file per name: a later entry of the same name (or, without folders, of
  // the same last component) would put its bytes under the first one's listing.
  if (writtenPaths_.count(outPath))
    return Refuse(name, ZIPSKIP_FILE_EXISTS, ZIPERR_BAD_DATA, "an earlier entry of the archive wrote this name");
  parts.pop_back();
  int cur = base_.get();
  Fd holder;
  for (const std::string& part : parts) {
    Fd next(openat(cur, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next && errno == ENOENT) {
      if (mkdirat(cur, part.c_str(), 0777) != 0 && errno != EEXIST)
        return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "cannot create a folder (" + ErrnoText(errno) + ")");
      next = Fd(openat(cur, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!next) return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "folder on the way is a link or a file");
    holder = std::move(next);
    cur = holder.get();
  }

  const time_t entryTime = FromDosDateTime(e.dosTime);
  struct stat st {};
  const bool exists = fstatat(cur, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISDIR(st.st_mode))
    return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "a folder of that name exists");
  if (freshen_ && !exists) return Refuse(name, ZIPSKIP_ON_FRESHEN, 0, "");
  if ((freshen_ || update_) && exists && !(entryTime > st.st_mtime))
    return Refuse(name, ZIPSKIP_ON_FRESHEN, 0, "");
  bool replace = exists && (overwrite_ || freshen_ || update_);
  if (exists && !replace) {
    const bool older = st.st_mtime < entryTime;
    const int32_t info = (older ? 0x10000 : 0) | static_cast<int32_t>(index & 0xFFFF);
    if (!cb_.Send(ZIPCB_OVERWRITE, info, 0, name)) return Outcome::kStop;
    if ((cb_.Answer().Size & 0xFF) == 0) return Refuse(name, ZIPSKIP_NO_OVERWRITE, 0, "");
    replace = true;
  }

  std::string tmpName;
  Fd out(CreateTempFile(cur, tmpName));
  if (!out) return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "cannot create the file (" + ErrnoText(errno) + ")");
  auto discard = [&] {
    out.Reset();
    unlinkat(cur, tmpName.c_str(), 0);
  };
  uint32_t crc = 0;
  std::unique_ptr<ZipCrypto> crypt = encrypted ? CipherFor(e, password) : nullptr;
  Problem p = Unpack(e, out.get(), crc, crypt.get());
  if (cb_.Aborted()) {
    discard();
    return Outcome::kStop;
  }
  if (p) {
    discard();
    return Refuse(name, p.code == ZIPERR_WRITE ? ZIPSKIP_GENERAL : ZIPSKIP_FORMAT_WRONG, p.code, p.text);
  }
  if (crc != e.crc) {
    // 1 keeps the file; 0, and 2 (no decision), drop it.
    const bool sent = cb_.Send(ZIPCB_CRC_ERROR, static_cast<int32_t>(crc), e.crc, name);
    if (!sent || cb_.Answer().Error != 1) {
      discard();
      if (!sent) return Outcome::kStop;
      if (!cb_.Message(ZIPERR_BAD_DATA, "CRC error: " + name)) return Outcome::kStop;
      return Outcome::kSkipped;
    }
  }
  const struct timespec times[2] = {{entryTime, 0}, {entryTime, 0}};
  futimens(out.get(), times);
  if (fsync(out.get()) != 0) {
    const int err = errno;
    discard();
    return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "cannot write the file (" + ErrnoText(err) + ")");
  }
  out.Reset();
  if (!RenameInto(cur, tmpName, leaf, replace)) {
    const int err = errno;
    unlinkat(cur, tmpName.c_str(), 0);
    if (err == EEXIST) return Refuse(name, ZIPSKIP_NO_OVERWRITE, 0, "");
    return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "cannot rename the file into place (" + ErrnoText(err) + ")");
  }
  writtenPaths_.insert(outPath);
  if (Verbose() && !cb_.Message(0, "Extracted: " + name)) return Outcome::kStop;
  ++done_;
  return Outcome::kDone;
}

}  // namespace

UNZLIB_EXPORT int32_t GetUnzLibVersion(void) { return ZIPLIB_OWN_VERSION; }

UNZLIB_EXPORT int32_t UnzLibExec(UnzRec* rec) {
  if (!rec || !rec->Callback) return 0;
  Callback cb(rec->Callback, rec->Instance, false);
  if (rec->Seven != ZIPABI_SENTINEL || rec->Version != ZIPLIB_OWN_VERSION || !rec->Archive || !*rec->Archive ||
      rec->NameCount < 0 || (rec->NameCount > 0 && !rec->Names)) {
    cb.Message(ZIPERR_BAD_RECORD, "invalid parameter record");
    return 0;
  }
  std::unique_ptr<Extraction> x;
  try {
    x = std::make_unique<Extraction>(*rec, cb);
    return x->Run();
  } catch (const std::bad_alloc&) {
    cb.Message(ZIPERR_NO_MEMORY, "out of memory");
  } catch (...) {
    cb.Message(ZIPERR_BAD_DATA, "internal error");
  }
  cb.Finish();
  return x ? x->Done() : 0;
}
