// A scripted PKCS#11 module for the bridge tests. It records the arguments it
// receives and answers with values the test chose, through
//   fake_p11_set(key, value) / fake_p11_get(key) / fake_p11_text(key, buffer, size) /
//   fake_p11_reset().
// Keys: "rv.C_<Name>" forces a return value; "<Name>.calls" counts calls; the
// other recorded keys are named beside each function below.
//
// Built twice: the full module exports every name the bridge looks up (vendor
// C_ResetToken and C_UnlockPIN included); the partial one (FAKE_PARTIAL) only
// C_Initialize, C_Finalize, C_GetInfo, C_GetSlotList and C_OpenSession.
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "interfaces/pkcs11.h"

#define FAKE_API extern "C" __attribute__((visibility("default")))
#ifdef FAKE_PARTIAL
#define FAKE_OPTIONAL extern "C" __attribute__((visibility("hidden")))
#else
#define FAKE_OPTIONAL FAKE_API
#endif

namespace {

std::mutex g_mutex;
std::map<std::string, unsigned long>& Values() {
  static auto* m = new std::map<std::string, unsigned long>;
  return *m;
}
std::map<std::string, std::string>& Texts() {
  static auto* m = new std::map<std::string, std::string>;
  return *m;
}

unsigned long Get(const std::string& key, unsigned long fallback = 0) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Values().find(key);
  return it == Values().end() ? fallback : it->second;
}
bool Has(const std::string& key) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Values().count(key) != 0;
}
void Set(const std::string& key, unsigned long value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Values()[key] = value;
}
void SetText(const std::string& key, const void* p, CK_ULONG len) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Texts()[key] = p ? std::string(static_cast<const char*>(p), len) : std::string("<null>");
}

void Pad(CK_UTF8CHAR* out, std::size_t size, const char* text) {
  std::memset(out, ' ', size);
  std::memcpy(out, text, std::strlen(text));
}

// Fills *count items of out (when given) from value(k); the PKCS#11 size
// query and BUFFER_TOO_SMALL rules.
template <typename F>
CK_RV FillList(CK_ULONG* out, CK_ULONG* count, CK_ULONG n, F value) {
  if (!count) return CKR_ARGUMENTS_BAD;
  if (!out) {
    *count = n;
    return CKR_OK;
  }
  if (*count < n) {
    *count = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  for (CK_ULONG k = 0; k < n; ++k) out[k] = value(k);
  *count = n;
  return CKR_OK;
}

// One output cell (a handle or a size) set to value.
CK_RV HandBack(CK_ULONG_PTR out, CK_ULONG value) {
  if (!out) return CKR_ARGUMENTS_BAD;
  *out = value;
  return CKR_OK;
}

// An output of n bytes of fill into out with capacity *len.
CK_RV FillBytes(const char* name, CK_BYTE_PTR out, CK_ULONG_PTR len, CK_ULONG n, CK_BYTE fill) {
  if (!len) return CKR_ARGUMENTS_BAD;
  Set(std::string(name) + ".capacity", out ? *len : ~0UL);
  if (!out) {
    *len = n;
    return CKR_OK;
  }
  if (*len < n) {
    *len = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  std::memset(out, fill, n);
  *len = n;
  return CKR_OK;
}

}  // namespace

// Counts the call and returns the forced value when the test set one.
#define FAKE_BEGIN(name)                           \
  do {                                             \
    Set(#name ".calls", Get(#name ".calls") + 1);  \
    if (Has("rv." #name)) return Get("rv." #name); \
  } while (0)

FAKE_API void fake_p11_set(const char* key, unsigned long value) { Set(key, value); }
FAKE_API unsigned long fake_p11_get(const char* key) { return Get(key); }
// Copies the text recorded under key into out (at most size bytes) and gives
// its full length. The caller owns the buffer: a thread_local copy here would
// put dynamic TLS into a dlopen'ed module, whose blocks LeakSanitizer's
// scan at exit can trip over.
FAKE_API unsigned long fake_p11_text(const char* key, char* out, unsigned long size) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Texts().find(key);
  if (it == Texts().end()) return 0;
  const std::string& text = it->second;
  if (out && size) std::memcpy(out, text.data(), text.size() < size ? text.size() : size);
  return text.size();
}
FAKE_API void fake_p11_reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  Values().clear();
  Texts().clear();
}

// ---- the five functions both variants export ----

// Initialize.null: 1 when called with NULL; Initialize.flags.
FAKE_API CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
  FAKE_BEGIN(C_Initialize);
  Set("C_Initialize.null", pInitArgs == nullptr);
  if (pInitArgs) Set("C_Initialize.flags", static_cast<CK_C_INITIALIZE_ARGS*>(pInitArgs)->flags);
  return CKR_OK;
}

FAKE_API CK_RV C_Finalize(CK_VOID_PTR pReserved) {
  FAKE_BEGIN(C_Finalize);
  return pReserved ? CKR_ARGUMENTS_BAD : CKR_OK;
}

FAKE_API CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
  FAKE_BEGIN(C_GetInfo);
  if (!pInfo) return CKR_ARGUMENTS_BAD;
  pInfo->cryptokiVersion = {2, 1};
  Pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Fake Module");
  pInfo->flags = 0;
  Pad(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "Scripted");
  pInfo->libraryVersion = {1, 2};
  return CKR_OK;
}

