#include "card/cryptoki.h"

#include <array>
#include <string_view>

#include "platform/library.h"

CryptokiTable Cryptoki;

namespace {

#define TARVI_CRYPTOKI_ENTRY(name, params, args)                                                          \
  CryptokiEntry{#name, false, [](CryptokiTable& t, void* a) { t.name = reinterpret_cast<CK_##name>(a); }, \
                [](const CryptokiTable& t) { return t.name != nullptr; }},
constexpr CryptokiEntry kStandard[] = {TARVI_PKCS11_STANDARD_FUNCTIONS(TARVI_CRYPTOKI_ENTRY)};
constexpr CryptokiEntry kVendor[] = {TARVI_PKCS11_VENDOR_FUNCTIONS(TARVI_CRYPTOKI_ENTRY)};
#undef TARVI_CRYPTOKI_ENTRY

// The program never uses these; a module that lacks them is still complete for us.
constexpr bool NeverLookedUp(std::string_view name) {
  return name == "C_GetFunctionList" || name == "C_GetFunctionStatus" || name == "C_CancelFunction" ||
         name == "C_WaitForSlotEvent";
}

constexpr size_t CountLookedUp() {
  size_t n = 0;
  for (const CryptokiEntry& e : kStandard)
    if (!NeverLookedUp(e.name)) ++n;
  return n + std::size(kVendor);
}

constexpr auto MakeBindOrder() {
  std::array<CryptokiEntry, CountLookedUp()> order{};
  size_t i = 0;
  for (const CryptokiEntry& e : kStandard) {
    if (NeverLookedUp(e.name)) continue;
    order[i++] = e;
    if (std::string_view(e.name) == "C_SetPIN") {
      for (CryptokiEntry v : kVendor) {
        v.vendor = true;
        order[i++] = v;
      }
    }
  }
  return order;
}

constexpr auto kEntries = MakeBindOrder();
static_assert(kEntries.back().name != nullptr, "C_SetPIN must be in the standard list");

}  // namespace

std::span<const CryptokiEntry> CryptokiEntries() { return kEntries; }

std::vector<std::string> FillCryptokiTable(const SharedLibrary& lib, CryptokiTable& table) {
  std::vector<std::string> missing;
  for (const CryptokiEntry& e : kEntries) {
    void* address = lib.Symbol(e.name);
    e.set(table, address);
    if (!address) missing.emplace_back(e.name);
  }
  return missing;
}

void ClearCryptokiTable(CryptokiTable& table) { table = CryptokiTable{}; }

std::vector<std::string> UnboundCryptokiNames(const CryptokiTable& table) {
  std::vector<std::string> names;
  for (const CryptokiEntry& e : kEntries)
    if (!e.isBound(table)) names.emplace_back(e.name);
  return names;
}

bool HasAllStandardCryptokiFunctions(const CryptokiTable& table) {
  for (const CryptokiEntry& e : kEntries)
    if (!e.vendor && !e.isBound(table)) return false;
  return true;
}

namespace cryptoki {
#define TARVI_CRYPTOKI_WRAPPER_DEF(name, params, args)     \
  CK_RV name params {                                      \
    if (!Cryptoki.name) return CKR_FUNCTION_NOT_SUPPORTED; \
    return Cryptoki.name args;                             \
  }
TARVI_PKCS11_STANDARD_FUNCTIONS(TARVI_CRYPTOKI_WRAPPER_DEF)
TARVI_PKCS11_VENDOR_FUNCTIONS(TARVI_CRYPTOKI_WRAPPER_DEF)
#undef TARVI_CRYPTOKI_WRAPPER_DEF
}  // namespace cryptoki
