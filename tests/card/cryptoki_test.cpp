#include "card/cryptoki.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Names() {
  std::vector<std::string> names;
  for (const CryptokiEntry& e : CryptokiEntries()) names.emplace_back(e.name);
  return names;
}

// The standard's order, from our own definitions.
std::vector<std::string> StandardOrder() {
  std::vector<std::string> names;
#define NAME(name, params, args) names.emplace_back(#name);
  TARVI_PKCS11_STANDARD_FUNCTIONS(NAME)
#undef NAME
  return names;
}

CK_RV Fake_GetInfo(CK_INFO_PTR info) {
  info->cryptokiVersion.major = 2;
  return CKR_OK;
}
CK_RV Fake_UnlockPIN(CK_SESSION_HANDLE s, CK_UTF8CHAR_PTR, CK_ULONG codeLen, CK_UTF8CHAR_PTR, CK_ULONG pinLen) {
  return s * 1000 + codeLen * 10 + pinLen;
}

}  // namespace

TEST(CryptokiTable, BindOrder) {
  std::vector<std::string> names = Names();
  // Standard order with the four unused functions left out, vendor pair after C_SetPIN.
  std::vector<std::string> expected;
  for (const std::string& n : StandardOrder()) {
    if (n == "C_GetFunctionList" || n == "C_GetFunctionStatus" || n == "C_CancelFunction" || n == "C_WaitForSlotEvent")
      continue;
    expected.push_back(n);
    if (n == "C_SetPIN") {
      expected.push_back("C_UnlockPIN");
      expected.push_back("C_ResetToken");
    }
  }
  EXPECT_EQ(names, expected);
  ASSERT_GE(names.size(), 3u);
  EXPECT_EQ(names.front(), "C_Initialize");
  EXPECT_EQ(names.back(), "C_GenerateRandom");
  for (const CryptokiEntry& e : CryptokiEntries()) {
    std::string n = e.name;
    EXPECT_EQ(e.vendor, n == "C_UnlockPIN" || n == "C_ResetToken") << n;
  }
}

TEST(CryptokiTable, UnboundCallsReturnFunctionNotSupported) {
  ClearCryptokiTable();
  CK_ULONG count = 0;
  CK_INFO info{};
  EXPECT_EQ(cryptoki::C_Initialize(nullptr), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(cryptoki::C_GetSlotList(CK_TRUE, nullptr, &count), 0x54UL);
  EXPECT_EQ(cryptoki::C_GetInfo(&info), 0x54UL);
  EXPECT_EQ(cryptoki::C_UnlockPIN(1, nullptr, 0, nullptr, 0), 0x54UL);
  EXPECT_EQ(cryptoki::C_ResetToken(0, nullptr, 0), 0x54UL);
  EXPECT_EQ(cryptoki::C_WaitForSlotEvent(0, nullptr, nullptr), 0x54UL);
  EXPECT_EQ(UnboundCryptokiNames(), Names());
  EXPECT_FALSE(HasAllStandardCryptokiFunctions());
}

TEST(CryptokiTable, WrappersForwardToTheBoundFunction) {
  ClearCryptokiTable();
  for (const CryptokiEntry& e : CryptokiEntries()) {
    if (std::string(e.name) == "C_GetInfo") e.set(Cryptoki, reinterpret_cast<void*>(&Fake_GetInfo));
    if (std::string(e.name) == "C_UnlockPIN") e.set(Cryptoki, reinterpret_cast<void*>(&Fake_UnlockPIN));
  }
  CK_INFO info{};
  EXPECT_EQ(cryptoki::C_GetInfo(&info), CKR_OK);
  EXPECT_EQ(info.cryptokiVersion.major, 2);
  CK_UTF8CHAR code[] = "12345678";
  CK_UTF8CHAR pin[] = "1234";
  EXPECT_EQ(cryptoki::C_UnlockPIN(7, code, 8, pin, 4), 7084UL);
  std::vector<std::string> unbound = UnboundCryptokiNames();
  EXPECT_EQ(unbound.size(), CryptokiEntries().size() - 2);
  ClearCryptokiTable();
  EXPECT_EQ(cryptoki::C_GetInfo(&info), CKR_FUNCTION_NOT_SUPPORTED);
}
