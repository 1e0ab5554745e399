#pragma once
// The function lists of the bridge, kept in one place so that the function
// table, the call wrappers, the J/Direct exports and their declarations can
// never drift apart.
#include "card/pkcs11.h"

// Every name the loader looks up, in table order: the version 2.0 function list,
// then the two vendor entry points. Version 2.01's C_WaitForSlotEvent is not one
// of them: the bridge never calls it.
#define BRIDGE_TABLE_NAMES(X)                                                                                  \
  X(C_Initialize) X(C_Finalize) X(C_GetInfo) X(C_GetFunctionList) X(C_GetSlotList) X(C_GetSlotInfo)            \
  X(C_GetTokenInfo) X(C_GetMechanismList) X(C_GetMechanismInfo) X(C_InitToken) X(C_InitPIN) X(C_SetPIN)        \
  X(C_OpenSession) X(C_CloseSession) X(C_CloseAllSessions) X(C_GetSessionInfo) X(C_GetOperationState)         \
  X(C_SetOperationState) X(C_Login) X(C_Logout) X(C_CreateObject) X(C_CopyObject) X(C_DestroyObject)          \
  X(C_GetObjectSize) X(C_GetAttributeValue) X(C_SetAttributeValue) X(C_FindObjectsInit) X(C_FindObjects)      \
  X(C_FindObjectsFinal) X(C_EncryptInit) X(C_Encrypt) X(C_EncryptUpdate) X(C_EncryptFinal) X(C_DecryptInit)   \
  X(C_Decrypt) X(C_DecryptUpdate) X(C_DecryptFinal) X(C_DigestInit) X(C_Digest) X(C_DigestUpdate)             \
  X(C_DigestKey) X(C_DigestFinal) X(C_SignInit) X(C_Sign) X(C_SignUpdate) X(C_SignFinal) X(C_SignRecoverInit) \
  X(C_SignRecover) X(C_VerifyInit) X(C_Verify) X(C_VerifyUpdate) X(C_VerifyFinal) X(C_VerifyRecoverInit)      \
  X(C_VerifyRecover) X(C_DigestEncryptUpdate) X(C_DecryptDigestUpdate) X(C_SignEncryptUpdate)                 \
  X(C_DecryptVerifyUpdate) X(C_GenerateKey) X(C_GenerateKeyPair) X(C_WrapKey) X(C_UnwrapKey) X(C_DeriveKey)   \
  X(C_SeedRandom) X(C_GenerateRandom) X(C_GetFunctionStatus) X(C_CancelFunction) X(C_ResetToken)              \
  X(C_UnlockPIN)

