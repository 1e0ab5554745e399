// Each build exports exactly its 53 JNI names and the 53 J/Direct names, and
// carries its file version.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>

#include "bridge_fixture.h"
#include "support/temp_dir.h"

namespace {

const char* const kMethods[] = {
    "GetLibVersion",
    "LoadPKCS",
    "AllocMem",
    "SetMem",
    "GetMem",
    "FreeMem",
    "Lock",
    "Unlock",
    "C_Initialize",
    "C_Finalize",
    "C_InitToken",
    "C_GetInfo",
    "C_GetSlotList",
    "C_CloseAllSessions",
    "C_GetSlotInfo",
    "C_GetTokenInfo",
    "C_GetAttributeValue",
    "C_SetAttributeValue",
    "C_FindObjectsInit",
    "C_FindObjects",
    "C_FindObjectsFinal",
    "C_SignInit",
    "C_Sign",
    "C_SignUpdate",
    "C_SignFinal",
    "C_OpenSession",
    "C_GetSessionInfo",
    "C_CloseSession",
    "C_DigestInit",
    "C_Digest",
    "C_DigestUpdate",
    "C_DigestFinal",
    "C_Login",
    "C_Logout",
    "C_InitPIN",
    "C_SetPIN",
    "C_VerifyInit",
    "C_Verify",
    "C_GenerateKey",
    "C_GenerateKeyPair",
    "C_CreateObject",
    "C_CopyObject",
    "C_DestroyObject",
    "C_GetObjectSize",
    "C_ResetToken",
    "C_UnlockPIN",
    "C_DecryptInit",
    "C_Decrypt",
    "C_DecryptUpdate",
    "C_DecryptFinal",
    "C_GetMechanismList",
    "C_GetMechanismInfo",
    "C_UnwrapKey",
};
static_assert(sizeof kMethods / sizeof kMethods[0] == 53);

std::set<std::string> Expected(const std::string& package) {
  std::set<std::string> names;
  for (const char* m : kMethods) {
    std::string jni = "jni_" + std::string(m), mangled;
    for (char c : jni) mangled += c == '_' ? std::string("_1") : std::string(1, c);
    names.insert("Java_zq_tarvi_" + package + "_CryptokiJNIImpl_" + mangled);
    names.insert("jdirect_" + std::string(m));
  }
  return names;
}

std::set<std::string> Exported(const std::string& file) {
  std::string out;
  EXPECT_EQ(Run("nm -D --defined-only '" + BinFile(file) + "'", &out), 0);
  std::set<std::string> names;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    auto blank = line.find_last_of(' ');
    if (blank != std::string::npos) names.insert(line.substr(blank + 1));
  }
  return names;
}

std::string Join(const std::set<std::string>& names) {
  std::string all;
  for (const auto& n : names) all += n + " ";
  return all;
}

struct Build {
  const char* file;
  const char* package;
  const char* version;
};

void PrintTo(const Build& b, std::ostream* os) { *os << b.file; }

class ExportTable : public ::testing::TestWithParam<Build> {};

TEST_P(ExportTable, ExactlyTheJniAndJDirectNames) {
  std::set<std::string> expected = Expected(GetParam().package), exported = Exported(GetParam().file);
  ASSERT_EQ(expected.size(), 106u);
  std::set<std::string> missing, extra;
  std::set_difference(expected.begin(), expected.end(), exported.begin(), exported.end(),
                      std::inserter(missing, missing.end()));
  std::set_difference(exported.begin(), exported.end(), expected.begin(), expected.end(),
                      std::inserter(extra, extra.end()));
  EXPECT_TRUE(missing.empty()) << "missing: " << Join(missing);
  EXPECT_TRUE(extra.empty()) << "extra: " << Join(extra);
}

// The version record's string values, read with binutils, not with our reader.
TEST_P(ExportTable, VersionRecordCarriesTheFileVersion) {
  TempDir tmp("verinfo");
  std::string record = tmp.file("record.bin");
  ASSERT_EQ(::Run("objcopy --dump-section .tarvi_verinfo='" + record + "' '" + BinFile(GetParam().file) + "' '" +
                  tmp.file("discard.so") + "'"),
            0);
  std::vector<unsigned char> bytes = ReadAll(record);
  std::string text(bytes.begin(), bytes.end());
  std::string version = std::string("1.0.0.") + GetParam().version;
  for (const char* key : {"FileVersion", "ProductVersion"}) {
    std::string entry = std::string("\\StringFileInfo\\041A04E2\\") + key + '\0' + version + '\0';
    EXPECT_NE(text.find(entry), std::string::npos) << key;
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, ExportTable,
                         ::testing::Values(Build{kNewBuild, "pkcs11", "8"}, Build{kOldBuild, "cryptoki", "7"}),
                         [](const auto& info) { return std::string(info.param.package); });

}  // namespace
