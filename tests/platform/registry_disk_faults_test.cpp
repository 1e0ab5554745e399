// A failing disk at every step of a change to the registry store: the hive file
// is replaced whole or not at all, the failure is a result code (a full disk is
// ERROR_DISK_FULL), and no temporary file is left in the hive's folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "platform/registry_store.h"
#include "support/disk_faults.h"
#include "support/temp_dir.h"

using namespace regstore;

namespace {

constexpr char kKey[] = "SOFTWARE\\VodezOdir\\TarviSealdesk";

struct RegistryCase {
  const char* name;
  std::function<void()> earlier;  // the hive as it was, written without faults
  std::function<long()> change;
};

// The test main gives every test process a registry folder of its own.
TEST(RegistryDiskFaults, EveryStepOfAChangeFailsCleanly) {
  const QString folder = QString::fromLocal8Bit(std::getenv("TARVI_REGISTRY_DIR"));
  ASSERT_FALSE(folder.isEmpty());
  const auto twoValues = [] {
    ASSERT_EQ(WriteValue(Hive::CurrentUser, kKey, "Output Path", "/home/ana/Izlaz/", 1), kSuccess);
    ASSERT_EQ(WriteValue(Hive::CurrentUser, std::string(kKey) + "\\Sub", "Old", "old", 1), kSuccess);
  };
  // A first hive still finds the lock file that any earlier reader or writer left.
  const auto noHive = [&folder] { WriteAll((folder + "/HKCU.ini.lock").toStdString(), ""); };
  const RegistryCase cases[] = {
      {"a value added", twoValues, [] { return WriteValue(Hive::CurrentUser, kKey, "New", "new", 1); }},
      {"a value changed", twoValues, [] { return WriteValue(Hive::CurrentUser, kKey, "Output Path", "/tmp/", 1); }},
      {"a value deleted", twoValues, [] { return DeleteValue(Hive::CurrentUser, kKey, "Output Path"); }},
      {"a key tree deleted", twoValues, [] { return DeleteKeyTree(Hive::CurrentUser, kKey); }},
      {"a key created", twoValues, [] { return CreateKey(Hive::CurrentUser, "SOFTWARE\\Other"); }},
      {"the first value of a hive", noHive, [] { return WriteValue(Hive::CurrentUser, kKey, "New", "new", 1); }},
  };
  for (const RegistryCase& c : cases) {
    DiskFaultCase run(c.name, folder, folder + "/HKCU.ini", c.earlier, [&c] {
      const long rc = c.change();
      // The seam fails a step as a full disk does.
      EXPECT_TRUE(rc == kSuccess || rc == kDiskFull) << rc;
      return WriteOutcome(rc == kSuccess, rc != kSuccess);
    });
    run.namesReason = false;  // a result code, no text
    CheckEveryDiskFault(run);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
