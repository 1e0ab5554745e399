#include "platform/registry_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "support/private_registry.h"
#include "support/temp_dir.h"

using namespace regstore;

namespace {

// Every test gets a registry folder of its own.
class RegistryStore : public ::testing::Test {
 protected:
  std::string Read(Hive hive, const std::string& key, const std::string& name, long* rc = nullptr) {
    std::string data = "<untouched>";
    long r = ReadValue(hive, key, name, &data);
    if (rc) *rc = r;
    return data;
  }

  PrivateRegistry registry_{"regstore"};
};

}  // namespace

TEST_F(RegistryStore, EveryByteRoundTripsAndTheFileStaysPrintable) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string key = std::string("SOFTWARE\\Vodez[Odir]\\\x8A\x9E") + "%\"=";
  const std::string name = std::string("na\"me=\x01%\r\n");
  ASSERT_EQ(WriteValue(Hive::CurrentUser, key, name, all, 7), kSuccess);
  ASSERT_EQ(WriteValue(Hive::CurrentUser, key, "", "", 1), kSuccess);  // the key's default value

  std::string data;
  uint32_t type = 0;
  ASSERT_EQ(ReadValue(Hive::CurrentUser, key, name, &data, &type), kSuccess);
  EXPECT_EQ(data, all);
  EXPECT_EQ(type, 7u);
  ASSERT_EQ(ReadValue(Hive::CurrentUser, key, "", &data, &type), kSuccess);
  EXPECT_EQ(data, "");

  std::string file = ReadText(registry_.file("HKCU.ini"));
  for (char c : file) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << static_cast<int>(c);
  EXPECT_NE(file.find("[SOFTWARE\\Vodez%5BOdir%5D\\%8A%9E%25%22=]"), std::string::npos) << file;
}

TEST_F(RegistryStore, KeysAndNamesIgnoreCaseAndKeepTheFirstSpelling) {
  // Š/š and Ž/ž are code page 1250 letter pairs; ß has no upper case.
  ASSERT_EQ(WriteValue(Hive::CurrentUser, "Software\\VodezOdir\\\x8A\x8Eurka", "Zadnja Putanja", "a", 1), kSuccess);
  long rc;
  EXPECT_EQ(Read(Hive::CurrentUser, "SOFTWARE\\vodezodir\\\x9A\x9EURKA\\", "zADNJA pUTANJA", &rc), "a");
  EXPECT_EQ(rc, kSuccess);
  ASSERT_EQ(WriteValue(Hive::CurrentUser, "software\\VODEZODIR\\\x9A\x9Eurka", "ZADNJA PUTANJA", "b", 1), kSuccess);
  EXPECT_EQ(Read(Hive::CurrentUser, "Software\\VodezOdir\\\x8A\x8Eurka", "Zadnja Putanja"), "b");

  std::string file = ReadText(registry_.file("HKCU.ini"));
  EXPECT_NE(file.find("[Software\\VodezOdir\\%8A%8Eurka]"), std::string::npos) << file;
  EXPECT_NE(file.find("\"Zadnja Putanja\"=1:b"), std::string::npos) << file;
  EXPECT_EQ(file.find("ZADNJA"), std::string::npos) << file;

  EXPECT_FALSE(
      NamesEqual("stra\xDF"
                 "e",
                 "STRA\xDF"
                 "E"
                 "x"));
  EXPECT_TRUE(NamesEqual("\xE8\xE6\xF0", "\xC8\xC6\xD0"));  // č ć đ
  EXPECT_FALSE(NamesEqual("\xF7", "\xD7"));                 // ÷ and × are no letters
}

TEST_F(RegistryStore, MissingKeysAndValuesAreNotFoundAndLeaveTheVariable) {
  long rc;
  EXPECT_EQ(Read(Hive::CurrentUser, "SOFTWARE\\Nothing", "x", &rc), "<untouched>");
  EXPECT_EQ(rc, kNotFound);
  ASSERT_EQ(WriteValue(Hive::CurrentUser, "SOFTWARE\\Some", "x", "1", 1), kSuccess);
  EXPECT_EQ(Read(Hive::CurrentUser, "SOFTWARE\\Some", "y", &rc), "<untouched>");
  EXPECT_EQ(rc, kNotFound);
  EXPECT_EQ(DeleteValue(Hive::CurrentUser, "SOFTWARE\\Some", "y"), kNotFound);
  EXPECT_EQ(DeleteValue(Hive::CurrentUser, "SOFTWARE\\Some", "X"), kSuccess);
  EXPECT_EQ(Read(Hive::CurrentUser, "SOFTWARE\\Some", "x", &rc), "<untouched>");
  EXPECT_EQ(rc, kNotFound);
  EXPECT_EQ(KeyExists(Hive::CurrentUser, "SOFTWARE\\Some"), kSuccess);  // deleting a value keeps the key
}

