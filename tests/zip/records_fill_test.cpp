// Filling the two parameter records from the component's properties.
#include <gtest/gtest.h>

#include <QDir>
#include <cstring>
#include <functional>
#include <string>

#include "support/temp_dir.h"
#include "zip/zip_archiver.h"

namespace {

std::string Str(const char* p) { return p ? std::string(p) : std::string("<null>"); }

const AddStoreExts kDataModuleSuffixes = AddStoreExts::Range(assGIF, assLHA);

// ---- ZIP record: one slot per case -------------------------------------------------

struct ZipCase {
  const char* name;
  std::function<void(TZipArchiver&)> setup;
  std::function<int64_t(const ZipRec&)> slot;
  int64_t expected;
};

#define ZSLOT(f) [](const ZipRec& r) -> int64_t { return r.f; }
#define NOSETUP [](TZipArchiver&) {}
#define OPTS(...) [](TZipArchiver& z) { z.SetAddOptions({__VA_ARGS__}); }

const ZipCase kZipCases[] = {
    {"version is fixed", NOSETUP, ZSLOT(Version), 173},
    {"sentinel", NOSETUP, ZSLOT(Seven), 7},
    {"always on", NOSETUP, ZSLOT(AlwaysOn), -1},
    {"level from Create", NOSETUP, ZSLOT(Level), 9},
    {"level as set", [](TZipArchiver& z) { z.SetAddCompLevel(3); }, ZSLOT(Level), 3},
    // Inverted flags: on while the option is off.
    {"separate dirs off -> no dir entries", NOSETUP, ZSLOT(NoDirEntries), -1},
    {"separate dirs on", OPTS(AddSeparateDirs), ZSLOT(NoDirEntries), 0},
    {"dir names off -> junk dirs", NOSETUP, ZSLOT(JunkDirs), -1},
    {"dir names on", OPTS(AddDirNames), ZSLOT(JunkDirs), 0},
    {"safe off -> not safe", NOSETUP, ZSLOT(NotSafe), -1},
    {"safe on", OPTS(AddSafe), ZSLOT(NotSafe), 0},
    // Plain flags: -1 for on, never 1.
    {"encrypt off", NOSETUP, ZSLOT(Encrypt), 0},
    {"encrypt", OPTS(AddEncrypt), ZSLOT(Encrypt), -1},
    {"hidden", OPTS(AddHiddenFiles), ZSLOT(Hidden), -1},
    {"volume", OPTS(AddVolume), ZSLOT(Volume), -1},
    {"from date", OPTS(AddFromDate), ZSLOT(FromDate), -1},
    {"force dos", OPTS(AddForceDOS), ZSLOT(ForceDos), -1},
    {"move", OPTS(AddMove), ZSLOT(Move), -1},
    {"update", OPTS(AddUpdate), ZSLOT(Update), -1},
    {"freshen", OPTS(AddFreshen), ZSLOT(Freshen), -1},
    {"freshen loses to update", OPTS(AddFreshen, AddUpdate), ZSLOT(Freshen), 0},
    {"update beside freshen", OPTS(AddFreshen, AddUpdate), ZSLOT(Update), -1},
    {"zip time", OPTS(AddZipTime), ZSLOT(ZipTime), -1},
    {"recurse off", NOSETUP, ZSLOT(Recurse), 0},
    {"recurse", OPTS(AddRecurseDirs), ZSLOT(Recurse), 65535},
    {"archive only is 1", OPTS(AddArchiveOnly), ZSLOT(ArchiveOnly), 1},
    {"reset archive is 1", OPTS(AddResetArchive), ZSLOT(ResetArchive), 1},
    {"trace", [](TZipArchiver& z) { z.SetTrace(true); }, ZSLOT(Trace), -1},
    {"trace turns verbose on", [](TZipArchiver& z) { z.SetTrace(true); }, ZSLOT(Verbose), -1},
    {"verbose", [](TZipArchiver& z) { z.SetVerbose(true); }, ZSLOT(Verbose), -1},
    {"verbose leaves trace", [](TZipArchiver& z) { z.SetVerbose(true); }, ZSLOT(Trace), 0},
    {"allow undo by default", NOSETUP, ZSLOT(AllowUndo), -1},
    {"final delete", [](TZipArchiver& z) { z.SetHowToDelete(htdFinal); }, ZSLOT(AllowUndo), 0},
    {"code page auto", NOSETUP, ZSLOT(CodePage), 0},
    {"code page none", [](TZipArchiver& z) { z.SetCodePage(cpNone); }, ZSLOT(CodePage), 0},
    {"code page OEM", [](TZipArchiver& z) { z.SetCodePage(cpOEM); }, ZSLOT(CodePage), 2},
    {"window handle", NOSETUP, [](const ZipRec& r) -> int64_t { return r.Handle != 0; }, 1},
    {"no window when unattended", [](TZipArchiver& z) { z.SetUnattended(true); }, ZSLOT(Handle), 0},
    {"no exclusions", NOSETUP, ZSLOT(ExclCount), 0},
    {"no exclusion array", NOSETUP, [](const ZipRec& r) -> int64_t { return r.Excl != nullptr; }, 0},
    {"spec count",
     [](TZipArchiver& z) {
       z.SetFSpecArgs({"a", "b", "c"});
     },
     ZSLOT(SpecCount), 3},
    {"no spec array without lines", NOSETUP, [](const ZipRec& r) -> int64_t { return r.Specs != nullptr; }, 0},
};

class ZipSlot : public ::testing::TestWithParam<ZipCase> {};

TEST_P(ZipSlot, Value) {
  TZipArchiver zip;
  GetParam().setup(zip);
  auto p = zip.FillZipLibRecord("/tmp/a.zip");
  EXPECT_EQ(GetParam().slot(p->rec), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Records, ZipSlot, ::testing::ValuesIn(kZipCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
});

// ---- ZIP record: texts --------------------------------------------------------------

struct TextCase {
  const char* name;
  std::function<void(TZipArchiver&)> setup;
  std::function<const char*(const ZipRec&)> slot;
  std::string expected;  // "<null>" for a null slot
};

#define TEXT(f) [](const ZipRec& r) -> const char* { return r.f; }

const TextCase kTextCases[] = {
    {"empty password is null", NOSETUP, TEXT(Password), "<null>"},
    {"password", [](TZipArchiver& z) { z.SetPassword("secret"); }, TEXT(Password), "secret"},
    {"password cut to 81", [](TZipArchiver& z) { z.SetPassword(QString(100, u'p')); }, TEXT(Password),
     std::string(81, 'p')},
    {"password of 81 whole", [](TZipArchiver& z) { z.SetPassword(QString(81, u'q')); }, TEXT(Password),
     std::string(81, 'q')},
    {"store suffixes of Create", NOSETUP, TEXT(StoreSuffixes),
     ".gif:.png:.z:.zip:.zoo:.arc:.lzh:.arj:.taz:.tgz:.lha:.rar:.ace:.cab:.gz:.gzip:.jar"},
    {"store suffixes of the data module", [](TZipArchiver& z) { z.SetAddStoreSuffixes(kDataModuleSuffixes); },
     TEXT(StoreSuffixes), ".gif:.png:.z:.zip:.zoo:.arc:.lzh:.arj:.taz:.tgz:.lha"},
    {"no store suffixes is null", [](TZipArchiver& z) { z.SetAddStoreSuffixes({}); }, TEXT(StoreSuffixes), "<null>"},
    {"exe suffix",
     [](TZipArchiver& z) {
       z.SetAddStoreSuffixes({assGIF, assEXE});
     },
     TEXT(StoreSuffixes), ".gif:.exe"},
    {"extra suffixes appended",
     [](TZipArchiver& z) {
       z.SetAddStoreSuffixes(kDataModuleSuffixes);
       z.SetExtAddStoreSuffixes("DOC;pdf");
     },
     TEXT(StoreSuffixes), ".gif:.png:.z:.zip:.zoo:.arc:.lzh:.arj:.taz:.tgz:.lha:.doc:.pdf"},
    {"extra suffixes alone",
     [](TZipArchiver& z) {
       z.SetAddStoreSuffixes({});
       z.SetExtAddStoreSuffixes(".zip, .rar");
     },
     TEXT(StoreSuffixes), ".zip:. .rar"},
    {"archive name", NOSETUP, TEXT(Archive), "/tmp/a.zip"},
    {"empty temp dir is null", NOSETUP, TEXT(TempDir), "<null>"},
    {"temp dir", [](TZipArchiver& z) { z.SetTempDir("/var/tmp/x"); }, TEXT(TempDir), "/var/tmp/x"},
    {"no comment is null", NOSETUP, TEXT(Comment), "<null>"},
};

class ZipText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ZipText, Value) {
  TZipArchiver zip;
  GetParam().setup(zip);
  auto p = zip.FillZipLibRecord("/tmp/a.zip");
  EXPECT_EQ(Str(GetParam().slot(p->rec)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Records, ZipText, ::testing::ValuesIn(kTextCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
});

TEST(ZipRecord, DateIsMonthDayYearWithoutNul) {
  TZipArchiver zip;
  auto p = zip.FillZipLibRecord("a.zip");
  EXPECT_EQ(std::string(p->rec.Date, 8), "12 30 99");  // the date of serial number 0
  zip.SetAddFrom(QDate(2024, 3, 7));
  p = zip.FillZipLibRecord("a.zip");
  EXPECT_EQ(std::string(p->rec.Date, 8), "03 07 24");
}

TEST(ZipRecord, PointsBackAtComponentAndCallback) {
  TZipArchiver zip;
  auto p = zip.FillZipLibRecord("a.zip");
  EXPECT_EQ(p->rec.Instance, &zip);
  EXPECT_EQ(p->rec.Callback, &DllCallback);
}

TEST(ZipRecord, UnnamedBytesStayZero) {
  TZipArchiver zip;
  zip.SetAddOptions(AddOpts::FromBits(~uint64_t(0)));
  zip.SetFSpecArgs({"a", ">b<pw"});
  zip.SetRootDir("/r");
  auto p = zip.FillZipLibRecord("a.zip");
  const ZipRec& r = p->rec;
  EXPECT_EQ(r.Reserved40, 0);
  EXPECT_EQ(
      r.Reserved64[0] | r.Reserved64[1] | r.Reserved78 | r.Reserved92 | r.Reserved104 | r.Reserved144 | r.Reserved194,
      0);
  for (int32_t v : r.Reserved196) EXPECT_EQ(v, 0);
  for (uint8_t b : r.Streams) EXPECT_EQ(b, 0);
  for (int i = 0; i < r.SpecCount; ++i) {
    const ZipSpec& s = r.Specs[i];
    EXPECT_EQ(s.Reserved4[0] | s.Reserved4[1] | s.Reserved22 | s.Reserved24[0] | s.Reserved24[1] | s.Reserved24[2], 0);
    for (int32_t v : s.Reserved40) EXPECT_EQ(v, 0);
  }
}

TEST(ZipRecord, ExclusionsInOrder) {
  TZipArchiver zip;
  zip.SetFSpecArgsExcl({"*.bak", "tmp/*"});
  auto p = zip.FillZipLibRecord("a.zip");
  ASSERT_EQ(p->rec.ExclCount, 2);
  ASSERT_NE(p->rec.Excl, nullptr);
  EXPECT_EQ(Str(p->rec.Excl[0]), "*.bak");
  EXPECT_EQ(Str(p->rec.Excl[1]), "tmp/*");
}

// ---- File-argument entries ----------------------------------------------------------

struct SpecCase {
  const char* name;
  const char* line;
  bool recordEncrypt;  // AddEncrypt and Password "pw" for the record
  bool recordRecurse;
  std::string spec;
  std::string password;
  int32_t encrypt;
  uint16_t recurse;
};

const SpecCase kSpecCases[] = {
    {"plain line", "file.txt", false, false, "file.txt", "<null>", 0, 0},
    {"trimmed", "  spaced.txt  ", false, false, "spaced.txt", "<null>", 0, 0},
    {"record password and flag", "b.txt", true, false, "b.txt", "pw", -1, 0},
    {"record recursion", "*.c", false, true, "*.c", "<null>", 0, 65535},
    {"leading > recurses", ">src/*.c", false, false, "src/*.c", "<null>", 0, 65535},
    {"leading | does not", "|src/*.c", false, true, "src/*.c", "<null>", 0, 0},
    {"line password", "a.txt<secret", false, false, "a.txt", "secret", 65535, 0},
    {"line password over the record's", "a.txt<mine", true, false, "a.txt", "mine", 65535, 0},
    {"bare < switches encryption off", "a.txt<", true, false, "a.txt", "<null>", 0, 0},
    {"< and a blank switch it off", "a.txt< x", true, false, "a.txt", "<null>", 0, 0},
    {"all three", ">d/*.txt <pw2", false, false, "d/*.txt", "pw2", 65535, 65535},
};

class SpecEntry : public ::testing::TestWithParam<SpecCase> {};

TEST_P(SpecEntry, Fields) {
  const SpecCase& c = GetParam();
  TZipArchiver zip;
  AddOpts opts;
  if (c.recordEncrypt) {
    opts.Include(AddEncrypt);
    zip.SetPassword("pw");
  }
  if (c.recordRecurse) opts.Include(AddRecurseDirs);
  zip.SetAddOptions(opts);
  zip.SetFSpecArgs({QString::fromUtf8(c.line)});
  auto p = zip.FillZipLibRecord("a.zip");
  ASSERT_EQ(p->rec.SpecCount, 1);
  const ZipSpec& s = p->rec.Specs[0];
  EXPECT_EQ(Str(s.Spec), c.spec);
  EXPECT_EQ(Str(s.Password), c.password);
  EXPECT_EQ(s.Encrypt, c.encrypt);
  EXPECT_EQ(s.Recurse, c.recurse);
  EXPECT_EQ(s.RootDir, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Records, SpecEntry, ::testing::ValuesIn(kSpecCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
});

TEST(SpecEntryLiteral, ExistingFileIsTakenAsItStands) {
  // "<", ">" and "|" are ordinary characters in Linux file names: a line that
  // names an existing file must not turn into a password or a recursion flag.
  TempDir dir;
  const std::string weird = dir.file("a<b.pdf");
  WriteAll(weird, "x");
  const std::string arrow = dir.file(">x.txt");
  WriteAll(arrow, "y");
  TZipArchiver zip;
  zip.SetFSpecArgs({QString::fromStdString(weird), ">x.txt", QString::fromStdString(dir.file("a<b.pdf")) + "  "});
  zip.SetRootDir(QString::fromStdString(dir.path()));
  auto p = zip.FillZipLibRecord("a.zip");
  ASSERT_EQ(p->rec.SpecCount, 3);
  EXPECT_EQ(Str(p->rec.Specs[0].Spec), weird);
  EXPECT_EQ(p->rec.Specs[0].Password, nullptr);
  EXPECT_EQ(p->rec.Specs[0].Encrypt, 0);
  EXPECT_EQ(Str(p->rec.Specs[1].Spec), ">x.txt");  // relative to RootDir
  EXPECT_EQ(p->rec.Specs[1].Recurse, 0);
  EXPECT_EQ(Str(p->rec.Specs[2].Spec), weird);  // trimmed, then found
}

TEST(SpecEntryRoot, RootDirExpandedAndShared) {
  TZipArchiver zip;
  zip.SetFSpecArgs({"a", "b"});
  zip.SetRootDir("sub");
  auto p = zip.FillZipLibRecord("a.zip");
  const std::string expected = QDir::current().absoluteFilePath("sub").toStdString();
  EXPECT_EQ(Str(p->rec.Specs[0].RootDir), expected);
  EXPECT_EQ(Str(p->rec.Specs[1].RootDir), expected);
}

// ---- UNZ record -------------------------------------------------------------------------

struct UnzCase {
  const char* name;
  std::function<void(TZipArchiver&)> setup;
  std::function<int64_t(const UnzRec&)> slot;
  int64_t expected;
};

#define USLOT(f) [](const UnzRec& r) -> int64_t { return r.f; }
#define EOPTS(...) [](TZipArchiver& z) { z.SetExtrOptions({__VA_ARGS__}); }

const UnzCase kUnzCases[] = {
    {"version slot is the loaded one", NOSETUP, USLOT(Version), 186},
    {"sentinel", NOSETUP, USLOT(Seven), 7},
    {"always on", NOSETUP, USLOT(AlwaysOn), -1},
    {"test", EOPTS(ExtrTest), USLOT(Test), -1},
    {"update", EOPTS(ExtrUpdate), USLOT(Update), -1},
    {"freshen", EOPTS(ExtrFreshen), USLOT(Freshen), -1},
    {"freshen loses to update", EOPTS(ExtrFreshen, ExtrUpdate), USLOT(Freshen), 0},
    {"dir names", EOPTS(ExtrDirNames), USLOT(DirNames), -1},
    {"dir names off", NOSETUP, USLOT(DirNames), 0},
    {"code page auto", NOSETUP, USLOT(CodePage), 0},
    {"code page none", [](TZipArchiver& z) { z.SetCodePage(cpNone); }, USLOT(CodePage), 1},
    {"code page OEM", [](TZipArchiver& z) { z.SetCodePage(cpOEM); }, USLOT(CodePage), 2},
    {"overwrite", EOPTS(ExtrOverWrite), USLOT(Overwrite), -1},
    {"verbose", [](TZipArchiver& z) { z.SetVerbose(true); }, USLOT(Verbose), -1},
    {"trace", [](TZipArchiver& z) { z.SetTrace(true); }, USLOT(Trace), -1},
    {"trace turns verbose on", [](TZipArchiver& z) { z.SetTrace(true); }, USLOT(Verbose), -1},
    {"password count", [](TZipArchiver& z) { z.SetPasswordReqCount(3); }, USLOT(PasswordReqCount), 3},
    {"password count 0", [](TZipArchiver& z) { z.SetPasswordReqCount(0); }, USLOT(PasswordReqCount), 0},
    {"no window when unattended", [](TZipArchiver& z) { z.SetUnattended(true); }, USLOT(Handle), 0},
    {"all entries without lines", NOSETUP, USLOT(NameCount), 0},
    {"all entries after *.*",
     [](TZipArchiver& z) {
       z.SetFSpecArgs({"*.*", "a.txt"});
     },
     USLOT(NameCount), 0},
    {"names",
     [](TZipArchiver& z) {
       z.SetFSpecArgs({"a.txt", "*.*"});
     },
     USLOT(NameCount), 2},
    {"no name array for all", NOSETUP, [](const UnzRec& r) -> int64_t { return r.Names != nullptr; }, 0},
};

class UnzSlot : public ::testing::TestWithParam<UnzCase> {};

TEST_P(UnzSlot, Value) {
  TZipArchiver zip;
  GetParam().setup(zip);
  auto p = zip.FillUnzLibRecord("/tmp/a.zip", 186);
  EXPECT_EQ(GetParam().slot(p->rec), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Records, UnzSlot, ::testing::ValuesIn(kUnzCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
});

TEST(UnzRecord, Texts) {
  TZipArchiver zip;
  auto p = zip.FillUnzLibRecord("/tmp/a.zip", 173);
  EXPECT_EQ(Str(p->rec.Password), "");  // always a text, unlike the ZIP record
  EXPECT_EQ(Str(p->rec.Archive), "/tmp/a.zip");
  EXPECT_EQ(p->rec.ExtrBaseDir, nullptr);
  EXPECT_EQ(p->rec.Instance, &zip);
  EXPECT_EQ(p->rec.Callback, &DllCallback);

  zip.SetPassword(QString(100, u'w'));
  zip.SetExtrBaseDir("/out/dir");
  zip.SetFSpecArgs({"first.txt", "dir/second.txt"});
  p = zip.FillUnzLibRecord("/tmp/a.zip", 173);
  EXPECT_EQ(Str(p->rec.Password), std::string(81, 'w'));  // cut as adding cuts it
  EXPECT_EQ(Str(p->rec.ExtrBaseDir), "/out/dir");
  ASSERT_EQ(p->rec.NameCount, 2);
  EXPECT_EQ(Str(p->rec.Names[0].Name), "first.txt");
  EXPECT_EQ(Str(p->rec.Names[1].Name), "dir/second.txt");
  for (uint8_t b : p->rec.Names[1].Reserved4) EXPECT_EQ(b, 0);
  for (uint8_t b : p->rec.Streams) EXPECT_EQ(b, 0);
  EXPECT_EQ(p->rec.Reserved114, 0);
  for (int32_t v : p->rec.Reserved116) EXPECT_EQ(v, 0);
  EXPECT_EQ(p->rec.Reserved20 | p->rec.Reserved32[0] | p->rec.Reserved32[1], 0);
}

TEST(UnzRecord, NonAsciiNamesAreUtf8) {
  TZipArchiver zip;
  zip.SetFSpecArgs({QString::fromUtf8("čćžšđ.txt")});
  auto p = zip.FillUnzLibRecord(QString::fromUtf8("/tmp/ž.zip"), 173);
  EXPECT_EQ(Str(p->rec.Names[0].Name), "čćžšđ.txt");
  EXPECT_EQ(Str(p->rec.Archive), "/tmp/ž.zip");
}

}  // namespace
