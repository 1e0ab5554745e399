// The callback: what a library's call turns into (events, state) and what is
// answered in the callback record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/fake_ui_services.h"
#include "zip/zip_archiver.h"

namespace {

using Log = std::vector<std::string>;

std::string S(const QString& s) { return s.toStdString(); }

// Every event handler of the component, writing one line per call.
void BindAll(TZipArchiver& z, Log& log) {
  z.OnTick = [&log](TZipArchiver&) { log.push_back("Tick"); };
  z.OnProgress = [&log](TZipArchiver&, ProgressType t, const QString& f, uint32_t n) {
    log.push_back("Progress " + std::to_string(int(t)) + " '" + S(f) + "' " + std::to_string(n));
  };
  z.OnItemProgress = [&log](TZipArchiver&, const QString& item, uint32_t total, int32_t pc) {
    log.push_back("Item '" + S(item) + "' " + std::to_string(total) + " " + std::to_string(pc));
  };
  z.OnTotalProgress = [&log](TZipArchiver&, uint32_t total, int32_t pc) {
    log.push_back("Total " + std::to_string(total) + " " + std::to_string(pc));
  };
  z.OnMessage = [&log](TZipArchiver&, int32_t code, const QString& m) {
    log.push_back("Message " + std::to_string(code) + " '" + S(m) + "'");
  };
  z.OnExtractSkipped = [&log](TZipArchiver&, const QString& f, UnZipSkipTypes t, int32_t e) {
    log.push_back("Skipped '" + S(f) + "' " + std::to_string(int(t)) + " " + std::to_string(e));
  };
}

struct Rec {
  ZipCallbackRec r;
  explicit Rec(TZipArchiver* z, int32_t action, int32_t error = 0, int32_t size = 0, const char* text = "") {
    std::memset(&r, 0, sizeof r);
    r.Instance = z;
    r.Action = action;
    r.Error = error;
    r.Size = size;
    // Filled to the last byte, without a terminator when the text is that long.
    std::memset(r.Msg.Text, 0, sizeof r.Msg.Text);
    std::memcpy(r.Msg.Text, text, std::min(std::strlen(text), sizeof r.Msg.Text));
  }
  int32_t Call() { return DllCallback(&r); }
};

// ---- A table of single calls -------------------------------------------------------------

struct Case {
  const char* name;
  std::function<void(TZipArchiver&, Log&)> bind;  // beyond BindAll
  int32_t action, error, size;
  const char* text;
  int32_t presetError, presetSize;  // the library's defaults in the answer slots
  int32_t result;
  int32_t answerError, answerSize;
  const char* answerText;  // nullptr: not checked
  Log events;
};

#define NOBIND [](TZipArchiver&, Log&) {}

const Case kCases[] = {
    {"tick", NOBIND, ZIPCB_TICK, 0, 0, "", 0, 0, 0, 0, 0, nullptr, {"Tick"}},
    {"new file, separators and trailing blanks",
     NOBIND,
     ZIPCB_NEW_FILE,
     0,
     10,
     "dir\\a.txt \t ",
     0,
     0,
     0,
     0,
     10,
     nullptr,
     {"Progress 0 'dir/a.txt' 10", "Item 'dir/a.txt' 10 0"}},
    {"end of batch",
     NOBIND,
     ZIPCB_END_BATCH,
     0,
     0,
     "",
     0,
     0,
     0,
     0,
     0,
     nullptr,
     {"Progress 2 '' 0", "Item '' 0 -1", "Total 0 -1"}},
    {"message with an error",
     NOBIND,
     ZIPCB_MESSAGE,
     0x1234,
     0,
     "boom",
     0,
     0,
     0,
     0x1234,
     0,
     nullptr,
     {"Message 4660 'boom'"}},
    {"information message", NOBIND, ZIPCB_MESSAGE, 0, 0, "info", 0, 0, 0, 0, 0, nullptr, {"Message 0 'info'"}},
    {"file count", NOBIND, ZIPCB_FILE_COUNT, 0, 3, "", 0, 0, 0, 0, 3, nullptr, {"Progress 3 '' 3"}},
    {"total size", NOBIND, ZIPCB_TOTAL_SIZE, 0, 999, "", 0, 0, 0, 0, 999, nullptr, {"Progress 4 '' 999"}},
    {"all-blank text is empty",
     NOBIND,
     ZIPCB_NEW_FILE,
     0,
     1,
     "     ",
     0,
     0,
     0,
     0,
     1,
     nullptr,
     {"Progress 0 '' 1", "Item '' 1 0"}},
    {"unknown code", NOBIND, 99, 0, 0, "", 5, 6, 0, 5, 6, nullptr, {}},
    {"action uses the low 8 bits", NOBIND, 0x100 | ZIPCB_TICK, 0, 0, "", 0, 0, 0, 0, 0, nullptr, {"Tick"}},

    // New name: answered only with a handler.
    {"new name without handler", NOBIND, ZIPCB_NEW_NAME, 0, 0, "old", 77, 0, 0, 77, 0, "old", {}},
    {"new name kept",
     [](TZipArchiver& z, Log&) { z.OnSetNewName = [](TZipArchiver&, QString&, bool&) {}; },
     ZIPCB_NEW_NAME,
     0,
     0,
     "old",
     77,
     0,
     0,
     0,
     0,
     "old",
     {}},
    {"new name changed",
     [](TZipArchiver& z, Log&) {
       z.OnSetNewName = [](TZipArchiver&, QString& n, bool& c) {
         n = "new/" + n;
         c = true;
       };
     },
     ZIPCB_NEW_NAME,
     0,
     0,
     "old",
     77,
     0,
     0,
     1,
     0,
     "new/old",
     {}},

    // CRC error: 2 without a handler, else the handler's decision.
    {"crc without handler", NOBIND, ZIPCB_CRC_ERROR, 0x11, 0x22, "f", 0, 0, 0, 2, 0x22, nullptr, {}},
    {"crc handler keeps default",
     [](TZipArchiver& z, Log& log) {
       z.OnCRC32Error = [&log](TZipArchiver&, const QString& f, uint32_t found, uint32_t expected, bool& extract) {
         log.push_back("Crc '" + S(f) + "' " + std::to_string(found) + " " + std::to_string(expected) + " " +
                       std::to_string(extract));
       };
     },
     ZIPCB_CRC_ERROR,
     0x11,
     0x22,
     "f",
     0,
     0,
     0,
     1,
     0x22,
     nullptr,
     {"Crc 'f' 17 34 1"}},
    {"crc handler drops",
     [](TZipArchiver& z, Log&) {
       z.OnCRC32Error = [](TZipArchiver&, const QString&, uint32_t, uint32_t, bool& e) { e = false; };
     },
     ZIPCB_CRC_ERROR,
     1,
     2,
     "f",
     0,
     0,
     0,
     0,
     2,
     nullptr,
     {}},

    // File exists: only with a handler; bit 16 = older, low 16 bits = index.
    {"overwrite without handler", NOBIND, ZIPCB_OVERWRITE, 0x10005, 1, "f", 0, 0, 0, 0x10005, 1, nullptr, {}},
    {"overwrite handler sees the default",
     [](TZipArchiver& z, Log& log) {
       z.OnExtractOverwrite = [&log](TZipArchiver&, const QString& f, bool older, bool& ow, int32_t index) {
         log.push_back("Exists '" + S(f) + "' " + std::to_string(older) + " " + std::to_string(ow) + " " +
                       std::to_string(index));
       };
     },
     ZIPCB_OVERWRITE,
     0x10005,
     0x101,
     "f",
     0,
     0,
     0,
     0x10005,
     1,
     nullptr,
     {"Exists 'f' 1 1 5"}},
    {"overwrite refused",
     [](TZipArchiver& z, Log&) {
       z.OnExtractOverwrite = [](TZipArchiver&, const QString&, bool, bool& ow, int32_t) { ow = false; };
     },
     ZIPCB_OVERWRITE,
     3,
     1,
     "f",
     0,
     0,
     0,
     3,
     0,
     nullptr,
     {}},

    // Skipped: the library sends type + 1; out of range is a general error.
    {"skipped with error", NOBIND, ZIPCB_SKIPPED, 0x105, 3, "f", 0, 0, 0, 0x105, 3, nullptr, {"Skipped 'f' 2 261"}},
    {"skipped type 0 from size 0", NOBIND, ZIPCB_SKIPPED, 0, 0, "f", 0, 0, 0, 0, 0, nullptr, {"Skipped 'f' 8 0"}},
    {"skipped type beyond range", NOBIND, ZIPCB_SKIPPED, 0, 50, "f", 0, 0, 0, 0, 50, nullptr, {"Skipped 'f' 8 0"}},
    {"skipped first type", NOBIND, ZIPCB_SKIPPED, 0, 1, "f", 0, 0, 0, 0, 1, nullptr, {"Skipped 'f' 0 0"}},

    // Extra steps: the item name comes from the table when it has one.
    {"extra step with a table name",
     NOBIND,
     ZIPCB_EXTRA_STEP,
     2,
     100,
     "x",
     0,
     0,
     0,
     2,
     100,
     nullptr,
     {"Progress 5 'x' 100", "Item '*Copying Zip File' 100 0"}},
    {"extra step without",
     NOBIND,
     ZIPCB_EXTRA_STEP,
     0,
     100,
     "own",
     0,
     0,
     0,
     0,
     100,
     nullptr,
     {"Progress 5 'own' 100", "Item 'own' 100 0"}},
    {"extra step of a wild number",
     NOBIND,
     ZIPCB_EXTRA_STEP,
     0x7fffffff,
     1,
     "own",
     0,
     0,
     0,
     0x7fffffff,
     1,
     nullptr,
     {"Progress 5 'own' 1", "Item 'own' 1 0"}},

    // Cancelling: a handler, OnAfterCallback, an exception of any kind.
    {"handler sets Cancel",
     [](TZipArchiver& z, Log&) { z.OnTick = [](TZipArchiver& s) { s.SetCancel(true); }; },
     ZIPCB_TICK,
     0,
     0,
     "",
     0,
     0,
     -1,
     0,
     0,
     nullptr,
     {}},
    {"after-callback aborts",
     [](TZipArchiver& z, Log&) { z.OnAfterCallback = [](TZipArchiver&, bool& a) { a = true; }; },
     ZIPCB_TICK,
     0,
     0,
     "",
     0,
     0,
     -1,
     0,
     0,
     nullptr,
     {"Tick"}},
    {"after-callback sees no cancel",
     [](TZipArchiver& z, Log& log) {
       z.OnAfterCallback = [&log](TZipArchiver&, bool& a) { log.push_back("After " + std::to_string(a)); };
     },
     ZIPCB_TICK,
     0,
     0,
     "",
     0,
     0,
     0,
     0,
     0,
     nullptr,
     {"Tick", "After 0"}},
    {"handler throws",
     [](TZipArchiver& z, Log&) { z.OnTick = [](TZipArchiver&) { throw std::runtime_error("x"); }; },
     ZIPCB_TICK,
     0,
     0,
     "",
     0,
     0,
     -1,
     0,
     0,
     nullptr,
     {}},
    {"handler throws a non-exception",
     [](TZipArchiver& z, Log&) { z.OnTick = [](TZipArchiver&) { throw 42; }; },
     ZIPCB_TICK,
     0,
     0,
     "",
     0,
     0,
     -1,
     0,
     0,
     nullptr,
     {}},
    {"handler runs out of memory",
     [](TZipArchiver& z, Log&) { z.OnTick = [](TZipArchiver&) { throw std::bad_alloc(); }; },
     ZIPCB_TICK,
     0,
     0,
     "",
     0,
     0,
     -1,
     0,
     0,
     nullptr,
     {}},
    {"after-callback throws",
     [](TZipArchiver& z, Log&) { z.OnAfterCallback = [](TZipArchiver&, bool&) { throw std::runtime_error("late"); }; },
     ZIPCB_TICK,
     0,
     0,
     "",
     0,
     0,
     -1,
     0,
     0,
     nullptr,
     {"Tick"}},
};

class Dispatch : public ::testing::TestWithParam<Case> {};

TEST_P(Dispatch, Call) {
  const Case& c = GetParam();
  FakeUiServices ui;
  TZipArchiver zip;
  Log log;
  BindAll(zip, log);
  c.bind(zip, log);
  Rec rec(&zip, c.action, c.error, c.size, c.text);
  if (c.presetError || c.presetSize) {
    rec.r.Error = c.presetError;
    rec.r.Size = c.presetSize;
  }
  EXPECT_EQ(rec.Call(), c.result);
  EXPECT_EQ(rec.r.Error, c.answerError);
  EXPECT_EQ(rec.r.Size, c.answerSize);
  if (c.answerText) {
    EXPECT_STREQ(rec.r.Msg.Text, c.answerText);
  }
  EXPECT_EQ(log, c.events);
  EXPECT_EQ(zip.Cancel(), c.result == -1);
}

INSTANTIATE_TEST_SUITE_P(Callback, Dispatch, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& ch : n)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
});