// "slots" (default 2) slots with ids "slot.<k>" (default k + 1).
// GetSlotList.capacity: the count received with a list (~0 for a size query).
FAKE_API CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  FAKE_BEGIN(C_GetSlotList);
  Set("C_GetSlotList.present", tokenPresent);
  Set("C_GetSlotList.capacity", pSlotList && pulCount ? *pulCount : ~0UL);
  return FillList(pSlotList, pulCount, Get("slots", 2),
                  [](CK_ULONG k) { return Get("slot." + std::to_string(k), k + 1); });
}

// The session handle is 1 with a NULL notify and 2 otherwise, unless
// "session.value" says otherwise. OpenSession.slot, OpenSession.flags.
FAKE_API CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                             CK_SESSION_HANDLE_PTR phSession) {
  FAKE_BEGIN(C_OpenSession);
  Set("C_OpenSession.slot", slotID);
  Set("C_OpenSession.flags", flags);
  Set("C_OpenSession.notify_null", Notify == nullptr);
  return HandBack(phSession, Has("session.value") ? Get("session.value") : (Notify ? 2 : 1));
}

// ---- everything else: the full variant only ----

FAKE_OPTIONAL CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  FAKE_BEGIN(C_GetSlotInfo);
  Set("C_GetSlotInfo.slot", slotID);
  if (!pInfo) return CKR_ARGUMENTS_BAD;
  Pad(pInfo->slotDescription, sizeof pInfo->slotDescription, "Fake Slot");
  Pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Fake Module");
  pInfo->flags = CKF_TOKEN_PRESENT;
  pInfo->hardwareVersion = {1, 0};
  pInfo->firmwareVersion = {1, 0};
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  FAKE_BEGIN(C_GetTokenInfo);
  Set("C_GetTokenInfo.slot", slotID);
  if (!pInfo) return CKR_ARGUMENTS_BAD;
  std::memset(pInfo, 0, sizeof *pInfo);
  Pad(pInfo->label, sizeof pInfo->label, "Fake Token");
  Pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Fake Module");
  Pad(pInfo->model, sizeof pInfo->model, "Model");
  Pad(pInfo->serialNumber, sizeof pInfo->serialNumber, "0001");
  pInfo->flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED;
  pInfo->ulMaxPinLen = 8;
  pInfo->ulMinPinLen = 4;
  pInfo->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  return CKR_OK;
}

