// The built program, started by the demo command against its demo setup without a
// display: it logs in on the demo token, comes up with its main window and closes
// it through its close handler. Later runs reuse the demo, also after the user
// chose "Rad bez kartice" and took the card out; a file named to the demo goes on
// the program's command line.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "outside/acpkcs_harness.h"
#include "support/temp_dir.h"

namespace {

bool Replace(std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) return false;
  text.replace(at, from.size(), to);
  return true;
}

}  // namespace

TEST(DemoSmoke, ProgramReachesItsMainWindowAndCloses) {
  TempDir demo("demo");
  const std::string d = demo.path() + "/d";
  // Without a runtime folder of the session: the demo makes its own.
  const std::string script = std::string("env -u XDG_RUNTIME_DIR TARVI_DEMO_BIN='") + TARVI_BIN_DIR +
                             "' TARVI_DEMO_DIR='" + d + "' '" + TARVI_SOURCE_DIR + "/scripts/demo'";
  const std::string logged = "| SB certifikata:1A2B3C | SB kartice: ";
  const struct {
    const char* name;
    std::function<void()> before;
    std::string command;
    std::string mainWindow;
  } cases[] = {
      {"first run", [] {}, script + " --offscreen 2>&1", "smoke: main window up: Tarvi Sealdesk 2.5.0.1 |  " + logged},
      {"after work without a card, card taken out",
       [&] {
         std::string hive = ReadText(d + "/registry/HKCU.ini");
         ASSERT_TRUE(Replace(hive, "\"Last WorkWithoutCard\"=1:NO%00", "\"Last WorkWithoutCard\"=1:YES%00")) << hive;
         WriteAll(d + "/registry/HKCU.ini", hive);
         WriteAll(d + "/card-control", "slot 0 absent\n");
       },
       script + " --offscreen 2>&1", "smoke: main window up: Tarvi Sealdesk 2.5.0.1 |  " + logged},
      {"a file on the command line", [] {},
       "echo 2468 | QT_QPA_PLATFORM=offscreen TARVI_SMOKE_CHECK=1 " + script + " '" + d + "/datoteke/Primjer.txt' 2>&1",
       "smoke: main window up: Tarvi Sealdesk 2.5.0.1 [" + d + "/datoteke/Primjer.txt] |  " + logged},
  };
  bool first = true;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    k.before();
    std::string out;
    ASSERT_EQ(::Run(k.command, &out), 0) << out;
    EXPECT_EQ(out.find("Preparing the demo") != std::string::npos, first) << out;
    first = false;
    EXPECT_NE(out.find("smoke: PIN dialog: PIN typed"), std::string::npos) << out;
    EXPECT_NE(out.find(k.mainWindow), std::string::npos) << out;
    EXPECT_EQ(out.find("smoke: box:"), std::string::npos) << out;
    EXPECT_EQ(out.find("XDG_RUNTIME_DIR"), std::string::npos) << out;
    // The close handler ran: the folder the tree showed is stored.
    const std::string hive = ReadText(d + "/registry/HKCU.ini");
    EXPECT_NE(hive.find("\"Last Path\"=1:" + d + "/datoteke%00"), std::string::npos) << hive;
    // The reader setting is the demo's own again.
    EXPECT_NE(ReadText(d + "/card-control").find("hide-uninitialised yes"), std::string::npos);
  }
  // The demo user is one of the contacts: her card's certificate, described.
  EXPECT_EQ(ReadText(d + "/usercert/ana_demo.crt"), ReadText(d + "/token/DemoKartica/user.der"));
  EXPECT_NE(
      ReadText(d + "/usercert/ucertdesc.txt").find("tarvi_demo_ca1a2b3c;Ana Demo;ana.demo@tarvi-demo.example;\r\n"),
      std::string::npos);
}

// The demo card counts wrong PINs across starts of the program, as a card does:
// four starts with a wrong PIN show the wrong-PIN text, the final-try text, the
// locked text, and then the locked card; the right PIN no longer helps. The SO
// PIN's unlock (through the same module) clears the count, and the demo logs in.
TEST(DemoSmoke, WrongPinsOverSeparateStartsLockTheCardUntilTheSoPinUnlocksIt) {
  TempDir demo("demo");
  const std::string d = demo.path() + "/d";
  const std::string script = std::string("env -u XDG_RUNTIME_DIR TARVI_DEMO_BIN='") + TARVI_BIN_DIR +
                             "' TARVI_DEMO_DIR='" + d + "' '" + TARVI_SOURCE_DIR + "/scripts/demo'";
  auto start = [&](const std::string& pin) {
    std::string out;
    ::Run("echo " + pin + " | QT_QPA_PLATFORM=offscreen TARVI_SMOKE_CHECK=1 " + script + " 2>&1", &out);
    return out;
  };
  std::string out;
  ASSERT_EQ(::Run(script + " --offscreen 2>&1", &out), 0) << out;  // prepares the demo
  const struct {
    const char* pin;
    std::string box;
  } starts[] = {
      {"0000", "smoke: box: Unesen je pogrešan PIN! [Error code=160]"},
      {"0000", "smoke: box: Unesen je pogrešan PIN! Ovo je posljednji pokušaj! [Error code=160]"},
      {"0000", "smoke: box: Unesen je pogrešan PIN! Kartica je zaključana! [Error code=160]"},
      {"0000", "smoke: box: Kartica je zaključana! [Error code=164]"},
      {"2468", "smoke: box: Kartica je zaključana! [Error code=164]"},
  };
  int n = 0;
  for (const auto& s : starts) {
    SCOPED_TRACE("start " + std::to_string(++n));
    out = start(s.pin);
    EXPECT_NE(out.find(s.box + "\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("smoke: main window up"), std::string::npos) << out;
  }
  ASSERT_EQ(::Run(PeerEnv() + "SOFTHSM2_CONF='" + d + "/token/softhsm2.conf' pkcs11-tool --module '" + TARVI_BIN_DIR +
                      "/libacpkcs.so' --token-label DemoKartica --login --login-type so --so-pin 12345678 "
                      "--init-pin --new-pin 2468 2>&1",
                  &out),
            0)
      << out;
  ASSERT_EQ(::Run(script + " --offscreen 2>&1", &out), 0) << out;
  EXPECT_NE(out.find("smoke: main window up: Tarvi Sealdesk 2.5.0.1 |  | SB certifikata:1A2B3C"), std::string::npos)
      << out;
}
