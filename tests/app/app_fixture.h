#pragma once
// The program's start-up run in-process, offscreen: a private registry and install
// folder, the UI services replaced by the recording fake, a trace of the
// lifecycle steps, drivers for the modal dialogs, and (for token tests) a private
// SoftHSM2 token behind our middleware module with a CA and two contacts, laid
// out as the demo lays them out.
#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <memory>
#include <string>

#include "outside/acpkcs_harness.h"
#include "platform/fake_ui_services.h"
#include "support/modal_driver.h"
#include "support/qt_print.h"
#include "support/temp_dir.h"
#include "support/token.h"

namespace appfx {

// The settings key of this test program.
QString ProgramKey();
// Registry helpers under ProgramKey().
void SetUserValue(const QString& name, const QString& value);
void SetMachineValue(const QString& name, const QString& value);
QString UserValue(const QString& name, const QString& missing = "<missing>");

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Start-up with the given arguments; the result of StartUp.
  bool Start(const QStringList& arguments = {});
  // Closes the main window as the exit command does.
  void CloseMainWindow();
  // The PKCS#11 module the program is to load: a file of the build's bin folder.
  void UseModuleFile(const std::string& file);

  std::unique_ptr<FakeUiServices> ui_;
  TempDir install_{"install"};
  QStringList trace_;
  bool started_ = false;
};

// A token made once per test program: the PIN dialog's PIN is kPin; the card
// certificate's serial 0x1001.
class TokenAppTest : public AppTest {
 protected:
  static constexpr const char* kPin = "1234";
  static constexpr const char* kLabel = "Radna";
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Answers the PIN dialog with pin once it sees a card.
  void TypePin(ModalDriver& driver, const QString& pin);
  // The token's serial as the card reports it, trailing blanks removed.
  QString TokenSerial();
  int TokenIndex();
  // The module's call log since the last call, one name a call.
  QStringList CallNames();

  std::unique_ptr<Acpkcs> module_;
  static std::unique_ptr<SoftHsm> hsm_;
  static TokenFiles token_;
  static std::unique_ptr<TempDir> certs_;  // cacert/ and usercert/
};

}  // namespace appfx
