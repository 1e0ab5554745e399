// One main() for every test executable: an offscreen Qt application exists for
// the whole run, so dialogs and widgets can be built in any test, and nothing
// reaches the user's real home, settings or runtime folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <string>

#include "platform/fake_ui_services.h"
#include "platform/program_locale.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static TempDir runtime("xdg-runtime");
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  static TempDir home("home");
  setenv("HOME", home.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home.path() + "/.config").c_str(), 1);
  setenv("XDG_STATE_HOME", (home.path() + "/.local/state").c_str(), 1);
  setenv("XDG_DATA_HOME", (home.path() + "/.local/share").c_str(), 1);
  static TempDir registry("registry");
  setenv("TARVI_REGISTRY_DIR", registry.path().c_str(), 0);

  // A scripted answer that the box shown has no button for fails the test.
  FakeUiServices::refusalReporter = [](const std::string& text) { ADD_FAILURE() << text; };

  // A test of the program's own locale runs its cases again in a child with the
  // system locale it chooses and this set: the locale is then made before the
  // application object, as the program makes it.
  if (std::getenv("TARVI_TEST_PROGRAM_LOCALE")) UseProgramLocale();

  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
