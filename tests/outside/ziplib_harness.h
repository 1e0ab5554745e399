#pragma once
// Test harness for the two ZIP libraries: loads bin/libziplib.so and
// bin/libunzlib.so by path, records every callback, builds parameter records,
// and builds archives byte by byte (for hostile and unusual ones that no tool
// writes).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "outside/zipcommon/ziplib_errors.h"
#include "zip/ziplib_records.h"

namespace ziptest {

// The store suffixes of the program's ZIP component instance.
inline const char* const kDataModuleSuffixes = ".gif:.png:.z:.zip:.zoo:.arc:.lzh:.arj:.taz:.tgz:.lha";

struct Event {
  int code;
  int32_t error;
  int32_t size;
  std::string text;
};

// Receives the callbacks of one operation. onCall may write answers into the
// record and return -1 to cancel.
struct Recorder {
  std::vector<Event> events;
  std::function<int32_t(ZipCallbackRec&)> onCall;

  std::vector<Event> Of(int code) const {
    std::vector<Event> out;
    for (const Event& e : events)
      if (e.code == code) out.push_back(e);
    return out;
  }
  // The error codes of every message (code 4) and skip (code 11).
  std::vector<int32_t> Errors() const {
    std::vector<int32_t> out;
    for (const Event& e : events)
      if ((e.code == ZIPCB_MESSAGE || e.code == ZIPCB_SKIPPED) && e.error != 0) out.push_back(e.error);
    return out;
  }
  bool HasError(int32_t code) const {
    for (int32_t e : Errors())
      if (e == code) return true;
    return false;
  }
  std::string Dump() const {
    std::string s;
    for (const Event& e : events)
      s += std::to_string(e.code) + "/" + std::to_string(e.error) + "/" + std::to_string(e.size) + " " + e.text + "\n";
    return s;
  }
};

inline int32_t RecorderCallback(ZipCallbackRec* rec) {
  auto* r = static_cast<Recorder*>(rec->Instance);
  const size_t n = strnlen(rec->Msg.Text, sizeof rec->Msg.Text);
  r->events.push_back({rec->Action & 0xFF, rec->Error, rec->Size, std::string(rec->Msg.Text, n)});
  return r->onCall ? r->onCall(*rec) : 0;
}

// The two libraries, loaded from the build's bin folder.
class Libraries {
 public:
  Libraries() {
    zip_ = dlopen(TARVI_BIN_DIR "/libziplib.so", RTLD_NOW | RTLD_LOCAL);
    unz_ = dlopen(TARVI_BIN_DIR "/libunzlib.so", RTLD_NOW | RTLD_LOCAL);
    if (zip_) {
      zipExec = reinterpret_cast<ZipLibExecFn*>(dlsym(zip_, ZIPABI_ZIP_EXEC_NAME));
      zipVersion = reinterpret_cast<GetLibVersionFn*>(dlsym(zip_, ZIPABI_ZIP_VERSION_NAME));
    }
    if (unz_) {
      unzExec = reinterpret_cast<UnzLibExecFn*>(dlsym(unz_, ZIPABI_UNZ_EXEC_NAME));
      unzVersion = reinterpret_cast<GetLibVersionFn*>(dlsym(unz_, ZIPABI_UNZ_VERSION_NAME));
    }
  }
  ~Libraries() {
    if (zip_) dlclose(zip_);
    if (unz_) dlclose(unz_);
  }
  bool Loaded() const { return zipExec && zipVersion && unzExec && unzVersion; }

  ZipLibExecFn* zipExec = nullptr;
  GetLibVersionFn* zipVersion = nullptr;
  UnzLibExecFn* unzExec = nullptr;
  GetLibVersionFn* unzVersion = nullptr;

 private:
  void* zip_ = nullptr;
  void* unz_ = nullptr;
};

inline Libraries& Libs() {
  static Libraries libs;
  return libs;
}

// One add, as the component would describe it.
struct AddJob {
  std::string archive;
  std::vector<std::string> specs;
  int32_t level = 9;
  bool junkDirs = true;
  bool noDirEntries = true;
  bool recurse = false;
  std::string suffixes = kDataModuleSuffixes;
  std::string rootDir;
  std::vector<std::string> excl;
  std::string comment;
  bool update = false, freshen = false, move = false, allowUndo = true, hidden = false;
  int32_t encrypt = 0;
  std::string fromDate;  // "mm dd yy" when set

