// The 53 native methods of CryptokiJNIImpl. Each pins its arrays (byte arrays
// in argument order, then int arrays), checks what it hands to the J/Direct
// layer, calls it, and gives the arrays back in the same order with their
// contents copied back.
//
// Java ints are 32 bits while CK_ULONG, handles and pointers are 64 on this
// platform, so:
//  - int arguments become CK_ULONG by zero extension (a slot or handle of
//    2^31 or more arrives as itself, not sign-extended);
//  - an int[] is never handed to the module: its cells travel through a
//    CK_ULONG temporary and come back truncated to 32 bits;
//  - byte[] structures are in the native layout and are handed over as they are,
//    once they are known to be long enough.
// A length beside an array that exceeds the array, a structure array shorter
// than its native structure, and an empty output cell array are refused with
// CKR_ARGUMENTS_BAD before anything is called; capacities (the in/out lengths
// and maximum counts) are cut to what the array holds. An array that cannot be
// pinned gives CKR_HOST_MEMORY.
#include <jni.h>
#include <string.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "jni_bridge/bridge_log.h"
#include "jni_bridge/bridge_memory.h"
#include "jni_bridge/jdirect.h"

// The header javac writes for this build's class: a method whose declaration
// differs from its definition here fails to compile.
#include BRIDGE_JNI_HEADER

#define BRIDGE_JNI_PASTE(pkg, method) Java_zq_tarvi_##pkg##_CryptokiJNIImpl_##method
#define BRIDGE_JNI_EXPAND(pkg, method) BRIDGE_JNI_PASTE(pkg, method)
#define JNI_FN(method) BRIDGE_JNI_EXPAND(BRIDGE_PKG, method)

namespace {

// Native sizes of the structures that travel as byte arrays.
constexpr jsize kInfoSize = sizeof(CK_INFO);
constexpr jsize kSlotInfoSize = sizeof(CK_SLOT_INFO);
constexpr jsize kTokenInfoSize = sizeof(CK_TOKEN_INFO);
constexpr jsize kSessionInfoSize = sizeof(CK_SESSION_INFO);
constexpr jsize kMechanismInfoSize = sizeof(CK_MECHANISM_INFO);
constexpr jsize kMechanismSize = sizeof(CK_MECHANISM);
constexpr jsize kInitArgsSize = sizeof(CK_C_INITIALIZE_ARGS);
constexpr jsize kAttributeSize = sizeof(CK_ATTRIBUTE);
constexpr jsize kLabelSize = 32;
constexpr jsize kNameBlock = 260;
static_assert(kInfoSize == 88 && kSlotInfoSize == 112 && kTokenInfoSize == 208 && kSessionInfoSize == 32 &&
                  kMechanismInfoSize == 24 && kMechanismSize == 24 && kInitArgsSize == 48 && kAttributeSize == 24,
              "the Java side lays structures out in the LP64 layout");

CK_ULONG U(jint v) { return static_cast<CK_ULONG>(static_cast<std::uint32_t>(v)); }
jint ToJava(CK_RV rv) { return static_cast<jint>(static_cast<std::uint32_t>(rv)); }

std::uint64_t ReadU64(const jbyte* p, std::size_t offset) {
  std::uint64_t v;
  std::memcpy(&v, p + offset, sizeof v);
  return v;
}

struct ByteArg {
  jbyteArray array = nullptr;
  jbyte* elems = nullptr;
  jsize len = 0;
  bool secret = false;  // a PIN: the native copy is wiped before it is freed
  jboolean isCopy = JNI_FALSE;

  CK_BYTE_PTR ptr() const { return reinterpret_cast<CK_BYTE_PTR>(elems); }
  // An input length fits the array (a null array holds nothing).
  bool Holds(jint n) const { return U(n) <= static_cast<CK_ULONG>(elems ? len : 0); }
  // A structure the module reads or fills is at least its native size.
  bool Fits(jsize size) const { return !elems || len >= size; }
};

struct IntArg {
  jintArray array = nullptr;
  jint* elems = nullptr;
  jsize len = 0;
  std::vector<CK_ULONG> cells;  // what the module sees in place of the Java ints

