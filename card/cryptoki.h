#pragma once
// The program's side of the PKCS#11 module: one global table with a pointer per
// bound function, filled by name from the loaded module, and wrappers that make an
// unbound function return CKR_FUNCTION_NOT_SUPPORTED instead of crashing.
//
// Call the module only through the wrappers in namespace cryptoki; they carry the
// standard names and parameter lists (see interfaces/pkcs11.h):
//   CK_ULONG count = 0;
//   CK_RV rv = cryptoki::C_GetSlotList(CK_TRUE, nullptr, &count);
//
// The wrappers live in a namespace on purpose: global functions named C_... in the
// program would interpose the module's own internal calls.
//
// Binding order (CryptokiEntries()): every standard function in the standard's order,
// except C_GetFunctionList, C_GetFunctionStatus, C_CancelFunction and
// C_WaitForSlotEvent, which are never looked up; the vendor functions C_UnlockPIN and
// C_ResetToken come right after C_SetPIN. The table has a field for the four
// functions that are never looked up too; they stay null, so their wrappers always
// return CKR_FUNCTION_NOT_SUPPORTED.
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "interfaces/pkcs11.h"

class SharedLibrary;

struct CryptokiTable {
#define TARVI_CRYPTOKI_TABLE_FIELD(name, params, args) CK_##name name = nullptr;
  TARVI_PKCS11_STANDARD_FUNCTIONS(TARVI_CRYPTOKI_TABLE_FIELD)
  TARVI_PKCS11_VENDOR_FUNCTIONS(TARVI_CRYPTOKI_TABLE_FIELD)
#undef TARVI_CRYPTOKI_TABLE_FIELD
};

// The table that every caller uses.
extern CryptokiTable Cryptoki;

struct CryptokiEntry {
  const char* name = nullptr;
  // The module's own additions (C_UnlockPIN, C_ResetToken): not part of the set of
  // functions every module must have.
  bool vendor = false;
  // Stores an address found by name (nullptr clears the entry).
  void (*set)(CryptokiTable& table, void* address) = nullptr;
  bool (*isBound)(const CryptokiTable& table) = nullptr;
};
// Every looked-up function, in binding order (the order the names are looked up and
// shown in the check list).
std::span<const CryptokiEntry> CryptokiEntries();

// Looks every name up in lib, in binding order, and stores what it finds (a missing
// name leaves its entry null). Returns the names not found, in binding order.
std::vector<std::string> FillCryptokiTable(const SharedLibrary& lib, CryptokiTable& table = Cryptoki);
// Every entry back to null.
void ClearCryptokiTable(CryptokiTable& table = Cryptoki);
// The names whose entries are null, in binding order.
std::vector<std::string> UnboundCryptokiNames(const CryptokiTable& table = Cryptoki);
// True when every standard (non-vendor) entry is bound.
bool HasAllStandardCryptokiFunctions(const CryptokiTable& table = Cryptoki);

namespace cryptoki {
// One wrapper per table field; an unbound function returns CKR_FUNCTION_NOT_SUPPORTED.
#define TARVI_CRYPTOKI_WRAPPER_DECL(name, params, args) CK_RV name params;
TARVI_PKCS11_STANDARD_FUNCTIONS(TARVI_CRYPTOKI_WRAPPER_DECL)
TARVI_PKCS11_VENDOR_FUNCTIONS(TARVI_CRYPTOKI_WRAPPER_DECL)
#undef TARVI_CRYPTOKI_WRAPPER_DECL
}  // namespace cryptoki
