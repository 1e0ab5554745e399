#include "card/version_info.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cstring>
#include <string>

#include "platform/codepage.h"
#include "platform/library.h"

namespace {

constexpr char kMagic[8] = {'T', 'V', 'E', 'R', 'I', 'N', 'F', 'O'};
// Windows version resources are a few KiB; anything this large is not ours.
constexpr uint64_t kMaxRecord = 1u << 20;

const char kCannotObtain[] = "Cannot obtain version info.";
const char kNoLanguage[] = "No language info.";
const char kNoVersionInfo[] = "No Version Info Available.";
const char kNoFixed[] = "No fixed file info";

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool ReadAt(int fd, uint64_t offset, uint64_t fileSize, void* out, size_t size) {
  if (offset > fileSize || size > fileSize - offset) return false;
  auto* p = static_cast<char*>(out);
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

struct SectionSpan {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Looks the section up by name through the section headers. Throws
// ENoVerInfoError when the file is no ELF file we can read or has no such
// section.
template <typename Ehdr, typename Shdr>
SectionSpan FindSection(int fd, uint64_t fileSize) {
  Ehdr eh;
  if (!ReadAt(fd, 0, fileSize, &eh, sizeof eh)) throw ENoVerInfoError(kNoVersionInfo);
  if (eh.e_shoff == 0 || eh.e_shentsize < sizeof(Shdr)) throw ENoVerInfoError(kNoVersionInfo);
  Shdr first;
  if (!ReadAt(fd, eh.e_shoff, fileSize, &first, sizeof first)) throw ENoVerInfoError(kNoVersionInfo);
  // Very large section counts and string-table indexes live in section 0.
  uint64_t count = eh.e_shnum ? eh.e_shnum : first.sh_size;
  uint64_t strIndex = eh.e_shstrndx == SHN_XINDEX ? first.sh_link : eh.e_shstrndx;
  if (count == 0 || count > 65536 * 16 || strIndex >= count) throw ENoVerInfoError(kNoVersionInfo);
  auto header = [&](uint64_t i, Shdr* sh) {
    return ReadAt(fd, eh.e_shoff + i * eh.e_shentsize, fileSize, sh, sizeof *sh);
  };
  Shdr strtab;
  if (!header(strIndex, &strtab) || strtab.sh_type == SHT_NOBITS) throw ENoVerInfoError(kNoVersionInfo);
  const size_t nameLen = sizeof kVerInfoSection;  // with its terminator
  for (uint64_t i = 0; i < count; ++i) {
    Shdr sh;
    if (!header(i, &sh)) throw ENoVerInfoError(kNoVersionInfo);
    if (sh.sh_name >= strtab.sh_size || strtab.sh_size - sh.sh_name < nameLen) continue;
    char name[sizeof kVerInfoSection];
    if (!ReadAt(fd, strtab.sh_offset + sh.sh_name, fileSize, name, nameLen)) continue;
    if (std::memcmp(name, kVerInfoSection, nameLen) != 0) continue;
    if (sh.sh_type == SHT_NOBITS) throw EVerInfoError(kCannotObtain);
    return SectionSpan{sh.sh_offset, sh.sh_size};
  }
  throw ENoVerInfoError(kNoVersionInfo);
}

uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool EqualNoCase(const char* a, size_t alen, const QByteArray& b) {
  if (alen != static_cast<size_t>(b.size())) return false;
  for (size_t i = 0; i < alen; ++i) {
    char x = a[i], y = b[static_cast<qsizetype>(i)];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

QString VersionWordsText(uint32_t ms, uint32_t ls) {
  return QString::asprintf("%d.%d.%d.%d", static_cast<int>(ms >> 16), static_cast<int>(ms & 0xFFFF),
                           static_cast<int>(ls >> 16), static_cast<int>(ls & 0xFFFF));
}

QString VersionFilePath(const QString& fileName) {
  if (fileName.contains(QLatin1Char('/'))) return fileName;
  const std::string configured = QFile::encodeName(fileName).toStdString();
  for (const std::string& candidate : LibraryCandidates(configured)) {
    if (candidate.find('/') != std::string::npos) {
      if (access(candidate.c_str(), F_OK) == 0) return QFile::decodeName(candidate.c_str());
      continue;
    }
    // On the system's library path: only a library that is loaded already can be
    // found without loading (and so running) it.
    if (void* h = dlopen(candidate.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
      link_map* map = nullptr;
      QString path;
      if (dlinfo(h, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name)
        path = QFile::decodeName(map->l_name);
      dlclose(h);
      if (!path.isEmpty()) return path;
    }
  }
  return fileName;
}

TVerInfoRes::TVerInfoRes(const QString& fileName) : fileName_(fileName) {
  const QByteArray path = QFile::encodeName(VersionFilePath(fileName));
  Fd fd(open(path.constData(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw ENoVerInfoError(kNoVersionInfo);
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) throw ENoVerInfoError(kNoVersionInfo);
  const auto fileSize = static_cast<uint64_t>(st.st_size);

  unsigned char ident[EI_NIDENT];
  if (!ReadAt(fd.get(), 0, fileSize, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
    throw ENoVerInfoError(kNoVersionInfo);
  const unsigned char nativeData = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
  if (ident[EI_DATA] != nativeData) throw ENoVerInfoError(kNoVersionInfo);
  SectionSpan span;
  if (ident[EI_CLASS] == ELFCLASS64)
    span = FindSection<Elf64_Ehdr, Elf64_Shdr>(fd.get(), fileSize);
  else if (ident[EI_CLASS] == ELFCLASS32)
    span = FindSection<Elf32_Ehdr, Elf32_Shdr>(fd.get(), fileSize);
  else
    throw ENoVerInfoError(kNoVersionInfo);

  if (span.size > kMaxRecord) throw EVerInfoError(kCannotObtain);
  bytes_.resize(static_cast<size_t>(span.size));
  if (!ReadAt(fd.get(), span.offset, fileSize, bytes_.data(), bytes_.size())) throw EVerInfoError(kCannotObtain);
  size_ = static_cast<uint32_t>(bytes_.size());
  if (bytes_.size() < sizeof kMagic || std::memcmp(bytes_.data(), kMagic, sizeof kMagic) != 0)
    throw EVerInfoError(kCannotObtain);

  // Each part is checked against what is left of the record before it is used.
  size_t pos = sizeof kMagic;
  auto left = [&] { return bytes_.size() - pos; };

  if (left() < 4) throw EVerInfoError(kNoLanguage);
  uint32_t translations = Le32(&bytes_[pos]);
  pos += 4;
  if (translations == 0 || translations > left() / 4) throw EVerInfoError(kNoLanguage);
  translation_ = pos;
  pos += static_cast<size_t>(translations) * 4;

  if (left() < 4) throw eNoFixeVerInfo(kNoFixed);
  uint32_t fixedSize = Le32(&bytes_[pos]);
  pos += 4;
  if (fixedSize < sizeof(VS_FIXEDFILEINFO) || fixedSize > left()) throw eNoFixeVerInfo(kNoFixed);
  uint32_t words[13];
  for (int i = 0; i < 13; ++i) words[i] = Le32(&bytes_[pos + 4 * static_cast<size_t>(i)]);
  std::memcpy(&fixed_, words, sizeof fixed_);
  if (fixed_.dwSignature != kVerInfoFixedSignature) throw eNoFixeVerInfo(kNoFixed);
  pos += fixedSize;

  // A string table that does not fit is treated as absent: the numbers above are
  // still good.
  if (left() >= 4) {
    uint32_t stringsSize = Le32(&bytes_[pos]);
    pos += 4;
    if (stringsSize <= left()) {
      stringsOffset_ = pos;
      stringsSize_ = stringsSize;
    }
  }

  const uint32_t flags = fixed_.dwFileFlags & fixed_.dwFileFlagsMask;
  if (flags & VS_FF_PRERELEASE) flags_ << QStringLiteral("Pre-release");
  if (flags & VS_FF_PRIVATEBUILD) flags_ << QStringLiteral("Private build");
  if (flags & VS_FF_SPECIALBUILD) flags_ << QStringLiteral("Special build");
  if (flags & VS_FF_DEBUG) flags_ << QStringLiteral("Debug");
}

QString TVerInfoRes::FileVersion() const { return VersionWordsText(fixed_.dwFileVersionMS, fixed_.dwFileVersionLS); }

QString TVerInfoRes::ProductVersion() const {
  return VersionWordsText(fixed_.dwProductVersionMS, fixed_.dwProductVersionLS);
}

uint32_t TVerInfoRes::Translation() const { return Le32(&bytes_[translation_]); }

std::optional<QByteArray> TVerInfoRes::QueryValue(const QString& subBlock) const {
  const QByteArray wanted = ToCp1250(subBlock);
  const char* p = reinterpret_cast<const char*>(bytes_.data()) + stringsOffset_;
  const char* end = p + stringsSize_;
  while (p < end) {
    const char* keyEnd = static_cast<const char*>(std::memchr(p, '\0', static_cast<size_t>(end - p)));
    if (!keyEnd) break;
    const char* value = keyEnd + 1;
    const char* valueEnd =
        value < end ? static_cast<const char*>(std::memchr(value, '\0', static_cast<size_t>(end - value))) : nullptr;
    if (!valueEnd) break;
    if (EqualNoCase(p, static_cast<size_t>(keyEnd - p), wanted))
      return QByteArray(value, static_cast<qsizetype>(valueEnd - value));
    p = valueEnd + 1;
  }
  return std::nullopt;
}

QString GetVersionString(const QString& fileName) {
  try {
    return TVerInfoRes(fileName).FileVersion();
  } catch (const std::exception&) {
    return QString();
  }
}

QString GetFileMajorVersion(const QString& fileName) {
  try {
    QString product = TVerInfoRes(fileName).ProductVersion();
    qsizetype dot = product.indexOf(QLatin1Char('.'));
    return dot < 0 ? product : product.left(dot);
  } catch (const std::exception&) {
    return QString();
  }
}

QString GetVersionInfoValue(const QString& name) {
  try {
    TVerInfoRes info(QStringLiteral("/proc/self/exe"));
    std::optional<QByteArray> value = info.QueryValue(QStringLiteral("\\StringFileInfo\\041A04E2\\") + name);
    return value ? FromCp1250(*value) : QString();
  } catch (const std::exception&) {
    return QString();
  }
}

QString GetModuleMajorVersion(const QString& moduleFile, const CK_VERSION& libraryVersion) {
  QString major = GetFileMajorVersion(moduleFile);
  if (!major.isEmpty()) return major;
  return QString::number(libraryVersion.major);
}