  int32_t Run(Recorder& r) const {
    std::vector<ZipSpec> entries(specs.size());
    for (size_t i = 0; i < specs.size(); ++i) {
      entries[i].Spec = const_cast<char*>(specs[i].c_str());
      entries[i].Recurse = recurse ? ZIPABI_RECURSE : 0;
      entries[i].Encrypt = encrypt;
      entries[i].RootDir = rootDir.empty() ? nullptr : const_cast<char*>(rootDir.c_str());
    }
    std::vector<char*> ex;
    for (const std::string& e : excl) ex.push_back(const_cast<char*>(e.c_str()));
    ZipRec rec;
    std::memset(&rec, 0, sizeof rec);
    rec.Instance = &r;
    rec.Version = ZIPABI_ZIP_RECORD_VERSION;
    rec.Callback = &RecorderCallback;
    rec.StoreSuffixes = suffixes.empty() ? nullptr : const_cast<char*>(suffixes.c_str());
    rec.Encrypt = encrypt ? ZIPABI_ON : 0;
    rec.Hidden = hidden ? ZIPABI_ON : 0;
    rec.NoDirEntries = noDirEntries ? ZIPABI_ON : 0;
    rec.FromDate = fromDate.empty() ? 0 : ZIPABI_ON;
    rec.AlwaysOn = ZIPABI_ON;
    rec.Level = level;
    rec.JunkDirs = junkDirs ? ZIPABI_ON : 0;
    rec.Recurse = recurse ? ZIPABI_RECURSE : 0;
    rec.NotSafe = ZIPABI_ON;
    rec.Move = move ? ZIPABI_ON : 0;
    rec.Update = update ? ZIPABI_ON : 0;
    rec.Freshen = freshen ? ZIPABI_ON : 0;
    std::memcpy(rec.Date, fromDate.empty() ? "12 30 99" : fromDate.c_str(), 8);
    rec.SpecCount = static_cast<int32_t>(entries.size());
    rec.Archive = const_cast<char*>(archive.c_str());
    rec.Comment = comment.empty() ? nullptr : const_cast<char*>(comment.c_str());
    rec.Specs = entries.data();
    rec.ExclCount = static_cast<int32_t>(ex.size());
    rec.Excl = ex.empty() ? nullptr : ex.data();
    rec.AllowUndo = allowUndo ? ZIPABI_ON : 0;
    rec.Seven = ZIPABI_SENTINEL;
    return Libs().zipExec(&rec);
  }
};

// One extract.
struct ExtractJob {
  std::string archive;
  std::string base;  // empty: the current folder
  bool dirNames = true, overwrite = true, test = false, update = false, freshen = false;
  std::vector<std::string> names;
  int32_t passwordReqCount = 1;
  std::string password;