// ---- State and sequences -----------------------------------------------------------------

TEST(DispatchState, MessageAndSkipSetErrorCodes) {
  FakeUiServices ui;
  TZipArchiver zip;
  Rec(&zip, ZIPCB_MESSAGE, 0x1234, 0, "boom").Call();
  EXPECT_EQ(zip.ErrCode(), 0x34);
  EXPECT_EQ(zip.ErrCodeFull(), 0x1234);
  EXPECT_EQ(S(zip.Message()), "boom");
  Rec(&zip, ZIPCB_MESSAGE, 0, 0, "later").Call();  // an information message keeps the codes
  EXPECT_EQ(zip.ErrCode(), 0x34);
  EXPECT_EQ(S(zip.Message()), "later");
  Rec(&zip, ZIPCB_SKIPPED, 0x2307, 1, "f").Call();
  EXPECT_EQ(zip.ErrCode(), 7);
  EXPECT_EQ(zip.ErrCodeFull(), 0x2307);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST(DispatchState, ProgressCounters) {
  FakeUiServices ui;
  TZipArchiver zip;
  Log log;
  BindAll(zip, log);
  Rec(&zip, ZIPCB_TOTAL_SIZE, 0, 300000).Call();
  Rec(&zip, ZIPCB_NEW_FILE, 0, 200, "a").Call();
  log.clear();
  Rec(&zip, ZIPCB_PROGRESS, 0, 100).Call();
  Rec(&zip, ZIPCB_PROGRESS, 0, 100).Call();
  EXPECT_EQ(log, (Log{"Progress 1 '' 100", "Item 'a' 200 50", "Total 300000 0", "Progress 1 '' 100", "Item 'a' 200 100",
                      "Total 300000 0"}));
  log.clear();
  Rec(&zip, ZIPCB_EXTRA_STEP, 5, 50, "x").Call();
  Rec(&zip, ZIPCB_EXTRA_PROGRESS, 0, 25).Call();
  EXPECT_EQ(log, (Log{"Progress 5 'x' 50", "Item '*Finalising' 50 0", "Progress 6 '*Finalising' 25",
                      "Item '*Finalising' 50 50"}));
}

TEST(DispatchState, PercentOf) {
  struct {
    uint32_t total, done, expected;
  } cases[] = {{0, 5, 0},
               {5, 0, 0},
               {200, 100, 50},
               {300000, 150000, 50},
               {214748, 2147, 1},
               {214747, 2147, 0},
               {4000000000u, 4000000000u, 100}};
  for (auto& c : cases) EXPECT_EQ(TZipArchiver::PercentOf(c.total, c.done), c.expected) << c.total << " " << c.done;
}

TEST(DispatchState, TextLongerThanItsAreaIsCut) {
  FakeUiServices ui;
  TZipArchiver zip;
  QString seen;
  zip.OnProgress = [&](TZipArchiver&, ProgressType, const QString& f, uint32_t) { seen = f; };
  Rec rec(&zip, ZIPCB_NEW_FILE);
  std::memset(rec.r.Msg.Text, 'n', sizeof rec.r.Msg.Text);  // no NUL anywhere
  rec.Call();
  EXPECT_EQ(seen.size(), 512);
}

TEST(DispatchState, NewNameCappedWithTerminator) {
  FakeUiServices ui;
  TZipArchiver zip;
  zip.OnSetNewName = [](TZipArchiver&, QString& n, bool& c) {
    n = QString(600, u'z');
    c = true;
  };
  Rec rec(&zip, ZIPCB_NEW_NAME, 0, 0, "old");
  rec.Call();
  EXPECT_EQ(std::strlen(rec.r.Msg.Text), 511u);
}

TEST(DispatchState, HandlerExceptionIsNamedInTheAbortMessage) {
  FakeUiServices ui;
  TZipArchiver zip;
  Log log;
  BindAll(zip, log);
  zip.OnProgress = [](TZipArchiver&, ProgressType, const QString&, uint32_t) { throw std::runtime_error("bad"); };
  EXPECT_EQ(Rec(&zip, ZIPCB_NEW_FILE, 0, 1, "a").Call(), -1);
  zip.OnProgress = [](TZipArchiver&, ProgressType, const QString&, uint32_t) {
    throw std::runtime_error("second");  // only the first is kept
  };
  EXPECT_EQ(Rec(&zip, ZIPCB_FILE_COUNT, 0, 1).Call(), -1);
  EXPECT_EQ(Rec(&zip, ZIPCB_MESSAGE, 0x109, 0, "aborted").Call(), -1);
  EXPECT_EQ(S(zip.Message()), "Exception in Event  #1 \"bad\"");
  EXPECT_EQ(zip.ErrCode(), 9);
  EXPECT_EQ(log.back(), "Message 265 'Exception in Event  #1 \"bad\"'");
}

TEST(DispatchState, ProcessesPendingMessagesWithoutAfterCallback) {
  FakeUiServices ui;
  TZipArchiver zip;
  Rec(&zip, ZIPCB_TICK).Call();
  Rec(&zip, ZIPCB_PROGRESS, 0, 5).Call();
  EXPECT_EQ(ui.processCalls, 2);
  zip.OnAfterCallback = [](TZipArchiver&, bool&) {};
  Rec(&zip, ZIPCB_TICK).Call();
  EXPECT_EQ(ui.processCalls, 2);
}

TEST(DispatchState, DestroyingComponentCancelsAndStaysQuiet) {
  FakeUiServices ui;
  TZipArchiver zip;
  Log log;
  BindAll(zip, log);
  zip.BeforeDestruction();
  EXPECT_EQ(Rec(&zip, ZIPCB_TICK).Call(), -1);
  EXPECT_FALSE(zip.DispatchEvent(ZIPCB_NEW_FILE, 0, 5, "x"));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(ui.processCalls, 0);
}

TEST(DispatchState, RecordWithoutInstanceIsCancelled) {
  Rec rec(nullptr, ZIPCB_TICK);
  EXPECT_EQ(rec.Call(), -1);
  EXPECT_EQ(DllCallback(nullptr), -1);
}

TEST(DispatchState, DirectCallsRaise) {
  FakeUiServices ui;
  TZipArchiver zip;
  zip.OnTick = [](TZipArchiver&) { throw std::runtime_error("direct"); };
  EXPECT_THROW(zip.DispatchEvent(ZIPCB_TICK, 0, 0, QString()), std::runtime_error);
  zip.OnTick = [](TZipArchiver& z) { z.SetCancel(true); };
  try {
    zip.DispatchEvent(ZIPCB_TICK, 0, 0, QString());
    FAIL() << "no exception";
  } catch (const EZipArchiver& e) {
    EXPECT_EQ(e.Id(), kZipUserCancelled);
    EXPECT_STREQ(e.what(), "User canceled operation");
  }
}

TEST(DispatchState, DirectCallsWriteNoRecord) {
  FakeUiServices ui;
  TZipArchiver zip;
  bool asked = false;
  zip.OnSetNewName = [&](TZipArchiver&, QString&, bool&) { asked = true; };
  EXPECT_FALSE(zip.DispatchEvent(ZIPCB_NEW_NAME, 0, 0, "x"));
  EXPECT_FALSE(asked);
}

// ---- Comments, extra data, stream memory ------------------------------------------------------

TEST(DispatchData, CommentAnswer) {
  FakeUiServices ui;
  TZipArchiver zip;
  QString seen;
  zip.OnFileComment = [&](TZipArchiver&, const QString& f, QString& c, bool& changed) {
    seen = f + "|" + c;
    if (f == "change") {
      c = "new comment";
      changed = true;
    }
  };
  Rec keep(&zip, ZIPCB_COMMENT, 0, 0, "keep");
  std::strcpy(keep.r.Msg.Text + 256, "old");
  keep.Call();
  EXPECT_EQ(S(seen), "keep|old");
  EXPECT_EQ(keep.r.Error, 0);
  EXPECT_EQ(keep.r.Size, 3);

  Rec change(&zip, ZIPCB_COMMENT, 0, 0, "change");
  std::strcpy(change.r.Msg.Text + 256, "old");
  change.Call();
  EXPECT_EQ(change.r.Error, 1);
  EXPECT_EQ(change.r.Size, 11);
  EXPECT_STREQ(change.r.Msg.Text, "new comment");

  zip.OnFileComment = [](TZipArchiver&, const QString&, QString& c, bool& changed) {
    c = QString(700, u'c');
    changed = true;
  };
  Rec longer(&zip, ZIPCB_COMMENT, 0, 0, "f");
  longer.Call();
  EXPECT_EQ(longer.r.Size, 511);
  EXPECT_EQ(std::strlen(longer.r.Msg.Text), 511u);
}

TEST(DispatchData, ExtraData) {
  FakeUiServices ui;
  TZipArchiver zip;
  Rec none(&zip, ZIPCB_EXTRA_DATA, 0, 3, "f");
  uint8_t original[3] = {1, 2, 3};
  none.r.Msg.X.Extra = original;
  none.Call();
  EXPECT_EQ(none.r.Error, 0);  // no handler: nothing answered
  EXPECT_EQ(none.r.Msg.X.Extra, original);

  QByteArray answer;
  QByteArray seen;
  zip.OnFileExtra = [&](TZipArchiver&, const QString&, QByteArray& d, bool& changed) {
    seen = d;
    d = answer;
    changed = true;
  };
  answer = QByteArray(10, 'e');
  Rec small(&zip, ZIPCB_EXTRA_DATA, 0, 3, "f");
  small.r.Msg.X.Extra = original;
  small.Call();
  EXPECT_EQ(seen, QByteArray("\x01\x02\x03", 3));
  EXPECT_EQ(small.r.Error, -1);
  EXPECT_EQ(small.r.Size, 10);
  EXPECT_EQ(std::memcmp(small.r.Msg.Text, answer.constData(), 10), 0);

  answer = QByteArray(600, 'L');
  Rec large(&zip, ZIPCB_EXTRA_DATA, 0, 0, "f");
  large.Call();
  EXPECT_EQ(large.r.Size, 600);
  ASSERT_NE(large.r.Msg.X.Extra, nullptr);
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(large.r.Msg.X.Extra), 600), answer);
}