// "mechs" (default 3) mechanisms: 1, 0x220, 0x80000001, then 0x1000 + k.
FAKE_OPTIONAL CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
  FAKE_BEGIN(C_GetMechanismList);
  Set("C_GetMechanismList.capacity", pMechanismList && pulCount ? *pulCount : ~0UL);
  return FillList(pMechanismList, pulCount, Get("mechs", 3), [](CK_ULONG k) -> CK_ULONG {
    const CK_ULONG first[] = {CKM_RSA_PKCS, CKM_SHA_1, 0x80000001UL};
    return k < 3 ? first[k] : 0x1000 + k;
  });
}

FAKE_OPTIONAL CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  FAKE_BEGIN(C_GetMechanismInfo);
  Set("C_GetMechanismInfo.type", type);
  if (!pInfo) return CKR_ARGUMENTS_BAD;
  *pInfo = CK_MECHANISM_INFO{512, 4096, CKF_SIGN | CKF_VERIFY};
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
  FAKE_BEGIN(C_InitToken);
  Set("C_InitToken.slot", slotID);
  SetText("C_InitToken.pin", pPin, ulPinLen);
  SetText("C_InitToken.label", pLabel, 32);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  FAKE_BEGIN(C_InitPIN);
  SetText("C_InitPIN.pin", pPin, ulPinLen);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                             CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  FAKE_BEGIN(C_SetPIN);
  SetText("C_SetPIN.old", pOldPin, ulOldLen);
  SetText("C_SetPIN.new", pNewPin, ulNewLen);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  FAKE_BEGIN(C_CloseSession);
  Set("C_CloseSession.session", hSession);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
  FAKE_BEGIN(C_CloseAllSessions);
  Set("C_CloseAllSessions.slot", slotID);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  FAKE_BEGIN(C_GetSessionInfo);
  if (!pInfo) return CKR_ARGUMENTS_BAD;
  *pInfo = CK_SESSION_INFO{Get("slot.0", 1), CKS_RW_USER_FUNCTIONS, CKF_RW_SESSION | CKF_SERIAL_SESSION, 0};
  return CKR_OK;
}

// C_Login.session, C_Login.user, text C_Login.pin.
FAKE_OPTIONAL CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
                            CK_ULONG ulPinLen) {
  FAKE_BEGIN(C_Login);
  Set("C_Login.session", hSession);
  Set("C_Login.user", userType);
  SetText("C_Login.pin", pPin, ulPinLen);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
  FAKE_BEGIN(C_Logout);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                                   CK_OBJECT_HANDLE_PTR phObject) {
  FAKE_BEGIN(C_CreateObject);
  Set("C_CreateObject.count", ulCount);
  return HandBack(phObject, 0x10);
}

FAKE_OPTIONAL CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                 CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject) {
  FAKE_BEGIN(C_CopyObject);
  Set("C_CopyObject.object", hObject);
  return HandBack(phNewObject, 0x11);
}

FAKE_OPTIONAL CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  FAKE_BEGIN(C_DestroyObject);
  Set("C_DestroyObject.object", hObject);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
  FAKE_BEGIN(C_GetObjectSize);
  return HandBack(pulSize, 1234);
}

// CKA_LABEL reads "fake-label"; every other type is invalid.
FAKE_OPTIONAL CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                        CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  FAKE_BEGIN(C_GetAttributeValue);
  Set("C_GetAttributeValue.count", ulCount);
  CK_RV rv = CKR_OK;
  static const char kLabel[] = "fake-label";
  for (CK_ULONG k = 0; k < ulCount; ++k) {
    CK_ATTRIBUTE& a = pTemplate[k];
    if (a.type != CKA_LABEL) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_TYPE_INVALID;
    } else if (!a.pValue) {
      a.ulValueLen = sizeof kLabel - 1;
    } else if (a.ulValueLen < sizeof kLabel - 1) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_BUFFER_TOO_SMALL;
    } else {
      std::memcpy(a.pValue, kLabel, sizeof kLabel - 1);
      a.ulValueLen = sizeof kLabel - 1;
    }
  }
  return rv;
}

FAKE_OPTIONAL CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                        CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  FAKE_BEGIN(C_SetAttributeValue);
  Set("C_SetAttributeValue.count", ulCount);
  return CKR_OK;
}

