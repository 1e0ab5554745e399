#include "card/version_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "support/temp_dir.h"

namespace {

const std::string kWith = std::string(TARVI_BIN_DIR) + "/libtarviverinfofixture.so";
const std::string kWithout = std::string(TARVI_BIN_DIR) + "/libtarvinoverinfofixture.so";

void PutU32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
}

struct Record {
  std::string magic = "TVERINFO";
  std::vector<uint32_t> translations = {0x04E2041A};
  uint32_t fixedSize = 52;
  uint32_t fileMS = 0x00020005, fileLS = 0x00000001;
  uint32_t productMS = 0x00020005, productLS = 0x00000001;
  uint32_t mask = 0x3F, flags = 0;
  std::string strings;

  std::string Bytes() const {
    std::string s = magic;
    PutU32(s, static_cast<uint32_t>(translations.size()));
    for (uint32_t t : translations) PutU32(s, t);
    PutU32(s, fixedSize);
    std::string fixed;
    for (uint32_t w : {0xFEEF04BDu, 0x10000u, fileMS, fileLS, productMS, productLS, mask, flags, 0u, 2u, 0u, 0u, 0u})
      PutU32(fixed, w);
    fixed.resize(fixedSize, '\0');
    s += fixed;
    PutU32(s, static_cast<uint32_t>(strings.size()));
    return s + strings;
  }
};

// A copy of the record-less library with the given bytes as its version section,
// made by binutils rather than by our own writer.
class VersionInfo : public ::testing::Test {
 protected:
  std::string WithSection(const std::string& bytes, const std::string& name = "crafted.so") {
    const std::string blob = dir_.file(name + ".bin"), out = dir_.file(name);
    WriteAll(blob, bytes);
    std::string log;
    EXPECT_EQ(::Run("objcopy --add-section .tarvi_verinfo='" + blob + "' '" + kWithout + "' '" + out + "' 2>&1", &log),
              0)
        << log;
    return out;
  }
  static QString Q(const std::string& s) { return QString::fromStdString(s); }

  TempDir dir_{"verinfo"};
};

}  // namespace

TEST_F(VersionInfo, BuiltRecordGivesVersionsAndStrings) {
  EXPECT_EQ(GetVersionString(Q(kWith)), QStringLiteral("2.5.0.1"));
  EXPECT_EQ(GetFileMajorVersion(Q(kWith)), QStringLiteral("2"));
  TVerInfoRes info(Q(kWith));
  EXPECT_EQ(info.Translation(), 0x04E2041Au);
  EXPECT_TRUE(info.Flags().isEmpty());
  EXPECT_EQ(info.FixedFileInfo().dwFileType, 2u);
  auto description = info.QueryValue(QStringLiteral("\\StringFileInfo\\041a04e2\\filedescription"));
  ASSERT_TRUE(description.has_value());
  EXPECT_EQ(*description, QByteArray("Ispitna knji\x9Enica \xE8\xE6\x9E\x9A\xF0"));  // code page 1250 bytes
  EXPECT_FALSE(info.QueryValue(QStringLiteral("\\StringFileInfo\\041A04E2\\CompanyName")).has_value());

  // A configured ".dll" name is found where the library of that name is loaded from.
  EXPECT_EQ(GetVersionString(QStringLiteral("TarviVerinfoFixture.dll")), QStringLiteral("2.5.0.1"));
}

TEST_F(VersionInfo, TheProgramReadsItsOwnRecord) {
  EXPECT_EQ(GetVersionInfoValue(QStringLiteral("FileDescription")), QStringLiteral("Tarvi Sealdesk – ispitni program"));
  EXPECT_EQ(GetVersionInfoValue(QStringLiteral("FileVersion")), QStringLiteral("3.1.4.1"));
  EXPECT_EQ(GetVersionInfoValue(QStringLiteral("LegalTrademarks")), QString());
}

