#pragma once
// The bridge's plain C exports (once the J/Direct entry points): the 45 PKCS#11
// functions with their native signatures, and the bridge's own operations.
//
// The forwarding functions pass every argument to the loaded module unchanged
// and return its CK_RV unchanged. Before any module is loaded they return
// CKR_CRYPTOKI_NOT_INITIALIZED, and a function the module does not export gives
// CKR_FUNCTION_NOT_SUPPORTED; neither calls anything or writes any output.
//
// Memory blocks are addressed by 32-bit ints: jdirect_AllocMem places every
// block below 2 GiB, so the int is also the block's native address (for the
// pValue and pParameter fields of structures a module reads).
#include <stdint.h>

#include "jni_bridge/bridge_functions.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BRIDGE_FORWARD(name, params, args) CK_RV jdirect_##name params;
BRIDGE_FORWARDED_FUNCTIONS
#undef BRIDGE_FORWARD

// 8 for TarviPkcs11JNI, 7 for NetsentryDll.
int32_t jdirect_GetLibVersion(void);
// Loads the PKCS#11 module once per process. 1 when loaded now or before under
// exactly this name (bytes compared, letter case counts); 0 for a null name, one
// of 260 characters or more, another name after a load, or a failed load (which
// may be retried with any name).
int32_t jdirect_LoadPKCS(const char* name);
// A new zero-filled block of size bytes; 0 when size is negative or memory runs out.
int32_t jdirect_AllocMem(int32_t size);
// Copies size bytes from src to block + offset. Refused, with nothing copied,
// for a null or unknown block, a null src, a negative offset or size, or
// offset + size past the block's end.
void jdirect_SetMem(int32_t address, const void* src, int32_t offset, int32_t size);
// Copies length bytes from block + offset to dst; refused as jdirect_SetMem is.
void jdirect_GetMem(int32_t address, void* dst, int32_t offset, int32_t length);
// Frees a block; an unknown or already freed address does nothing.
void jdirect_FreeMem(int32_t address);
// The advisory process-wide lock: 1 taken, 0 already held. Never waits.
int32_t jdirect_Lock(void);
// Frees the advisory lock, whoever took it.
void jdirect_Unlock(void);

#ifdef __cplusplus
}
#endif