  CK_ULONG* ptr() { return elems ? cells.data() : nullptr; }
  // A single output cell (count, length, handle) exists when an array is given.
  bool CellOk() const { return !elems || len >= 1; }
  void Cap(CK_ULONG limit) {
    if (elems && cells[0] > limit) cells[0] = limit;
  }
};

// The arrays of one call: pinned in argument order, byte arrays first, and
// released in the same order when the call ends, however it ends.
class Call {
 public:
  explicit Call(JNIEnv* env) : env_(env) {}
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  ~Call() { Release(); }

  ByteArg& Bytes(jbyteArray a, bool secret = false) {
    ByteArg& b = bytes_[nbytes_++];
    b.array = a;
    b.secret = secret;
    return b;
  }
  IntArg& Ints(jintArray a) {
    IntArg& i = ints_[nints_++];
    i.array = a;
    return i;
  }

  // False when an array could not be pinned; what was pinned is given back and
  // the pending OutOfMemoryError is cleared, the caller returns CKR_HOST_MEMORY.
  bool Pin() {
    for (int k = 0; k < nbytes_; ++k) {
      ByteArg& b = bytes_[k];
      if (!b.array) continue;
      b.len = env_->GetArrayLength(b.array);
      b.elems = env_->GetByteArrayElements(b.array, &b.isCopy);
      if (!b.elems) return Fail();
    }
    for (int k = 0; k < nints_; ++k) {
      IntArg& i = ints_[k];
      if (!i.array) continue;
      i.len = env_->GetArrayLength(i.array);
      i.elems = env_->GetIntArrayElements(i.array, nullptr);
      if (!i.elems) return Fail();
      // Never empty, so a given array is never passed as a null pointer.
      i.cells.assign(static_cast<std::size_t>(i.len > 0 ? i.len : 1), 0);
      for (jsize n = 0; n < i.len; ++n) i.cells[static_cast<std::size_t>(n)] = U(i.elems[n]);
    }
    return true;
  }

  // The module's answer: the int cells go back to Java, truncated to 32 bits.
  jint Done(CK_RV rv) {
    for (int k = 0; k < nints_; ++k) {
      IntArg& i = ints_[k];
      if (!i.elems) continue;
      for (jsize n = 0; n < i.len; ++n)
        i.elems[n] = static_cast<jint>(static_cast<std::uint32_t>(i.cells[static_cast<std::size_t>(n)]));
    }
    return ToJava(rv);
  }

  static jint Refuse() { return ToJava(CKR_ARGUMENTS_BAD); }

 private:
  bool Fail() {
    if (env_->ExceptionCheck()) env_->ExceptionClear();
    return false;
  }

  void Release() {
    for (int k = 0; k < nbytes_; ++k) {
      ByteArg& b = bytes_[k];
      if (!b.elems) continue;
      if (b.secret && b.isCopy) {
        // Copy back as mode 0 would, then wipe and free our copy.
        env_->ReleaseByteArrayElements(b.array, b.elems, JNI_COMMIT);
        explicit_bzero(b.elems, static_cast<std::size_t>(b.len));
        env_->ReleaseByteArrayElements(b.array, b.elems, JNI_ABORT);
      } else {
        env_->ReleaseByteArrayElements(b.array, b.elems, 0);
      }
      b.elems = nullptr;
    }
    for (int k = 0; k < nints_; ++k) {
      IntArg& i = ints_[k];
      if (!i.elems) continue;
      env_->ReleaseIntArrayElements(i.array, i.elems, 0);
      i.elems = nullptr;
    }
  }

