#pragma once
// Loads one build of our middleware module the way the program does (dlopen of
// the file in the build's bin folder) and reaches its control functions.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "interfaces/pkcs11.h"
#include "outside/acpkcs/acpkcs_control.h"
#include "support/token.h"

struct AcpkcsControl {
#define ACPKCS_CONTROL_POINTER(result, name, params) result(*name) params = nullptr;
  ACPKCS_CONTROL_FUNCTIONS(ACPKCS_CONTROL_POINTER)
#undef ACPKCS_CONTROL_POINTER
};

class Acpkcs {
 public:
  explicit Acpkcs(const std::string& file = "libacpkcs.so") : path_(std::string(TARVI_BIN_DIR) + "/" + file) {
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error("cannot load " + path_ + ": " + dlerror());
    auto get = symbol<CK_C_GetFunctionList>("C_GetFunctionList");
    if (!get || get(&f) != CKR_OK || !f) throw std::runtime_error("no function list in " + path_);
#define ACPKCS_CONTROL_LOAD(result, name, params) ctl.name = symbol<result(*) params>(#name);
    ACPKCS_CONTROL_FUNCTIONS(ACPKCS_CONTROL_LOAD)
#undef ACPKCS_CONTROL_LOAD
  }
  ~Acpkcs() {
    ctl.acpkcs_ctl_reset();
    dlclose(handle_);
  }
  Acpkcs(const Acpkcs&) = delete;
  Acpkcs& operator=(const Acpkcs&) = delete;

  template <typename F>
  F symbol(const char* name) const {
    return reinterpret_cast<F>(dlsym(handle_, name));
  }
  const std::string& path() const { return path_; }

  std::string takeLog() {
    size_t n = ctl.acpkcs_ctl_take_log(nullptr, 0);
    std::string s(n + 1, '\0');
    ctl.acpkcs_ctl_take_log(s.data(), s.size());
    s.resize(n);
    return s;
  }

  // The slot whose token carries this label.
  CK_SLOT_ID slotOf(const std::string& label) {
    CK_ULONG n = 0;
    f->C_GetSlotList(CK_FALSE, nullptr, &n);
    std::vector<CK_SLOT_ID> slotIds(n);
    f->C_GetSlotList(CK_FALSE, slotIds.data(), &n);
    for (CK_ULONG i = 0; i < n; ++i) {
      CK_TOKEN_INFO ti;
      if (f->C_GetTokenInfo(slotIds[i], &ti) != CKR_OK) continue;
      std::string l(reinterpret_cast<char*>(ti.label), sizeof ti.label);
      l.erase(l.find_last_not_of(' ') + 1);
      if (l == label) return slotIds[i];
    }
    throw std::runtime_error("no token labelled " + label);
  }
  int indexOf(CK_SLOT_ID slot) {
    for (int i = 0, n = ctl.acpkcs_ctl_slot_count(); i < n; ++i)
      if (ctl.acpkcs_ctl_slot_id(i) == slot) return i;
    return -1;
  }
  CK_FLAGS tokenFlags(CK_SLOT_ID slot) {
    CK_TOKEN_INFO ti;
    EXPECT_EQ(f->C_GetTokenInfo(slot, &ti), CKR_OK);
    return ti.flags;
  }
  CK_SESSION_HANDLE open(CK_SLOT_ID slot, CK_NOTIFY notify = nullptr, void* app = nullptr) {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, app, notify, &h), CKR_OK);
    return h;
  }
  CK_RV login(CK_SESSION_HANDLE h, const std::string& pin) {
    return f->C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())), pin.size());
  }

  // A certificate object for putCertificates: its value and CKA_ID (empty: none).
  struct CertObject {
    std::vector<uint8_t> value;
    std::vector<uint8_t> id;
  };
  // Replaces the certificate objects of the token behind the logged-in session s
  // with these, created in this order. "" when done and the module's search returns
  // them in that order too (the case a test builds is then the case it tests), else
  // what went wrong.
  std::string putCertificates(CK_SESSION_HANDLE s, const std::vector<CertObject>& objects) {
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE find[] = {{CKA_CLASS, &cls, sizeof cls}};
    auto search = [&](std::vector<CK_OBJECT_HANDLE>& found) {
      found.assign(64, 0);
      CK_ULONG n = 0;
      if (f->C_FindObjectsInit(s, find, 1) != CKR_OK) return false;
      const CK_RV rv = f->C_FindObjects(s, found.data(), found.size(), &n);
      if (f->C_FindObjectsFinal(s) != CKR_OK || rv != CKR_OK) return false;
      found.resize(n);
      return true;
    };
    std::vector<CK_OBJECT_HANDLE> found;
    if (!search(found)) return "search failed";
    for (CK_OBJECT_HANDLE h : found)
      if (f->C_DestroyObject(s, h) != CKR_OK) return "destroy failed";
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    uint8_t subject[] = {0x30, 0x00};
    for (const CertObject& o : objects) {
      std::vector<CK_ATTRIBUTE> create = {{CKA_CLASS, &cls, sizeof cls},
                                          {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                                          {CKA_TOKEN, &yes, sizeof yes},
                                          {CKA_SUBJECT, subject, sizeof subject},
                                          {CKA_VALUE, const_cast<uint8_t*>(o.value.data()), o.value.size()}};
      if (!o.id.empty()) create.push_back({CKA_ID, const_cast<uint8_t*>(o.id.data()), o.id.size()});
      CK_OBJECT_HANDLE h = 0;
      if (f->C_CreateObject(s, create.data(), create.size(), &h) != CKR_OK) return "create failed";
    }
    if (!search(found) || found.size() != objects.size()) return "objects not found again";
    for (size_t i = 0; i < objects.size(); ++i) {
      std::vector<uint8_t> value(objects[i].value.size() + 16);
      CK_ATTRIBUTE a = {CKA_VALUE, value.data(), value.size()};
      if (f->C_GetAttributeValue(s, found[i], &a, 1) != CKR_OK) return "value unreadable";
      value.resize(a.ulValueLen);
      if (value != objects[i].value) return "the search returns them in another order";
    }
    return "";
  }

  CK_FUNCTION_LIST* f = nullptr;
  AcpkcsControl ctl;

 private:
  std::string path_;
  void* handle_ = nullptr;
};

// Environment for another program (pkcs11-tool) that loads our module: in a
// sanitizer build the module needs the sanitizer runtimes loaded first.
inline std::string PeerEnv() {
  std::string preload;
  for (const char* sym : {"__asan_init", "__ubsan_handle_add_overflow"}) {
    Dl_info info;
    void* p = dlsym(RTLD_DEFAULT, sym);
    if (p && dladdr(p, &info) && info.dli_fname) preload += std::string(preload.empty() ? "" : " ") + info.dli_fname;
  }
  return preload.empty() ? "" : "LD_PRELOAD='" + preload + "' ASAN_OPTIONS=detect_leaks=0 ";
}

// A private SoftHSM2 with the given tokens behind an initialised module.
class AcpkcsTokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* label : labels()) tokens_.push_back(hsm_.addToken(label, "1234", 1024));
    ASSERT_EQ(m_.f->C_Initialize(nullptr), CKR_OK);
  }
  void TearDown() override {
    m_.f->C_Finalize(nullptr);
    m_.ctl.acpkcs_ctl_reset();
  }
  virtual std::vector<const char*> labels() const { return {"Alpha"}; }

  SoftHsm hsm_;
  std::vector<TokenFiles> tokens_;
  Acpkcs m_;
};