// C_FindObjectsInit.count; the first attribute's value is kept as text.
FAKE_OPTIONAL CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  FAKE_BEGIN(C_FindObjectsInit);
  Set("C_FindObjectsInit.count", ulCount);
  if (ulCount > 0) SetText("C_FindObjectsInit.value0", pTemplate[0].pValue, pTemplate[0].ulValueLen);
  return CKR_OK;
}

// "objects" (default 3) handles 0x100 + k; C_FindObjects.max.
FAKE_OPTIONAL CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                                  CK_ULONG_PTR pulObjectCount) {
  FAKE_BEGIN(C_FindObjects);
  Set("C_FindObjects.max", ulMaxObjectCount);
  if (!phObject || !pulObjectCount) return CKR_ARGUMENTS_BAD;
  CK_ULONG n = Get("objects", 3);
  if (n > ulMaxObjectCount) n = ulMaxObjectCount;
  for (CK_ULONG k = 0; k < n; ++k) phObject[k] = 0x100 + k;
  *pulObjectCount = n;
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  FAKE_BEGIN(C_FindObjectsFinal);
  return CKR_OK;
}

// <Name>.mechanism, .key, .param_len and text .param for the *Init functions.
static CK_RV RecordInit(const char* name, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  std::string n(name);
  if (!pMechanism) return CKR_ARGUMENTS_BAD;
  Set(n + ".mechanism", pMechanism->mechanism);
  Set(n + ".key", hKey);
  Set(n + ".param_len", pMechanism->ulParameterLen);
  SetText(n + ".param", pMechanism->pParameter, pMechanism->ulParameterLen);
  return CKR_OK;
}

// C_DecryptInit, C_SignInit and C_VerifyInit only record what they receive.
#define FAKE_INIT_WITH_KEY(name)                                                                             \
  FAKE_OPTIONAL CK_RV name(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) { \
    FAKE_BEGIN(name);                                                                                        \
    return RecordInit(#name, pMechanism, hKey);                                                              \
  }

FAKE_INIT_WITH_KEY(C_DecryptInit)

FAKE_OPTIONAL CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                              CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
  FAKE_BEGIN(C_Decrypt);
  Set("C_Decrypt.in_len", ulEncryptedDataLen);
  return FillBytes("C_Decrypt", pData, pulDataLen, Get("decrypt.len", 16), 0xD0);
}

FAKE_OPTIONAL CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                                    CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
  FAKE_BEGIN(C_DecryptUpdate);
  Set("C_DecryptUpdate.in_len", ulEncryptedPartLen);
  return FillBytes("C_DecryptUpdate", pPart, pulPartLen, Get("decrypt.len", 16), 0xD1);
}

FAKE_OPTIONAL CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
  FAKE_BEGIN(C_DecryptFinal);
  return FillBytes("C_DecryptFinal", pLastPart, pulLastPartLen, Get("decrypt.len", 16), 0xD2);
}

FAKE_OPTIONAL CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
  FAKE_BEGIN(C_DigestInit);
  return RecordInit("C_DigestInit", pMechanism, 0);
}

FAKE_OPTIONAL CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
                             CK_ULONG_PTR pulDigestLen) {
  FAKE_BEGIN(C_Digest);
  Set("C_Digest.in_len", ulDataLen);
  return FillBytes("C_Digest", pDigest, pulDigestLen, 20, 0xD9);
}

FAKE_OPTIONAL CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  FAKE_BEGIN(C_DigestUpdate);
  Set("C_DigestUpdate.in_len", ulPartLen);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
  FAKE_BEGIN(C_DigestFinal);
  return FillBytes("C_DigestFinal", pDigest, pulDigestLen, 20, 0xDF);
}

FAKE_INIT_WITH_KEY(C_SignInit)

// Signatures are "sign.len" (default 64) bytes of 0x5A.
FAKE_OPTIONAL CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                           CK_ULONG_PTR pulSignatureLen) {
  FAKE_BEGIN(C_Sign);
  Set("C_Sign.in_len", ulDataLen);
  return FillBytes("C_Sign", pSignature, pulSignatureLen, Get("sign.len", 64), 0x5A);
}