  int32_t Run(Recorder& r) const {
    std::vector<UnzName> entries(names.size());
    for (size_t i = 0; i < names.size(); ++i) entries[i].Name = const_cast<char*>(names[i].c_str());
    UnzRec rec;
    std::memset(&rec, 0, sizeof rec);
    rec.Instance = &r;
    rec.Version = Libs().unzVersion();
    rec.Callback = &RecorderCallback;
    rec.Password = const_cast<char*>(password.c_str());
    rec.Test = test ? ZIPABI_ON : 0;
    rec.AlwaysOn = ZIPABI_ON;
    rec.Update = update ? ZIPABI_ON : 0;
    rec.Freshen = freshen ? ZIPABI_ON : 0;
    rec.DirNames = dirNames ? ZIPABI_ON : 0;
    rec.Overwrite = overwrite ? ZIPABI_ON : 0;
    rec.NameCount = static_cast<int32_t>(entries.size());
    rec.Archive = const_cast<char*>(archive.c_str());
    rec.Names = entries.empty() ? nullptr : entries.data();
    rec.PasswordReqCount = passwordReqCount;
    rec.ExtrBaseDir = base.empty() ? nullptr : const_cast<char*>(base.c_str());
    rec.Seven = ZIPABI_SENTINEL;
    return Libs().unzExec(&rec);
  }
};

// ---- Archives byte by byte ------------------------------------------------------

inline void Put16(std::string& b, size_t at, uint16_t v) {
  b[at] = static_cast<char>(v);
  b[at + 1] = static_cast<char>(v >> 8);
}
inline void Put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
inline void Add16(std::string& b, uint16_t v) {
  b.push_back(static_cast<char>(v));
  b.push_back(static_cast<char>(v >> 8));
}
inline void Add32(std::string& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
}

inline std::string RawDeflate(const std::string& data) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

inline uint32_t Crc(const std::string& data) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// One entry of a built archive; the fields after data override what would be
// computed, to make archives lie.
struct BuildEntry {
  std::string name;
  std::string data;
  uint16_t method = 0;  // 0 stored, 8 deflated (compressed here); anything else: data as given
  uint8_t host = 0;
  uint8_t madeBy = 20;
  uint16_t flag = 0;
  uint32_t external = 0x20;
  uint32_t dosTime = (45u << 25) | (3u << 21) | (14u << 16) | (10u << 11) | (30u << 5);  // 2025-03-14 10:30
  int64_t crc = -1, csize = -1, usize = -1;  // central (and local) values
  std::string localName;                     // when it differs from name
  bool descriptor = false;                   // sizes after the data, zeros in the local header
  bool raw = false;                          // data is the stored payload as it stands
};

struct Built {
  std::string bytes;
  std::vector<size_t> local;    // local header positions
  std::vector<size_t> central;  // central header positions
  size_t centralPos = 0;
  size_t endPos = 0;
};

inline Built BuildZip(const std::vector<BuildEntry>& entries, const std::string& comment = "",
                      const std::string& prefix = "") {
  Built b;
  b.bytes = prefix;
  struct Info {
    uint32_t crc, csize, usize, offset;
  };
  std::vector<Info> infos;
  for (const BuildEntry& e : entries) {
    const std::string payload = e.method == 8 && !e.raw ? RawDeflate(e.data) : e.data;
    Info in{e.crc >= 0 ? static_cast<uint32_t>(e.crc) : Crc(e.data),
            e.csize >= 0 ? static_cast<uint32_t>(e.csize) : static_cast<uint32_t>(payload.size()),
            e.usize >= 0 ? static_cast<uint32_t>(e.usize) : static_cast<uint32_t>(e.data.size()),
            static_cast<uint32_t>(b.bytes.size() - prefix.size())};
    b.local.push_back(b.bytes.size());
    const std::string& lname = e.localName.empty() ? e.name : e.localName;
    Add32(b.bytes, 0x04034b50);
    Add16(b.bytes, 20);
    Add16(b.bytes, static_cast<uint16_t>(e.flag | (e.descriptor ? 8 : 0)));
    Add16(b.bytes, e.method);
    Add32(b.bytes, e.dosTime);
    Add32(b.bytes, e.descriptor ? 0 : in.crc);
    Add32(b.bytes, e.descriptor ? 0 : in.csize);
    Add32(b.bytes, e.descriptor ? 0 : in.usize);
    Add16(b.bytes, static_cast<uint16_t>(lname.size()));
    Add16(b.bytes, 0);
    b.bytes += lname;
    b.bytes += payload;
    if (e.descriptor) {
      Add32(b.bytes, 0x08074b50);
      Add32(b.bytes, in.crc);
      Add32(b.bytes, in.csize);
      Add32(b.bytes, in.usize);
    }
    infos.push_back(in);
  }
  b.centralPos = b.bytes.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const BuildEntry& e = entries[i];
    b.central.push_back(b.bytes.size());
    Add32(b.bytes, 0x02014b50);
    b.bytes.push_back(static_cast<char>(e.madeBy));
    b.bytes.push_back(static_cast<char>(e.host));
    Add16(b.bytes, 20);
    Add16(b.bytes, static_cast<uint16_t>(e.flag | (e.descriptor ? 8 : 0)));
    Add16(b.bytes, e.method);
    Add32(b.bytes, e.dosTime);
    Add32(b.bytes, infos[i].crc);
    Add32(b.bytes, infos[i].csize);
    Add32(b.bytes, infos[i].usize);
    Add16(b.bytes, static_cast<uint16_t>(e.name.size()));
    Add16(b.bytes, 0);
    Add16(b.bytes, 0);
    Add16(b.bytes, 0);
    Add16(b.bytes, 0);
    Add32(b.bytes, e.external);
    Add32(b.bytes, infos[i].offset);
    b.bytes += e.name;
  }
  b.endPos = b.bytes.size();
  Add32(b.bytes, 0x06054b50);
  Add16(b.bytes, 0);
  Add16(b.bytes, 0);
  Add16(b.bytes, static_cast<uint16_t>(entries.size()));
  Add16(b.bytes, static_cast<uint16_t>(entries.size()));
  Add32(b.bytes, static_cast<uint32_t>(b.endPos - b.centralPos));
  Add32(b.bytes, static_cast<uint32_t>(b.centralPos - prefix.size()));
  Add16(b.bytes, static_cast<uint16_t>(comment.size()));
  b.bytes += comment;
  return b;
}

// Every file below root, as paths relative to it ("a/b"), folders with a
// trailing "/"; links are listed as "name@".
inline std::vector<std::string> TreeOf(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = std::filesystem::relative(it->path(), root).string();
    if (it->is_symlink()) rel += "@";
    else if (it->is_directory()) rel += "/";
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q.push_back(c);
  }
  return q + "'";
}

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace ziptest
