#include "platform/registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/replacement_file.h"

namespace regstore {
namespace {

// A hive file larger than this is not a hive we wrote; refusing it keeps a
// stray file from eating memory.
constexpr size_t kMaxHiveFile = 64u << 20;

// Upper-case of one code page 1250 byte, for comparing names.
unsigned char FoldByte(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0x9A: return 0x8A;  // š Š
    case 0x9C: return 0x8C;  // ś Ś
    case 0x9D: return 0x8D;  // ť Ť
    case 0x9E: return 0x8E;  // ž Ž
    case 0x9F: return 0x8F;  // ź Ź
    case 0xB3: return 0xA3;  // ł Ł
    case 0xB9: return 0xA5;  // ą Ą
    case 0xBA: return 0xAA;  // ş Ş
    case 0xBE: return 0xBC;  // ľ Ľ
    case 0xBF: return 0xAF;  // ż Ż
    default: break;
  }
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 0x20);
  return c;
}

struct Value {
  std::string name;
  uint32_t type = 0;
  std::string data;
};

struct Key {
  std::vector<std::string> segments;
  std::vector<Value> values;
};

using Model = std::vector<Key>;

// --- paths --------------------------------------------------------------------

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir;
  return "/";
}

std::string ConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return xdg;
  return HomeFolder() + "/.config";
}

std::string ParentFolder(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

long ErrnoResult(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS: return kAccessDenied;
    case ENOSPC:
    case EDQUOT: return kDiskFull;
    default: return kIoFailed;
  }
}

// mkdir -p; true when the folder exists afterwards.
bool MakeFolders(const std::string& folder, mode_t mode, int* err) {
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *err = ENOTDIR;
    return false;
  }
  std::string parent = ParentFolder(folder);
  if (parent != folder && !MakeFolders(parent, mode, err)) return false;
  if (mkdir(folder.c_str(), mode) == 0 || errno == EEXIST) return true;
  *err = errno;
  return false;
}

// --- escaping -------------------------------------------------------------------

bool NeedsEscape(unsigned char c) { return c < 0x20 || c >= 0x7F || c == '%' || c == '"' || c == '[' || c == ']'; }

void AppendEscaped(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (NeedsEscape(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi << 4 | lo);
      i += 2;
    } else if (NeedsEscape(static_cast<unsigned char>(c))) {
      return std::nullopt;  // a raw byte we never write: not our file
    } else {
      out += c;
    }
  }
  return out;
}

// --- key paths ------------------------------------------------------------------

// Splits "A\B\C" into segments. A single trailing "\" is accepted; a leading one
// or an empty segment is a bad path, as the registry has it.
long SplitKey(std::string_view key, std::vector<std::string>* segments) {
  segments->clear();
  if (key.find('\0') != std::string_view::npos) return kInvalidParameter;
  if (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  if (key.empty()) return kSuccess;
  size_t start = 0;
  while (true) {
    size_t end = key.find('\\', start);
    std::string_view seg = key.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (seg.empty()) return kBadPathname;
    segments->emplace_back(seg);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return kSuccess;
}

bool SegmentsEqual(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!NamesEqual(a[i], b[i])) return false;
  return true;
}

// Whether `key` is `prefix` or lies below it.
bool IsWithin(const std::vector<std::string>& key, const std::vector<std::string>& prefix) {
  if (key.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (!NamesEqual(key[i], prefix[i])) return false;
  return true;
}

Key* FindKey(Model& model, const std::vector<std::string>& segments) {
  for (Key& k : model)
    if (SegmentsEqual(k.segments, segments)) return &k;
  return nullptr;
}

// A key exists when it has a section of its own or lies above one (creating a
// key creates its parents).
bool Exists(const Model& model, const std::vector<std::string>& segments) {
  if (segments.empty()) return true;
  for (const Key& k : model)
    if (IsWithin(k.segments, segments)) return true;
  return false;
}

Value* FindValue(Key& key, std::string_view name) {
  for (Value& v : key.values)
    if (NamesEqual(v.name, name)) return &v;
  return nullptr;
}

Key& EnsureKey(Model& model, const std::vector<std::string>& segments) {
  if (Key* k = FindKey(model, segments)) return *k;
  model.push_back(Key{segments, {}});
  return model.back();
}

// --- file -----------------------------------------------------------------------

long Parse(const std::string& text, Model* model) {
  model->clear();
  Key* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line(text.data() + pos, (nl == std::string::npos ? text.size() : nl) - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.size() < 2 || line.back() != ']') return kInvalidData;
      std::optional<std::string> path = Unescape(line.substr(1, line.size() - 2));
      if (!path) return kInvalidData;
      std::vector<std::string> segments;
      if (SplitKey(*path, &segments) != kSuccess) return kInvalidData;
      current = &EnsureKey(*model, segments);
      continue;
    }
    if (line.front() != '"' || !current) return kInvalidData;
    size_t close = line.find('"', 1);
    if (close == std::string_view::npos || close + 1 >= line.size() || line[close + 1] != '=') return kInvalidData;
    std::optional<std::string> name = Unescape(line.substr(1, close - 1));
    if (!name) return kInvalidData;
    std::string_view rest = line.substr(close + 2);
    size_t colon = rest.find(':');
    if (colon == 0 || colon == std::string_view::npos || colon > 10) return kInvalidData;
    uint64_t type = 0;
    for (char c : rest.substr(0, colon)) {
      if (c < '0' || c > '9') return kInvalidData;
      type = type * 10 + static_cast<uint64_t>(c - '0');
    }
    if (type > 0xFFFFFFFFu) return kInvalidData;
    std::optional<std::string> data = Unescape(rest.substr(colon + 1));
    if (!data) return kInvalidData;
    if (Value* v = FindValue(*current, *name)) {
      v->type = static_cast<uint32_t>(type);
      v->data = std::move(*data);
    } else {
      current->values.push_back(Value{std::move(*name), static_cast<uint32_t>(type), std::move(*data)});
    }
  }
  return kSuccess;
}