  JNIEnv* env_;
  ByteArg bytes_[3];
  IntArg ints_[2];
  int nbytes_ = 0;
  int nints_ = 0;
};

// A native address that Java wrote into a structure must lie, with its length,
// inside a live jdirect_AllocMem block: nothing else is native memory Java owns.
bool PointerOk(std::uint64_t address, std::uint64_t length, bool nullMayHaveLength) {
  if (address == 0) return nullMayHaveLength || length == 0;
  return bridge_block_covers(address, length);
}

bool MechanismOk(const ByteArg& m) {
  if (!m.elems) return true;  // the module answers a null mechanism itself
  if (m.len < kMechanismSize) return false;
  return PointerOk(ReadU64(m.elems, offsetof(CK_MECHANISM, pParameter)),
                   ReadU64(m.elems, offsetof(CK_MECHANISM, ulParameterLen)), false);
}

// ulCount attributes fit the array and every value pointer is Java's own block.
// In a template the module fills, a null value asks for the length.
bool TemplateOk(const ByteArg& t, jint count, bool filled) {
  CK_ULONG n = U(count);
  if (n > static_cast<CK_ULONG>(t.elems ? t.len : 0) / kAttributeSize) return false;
  for (CK_ULONG k = 0; k < n; ++k) {
    std::size_t at = k * kAttributeSize;
    if (!PointerOk(ReadU64(t.elems, at + offsetof(CK_ATTRIBUTE, pValue)),
                   ReadU64(t.elems, at + offsetof(CK_ATTRIBUTE, ulValueLen)), filled))
      return false;
  }
  return true;
}

// Java has no native functions to offer as mutex callbacks.
bool InitArgsOk(const ByteArg& a) {
  if (!a.elems) return true;
  if (a.len < kInitArgsSize) return false;
  return ReadU64(a.elems, offsetof(CK_C_INITIALIZE_ARGS, CreateMutex)) == 0 &&
         ReadU64(a.elems, offsetof(CK_C_INITIALIZE_ARGS, DestroyMutex)) == 0 &&
         ReadU64(a.elems, offsetof(CK_C_INITIALIZE_ARGS, LockMutex)) == 0 &&
         ReadU64(a.elems, offsetof(CK_C_INITIALIZE_ARGS, UnlockMutex)) == 0;
}

CK_ULONG ByteCapacity(const ByteArg& b) { return static_cast<CK_ULONG>(b.len); }

}  // namespace

