// The document validator: containers assembled by the fixture pass; every file the
// strict reader refuses, and every file the classic walk refuses, is not a
// container for the validator either.
#include "signing/document_validator.h"

#include <gtest/gtest.h>

#include <QFile>

#include "container_fixture.h"
#include "signing/container.h"
#include "support/temp_dir.h"

namespace {

using sgnvalidator::IsKnownTag;
using sgnvalidator::WalkSignedDocument;

TestContainer Plain(size_t payloadBytes, int signers) { return TestPlainContainer(payloadBytes, signers, 200); }

bool Validate(const std::string& text) {
  SgnMemorySource src(text);
  return ValidateSignedDocument(src);
}
bool Walk(const std::string& text) {
  SgnMemorySource src(text);
  return WalkSignedDocument(src);
}
bool ReaderAccepts(const std::string& text) {
  SgnMemorySource src(text);
  SgnLayout l;
  return ReadSignedContainer(src, l);
}

std::string Replaced(std::string t, const std::string& from, const std::string& to) {
  size_t p = t.find(from);
  EXPECT_NE(p, std::string::npos) << from;
  if (p != std::string::npos) t.replace(p, from.size(), to);
  return t;
}

}  // namespace

TEST(DocumentValidator, ContainersOfTheLayoutAreValid) {
  struct Case {
    const char* name;
    size_t payload;
    int signers;
    std::string dtd;
  } cases[] = {
      {"one signer", 1000, 1, ""},
      {"three signers", 3000, 3, "FileUpload.dtd"},
      {"payload ending in CR LF (2304 bytes)", 2304, 2, ""},
      {"payload beyond the token limit", 200000, 1, "x.dtd"},
      {"empty payload", 0, 1, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TestContainer c = Plain(k.payload, k.signers);
    c.dtd = k.dtd;
    EXPECT_TRUE(Validate(c.text()));
  }

  // Real signatures from the independent maker, through an open file.
  TestIdentity a = MakeTestIdentity({.cn = "A"}), b = MakeTestIdentity({.cn = "B"}, nullptr, 1);
  TestContainer c = MakeTestContainer({&a, &b}, 5000);
  TempDir dir;
  WriteAll(dir.file("a.sgn"), c.text());
  QFile f(QString::fromStdString(dir.file("a.sgn")));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_TRUE(ValidateSignedDocument(f));

  QFile closed(QString::fromStdString(dir.file("a.sgn")));
  EXPECT_FALSE(ValidateSignedDocument(closed));
}

TEST(DocumentValidator, TagGrammar) {
  struct Row {
    std::string token;
    bool known;
  } rows[] = {
      {"<?xml version= ?>", true},
      {"<<?xml version= ?>", false},  // more than one "<"
      {"<!DOCTYPE FileUpload SYSTEM >", true},
      {"<File compress= encoding=>", true},
      {"<FileUpload>", true},
      {"</FileUpload>", true},
      {"<TimeStamp>", true},
      {"</File>", true},
      {"<Signer>", true},
      {"< Sign\t>", true},
      {"<Certificate\r\n>", true},
      {"<Sign1>", false},
      {"<Time>", false},
      {"</Time>", false},
      {"<![CDATA[]]>", false},
      {"<a-File>", false},
      {"<File", false},
      {"", false},
  };
  for (const Row& r : rows) EXPECT_EQ(IsKnownTag(r.token), r.known) << r.token;
}

// The edge cases of the classic walk, each also refused by the validator.
TEST(DocumentValidator, WalkEdgeCases) {
  const TestContainer c = Plain(1500, 2);
  const std::string good = c.text();
  ASSERT_TRUE(Walk(good));

  std::string noHeader = Replaced(good, "!DOCTYPE", "!DOCTYPX");
  std::string lateHeader = std::string(65536, ' ') + good;
  std::string zeroFirst = std::string(1, '\0') + good;
  std::string cutAfterSigner = good.substr(0, good.rfind("\r\n</FileUpload>"));
  std::string noSign = Replaced(good, "<Sign>\r\n" + TestHexUpper(c.signers[0].sig) + "\r\n</Sign>\r\n", "");
  std::string renamed = Replaced(good, "<Signer>", "<Signer1>");

  struct Row {
    const char* name;
    std::string text;
  } rows[] = {
      {"DOCTYPE missing", noHeader},
      {"header words only after 65536 bytes", lateHeader},
      {"zero byte before the header", zeroFirst},
      {"cut after a Signer", cutAfterSigner},
      {"CR LF after </FileUpload>", good + "\r\n"},
      {"Signer without Sign", noSign},
      {"Signer tag with a digit is text", renamed},
      {"no signer at all", Plain(100, 0).text()},
      {"no </File>", Replaced(good, "</File>", "</Fil>")},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_FALSE(Walk(r.text));
    EXPECT_FALSE(Validate(r.text));
  }
}

// Whatever the strict reader refuses, the validator refuses too, including the
// files that the classic walk alone would take for a container.
TEST(DocumentValidator, RefusesEveryFileTheReaderRefuses) {
  const TestContainer c = Plain(3000, 2);
  const std::string good = c.text();
  std::string payloadTag = good;
  payloadTag.insert(good.find("<![CDATA[\r\n") + 11, "</File>\r\n");

  struct Row {
    std::string name;
    std::string text;
  };
  // Beyond the reader's own table: files whose stray bytes sit where the classic
  // walk does not look.
  std::vector<Row> rows = {
      {"a tag inside the payload", payloadTag},
      {"a blank after </FileUpload>", good + " "},  // a text token: the walk alone ignores it
      {"text between the elements", Replaced(good, "</Certificate>", "</Certificate>x")},
      {"<Sign> in place of <Signer>", Replaced(good, "<Signer>", "<Sign>")},
  };
  for (const MalformedContainer& m : MalformedContainerCases()) rows.push_back({m.name, m.text});
  int walkAlone = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_FALSE(ReaderAccepts(r.text));
    EXPECT_FALSE(Validate(r.text));
    walkAlone += Walk(r.text);
  }
  // The walk reads neither the payload nor the text between tags, so on its own
  // it would let several of these through.
  EXPECT_GT(walkAlone, 5);
}
