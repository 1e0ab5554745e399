// The self-extracting archive's stub: a small terminal program that the maker
// puts in front of a settings record and a ZIP archive. It reads both from its
// own file and extracts the archive with its own code over zlib, so nothing else
// needs to be installed.
//
//   <archive> [folder]
//
// Exit status: 0 when every entry was extracted (or skipped as asked), 1 when the
// user stopped before anything was written, 2 when something failed.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "interfaces/ziplib_names.h"
#include "lib_support.h"
#include "outside/common/safe_file.h"
#include "zip_format.h"

namespace {

using zipcommon::Directory;
using zipcommon::Entry;

// The option bits of the settings record, in their bit order.
enum Option : uint16_t {
  kAskCmdLine = 1u << 0,
  kAskFiles = 1u << 1,
  kHideOverWriteBox = 1u << 2,
  kAutoRun = 1u << 3,
  kNoSuccessMsg = 1u << 4,
  kExpandVariables = 1u << 5,
  kInitiallyHideFiles = 1u << 6,
  kForceHideFiles = 1u << 7,
  kCheckAutoRunFileName = 1u << 8,
  kCanBeCancelled = 1u << 9,
};

enum Overwrite : uint8_t { kOverwrite = 0, kSkip = 1, kAsk = 2 };

struct Settings {
  bool found = false;
  uint16_t options = 0;
  uint8_t overwrite = kAsk;
  uint32_t messageFlags = 0;
  std::string title, defaultPath, commandLine, fallbackPath, message;  // UTF-8
};

constexpr size_t kChunk = 64 * 1024;

// The hidden file being written, for the signal handler: Ctrl+C, a closed
// terminal or a kill must not leave a file cut short behind. The handler may only
// use what was prepared before (a descriptor and a name in a fixed buffer), so it
// unlinks that and lets the signal end the program as it would have.
struct PartialFile {
  volatile sig_atomic_t armed = 0;
  int folder = -1;
  char name[96] = {};
};
PartialFile partial;
const int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnEndSignal(int sig) {
  if (partial.armed) unlinkat(partial.folder, partial.name, 0);
  // The handler was reset on entry: raised again, the signal ends the program.
  raise(sig);
}

void InstallEndSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnEndSignal;
  sa.sa_flags = SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  for (int sig : kEndSignals) {
    struct sigaction old {};
    // A signal the caller ignored (nohup) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
}

// Holds the end signals off while the guard's state changes, so the handler
// never sees a file that exists without its name or a name that is gone.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kEndSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

// Creates the hidden file for an entry in folder and hands its name to the
// guard.
bool CreateGuardedTemp(int folder, outside_io::SafeFile& file) {
  SignalsHeld held;
  if (!file.CreateIn(folder, 0666)) return false;
  const std::string& temp = file.TempName();
  if (temp.size() >= sizeof partial.name) return true;
  memcpy(partial.name, temp.c_str(), temp.size() + 1);
  partial.folder = folder;
  partial.armed = 1;
  return true;
}

// Ends the guard: the hidden file is renamed into place (rename true) or is
// removed now.
bool ReleaseGuardedTemp(outside_io::SafeFile& file, const std::string& leaf, bool rename) {
  SignalsHeld held;
  bool ok = rename && file.RenameTo(leaf, true);
  const int err = errno;
  if (!ok) file.Discard();
  partial.armed = 0;
  errno = err;
  return ok;
}

std::string FromCp1250(const std::string& bytes) {
  return ziplib_names::FromSingleByte(bytes, ziplib_names::kCp1250High);
}

// The record lies right in front of the archive: its trailer ("ZM" 0x0A 0x01 and
// the record's size) ends where the first entry (or, with none, the directory)
// begins.
Settings ReadSettings(int fd, const Directory& dir) {
  Settings s;
  uint64_t start = dir.centralPos;
  for (const Entry& e : dir.entries)
    if (!e.problem) start = std::min(start, e.headerPos);
  uint8_t trailer[8];
  if (start < 8 || !zipcommon::ReadAt(fd, trailer, 8, start - 8) || memcmp(trailer, "ZM\x0A\x01", 4) != 0) return s;
  const uint32_t size = zipcommon::Get32(trailer + 4);
  if (size < 18 || size > 18 + 5 * 255 + 3 || size + 8 > start) return s;
  std::vector<uint8_t> r(size);
  if (!zipcommon::ReadAt(fd, r.data(), size, start - 8 - size)) return s;
  if (memcmp(r.data(), "ZM\x00\x01", 4) != 0 || zipcommon::Get16(r.data() + 4) != size) return s;
  size_t total = 0;
  for (int i = 0; i < 5; ++i) total += r[9 + i];
  if (18 + total > size) return s;
  s.found = true;
  s.options = zipcommon::Get16(r.data() + 6);
  s.overwrite = r[8];
  s.messageFlags = zipcommon::Get32(r.data() + 14);
  std::string* texts[5] = {&s.title, &s.defaultPath, &s.commandLine, &s.fallbackPath, &s.message};
  size_t at = 18;
  for (int i = 0; i < 5; ++i) {
    *texts[i] = FromCp1250(std::string(reinterpret_cast<const char*>(r.data() + at), r[9 + i]));
    at += r[9 + i];
  }
  return s;
}

// A variable "%NAME%" of the environment that starts at text[i]: its value and
// the position after it. An unknown one, and a lone "%", are no variable.
bool VariableAt(const std::string& text, size_t i, std::string& value, size_t& after) {
  const size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
  if (end == std::string::npos || end == i + 1) return false;
  const char* v = getenv(text.substr(i + 1, end - i - 1).c_str());
  if (!v) return false;
  value = v;
  after = end + 1;
  return true;
}

// "%NAME%" becomes the environment variable's value; an unknown one and a lone
// "%" stay as written.
std::string ExpandVariables(const std::string& text) {
  std::string out, value;
  size_t i = 0;
  while (i < text.size()) {
    if (VariableAt(text, i, value, i)) {
      out += value;
      continue;
    }
    out += text[i++];
  }
  return out;
}

// The record's command line as the arguments of one program, split the way a
// Windows program reads its command line: blanks outside double quotes separate
// arguments; a double quote opens or closes a quoted part and is not kept, and
// inside one "" is a literal quote; backslashes are literal except before a
// double quote, where 2n of them give n and the quote acts, 2n+1 give n and a
// literal quote. "><" (the folder's full path) and, with expand, "%NAME%" are put
// into the argument they stand in while splitting, so what they hold is never
// split again or read as quotes. In the program's own name the record's "\" are
// "/", as in the record's folders.
std::vector<std::string> SplitCommandLine(const std::string& line, const std::string& folder, bool expand) {
  std::vector<std::string> args;
  std::string cur, value;
  bool inArg = false, quoted = false;
  size_t i = 0;
  auto literal = [&](char c) {
    cur += c == '\\' && args.empty() ? '/' : c;
    inArg = true;
  };
  while (i < line.size()) {
    const char c = line[i];
    if ((c == ' ' || c == '\t') && !quoted) {
      if (inArg) args.push_back(cur);
      cur.clear();
      inArg = false;
      ++i;
    } else if (c == '\\') {
      size_t n = 0;
      while (i + n < line.size() && line[i + n] == '\\') ++n;
      const bool beforeQuote = i + n < line.size() && line[i + n] == '"';
      for (size_t k = 0; k < (beforeQuote ? n / 2 : n); ++k) literal('\\');
      i += n;
      if (beforeQuote && n % 2 == 1) literal('"'), ++i;
      inArg = true;
    } else if (c == '"') {
      if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        literal('"');
        i += 2;
      } else {
        quoted = !quoted;
        inArg = true;
        ++i;
      }
    } else if (c == '>' && i + 1 < line.size() && line[i + 1] == '<') {
      cur += folder;
      inArg = true;
      i += 2;
    } else if (expand && VariableAt(line, i, value, i)) {
      cur += value;
      inArg = true;
    } else {
      literal(c);
      ++i;
    }
  }
  if (inArg) args.push_back(cur);
  return args;
}

