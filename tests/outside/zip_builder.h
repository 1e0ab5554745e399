#pragma once
// Builds ZIP archives byte by byte, for hostile and unusual ones that no tool
// writes, and small file-tree helpers; shared by the ZIP library and ZIP
// component tests.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// Archives are described with designated initializers that name only the fields
// that matter for a case.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace ziptest {

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
  int64_t crc = -1, csize = -1, usize = -1;                                              // central (and local) values
  std::string localName;                                                                 // when it differs from name
  bool descriptor = false;  // sizes after the data, zeros in the local header
  bool raw = false;         // data is the stored payload as it stands
  std::string extra;        // extra field, local and central
  std::string comment;      // file comment (central)
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
    Add16(b.bytes, static_cast<uint16_t>(e.extra.size()));
    b.bytes += lname;
    b.bytes += e.extra;
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
    Add16(b.bytes, static_cast<uint16_t>(e.extra.size()));
    Add16(b.bytes, static_cast<uint16_t>(e.comment.size()));
    Add16(b.bytes, 0);
    Add16(b.bytes, 0);
    Add32(b.bytes, e.external);
    Add32(b.bytes, infos[i].offset);
    b.bytes += e.name;
    b.bytes += e.extra;
    b.bytes += e.comment;
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
    if (it->is_symlink())
      rel += "@";
    else if (it->is_directory())
      rel += "/";
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q.push_back(c);
  }
  return q + "'";
}

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace ziptest