FAKE_OPTIONAL CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  FAKE_BEGIN(C_SignUpdate);
  Set("C_SignUpdate.in_len", ulPartLen);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  FAKE_BEGIN(C_SignFinal);
  return FillBytes("C_SignFinal", pSignature, pulSignatureLen, Get("sign.len", 64), 0x5F);
}

FAKE_INIT_WITH_KEY(C_VerifyInit)

FAKE_OPTIONAL CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                             CK_ULONG ulSignatureLen) {
  FAKE_BEGIN(C_Verify);
  Set("C_Verify.in_len", ulDataLen);
  Set("C_Verify.sig_len", ulSignatureLen);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                                  CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
  FAKE_BEGIN(C_GenerateKey);
  Set("C_GenerateKey.count", ulCount);
  return HandBack(phKey, 0x20);
}

FAKE_OPTIONAL CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                      CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                      CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                      CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
  FAKE_BEGIN(C_GenerateKeyPair);
  Set("C_GenerateKeyPair.public_count", ulPublicKeyAttributeCount);
  Set("C_GenerateKeyPair.private_count", ulPrivateKeyAttributeCount);
  if (!phPublicKey || !phPrivateKey) return CKR_ARGUMENTS_BAD;
  *phPublicKey = 0x21;
  *phPrivateKey = 0x22;
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen,
                                CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
  FAKE_BEGIN(C_UnwrapKey);
  Set("C_UnwrapKey.key", hUnwrappingKey);
  Set("C_UnwrapKey.wrapped_len", ulWrappedKeyLen);
  return HandBack(phKey, 0x23);
}

// The vendor functions in the shape the bridge calls them.
FAKE_OPTIONAL CK_RV C_ResetToken(CK_SLOT_ID slotID) {
  FAKE_BEGIN(C_ResetToken);
  Set("C_ResetToken.slot", slotID);
  return CKR_OK;
}

FAKE_OPTIONAL CK_RV C_UnlockPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                                CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  FAKE_BEGIN(C_UnlockPIN);
  Set("C_UnlockPIN.session", hSession);
  SetText("C_UnlockPIN.old", pOldPin, ulOldLen);
  SetText("C_UnlockPIN.new", pNewPin, ulNewLen);
  return CKR_OK;
}

// Looked up by the bridge but never called by it; present so that the full
// module exports every name.
#define FAKE_UNUSED(name)                         \
  FAKE_OPTIONAL CK_RV name() {                    \
    Set(#name ".calls", Get(#name ".calls") + 1); \
    return CKR_FUNCTION_NOT_SUPPORTED;            \
  }
FAKE_UNUSED(C_GetFunctionList)
FAKE_UNUSED(C_GetOperationState)
FAKE_UNUSED(C_SetOperationState)
FAKE_UNUSED(C_EncryptInit)
FAKE_UNUSED(C_Encrypt)
FAKE_UNUSED(C_EncryptUpdate)
FAKE_UNUSED(C_EncryptFinal)
FAKE_UNUSED(C_DigestKey)
FAKE_UNUSED(C_SignRecoverInit)
FAKE_UNUSED(C_SignRecover)
FAKE_UNUSED(C_VerifyUpdate)
FAKE_UNUSED(C_VerifyFinal)
FAKE_UNUSED(C_VerifyRecoverInit)
FAKE_UNUSED(C_VerifyRecover)
FAKE_UNUSED(C_DigestEncryptUpdate)
FAKE_UNUSED(C_DecryptDigestUpdate)
FAKE_UNUSED(C_SignEncryptUpdate)
FAKE_UNUSED(C_DecryptVerifyUpdate)
FAKE_UNUSED(C_WrapKey)
FAKE_UNUSED(C_DeriveKey)
FAKE_UNUSED(C_SeedRandom)
FAKE_UNUSED(C_GenerateRandom)
FAKE_UNUSED(C_GetFunctionStatus)
FAKE_UNUSED(C_CancelFunction)