TEST(DispatchData, StreamMemory) {
  FakeUiServices ui;
  TZipArchiver zip;
  Rec rec(&zip, ZIPCB_STREAM_MEMORY, 0, 100);
  rec.Call();
  EXPECT_EQ(rec.r.Error, 0);
  EXPECT_EQ(zip.ZipStream().Size(), 100u);
  EXPECT_EQ(rec.r.Msg.X.Extra, zip.ZipStream().Memory());
}

// ---- Passwords ---------------------------------------------------------------------------------

struct PasswordCase {
  const char* name;
  bool handler;
  QString given;  // what the handler answers
  TPasswordButton action;
  uint32_t repeatAnswer;
  int32_t result, answerError, answerSize, answerAction;
  std::string answerText;  // checked when answerError is 1
};

const PasswordCase kPasswordCases[] = {
    {"handler answers", true, "pw", pwbOk, 3, 0, 1, 3, ZIPCB_PASSWORD, "pw"},
    // The one password limit of every road (81, what adding encrypts with).
    {"long answer cut to 81", true, QString(100, u'p'), pwbOk, 20, 0, 1, 15, ZIPCB_PASSWORD, std::string(81, 'p')},
    {"empty answer resets the count", true, "", pwbOk, 5, 0, 0, 0, ZIPCB_PASSWORD, ""},
    {"cancel empties the answer", true, "pw", pwbCancel, 5, 0, 0, 0, ZIPCB_PASSWORD, ""},
    {"cancel all stops asking", true, "pw", pwbCancelAll, 5, 0, 0, 0, 0, ""},
    {"abort cancels", true, "pw", pwbAbort, 5, -1, 0, 0, ZIPCB_PASSWORD, ""},
};

