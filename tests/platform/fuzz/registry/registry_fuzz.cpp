// Fuzz entry for the registry files: the input is the HKEY_CURRENT_USER hive
// file of a private registry folder, read through the store the way every
// setting is read, then changed once. Beyond the sanitizers it checks against a
// plain reading of the documented format (sections "[key\path]", value lines
// "\"name\"=type:data", %XX escapes, names compared without regard to case, a
// later value line of the same name winning, anything else malformed) that:
//  - the store accepts exactly the files that reading accepts (else 13);
//  - every value of an accepted file reads back with its type and bytes, and the
//    program's own reading (RegReadValue) gives its text up to the first NUL;
//  - writing one more value keeps every value there was, and deleting it again
//    leaves a file that reads back the same.
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "card/registry.h"
#include "fuzz_support.h"
#include "platform/codepage.h"
#include "platform/registry_store.h"

using fuzzsupport::Require;

namespace {

struct Item {
  std::string key;   // as the file spells it (the first spelling)
  std::string name;  // as the file spells it
  uint32_t type = 0;
  std::string data;
};

unsigned char Fold(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0x9A:
    case 0x9C:
    case 0x9D:
    case 0x9E:
    case 0x9F: return static_cast<unsigned char>(c - 0x10);
    case 0xB3: return 0xA3;
    case 0xB9: return 0xA5;
    case 0xBA: return 0xAA;
    case 0xBE: return 0xBC;
    case 0xBF: return 0xAF;
    default: break;
  }
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 0x20);
  return c;
}

std::string Folded(std::string s) {
  for (char& c : s) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
  return s;
}

bool Plain(unsigned char c) { return c >= 0x20 && c < 0x7F && c != '%' && c != '"' && c != '[' && c != ']'; }

std::optional<std::string> Unescape(const std::string& t) {
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(t[i]);
    if (c == '%') {
      if (i + 2 >= t.size() || !isxdigit(static_cast<unsigned char>(t[i + 1])) ||
          !isxdigit(static_cast<unsigned char>(t[i + 2])))
        return std::nullopt;
      out += static_cast<char>(std::stoi(t.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (!Plain(c)) {
      return std::nullopt;
    } else {
      out += t[i];
    }
  }
  return out;
}

// The folded key path, or nothing for a bad one ("\" only between segments, one
// trailing "\" allowed, no NUL).
std::optional<std::string> KeyPath(std::string path) {
  if (path.find('\0') != std::string::npos) return std::nullopt;
  if (!path.empty() && path.back() == '\\') path.pop_back();
  if (!path.empty() && (path.front() == '\\' || path.back() == '\\' || path.find("\\\\") != std::string::npos))
    return std::nullopt;
  return Folded(path);
}

// The values of a hive file, in file order of first appearance; nothing when it
// is malformed.
std::optional<std::vector<Item>> Read(const std::string& text) {
  std::vector<Item> items;
  std::map<std::pair<std::string, std::string>, size_t> index;  // folded key and name
  std::map<std::string, std::string> spelling;                  // folded key -> first spelling
  std::optional<std::string> current;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, (nl == std::string::npos ? text.size() : nl) - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.size() < 2 || line.back() != ']') return std::nullopt;
      auto raw = Unescape(line.substr(1, line.size() - 2));
      if (!raw) return std::nullopt;
      auto key = KeyPath(*raw);
      if (!key) return std::nullopt;
      std::string spelled = *raw;
      if (!spelled.empty() && spelled.back() == '\\') spelled.pop_back();
      spelling.emplace(*key, spelled);
      current = *key;
      continue;
    }
    if (line[0] != '"' || !current) return std::nullopt;
    const size_t close = line.find('"', 1);
    if (close == std::string::npos || close + 1 >= line.size() || line[close + 1] != '=') return std::nullopt;
    auto name = Unescape(line.substr(1, close - 1));
    if (!name) return std::nullopt;
    const std::string rest = line.substr(close + 2);
    const size_t colon = rest.find(':');
    if (colon == 0 || colon == std::string::npos || colon > 10) return std::nullopt;
    uint64_t type = 0;
    for (size_t i = 0; i < colon; ++i) {
      if (rest[i] < '0' || rest[i] > '9') return std::nullopt;
      type = type * 10 + uint64_t(rest[i] - '0');
    }
    if (type > 0xFFFFFFFFu) return std::nullopt;
    auto data = Unescape(rest.substr(colon + 1));
    if (!data) return std::nullopt;
    auto at = index.find({*current, Folded(*name)});
    if (at != index.end()) {
      items[at->second].type = uint32_t(type);
      items[at->second].data = *data;
    } else {
      index[{*current, Folded(*name)}] = items.size();
      items.push_back({spelling[*current], *name, uint32_t(type), *data});
    }
  }
  return items;
}

