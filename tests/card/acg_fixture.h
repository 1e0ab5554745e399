#pragma once
// The card component over our middleware module and a private SoftHSM2 token: a
// component configured as the main window configures it, a record of its events,
// the module's control functions, and drivers for its modal dialogs.
#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "card/acg_component.h"
#include "outside/acpkcs_harness.h"
#include "platform/fake_ui_services.h"
#include "support/modal_driver.h"
#include "support/qt_print.h"
#include "support/token.h"

class QWidget;

namespace acgfx {

// Everything the component reported, one line per event:
//   "AfterOpen", "AfterClose", "AfterLogin", "AfterLogout",
//   "InsertRemove <event>", "<Kind>Error <code> <text>" (Kind: Login, Logout,
//   CloseSession, OpenSession).
struct EventLog {
  QStringList lines;
  CK_SESSION_HANDLE lastNotifySession = 0;
  void* lastNotifyApp = nullptr;
  void Bind(TACGComponent& c);
  bool Has(const QString& line) const { return lines.contains(line); }
  QString Joined() const { return lines.join(" | "); }
};

// Sends Esc to a widget, as a user pressing the key would.
void PressEscape(QWidget* w);

// One SoftHSM2 per test suite with the tokens it names; the component and the
// module's controls per test.
class CardTest : public ::testing::Test {
 protected:
  struct TokenDef {
    const char* label;
    const char* serial;
  };
  static void MakeTokens(const std::vector<TokenDef>& defs);
  static void DropTokens();
  static const TokenFiles& Token(size_t i);

  void SetUp() override;
  void TearDown() override;

  // The module file the component is to load ("" = its default name, that is
  // libacpkcs.so in the program folder; else a file in the build's bin folder).
  void UseModule(const std::string& file);
  // A component with the main window's settings and the given mode; events bound.
  TACGComponent& Make(TAutoMode mode);
  // Made with amNone and loaded, the PIN ("1234") from the property, not asked for.
  TACGComponent& Loaded();
  // Destroys the component (as the program does at its end).
  void Destroy();

  // The module's call log since the last call, one call a line.
  std::vector<std::string> Calls();
  // The names of the calls in the log, in order.
  static std::vector<std::string> Names(const std::vector<std::string>& calls);
  static int Count(const std::vector<std::string>& calls, const std::string& name);

  // Index (as the module's controls count) of the slot of token i.
  int IndexOfToken(size_t i);
  void SetCardPresent(size_t token, bool present);
  // Every card out, free slot included.
  void AllCardsOut();

  std::unique_ptr<FakeUiServices> ui_;
  std::unique_ptr<Acpkcs> module_;
  std::unique_ptr<TACGComponent> c_;
  EventLog events_;
  std::string moduleFile_ = "libacpkcs.so";
  QString programName_;
};

}  // namespace acgfx
