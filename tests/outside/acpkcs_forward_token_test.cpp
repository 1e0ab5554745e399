// Our middleware module in front of SoftHSM2: forwarding, the build variants,
// the call log, injected failures, fake readers and flag overrides.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "acpkcs_harness.h"
#include "support/temp_dir.h"

namespace {

std::vector<CK_SLOT_ID> Slots(CK_FUNCTION_LIST* f, CK_BBOOL present) {
  CK_ULONG n = 0;
  EXPECT_EQ(f->C_GetSlotList(present, nullptr, &n), CKR_OK);
  std::vector<CK_SLOT_ID> v(n);
  EXPECT_EQ(f->C_GetSlotList(present, v.data(), &n), CKR_OK);
  v.resize(n);
  return v;
}

std::string Trimmed(const CK_UTF8CHAR* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

class AcpkcsForward : public AcpkcsTokenTest {
 protected:
  std::vector<const char*> labels() const override { return {"Alpha", "Beta"}; }
};

// An independent client drives the whole road through our module: the slot
// listing matches SoftHSM2's own, and a signature made through us verifies with
// the token's certificate.
TEST_F(AcpkcsForward, PeerClientSeesTheRealTokenThroughUs) {
  std::string ours, theirs;
  ASSERT_EQ(::Run(PeerEnv() + "pkcs11-tool --module " + m_.path() + " --list-slots 2>&1", &ours), 0) << ours;
  ASSERT_EQ(::Run(std::string("pkcs11-tool --module ") + SoftHsm::module() + " --list-slots 2>&1", &theirs), 0);
  EXPECT_EQ(ours, theirs);

  TempDir t;
  WriteAll(t.file("data"), std::string(35, 'x'));
  std::string out;
  ASSERT_EQ(::Run(PeerEnv() + "pkcs11-tool --module " + m_.path() +
                      " --token-label Beta --login --pin 1234 --sign --mechanism SHA1-RSA-PKCS --id 01"
                      " -i " +
                      t.file("data") + " -o " + t.file("sig") + " 2>&1",
                  &out),
            0)
      << out;
  ASSERT_EQ(::Run("openssl dgst -sha1 -verify " + tokens_[1].dir + "/pub.pem -signature " + t.file("sig") + " " +
                      t.file("data") + " 2>&1",
                  &out),
            0)
      << out;
  EXPECT_NE(out.find("Verified OK"), std::string::npos);
}

TEST_F(AcpkcsForward, PrivateKeyOnlyAfterLoginAndInfoCarriesOurVersion) {
  CK_SESSION_HANDLE h = m_.open(m_.slotOf("Alpha"));
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
  auto count = [&] {
    CK_OBJECT_HANDLE found[4];
    CK_ULONG n = 99;
    EXPECT_EQ(m_.f->C_FindObjectsInit(h, tmpl, 1), CKR_OK);
    EXPECT_EQ(m_.f->C_FindObjects(h, found, 4, &n), CKR_OK);
    EXPECT_EQ(m_.f->C_FindObjectsFinal(h), CKR_OK);
    return n;
  };
  EXPECT_EQ(count(), 0u);
  ASSERT_EQ(m_.login(h, "1234"), CKR_OK);
  EXPECT_EQ(count(), 1u);

  CK_INFO info;
  ASSERT_EQ(m_.f->C_GetInfo(&info), CKR_OK);
  EXPECT_EQ(info.libraryVersion.major, 2);
}

TEST(AcpkcsVariants, ExportsAndVersions) {
  struct Case {
    const char* file;
    bool vendor;
    bool digestKey;
    int major;
  } cases[] = {
      {"libacpkcs.so", true, true, 2},
      {"libacpkcs_v1.so", true, true, 1},
      {"libacpkcs_novendor.so", false, true, 2},
      {"libacpkcs_nodigestkey.so", true, false, 2},
  };
  SoftHsm hsm;
  hsm.addToken("Gamma", "1234", 1024);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Acpkcs m(c.file);
    int found = 0, total = 0;
#define COUNT_EXPORT(name, params, args) \
  ++total;                               \
  found += m.symbol<void*>(#name) != nullptr;
    TARVI_PKCS11_STANDARD_FUNCTIONS(COUNT_EXPORT)
#undef COUNT_EXPORT
    EXPECT_EQ(found, total - (c.digestKey ? 0 : 1));
    EXPECT_EQ(m.symbol<void*>("C_DigestKey") != nullptr, c.digestKey);
    EXPECT_EQ(m.symbol<void*>("C_UnlockPIN") != nullptr, c.vendor);
    EXPECT_EQ(m.symbol<void*>("C_ResetToken") != nullptr, c.vendor);
    // The function list hands out the exported functions themselves.
    EXPECT_EQ(reinterpret_cast<void*>(m.f->C_Sign), m.symbol<void*>("C_Sign"));
    ASSERT_EQ(m.f->C_Initialize(nullptr), CKR_OK);
    CK_INFO info;
    ASSERT_EQ(m.f->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.libraryVersion.major, c.major);
    EXPECT_EQ(m.f->C_Finalize(nullptr), CKR_OK);
  }
}

TEST_F(AcpkcsForward, CallLogShowsKeyArgumentsButNoPin) {
  CK_SLOT_ID slot = m_.slotOf("Alpha");
  m_.ctl.acpkcs_ctl_record(1);
  CK_SESSION_HANDLE h = m_.open(slot, [](CK_SESSION_HANDLE, CK_NOTIFICATION, CK_VOID_PTR) -> CK_RV { return 0; });
  ASSERT_EQ(m_.login(h, "1234"), CKR_OK);
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_KEY_TYPE kt = CKK_RSA;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt}};
  ASSERT_EQ(m_.f->C_FindObjectsInit(h, tmpl, 2), CKR_OK);
  CK_ULONG n = 0;
  ASSERT_EQ(m_.f->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
  // Room for no handle: the log reads neither the empty list nor past it.
  std::unique_ptr<CK_OBJECT_HANDLE[]> none(new CK_OBJECT_HANDLE[0]);
  CK_ULONG got = 5;
  ASSERT_EQ(m_.f->C_FindObjects(h, none.get(), 0, &got), CKR_OK);
  m_.ctl.acpkcs_ctl_record(0);
  m_.f->C_FindObjectsFinal(h);

  // With no room, the log is neither copied nor cleared.
  size_t len = m_.ctl.acpkcs_ctl_take_log(nullptr, 0);
  char small[4] = "abc";
  EXPECT_EQ(m_.ctl.acpkcs_ctl_take_log(small, sizeof small), len);
  EXPECT_STREQ(small, "abc");

  std::string log = m_.takeLog();
  EXPECT_EQ(log.size(), len);
  char slotHex[32];
  std::snprintf(slotHex, sizeof slotHex, "0x%lx", slot);
  EXPECT_NE(
      log.find(std::string("C_OpenSession slotID=") + slotHex + " flags=0x6 pApplication=null Notify=fn phSession=&"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("userType=0x1 pPin=buf ulPinLen=4 -> 0x0"), std::string::npos) << log;
  EXPECT_EQ(log.find("1234"), std::string::npos) << log;
  EXPECT_NE(log.find("C_FindObjectsInit hSession=0x"), std::string::npos) << log;
  EXPECT_NE(log.find("pTemplate=[0x0:8,0x100:8] ulCount=2 -> 0x0"), std::string::npos) << log;
  EXPECT_NE(log.find("C_GetSlotList tokenPresent=0x0 pSlotList=null pulCount=&0>3 -> 0x0"), std::string::npos) << log;
  EXPECT_NE(log.find("phObject=buf ulMaxObjectCount=0 pulObjectCount=&5>0 -> 0x0"), std::string::npos) << log;
  EXPECT_EQ(log.find("C_FindObjectsFinal"), std::string::npos) << log;
  EXPECT_EQ(m_.takeLog(), "");
}

TEST_F(AcpkcsForward, InjectedFailuresHitTheChosenCallOnly) {
  CK_SLOT_ID slot = m_.slotOf("Alpha");
  CK_TOKEN_INFO ti;
  ASSERT_EQ(m_.ctl.acpkcs_ctl_fail("C_GetTokenInfo", CKR_DEVICE_ERROR, 2), 0);
  EXPECT_EQ(m_.f->C_GetTokenInfo(slot, &ti), CKR_OK);
  EXPECT_EQ(m_.f->C_GetTokenInfo(slot, &ti), CKR_DEVICE_ERROR);
  EXPECT_EQ(m_.f->C_GetTokenInfo(slot, &ti), CKR_OK);

  // A failed call does nothing: the search it should have started is not active.
  CK_SESSION_HANDLE h = m_.open(slot);
  ASSERT_EQ(m_.ctl.acpkcs_ctl_fail("C_FindObjectsInit", CKR_FUNCTION_FAILED, 1), 0);
  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
  EXPECT_EQ(m_.f->C_FindObjectsInit(h, tmpl, 1), CKR_FUNCTION_FAILED);
  CK_OBJECT_HANDLE o;
  CK_ULONG n;
  EXPECT_EQ(m_.f->C_FindObjects(h, &o, 1, &n), CKR_OPERATION_NOT_INITIALIZED);

  // nth 0 fails every call until cleared; unknown names are refused.
  ASSERT_EQ(m_.ctl.acpkcs_ctl_fail("C_GetSlotList", CKR_GENERAL_ERROR, 0), 0);
  EXPECT_EQ(m_.f->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_GENERAL_ERROR);
  EXPECT_EQ(m_.f->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_GENERAL_ERROR);
  m_.ctl.acpkcs_ctl_clear_failures();
  EXPECT_EQ(m_.f->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
  EXPECT_EQ(m_.ctl.acpkcs_ctl_fail("C_NoSuchThing", 1, 1), -1);
  EXPECT_EQ(m_.ctl.acpkcs_ctl_fail("C_UnlockPIN", 1, 1), 0);
}

TEST_F(AcpkcsForward, FakeReadersAndHiddenFreeSlot) {
  const size_t real = Slots(m_.f, CK_FALSE).size();  // two tokens and SoftHSM2's free slot
  ASSERT_EQ(real, 3u);
  ASSERT_EQ(m_.ctl.acpkcs_ctl_add_fake_slots(9), 0);
  std::vector<CK_SLOT_ID> all = Slots(m_.f, CK_FALSE);
  ASSERT_EQ(all.size(), 12u);
  EXPECT_EQ(m_.ctl.acpkcs_ctl_slot_count(), 12);
  EXPECT_EQ(Slots(m_.f, CK_TRUE).size(), real);

  // A list too small gets the standard answer and the count.
  std::vector<CK_SLOT_ID> ten(10);
  CK_ULONG n = ten.size();
  EXPECT_EQ(m_.f->C_GetSlotList(CK_FALSE, ten.data(), &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 12u);

  CK_SLOT_INFO si;
  ASSERT_EQ(m_.f->C_GetSlotInfo(all.back(), &si), CKR_OK);
  EXPECT_EQ(Trimmed(si.slotDescription, sizeof si.slotDescription), "Tarvi virtual reader 9");
  EXPECT_EQ(si.flags & CKF_TOKEN_PRESENT, 0u);
  CK_TOKEN_INFO ti;
  EXPECT_EQ(m_.f->C_GetTokenInfo(all.back(), &ti), CKR_TOKEN_NOT_PRESENT);
  CK_SESSION_HANDLE h;
  EXPECT_EQ(m_.f->C_OpenSession(all.back(), 6, nullptr, nullptr, &h), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(m_.ctl.acpkcs_ctl_set_card_present(11, 1), -1);

  m_.ctl.acpkcs_ctl_reset();
  m_.ctl.acpkcs_ctl_hide_uninitialised_slots(1);
  EXPECT_EQ(Slots(m_.f, CK_FALSE).size(), 2u);
  EXPECT_EQ(Slots(m_.f, CK_TRUE).size(), 2u);
}

TEST_F(AcpkcsForward, TokenFlagOverridesAndExtraMechanisms) {
  CK_SLOT_ID a = m_.slotOf("Alpha"), b = m_.slotOf("Beta");
  const CK_FLAGS real = m_.tokenFlags(a);
  ASSERT_EQ(real & (CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED),
            CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED);
  ASSERT_EQ(m_.ctl.acpkcs_ctl_token_flags(m_.indexOf(a), CKF_USER_PIN_FINAL_TRY,
                                          ~(CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED)),
            0);
  EXPECT_EQ(m_.tokenFlags(a), (real & ~(CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED)) | CKF_USER_PIN_FINAL_TRY);
  EXPECT_EQ(m_.tokenFlags(b), real);
  ASSERT_EQ(m_.ctl.acpkcs_ctl_token_flags(-1, CKF_WRITE_PROTECTED, ~0UL), 0);
  EXPECT_EQ(m_.tokenFlags(b), real | CKF_WRITE_PROTECTED);

  CK_ULONG before = 0;
  ASSERT_EQ(m_.f->C_GetMechanismList(a, nullptr, &before), CKR_OK);
  m_.ctl.acpkcs_ctl_extra_mechanisms(70);
  CK_ULONG n = 0;
  ASSERT_EQ(m_.f->C_GetMechanismList(a, nullptr, &n), CKR_OK);
  ASSERT_EQ(n, before + 70);
  std::vector<CK_MECHANISM_TYPE> mechs(n);
  CK_ULONG small = n - 1;
  EXPECT_EQ(m_.f->C_GetMechanismList(a, mechs.data(), &small), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(small, n);
  ASSERT_EQ(m_.f->C_GetMechanismList(a, mechs.data(), &n), CKR_OK);
  CK_MECHANISM_INFO mi;
  EXPECT_EQ(m_.f->C_GetMechanismInfo(a, mechs.back(), &mi), CKR_OK);
  EXPECT_EQ(m_.f->C_GetMechanismInfo(a, CKM_RSA_PKCS, &mi), CKR_OK);
  EXPECT_GT(mi.ulMaxKeySize, 0u);
}

TEST(AcpkcsLifecycle, CallsBeforeInitialiseAndBackendMissing) {
  SoftHsm hsm;
  hsm.addToken("Delta", "1234", 1024);
  Acpkcs m;
  CK_ULONG n;
  EXPECT_EQ(m.f->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(m.f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  ASSERT_EQ(m.f->C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(m.f->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  EXPECT_EQ(m.f->C_Finalize(nullptr), CKR_OK);

  // A separate process: the backend is loaded once per process.
  std::string out;
  int rc = ::Run(
      PeerEnv() + "TARVI_CARD_BACKEND=/nonexistent/libnone.so pkcs11-tool --module " + m.path() + " --list-slots 2>&1",
      &out);
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("0x5"), std::string::npos) << out;  // CKR_GENERAL_ERROR from C_Initialize
}

}  // namespace
