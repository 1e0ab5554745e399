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

#include "interfaces/ziplib_errors.h"
#include "interfaces/ziplib_names.h"
#include "interfaces/ziplib_records.h"
#include "lib_support.h"
#include "outside/common/safe_file.h"
#include "outside/worker_threads.h"
#include "zip_crypto.h"
#include "zip_format.h"

#define UNZLIB_EXPORT extern "C" __attribute__((visibility("default")))

using namespace zipcommon;

namespace {

constexpr size_t kChunk = 65536;  // progress is reported at least this often
// An entry from this size on is written and summed on a worker thread while the
// calling thread inflates the next chunk; below it a thread would cost more than
// it saves.
constexpr uint64_t kThreadedFrom = uint64_t(1) << 20;

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
      if (!outside_io::DiskWrite(out_, c.p, c.n)) {
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

// kGoOn: a step of one entry passed, and the next step follows.
enum class Outcome { kDone, kSkipped, kStop, kGoOn };

class Extraction {
 public:
  Extraction(UnzRec& rec, Callback& cb) : rec_(rec), cb_(cb) {}
  ~Extraction() {
    for (std::string& p : passwords_) WipeString(p);
  }
  int32_t Run();
  int32_t Done() const { return done_; }

 private:
  // The record's switches, the archive's directory and the extract folder.
  bool Open();
  // The entries the names ask for (every entry without names).
  void Select();
  // The counts of the files and bytes to come; false when the program stops.
  bool Announce();
  Outcome ExtractOne(size_t index);
  // The steps of ExtractOne; each answers kGoOn when the next step follows.
  // The entry's name checked, its Unix file type included.
  SafeName SafeNameOf(const Entry& e, const std::string& name);
  Outcome MakeFolderEntry(const std::string& name, const SafeName& safe);
  // Refuses what is not to be written: an unsafe name, a damaged entry, an
  // encryption or a method that is not supported.
  Outcome Admit(const Entry& e, const std::string& name, const SafeName& safe);
  Outcome TestOne(const Entry& e, const std::string& name, ZipCrypto* crypt);
  // The folders of the entry's path from base_, made where missing: cur is the
  // last, held open by holder.
  Outcome WalkTo(const std::string& name, const std::vector<std::string>& folders, Fd& holder, int& cur);
  // An existing file of that name: freshen, update, or the program's answer.
  Outcome MayWrite(const Entry& e, size_t index, const std::string& name, int cur, const std::string& leaf,
                   bool& replace);
  // The entry's file, written whole under a hidden name and renamed into place.
  Outcome WriteFile(const Entry& e, const std::string& name, int cur, const std::string& leaf, bool replace,
                    ZipCrypto* crypt);
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

bool Extraction::Open() {
  test_ = IsFlagOn(rec_.Test);
  if (rec_.Password && *rec_.Password) passwords_.emplace_back(rec_.Password);
  codePage_ = rec_.CodePage <= ziplib_names::kCpOem ? static_cast<uint8_t>(rec_.CodePage)
                                                    : static_cast<uint8_t>(ziplib_names::kCpAuto);
  dirNames_ = IsFlagOn(rec_.DirNames);
  overwrite_ = IsFlagOn(rec_.Overwrite);
  update_ = IsFlagOn(rec_.Update);
  freshen_ = IsFlagOn(rec_.Freshen) && !update_;

  archive_ = Fd(open(rec_.Archive, O_RDONLY | O_CLOEXEC));
  if (!archive_) {
    cb_.Message(ZIPERR_READ, std::string("Cannot open the archive ") + rec_.Archive + ": " + ErrnoText(errno));
    return false;
  }
  if (Problem p = ReadDirectory(archive_.get(), dir_)) {
    cb_.Message(p.code, p.text + ": " + rec_.Archive);
    return false;
  }
  if (test_) return true;
  const char* base = rec_.ExtrBaseDir && *rec_.ExtrBaseDir ? rec_.ExtrBaseDir : ".";
  base_ = Fd(open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!base_) {
    cb_.Message(ZIPERR_WRITE, std::string("Cannot open the extract folder ") + base + ": " + ErrnoText(errno));
    return false;
  }
  return true;
}

void Extraction::Select() {
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
  if (patterns_.empty()) return;
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

bool Extraction::Announce() {
  uint32_t files = 0;
  uint64_t bytes = 0;
  for (size_t i = 0; i < dir_.entries.size(); ++i) {
    if (!selected_[i]) continue;
    const Entry& e = dir_.entries[i];
    const std::string name = NameOf(e);
    const bool folder = (!name.empty() && name.back() == '/') ||
                        (e.hostSystem == ziplib_names::kHostUnix && ((e.externalAttributes >> 16) & S_IFMT) == S_IFDIR);
    if (folder) continue;
    ++files;
    bytes += e.uncompressedSize;
  }
  return cb_.Send(ZIPCB_FILE_COUNT, 0, files, "") &&
         cb_.Send(ZIPCB_TOTAL_SIZE, 0, static_cast<uint32_t>(std::min<uint64_t>(bytes, 0xFFFFFFFFu)), "");
}

int32_t Extraction::Run() {
  if (!Open()) return 0;
  Select();
  if (Announce()) {
    for (size_t i = 0; i < dir_.entries.size(); ++i) {
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

// One entry's data on its way out: read (and decrypted), inflated or copied, in
// chunks handed to the sink, each reported once written.
class Unpacking {
 public:
  Unpacking(const Entry& e, int archive, uint8_t* in, Callback& cb, ChunkSink& sink, ZipCrypto* crypt, bool threaded,
            bool progress)
      : e_(e),
        archive_(archive),
        in_(in),
        cb_(cb),
        sink_(sink),
        crypt_(crypt),
        threaded_(threaded),
        progress_(progress) {
    const uint64_t skip = crypt ? kCryptHeaderSize : 0;
    inPos_ = e.dataPos + skip;
    inLeft_ = e.compressedSize - skip;
  }
  Problem Stored();
  Problem Inflated();
  // The chunks in flight are reported in order once written, each before anything
  // is said of a later one, as when each chunk is written where it is made. On one
  // thread each is reported at once, before the next is made.
  // Once a chunk failed or the program stopped, the chunks after it go unreported.
  Problem Settle(size_t keep);
  uint64_t Written() const { return written_; }

 private:
  // The buffer the next chunk is made in, once it is free.
  Problem Next(uint8_t*& buf) {
    if (Problem q = Settle(kDepth - 1)) return q;
    buf = sink_.Next();
    return {};
  }
  Problem Emit(size_t n);
  // The next n bytes of the entry's data into buf, decrypted.
  bool Read(uint8_t* buf, size_t n) {
    if (!ReadAt(archive_, buf, n, inPos_)) return false;
    if (crypt_) crypt_->Decrypt(buf, n);
    inPos_ += n;
    inLeft_ -= n;
    return true;
  }

  const Entry& e_;
  const int archive_;
  uint8_t* const in_;
  Callback& cb_;
  ChunkSink& sink_;
  ZipCrypto* const crypt_;
  const bool threaded_, progress_;
  uint64_t inPos_ = 0, inLeft_ = 0, written_ = 0;
  bool ended_ = false;
};

Problem Unpacking::Settle(size_t keep) {
  while (!ended_ && sink_.InFlight() > keep) {
    size_t n = 0;
    int err = 0;
    if (!sink_.Settle(n, err)) {
      ended_ = true;
      return Problem{ZIPERR_WRITE, "cannot write: " + ErrnoText(err)};
    }
    const bool sent =
        progress_ ? cb_.Send(ZIPCB_PROGRESS, 0, static_cast<uint32_t>(n), "") : cb_.Send(ZIPCB_TICK, 0, 0, "");
    if (!sent) {
      ended_ = true;
      return Problem{ZIPERR_ABORTED, "aborted"};
    }
  }
  return {};
}

Problem Unpacking::Emit(size_t n) {
  if (n == 0) return {};
  if (written_ + n > e_.uncompressedSize) {
    if (Problem q = Settle(0)) return q;
    return Problem{ZIPERR_BAD_DATA, "entry holds more data than declared"};
  }
  sink_.Start(n);
  written_ += n;
  return threaded_ ? Problem{} : Settle(0);
}

Problem Unpacking::Stored() {
  if (inLeft_ != e_.uncompressedSize) return Problem{ZIPERR_BAD_DATA, "stored entry with two different sizes"};
  while (inLeft_ > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(inLeft_, kChunk));
    uint8_t* buf = nullptr;
    if (Problem p = Next(buf)) return p;
    if (!Read(buf, n)) return Problem{ZIPERR_READ, "cannot read the archive"};
    if (Problem p = Emit(n)) return p;
  }
  return {};
}

Problem Unpacking::Inflated() {
  z_stream zs{};
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return Problem{ZIPERR_NO_MEMORY, "out of memory"};
  struct End {
    z_stream* z;
    ~End() { inflateEnd(z); }
  } end{&zs};
  while (true) {
    if (zs.avail_in == 0 && inLeft_ > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(inLeft_, kChunk));
      if (!Read(in_, n)) return Problem{ZIPERR_READ, "cannot read the archive"};
      zs.next_in = in_;
      zs.avail_in = static_cast<uInt>(n);
    }
    uint8_t* buf = nullptr;
    if (Problem p = Next(buf)) return p;
    zs.next_out = buf;
    zs.avail_out = static_cast<uInt>(kChunk);
    const int ret = inflate(&zs, Z_NO_FLUSH);
    if (ret == Z_DATA_ERROR || ret == Z_NEED_DICT || ret == Z_STREAM_ERROR)
      return Problem{ZIPERR_BAD_DATA, "bad compressed data"};
    if (ret == Z_MEM_ERROR) return Problem{ZIPERR_NO_MEMORY, "out of memory"};
    if (Problem p = Emit(kChunk - zs.avail_out)) return p;
    if (ret == Z_STREAM_END) break;
    if (ret == Z_BUF_ERROR) return Problem{ZIPERR_BAD_DATA, "compressed data ends early"};
  }
  return {};
}

Problem Extraction::Unpack(const Entry& e, int out, uint32_t& crc, ZipCrypto* crypt, bool progress) {
  crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  if (e.compressedSize < (crypt ? kCryptHeaderSize : 0))
    return Problem{ZIPERR_BAD_DATA, "encrypted entry shorter than its header"};
  const bool threaded = e.uncompressedSize >= kThreadedFrom && outside_threads::WorkerCount() > 1;
  ChunkSink sink(out, out_.get(), threaded);
  Unpacking u(e, archive_.get(), in_.get(), cb_, sink, crypt, threaded, progress);
  // A chunk still in flight was made before whatever ended the run: its write and
  // its report come first.
  const Problem ran = e.method == kMethodStored ? u.Stored() : u.Inflated();
  if (Problem p = u.Settle(0)) return p;
  if (ran) return ran;
  crc = sink.Crc();
  if (u.Written() != e.uncompressedSize) return Problem{ZIPERR_BAD_DATA, "entry holds less data than declared"};
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

SafeName Extraction::SafeNameOf(const Entry& e, const std::string& name) {
  SafeName safe = CheckEntryName(name);
  if (e.hostSystem == ziplib_names::kHostUnix) {
    // Only data is ever written: a link or a device node in an archive is
    // refused. A named pipe is what zip records for data it read from a pipe, and
    // that data is written as a plain file.
    const uint32_t type = (e.externalAttributes >> 16) & S_IFMT;
    if (type == S_IFDIR)
      safe.isFolder = true;
    else if (type != 0 && type != S_IFREG && type != S_IFIFO && safe.refusal.empty())
      safe.refusal = type == S_IFLNK ? "symbolic link entry refused" : "special file entry refused";
  }
  return safe;
}

Outcome Extraction::MakeFolderEntry(const std::string& name, const SafeName& safe) {
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

Outcome Extraction::Admit(const Entry& e, const std::string& name, const SafeName& safe) {
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
  return Outcome::kGoOn;
}

Outcome Extraction::TestOne(const Entry& e, const std::string& name, ZipCrypto* crypt) {
  uint32_t crc = 0;
  Problem p = Unpack(e, -1, crc, crypt);
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

Outcome Extraction::WalkTo(const std::string& name, const std::vector<std::string>& folders, Fd& holder, int& cur) {
  cur = base_.get();
  for (const std::string& part : folders) {
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
  return Outcome::kGoOn;
}

Outcome Extraction::MayWrite(const Entry& e, size_t index, const std::string& name, int cur, const std::string& leaf,
                             bool& replace) {
  const time_t entryTime = FromDosDateTime(e.dosTime);
  struct stat st {};
  const bool exists = fstatat(cur, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISDIR(st.st_mode)) return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "a folder of that name exists");
  if (freshen_ && !exists) return Refuse(name, ZIPSKIP_ON_FRESHEN, 0, "");
  if ((freshen_ || update_) && exists && !(entryTime > st.st_mtime)) return Refuse(name, ZIPSKIP_ON_FRESHEN, 0, "");
  replace = exists && (overwrite_ || freshen_ || update_);
  if (exists && !replace) {
    const bool older = st.st_mtime < entryTime;
    const int32_t info = (older ? 0x10000 : 0) | static_cast<int32_t>(index & 0xFFFF);
    if (!cb_.Send(ZIPCB_OVERWRITE, info, 0, name)) return Outcome::kStop;
    if ((cb_.Answer().Size & 0xFF) == 0) return Refuse(name, ZIPSKIP_NO_OVERWRITE, 0, "");
    replace = true;
  }
  return Outcome::kGoOn;
}

Outcome Extraction::WriteFile(const Entry& e, const std::string& name, int cur, const std::string& leaf, bool replace,
                              ZipCrypto* crypt) {
  outside_io::SafeFile out;
  if (!out.CreateIn(cur, 0666))
    return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "cannot create the file (" + ErrnoText(errno) + ")");
  uint32_t crc = 0;
  Problem p = Unpack(e, out.fd(), crc, crypt);
  if (cb_.Aborted()) return Outcome::kStop;
  if (p) {
    out.Discard();
    return Refuse(name, p.code == ZIPERR_WRITE ? ZIPSKIP_GENERAL : ZIPSKIP_FORMAT_WRONG, p.code, p.text);
  }
  if (crc != e.crc) {
    // 1 keeps the file; 0, and 2 (no decision), drop it.
    const bool sent = cb_.Send(ZIPCB_CRC_ERROR, static_cast<int32_t>(crc), e.crc, name);
    if (!sent || cb_.Answer().Error != 1) {
      out.Discard();
      if (!sent) return Outcome::kStop;
      if (!cb_.Message(ZIPERR_BAD_DATA, "CRC error: " + name)) return Outcome::kStop;
      return Outcome::kSkipped;
    }
  }
  const time_t entryTime = FromDosDateTime(e.dosTime);
  const struct timespec times[2] = {{entryTime, 0}, {entryTime, 0}};
  futimens(out.fd(), times);
  if (!out.Sync() || !out.Close()) {
    const int err = errno;
    out.Discard();
    return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "cannot write the file (" + ErrnoText(err) + ")");
  }
  if (!out.RenameTo(leaf, replace)) {
    const int err = errno;
    if (err == EEXIST) return Refuse(name, ZIPSKIP_NO_OVERWRITE, 0, "");
    return Refuse(name, ZIPSKIP_GENERAL, ZIPERR_WRITE, "cannot rename the file into place (" + ErrnoText(err) + ")");
  }
  return Outcome::kGoOn;
}

Outcome Extraction::ExtractOne(size_t index) {
  const Entry& e = dir_.entries[index];
  const std::string name = NameOf(e);
  const SafeName safe = SafeNameOf(e, name);
  if (safe.isFolder && safe.refusal.empty()) return MakeFolderEntry(name, safe);
  if (Outcome o = Admit(e, name, safe); o != Outcome::kGoOn) return o;
  const bool encrypted = (e.flag & kFlagEncrypted) != 0;
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
  std::unique_ptr<ZipCrypto> crypt = encrypted ? CipherFor(e, password) : nullptr;
  if (test_) return TestOne(e, name, crypt.get());

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
  int cur = -1;
  Fd holder;
  bool replace = false;
  if (Outcome o = WalkTo(name, parts, holder, cur); o != Outcome::kGoOn) return o;
  if (Outcome o = MayWrite(e, index, name, cur, leaf, replace); o != Outcome::kGoOn) return o;
  if (Outcome o = WriteFile(e, name, cur, leaf, replace, crypt.get()); o != Outcome::kGoOn) return o;
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
