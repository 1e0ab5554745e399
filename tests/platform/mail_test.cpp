#include "platform/mail.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "support/temp_dir.h"

using namespace mapi;

namespace {

// Records every command and answers with a scripted exit code.
struct ScriptedRunner {
  QString found = "/usr/bin/xdg-email";
  int exitCode = 0;
  std::optional<QString> program;
  QStringList arguments;
  int runs = 0;
  MailRunner previous;

  ScriptedRunner() {
    previous = SetMailRunner({[this](const QString& p) { return p == "xdg-email" ? found : QString(); },
                              [this](const QString& p, const QStringList& a) {
                                ++runs;
                                program = p;
                                arguments = a;
                                return exitCode;
                              }});
  }
  ~ScriptedRunner() { SetMailRunner(previous); }
};

MapiRecipDesc Recip(uint32_t cls, const QString& address, const QString& name = {}) {
  MapiRecipDesc r;
  r.ulRecipClass = cls;
  r.lpszName = name.isEmpty() ? address : name;
  r.lpszAddress = "SMTP:" + address;
  return r;
}

}  // namespace

TEST(Mail, OneRecipientOneAttachmentGivesTheComposerCommand) {
  ScriptedRunner runner;
  MapiRecipDesc from = Recip(MAPI_ORIG, "me@example.org");
  MapiRecipDesc to = Recip(MAPI_TO, "ana@example.hr", "Ana Šimić");
  MapiFileDesc file;
  file.nPosition = -1;
  file.lpszPathName = "/tmp/izvješće_pdf.sgn";
  MapiMessage m;
  m.lpszSubject = "izvješće_pdf.sgn";
  m.lpszNoteText = "izvješće_pdf.sgn";
  m.lpOriginator = &from;
  m.nRecipCount = 1;
  m.lpRecips = &to;
  m.nFileCount = 1;
  m.lpFiles = &file;

  EXPECT_EQ(MAPISendMail(0, 0, &m, MAPI_LOGON_UI | MAPI_DIALOG, 0), SUCCESS_SUCCESS);
  ASSERT_EQ(runner.runs, 1);
  EXPECT_EQ(*runner.program, "/usr/bin/xdg-email");
  EXPECT_EQ(runner.arguments, (QStringList{"--attach", "/tmp/izvješće_pdf.sgn", "--subject", "izvješće_pdf.sgn",
                                           "--body", "izvješće_pdf.sgn", "ana@example.hr"}));
}

TEST(Mail, CommandLinesOfSparseAndFullMessages) {
  MapiRecipDesc recips[] = {Recip(MAPI_TO, "a@x.hr"), Recip(MAPI_CC, "c@x.hr"), Recip(MAPI_BCC, "b@x.hr"),
                            Recip(MAPI_TO, "d@x.hr")};
  MapiFileDesc files[2];
  files[0].lpszPathName = "/f 1";
  files[1].lpszPathName = "-odd name";
  struct Case {
    const char* what;
    QString subject;
    uint32_t nRecips;
    uint32_t nFiles;
    QStringList expected;
  } cases[] = {
      {"nothing at all", "", 0, 0, {}},
      {"no recipient: the user fills it in", "S", 0, 1, {"--attach", "/f 1", "--subject", "S"}},
      {"no subject", "", 1, 0, {"a@x.hr"}},
      {"every class, options before addresses",
       "--subject",
       4,
       2,
       {"--cc", "c@x.hr", "--bcc", "b@x.hr", "--attach", "/f 1", "--attach", "-odd name", "--subject", "--subject",
        "a@x.hr", "d@x.hr"}},
  };
  for (const Case& c : cases) {
    MapiMessage m;
    m.lpszSubject = c.subject;
    m.nRecipCount = c.nRecips;
    m.lpRecips = recips;
    m.nFileCount = c.nFiles;
    m.lpFiles = files;
    QStringList args;
    ASSERT_TRUE(MailCommandFor(m, args, nullptr)) << c.what;
    EXPECT_EQ(args, c.expected) << c.what;
  }
}

