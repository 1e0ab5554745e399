#include <gtest/gtest.h>

#include <cstring>

#include "card/cryptoki.h"
#include "platform/library.h"
#include "support/token.h"

// SoftHSM2 exports every standard function by name and neither vendor function.
TEST(CryptokiSoftHsm, FillFromTheModule) {
  SoftHsm hsm;
  hsm.addToken("CryptokiFill");
  std::string error;
  auto lib = SharedLibrary::Load(SoftHsm::module(), &error);
  ASSERT_TRUE(lib) << error;
  CryptokiTable table;
  std::vector<std::string> missing = FillCryptokiTable(*lib, table);
  EXPECT_EQ(missing, (std::vector<std::string>{"C_UnlockPIN", "C_ResetToken"}));
  EXPECT_TRUE(HasAllStandardCryptokiFunctions(table));
  EXPECT_EQ(UnboundCryptokiNames(table), missing);
  // Never looked up, even though the module has them.
  EXPECT_EQ(table.C_GetFunctionList, nullptr);
  EXPECT_EQ(table.C_WaitForSlotEvent, nullptr);

  // The global table drives the wrappers; calls reach the module.
  FillCryptokiTable(*lib);
  ASSERT_EQ(cryptoki::C_Initialize(nullptr), CKR_OK);
  CK_INFO info{};
  EXPECT_EQ(cryptoki::C_GetInfo(&info), CKR_OK);
  EXPECT_EQ(info.cryptokiVersion.major, 2);
  CK_ULONG count = 0;
  EXPECT_EQ(cryptoki::C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_GE(count, 1u);
  EXPECT_EQ(cryptoki::C_UnlockPIN(0, nullptr, 0, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(cryptoki::C_Finalize(nullptr), CKR_OK);
  ClearCryptokiTable();
  EXPECT_EQ(cryptoki::C_GetInfo(&info), CKR_FUNCTION_NOT_SUPPORTED);
}