class Password : public ::testing::TestWithParam<PasswordCase> {};

TEST_P(Password, Answer) {
  const PasswordCase& c = GetParam();
  FakeUiServices ui;
  TZipArchiver zip;
  std::string seen;
  zip.OnPasswordError = [&](TZipArchiver&, bool isZip, QString& pw, const QString& file, uint32_t& repeat,
                            TPasswordButton& action) {
    seen = std::to_string(isZip) + " '" + S(file) + "' " + std::to_string(repeat);
    pw = c.given;
    repeat = c.repeatAnswer;
    action = c.action;
  };
  Rec rec(&zip, ZIPCB_PASSWORD, 1, 2, "secret.txt");
  rec.r.IsZip = 1;
  EXPECT_EQ(rec.Call(), c.result);
  EXPECT_EQ(seen, "1 'secret.txt' 2");
  EXPECT_EQ(rec.r.Error, c.answerError);
  EXPECT_EQ(rec.r.Size, c.answerSize);
  EXPECT_EQ(rec.r.Action, c.answerAction);
  if (c.answerError == 1) {
    EXPECT_EQ(std::string(rec.r.Msg.Text), c.answerText);
  }
}

INSTANTIATE_TEST_SUITE_P(Callback, Password, ::testing::ValuesIn(kPasswordCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& ch : n)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
});

