// The component's own reader of archive directories: the end record, the central
// headers, the code-page rule, and every way a damaged directory ends.
#include <gtest/gtest.h>

#include <QFile>
#include <filesystem>

#include "outside/zip_builder.h"
#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"

using namespace ziptest;

namespace {

std::string S(const QString& s) { return s.toStdString(); }

class Directory : public ::testing::Test {
 protected:
  // Writes bytes as an archive and lists it.
  void ListBytes(const std::string& bytes, const std::string& name = "a.zip") {
    path_ = dir_.file(name);
    WriteAll(path_, bytes);
    zip_.SetZipFileName(QString::fromStdString(path_));
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (int i = 0; i < zip_.Count(); ++i) out.push_back(S(zip_.DirEntry(i).FileName));
    return out;
  }
  FakeUiServices ui_;
  TempDir dir_{"zipdir"};
  TZipArchiver zip_;
  std::string path_;
};

TEST_F(Directory, FieldsOfACentralHeader) {
  Built b = BuildZip({{.name = "dir\\file.txt",
                       .data = std::string(3000, 'x'),
                       .method = 8,
                       .host = 0,
                       .madeBy = 20,
                       .external = 0x21}});
  int dirUpdates = 0;
  std::vector<int> seqs;
  zip_.OnDirUpdate = [&](TZipArchiver&) { ++dirUpdates; };
  zip_.OnNewName = [&](TZipArchiver&, int32_t seq, const ZipDirEntry&) { seqs.push_back(seq); };
  ListBytes(b.bytes);
  ASSERT_EQ(zip_.Count(), 1);
  EXPECT_EQ(zip_.ErrCode(), 0);
  EXPECT_EQ(dirUpdates, 1);
  EXPECT_EQ(seqs, std::vector<int>{1});
  const ZipDirEntry& e = zip_.DirEntry(0);
  EXPECT_EQ(S(e.FileName), "dir/file.txt");  // "\" stored, "/" listed
  EXPECT_EQ(e.MadeByVersion, 20);
  EXPECT_EQ(e.HostSystem, 0);
  EXPECT_EQ(e.Method, 8);
  EXPECT_EQ(e.UncompressedSize, 3000u);
  EXPECT_EQ(e.CRC32, Crc(std::string(3000, 'x')));
  EXPECT_EQ(e.FileNameLength, 12);
  EXPECT_EQ(e.ExternalAttributes, 0x21u);
  EXPECT_EQ(e.LocalHeaderOffset, 0u);
  EXPECT_FALSE(e.Encrypted);
  EXPECT_TRUE(ui_.boxes.empty());
}

// The end record at the end, after a comment, before padding or garbage.
TEST_F(Directory, EndRecordPlacement) {
  const std::vector<BuildEntry> one = {{.name = "a.txt", .data = "a"}};
  struct Case {
    const char* what;
    std::string comment;
    std::string tail;
    int32_t err;
  } cases[] = {
      {"no comment", "", "", 0},
      {"100-byte comment", std::string(100, 'c'), "", 0},
      {"comment with a NUL", std::string("before\0after", 12), "", 0},
      {"zero padding to 512", "", "", 0},  // tail filled below
      {"garbage", "", std::string(300, 'g'), kZipGarbageAtEnd},
  };
  for (Case k : cases) {
    SCOPED_TRACE(k.what);
    Built b = BuildZip(one, k.comment);
    if (std::string(k.what) == "zero padding to 512") k.tail = std::string(512 - b.bytes.size(), '\0');
    ListBytes(b.bytes + k.tail);
    EXPECT_EQ(zip_.ErrCode(), k.err);
    EXPECT_EQ(Names(), std::vector<std::string>{"a.txt"});
    const std::string comment = k.comment.substr(0, k.comment.find('\0'));
    EXPECT_EQ(zip_.ZipComment().toStdString(), comment);
  }
  // Zero bytes that do not make the size a multiple of 512 are garbage too.
  ListBytes(BuildZip(one).bytes + std::string(300, '\0'));
  EXPECT_EQ(zip_.ErrCode(), kZipGarbageAtEnd);
  EXPECT_EQ(zip_.Count(), 1);
}

// A comment length that runs past the end of the file is garbage at the end:
// warned about, the comment cut to what exists, the entries still listed. Even
// when the file's size is a multiple of 512 (that exception is for padding after
// the comment).
TEST_F(Directory, CommentLengthPastTheEnd) {
  for (size_t pad : {size_t{0}, size_t{1}}) {
    SCOPED_TRACE(pad);
    std::string s = BuildZip({{.name = "a.txt", .data = "a"}}).bytes;
    Put16(s, s.size() - 2, 500);
    std::string comment = "short";
    if (pad) comment = std::string(512 - s.size() % 512, 'k');
    ListBytes(s + comment);
    EXPECT_EQ(zip_.ErrCode(), kZipGarbageAtEnd);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(S(ui_.boxes[0].text), "Warning - Garbage at the end of the zipfile!");
    ui_.boxes.clear();
    EXPECT_EQ(Names(), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(zip_.DataOffset(), 0);
    EXPECT_EQ(zip_.ZipComment().toStdString(), comment);
  }
}

// A recorded directory offset beyond where the directory lies (past the end of
// the file, or inside the directory) would put the data before the file's start:
// refused at List, as the extracting library refuses it.
TEST_F(Directory, DirectoryOffsetBeyondTheDirectory) {
  const Built b = BuildZip({{.name = "a.txt", .data = "a"}});
  for (uint32_t offset : {static_cast<uint32_t>(b.bytes.size() + 1000), static_cast<uint32_t>(b.centralPos + 10)}) {
    SCOPED_TRACE(offset);
    std::string s = b.bytes;
    Put32(s, b.endPos + 16, offset);
    ui_.boxes.clear();
    ListBytes(s);
    EXPECT_EQ(zip_.ErrCode(), kZipListSeekError);
    EXPECT_EQ(zip_.Count(), 0);
    EXPECT_TRUE(zip_.ZipFileName().isEmpty());
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(S(ui_.boxes[0].text), "Seek error reading Zip archive!");
  }
}

TEST_F(Directory, EmptyArchiveAndNonArchives) {
  ListBytes(BuildZip({}).bytes);
  EXPECT_EQ(zip_.Count(), 0);
  EXPECT_EQ(zip_.DataOffset(), 0);
  EXPECT_EQ(zip_.ErrCode(), 0);
  EXPECT_TRUE(ui_.boxes.empty());

  ListBytes("0123456789");
  EXPECT_EQ(zip_.ErrCode(), kZipNotValidArchive);
  EXPECT_EQ(zip_.Count(), 0);
  EXPECT_EQ(S(zip_.ZipFileName()), path_);  // kept
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(S(ui_.boxes[0].text), "This archive is not a valid Zip archive");

  // A part of a backup set without an end record names its disk.
  ui_.boxes.clear();
  ListBytes("just some bytes", "backup.z05");
  EXPECT_EQ(zip_.ErrCode(), kZipNthDiskInsertLast);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(S(ui_.boxes[0].text), "This is the 5th disk in a backup set,\nplease insert the last disk of this set");
  ListBytes("just some bytes", "report019.zip");
  EXPECT_EQ(zip_.ErrCode(), kZipNthDiskInsertLast);
  // The first part of a spanned set.
  std::string marker;
  Add32(marker, 0x08074b50);
  Add32(marker, 0x04034b50);
  ListBytes(marker + "rest of a part", "set.zip");
  EXPECT_EQ(zip_.ErrCode(), kZipFirstFileChooseLast);
  ListBytes(marker + "rest of a part", "set001.zip");
  EXPECT_EQ(zip_.ErrCode(), kZipFirstDiskInsertLast);

  // A name that does not exist yet (a new archive): empty, no message.
  ui_.boxes.clear();
  zip_.SetZipFileName(QString::fromStdString(dir_.file("new.zip")));
  EXPECT_EQ(zip_.ErrCode(), 0);
  EXPECT_EQ(zip_.Count(), 0);
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(Directory, FolderEntriesAreDroppedAndCounted) {
  const std::vector<BuildEntry> entries = {
      {.name = "folder/", .data = ""}, {.name = "folder/file.txt", .data = "f"}, {.name = "other\\", .data = ""}};
  ListBytes(BuildZip(entries).bytes);
  EXPECT_EQ(Names(), std::vector<std::string>{"folder/file.txt"});
  EXPECT_EQ(zip_.DroppedDirEntries(), 2);
  zip_.SetUseDirOnlyEntries(true);
  zip_.List();
  EXPECT_EQ(Names(), (std::vector<std::string>{"folder/", "folder/file.txt", "other/"}));
  EXPECT_EQ(zip_.DroppedDirEntries(), 0);
}

// Which stored bytes become which name: OEM (852) for MS-DOS under the automatic
// setting and always for OS/2 and for NTFS by version 5.0; UTF-8 when flagged,
// and from Unix when valid; otherwise code page 1250.
TEST_F(Directory, CodePageRule) {
  const std::string oem = "\xAC\x86\xA7\xE7\xD0";  // "Čćžšđ" in 852
  const std::string win = "\xC8\xE6\x9E\x9A\xF0";  // "Čćžšđ" in 1250
  const std::string utf8 = "Čćžšđ";
  struct Case {
    std::string stored;
    uint8_t host, madeBy;
    uint16_t flag;
    CodePageOpts cp;
    std::string listed;
  } cases[] = {
      {oem, 0, 20, 0, cpAuto, utf8},      {oem, 0, 20, 0, cpOEM, utf8},
      {win, 0, 20, 0, cpNone, utf8},      {oem, 6, 20, 0, cpNone, utf8},
      {oem, 11, 50, 0, cpNone, utf8},     {win, 11, 20, 0, cpAuto, utf8},
      {oem, 11, 20, 0, cpOEM, utf8},      {utf8, 3, 30, 0, cpAuto, utf8},
      {win, 3, 30, 0, cpAuto, utf8},  // not UTF-8: code page 1250
      {utf8, 0, 20, 0x800, cpAuto, utf8}, {utf8, 0, 20, 0x800, cpOEM, utf8},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.host) + "/" + std::to_string(k.madeBy) + "/" + std::to_string(k.cp));
    zip_.SetCodePage(k.cp);
    ListBytes(
        BuildZip({{.name = k.stored + ".txt", .data = "x", .host = k.host, .madeBy = k.madeBy, .flag = k.flag}}).bytes);
    ASSERT_EQ(zip_.Count(), 1);
    EXPECT_EQ(S(zip_.DirEntry(0).FileName), k.listed + ".txt");
  }
}

// Anything in front of the archive (a self-extractor): found either way; a
// directory offset that ignores it is a structure warning.
TEST_F(Directory, PrefixedArchives) {
  const std::string stub(777, 's');
  Built adjusted = BuildZip({{.name = "a.txt", .data = "a"}, {.name = "b.txt", .data = "b"}}, "", stub);
  // BuildZip writes offsets relative to the archive, as `cat stub a.zip` leaves them.
  ListBytes(adjusted.bytes);
  EXPECT_EQ(zip_.ErrCode(), kZipStructureWarning);
  EXPECT_EQ(zip_.Count(), 2);
  EXPECT_EQ(zip_.DataOffset(), 777);
  // With offsets from the start of the file (zip -A): no warning.
  std::string fixed = adjusted.bytes;
  for (size_t i = 0; i < adjusted.central.size(); ++i)
    Put32(fixed, adjusted.central[i] + 42, static_cast<uint32_t>(adjusted.local[i]));
  Put32(fixed, fixed.size() - 22 + 16, static_cast<uint32_t>(adjusted.centralPos));
  ListBytes(fixed);
  EXPECT_EQ(zip_.ErrCode(), 0);
  EXPECT_EQ(zip_.Count(), 2);
  EXPECT_EQ(zip_.DataOffset(), 777);
}

// A directory that fails part-way: the message of the step, ZipFileName emptied,
// Count 0.
TEST_F(Directory, BrokenDirectories) {
  struct Case {
    const char* what;
    std::function<std::string()> make;
    int32_t err;
    bool nameKept;
  } cases[] = {
      {"more entries than headers",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         Put16(b.bytes, b.endPos + 8, 2);
         Put16(b.bytes, b.endPos + 10, 2);
         return b.bytes;
       },
       kZipCentralHeaderReadError, false},
      {"directory cut at the end of the file",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         Put32(b.bytes, b.endPos + 12, 10);  // the size points 10 bytes before the end record
         Put32(b.bytes, b.endPos + 16, static_cast<uint32_t>(b.endPos - 10));
         Put16(b.bytes, b.endPos + 10, 1);
         return b.bytes;
       },
       kZipCentralHeaderReadError, false},
      {"bad central signature",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         b.bytes[b.central[0] + 3] = 9;
         return b.bytes;
       },
       kZipCentralSignatureWrong, false},
      {"name past the end",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         Put16(b.bytes, b.central[0] + 28, 60000);
         return b.bytes;
       },
       kZipCentralNameReadError, false},
      {"extra field past the end",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         Put16(b.bytes, b.central[0] + 30, 60000);
         return b.bytes;
       },
       kZipCentralExtraReadError, false},
      {"comment past the end",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         Put16(b.bytes, b.central[0] + 32, 60000);
         return b.bytes;
       },
       kZipFileCommentReadError, false},
      {"directory starts before the file",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         Put32(b.bytes, b.endPos + 12, 0x00FFFFFF);
         return b.bytes;
       },
       kZipListSeekError, false},
      {"65534 entries in a tiny file",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         Put16(b.bytes, b.endPos + 8, 65534);
         Put16(b.bytes, b.endPos + 10, 65534);
         return b.bytes;
       },
       kZipCentralHeaderReadError, false},
      {"Zip64 sizes in the end record",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         Put32(b.bytes, b.endPos + 12, 0xFFFFFFFF);
         return b.bytes;
       },
       kZipNotValidArchive, true},
      {"Zip64 locator that says more",
       [] {
         Built b = BuildZip({{.name = "a.txt", .data = "a"}});
         std::string tail;
         Add32(tail, 0x06064b50);
         tail += std::string(52, '\0');
         Add32(tail, 0x07064b50);
         tail += std::string(16, '\0');
         b.bytes.insert(b.endPos, tail);
         return b.bytes;
       },
       kZipNotValidArchive, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    zip_.SetUnattended(true);
    ListBytes(k.make());
    EXPECT_EQ(zip_.ErrCode(), k.err) << S(zip_.Message());
    EXPECT_EQ(zip_.Count(), 0);
    EXPECT_EQ(zip_.ZipFileName().isEmpty(), !k.nameKept);
    EXPECT_EQ(zip_.DataOffset(), 0);
  }
  EXPECT_TRUE(ui_.boxes.empty());  // unattended
}

}  // namespace
