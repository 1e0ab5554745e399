// The built program, started by the demo command against its demo setup without a
// display: it logs in on the demo token, comes up with its main window and closes
// it through its close handler. A second run reuses the demo.
#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

TEST(DemoSmoke, ProgramReachesItsMainWindowAndCloses) {
  TempDir demo("demo");
  const std::string command = std::string("TARVI_DEMO_BIN='") + TARVI_BIN_DIR + "' TARVI_DEMO_DIR='" + demo.path() +
                              "/d' '" + TARVI_SOURCE_DIR + "/scripts/demo' --offscreen 2>&1";
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    std::string out;
    ASSERT_EQ(::Run(command, &out), 0) << out;
    EXPECT_EQ(out.find("Preparing the demo") != std::string::npos, run == 1) << out;
    EXPECT_NE(out.find("smoke: PIN dialog: PIN typed"), std::string::npos) << out;
    EXPECT_NE(out.find("smoke: main window up: Tarvi Sealdesk 2.5.0.1 |  | SB certifikata:1A2B3C | SB kartice: "),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("smoke: box:"), std::string::npos) << out;
    // The close handler ran: the folder the tree showed is stored.
    const std::string hive = ReadText(demo.path() + "/d/registry/HKCU.ini");
    EXPECT_NE(hive.find("\"Last Path\"=1:" + demo.path() + "/d/datoteke%00"), std::string::npos) << hive;
  }
}
