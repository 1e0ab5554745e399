// The JNI methods of the delivered build, driven through a recording JNI
// environment over the scripted module: how Java ints and arrays reach a module
// whose CK_ULONG, handles and pointers are 8 bytes, which lengths are refused or
// cut, what happens when an array cannot be pinned, and the order of pinning.
#include <gtest/gtest.h>
#include <jni.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bridge_fixture.h"
#include "zq_tarvi_pkcs11_CryptokiJNIImpl.h"

namespace {

#define JNI(lib, method)                                                 \
  ((lib).Get<decltype(::Java_zq_tarvi_pkcs11_CryptokiJNIImpl_##method)>( \
      "Java_zq_tarvi_pkcs11_CryptokiJNIImpl_" #method))

// ---- a JNI environment that hands out guarded copies and records every call ----

constexpr int kGuard = 16;  // bytes behind every copy that nothing may touch

struct FakeArray {
  int id;
  bool isInt;
  std::vector<jbyte> bytes;
  std::vector<jint> ints;
  bool failPin = false;
  std::size_t size() const { return isInt ? ints.size() * sizeof(jint) : bytes.size(); }
  void* data() { return isInt ? static_cast<void*>(ints.data()) : static_cast<void*>(bytes.data()); }
};

class FakeJni {
 public:
  FakeJni() {
    current_ = this;
    iface_.GetArrayLength = [](JNIEnv*, jarray a) -> jsize {
      FakeArray* f = Of(a);
      return static_cast<jsize>(f->isInt ? f->ints.size() : f->bytes.size());
    };
    iface_.GetByteArrayElements = [](JNIEnv*, jbyteArray a, jboolean* isCopy) -> jbyte* {
      return static_cast<jbyte*>(current_->Pin(Of(a), "pinB", isCopy));
    };
    iface_.GetIntArrayElements = [](JNIEnv*, jintArray a, jboolean* isCopy) -> jint* {
      return static_cast<jint*>(current_->Pin(Of(a), "pinI", isCopy));
    };
    iface_.ReleaseByteArrayElements = [](JNIEnv*, jbyteArray a, jbyte* e, jint mode) {
      current_->Release(Of(a), e, mode, "relB");
    };
    iface_.ReleaseIntArrayElements = [](JNIEnv*, jintArray a, jint* e, jint mode) {
      current_->Release(Of(a), e, mode, "relI");
    };
    iface_.ExceptionCheck = [](JNIEnv*) -> jboolean { return current_->pending ? JNI_TRUE : JNI_FALSE; };
    iface_.ExceptionClear = [](JNIEnv*) { current_->pending = false; };
    env_.functions = &iface_;
  }
  ~FakeJni() { current_ = nullptr; }

  JNIEnv* env() { return &env_; }

  jbyteArray Bytes(const std::string& content) {
    auto a = New(false);
    a->bytes.assign(content.begin(), content.end());
    return reinterpret_cast<jbyteArray>(a);
  }
  jbyteArray Bytes(const std::vector<jbyte>& content) {
    auto a = New(false);
    a->bytes = content;
    return reinterpret_cast<jbyteArray>(a);
  }
  jbyteArray Zeros(std::size_t n) { return Bytes(std::string(n, '\0')); }
  jintArray Ints(const std::vector<jint>& content) {
    auto a = New(true);
    a->ints = content;
    return reinterpret_cast<jintArray>(a);
  }

  static FakeArray* Of(jarray a) { return reinterpret_cast<FakeArray*>(a); }
  static std::string Content(jbyteArray a) { return std::string(Of(a)->bytes.begin(), Of(a)->bytes.end()); }
  static std::vector<jint> Cells(jintArray a) { return Of(a)->ints; }

  std::vector<std::string> events;
  std::map<int, std::string> freedCopies;  // a byte array's copy as it was when freed
  bool overrun = false;
  bool pending = false;
  int outstanding = 0;  // copies not yet freed

 private:
  struct Copy {
    FakeArray* array;
    std::unique_ptr<unsigned char[]> buffer;
  };

  FakeArray* New(bool isInt) {
    arrays_.push_back(std::make_unique<FakeArray>());
    arrays_.back()->id = static_cast<int>(arrays_.size());
    arrays_.back()->isInt = isInt;
    return arrays_.back().get();
  }

  void* Pin(FakeArray* a, const char* what, jboolean* isCopy) {
    events.push_back(std::string(what) + std::to_string(a->id));
    if (a->failPin) {
      pending = true;  // as a JVM does: NULL with an OutOfMemoryError pending
      return nullptr;
    }
    std::size_t n = a->size();
    auto buffer = std::make_unique<unsigned char[]>(n + kGuard);
    if (n) std::memcpy(buffer.get(), a->data(), n);
    std::memset(buffer.get() + n, 0xA5, kGuard);
    void* p = buffer.get();
    copies_[p] = Copy{a, std::move(buffer)};
    ++outstanding;
    if (isCopy) *isCopy = JNI_TRUE;
    return p;
  }

  void Release(FakeArray* a, void* elems, jint mode, const char* what) {
    events.push_back(std::string(what) + std::to_string(a->id) + ":" + std::to_string(mode));
    auto it = copies_.find(elems);
    ASSERT_NE(it, copies_.end());
    ASSERT_EQ(it->second.array, a);
    std::size_t n = a->size();
    for (int k = 0; k < kGuard; ++k)
      if (it->second.buffer[n + k] != 0xA5) overrun = true;
    if (n && (mode == 0 || mode == JNI_COMMIT)) std::memcpy(a->data(), elems, n);
    if (mode == 0 || mode == JNI_ABORT) {
      if (!a->isInt) freedCopies[a->id] = std::string(reinterpret_cast<char*>(it->second.buffer.get()), n);
      copies_.erase(it);
      --outstanding;
    }
  }

  static inline FakeJni* current_ = nullptr;
  JNINativeInterface_ iface_{};
  JNIEnv env_{};
  std::vector<std::unique_ptr<FakeArray>> arrays_;
  std::map<void*, Copy> copies_;
};

template <typename A>
std::string Id(A array) {
  return std::to_string(FakeJni::Of(reinterpret_cast<jarray>(array))->id);
}

// ---- native structures as a Java caller lays them out ----

void PutU64(std::vector<jbyte>& out, std::uint64_t v) {
  for (int k = 0; k < 8; ++k) out.push_back(static_cast<jbyte>(v >> (8 * k)));
}
std::uint64_t GetU64(const std::vector<jbyte>& in, std::size_t at) {
  std::uint64_t v = 0;
  for (int k = 7; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(in[at + k]);
  return v;
}

struct Attr {
  std::uint64_t type, value, length;
};
std::vector<jbyte> Template(const std::vector<Attr>& attrs) {
  std::vector<jbyte> out;
  for (const Attr& a : attrs) PutU64(out, a.type), PutU64(out, a.value), PutU64(out, a.length);
  return out;
}
std::vector<jbyte> Mechanism(std::uint64_t type, std::uint64_t param = 0, std::uint64_t length = 0) {
  std::vector<jbyte> out;
  PutU64(out, type), PutU64(out, param), PutU64(out, length);
  return out;
}

class JniMarshal : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(JNI(bridge, jni_1LoadPKCS)(jni.env(), nullptr, jni.Bytes(fake.path() + std::string(1, '\0'))), 1);
    ASSERT_EQ(JNI(bridge, jni_1C_1Initialize)(jni.env(), nullptr, nullptr), 0);
    jni.events.clear();
  }
  void TearDown() override {
    EXPECT_FALSE(jni.overrun) << "a module wrote past a Java array's copy";
    EXPECT_EQ(jni.outstanding, 0) << "an array was not given back";
    EXPECT_FALSE(jni.pending) << "an exception was left pending";
  }
  JNIEnv* env() { return jni.env(); }

  FakeModule fake;
  Library bridge{BinFile(kNewBuild)};
  FakeJni jni;
};

TEST_F(JniMarshal, IntScalarsAreZeroExtended) {
  EXPECT_EQ(JNI(bridge, jni_1C_1GetSlotInfo)(env(), nullptr, static_cast<jint>(0x80000001u), jni.Zeros(112)), 0);
  EXPECT_EQ(fake.Value("C_GetSlotInfo.slot"), 0x80000001u);
  EXPECT_EQ(JNI(bridge, jni_1C_1GetMechanismInfo)(env(), nullptr, 1, -1, jni.Zeros(24)), 0);
  EXPECT_EQ(fake.Value("C_GetMechanismInfo.type"), 0xFFFFFFFFu);
  EXPECT_EQ(JNI(bridge, jni_1C_1CloseAllSessions)(env(), nullptr, -2), 0);
  EXPECT_EQ(fake.Value("C_CloseAllSessions.slot"), 0xFFFFFFFEu);
}

TEST_F(JniMarshal, IntCellsTravelThroughNativeTemporaries) {
  fake.Set("slot.0", 0x80000001u);
  fake.Set("slot.1", 0xFFFFFFFFu);
  jintArray count = jni.Ints({0});
  EXPECT_EQ(JNI(bridge, jni_1C_1GetSlotList)(env(), nullptr, 1, nullptr, count), 0);
  EXPECT_EQ(FakeJni::Cells(count), std::vector<jint>{2});
  jintArray slots = jni.Ints({0, 0});
  EXPECT_EQ(JNI(bridge, jni_1C_1GetSlotList)(env(), nullptr, 1, slots, count), 0);
  EXPECT_EQ(FakeJni::Cells(slots), (std::vector<jint>{static_cast<jint>(0x80000001u), -1}));

  jintArray objects = jni.Ints({9, 9, 9, 9}), found = jni.Ints({0});
  EXPECT_EQ(JNI(bridge, jni_1C_1FindObjects)(env(), nullptr, 1, objects, 4, found), 0);
  EXPECT_EQ(FakeJni::Cells(objects), (std::vector<jint>{0x100, 0x101, 0x102, 9}));
  EXPECT_EQ(FakeJni::Cells(found), std::vector<jint>{3});

  // An 8-byte "unavailable" comes back as -1; a handle above 32 bits loses its top.
  fake.Set("session.value", CK_UNAVAILABLE_INFORMATION);
  jintArray session = jni.Ints({0});
  EXPECT_EQ(JNI(bridge, jni_1C_1OpenSession)(env(), nullptr, 1, 6, nullptr, 0, session), 0);
  EXPECT_EQ(FakeJni::Cells(session), std::vector<jint>{-1});

  jintArray size = jni.Ints({0});
  EXPECT_EQ(JNI(bridge, jni_1C_1GetObjectSize)(env(), nullptr, 1, 2, size), 0);
  EXPECT_EQ(FakeJni::Cells(size), std::vector<jint>{1234});
}

TEST_F(JniMarshal, CapacitiesAreCutToTheArrays) {
  jintArray count = jni.Ints({5});
  EXPECT_EQ(JNI(bridge, jni_1C_1GetSlotList)(env(), nullptr, 0, jni.Ints({0}), count),
            static_cast<jint>(CKR_BUFFER_TOO_SMALL));
  EXPECT_EQ(fake.Value("C_GetSlotList.capacity"), 1u);
  EXPECT_EQ(FakeJni::Cells(count), std::vector<jint>{2});

  jintArray length = jni.Ints({1000});
  EXPECT_EQ(JNI(bridge, jni_1C_1Sign)(env(), nullptr, 1, jni.Bytes("data"), 4, jni.Zeros(10), length),
            static_cast<jint>(CKR_BUFFER_TOO_SMALL));
  EXPECT_EQ(fake.Value("C_Sign.capacity"), 10u);
  EXPECT_EQ(FakeJni::Cells(length), std::vector<jint>{64});

  // A null output array is a size query: the length is the module's business.
  length = jni.Ints({0});
  EXPECT_EQ(JNI(bridge, jni_1C_1Sign)(env(), nullptr, 1, jni.Bytes("data"), 4, nullptr, length), 0);
  EXPECT_EQ(FakeJni::Cells(length), std::vector<jint>{64});
  jbyteArray signature = jni.Zeros(64);
  EXPECT_EQ(JNI(bridge, jni_1C_1Sign)(env(), nullptr, 1, jni.Bytes("data"), 4, signature, length), 0);
  EXPECT_EQ(FakeJni::Content(signature), std::string(64, '\x5A'));

  EXPECT_EQ(JNI(bridge, jni_1C_1FindObjects)(env(), nullptr, 1, jni.Ints({0, 0}), 50, jni.Ints({0})), 0);
  EXPECT_EQ(fake.Value("C_FindObjects.max"), 2u);
  JNI(bridge, jni_1C_1FindObjects)(env(), nullptr, 1, nullptr, 50, jni.Ints({0}));
  EXPECT_EQ(fake.Value("C_FindObjects.max"), 0u);

  count = jni.Ints({100});
  EXPECT_EQ(JNI(bridge, jni_1C_1GetMechanismList)(env(), nullptr, 1, jni.Zeros(20), count),
            static_cast<jint>(CKR_BUFFER_TOO_SMALL));
  EXPECT_EQ(fake.Value("C_GetMechanismList.capacity"), 2u);
  jbyteArray mechs = jni.Zeros(24);
  EXPECT_EQ(JNI(bridge, jni_1C_1GetMechanismList)(env(), nullptr, 1, mechs, count), 0);
  std::vector<jbyte> list = FakeJni::Of(reinterpret_cast<jarray>(mechs))->bytes;
  EXPECT_EQ(GetU64(list, 0), CKM_RSA_PKCS);
  EXPECT_EQ(GetU64(list, 8), CKM_SHA_1);
  EXPECT_EQ(GetU64(list, 16), 0x80000001u);

  length = jni.Ints({20});
  EXPECT_EQ(JNI(bridge, jni_1C_1DigestFinal)(env(), nullptr, 1, jni.Zeros(5), length),
            static_cast<jint>(CKR_BUFFER_TOO_SMALL));
  EXPECT_EQ(fake.Value("C_DigestFinal.capacity"), 5u);
}

TEST_F(JniMarshal, LengthsBeyondTheirArraysAreRefusedBeforeTheModuleIsCalled) {
  int32_t block = JDIRECT(bridge, AllocMem)(8);
  ASSERT_GT(block, 0);
  struct Case {
    const char* what;
    const char* function;  // the module function that must not be called
    std::function<jint()> call;
  } cases[] = {
      {"PIN longer than its array", "C_Login",
       [&] { return JNI(bridge, jni_1C_1Login)(env(), nullptr, 1, 1, jni.Bytes("1234"), 5); }},
      {"PIN length with a null array", "C_Login",
       [&] { return JNI(bridge, jni_1C_1Login)(env(), nullptr, 1, 1, nullptr, 1); }},
      {"negative PIN length", "C_Login",
       [&] { return JNI(bridge, jni_1C_1Login)(env(), nullptr, 1, 1, jni.Bytes("1234"), -1); }},
      {"new PIN longer than its array", "C_SetPIN",
       [&] { return JNI(bridge, jni_1C_1SetPIN)(env(), nullptr, 1, jni.Bytes("1234"), 4, jni.Bytes("12"), 3); }},
      {"unlock code longer than its array", "C_UnlockPIN",
       [&] { return JNI(bridge, jni_1C_1UnlockPIN)(env(), nullptr, 1, jni.Bytes("12"), 3, jni.Bytes("12"), 2); }},
      {"SO PIN longer than its array", "C_InitToken",
       [&] { return JNI(bridge, jni_1C_1InitToken)(env(), nullptr, 1, jni.Bytes("12"), 3, jni.Zeros(32)); }},
      {"label shorter than 32", "C_InitToken",
       [&] { return JNI(bridge, jni_1C_1InitToken)(env(), nullptr, 1, jni.Bytes("12"), 2, jni.Zeros(31)); }},
      {"InitPIN length", "C_InitPIN",
       [&] { return JNI(bridge, jni_1C_1InitPIN)(env(), nullptr, 1, jni.Bytes("12"), 3); }},
      {"data longer than its array", "C_Sign",
       [&] { return JNI(bridge, jni_1C_1Sign)(env(), nullptr, 1, jni.Bytes("abc"), 4, nullptr, jni.Ints({0})); }},
      {"empty length cell", "C_Sign",
       [&] { return JNI(bridge, jni_1C_1Sign)(env(), nullptr, 1, jni.Bytes("abc"), 3, nullptr, jni.Ints({})); }},
      {"part longer than its array", "C_SignUpdate",
       [&] { return JNI(bridge, jni_1C_1SignUpdate)(env(), nullptr, 1, jni.Bytes("abc"), 4); }},
      {"digest part", "C_DigestUpdate",
       [&] { return JNI(bridge, jni_1C_1DigestUpdate)(env(), nullptr, 1, jni.Bytes("abc"), 4); }},
      {"digest data", "C_Digest",
       [&] { return JNI(bridge, jni_1C_1Digest)(env(), nullptr, 1, jni.Bytes("abc"), 4, nullptr, jni.Ints({0})); }},
      {"signature longer than its array", "C_Verify",
       [&] { return JNI(bridge, jni_1C_1Verify)(env(), nullptr, 1, jni.Bytes("abc"), 3, jni.Bytes("s"), 2); }},
      {"encrypted data", "C_Decrypt",
       [&] { return JNI(bridge, jni_1C_1Decrypt)(env(), nullptr, 1, jni.Bytes("ab"), 3, nullptr, jni.Ints({0})); }},
      {"encrypted part", "C_DecryptUpdate",
       [&] {
         return JNI(bridge, jni_1C_1DecryptUpdate)(env(), nullptr, 1, jni.Bytes("ab"), 3, nullptr, jni.Ints({0}));
       }},
      {"empty last-part cell", "C_DecryptFinal",
       [&] { return JNI(bridge, jni_1C_1DecryptFinal)(env(), nullptr, 1, nullptr, jni.Ints({})); }},
      {"CK_INFO of 87", "C_GetInfo", [&] { return JNI(bridge, jni_1C_1GetInfo)(env(), nullptr, jni.Zeros(87)); }},
      {"CK_SLOT_INFO of 111", "C_GetSlotInfo",
       [&] { return JNI(bridge, jni_1C_1GetSlotInfo)(env(), nullptr, 1, jni.Zeros(111)); }},
      {"CK_TOKEN_INFO of 207", "C_GetTokenInfo",
       [&] { return JNI(bridge, jni_1C_1GetTokenInfo)(env(), nullptr, 1, jni.Zeros(207)); }},
      {"CK_SESSION_INFO of 31", "C_GetSessionInfo",
       [&] { return JNI(bridge, jni_1C_1GetSessionInfo)(env(), nullptr, 1, jni.Zeros(31)); }},
      {"CK_MECHANISM_INFO of 23", "C_GetMechanismInfo",
       [&] { return JNI(bridge, jni_1C_1GetMechanismInfo)(env(), nullptr, 1, 1, jni.Zeros(23)); }},
      {"init args of 47", "C_Initialize",
       [&] { return JNI(bridge, jni_1C_1Initialize)(env(), nullptr, jni.Zeros(47)); }},
      {"init args with a mutex callback", "C_Initialize",
       [&] {
         std::vector<jbyte> args(48, 0);
         args[0] = 1;
         return JNI(bridge, jni_1C_1Initialize)(env(), nullptr, jni.Bytes(args));
       }},
      {"empty session cell", "C_OpenSession",
       [&] { return JNI(bridge, jni_1C_1OpenSession)(env(), nullptr, 1, 6, nullptr, 0, jni.Ints({})); }},
      {"empty slot count cell", "C_GetSlotList",
       [&] { return JNI(bridge, jni_1C_1GetSlotList)(env(), nullptr, 1, nullptr, jni.Ints({})); }},
      {"mechanism of 23", "C_SignInit",
       [&] { return JNI(bridge, jni_1C_1SignInit)(env(), nullptr, 1, jni.Zeros(23), 1); }},
      {"parameter outside every block", "C_VerifyInit",
       [&] { return JNI(bridge, jni_1C_1VerifyInit)(env(), nullptr, 1, jni.Bytes(Mechanism(1, 0x1000, 4)), 1); }},
      {"parameter past its block", "C_DecryptInit",
       [&] { return JNI(bridge, jni_1C_1DecryptInit)(env(), nullptr, 1, jni.Bytes(Mechanism(1, block + 4, 5)), 1); }},
      {"null parameter with a length", "C_DigestInit",
       [&] { return JNI(bridge, jni_1C_1DigestInit)(env(), nullptr, 1, jni.Bytes(Mechanism(0x220, 0, 4))); }},
      {"template shorter than its count", "C_FindObjectsInit",
       [&] {
         return JNI(bridge, jni_1C_1FindObjectsInit)(env(), nullptr, 1, jni.Bytes(Template({{CKA_CLASS, 0, 0}})), 2);
       }},
      {"template count with a null array", "C_CreateObject",
       [&] { return JNI(bridge, jni_1C_1CreateObject)(env(), nullptr, 1, nullptr, 1, jni.Ints({0})); }},
      {"value outside every block", "C_SetAttributeValue",
       [&] {
         return JNI(bridge, jni_1C_1SetAttributeValue)(env(), nullptr, 1, 2,
                                                       jni.Bytes(Template({{CKA_LABEL, 0x1000, 4}})), 1);
       }},
      {"value past its block", "C_GetAttributeValue",
       [&] {
         return JNI(bridge, jni_1C_1GetAttributeValue)(env(), nullptr, 1, 2,
                                                       jni.Bytes(Template({{CKA_LABEL, uint64_t(block), 9}})), 1);
       }},
      {"null input value with a length", "C_CopyObject",
       [&] {
         return JNI(bridge, jni_1C_1CopyObject)(env(), nullptr, 1, 2, jni.Bytes(Template({{CKA_LABEL, 0, 4}})), 1,
                                                jni.Ints({0}));
       }},
      {"wrapped key longer than its array", "C_UnwrapKey",
       [&] {
         return JNI(bridge, jni_1C_1UnwrapKey)(env(), nullptr, 1, jni.Bytes(Mechanism(1)), 2, jni.Bytes("k"), 2,
                                               nullptr, 0, jni.Ints({0}));
       }},
      {"private template of a key pair", "C_GenerateKeyPair",
       [&] {
         return JNI(bridge, jni_1C_1GenerateKeyPair)(env(), nullptr, 1, jni.Bytes(Mechanism(0)), nullptr, 0,
                                                     jni.Zeros(24), 2, jni.Ints({0}), jni.Ints({0}));
       }},
      {"empty key cell", "C_GenerateKey",
       [&] {
         return JNI(bridge, jni_1C_1GenerateKey)(env(), nullptr, 1, jni.Bytes(Mechanism(0x131)), nullptr, 0,
                                                 jni.Ints({}));
       }},
      {"empty size cell", "C_GetObjectSize",
       [&] { return JNI(bridge, jni_1C_1GetObjectSize)(env(), nullptr, 1, 2, jni.Ints({})); }},
  };
  for (const Case& c : cases) {
    std::string calls = std::string(c.function) + ".calls";
    unsigned long before = fake.Value(calls.c_str());
    EXPECT_EQ(c.call(), static_cast<jint>(CKR_ARGUMENTS_BAD)) << c.what;
    EXPECT_EQ(fake.Value(calls.c_str()), before) << c.what << ": the module was called";
  }
  JDIRECT(bridge, FreeMem)(block);
}

TEST_F(JniMarshal, PointersInsideLiveBlocksReachTheModule) {
  auto alloc = JDIRECT(bridge, AllocMem);
  int32_t value = alloc(16), param = alloc(8);
  ASSERT_GT(value, 0);
  ASSERT_GT(param, 0);
  JDIRECT(bridge, SetMem)(param, "PARM", 0, 4);
  EXPECT_EQ(JNI(bridge, jni_1C_1SignInit)(env(), nullptr, 1, jni.Bytes(Mechanism(CKM_RSA_PKCS, param, 4)), 7), 0);
  EXPECT_EQ(fake.Text("C_SignInit.param"), "PARM");
  EXPECT_EQ(fake.Value("C_SignInit.key"), 7u);

  // A size query (null value), then the value into a block read back from Java.
  jbyteArray query = jni.Bytes(Template({{CKA_LABEL, 0, 0}}));
  EXPECT_EQ(JNI(bridge, jni_1C_1GetAttributeValue)(env(), nullptr, 1, 2, query, 1), 0);
  EXPECT_EQ(GetU64(FakeJni::Of(reinterpret_cast<jarray>(query))->bytes, 16), 10u);
  jbyteArray tmpl = jni.Bytes(Template({{CKA_LABEL, uint64_t(value), 16}}));
  EXPECT_EQ(JNI(bridge, jni_1C_1GetAttributeValue)(env(), nullptr, 1, 2, tmpl, 1), 0);
  EXPECT_EQ(GetU64(FakeJni::Of(reinterpret_cast<jarray>(tmpl))->bytes, 16), 10u);
  jbyteArray label = jni.Zeros(10);
  JNI(bridge, jni_1GetMem)(env(), nullptr, value, label, 0, 10);
  EXPECT_EQ(FakeJni::Content(label), "fake-label");

  // An address into the middle of a block, with its length inside it.
  JDIRECT(bridge, SetMem)(value, "middle", 8, 6);
  EXPECT_EQ(JNI(bridge, jni_1C_1FindObjectsInit)(env(), nullptr, 1,
                                                 jni.Bytes(Template({{CKA_LABEL, uint64_t(value) + 8, 6}})), 1),
            0);
  EXPECT_EQ(fake.Text("C_FindObjectsInit.value0"), "middle");
  JDIRECT(bridge, FreeMem)(value);
  JDIRECT(bridge, FreeMem)(param);
  // A freed block is no longer Java's memory.
  EXPECT_EQ(JNI(bridge, jni_1C_1FindObjectsInit)(env(), nullptr, 1,
                                                 jni.Bytes(Template({{CKA_LABEL, uint64_t(value) + 8, 6}})), 1),
            static_cast<jint>(CKR_ARGUMENTS_BAD));
}

TEST_F(JniMarshal, AnArrayThatCannotBePinnedGivesHostMemory) {
  jbyteArray data = jni.Bytes("data"), signature = jni.Zeros(64);
  FakeJni::Of(reinterpret_cast<jarray>(signature))->failPin = true;
  EXPECT_EQ(JNI(bridge, jni_1C_1Sign)(env(), nullptr, 1, data, 4, signature, jni.Ints({64})),
            static_cast<jint>(CKR_HOST_MEMORY));
  EXPECT_EQ(fake.Value("C_Sign.calls"), 0u);
  std::string d = Id(data), g = Id(signature);
  EXPECT_EQ(jni.events, (std::vector<std::string>{"pinB" + d, "pinB" + g, "relB" + d + ":0"}));

  jintArray cell = jni.Ints({0});
  FakeJni::Of(reinterpret_cast<jarray>(cell))->failPin = true;
  EXPECT_EQ(JNI(bridge, jni_1C_1OpenSession)(env(), nullptr, 1, 6, nullptr, 0, cell),
            static_cast<jint>(CKR_HOST_MEMORY));
  EXPECT_EQ(fake.Value("C_OpenSession.calls"), 0u);
}

TEST_F(JniMarshal, ArraysArePinnedAndGivenBackInArgumentOrderWithModeZero) {
  jbyteArray mech = jni.Bytes(Mechanism(CKM_RSA_PKCS_KEY_PAIR_GEN)), pub = jni.Zeros(0), priv = jni.Zeros(0);
  jintArray pubKey = jni.Ints({0}), privKey = jni.Ints({0});
  EXPECT_EQ(JNI(bridge, jni_1C_1GenerateKeyPair)(env(), nullptr, 1, mech, pub, 0, priv, 0, pubKey, privKey), 0);
  std::string m = Id(mech), u = Id(pub), r = Id(priv), uk = Id(pubKey), rk = Id(privKey);
  EXPECT_EQ(jni.events,
            (std::vector<std::string>{"pinB" + m, "pinB" + u, "pinB" + r, "pinI" + uk, "pinI" + rk, "relB" + m + ":0",
                                      "relB" + u + ":0", "relB" + r + ":0", "relI" + uk + ":0", "relI" + rk + ":0"}));
  EXPECT_EQ(FakeJni::Cells(pubKey), std::vector<jint>{0x21});
  EXPECT_EQ(FakeJni::Cells(privKey), std::vector<jint>{0x22});

  // A null array makes no array call at all.
  jni.events.clear();
  EXPECT_EQ(JNI(bridge, jni_1C_1Finalize)(env(), nullptr, nullptr), 0);
  EXPECT_TRUE(jni.events.empty());
  // A byte[] output is copied back.
  jbyteArray info = jni.Zeros(88);
  EXPECT_EQ(JNI(bridge, jni_1C_1GetInfo)(env(), nullptr, info), 0);
  EXPECT_EQ(FakeJni::Content(info).substr(2, 11), "Fake Module");
}

// Init args without mutex callbacks are the one non-null form a Java caller
// can give: the module reads them in place, and they come back as they were.
TEST_F(JniMarshal, InitArgsReachTheModuleAsTheirBytes) {
  EXPECT_EQ(JNI(bridge, jni_1C_1Initialize)(env(), nullptr, nullptr), 0);
  EXPECT_TRUE(jni.events.empty());
  EXPECT_EQ(fake.Value("C_Initialize.null"), 1u);

  std::vector<jbyte> layout;
  for (std::uint64_t field : {0ull, 0ull, 0ull, 0ull, static_cast<unsigned long long>(CKF_OS_LOCKING_OK), 0ull})
    PutU64(layout, field);
  ASSERT_EQ(layout.size(), sizeof(CK_C_INITIALIZE_ARGS));
  jbyteArray args = jni.Bytes(layout);
  EXPECT_EQ(JNI(bridge, jni_1C_1Initialize)(env(), nullptr, args), 0);
  EXPECT_EQ(fake.Value("C_Initialize.null"), 0u);
  EXPECT_EQ(fake.Value("C_Initialize.flags"), CKF_OS_LOCKING_OK);
  EXPECT_EQ(FakeJni::Of(reinterpret_cast<jarray>(args))->bytes, layout);
  EXPECT_EQ(jni.events, (std::vector<std::string>{"pinB" + Id(args), "relB" + Id(args) + ":0"}));
}

TEST_F(JniMarshal, PinCopiesAreWipedAndTheJavaArraysKeepTheirBytes) {
  jbyteArray pin = jni.Bytes("1234");
  EXPECT_EQ(JNI(bridge, jni_1C_1Login)(env(), nullptr, 3, 1, pin, 4), 0);
  EXPECT_EQ(fake.Text("C_Login.pin"), "1234");
  EXPECT_EQ(fake.Value("C_Login.session"), 3u);
  EXPECT_EQ(FakeJni::Content(pin), "1234");
  EXPECT_EQ(jni.freedCopies[FakeJni::Of(reinterpret_cast<jarray>(pin))->id], std::string(4, '\0'));

  jbyteArray oldPin = jni.Bytes("1234"), newPin = jni.Bytes("987654");
  EXPECT_EQ(JNI(bridge, jni_1C_1SetPIN)(env(), nullptr, 3, oldPin, 4, newPin, 6), 0);
  EXPECT_EQ(fake.Text("C_SetPIN.new"), "987654");
  EXPECT_EQ(jni.freedCopies[FakeJni::Of(reinterpret_cast<jarray>(oldPin))->id], std::string(4, '\0'));
  EXPECT_EQ(jni.freedCopies[FakeJni::Of(reinterpret_cast<jarray>(newPin))->id], std::string(6, '\0'));
  EXPECT_EQ(FakeJni::Content(newPin), "987654");

  jbyteArray soPin = jni.Bytes("12345678"), label = jni.Bytes(std::string(32, ' '));
  EXPECT_EQ(JNI(bridge, jni_1C_1InitToken)(env(), nullptr, 1, soPin, 8, label), 0);
  EXPECT_EQ(jni.freedCopies[FakeJni::Of(reinterpret_cast<jarray>(soPin))->id], std::string(8, '\0'));
  EXPECT_EQ(fake.Text("C_InitToken.label"), std::string(32, ' '));
}

TEST_F(JniMarshal, OpenSessionNeverGivesTheModuleACallback) {
  jintArray session = jni.Ints({0});
  EXPECT_EQ(JNI(bridge, jni_1C_1OpenSession)(env(), nullptr, 4, 6, jni.Bytes("app"), 0x12345678, session), 0);
  EXPECT_EQ(fake.Value("C_OpenSession.notify_null"), 1u);
  EXPECT_EQ(FakeJni::Cells(session), std::vector<jint>{1});
  EXPECT_EQ(fake.Value("C_OpenSession.flags"), 6u);
}

TEST_F(JniMarshal, MemoryCopiesAreBoundByTheJavaArrayAndTheBlock) {
  int32_t block = JNI(bridge, jni_1AllocMem)(env(), nullptr, 8);
  ASSERT_GT(block, 0);
  // The offset applies to the native block; the Java array is read from index 0.
  JNI(bridge, jni_1SetMem)(env(), nullptr, block, jni.Bytes("WXYZ----"), 4, 4);
  jbyteArray back = jni.Bytes(std::string(8, '?'));
  JNI(bridge, jni_1GetMem)(env(), nullptr, block, back, 0, 8);
  EXPECT_EQ(FakeJni::Content(back), std::string("\0\0\0\0WXYZ", 8));
  // Longer than the Java array: refused, nothing copied either way.
  JNI(bridge, jni_1SetMem)(env(), nullptr, block, jni.Bytes("ab"), 0, 3);
  jbyteArray small = jni.Bytes("??");
  JNI(bridge, jni_1GetMem)(env(), nullptr, block, small, 0, 3);
  EXPECT_EQ(FakeJni::Content(small), "??");
  JNI(bridge, jni_1GetMem)(env(), nullptr, block, back, 0, 8);
  EXPECT_EQ(FakeJni::Content(back), std::string("\0\0\0\0WXYZ", 8));
  JNI(bridge, jni_1FreeMem)(env(), nullptr, block);
  JNI(bridge, jni_1FreeMem)(env(), nullptr, block);
}

TEST_F(JniMarshal, VendorFunctionsAndTheirPins) {
  EXPECT_EQ(JNI(bridge, jni_1C_1ResetToken)(env(), nullptr, static_cast<jint>(0x80000000u)), 0);
  EXPECT_EQ(fake.Value("C_ResetToken.slot"), 0x80000000u);
  jbyteArray code = jni.Bytes("PUK-0001"), pin = jni.Bytes("4321");
  EXPECT_EQ(JNI(bridge, jni_1C_1UnlockPIN)(env(), nullptr, 9, code, 8, pin, 4), 0);
  EXPECT_EQ(fake.Text("C_UnlockPIN.old"), "PUK-0001");
  EXPECT_EQ(fake.Text("C_UnlockPIN.new"), "4321");
  EXPECT_EQ(jni.freedCopies[FakeJni::Of(reinterpret_cast<jarray>(code))->id], std::string(8, '\0'));
}

// The module name as a Java byte[]: up to its first NUL or the array's end.
TEST(JniLoadPKCS, NameEndsAtTheFirstNulOrTheArrayEnd) {
  FakeModule fake;
  Library bridge(BinFile(kNewBuild));
  FakeJni jni;
  auto load = JNI(bridge, jni_1LoadPKCS);
  EXPECT_EQ(load(jni.env(), nullptr, nullptr), 0);
  EXPECT_EQ(load(jni.env(), nullptr, jni.Bytes(std::string(300, 'a'))), 0);
  EXPECT_EQ(load(jni.env(), nullptr, jni.Bytes(fake.path())), 1);  // no NUL at all
  EXPECT_EQ(load(jni.env(), nullptr, jni.Bytes(fake.path() + std::string("\0garbage", 8))), 1);
  EXPECT_EQ(load(jni.env(), nullptr, jni.Bytes(fake.path() + "x")), 0);
  EXPECT_FALSE(jni.overrun);
  EXPECT_EQ(jni.outstanding, 0);
}

TEST(JniBeforeLoad, CallsGiveNotInitializedAndLeaveCellsAlone) {
  Library bridge(BinFile(kNewBuild));
  FakeJni jni;
  jintArray count = jni.Ints({42});
  EXPECT_EQ(JNI(bridge, jni_1C_1GetSlotList)(jni.env(), nullptr, 1, nullptr, count),
            static_cast<jint>(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_EQ(FakeJni::Cells(count), std::vector<jint>{42});
  EXPECT_EQ(JNI(bridge, jni_1GetLibVersion)(jni.env(), nullptr), 8);
}

}  // namespace