// X(name, parameter list, argument list) for the 45 functions the bridge
// forwards. The vendor C_ResetToken takes the slot only, C_UnlockPIN has the
// shape of C_SetPIN.
#define BRIDGE_FORWARDED_FUNCTIONS(X)                                                                          \
  X(C_Initialize, (CK_VOID_PTR pInitArgs), (pInitArgs))                                                        \
  X(C_Finalize, (CK_VOID_PTR pReserved), (pReserved))                                                          \
  X(C_GetInfo, (CK_INFO_PTR pInfo), (pInfo))                                                                   \
  X(C_GetSlotList, (CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount),                   \
    (tokenPresent, pSlotList, pulCount))                                                                       \
  X(C_GetSlotInfo, (CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo), (slotID, pInfo))                               \
  X(C_GetTokenInfo, (CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo), (slotID, pInfo))                             \
  X(C_GetMechanismList, (CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount),      \
    (slotID, pMechanismList, pulCount))                                                                        \
  X(C_GetMechanismInfo, (CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo),              \
    (slotID, type, pInfo))                                                                                     \
  X(C_InitToken, (CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel),         \
    (slotID, pPin, ulPinLen, pLabel))                                                                          \
  X(C_InitPIN, (CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen),                          \
    (hSession, pPin, ulPinLen))                                                                                \
  X(C_SetPIN,                                                                                                  \
    (CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,          \
     CK_ULONG ulNewLen),                                                                                       \
    (hSession, pOldPin, ulOldLen, pNewPin, ulNewLen))                                                          \
  X(C_OpenSession,                                                                                             \
    (CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,                            \
     CK_SESSION_HANDLE_PTR phSession),                                                                         \
    (slotID, flags, pApplication, Notify, phSession))                                                          \
  X(C_CloseSession, (CK_SESSION_HANDLE hSession), (hSession))                                                  \
  X(C_CloseAllSessions, (CK_SLOT_ID slotID), (slotID))                                                         \
  X(C_GetSessionInfo, (CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo), (hSession, pInfo))              \
  X(C_Login, (CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen),     \
    (hSession, userType, pPin, ulPinLen))                                                                      \
  X(C_Logout, (CK_SESSION_HANDLE hSession), (hSession))                                                        \
  X(C_CreateObject,                                                                                            \
    (CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject), \
    (hSession, pTemplate, ulCount, phObject))                                                                  \
  X(C_CopyObject,                                                                                              \
    (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,       \
     CK_OBJECT_HANDLE_PTR phNewObject),                                                                        \
    (hSession, hObject, pTemplate, ulCount, phNewObject))                                                      \
  X(C_DestroyObject, (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject), (hSession, hObject))              \
  X(C_GetObjectSize, (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize),             \
    (hSession, hObject, pulSize))                                                                              \
  X(C_GetAttributeValue,                                                                                       \
    (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount),      \
    (hSession, hObject, pTemplate, ulCount))                                                                   \
  X(C_SetAttributeValue,                                                                                       \
    (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount),      \
    (hSession, hObject, pTemplate, ulCount))                                                                   \
  X(C_FindObjectsInit, (CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount),             \
    (hSession, pTemplate, ulCount))                                                                            \
  X(C_FindObjects,                                                                                             \
    (CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,                     \
     CK_ULONG_PTR pulObjectCount),                                                                             \
    (hSession, phObject, ulMaxObjectCount, pulObjectCount))                                                    \
  X(C_FindObjectsFinal, (CK_SESSION_HANDLE hSession), (hSession))                                              \
  X(C_DecryptInit, (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey),           \
    (hSession, pMechanism, hKey))                                                                              \
  X(C_Decrypt,                                                                                                 \
    (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,   \
     CK_ULONG_PTR pulDataLen),                                                                                 \
    (hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen))                                         \
  X(C_DecryptUpdate,                                                                                           \
    (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart,   \
     CK_ULONG_PTR pulPartLen),                                                                                 \
    (hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen))                                         \
  X(C_DecryptFinal, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen),          \
    (hSession, pLastPart, pulLastPartLen))                                                                     \
  X(C_DigestInit, (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism), (hSession, pMechanism))           \
  X(C_Digest,                                                                                                  \
    (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,                   \
     CK_ULONG_PTR pulDigestLen),                                                                               \
    (hSession, pData, ulDataLen, pDigest, pulDigestLen))                                                       \
  X(C_DigestUpdate, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen),                       \
    (hSession, pPart, ulPartLen))                                                                              \
  X(C_DigestFinal, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen),               \
    (hSession, pDigest, pulDigestLen))                                                                         \
  X(C_SignInit, (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey),              \
    (hSession, pMechanism, hKey))                                                                              \
  X(C_Sign,                                                                                                    \
    (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,                \
     CK_ULONG_PTR pulSignatureLen),                                                                            \
    (hSession, pData, ulDataLen, pSignature, pulSignatureLen))                                                 \
  X(C_SignUpdate, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen),                         \
    (hSession, pPart, ulPartLen))                                                                              \
  X(C_SignFinal, (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen),           \
    (hSession, pSignature, pulSignatureLen))                                                                   \
  X(C_VerifyInit, (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey),            \
    (hSession, pMechanism, hKey))                                                                              \
  X(C_Verify,                                                                                                  \
    (CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,                \
     CK_ULONG ulSignatureLen),                                                                                 \
    (hSession, pData, ulDataLen, pSignature, ulSignatureLen))                                                  \
  X(C_GenerateKey,                                                                                             \
    (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,    \
     CK_OBJECT_HANDLE_PTR phKey),                                                                              \
    (hSession, pMechanism, pTemplate, ulCount, phKey))                                                         \
  X(C_GenerateKeyPair,                                                                                         \
    (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,             \
     CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,                                 \
     CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,                                    \
     CK_OBJECT_HANDLE_PTR phPrivateKey),                                                                       \
    (hSession, pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount, pPrivateKeyTemplate,                 \
     ulPrivateKeyAttributeCount, phPublicKey, phPrivateKey))                                                   \
  X(C_UnwrapKey,                                                                                               \
    (CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,                 \
     CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, \
     CK_OBJECT_HANDLE_PTR phKey),                                                                              \
    (hSession, pMechanism, hUnwrappingKey, pWrappedKey, ulWrappedKeyLen, pTemplate, ulAttributeCount, phKey))  \
  X(C_ResetToken, (CK_SLOT_ID slotID), (slotID))                                                               \
  X(C_UnlockPIN,                                                                                               \
    (CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,          \
     CK_ULONG ulNewLen),                                                                                       \
    (hSession, pOldPin, ulOldLen, pNewPin, ulNewLen))