TEST(Mail, AnAddressThatLooksLikeAnOptionIsRefusedUnrun) {
  ScriptedRunner runner;
  MapiRecipDesc to = Recip(MAPI_TO, "--attach=/etc/shadow");
  MapiMessage m;
  m.nRecipCount = 1;
  m.lpRecips = &to;
  EXPECT_EQ(MAPISendMail(0, 0, &m, 9, 0), MAPI_E_UNKNOWN_RECIPIENT);
  EXPECT_EQ(runner.runs, 0);
}

TEST(Mail, ExitCodesOfTheMailProgram) {
  const struct {
    int exitCode;
    uint32_t result;
  } cases[] = {{0, SUCCESS_SUCCESS},
               {1, MAPI_E_FAILURE},
               {2, MAPI_E_ATTACHMENT_NOT_FOUND},
               {3, MAPI_E_FAILURE},  // no mail client
               {4, MAPI_E_FAILURE},
               {5, MAPI_E_ATTACHMENT_OPEN_FAILURE},
               {MailRunner::kNotStarted, MAPI_E_FAILURE}};
  for (const auto& c : cases) {
    ScriptedRunner runner;
    runner.exitCode = c.exitCode;
    MapiMessage m;
    EXPECT_EQ(MAPISendMail(0, 0, &m, 9, 0), c.result) << c.exitCode;
  }
}

TEST(Mail, WithoutTheDialogFlagNothingIsSent) {
  ScriptedRunner runner;
  MapiMessage m;
  EXPECT_EQ(MAPISendMail(0, 0, &m, MAPI_LOGON_UI, 0), MAPI_E_FAILURE);
  EXPECT_EQ(MAPISendMail(0, 0, nullptr, 9, 0), MAPI_E_FAILURE);
  EXPECT_EQ(runner.runs, 0);
}

TEST(Mail, TheLibraryLoadsOnlyByItsNameAndWhileTheProgramIsThere) {
  ScriptedRunner runner;
  auto lib = MailLibrary::Load("mapi32.dll");
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(lib->Function("MAPISendMail"), &MAPISendMail);
  EXPECT_EQ(lib->Function("MAPISendDocuments"), nullptr);
  EXPECT_EQ(MailLibrary::Load("MAPI64.DLL"), nullptr);
  runner.found.clear();
  EXPECT_EQ(MailLibrary::Load("MAPI32.DLL"), nullptr);
}

// The real runner, with a stand-in mail program first on PATH.
TEST(Mail, TheRealRunnerPassesTheArgumentsUnchanged) {
  TempDir bin("mailbin");
  const std::string log = bin.file("args");
  WriteAll(bin.file("xdg-email"), "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + log + "'\nexit 5\n");
  ASSERT_EQ(::Run("chmod +x " + bin.file("xdg-email")), 0);
  const QByteArray oldPath = qgetenv("PATH");
  qputenv("PATH", QByteArray::fromStdString(bin.path()) + ":" + oldPath);

  MapiRecipDesc to = Recip(MAPI_TO, "ana@example.hr");
  MapiFileDesc file;
  file.lpszPathName = "/tmp/a b;$(x).sgn";
  MapiMessage m;
  m.lpszSubject = "a b;$(x).sgn";
  m.lpszNoteText = "prvi redak\ndrugi \"redak\"";
  m.nRecipCount = 1;
  m.lpRecips = &to;
  m.nFileCount = 1;
  m.lpFiles = &file;
  EXPECT_EQ(MAPISendMail(0, 0, &m, 9, 0), MAPI_E_ATTACHMENT_OPEN_FAILURE);
  EXPECT_EQ(
      ReadText(log),
      "--attach\n/tmp/a b;$(x).sgn\n--subject\na b;$(x).sgn\n--body\nprvi redak\ndrugi \"redak\"\nana@example.hr\n");

  qputenv("PATH", bin.path().c_str());
  ::unlink(bin.file("xdg-email").c_str());
  EXPECT_EQ(MailLibrary::Load("MAPI32.DLL"), nullptr);
  qputenv("PATH", oldPath);
}