TEST_F(VersionInfo, FilesWithoutARecordGiveEmptyTexts) {
  // The record's bytes in a file that has no such section must not be found: the
  // reader goes by section headers only.
  const std::string loose = dir_.file("loose.bin");
  std::string withBlob = ReadText(kWithout) + Record().Bytes();
  WriteAll(loose, withBlob);
  WriteAll(dir_.file("plain.txt"), Record().Bytes());

  for (const std::string& file : {kWithout, loose, dir_.file("plain.txt"), dir_.file("missing.so"), dir_.path()}) {
    EXPECT_EQ(GetVersionString(Q(file)), QString()) << file;
    EXPECT_EQ(GetFileMajorVersion(Q(file)), QString()) << file;
  }
  try {
    TVerInfoRes info(Q(kWithout));
    ADD_FAILURE() << "no exception";
  } catch (const ENoVerInfoError& e) {
    EXPECT_STREQ(e.what(), "No Version Info Available.");
  }
}

TEST_F(VersionInfo, FlagsFollowTheMaskInTheirFixedOrder) {
  struct Case {
    uint32_t mask, flags;
    QStringList names;
  } cases[] = {
      {0x3F, 0x3F, {"Pre-release", "Private build", "Special build", "Debug"}},
      {0x3F, 0x21, {"Special build", "Debug"}},
      {0x0A, 0x3F, {"Pre-release", "Private build"}},
      {0x3F, 0x04, {}},  // "patched" is not listed
  };
  int n = 0;
  for (const Case& c : cases) {
    Record r;
    r.mask = c.mask;
    r.flags = c.flags;
    TVerInfoRes info(Q(WithSection(r.Bytes(), "flags" + std::to_string(n++) + ".so")));
    EXPECT_EQ(info.Flags(), c.names) << c.mask << " " << c.flags;
  }
}

TEST_F(VersionInfo, MajorVersionComesFromTheProductVersion) {
  Record r;
  r.fileMS = 0x00020005;
  r.productMS = 0xFFFF0001;  // 65535.1.0.7: every word is printed unsigned
  r.productLS = 0x00000007;
  const QString file = Q(WithSection(r.Bytes()));
  EXPECT_EQ(GetVersionString(file), QStringLiteral("2.5.0.1"));
  EXPECT_EQ(TVerInfoRes(file).ProductVersion(), QStringLiteral("65535.1.0.7"));
  EXPECT_EQ(GetFileMajorVersion(file), QStringLiteral("65535"));

  CK_VERSION library{3, 14};
  EXPECT_EQ(GetModuleMajorVersion(Q(kWith), library), QStringLiteral("2"));
  EXPECT_EQ(GetModuleMajorVersion(Q(kWithout), library), QStringLiteral("3"));  // from C_GetInfo
}

TEST_F(VersionInfo, DamagedRecordsRaiseTheirErrorAndGiveEmptyTexts) {
  Record shortFixed;
  shortFixed.fixedSize = 40;
  Record noLanguage;
  noLanguage.translations.clear();
  Record badMagic;
  badMagic.magic = "TVERINFX";
  Record hugeTranslationCount;
  hugeTranslationCount.translations.clear();
  std::string hugeCount = hugeTranslationCount.Bytes();
  hugeCount[8] = '\xFF';
  hugeCount[9] = '\xFF';
  std::string cut = Record().Bytes().substr(0, 8 + 4 + 4 + 4 + 30);  // ends inside the fixed record

  struct Case {
    std::string bytes;
    std::string message;
  } cases[] = {
      {shortFixed.Bytes(), "No fixed file info"},        {cut, "No fixed file info"},
      {noLanguage.Bytes(), "No language info."},         {hugeCount, "No language info."},
      {badMagic.Bytes(), "Cannot obtain version info."}, {"", "Cannot obtain version info."},
  };
  int n = 0;
  for (const Case& c : cases) {
    const QString file = Q(WithSection(c.bytes, "damaged" + std::to_string(n++) + ".so"));
    EXPECT_EQ(GetVersionString(file), QString()) << c.message;
    EXPECT_EQ(GetFileMajorVersion(file), QString()) << c.message;
    try {
      TVerInfoRes info(file);
      ADD_FAILURE() << "no exception for " << c.message;
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
  // A string table that runs past the end is ignored; the numbers still count.
  Record badStrings;
  std::string bytes = badStrings.Bytes();
  bytes[bytes.size() - 4] = '\x7F';
  const QString file = Q(WithSection(bytes, "strings.so"));
  EXPECT_EQ(GetVersionString(file), QStringLiteral("2.5.0.1"));
  EXPECT_FALSE(TVerInfoRes(file).QueryValue(QStringLiteral("\\StringFileInfo\\041A04E2\\FileVersion")).has_value());
}