TEST_F(RegistryStore, HivesAreSeparateFilesWhereTheEnvironmentSays) {
  ASSERT_EQ(WriteValue(Hive::LocalMachine, "K", "v", "machine", 1), kSuccess);
  ASSERT_EQ(WriteValue(Hive::ClassesRoot, ".sgn", "", "sgn", 1), kSuccess);
  long rc;
  Read(Hive::CurrentUser, "K", "v", &rc);
  EXPECT_EQ(rc, kNotFound);
  EXPECT_EQ(Read(Hive::LocalMachine, "k", "V"), "machine");
  EXPECT_EQ(HivePath(Hive::CurrentUser), registry_.file("HKCU.ini"));
  EXPECT_EQ(HivePath(Hive::LocalMachine), registry_.file("HKLM.ini"));
  EXPECT_EQ(HivePath(Hive::ClassesRoot), registry_.file("HKCR.ini"));
  EXPECT_NE(ReadText(registry_.file("HKCR.ini")).find("[.sgn]"), std::string::npos);

  // Without the override: the user's configuration folder and /etc. Only the
  // paths are looked at; nothing is written outside the test's folders.
  unsetenv("TARVI_REGISTRY_DIR");
  const std::string config = std::getenv("XDG_CONFIG_HOME");
  EXPECT_EQ(HivePath(Hive::CurrentUser), config + "/VodezOdir/registry.ini");
  EXPECT_EQ(HivePath(Hive::LocalMachine), "/etc/VodezOdir/registry.ini");
  setenv("XDG_CONFIG_HOME", "", 1);
  EXPECT_EQ(HivePath(Hive::CurrentUser), std::string(std::getenv("HOME")) + "/.config/VodezOdir/registry.ini");
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
}

TEST_F(RegistryStore, CorruptFileIsReportedAndNeverOverwritten) {
  const std::string corrupt = "[SOFTWARE\\A]\n\"ok\"=1:yes%00\nthis line is no entry\n";
  for (const std::string& text : {corrupt, std::string("\"before any key\"=1:x\n"),
                                  std::string("[K]\n\"v\"=1:bad escape %G0\n"), std::string("[A\\\\B]\n")}) {
    WriteAll(registry_.file("HKCU.ini"), text);
    long rc;
    Read(Hive::CurrentUser, "SOFTWARE\\A", "ok", &rc);
    EXPECT_EQ(rc, kInvalidData) << text;
    EXPECT_EQ(WriteValue(Hive::CurrentUser, "SOFTWARE\\A", "new", "x", 1), kInvalidData);
    EXPECT_EQ(ReadText(registry_.file("HKCU.ini")), text);
  }
}

TEST_F(RegistryStore, KeyTreesCreateAndDeleteAsTheRegistryDoes) {
  ASSERT_EQ(WriteValue(Hive::ClassesRoot, "sgn\\Shell\\Open\\command", "", "prog \"%1\"", 1), kSuccess);
  EXPECT_EQ(KeyExists(Hive::ClassesRoot, "SGN"), kSuccess);  // parents come with the key
  EXPECT_EQ(KeyExists(Hive::ClassesRoot, "sgn\\shell\\open"), kSuccess);
  EXPECT_EQ(KeyExists(Hive::ClassesRoot, "sgnx"), kNotFound);
  EXPECT_EQ(KeyExists(Hive::ClassesRoot, "sg"), kNotFound);

  ASSERT_EQ(DeleteKeyTree(Hive::ClassesRoot, "SGN\\SHELL"), kSuccess);
  EXPECT_EQ(KeyExists(Hive::ClassesRoot, "sgn\\Shell\\Open\\command"), kNotFound);
  EXPECT_EQ(KeyExists(Hive::ClassesRoot, "sgn\\Shell"), kNotFound);
  EXPECT_EQ(KeyExists(Hive::ClassesRoot, "sgn"), kSuccess);  // the parent outlives its subkey
  EXPECT_EQ(DeleteKeyTree(Hive::ClassesRoot, "sgn\\Shell"), kNotFound);
  EXPECT_EQ(DeleteKeyTree(Hive::ClassesRoot, ""), kInvalidParameter);

  ASSERT_EQ(CreateKey(Hive::ClassesRoot, ".enc"), kSuccess);
  EXPECT_EQ(KeyExists(Hive::ClassesRoot, ".ENC"), kSuccess);
  long rc;
  Read(Hive::ClassesRoot, ".enc", "", &rc);
  EXPECT_EQ(rc, kNotFound);  // a new key has no default value yet

  EXPECT_EQ(WriteValue(Hive::ClassesRoot, "\\lead", "", "x", 1), kBadPathname);
  EXPECT_EQ(WriteValue(Hive::ClassesRoot, "a\\\\b", "", "x", 1), kBadPathname);
  EXPECT_EQ(WriteValue(Hive::ClassesRoot, "a", std::string("n\0m", 3), "x", 1), kInvalidParameter);
}

TEST_F(RegistryStore, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kPerProcess = 60;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      int failures = 0;
      for (int i = 0; i < kPerProcess; ++i) {
        std::string name = "p" + std::to_string(c) + "-" + std::to_string(i);
        if (WriteValue(Hive::CurrentUser, "SOFTWARE\\VodezOdir\\Race", name, name, 1) != kSuccess) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < kPerProcess; ++i) {
      std::string name = "p" + std::to_string(c) + "-" + std::to_string(i);
      EXPECT_EQ(Read(Hive::CurrentUser, "SOFTWARE\\VodezOdir\\Race", name), name);
    }
}
