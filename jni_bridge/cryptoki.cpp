#include "jni_bridge/cryptoki.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "jni_bridge/bridge_log.h"

namespace {

enum TableIndex {
#define BRIDGE_LOOK_UP(name) kIndex_##name,
  BRIDGE_TABLE_NAMES
#undef BRIDGE_LOOK_UP
      kTableSize
};
static_assert(kTableSize == 69, "the function table holds 69 entries");

const char* const kTableNames[kTableSize] = {
#define BRIDGE_LOOK_UP(name) #name,
    BRIDGE_TABLE_NAMES
#undef BRIDGE_LOOK_UP
};

// The selection of interfaces/pkcs11.h's functions misses none of the 45.
enum ForwardedIndex {
#define BRIDGE_FORWARD(name, params, args) kForwarded_##name,
  BRIDGE_FORWARDED_FUNCTIONS
#undef BRIDGE_FORWARD
      kForwardedCount
};
static_assert(kForwardedCount == 45, "the bridge forwards 45 functions");

// Written once by the load, read by every wrapper from any thread: the slots are
// stored before the handle, and a wrapper that sees the handle sees them too.
struct CryptokiFunctionTable {
  std::atomic<void*> module{nullptr};
  std::atomic<void*> slots[kTableSize]{};
};
CryptokiFunctionTable g_table;

// dlsym also searches the module's own dependencies; a name found only there is
// not the module's function and counts as missing.
void* LookUpOwn(void* module, const char* name) {
  void* sym = dlsym(module, name);
  if (!sym) return nullptr;
  link_map* own = nullptr;
  if (dlinfo(module, RTLD_DI_LINKMAP, &own) != 0 || !own) return sym;
  Dl_info info{};
  link_map* where = nullptr;
  if (dladdr1(sym, &info, reinterpret_cast<void**>(&where), RTLD_DL_LINKMAP) == 0 || !where) return sym;
  return where == own ? sym : nullptr;
}

template <typename Fn>
Fn Slot(TableIndex i) {
  if (!g_table.module.load(std::memory_order_acquire)) return nullptr;
  return reinterpret_cast<Fn>(g_table.slots[i].load(std::memory_order_relaxed));
}

// Category 2: the version 2.0 return values. CKR_GENERAL_ERROR stands twice,
// the second time just before the closing value-0 row; the first one wins.
struct ValueName {
  std::uint32_t value;
  const char* name;
};

const ValueName kReturnValues[] = {
    {0x00000001, "CKR_CANCEL"},
    {0x00000002, "CKR_HOST_MEMORY"},
    {0x00000003, "CKR_SLOT_ID_INVALID"},
    {0x00000005, "CKR_GENERAL_ERROR"},
    {0x00000006, "CKR_FUNCTION_FAILED"},
    {0x00000010, "CKR_ATTRIBUTE_READ_ONLY"},
    {0x00000011, "CKR_ATTRIBUTE_SENSITIVE"},
    {0x00000012, "CKR_ATTRIBUTE_TYPE_INVALID"},
    {0x00000013, "CKR_ATTRIBUTE_VALUE_INVALID"},
    {0x00000020, "CKR_DATA_INVALID"},
    {0x00000021, "CKR_DATA_LEN_RANGE"},
    {0x00000030, "CKR_DEVICE_ERROR"},
    {0x00000031, "CKR_DEVICE_MEMORY"},
    {0x00000032, "CKR_DEVICE_REMOVED"},
    {0x00000040, "CKR_ENCRYPTED_DATA_INVALID"},
    {0x00000041, "CKR_ENCRYPTED_DATA_LEN_RANGE"},
    {0x00000050, "CKR_FUNCTION_CANCELED"},
    {0x00000051, "CKR_FUNCTION_NOT_PARALLEL"},
    {0x00000054, "CKR_FUNCTION_NOT_SUPPORTED"},
    {0x00000060, "CKR_KEY_HANDLE_INVALID"},
    {0x00000062, "CKR_KEY_SIZE_RANGE"},
    {0x00000063, "CKR_KEY_TYPE_INCONSISTENT"},
    {0x00000070, "CKR_MECHANISM_INVALID"},
    {0x00000071, "CKR_MECHANISM_PARAM_INVALID"},
    {0x00000082, "CKR_OBJECT_HANDLE_INVALID"},
    {0x00000090, "CKR_OPERATION_ACTIVE"},
    {0x00000091, "CKR_OPERATION_NOT_INITIALIZED"},
    {0x000000A0, "CKR_PIN_INCORRECT"},
    {0x000000A1, "CKR_PIN_INVALID"},
    {0x000000A2, "CKR_PIN_LEN_RANGE"},
    {0x000000B0, "CKR_SESSION_CLOSED"},
    {0x000000B1, "CKR_SESSION_COUNT"},
    {0x000000B2, "CKR_SESSION_EXCLUSIVE_EXISTS"},
    {0x000000B3, "CKR_SESSION_HANDLE_INVALID"},
    {0x000000B4, "CKR_SESSION_PARALLEL_NOT_SUPPORTED"},
    {0x000000B5, "CKR_SESSION_READ_ONLY"},
    {0x000000C0, "CKR_SIGNATURE_INVALID"},
    {0x000000C1, "CKR_SIGNATURE_LEN_RANGE"},
    {0x000000D0, "CKR_TEMPLATE_INCOMPLETE"},
    {0x000000D1, "CKR_TEMPLATE_INCONSISTENT"},
    {0x000000E0, "CKR_TOKEN_NOT_PRESENT"},
    {0x000000E1, "CKR_TOKEN_NOT_RECOGNIZED"},
    {0x000000E2, "CKR_TOKEN_WRITE_PROTECTED"},
    {0x000000F0, "CKR_UNWRAPPING_KEY_HANDLE_INVALID"},
    {0x000000F1, "CKR_UNWRAPPING_KEY_SIZE_RANGE"},
    {0x000000F2, "CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x00000100, "CKR_USER_ALREADY_LOGGED_IN"},
    {0x00000101, "CKR_USER_NOT_LOGGED_IN"},
    {0x00000102, "CKR_USER_PIN_NOT_INITIALIZED"},
    {0x00000103, "CKR_USER_TYPE_INVALID"},
    {0x00000110, "CKR_WRAPPED_KEY_INVALID"},
    {0x00000112, "CKR_WRAPPED_KEY_LEN_RANGE"},
    {0x00000113, "CKR_WRAPPING_KEY_HANDLE_INVALID"},
    {0x00000114, "CKR_WRAPPING_KEY_SIZE_RANGE"},
    {0x00000115, "CKR_WRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x00000120, "CKR_RANDOM_SEED_NOT_SUPPORTED"},
    {0x80000000, "CKR_VENDOR_DEFINED"},
    {0x00000005, "CKR_GENERAL_ERROR"},
    {0x00000000, "CKR_OK"},
};
static_assert(sizeof kReturnValues / sizeof kReturnValues[0] == 59, "category 2 holds 59 rows");

// Session states, without prefix.
const ValueName kSessionStates[] = {
    {1, "RO_USER_FUNCTIONS"}, {2, "RW_PUBLIC_SESSION"}, {3, "RW_USER_FUNCTIONS"},
    {4, "RW_SO_FUNCTIONS"},   {0, "RO_PUBLIC_SESSION"},
};

// Session flag combinations.
const ValueName kSessionFlags[] = {
    {1, "EXCLUSIVE_SESSION"},
    {2, "RW_SESSION"},
    {3, "EXCLUSIVE + RW SESSION"},
    {4, "SERIAL_SESSION"},
    {5, "EXCLUSIVE + SERIAL SESSION"},
    {6, "RW + SERIAL SESSION"},
    {7, "EXCLUSIVE + RW + SERIAL SESSION"},
    {0, "Undefine value"},
};

// Object classes, padded to 18 characters (the closing row unpadded).
const ValueName kObjectClasses[] = {
    {0x00000001, "CKO_CERTIFICATE   "}, {0x00000002, "CKO_PUBLIC_KEY    "}, {0x00000003, "CKO_PRIVATE_KEY   "},
    {0x00000004, "CKO_SECRET_KEY    "}, {0x80000000, "CKO_VENDOR_DEFINED"}, {0x00000000, "CKO_DATA"},
};

struct Category {
  int number;
  const ValueName* rows;
  int count;
};

// The log looks up only category 2; the attribute, key-type and mechanism
// categories are not kept, nothing would ever read them.
const Category kDirectory[] = {
    {2, kReturnValues, sizeof kReturnValues / sizeof kReturnValues[0]},
    {5, kSessionStates, sizeof kSessionStates / sizeof kSessionStates[0]},
    {6, kSessionFlags, sizeof kSessionFlags / sizeof kSessionFlags[0]},
    {11, kObjectClasses, sizeof kObjectClasses / sizeof kObjectClasses[0]},
};

const Category* FindCategory(int category) {
  for (const Category& c : kDirectory)
    if (c.number == category) return &c;
  return nullptr;
}

}  // namespace

int cryptoki_load(const char* name) {
  log_line("Cryptoki.............Load");
  log_str("Cryptoki.............Loading library '%s'", name);
  // dlopen("") would hand back the calling program itself; Windows refuses an
  // empty name, and so do we.
  void* module = (name && name[0]) ? dlopen(name, RTLD_NOW | RTLD_LOCAL) : nullptr;
  if (!module) {
    log_str("Cryptoki.............ERROR: Can't find DLL '%s'", name);
    return 0;
  }
  log_line("Cryptoki.............Querying Proc Addresses...");
  for (int i = 0; i < kTableSize; ++i)
    g_table.slots[i].store(LookUpOwn(module, kTableNames[i]), std::memory_order_relaxed);
  g_table.module.store(module, std::memory_order_release);
  log_line("Cryptoki.............Functions loaded...");
  return 1;  // the module is never unloaded
}

bool cryptoki_loaded() { return g_table.module.load(std::memory_order_acquire) != nullptr; }

CK_RV cryptoki_not_supported(const char* name) {
  log_str("Cryptoki.............Function '%s' not supported", name);
  return cryptoki_loaded() ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED;
}

int lookup_value_name(int category, CK_ULONG value, bool* found) {
  const Category* c = FindCategory(category);
  if (!c) {
    if (found) *found = false;
    return -1;
  }
  int i = 0;
  while (i < c->count - 1 && c->rows[i].value != value) ++i;
  if (found) *found = c->rows[i].value == value;
  return i;
}

const char* value_name_at(int category, int index) {
  const Category* c = FindCategory(category);
  if (!c || index < 0 || index >= c->count) return nullptr;
  return c->rows[index].name;
}

int report_cryptoki_result(CK_RV rv, const char* name) {
  if (rv == CKR_OK) {
    log_str("Cryptoki............. %s (Ok)", name);
    return 1;
  }
  char text[kBridgeLogTextMax + 1];
  std::snprintf(text, sizeof text, "Cryptoki... FAILED %s", name);
  log_cryptoki_failure(rv, text);
  return 0;
}

void log_cryptoki_failure(CK_RV rv, const char* text) {
  bool found = false;
  int row = lookup_value_name(2, rv, &found);
  char line[1020];
  if (found)
    std::snprintf(line, sizeof line, "Cryptoki: %s => %s (%d)", text, value_name_at(2, row),
                  static_cast<int>(static_cast<std::uint32_t>(rv)));
  else
    std::snprintf(line, sizeof line, "Cryptoki: %s => 0x%lx", text, static_cast<unsigned long>(rv));
  log_line(line);
}

#define BRIDGE_FORWARD(name, params, args)         \
  CK_RV cryptoki_##name params {                   \
    using Fn = CK_RV(*) params;                    \
    Fn fn = Slot<Fn>(kIndex_##name);               \
    if (!fn) return cryptoki_not_supported(#name); \
    CK_RV rv = fn args;                            \
    report_cryptoki_result(rv, #name);             \
    return rv;                                     \
  }
BRIDGE_FORWARDED_FUNCTIONS
#undef BRIDGE_FORWARD