std::string Serialize(const Model& model) {
  std::string out = "; Tarvi Sealdesk registry hive\n";
  for (const Key& k : model) {
    out += "\n[";
    for (size_t i = 0; i < k.segments.size(); ++i) {
      if (i) out += '\\';
      AppendEscaped(out, k.segments[i]);
    }
    out += "]\n";
    for (const Value& v : k.values) {
      out += '"';
      AppendEscaped(out, v.name);
      out += "\"=";
      out += std::to_string(v.type);
      out += ':';
      AppendEscaped(out, v.data);
      out += '\n';
    }
  }
  return out;
}

// Reads the hive file. A missing file is an empty hive. *mode gets the file's
// permission bits when it exists.
long LoadFile(const std::string& path, Model* model, mode_t* mode) {
  model->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return kSuccess;
    return ErrnoResult(errno);
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    return ErrnoResult(err);
  }
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxHiveFile) {
    close(fd);
    return kInvalidData;
  }
  if (mode) *mode = st.st_mode & 07777;
  std::string text;
  char buf[16384];
  while (true) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd);
      return ErrnoResult(err);
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMaxHiveFile) {
      close(fd);
      return kInvalidData;
    }
  }
  close(fd);
  return Parse(text, model);
}

// The hive's new text replaces the file whole, through the program's one writer:
// a reader (which takes no lock) sees the old hive or the new one.
long ReplaceFile(const std::string& path, const std::string& data, mode_t mode) {
  TReplacementFile out;
  out.SetMode(mode);
  if (out.Create(QFile::decodeName(path.c_str())) && out.Write(data.data(), data.size()) && out.Commit(true))
    return kSuccess;
  return ErrnoResult(out.SystemError());
}

bool IsMachineHive(Hive hive) { return hive == Hive::LocalMachine; }

// Runs `change` on the hive under the lock and writes the result when it asks to.
// `change` returns a result code and sets *write when the model was changed.
template <typename Change>
long Modify(Hive hive, Change change) {
  const std::string path = HivePath(hive);
  const mode_t folderMode = IsMachineHive(hive) ? 0755 : 0700;
  const mode_t fileMode = IsMachineHive(hive) ? 0644 : 0600;
  int err = 0;
  if (!MakeFolders(ParentFolder(path), folderMode, &err)) return ErrnoResult(err);
  int lock = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, fileMode);
  if (lock < 0) return ErrnoResult(errno);
  while (flock(lock, LOCK_EX) != 0) {
    if (errno != EINTR) {
      int e = errno;
      close(lock);
      return ErrnoResult(e);
    }
  }
  Model model;
  mode_t mode = fileMode;
  long rc = LoadFile(path, &model, &mode);
  if (rc == kSuccess) {
    bool write = false;
    rc = change(model, &write);
    if (rc == kSuccess && write) rc = ReplaceFile(path, Serialize(model), mode);
  }
  close(lock);  // releases the flock
  return rc;
}

