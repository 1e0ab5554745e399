#include "lib_support.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "interfaces/ziplib_errors.h"
#include "outside/common/safe_file.h"

namespace zipcommon {

void PutText(char* dst, size_t cap, std::string_view text) {
  size_t n = std::min(text.size(), cap - 1);
  if (n < text.size())
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(dst, text.data(), n);
  dst[n] = '\0';
}

bool Callback::Send(int code, int32_t error, uint32_t size, std::string_view text) {
  if (aborted_) return false;
  std::memset(&rec_, 0, sizeof rec_);
  rec_.Instance = instance_;
  rec_.IsZip = isZip_ ? 1 : 0;
  rec_.Action = code;
  rec_.Error = error;
  rec_.Size = static_cast<int32_t>(size);
  PutText(rec_.Msg.Text, sizeof rec_.Msg.Text, text);
  if (fn_(&rec_) == ZIPABI_CANCEL) aborted_ = true;
  return !aborted_;
}

bool Callback::SendFilled(const ZipCallbackRec& filled) {
  if (aborted_) return false;
  rec_ = filled;
  rec_.Instance = instance_;
  rec_.IsZip = isZip_ ? 1 : 0;
  if (fn_(&rec_) == ZIPABI_CANCEL) aborted_ = true;
  return !aborted_;
}

void Callback::Finish() {
  if (!aborted_ || finished_) return;
  finished_ = true;
  std::memset(&rec_, 0, sizeof rec_);
  rec_.Instance = instance_;
  rec_.IsZip = isZip_ ? 1 : 0;
  rec_.Action = ZIPCB_MESSAGE;
  rec_.Error = ZIPERR_ABORTED;
  PutText(rec_.Msg.Text, sizeof rec_.Msg.Text, "Operation aborted");
  (void)fn_(&rec_);
}

void Fd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void WriteBehind::Written(int fd, uint64_t end) {
  constexpr uint64_t kStep = uint64_t(16) << 20;
  if (end < from_ + kStep) return;
  sync_file_range(fd, static_cast<off_t>(from_), static_cast<off_t>(end - from_), SYNC_FILE_RANGE_WRITE);
  from_ = end;
}

void WipeString(std::string& s) {
  volatile char* p = s.data();
  for (size_t i = 0; i < s.size(); ++i) p[i] = 0;
  s.clear();
}

std::string ErrnoText(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);
}

void SplitPath(const std::string& path, std::string& folder, std::string& leaf) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    folder = ".";
    leaf = path;
  } else {
    folder = slash == 0 ? "/" : path.substr(0, slash);
    leaf = path.substr(slash + 1);
  }
}

SafeName CheckEntryName(std::string_view name) {
  SafeName out;
  if (name.empty()) {
    out.refusal = "empty entry name";
    return out;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool c1 = c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(name[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      out.refusal = "control character in the entry name";
      return out;
    }
  }
  if (name[0] == '/' || name[0] == '\\') {
    out.refusal = "absolute entry name";
    return out;
  }
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    out.refusal = "drive letter in the entry name";
    return out;
  }
  std::string_view rest = name;
  if (rest.back() == '/' || rest.back() == '\\') {
    out.isFolder = true;
    rest.remove_suffix(1);
  }
  size_t start = 0;
  while (true) {
    size_t sep = rest.find_first_of("/\\", start);
    std::string_view part = rest.substr(start, sep == std::string_view::npos ? std::string_view::npos : sep - start);
    if (part.empty()) {
      out.refusal = "empty folder name in the entry name";
      out.parts.clear();
      return out;
    }
    if (part == "." || part == "..") {
      out.refusal = "\".\" or \"..\" in the entry name";
      out.parts.clear();
      return out;
    }
    out.parts.emplace_back(part);
    if (sep == std::string_view::npos) break;
    start = sep + 1;
  }
  return out;
}

namespace {
size_t Utf8Len(unsigned char c) {
  return c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
}
}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // Iterative matcher with one backtrack point: linear in practice, never
  // exponential on hostile patterns.
  size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n += std::min(Utf8Len(static_cast<unsigned char>(name[n])), name.size() - n);
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      starN += std::min(Utf8Len(static_cast<unsigned char>(name[starN])), name.size() - starN);
      n = starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool HasWildcards(std::string_view s) { return s.find_first_of("*?") != std::string_view::npos; }

}  // namespace zipcommon

namespace zipcommon {

namespace {

bool MakeFolders(const std::string& path) {
  std::string cur;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    cur = path.substr(0, slash);
    if (!cur.empty() && mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) return false;
    pos = slash + 1;
  }
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string PercentEncode(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
                       c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

}  // namespace

bool MoveToTrash(const std::string& path, std::string& why) {
  std::string data;
  if (const char* x = getenv("XDG_DATA_HOME"); x && *x == '/') {
    data = x;
  } else if (const char* h = getenv("HOME"); h && *h == '/') {
    data = std::string(h) + "/.local/share";
  } else {
    why = "no home folder for the trash";
    return false;
  }
  const std::string trash = data + "/Trash";
  if (!MakeFolders(trash + "/files") || !MakeFolders(trash + "/info")) {
    why = "cannot create the trash folders: " + ErrnoText(errno);
    return false;
  }
  std::string folder, leaf;
  SplitPath(path, folder, leaf);
  char* real = realpath(folder.c_str(), nullptr);
  if (!real) {
    why = ErrnoText(errno);
    return false;
  }
  std::string absolute = std::string(real) + (std::string(real) == "/" ? "" : "/") + leaf;
  free(real);

  for (int k = 0; k < 1000; ++k) {
    const std::string name = k == 0 ? leaf : leaf + "." + std::to_string(k);
    const std::string info = trash + "/info/" + name + ".trashinfo";
    int fd = open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      why = ErrnoText(errno);
      return false;
    }
    char when[32];
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &tm);
    const std::string text = "[Trash Info]\nPath=" + PercentEncode(absolute) + "\nDeletionDate=" + when + "\n";
    const bool wrote = outside_io::DiskWrite(fd, text.data(), text.size());
    if (!outside_io::DiskClose(fd) || !wrote || rename(path.c_str(), (trash + "/files/" + name).c_str()) != 0) {
      why = ErrnoText(errno);
      unlink(info.c_str());
      return false;
    }
    return true;
  }
  why = "too many files of that name in the trash";
  return false;
}

}  // namespace zipcommon
