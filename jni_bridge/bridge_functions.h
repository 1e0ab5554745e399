#pragma once
// The function lists of the bridge. They select from the PKCS#11 lists of
// interfaces/pkcs11.h, so every signature the function table, the call wrappers, the
// J/Direct exports and their declarations use is written once, there.
//
// Each list expands a macro that its user defines around the expansion:
//   #define BRIDGE_LOOK_UP(name) ...
//   BRIDGE_TABLE_NAMES
//   #undef BRIDGE_LOOK_UP
// and BRIDGE_FORWARD(name, parameter list, argument list) for
// BRIDGE_FORWARDED_FUNCTIONS. (A list that picks entries out of another cannot
// pass on a macro given to it as an argument, hence the fixed names.)
#include "interfaces/pkcs11.h"

// BRIDGE_IF(flag)(tokens) gives the tokens when flag expands to BRIDGE_YES and
// nothing when flag is not a macro; BRIDGE_UNLESS(flag)(tokens) the reverse.
#define BRIDGE_YES ~, 1
#define BRIDGE_SECOND_(a, b, ...) b
#define BRIDGE_SECOND(...) BRIDGE_SECOND_(__VA_ARGS__)
#define BRIDGE_FLAG(...) BRIDGE_SECOND(__VA_ARGS__, 0, ~)
#define BRIDGE_CAT_(a, b) a##b
#define BRIDGE_CAT(a, b) BRIDGE_CAT_(a, b)
#define BRIDGE_KEEP_1(...) __VA_ARGS__
#define BRIDGE_KEEP_0(...)
#define BRIDGE_DROP_1(...)
#define BRIDGE_DROP_0(...) __VA_ARGS__
#define BRIDGE_IF(...) BRIDGE_CAT(BRIDGE_KEEP_, BRIDGE_FLAG(__VA_ARGS__))
#define BRIDGE_UNLESS(...) BRIDGE_CAT(BRIDGE_DROP_, BRIDGE_FLAG(__VA_ARGS__))

// Every name the loader looks up (69), in table order: the version 2.0 function
// list, then the two vendor entry points. Version 2.01's C_WaitForSlotEvent is
// not one of them: the bridge never calls it.
#define BRIDGE_NOT_LOOKED_UP_C_WaitForSlotEvent BRIDGE_YES
#define BRIDGE_LOOK_UP_STANDARD_(name, params, args) BRIDGE_UNLESS(BRIDGE_NOT_LOOKED_UP_##name)(BRIDGE_LOOK_UP(name))
#define BRIDGE_TABLE_NAMES                                  \
  TARVI_PKCS11_STANDARD_FUNCTIONS(BRIDGE_LOOK_UP_STANDARD_) \
  BRIDGE_LOOK_UP(C_ResetToken) BRIDGE_LOOK_UP(C_UnlockPIN)

// The functions the bridge forwards (45, with C_ResetToken below): these 43 of
// the standard list and the vendor C_UnlockPIN (the shape of C_SetPIN), with the
// signatures of interfaces/pkcs11.h. The rest of the table is looked up only.
#define BRIDGE_FORWARDS_C_Initialize BRIDGE_YES
#define BRIDGE_FORWARDS_C_Finalize BRIDGE_YES
#define BRIDGE_FORWARDS_C_GetInfo BRIDGE_YES
#define BRIDGE_FORWARDS_C_GetSlotList BRIDGE_YES
#define BRIDGE_FORWARDS_C_GetSlotInfo BRIDGE_YES
#define BRIDGE_FORWARDS_C_GetTokenInfo BRIDGE_YES
#define BRIDGE_FORWARDS_C_GetMechanismList BRIDGE_YES
#define BRIDGE_FORWARDS_C_GetMechanismInfo BRIDGE_YES
#define BRIDGE_FORWARDS_C_InitToken BRIDGE_YES
#define BRIDGE_FORWARDS_C_InitPIN BRIDGE_YES
#define BRIDGE_FORWARDS_C_SetPIN BRIDGE_YES
#define BRIDGE_FORWARDS_C_OpenSession BRIDGE_YES
#define BRIDGE_FORWARDS_C_CloseSession BRIDGE_YES
#define BRIDGE_FORWARDS_C_CloseAllSessions BRIDGE_YES
#define BRIDGE_FORWARDS_C_GetSessionInfo BRIDGE_YES
#define BRIDGE_FORWARDS_C_Login BRIDGE_YES
#define BRIDGE_FORWARDS_C_Logout BRIDGE_YES
#define BRIDGE_FORWARDS_C_CreateObject BRIDGE_YES
#define BRIDGE_FORWARDS_C_CopyObject BRIDGE_YES
#define BRIDGE_FORWARDS_C_DestroyObject BRIDGE_YES
#define BRIDGE_FORWARDS_C_GetObjectSize BRIDGE_YES
#define BRIDGE_FORWARDS_C_GetAttributeValue BRIDGE_YES
#define BRIDGE_FORWARDS_C_SetAttributeValue BRIDGE_YES
#define BRIDGE_FORWARDS_C_FindObjectsInit BRIDGE_YES
#define BRIDGE_FORWARDS_C_FindObjects BRIDGE_YES
#define BRIDGE_FORWARDS_C_FindObjectsFinal BRIDGE_YES
#define BRIDGE_FORWARDS_C_DecryptInit BRIDGE_YES
#define BRIDGE_FORWARDS_C_Decrypt BRIDGE_YES
#define BRIDGE_FORWARDS_C_DecryptUpdate BRIDGE_YES
#define BRIDGE_FORWARDS_C_DecryptFinal BRIDGE_YES
#define BRIDGE_FORWARDS_C_DigestInit BRIDGE_YES
#define BRIDGE_FORWARDS_C_Digest BRIDGE_YES
#define BRIDGE_FORWARDS_C_DigestUpdate BRIDGE_YES
#define BRIDGE_FORWARDS_C_DigestFinal BRIDGE_YES
#define BRIDGE_FORWARDS_C_SignInit BRIDGE_YES
#define BRIDGE_FORWARDS_C_Sign BRIDGE_YES
#define BRIDGE_FORWARDS_C_SignUpdate BRIDGE_YES
#define BRIDGE_FORWARDS_C_SignFinal BRIDGE_YES
#define BRIDGE_FORWARDS_C_VerifyInit BRIDGE_YES
#define BRIDGE_FORWARDS_C_Verify BRIDGE_YES
#define BRIDGE_FORWARDS_C_GenerateKey BRIDGE_YES
#define BRIDGE_FORWARDS_C_GenerateKeyPair BRIDGE_YES
#define BRIDGE_FORWARDS_C_UnwrapKey BRIDGE_YES
#define BRIDGE_FORWARDS_C_UnlockPIN BRIDGE_YES
#define BRIDGE_FORWARD_SELECTED_(name, params, args) \
  BRIDGE_IF(BRIDGE_FORWARDS_##name)(BRIDGE_FORWARD(name, params, args))

// C_ResetToken is forwarded in the bridge's own form, the slot only: the card
// middleware's (the vendor list) takes a PIN as well and is not used here.
#define BRIDGE_FORWARDED_FUNCTIONS                          \
  TARVI_PKCS11_STANDARD_FUNCTIONS(BRIDGE_FORWARD_SELECTED_) \
  TARVI_PKCS11_VENDOR_FUNCTIONS(BRIDGE_FORWARD_SELECTED_)   \
  BRIDGE_FORWARD(C_ResetToken, (CK_SLOT_ID slotID), (slotID))
