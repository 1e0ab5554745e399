#include "card/tarvirsa_api.h"

#include <type_traits>

#include "platform/library.h"

TarviRsaTable TarviRsa;

namespace {

#define TARVI_RSA_ENTRY(ret, name, params, args)                                                        \
  TarviRsaEntry{#name, [](TarviRsaTable& t, void* a) { t.name = reinterpret_cast<TR_##name##_FN>(a); }, \
                [](const TarviRsaTable& t) { return t.name != nullptr; }},
const TarviRsaEntry kEntries[] = {TARVI_RSA_FUNCTIONS(TARVI_RSA_ENTRY)};
#undef TARVI_RSA_ENTRY

static_assert(std::size(kEntries) == TARVI_RSA_FUNCTION_COUNT);

// What an unbound function gives: an error number of ours, or no digest.
template <typename R>
R Unbound() {
  if constexpr (std::is_pointer_v<R>)
    return nullptr;
  else
    return TR_E_NOT_BOUND;
}

}  // namespace

std::span<const TarviRsaEntry> TarviRsaEntries() { return kEntries; }

std::vector<std::string> FillTarviRsaTable(const SharedLibrary& lib, TarviRsaTable& table) {
  std::vector<std::string> missing;
  for (const TarviRsaEntry& e : kEntries) {
    void* address = lib.Symbol(e.name);
    e.set(table, address);
    if (!address) missing.emplace_back(e.name);
  }
  return missing;
}

void ClearTarviRsaTable(TarviRsaTable& table) {
  for (const TarviRsaEntry& e : kEntries) e.set(table, nullptr);
}

std::vector<std::string> UnboundTarviRsaNames(const TarviRsaTable& table) {
  std::vector<std::string> names;
  for (const TarviRsaEntry& e : kEntries)
    if (!e.isBound(table)) names.emplace_back(e.name);
  return names;
}

namespace {

// The header and content lengths of the element at buf's start, when both lie
// within len bytes.
bool DerElementWithin(const uint8_t* buf, size_t len, size_t& header, size_t& content) {
  if (!buf || len < 2) return false;
  if ((buf[0] & 0x1F) == 0x1F) return false;  // multi-byte tags never occur in certificates
  header = 2;
  content = buf[1];
  if (content & 0x80) {
    size_t n = content & 0x7F;
    if (n == 0 || n > 4 || len < 2 + n) return false;  // indefinite or oversized length
    content = 0;
    for (size_t i = 0; i < n; ++i) content = (content << 8) | buf[2 + i];
    header += n;
  }
  return content <= len - header;
}

}  // namespace

bool DerFits(const uint8_t* buf, size_t len) {
  size_t header = 0, content = 0;
  return DerElementWithin(buf, len, header, content) && header + content == len;
}

bool DerPrefixFits(const uint8_t* buf, size_t len) {
  size_t header = 0, content = 0;
  return DerElementWithin(buf, len, header, content);
}

size_t DerTrimmedLength(const uint8_t* buf, size_t len) {
  size_t header = 0, content = 0;
  return DerElementWithin(buf, len, header, content) ? header + content : len;
}

namespace tarvirsa {
#define TARVI_RSA_WRAPPER_DEF(ret, name, params, args) \
  ret name params {                                    \
    if (!TarviRsa.name) return Unbound<ret>();         \
    return TarviRsa.name args;                         \
  }
TARVI_RSA_FUNCTIONS(TARVI_RSA_WRAPPER_DEF)
#undef TARVI_RSA_WRAPPER_DEF
}  // namespace tarvirsa
