// Object searches over a module plugged straight into the table: every search that
// began ends exactly once, whichever step fails and whoever searched, and a failure
// box comes before the search ends, as it did before the finder was shared.
#include "card/object_search.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "card/card_objects.h"
#include "card/cryptoki.h"
#include "platform/fake_ui_services.h"

namespace {

// The calls in order; a failed call carries "!".
std::vector<std::string> g_log;
std::string g_failStep;
int g_failNth = 0;
std::map<std::string, int> g_seen;

CK_RV Step(const std::string& name) {
  const bool fail = name == g_failStep && ++g_seen[name] == g_failNth;
  g_log.push_back(fail ? name + "!" : name);
  return fail ? CKR_DEVICE_ERROR : CKR_OK;
}

CK_RV FakeInit(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) { return Step("Init"); }
// Two objects on the card, whatever is asked for.
CK_RV FakeFind(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR found, CK_ULONG max, CK_ULONG_PTR n) {
  const CK_RV rv = Step("Find");
  if (rv != CKR_OK) return rv;
  *n = std::min<CK_ULONG>(max, 2);
  for (CK_ULONG i = 0; i < *n; ++i) found[i] = 7 + i;
  return CKR_OK;
}
CK_RV FakeFinal(CK_SESSION_HANDLE) { return Step("Final"); }
// No object has any attribute the pairing asks for.
CK_RV FakeAttr(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
  return Step("Attr") == CKR_OK ? CKR_ATTRIBUTE_TYPE_INVALID : CKR_DEVICE_ERROR;
}

class LoggingUi : public FakeUiServices {
 public:
  int messageBox(MsgKind kind, const QString& text, const QString& caption) override {
    g_log.push_back("Box");
    return FakeUiServices::messageBox(kind, text, caption);
  }
};

// Every Find and Final inside a begun search, and none left open.
void ExpectBalanced(const std::vector<std::string>& log) {
  bool searching = false;
  for (const std::string& call : log) {
    if (call == "Init") {
      EXPECT_FALSE(searching);
      searching = true;
    } else if (call.rfind("Find", 0) == 0) {
      EXPECT_TRUE(searching);
    } else if (call.rfind("Final", 0) == 0) {
      EXPECT_TRUE(searching);
      searching = false;
    }
  }
  EXPECT_FALSE(searching);
}

class ObjectSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearCryptokiTable();
    Cryptoki.C_FindObjectsInit = FakeInit;
    Cryptoki.C_FindObjects = FakeFind;
    Cryptoki.C_FindObjectsFinal = FakeFinal;
    Cryptoki.C_GetAttributeValue = FakeAttr;
  }
  void TearDown() override { ClearCryptokiTable(); }
  void Arrange(const std::string& step, int nth) {
    g_log.clear();
    g_seen.clear();
    g_failStep = step;
    g_failNth = nth;
  }
  LoggingUi ui_;
};

using Log = std::vector<std::string>;

TEST_F(ObjectSearch, EverySearchEndsOnceWhateverFails) {
  const Log attrs6(6, "Attr");
  auto join = [](std::initializer_list<Log> parts) {
    Log all;
    for (const Log& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  struct Case {
    const char* what;
    bool certificate;  // FindUserCertificateObject, else FindPrivateKeys with boxes
    std::string step;
    int nth;
    int result;
    Log log;
  };
  const std::vector<Case> cases = {
      {"keys: all well", false, "", 0, 2, {"Init", "Find", "Final"}},
      {"keys: the start fails", false, "Init", 1, -1, {"Init!", "Box"}},
      {"keys: the search fails", false, "Find", 1, -2, {"Init", "Find!", "Box", "Final"}},
      {"keys: the end fails", false, "Final", 1, -3, {"Init", "Find", "Final!", "Box"}},
      {"pair: none belongs", true, "", 0, 0,
       join({{"Init", "Find", "Final"}, attrs6, {"Init", "Find", "Final"}, Log(4, "Attr")})},
      {"pair: a key's attribute fails", true, "Attr", 2, -1, {"Init", "Find", "Final", "Attr", "Attr!"}},
      {"pair: the certificate search fails midway", true, "Find", 2, -1,
       join({{"Init", "Find", "Final"}, attrs6, {"Init", "Find!", "Final"}})},
      {"pair: the certificate search does not end", true, "Final", 2, -1,
       join({{"Init", "Find", "Final"}, attrs6, {"Init", "Find", "Final!"}})},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Arrange(k.step, k.nth);
    CK_OBJECT_HANDLE handles[4] = {};
    TUserCertificateObject user;
    const int result = k.certificate ? FindUserCertificateObject(1, user) : FindPrivateKeys(1, handles, 4, true);
    EXPECT_EQ(result, k.result);
    EXPECT_EQ(g_log, k.log);
    ExpectBalanced(g_log);
  }
}

TEST_F(ObjectSearch, TheFinderEndsWhatItBeganOnEveryRoad) {
  CK_OBJECT_HANDLE handles[4] = {};
  CK_ULONG found = 0;
  Arrange("Find", 1);
  {
    TObjectSearch search(1, nullptr, 0);
    EXPECT_EQ(search.Next(handles, 4, found), CKR_DEVICE_ERROR);
    EXPECT_EQ(found, 0u);
  }
  EXPECT_EQ(g_log, (Log{"Init", "Find!", "Final"}));

  // Ended by the caller, for its result: not ended again.
  Arrange("Final", 1);
  {
    TObjectSearch search(1, nullptr, 0);
    EXPECT_EQ(search.Next(handles, 1, found), CKR_OK);
    EXPECT_EQ(found, 1u);  // never more than asked for
    EXPECT_EQ(search.Finish(), CKR_DEVICE_ERROR);
    EXPECT_EQ(search.Finish(), CKR_OK);
  }
  EXPECT_EQ(g_log, (Log{"Init", "Find", "Final!"}));

  // A search that never began is not ended.
  Arrange("Init", 1);
  { TObjectSearch search(1, nullptr, 0); }
  EXPECT_EQ(g_log, Log{"Init!"});
}

}  // namespace
