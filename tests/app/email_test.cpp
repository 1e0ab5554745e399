#include "app/email.h"

#include <gtest/gtest.h>

#include "platform/fake_ui_services.h"
#include "platform/mail.h"

namespace {

struct MailClient {
  QString found = "/usr/bin/xdg-email";
  int exitCode = 0;
  QStringList commands;  // program + arguments, one entry per run
  mapi::MailRunner previous;

  MailClient() {
    previous = mapi::SetMailRunner({[this](const QString&) { return found; },
                                    [this](const QString& p, const QStringList& a) {
                                      commands << (QStringList{p} + a).join(" | ");
                                      return exitCode;
                                    }});
  }
  ~MailClient() { mapi::SetMailRunner(previous); }
};

}  // namespace

TEST(Email, SendsTheFileWithItsNameAsSubjectAndBody) {
  FakeUiServices ui;
  MailClient client;
  EXPECT_TRUE(SendFileByMail("/home/u/izlaz/ugovor_pdf_20260101.enc", "ivana@example.hr", "Ivana Horvat"));
  EXPECT_EQ(client.commands, QStringList{"/usr/bin/xdg-email | --attach | /home/u/izlaz/ugovor_pdf_20260101.enc | "
                                         "--subject | ugovor_pdf_20260101.enc | --body | ugovor_pdf_20260101.enc | "
                                         "ivana@example.hr"});
  EXPECT_TRUE(ui.boxes.empty());
}

TEST(Email, ARecipientWithoutAddressIsLeftToTheUser) {
  FakeUiServices ui;
  MailClient client;
  EXPECT_EQ(SendMapiMail("s.sgn", "s.sgn", "/d/s.sgn", "", "", "", ""), 0);
  EXPECT_EQ(client.commands,
            QStringList{"/usr/bin/xdg-email | --attach | /d/s.sgn | --subject | s.sgn | --body | s.sgn"});
}

// What the composer's body holds is the note text as given, whatever it is; an
// empty note leaves the body to the user.
TEST(Email, TheNoteTextIsTheBody) {
  const struct {
    const char* what;
    QString note;
    QString expected;
  } cases[] = {
      {"plain", "Šaljem ugovor.",
       "/usr/bin/xdg-email | --attach | /d/s.sgn | --subject | s.sgn | --body | Šaljem ugovor. | a@b.hr"},
      {"looks like an option", "--attach /etc/shadow",
       "/usr/bin/xdg-email | --attach | /d/s.sgn | --subject | s.sgn | --body | --attach /etc/shadow | a@b.hr"},
      {"several lines", "prvi\nredak",
       "/usr/bin/xdg-email | --attach | /d/s.sgn | --subject | s.sgn | --body | prvi\nredak | a@b.hr"},
      {"empty", "", "/usr/bin/xdg-email | --attach | /d/s.sgn | --subject | s.sgn | a@b.hr"},
  };
  for (const auto& c : cases) {
    FakeUiServices ui;
    MailClient client;
    EXPECT_EQ(SendMapiMail("s.sgn", c.note, "/d/s.sgn", "", "", "", "a@b.hr"), 0) << c.what;
    EXPECT_EQ(client.commands, QStringList{c.expected}) << c.what;
  }
}

TEST(Email, EveryFailureShowsTheNotSentWarning) {
  const struct {
    const char* what;
    bool installed;
    int exitCode;
    int32_t result;
  } cases[] = {
      {"no mail program: the library cannot be loaded", false, 0, -1},
      {"the user closed the composer or it failed", true, 4, 2},
      {"no mail client behind the program", true, 3, 2},
      {"the attachment vanished", true, 2, 11},
  };
  for (const auto& c : cases) {
    FakeUiServices ui;
    MailClient client;
    if (!c.installed) client.found.clear();
    client.exitCode = c.exitCode;
    EXPECT_EQ(SendMapiMail("f", "f", "/f", "", "", "", "a@b.hr"), c.result) << c.what;
    EXPECT_FALSE(SendFileByMail("/tmp/f.sgn", "a@b.hr", "Čedo Šimić")) << c.what;
    ASSERT_EQ(ui.boxes.size(), 1u) << c.what;
    EXPECT_EQ(ui.boxes[0].kind, MsgKind::Warning);
    EXPECT_EQ(ui.boxes[0].text, "e-mail za primatelja \"Čedo Šimić\" nije poslan!");
    EXPECT_EQ(client.commands.size(), c.installed ? 2 : 0) << c.what;
  }
}
