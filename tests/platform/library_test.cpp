#include "platform/library.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {
// The probe library is built next to the tests, in the program's own folder.
const char* kProbeFile = "libtarviplatformprobe.so";
}  // namespace

TEST(LibraryNames, Candidates) {
  const std::string own = ProgramFolder() + "/";
  struct Case {
    std::string configured;
    std::vector<std::string> expected;
  } cases[] = {
      {"acpkcs.dll", {own + "libacpkcs.so", "libacpkcs.so"}},
      {"TARVIRSA.DLL", {own + "libtarvirsa.so", "libtarvirsa.so"}},
      {"ZipLib.Dll", {own + "libziplib.so", "libziplib.so"}},
      {"libsofthsm2.so", {"libsofthsm2.so"}},
      {"/usr/lib/softhsm/libsofthsm2.so", {"/usr/lib/softhsm/libsofthsm2.so"}},
      {"sub/acpkcs.dll", {"sub/acpkcs.dll"}},
      {"C:\\Windows\\acpkcs.dll", {"C:\\Windows\\acpkcs.dll"}},
      {"libfoo.so.1", {"libfoo.so.1"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(LibraryCandidates(c.configured), c.expected) << c.configured;
}

TEST(LibraryNames, ProgramFolderAndBaseName) {
  EXPECT_EQ(ProgramFolder(), std::filesystem::canonical(TARVI_BIN_DIR).string());
  EXPECT_EQ(ProgramBaseName(), "test_platform_library");
}

TEST(LibraryLoad, DllNameFindsTheLibraryInTheProgramFolder) {
  std::string error;
  auto lib = SharedLibrary::Load("TarviPlatformProbe.DLL", &error);
  ASSERT_TRUE(lib) << error;
  EXPECT_EQ(lib->configuredName(), "TarviPlatformProbe.DLL");
  EXPECT_EQ(lib->loadedPath(), ProgramFolder() + "/" + kProbeFile);
  auto answer = lib->Function<int (*)()>("tarvi_probe_answer");
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(lib->Symbol("tarvi_probe_missing"), nullptr);
  EXPECT_EQ(lib->Symbol(nullptr), nullptr);
}

TEST(LibraryLoad, PathIsLoadedAsGiven) {
  auto lib = SharedLibrary::Load(std::string(TARVI_BIN_DIR) + "/" + kProbeFile);
  ASSERT_TRUE(lib);
  EXPECT_NE(lib->Symbol("tarvi_probe_answer"), nullptr);
}

TEST(LibraryLoad, MissingLibraryGivesAnError) {
  for (const char* name : {"nosuchlibrary.dll", "libnosuchlibrary.so", "/nonexistent/libx.so", ""}) {
    std::string error;
    EXPECT_EQ(SharedLibrary::Load(name, &error), nullptr) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
  EXPECT_EQ(SharedLibrary::Load("nosuchlibrary.dll"), nullptr);  // no error out-parameter
}
