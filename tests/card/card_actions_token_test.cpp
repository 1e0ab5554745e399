// The login action: which component it drives, and its enabled state around
// logging in and a card taken out.
#include <QWidget>

#include "acg_fixture.h"
#include "card/card_actions.h"

using namespace acgfx;

namespace {

class CardActions : public CardTest {
 protected:
  static void SetUpTestSuite() { MakeTokens({{"Alpha", "0x1001"}}); }
  static void TearDownTestSuite() { DropTokens(); }
};

TEST_F(CardActions, TheLastComponentOfTheWindowIsUsed) {
  QWidget window;
  QWidget other;
  TACGLogin login(&window);
  EXPECT_EQ(login.text(), QStringLiteral("&Prijava na karticu"));
  EXPECT_FALSE(login.HandlesTarget(&window));
  EXPECT_FALSE(login.HandlesTarget(&login));  // not a window
  EXPECT_EQ(login.GetComponent(&window), nullptr);

  auto* first = new TACGComponent(&window);
  auto* second = new TACGComponent(&window);
  EXPECT_TRUE(login.HandlesTarget(&window));
  EXPECT_FALSE(login.HandlesTarget(&other));
  EXPECT_EQ(login.GetComponent(&window), second);
  EXPECT_EQ(login.component(), second);

  // The component removed: the action lets go of it and finds the other one.
  delete second;
  EXPECT_EQ(login.component(), nullptr);
  EXPECT_EQ(login.GetComponent(&window), first);
}

TEST_F(CardActions, LoginIsOfferedUntilLoggedInAndAgainAfterTheCardWentOut) {
  QWidget window;
  auto* c = new TACGComponent(&window);
  c->SetAutoMode(amNone);
  c->PinPrompt = false;
  c->PIN = TPin::FromText(QStringLiteral("1234"));
  events_.Bind(*c);
  TACGLogin login(&window);
  login.setTarget(&window);
  EXPECT_TRUE(login.isEnabled());

  c->Loaded();
  c->SetConnected(true);
  EXPECT_TRUE(login.isEnabled());  // connected, not logged in

  login.trigger();  // logs in
  EXPECT_TRUE(c->LoggedIn);
  EXPECT_FALSE(login.isEnabled());

  SetCardPresent(0, false);
  ASSERT_TRUE(SpinUntil([&] { return events_.Has("InsertRemove 2"); }));
  EXPECT_TRUE(login.isEnabled());
  delete c;
}

}  // namespace