long CheckName(std::string_view name) {
  return name.find('\0') == std::string_view::npos ? kSuccess : kInvalidParameter;
}

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldByte(static_cast<unsigned char>(a[i])) != FoldByte(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string HivePath(Hive hive) {
  const char* dir = std::getenv("TARVI_REGISTRY_DIR");
  if (dir && *dir) {
    std::string base(dir);
    switch (hive) {
      case Hive::CurrentUser: return base + "/HKCU.ini";
      case Hive::LocalMachine: return base + "/HKLM.ini";
      case Hive::ClassesRoot: return base + "/HKCR.ini";
    }
  }
  switch (hive) {
    case Hive::CurrentUser: return ConfigFolder() + "/VodezOdir/registry.ini";
    case Hive::LocalMachine: return "/etc/VodezOdir/registry.ini";
    case Hive::ClassesRoot: return ConfigFolder() + "/VodezOdir/classes.ini";
  }
  return {};
}

long ReadValue(Hive hive, std::string_view key, std::string_view name, std::string* data, uint32_t* type) {
  std::vector<std::string> segments;
  long rc = SplitKey(key, &segments);
  if (rc == kSuccess) rc = CheckName(name);
  if (rc != kSuccess) return rc;
  Model model;
  rc = LoadFile(HivePath(hive), &model, nullptr);
  if (rc != kSuccess) return rc;
  if (!Exists(model, segments)) return kNotFound;
  Key* k = FindKey(model, segments);
  Value* v = k ? FindValue(*k, name) : nullptr;
  if (!v) return kNotFound;
  if (data) *data = v->data;
  if (type) *type = v->type;
  return kSuccess;
}

long WriteValue(Hive hive, std::string_view key, std::string_view name, std::string_view data, uint32_t type) {
  std::vector<std::string> segments;
  long rc = SplitKey(key, &segments);
  if (rc == kSuccess) rc = CheckName(name);
  if (rc != kSuccess) return rc;
  return Modify(hive, [&](Model& model, bool* write) {
    Key& k = EnsureKey(model, segments);
    if (Value* v = FindValue(k, name)) {
      v->type = type;
      v->data.assign(data);
    } else {
      k.values.push_back(Value{std::string(name), type, std::string(data)});
    }
    *write = true;
    return kSuccess;
  });
}

long DeleteValue(Hive hive, std::string_view key, std::string_view name) {
  std::vector<std::string> segments;
  long rc = SplitKey(key, &segments);
  if (rc == kSuccess) rc = CheckName(name);
  if (rc != kSuccess) return rc;
  // A missing value must not need write access (nor create the folder).
  rc = ReadValue(hive, key, name, nullptr, nullptr);
  if (rc != kSuccess) return rc;
  return Modify(hive, [&](Model& model, bool* write) {
    Key* k = FindKey(model, segments);
    if (!k) return kNotFound;
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
      if (NamesEqual(it->name, name)) {
        k->values.erase(it);
        *write = true;
        return kSuccess;
      }
    }
    return kNotFound;
  });
}

long KeyExists(Hive hive, std::string_view key) {
  std::vector<std::string> segments;
  long rc = SplitKey(key, &segments);
  if (rc != kSuccess) return rc;
  Model model;
  rc = LoadFile(HivePath(hive), &model, nullptr);
  if (rc != kSuccess) return rc;
  return Exists(model, segments) ? kSuccess : kNotFound;
}

long CreateKey(Hive hive, std::string_view key) {
  std::vector<std::string> segments;
  long rc = SplitKey(key, &segments);
  if (rc != kSuccess) return rc;
  if (KeyExists(hive, key) == kSuccess) return kSuccess;
  return Modify(hive, [&](Model& model, bool* write) {
    if (!Exists(model, segments)) {
      EnsureKey(model, segments);
      *write = true;
    }
    return kSuccess;
  });
}

long DeleteKeyTree(Hive hive, std::string_view key) {
  std::vector<std::string> segments;
  long rc = SplitKey(key, &segments);
  if (rc != kSuccess) return rc;
  if (segments.empty()) return kInvalidParameter;  // a root cannot be deleted
  rc = KeyExists(hive, key);
  if (rc != kSuccess) return rc;
  return Modify(hive, [&](Model& model, bool* write) {
    if (!Exists(model, segments)) return kNotFound;
    std::erase_if(model, [&](const Key& k) { return IsWithin(k.segments, segments); });
    // The parent was created with the key and outlives it.
    std::vector<std::string> parent(segments.begin(), segments.end() - 1);
    if (!Exists(model, parent)) model.push_back(Key{parent, {}});
    *write = true;
    return kSuccess;
  });
}

}  // namespace regstore