// The arguments as the user reads them in a question or a message.
std::string ShownCommand(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& a : args) {
    if (!out.empty()) out += ' ';
    if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) {
      out += a;
      continue;
    }
    out += '"';
    for (char c : a) out += c == '"' ? std::string("\\\"") : std::string(1, c);
    out += '"';
  }
  return out;
}

// Runs the program with its arguments in folder, and waits for it. No shell
// reads any of it: a folder or a record holding ";", "$()" or quotes runs nothing
// else. Returns the stub's exit status: 0 when the program ended with 0, else 2.
int RunCommand(const std::vector<std::string>& args, const std::string& folder) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The child reports a failed start through a pipe that a good exec closes.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    std::cerr << "Error: cannot run " << ShownCommand(args) << " (" << zipcommon::ErrnoText(errno) << ")\n";
    return 2;
  }
  std::cout.flush();
  std::cerr.flush();
  const pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    int err = 0;
    if (chdir(folder.c_str()) != 0)
      err = errno;
    else
      execvp(argv[0], argv.data()), err = errno;
    (void)!write(report[1], &err, sizeof err);
    _exit(127);
  }
  close(report[1]);
  if (pid < 0) {
    const int err = errno;
    close(report[0]);
    std::cerr << "Error: cannot run " << ShownCommand(args) << " (" << zipcommon::ErrnoText(err) << ")\n";
    return 2;
  }
  int err = 0;
  ssize_t got;
  while ((got = read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof err)) {
    std::cerr << "Error: cannot run " << args[0] << " (" << zipcommon::ErrnoText(err) << ")\n";
    return 2;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
  std::cerr << "Error: the command line failed: " << ShownCommand(args);
  if (WIFEXITED(status))
    std::cerr << " (exit status " << WEXITSTATUS(status) << ")";
  else if (WIFSIGNALED(status))
    std::cerr << " (signal " << WTERMSIG(status) << ")";
  std::cerr << "\n";
  return 2;
}

