#pragma once
// The bridge's core: one PKCS#11 module per process, looked up by name into a
// fixed function table, and one call wrapper per forwarded function.
#include <cstddef>

#include "jni_bridge/bridge_functions.h"

// Loads the module and looks up every table name; 1 loaded, 0 failed. The
// caller (jdirect_LoadPKCS) makes sure it succeeds at most once per process.
int cryptoki_load(const char* name);

// True once a load has succeeded.
bool cryptoki_loaded();

// cryptoki_C_<Function>: the module's function called with the arguments
// unchanged and its result returned unchanged. Before any load the result is
// CKR_CRYPTOKI_NOT_INITIALIZED, and a function the module lacks gives
// CKR_FUNCTION_NOT_SUPPORTED: nothing is called and no output is written.
#define BRIDGE_FORWARD(name, params, args) CK_RV cryptoki_##name params;
BRIDGE_FORWARDED_FUNCTIONS
#undef BRIDGE_FORWARD

// Logs that the named function cannot be called and gives the code for it.
CK_RV cryptoki_not_supported(const char* name);

// Finds value in the rows of category; returns the row index (the category's
// last row when nothing matches) and sets found. An unknown category gives
// found == false and -1.
int lookup_value_name(int category, CK_ULONG value, bool* found);
// Name of row index of category, or null.
const char* value_name_at(int category, int index);

// Logs the outcome of a module call; 1 when rv is 0.
int report_cryptoki_result(CK_RV rv, const char* name);
void log_cryptoki_failure(CK_RV rv, const char* text);