extern "C" {

// ---- the bridge's own operations ----

JNIEXPORT jint JNICALL JNI_FN(jni_1GetLibVersion)(JNIEnv*, jclass) { return jdirect_GetLibVersion(); }

JNIEXPORT jint JNICALL JNI_FN(jni_1LoadPKCS)(JNIEnv* env, jclass, jbyteArray moduleName) {
  Call c(env);
  ByteArg& name = c.Bytes(moduleName);
  if (!c.Pin()) return 0;
  if (!name.elems) return jdirect_LoadPKCS(nullptr);
  // The name ends at its first NUL or at the array's end, whichever comes
  // first; one of 260 characters or more is refused by the J/Direct layer.
  char text[kNameBlock + 1];
  jsize n = 0;
  while (n < name.len && n < kNameBlock && name.elems[n] != 0) ++n;
  std::memcpy(text, name.elems, static_cast<std::size_t>(n));
  text[n] = '\0';
  return jdirect_LoadPKCS(text);
}

JNIEXPORT jint JNICALL JNI_FN(jni_1AllocMem)(JNIEnv*, jclass, jint size) { return jdirect_AllocMem(size); }

JNIEXPORT void JNICALL JNI_FN(jni_1SetMem)(JNIEnv* env, jclass, jint address, jbyteArray source, jint offset,
                                           jint size) {
  Call c(env);
  ByteArg& src = c.Bytes(source);
  if (!c.Pin()) return;
  if (src.elems && size > src.len) {
    log_line("*** BAD OFFSET OR SIZE ***");
    return;
  }
  jdirect_SetMem(address, src.elems, offset, size);
}

JNIEXPORT void JNICALL JNI_FN(jni_1GetMem)(JNIEnv* env, jclass, jint address, jbyteArray destination, jint offset,
                                           jint length) {
  Call c(env);
  ByteArg& dst = c.Bytes(destination);
  if (!c.Pin()) return;
  if (dst.elems && length > dst.len) {
    log_line("*** BAD OFFSET OR SIZE ***");
    return;
  }
  jdirect_GetMem(address, dst.elems, offset, length);
}

JNIEXPORT void JNICALL JNI_FN(jni_1FreeMem)(JNIEnv*, jclass, jint address) { jdirect_FreeMem(address); }

JNIEXPORT jint JNICALL JNI_FN(jni_1Lock)(JNIEnv*, jclass) { return jdirect_Lock(); }

JNIEXPORT void JNICALL JNI_FN(jni_1Unlock)(JNIEnv*, jclass) { jdirect_Unlock(); }

// ---- general purpose, slots and tokens ----

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1Initialize)(JNIEnv* env, jclass, jbyteArray pInitArgs) {
  Call c(env);
  ByteArg& args = c.Bytes(pInitArgs);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!InitArgsOk(args)) return c.Refuse();
  return c.Done(jdirect_C_Initialize(args.elems));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1Finalize)(JNIEnv* env, jclass, jbyteArray pReserved) {
  Call c(env);
  ByteArg& reserved = c.Bytes(pReserved);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  return c.Done(jdirect_C_Finalize(reserved.elems));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1InitToken)(JNIEnv* env, jclass, jint slotID, jbyteArray pPin, jint ulPinLen,
                                                 jbyteArray pLabel) {
  Call c(env);
  ByteArg& pin = c.Bytes(pPin, true);
  ByteArg& label = c.Bytes(pLabel);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!pin.Holds(ulPinLen) || !label.Fits(kLabelSize)) return c.Refuse();
  return c.Done(jdirect_C_InitToken(U(slotID), pin.ptr(), U(ulPinLen), label.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GetInfo)(JNIEnv* env, jclass, jbyteArray pInfo) {
  Call c(env);
  ByteArg& info = c.Bytes(pInfo);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!info.Fits(kInfoSize)) return c.Refuse();
  return c.Done(jdirect_C_GetInfo(reinterpret_cast<CK_INFO_PTR>(info.elems)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GetSlotList)(JNIEnv* env, jclass, jint tokenPresent, jintArray pSlotList,
                                                   jintArray pulCount) {
  Call c(env);
  IntArg& list = c.Ints(pSlotList);
  IntArg& count = c.Ints(pulCount);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!count.CellOk()) return c.Refuse();
  if (list.elems) count.Cap(static_cast<CK_ULONG>(list.len));
  return c.Done(jdirect_C_GetSlotList(tokenPresent != 0 ? CK_TRUE : CK_FALSE, list.ptr(), count.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1CloseAllSessions)(JNIEnv*, jclass, jint slotID) {
  return ToJava(jdirect_C_CloseAllSessions(U(slotID)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GetSlotInfo)(JNIEnv* env, jclass, jint slotID, jbyteArray pInfo) {
  Call c(env);
  ByteArg& info = c.Bytes(pInfo);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!info.Fits(kSlotInfoSize)) return c.Refuse();
  return c.Done(jdirect_C_GetSlotInfo(U(slotID), reinterpret_cast<CK_SLOT_INFO_PTR>(info.elems)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GetTokenInfo)(JNIEnv* env, jclass, jint slotID, jbyteArray pInfo) {
  Call c(env);
  ByteArg& info = c.Bytes(pInfo);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!info.Fits(kTokenInfoSize)) return c.Refuse();
  return c.Done(jdirect_C_GetTokenInfo(U(slotID), reinterpret_cast<CK_TOKEN_INFO_PTR>(info.elems)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GetMechanismList)(JNIEnv* env, jclass, jint slotID, jbyteArray pMechanismList,
                                                        jintArray pulCount) {
  Call c(env);
  ByteArg& list = c.Bytes(pMechanismList);
  IntArg& count = c.Ints(pulCount);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!count.CellOk()) return c.Refuse();
  if (list.elems) count.Cap(ByteCapacity(list) / sizeof(CK_MECHANISM_TYPE));
  return c.Done(
      jdirect_C_GetMechanismList(U(slotID), reinterpret_cast<CK_MECHANISM_TYPE_PTR>(list.elems), count.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GetMechanismInfo)(JNIEnv* env, jclass, jint slotID, jint type, jbyteArray pInfo) {
  Call c(env);
  ByteArg& info = c.Bytes(pInfo);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!info.Fits(kMechanismInfoSize)) return c.Refuse();
  return c.Done(jdirect_C_GetMechanismInfo(U(slotID), U(type), reinterpret_cast<CK_MECHANISM_INFO_PTR>(info.elems)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1ResetToken)(JNIEnv*, jclass, jint slotID) {
  return ToJava(jdirect_C_ResetToken(U(slotID)));
}

// ---- sessions and PINs ----

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1OpenSession)(JNIEnv* env, jclass, jint slotID, jint flags,
                                                   jbyteArray pApplication, jint notify, jintArray phSession) {
  Call c(env);
  ByteArg& application = c.Bytes(pApplication);
  IntArg& session = c.Ints(phSession);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!session.CellOk()) return c.Refuse();
  // Java cannot offer a native callback: the module never gets one.
  return c.Done(jdirect_C_OpenSession(U(slotID), U(flags), application.elems, nullptr, session.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1CloseSession)(JNIEnv*, jclass, jint hSession) {
  return ToJava(jdirect_C_CloseSession(U(hSession)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GetSessionInfo)(JNIEnv* env, jclass, jint hSession, jbyteArray pInfo) {
  Call c(env);
  ByteArg& info = c.Bytes(pInfo);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!info.Fits(kSessionInfoSize)) return c.Refuse();
  return c.Done(jdirect_C_GetSessionInfo(U(hSession), reinterpret_cast<CK_SESSION_INFO_PTR>(info.elems)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1Login)(JNIEnv* env, jclass, jint hSession, jint userType, jbyteArray pPin,
                                             jint ulPinLen) {
  Call c(env);
  ByteArg& pin = c.Bytes(pPin, true);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!pin.Holds(ulPinLen)) return c.Refuse();
  return c.Done(jdirect_C_Login(U(hSession), U(userType), pin.ptr(), U(ulPinLen)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1Logout)(JNIEnv*, jclass, jint hSession) {
  return ToJava(jdirect_C_Logout(U(hSession)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1InitPIN)(JNIEnv* env, jclass, jint hSession, jbyteArray pPin, jint ulPinLen) {
  Call c(env);
  ByteArg& pin = c.Bytes(pPin, true);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!pin.Holds(ulPinLen)) return c.Refuse();
  return c.Done(jdirect_C_InitPIN(U(hSession), pin.ptr(), U(ulPinLen)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1SetPIN)(JNIEnv* env, jclass, jint hSession, jbyteArray pOldPin, jint ulOldLen,
                                              jbyteArray pNewPin, jint ulNewLen) {
  Call c(env);
  ByteArg& oldPin = c.Bytes(pOldPin, true);
  ByteArg& newPin = c.Bytes(pNewPin, true);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!oldPin.Holds(ulOldLen) || !newPin.Holds(ulNewLen)) return c.Refuse();
  return c.Done(jdirect_C_SetPIN(U(hSession), oldPin.ptr(), U(ulOldLen), newPin.ptr(), U(ulNewLen)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1UnlockPIN)(JNIEnv* env, jclass, jint hSession, jbyteArray pOldPin, jint ulOldLen,
                                                 jbyteArray pNewPin, jint ulNewLen) {
  Call c(env);
  ByteArg& oldPin = c.Bytes(pOldPin, true);
  ByteArg& newPin = c.Bytes(pNewPin, true);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!oldPin.Holds(ulOldLen) || !newPin.Holds(ulNewLen)) return c.Refuse();
  return c.Done(jdirect_C_UnlockPIN(U(hSession), oldPin.ptr(), U(ulOldLen), newPin.ptr(), U(ulNewLen)));
}

// ---- objects ----

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1CreateObject)(JNIEnv* env, jclass, jint hSession, jbyteArray pTemplate,
                                                    jint ulCount, jintArray phObject) {
  Call c(env);
  ByteArg& tmpl = c.Bytes(pTemplate);
  IntArg& object = c.Ints(phObject);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!TemplateOk(tmpl, ulCount, false) || !object.CellOk()) return c.Refuse();
  return c.Done(
      jdirect_C_CreateObject(U(hSession), reinterpret_cast<CK_ATTRIBUTE_PTR>(tmpl.elems), U(ulCount), object.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1CopyObject)(JNIEnv* env, jclass, jint hSession, jint hObject,
                                                  jbyteArray pTemplate, jint ulCount, jintArray phNewObject) {
  Call c(env);
  ByteArg& tmpl = c.Bytes(pTemplate);
  IntArg& object = c.Ints(phNewObject);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!TemplateOk(tmpl, ulCount, false) || !object.CellOk()) return c.Refuse();
  return c.Done(jdirect_C_CopyObject(U(hSession), U(hObject), reinterpret_cast<CK_ATTRIBUTE_PTR>(tmpl.elems),
                                     U(ulCount), object.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1DestroyObject)(JNIEnv*, jclass, jint hSession, jint hObject) {
  return ToJava(jdirect_C_DestroyObject(U(hSession), U(hObject)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GetObjectSize)(JNIEnv* env, jclass, jint hSession, jint hObject,
                                                     jintArray pulSize) {
  Call c(env);
  IntArg& size = c.Ints(pulSize);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!size.CellOk()) return c.Refuse();
  return c.Done(jdirect_C_GetObjectSize(U(hSession), U(hObject), size.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GetAttributeValue)(JNIEnv* env, jclass, jint hSession, jint hObject,
                                                         jbyteArray pTemplate, jint ulCount) {
  Call c(env);
  ByteArg& tmpl = c.Bytes(pTemplate);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!TemplateOk(tmpl, ulCount, true)) return c.Refuse();
  return c.Done(
      jdirect_C_GetAttributeValue(U(hSession), U(hObject), reinterpret_cast<CK_ATTRIBUTE_PTR>(tmpl.elems), U(ulCount)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1SetAttributeValue)(JNIEnv* env, jclass, jint hSession, jint hObject,
                                                         jbyteArray pTemplate, jint ulCount) {
  Call c(env);
  ByteArg& tmpl = c.Bytes(pTemplate);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!TemplateOk(tmpl, ulCount, false)) return c.Refuse();
  return c.Done(
      jdirect_C_SetAttributeValue(U(hSession), U(hObject), reinterpret_cast<CK_ATTRIBUTE_PTR>(tmpl.elems), U(ulCount)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1FindObjectsInit)(JNIEnv* env, jclass, jint hSession, jbyteArray pTemplate,
                                                       jint ulCount) {
  Call c(env);
  ByteArg& tmpl = c.Bytes(pTemplate);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!TemplateOk(tmpl, ulCount, false)) return c.Refuse();
  return c.Done(jdirect_C_FindObjectsInit(U(hSession), reinterpret_cast<CK_ATTRIBUTE_PTR>(tmpl.elems), U(ulCount)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1FindObjects)(JNIEnv* env, jclass, jint hSession, jintArray phObject,
                                                   jint ulMaxObjectCount, jintArray pulObjectCount) {
  Call c(env);
  IntArg& objects = c.Ints(phObject);
  IntArg& count = c.Ints(pulObjectCount);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!count.CellOk()) return c.Refuse();
  CK_ULONG max = U(ulMaxObjectCount);
  CK_ULONG room = objects.elems ? static_cast<CK_ULONG>(objects.len) : 0;
  if (max > room) max = room;
  return c.Done(jdirect_C_FindObjects(U(hSession), objects.ptr(), max, count.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1FindObjectsFinal)(JNIEnv*, jclass, jint hSession) {
  return ToJava(jdirect_C_FindObjectsFinal(U(hSession)));
}

// ---- signing and verifying ----

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1SignInit)(JNIEnv* env, jclass, jint hSession, jbyteArray pMechanism, jint hKey) {
  Call c(env);
  ByteArg& mechanism = c.Bytes(pMechanism);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!MechanismOk(mechanism)) return c.Refuse();
  return c.Done(jdirect_C_SignInit(U(hSession), reinterpret_cast<CK_MECHANISM_PTR>(mechanism.elems), U(hKey)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1Sign)(JNIEnv* env, jclass, jint hSession, jbyteArray pData, jint ulDataLen,
                                            jbyteArray pSignature, jintArray pulSignatureLen) {
  Call c(env);
  ByteArg& data = c.Bytes(pData);
  ByteArg& signature = c.Bytes(pSignature);
  IntArg& length = c.Ints(pulSignatureLen);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!data.Holds(ulDataLen) || !length.CellOk()) return c.Refuse();
  if (signature.elems) length.Cap(ByteCapacity(signature));
  return c.Done(jdirect_C_Sign(U(hSession), data.ptr(), U(ulDataLen), signature.ptr(), length.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1SignUpdate)(JNIEnv* env, jclass, jint hSession, jbyteArray pPart,
                                                  jint ulPartLen) {
  Call c(env);
  ByteArg& part = c.Bytes(pPart);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!part.Holds(ulPartLen)) return c.Refuse();
  return c.Done(jdirect_C_SignUpdate(U(hSession), part.ptr(), U(ulPartLen)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1SignFinal)(JNIEnv* env, jclass, jint hSession, jbyteArray pSignature,
                                                 jintArray pulSignatureLen) {
  Call c(env);
  ByteArg& signature = c.Bytes(pSignature);
  IntArg& length = c.Ints(pulSignatureLen);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!length.CellOk()) return c.Refuse();
  if (signature.elems) length.Cap(ByteCapacity(signature));
  return c.Done(jdirect_C_SignFinal(U(hSession), signature.ptr(), length.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1VerifyInit)(JNIEnv* env, jclass, jint hSession, jbyteArray pMechanism,
                                                  jint hKey) {
  Call c(env);
  ByteArg& mechanism = c.Bytes(pMechanism);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!MechanismOk(mechanism)) return c.Refuse();
  return c.Done(jdirect_C_VerifyInit(U(hSession), reinterpret_cast<CK_MECHANISM_PTR>(mechanism.elems), U(hKey)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1Verify)(JNIEnv* env, jclass, jint hSession, jbyteArray pData, jint ulDataLen,
                                              jbyteArray pSignature, jint ulSignatureLen) {
  Call c(env);
  ByteArg& data = c.Bytes(pData);
  ByteArg& signature = c.Bytes(pSignature);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!data.Holds(ulDataLen) || !signature.Holds(ulSignatureLen)) return c.Refuse();
  return c.Done(jdirect_C_Verify(U(hSession), data.ptr(), U(ulDataLen), signature.ptr(), U(ulSignatureLen)));
}

// ---- digesting ----

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1DigestInit)(JNIEnv* env, jclass, jint hSession, jbyteArray pMechanism) {
  Call c(env);
  ByteArg& mechanism = c.Bytes(pMechanism);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!MechanismOk(mechanism)) return c.Refuse();
  return c.Done(jdirect_C_DigestInit(U(hSession), reinterpret_cast<CK_MECHANISM_PTR>(mechanism.elems)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1Digest)(JNIEnv* env, jclass, jint hSession, jbyteArray pData, jint ulDataLen,
                                              jbyteArray pDigest, jintArray pulDigestLen) {
  Call c(env);
  ByteArg& data = c.Bytes(pData);
  ByteArg& digest = c.Bytes(pDigest);
  IntArg& length = c.Ints(pulDigestLen);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!data.Holds(ulDataLen) || !length.CellOk()) return c.Refuse();
  if (digest.elems) length.Cap(ByteCapacity(digest));
  return c.Done(jdirect_C_Digest(U(hSession), data.ptr(), U(ulDataLen), digest.ptr(), length.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1DigestUpdate)(JNIEnv* env, jclass, jint hSession, jbyteArray pPart,
                                                    jint ulPartLen) {
  Call c(env);
  ByteArg& part = c.Bytes(pPart);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!part.Holds(ulPartLen)) return c.Refuse();
  return c.Done(jdirect_C_DigestUpdate(U(hSession), part.ptr(), U(ulPartLen)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1DigestFinal)(JNIEnv* env, jclass, jint hSession, jbyteArray pDigest,
                                                   jintArray pulDigestLen) {
  Call c(env);
  ByteArg& digest = c.Bytes(pDigest);
  IntArg& length = c.Ints(pulDigestLen);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!length.CellOk()) return c.Refuse();
  if (digest.elems) length.Cap(ByteCapacity(digest));
  return c.Done(jdirect_C_DigestFinal(U(hSession), digest.ptr(), length.ptr()));
}

// ---- decrypting ----

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1DecryptInit)(JNIEnv* env, jclass, jint hSession, jbyteArray pMechanism,
                                                   jint hKey) {
  Call c(env);
  ByteArg& mechanism = c.Bytes(pMechanism);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!MechanismOk(mechanism)) return c.Refuse();
  return c.Done(jdirect_C_DecryptInit(U(hSession), reinterpret_cast<CK_MECHANISM_PTR>(mechanism.elems), U(hKey)));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1Decrypt)(JNIEnv* env, jclass, jint hSession, jbyteArray pEncryptedData,
                                               jint ulEncryptedDataLen, jbyteArray pData, jintArray pulDataLen) {
  Call c(env);
  ByteArg& encrypted = c.Bytes(pEncryptedData);
  ByteArg& data = c.Bytes(pData);
  IntArg& length = c.Ints(pulDataLen);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!encrypted.Holds(ulEncryptedDataLen) || !length.CellOk()) return c.Refuse();
  if (data.elems) length.Cap(ByteCapacity(data));
  return c.Done(jdirect_C_Decrypt(U(hSession), encrypted.ptr(), U(ulEncryptedDataLen), data.ptr(), length.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1DecryptUpdate)(JNIEnv* env, jclass, jint hSession, jbyteArray pEncryptedPart,
                                                     jint ulEncryptedPartLen, jbyteArray pPart, jintArray pulPartLen) {
  Call c(env);
  ByteArg& encrypted = c.Bytes(pEncryptedPart);
  ByteArg& part = c.Bytes(pPart);
  IntArg& length = c.Ints(pulPartLen);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!encrypted.Holds(ulEncryptedPartLen) || !length.CellOk()) return c.Refuse();
  if (part.elems) length.Cap(ByteCapacity(part));
  return c.Done(jdirect_C_DecryptUpdate(U(hSession), encrypted.ptr(), U(ulEncryptedPartLen), part.ptr(), length.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1DecryptFinal)(JNIEnv* env, jclass, jint hSession, jbyteArray pLastPart,
                                                    jintArray pulLastPartLen) {
  Call c(env);
  ByteArg& last = c.Bytes(pLastPart);
  IntArg& length = c.Ints(pulLastPartLen);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!length.CellOk()) return c.Refuse();
  if (last.elems) length.Cap(ByteCapacity(last));
  return c.Done(jdirect_C_DecryptFinal(U(hSession), last.ptr(), length.ptr()));
}

// ---- keys ----

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GenerateKey)(JNIEnv* env, jclass, jint hSession, jbyteArray pMechanism,
                                                   jbyteArray pTemplate, jint ulCount, jintArray phKey) {
  Call c(env);
  ByteArg& mechanism = c.Bytes(pMechanism);
  ByteArg& tmpl = c.Bytes(pTemplate);
  IntArg& key = c.Ints(phKey);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!MechanismOk(mechanism) || !TemplateOk(tmpl, ulCount, false) || !key.CellOk()) return c.Refuse();
  return c.Done(jdirect_C_GenerateKey(U(hSession), reinterpret_cast<CK_MECHANISM_PTR>(mechanism.elems),
                                      reinterpret_cast<CK_ATTRIBUTE_PTR>(tmpl.elems), U(ulCount), key.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1GenerateKeyPair)(JNIEnv* env, jclass, jint hSession, jbyteArray pMechanism,
                                                       jbyteArray pPublicKeyTemplate, jint ulPublicKeyAttributeCount,
                                                       jbyteArray pPrivateKeyTemplate, jint ulPrivateKeyAttributeCount,
                                                       jintArray phPublicKey, jintArray phPrivateKey) {
  Call c(env);
  ByteArg& mechanism = c.Bytes(pMechanism);
  ByteArg& pub = c.Bytes(pPublicKeyTemplate);
  ByteArg& priv = c.Bytes(pPrivateKeyTemplate);
  IntArg& pubKey = c.Ints(phPublicKey);
  IntArg& privKey = c.Ints(phPrivateKey);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!MechanismOk(mechanism) || !TemplateOk(pub, ulPublicKeyAttributeCount, false) ||
      !TemplateOk(priv, ulPrivateKeyAttributeCount, false) || !pubKey.CellOk() || !privKey.CellOk())
    return c.Refuse();
  return c.Done(jdirect_C_GenerateKeyPair(U(hSession), reinterpret_cast<CK_MECHANISM_PTR>(mechanism.elems),
                                          reinterpret_cast<CK_ATTRIBUTE_PTR>(pub.elems), U(ulPublicKeyAttributeCount),
                                          reinterpret_cast<CK_ATTRIBUTE_PTR>(priv.elems), U(ulPrivateKeyAttributeCount),
                                          pubKey.ptr(), privKey.ptr()));
}

JNIEXPORT jint JNICALL JNI_FN(jni_1C_1UnwrapKey)(JNIEnv* env, jclass, jint hSession, jbyteArray pMechanism,
                                                 jint hUnwrappingKey, jbyteArray pWrappedKey, jint ulWrappedKeyLen,
                                                 jbyteArray pTemplate, jint ulAttributeCount, jintArray phKey) {
  Call c(env);
  ByteArg& mechanism = c.Bytes(pMechanism);
  ByteArg& wrapped = c.Bytes(pWrappedKey);
  ByteArg& tmpl = c.Bytes(pTemplate);
  IntArg& key = c.Ints(phKey);
  if (!c.Pin()) return ToJava(CKR_HOST_MEMORY);
  if (!MechanismOk(mechanism) || !wrapped.Holds(ulWrappedKeyLen) || !TemplateOk(tmpl, ulAttributeCount, false) ||
      !key.CellOk())
    return c.Refuse();
  return c.Done(jdirect_C_UnwrapKey(U(hSession), reinterpret_cast<CK_MECHANISM_PTR>(mechanism.elems), U(hUnwrappingKey),
                                    wrapped.ptr(), U(ulWrappedKeyLen), reinterpret_cast<CK_ATTRIBUTE_PTR>(tmpl.elems),
                                    U(ulAttributeCount), key.ptr()));
}

}  // extern "C"