void CheckValues(const std::vector<Item>& items) {
  for (const Item& it : items) {
    if (it.name.find('\0') != std::string::npos) continue;  // no caller can name it
    std::string data;
    uint32_t type = 0;
    Require(regstore::ReadValue(regstore::Hive::CurrentUser, it.key, it.name, &data, &type) == regstore::kSuccess);
    Require(data == it.data && type == it.type);
    Require(regstore::KeyExists(regstore::Hive::CurrentUser, it.key) == regstore::kSuccess);
    // Another case of the name finds the same value.
    std::string other = Folded(it.name);
    for (char& c : other)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    Require(regstore::ReadValue(regstore::Hive::CurrentUser, it.key, other, &data, nullptr) == regstore::kSuccess &&
            data == it.data);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& root = fuzzsupport::Root("reg");
  static const bool env = setenv("TARVI_REGISTRY_DIR", root.c_str(), 1) == 0;
  Require(env);
  const std::string hive = regstore::HivePath(regstore::Hive::CurrentUser);
  const std::string text(reinterpret_cast<const char*>(data), size);
  fuzzsupport::WriteFile(hive, data, size);

  const std::optional<std::vector<Item>> items = Read(text);
  std::string probe;
  const long rc =
      regstore::ReadValue(regstore::Hive::CurrentUser, "SOFTWARE\\VodezOdir\\TarviSealdesk", "Output Path", &probe);
  Require(items ? rc == regstore::kSuccess || rc == regstore::kNotFound : rc == regstore::kInvalidData);
  if (!items) {
    // A malformed hive is never written over.
    Require(regstore::WriteValue(regstore::Hive::CurrentUser, "Fuzz", "v", "x", 1) == regstore::kInvalidData);
    return 0;
  }
  CheckValues(*items);

  // The program's own reading: code page 1250 text up to the first NUL.
  for (const Item& it : *items) {
    if (it.name.find('\0') != std::string::npos) continue;
    if (it.key.size() > size_t(kRegMaxKeyLength) || it.name.size() > size_t(kRegMaxKeyLength)) continue;
    QString value = QStringLiteral("unchanged");
    const long r = RegReadValue(HKEY_CURRENT_USER, FromCp1250(it.key), FromCp1250(it.name), value);
    Require(r == 0);
    const size_t end = it.data.find('\0');
    Require(value == FromCp1250(it.data.data(), end == std::string::npos ? it.data.size() : end));
  }

  // One more value, and away again: nothing else changes.
  const std::string probeKey = "Fuzz\\Probe\\" + std::to_string(size);
  std::vector<Item> others;
  for (const Item& it : *items)
    if (Folded(it.key) != Folded(probeKey)) others.push_back(it);
  Require(regstore::WriteValue(regstore::Hive::CurrentUser, probeKey, "v", std::string("a\0b", 3), 1) ==
          regstore::kSuccess);
  CheckValues(others);
  std::string back;
  Require(regstore::ReadValue(regstore::Hive::CurrentUser, probeKey, "V", &back) == regstore::kSuccess &&
          back == std::string("a\0b", 3));
  Require(regstore::DeleteValue(regstore::Hive::CurrentUser, probeKey, "v") == regstore::kSuccess);
  CheckValues(others);
  return 0;
}
