// The message table, the exception class and the two reporting routines.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <string>
#include <vector>

#include "platform/fake_ui_services.h"
#include "zip/zip_archiver.h"
#include "zip/zip_messages.h"

namespace {

std::string S(const QString& s) { return s.toStdString(); }

TEST(MessageTable, IdsAndSpotTexts) {
  const QList<int> ids = ZipMessageIds();
  EXPECT_EQ(ids.size(), 137);
  EXPECT_EQ(ids.front(), 10101);
  EXPECT_EQ(ids.back(), 11502);
  for (int id : ids) EXPECT_FALSE(ZipMessageText(id).isEmpty()) << id;
  struct {
    int id;
    const char* text;
  } spots[] = {
      {10101, "Fatal Error in ZipLIB.DLL: abort exception"},
      {10104, "Error - passwords do NOT match\nPassword ignored"},
      {10202, "Unknown error in List() function\n"},
      {10308, "Destination directory '%s' must exist!"},
      {10650, "Failed to load %s"},
      {10651, "Unable to load %s - It is old or corrupt"},
      {10801, "Error - On or more of the 4 property strings mentioned below exceeds 255 characters!"},
      {11007, "User canceled operation"},
      {11024, "UnKnown error in function ReadSpan(), WriteSpan(), ChangeFileDetails() or CopyZippedFiles()\n"},
      {11034, "Please insert disk volume %.1d of %.1d"},
      {11035, "\nin drive: %s"},
      {11038, "This is the %dth disk in a backup set,\nplease insert the last disk of this set"},
      {11404, "*??"},
      {11502, "Nothing to write"},
  };
  for (auto& s : spots) EXPECT_EQ(S(ZipMessageText(s.id)), s.text) << s.id;
  EXPECT_TRUE(ZipMessageText(11501).isEmpty());
  EXPECT_TRUE(ZipMessageText(11400).isEmpty());
}

TEST(MessageFormat, Substitution) {
  struct {
    const char* format;
    QStringList args;
    const char* expected;
  } cases[] = {
      {"Failed to load %s", {"x.so"}, "Failed to load x.so"},
      {"This is the %dth disk", {"5"}, "This is the 5th disk"},
      {"volume %.1d of %.1d", {"1", "3"}, "volume 1 of 3"},
      {"'%s' in '%s' ?", {"a"}, "'a' in '' ?"},          // a missing argument is empty
      {"only %s", {"one", "two", "three"}, "only one"},  // surplus arguments are ignored
      {"100%% %x %n %5d %", {"a"}, "100% %x %n %5d %"},  // nothing else is a placeholder
      {"%s", {"%s%d%n"}, "%s%d%n"},                      // arguments are not formats
  };
  for (auto& c : cases) EXPECT_EQ(S(FormatZipText(c.format, c.args)), c.expected) << c.format;
}

TEST(Exception, Constructors) {
  EZipArchiver a = EZipArchiver::CreateFromId(kZipUserCancelled, false);
  EXPECT_EQ(a.Id(), kZipUserCancelled);
  EXPECT_FALSE(a.Display());
  EXPECT_STREQ(a.what(), "User canceled operation");
  EXPECT_TRUE(a.TextArg().isEmpty() && a.NumberArg().isEmpty());

  EZipArchiver b = EZipArchiver::CreateFromIdText(kZipExtractDirMissing, "/out");
  EXPECT_TRUE(b.Display());
  EXPECT_STREQ(b.what(), "Extract directory '/out' must exist");
  EXPECT_EQ(S(b.TextArg()), "/out");

  EZipArchiver c = EZipArchiver::CreateFromIdInt(kZipNthDiskInsertLast, 5);
  EXPECT_TRUE(c.Display());
  EXPECT_EQ(S(c.NumberArg()), "5");
  EXPECT_EQ(S(c.Message()), "This is the 5th disk in a backup set,\nplease insert the last disk of this set");

  EXPECT_STREQ(EZipArchiver::CreateFromId(99, true).what(), "ZipArchiver [ 99 ]");
  EXPECT_STREQ(EZipArchiver::CreateFromIdInt(99, 7).what(), "ZipArchiver [ 99 ] ,7");
  EXPECT_STREQ(EZipArchiver::CreateFromIdText(99, "t").what(), "ZipArchiver [ 99 ], t");
}

TEST(Exception, ConstructorsIgnoreTheTextHook) {
  TZipArchiver zip;
  zip.OnZipStr = [](TZipArchiver&, int32_t, QString& s) { s = "hooked"; };
  EXPECT_STREQ(EZipArchiver::CreateFromId(kZipUserCancelled, true).what(), "User canceled operation");
  EXPECT_EQ(S(zip.LoadZipString(kZipUserCancelled)), "hooked");
}

struct Reported {
  std::vector<std::string> messages;
  void Bind(TZipArchiver& z) {
    z.OnMessage = [this](TZipArchiver&, int32_t code, const QString& m) {
      messages.push_back(std::to_string(code) + " " + S(m));
    };
  }
};

TEST(ShowZipMessage, SetsStateShowsBoxFiresEventWithZero) {
  FakeUiServices ui;
  TZipArchiver zip;
  Reported r;
  r.Bind(zip);
  zip.ShowZipMessage(kZipNoFilesToZip);
  EXPECT_EQ(zip.ErrCode(), kZipNoFilesToZip);
  EXPECT_EQ(S(zip.Message()), "Error - no files to zip!");
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(S(ui.boxes[0].text), "Error - no files to zip!");
  EXPECT_TRUE(ui.boxes[0].caption.isEmpty());  // the application's title
  EXPECT_EQ(r.messages, (std::vector<std::string>{"0 Error - no files to zip!"}));

  zip.ShowZipMessage(kZipListUnknownError, "boom");
  EXPECT_EQ(S(zip.Message()), "Unknown error in List() function\nboom");
}

TEST(ShowZipMessage, MissingIdAndUnattended) {
  FakeUiServices ui;
  TZipArchiver zip;
  zip.SetUnattended(true);
  Reported r;
  r.Bind(zip);
  zip.ShowZipMessage(12345, "+x");
  EXPECT_EQ(S(zip.Message()), "ZipMsgXX.res is probably not linked to the executable\nMissing String ID is: 12345 +x");
  EXPECT_EQ(zip.ErrCode(), 12345);
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(r.messages.size(), 1u);
}

TEST(ShowZipMessage, TextHookReplacesTheTextButNotTheCode) {
  FakeUiServices ui;
  TZipArchiver zip;
  zip.OnZipStr = [](TZipArchiver&, int32_t id, QString& s) {
    if (id == kZipNoFilesToZip) s = "Nema datoteka %s%n";
  };
  zip.ShowZipMessage(kZipNoFilesToZip);
  EXPECT_EQ(zip.ErrCode(), kZipNoFilesToZip);
  EXPECT_EQ(S(zip.Message()), "Nema datoteka %s%n");
}

TEST(ShowExceptionError, FormatsAndReports) {
  FakeUiServices ui;
  TZipArchiver zip;
  Reported r;
  r.Bind(zip);
  zip.ShowExceptionError(EZipArchiver::CreateFromIdText(kZipDestDirMissing, "/no/dir"));
  EXPECT_EQ(zip.ErrCode(), kZipDestDirMissing);
  EXPECT_EQ(S(zip.Message()), "Destination directory '/no/dir' must exist!");
  EXPECT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(r.messages.back(), "10308 Destination directory '/no/dir' must exist!");

  zip.ShowExceptionError(EZipArchiver::CreateFromIdInt(kZipInsertDiskOf, 2));
  EXPECT_EQ(S(zip.Message()), "Please insert disk volume 2 of ");

  zip.ShowExceptionError(EZipArchiver::CreateFromId(kZipUserCancelled, false));  // no box asked for
  EXPECT_EQ(ui.boxes.size(), 2u);
  EXPECT_EQ(r.messages.back(), "11007 User canceled operation");

  zip.ShowExceptionError(EZipArchiver::CreateFromId(777, true));
  EXPECT_EQ(S(zip.Message()), "ZipMsgXX.res is probably not linked to the executable\nMissing String ID is: 777");

  zip.SetUnattended(true);
  zip.ShowExceptionError(EZipArchiver::CreateFromIdText(kZipLoadFailed, "x"));
  EXPECT_EQ(ui.boxes.size(), 3u);
  EXPECT_EQ(zip.ErrCode(), kZipLoadFailed);
}

}  // namespace