// A folder of the record as a path here: Windows separators become "/".
std::string LocalPath(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// One line from the terminal; nothing when input has ended.
std::optional<std::string> ReadLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The message box of the record, answered on the terminal. Returns false when
// the answer stops the extraction (No, Cancel, Abort, or input that ended).
bool AskMessage(const Settings& s) {
  struct Button {
    const char* label;
    char key;
    bool goesOn;
  };
  std::vector<Button> buttons;
  switch (s.messageFlags & 0x0F) {
    case 1: buttons = {{"[O]K", 'o', true}, {"[C]ancel", 'c', false}}; break;
    case 2: buttons = {{"[A]bort", 'a', false}, {"[R]etry", 'r', true}, {"[I]gnore", 'i', true}}; break;
    case 3: buttons = {{"[Y]es", 'y', true}, {"[N]o", 'n', false}, {"[C]ancel", 'c', false}}; break;
    case 4: buttons = {{"[Y]es", 'y', true}, {"[N]o", 'n', false}}; break;
    case 5: buttons = {{"[R]etry", 'r', true}, {"[C]ancel", 'c', false}}; break;
    default: break;
  }
  std::cout << s.message << "\n";
  if (buttons.empty()) return true;  // an OK box only informs
  const size_t defaultIndex = std::min<size_t>((s.messageFlags >> 8) & 0x0F, buttons.size() - 1);
  for (;;) {
    for (size_t i = 0; i < buttons.size(); ++i)
      std::cout << (i ? " / " : "") << buttons[i].label << (i == defaultIndex ? "*" : "");
    std::cout << ": " << std::flush;
    const std::optional<std::string> line = ReadLine();
    if (!line) {
      std::cout << "\n";
      return false;
    }
    if (line->empty()) return buttons[defaultIndex].goesOn;
    const char key = static_cast<char>(tolower(static_cast<unsigned char>((*line)[0])));
    for (const Button& b : buttons)
      if (b.key == key) return b.goesOn;
  }
}

class Extractor {
 public:
  Extractor(int archive, const Directory& dir, uint8_t overwrite) : fd_(archive), dir_(dir), mode_(overwrite) {}

  // Extracts every entry into the folder open on base.
  void Run(int base) {
    base_ = base;
    for (const Entry& e : dir_.entries) One(e);
  }
  int extracted = 0, skipped = 0, failed = 0;

 private:
  void Refuse(const std::string& name, const std::string& why) {
    std::cerr << "  refused: " << name << " (" << why << ")\n";
    ++failed;
  }

  // The folders of a path, made where missing, never through a link. Returns the
  // descriptor of the innermost one (or base itself), -1 on failure.
  int Folders(const std::vector<std::string>& parts, size_t count, std::string& why) {
    int cur = dup(base_);
    for (size_t i = 0; i < count && cur >= 0; ++i) {
      if (mkdirat(cur, parts[i].c_str(), 0777) != 0 && errno != EEXIST) {
        why = "cannot create the folder " + parts[i] + " (" + zipcommon::ErrnoText(errno) + ")";
        close(cur);
        return -1;
      }
      const int next = openat(cur, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      close(cur);
      cur = next;
      if (cur < 0) why = "folder on the way is a link or a file";
    }
    return cur;
  }

  // Whether an existing file is replaced, as the overwrite mode says.
  bool MayReplace(const std::string& name) {
    if (mode_ == kOverwrite || all_ == 1) return true;
    if (mode_ == kSkip || all_ == 0) return false;
    for (;;) {
      std::cout << "Replace " << name << "? [y]es, [n]o, [A]ll, [N]one: " << std::flush;
      const std::optional<std::string> line = ReadLine();
      if (!line) {
        std::cout << "\n";
        all_ = 0;  // no one answers any more: keep what exists
        return false;
      }
      if (*line == "y" || *line == "Y" || *line == "yes") return true;
      if (*line == "n" || *line == "no") return false;
      if (*line == "A") return (all_ = 1) == 1;
      if (*line == "N") return (all_ = 0) == 1;
    }
  }

  bool CopyData(const Entry& e, int out, std::string& why) {
    std::vector<uint8_t> in(kChunk), buf(kChunk);
    uint64_t pos = e.dataPos, left = e.compressedSize, written = 0;
    uLong crc = crc32(0, nullptr, 0);
    auto emit = [&](const uint8_t* p, size_t n) {
      crc = crc32(crc, p, static_cast<uInt>(n));
      written += n;
      if (written > e.uncompressedSize) return why = "entry holds more data than declared", false;
      if (!outside_io::DiskWrite(out, p, n)) return why = "cannot write (" + zipcommon::ErrnoText(errno) + ")", false;
      return true;
    };
    if (e.method == zipcommon::kMethodStored) {
      while (left > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
        if (!zipcommon::ReadAt(fd_, in.data(), n, pos)) return why = "cannot read the archive", false;
        pos += n;
        left -= n;
        if (!emit(in.data(), n)) return false;
      }
    } else {
      z_stream zs{};
      if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return why = "out of memory", false;
      std::unique_ptr<z_stream, int (*)(z_stream*)> end(&zs, inflateEnd);
      for (;;) {
        if (zs.avail_in == 0 && left > 0) {
          const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
          if (!zipcommon::ReadAt(fd_, in.data(), n, pos)) return why = "cannot read the archive", false;
          pos += n;
          left -= n;
          zs.next_in = in.data();
          zs.avail_in = static_cast<uInt>(n);
        }
        zs.next_out = buf.data();
        zs.avail_out = static_cast<uInt>(kChunk);
        const int r = inflate(&zs, Z_NO_FLUSH);
        if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) return why = "bad compressed data", false;
        if (!emit(buf.data(), kChunk - zs.avail_out)) return false;
        if (r == Z_STREAM_END) break;
        if (r == Z_BUF_ERROR && left == 0 && zs.avail_in == 0) return why = "compressed data ends early", false;
      }
    }
    if (written != e.uncompressedSize) return why = "entry holds less data than declared", false;
    if (crc != e.crc) return why = "CRC error", false;
    return true;
  }

  void One(const Entry& e) {
    std::string stored;
    if (!zipcommon::ReadStoredName(fd_, e, stored)) return Refuse("?", "cannot read the name");
    const std::string name =
        ziplib_names::DecodeEntryName(stored, e.flag, e.hostSystem, e.madeByVersion, ziplib_names::kCpAuto);
    zipcommon::SafeName safe = zipcommon::CheckEntryName(name);
    if (e.hostSystem == ziplib_names::kHostUnix) {
      // Only data and folders are ever written: links and device nodes are refused.
      const uint32_t type = (e.externalAttributes >> 16) & S_IFMT;
      if (type == S_IFDIR)
        safe.isFolder = true;
      else if (type != 0 && type != S_IFREG && type != S_IFIFO && safe.refusal.empty())
        safe.refusal = type == S_IFLNK ? "symbolic link entry refused" : "special file entry refused";
    }
    if (!safe.refusal.empty()) return Refuse(name, safe.refusal);
    std::string why;
    if (safe.isFolder) {
      const int d = Folders(safe.parts, safe.parts.size(), why);
      if (d < 0) return Refuse(name, why);
      close(d);
      return;
    }
    if (e.problem) return Refuse(name, e.problem.text);
    if (e.flag & (zipcommon::kFlagEncrypted | zipcommon::kFlagStrongEncryption | zipcommon::kFlagMaskedHeader))
      return Refuse(name, "encrypted entry (not supported)");
    if (e.method != zipcommon::kMethodStored && e.method != zipcommon::kMethodDeflated)
      return Refuse(name, "compression method " + std::to_string(e.method) + " (not supported)");

    // One file per name, as the extracting library keeps it: a later entry of a
    // name already written would put its bytes under the first one's listing.
    std::string outPath;
    for (const std::string& part : safe.parts) outPath += part + "/";
    if (written_.count(outPath)) return Refuse(name, "an earlier entry of the archive wrote this name");
    const int folder = Folders(safe.parts, safe.parts.size() - 1, why);
    if (folder < 0) return Refuse(name, why);
    const std::string& leaf = safe.parts.back();
    struct stat st;
    if (fstatat(folder, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(st.st_mode)) {
        close(folder);
        return Refuse(name, "a folder of that name exists");
      }
      if (!MayReplace(name)) {
        close(folder);
        std::cout << "  skipped: " << name << "\n";
        ++skipped;
        return;
      }
    }
    // Written under a hidden name, synced and renamed: the file appears whole or
    // not at all, and an existing one stays until then.
    outside_io::SafeFile file;
    if (!CreateGuardedTemp(folder, file)) {
      why = "cannot create the file (" + zipcommon::ErrnoText(errno) + ")";
      close(folder);
      return Refuse(name, why);
    }
    const int out = file.fd();
    bool ok = CopyData(e, out, why);
    if (ok && e.hostSystem == ziplib_names::kHostUnix && (e.externalAttributes >> 16) != 0) {
      const mode_t mode = static_cast<mode_t>((e.externalAttributes >> 16) & 0777);
      if (fchmod(out, mode) != 0) ok = false, why = "cannot set the mode (" + zipcommon::ErrnoText(errno) + ")";
    }
    if (ok) {
      const time_t t = zipcommon::FromDosDateTime(e.dosTime);
      struct timespec times[2] = {{t, 0}, {t, 0}};
      futimens(out, times);
      if (!file.Sync()) ok = false, why = "cannot sync (" + zipcommon::ErrnoText(errno) + ")";
    }
    if (!file.Close() && ok) ok = false, why = "cannot close (" + zipcommon::ErrnoText(errno) + ")";
    if (!ReleaseGuardedTemp(file, leaf, ok) && ok)
      ok = false, why = "cannot rename into place (" + zipcommon::ErrnoText(errno) + ")";
    close(folder);
    if (!ok) return Refuse(name, why);
    written_.insert(outPath);
    std::cout << "  extracted: " << name << "\n";
    ++extracted;
  }

  int fd_;
  const Directory& dir_;
  uint8_t mode_;
  int base_ = -1;
  int all_ = -1;                   // an "all" answer: 1 replace every file, 0 none
  std::set<std::string> written_;  // output paths written in this run
};

// Makes the folder and its parents where missing.
bool MakeFolders(const std::string& path) {
  std::string part;
  size_t i = 0;
  while (i <= path.size()) {
    const size_t slash = path.find('/', i);
    part = path.substr(0, slash == std::string::npos ? path.size() : slash);
    if (!part.empty() && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
    i = slash + 1;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder to extract to: the argument, else the record's (expanded when it
// asks), else its fallback, else the current one; without autorun it is offered
// first, as the extract window did.
std::string ChooseFolder(const Settings& s, const char* argv0, const std::string* folderArg) {
  auto expand = [&](const std::string& t) { return s.options & kExpandVariables ? ExpandVariables(t) : t; };
  std::string folder = folderArg ? *folderArg : LocalPath(expand(s.defaultPath));
  if (folder.empty()) folder = LocalPath(expand(s.fallbackPath));
  if (folder.empty()) folder = ".";
  const bool autoRun =
      (s.options & kAutoRun) || ((s.options & kCheckAutoRunFileName) && BaseName(argv0).rfind('!', 0) == 0);
  if (!folderArg && !autoRun) {
    std::cout << "Extract to [" << folder << "]: " << std::flush;
    if (const std::optional<std::string> line = ReadLine(); line && !line->empty())
      folder = *line;
    else if (!line)
      std::cout << "\n";
  }
  return folder;
}

// Extracts every entry into folder, made where missing; the exit status.
int ExtractAll(int fd, const Directory& dir, const Settings& s, const std::string& folder) {
  if (!MakeFolders(folder)) {
    std::cerr << "Error: cannot create the folder " << folder << " (" << zipcommon::ErrnoText(errno) << ")\n";
    return 2;
  }
  const int base = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (base < 0) {
    std::cerr << "Error: cannot open the folder " << folder << "\n";
    return 2;
  }
  Extractor x(fd, dir, s.overwrite);
  x.Run(base);
  close(base);
  if (!(s.options & kNoSuccessMsg) || x.failed > 0) {
    std::cout << x.extracted << " file(s) extracted to " << folder;
    if (x.skipped) std::cout << ", " << x.skipped << " skipped";
    if (x.failed) std::cout << ", " << x.failed << " failed";
    std::cout << ".\n";
  }
  return x.failed > 0 ? 2 : 0;
}

// The command line runs after a good extraction, in the folder; "><" stands for
// the folder. With soAskCmdLine the user may decline it, and no answer (input
// that has ended) declines it too.
int RunAfter(const Settings& s, const std::string& folder) {
  if (s.commandLine.empty()) return 0;
  char* full = realpath(folder.c_str(), nullptr);
  const std::string where = full ? full : folder;
  free(full);
  const std::vector<std::string> args = SplitCommandLine(s.commandLine, where, s.options & kExpandVariables);
  if (args.empty() || args[0].empty()) return 0;
  if (s.options & kAskCmdLine) {
    std::cout << "Run " << ShownCommand(args) << "? [Y]es / [n]o: " << std::flush;
    const std::optional<std::string> line = ReadLine();
    if (!line) {
      std::cout << "\nNot run.\n";
      return 0;
    }
    if (!line->empty() && tolower(static_cast<unsigned char>((*line)[0])) == 'n') return 0;
  }
  return RunCommand(args, where);
}

}  // namespace

int main(int argc, char** argv) {
  InstallEndSignals();
  std::string folderArg;
  bool haveFolder = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::cout << "usage: " << argv[0] << " [folder]\n";
      return 0;
    }
    if (!haveFolder) folderArg = a, haveFolder = true;
  }

  // The program's own file holds the record and the archive.
  const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::cerr << "Error: cannot open the program's own file\n";
    return 2;
  }
  Directory dir;
  if (zipcommon::Problem p = zipcommon::ReadDirectory(fd, dir)) {
    std::cerr << "Error: no archive in this program (" << p.text << ")\n";
    return 2;
  }
  const Settings s = ReadSettings(fd, dir);
  if (!s.title.empty()) std::cout << s.title << "\n";
  // The message comes first: No or Cancel there stops before anything is written.
  if (!s.message.empty() && !AskMessage(s)) {
    std::cout << "Nothing extracted.\n";
    return 1;
  }
  const std::string folder = ChooseFolder(s, argv[0], haveFolder ? &folderArg : nullptr);
  if (const int status = ExtractAll(fd, dir, s, folder); status != 0) return status;
  return RunAfter(s, folder);
}