TEST(PasswordDefault, UnattendedReportsAndAnswersNothing) {
  FakeUiServices ui;
  TZipArchiver zip;
  zip.SetUnattended(true);
  Log log;
  BindAll(zip, log);
  Rec add(&zip, ZIPCB_PASSWORD, 1, 3, "f");  // error bit 0: the adding library asks
  EXPECT_EQ(add.Call(), 0);
  EXPECT_EQ(add.r.Error, 0);
  EXPECT_EQ(add.r.Size, 0);
  Rec extract(&zip, ZIPCB_PASSWORD, 0, 3, "f");
  extract.Call();
  EXPECT_EQ(log, (Log{"Message 0 'Error - no add password given'", "Message 0 'Error - no extract password given'"}));
  EXPECT_EQ(zip.ErrCode(), kZipNoExtractPassword);
  EXPECT_TRUE(ui.boxes.empty());
}

// The questions without a handler go to the component's own password prompts.
class PromptingZip : public TZipArchiver {
 public:
  std::vector<std::string> asked;
  QString answer;
  TPasswordButton button = pwbOk;

 protected:
  void GetAddPassword(QString& pw) override {
    asked.push_back("add");
    pw = answer;
    lastPasswordButton_ = button;
  }
  void GetExtrPassword(QString& pw) override {
    asked.push_back("extract");
    pw = answer;
    lastPasswordButton_ = button;
  }
};

TEST(PasswordDefault, AsksTheComponentsOwnPrompt) {
  FakeUiServices ui;
  PromptingZip zip;
  zip.answer = "typed";
  Rec add(&zip, ZIPCB_PASSWORD, 1, 2, "f");
  add.Call();
  EXPECT_EQ(add.r.Error, 1);
  EXPECT_STREQ(add.r.Msg.Text, "typed");
  EXPECT_EQ(add.r.Size, 2);
  zip.answer.clear();
  zip.button = pwbCancelAll;
  Rec extract(&zip, ZIPCB_PASSWORD, 0, 2, "f");
  extract.Call();
  EXPECT_EQ(extract.r.Action, 0);
  zip.button = pwbAbort;
  EXPECT_EQ(Rec(&zip, ZIPCB_PASSWORD, 0, 2, "f").Call(), -1);
  EXPECT_EQ(zip.asked, (std::vector<std::string>{"add", "extract", "extract"}));
  EXPECT_TRUE(zip.Password().isEmpty());  // the answer went to the library only
}

}  // namespace
