// libunzlib.so against hostile and broken archives: each is refused with the
// right error, and nothing is written outside the target folder, through a link,
// or left half-written.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "ziplib_harness.h"

using namespace ziptest;

namespace {

struct HostileCase {
  const char* what;
  std::function<std::string()> make;   // the archive's bytes
  int32_t error;                       // expected among the reported errors
  int32_t skip;                        // expected skip size of the entry; 0: the whole archive is refused
  std::vector<std::string> extracted;  // what may appear in the target folder
};

std::string Good(const std::string& name = "good.txt") { return BuildZip({{.name = name, .data = "good data"}}).bytes; }

std::vector<HostileCase> Cases() {
  auto named = [](const std::string& name) {
    return [name] { return BuildZip({{.name = name, .data = "evil"}, {.name = "ok.txt", .data = "fine"}}).bytes; };
  };
  std::vector<HostileCase> v;
  // Names that would write outside the target folder.
  for (const char* n : {"../x", "..\\x", "/etc/x", "\\x", "C:\\x", "c:x", "a/../../x", "a/./x", "./x", "a//b",
                        "\\\\server\\share\\x", "..", "a/.."}) {
    v.push_back({n, named(n), ZIPERR_UNSAFE_NAME, ZIPSKIP_GENERAL, {"ok.txt"}});
  }
  v.push_back({"empty name", named(""), ZIPERR_UNSAFE_NAME, ZIPSKIP_GENERAL, {"ok.txt"}});
  v.push_back({"NUL in name", named(std::string("a\0b", 3)), ZIPERR_UNSAFE_NAME, ZIPSKIP_GENERAL, {"ok.txt"}});
  v.push_back({"control character", named("a\x1b[2Jb"), ZIPERR_UNSAFE_NAME, ZIPSKIP_GENERAL, {"ok.txt"}});
  v.push_back(
      {"symlink entry",
       [] {
         return BuildZip({{.name = "link", .data = "/etc/passwd", .host = 3, .madeBy = 30, .external = 0120777u << 16},
                          {.name = "ok.txt", .data = "fine"}})
             .bytes;
       },
       ZIPERR_UNSAFE_NAME,
       ZIPSKIP_GENERAL,
       {"ok.txt"}});
  v.push_back(
      {"device entry",
       [] {
         return BuildZip({{.name = "dev", .data = "", .host = 3, .madeBy = 30, .external = 0020666u << 16}}).bytes;
       },
       ZIPERR_UNSAFE_NAME,
       ZIPSKIP_GENERAL,
       {}});

  // Lying sizes and broken data.
  v.push_back(
      {"more data than declared",
       [] { return BuildZip({{.name = "big.txt", .data = std::string(5000, 'a'), .method = 8, .usize = 100}}).bytes; },
       ZIPERR_BAD_DATA,
       ZIPSKIP_FORMAT_WRONG,
       {}});
  v.push_back(
      {"less data than declared",
       [] { return BuildZip({{.name = "s.txt", .data = std::string(100, 'a'), .method = 8, .usize = 5000}}).bytes; },
       ZIPERR_BAD_DATA,
       ZIPSKIP_FORMAT_WRONG,
       {}});
  v.push_back({"compressed size cut short",
               [] {
                 std::string data(20000, 'x');
                 for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) % 251);
                 return BuildZip({{.name = "c.txt", .data = data, .method = 8, .csize = 50}}).bytes;
               },
               ZIPERR_BAD_DATA,
               ZIPSKIP_FORMAT_WRONG,
               {}});
  v.push_back({"stored sizes disagree",
               [] { return BuildZip({{.name = "s.txt", .data = "abcdef", .usize = 3}}).bytes; },
               ZIPERR_BAD_DATA,
               ZIPSKIP_FORMAT_WRONG,
               {}});
  v.push_back({"garbage deflate data",
               [] {
                 return BuildZip(
                            {{.name = "g.txt", .data = std::string("\xff\xff\xff\xff", 4), .method = 8, .raw = true}})
                     .bytes;
               },
               ZIPERR_BAD_DATA,
               ZIPSKIP_FORMAT_WRONG,
               {}});
  v.push_back({"compressed data past the directory",
               [] { return BuildZip({{.name = "p.txt", .data = "abc", .csize = 100000, .usize = 3}}).bytes; },
               ZIPERR_BAD_DATA,
               ZIPSKIP_FORMAT_WRONG,
               {}});
  v.push_back({"local header offset past the end",
               [] {
                 Built b = BuildZip({{.name = "o.txt", .data = "abc"}});
                 Put32(b.bytes, b.central[0] + 42, 0x7FFFFFF0);
                 return b.bytes;
               },
               ZIPERR_BAD_DATA,
               ZIPSKIP_FORMAT_WRONG,
               {}});
  v.push_back({"local header offset into the directory",
               [] {
                 Built b = BuildZip({{.name = "o.txt", .data = "abc"}});
                 Put32(b.bytes, b.central[0] + 42, static_cast<uint32_t>(b.centralPos));
                 return b.bytes;
               },
               ZIPERR_BAD_DATA,
               ZIPSKIP_FORMAT_WRONG,
               {}});
  v.push_back({"bad local signature",
               [] {
                 Built b = BuildZip({{.name = "o.txt", .data = "abc"}, {.name = "ok.txt", .data = "fine"}});
                 b.bytes[b.local[0] + 2] = 9;
                 return b.bytes;
               },
               ZIPERR_BAD_DATA,
               ZIPSKIP_FORMAT_WRONG,
               {"ok.txt"}});
  v.push_back({"overlapping entries",
               [] {
                 // Two directory entries naming one stored range: one range written
                 // as many files is how a ZIP bomb multiplies.
                 Built b = BuildZip({{.name = "a.txt", .data = std::string(1000, 'a')},
                                     {.name = "b.txt", .data = std::string(1000, 'b')}});
                 Put32(b.bytes, b.central[1] + 42, 0);
                 Put32(b.bytes, b.central[1] + 16, Crc(std::string(1000, 'a')));
                 return b.bytes;
               },
               ZIPERR_BAD_DATA,
               ZIPSKIP_FORMAT_WRONG,
               {}});
  v.push_back({"bad CRC",
               [] { return BuildZip({{.name = "crc.txt", .data = "payload", .crc = 0x12345678}}).bytes; },
               ZIPERR_BAD_DATA,
               0,
               {}});
  v.push_back({"unsupported methods",
               [] {
                 return BuildZip({{.name = "b.bz2", .data = "xx", .method = 12},
                                  {.name = "l.lzma", .data = "xx", .method = 14},
                                  {.name = "aes", .data = "xx", .method = 99}})
                     .bytes;
               },
               ZIPERR_UNSUPPORTED,
               ZIPSKIP_COMPRESSION_UNKNOWN,
               {}});
  v.push_back({"encrypted entry, no password",
               [] { return BuildZip({{.name = "e.txt", .data = "123456789012xx", .flag = 1}}).bytes; },
               ZIPERR_PASSWORD,
               ZIPSKIP_BAD_PASSWORD,
               {}});
  v.push_back({"strong encryption",
               [] { return BuildZip({{.name = "e.txt", .data = "123456789012xx", .flag = 1 | 64}}).bytes; },
               ZIPERR_UNSUPPORTED,
               ZIPSKIP_NO_ENCRYPTION,
               {}});
  v.push_back({"AES encryption",
               [] { return BuildZip({{.name = "e.txt", .data = "123456789012xx", .method = 99, .flag = 1}}).bytes; },
               ZIPERR_UNSUPPORTED,
               ZIPSKIP_NO_ENCRYPTION,
               {}});
  v.push_back(
      {"Zip64 sizes in the directory",
       [] { return BuildZip({{.name = "z.txt", .data = "abc", .csize = 0xFFFFFFFF, .usize = 0xFFFFFFFF}}).bytes; },
       ZIPERR_UNSUPPORTED,
       ZIPSKIP_FORMAT_WRONG,
       {}});

  // The archive as a whole.
  v.push_back({"truncated directory",
               [] {
                 Built b = BuildZip({{.name = "a.txt", .data = "a"}});
                 Put16(b.bytes, b.endPos + 8, 3);
                 Put16(b.bytes, b.endPos + 10, 3);
                 return b.bytes;
               },
               ZIPERR_BAD_DATA,
               0,
               {}});
  v.push_back({"file cut inside the directory",
               [] {
                 Built b = BuildZip({{.name = "a.txt", .data = "a"}});
                 return b.bytes.substr(0, b.centralPos + 20);
               },
               ZIPERR_BAD_DATA,
               0,
               {}});
  v.push_back({"bad end record",
               [] {
                 std::string s = Good();
                 s[s.size() - 22 + 1] = 'Q';
                 return s;
               },
               ZIPERR_BAD_DATA,
               0,
               {}});
  v.push_back({"directory offset past the end",
               [] {
                 std::string s = Good();
                 Put32(s, s.size() - 22 + 16, 0x00FFFFFF);
                 return s;
               },
               ZIPERR_BAD_DATA,
               0,
               {}});
  v.push_back({"directory size past the start",
               [] {
                 std::string s = Good();
                 Put32(s, s.size() - 22 + 12, 0x00FFFFFF);
                 return s;
               },
               ZIPERR_BAD_DATA,
               0,
               {}});
  v.push_back({"65534 entries in a tiny file",
               [] {
                 std::string s = Good();
                 Put16(s, s.size() - 22 + 8, 65534);
                 Put16(s, s.size() - 22 + 10, 65534);
                 return s;
               },
               ZIPERR_BAD_DATA,
               0,
               {}});
  v.push_back({"name length past the end",
               [] {
                 Built b = BuildZip({{.name = "a.txt", .data = "a"}});
                 Put16(b.bytes, b.central[0] + 28, 60000);
                 return b.bytes;
               },
               ZIPERR_BAD_DATA,
               0,
               {}});

  // 65535 is a count like any other: a directory too short for that many.
  v.push_back({"65535 entries claimed",
               [] {
                 std::string s = Good();
                 Put16(s, s.size() - 22 + 10, 0xFFFF);
                 Put16(s, s.size() - 22 + 8, 0xFFFF);
                 return s;
               },
               ZIPERR_BAD_DATA,
               0,
               {}});
  // A Zip64 locator in front of the end record; with the counts at 0xFFFF too,
  // they are the Zip64 marker.
  auto withZip64Locator = [](bool markedCounts) {
    Built b = BuildZip({{.name = "a.txt", .data = "a"}});
    std::string loc;
    Add32(loc, 0x07064b50);
    loc += std::string(16, '\0');
    b.bytes.insert(b.endPos, loc);
    Put32(b.bytes, b.bytes.size() - 22 + 16, static_cast<uint32_t>(b.centralPos));
    if (markedCounts) {
      Put16(b.bytes, b.bytes.size() - 22 + 10, 0xFFFF);
      Put16(b.bytes, b.bytes.size() - 22 + 8, 0xFFFF);
    }
    return b.bytes;
  };
  v.push_back({"Zip64 entry count", [=] { return withZip64Locator(true); }, ZIPERR_UNSUPPORTED, 0, {}});
  v.push_back({"Zip64 locator", [=] { return withZip64Locator(false); }, ZIPERR_UNSUPPORTED, 0, {}});
  v.push_back({"second disk of a set",
               [] {
                 std::string s = Good();
                 Put16(s, s.size() - 22 + 4, 1);
                 return s;
               },
               ZIPERR_UNSUPPORTED,
               0,
               {}});
  v.push_back({"not an archive", [] { return std::string("0123456789"); }, ZIPERR_BAD_DATA, 0, {}});
  v.push_back({"empty file", [] { return std::string(); }, ZIPERR_BAD_DATA, 0, {}});
  return v;
}

// A tree without what lies in the target folder.
std::vector<std::string> OutsideTarget(std::vector<std::string> tree) {
  tree.erase(
      std::remove_if(tree.begin(), tree.end(), [](const std::string& p) { return p.rfind("work/base/", 0) == 0; }),
      tree.end());
  return tree;
}

class ZipLibHostile : public ::testing::TestWithParam<size_t> {};

TEST_P(ZipLibHostile, RefusedAndNothingEscapes) {
  ASSERT_TRUE(Libs().Loaded());
  const HostileCase k = Cases()[GetParam()];
  SCOPED_TRACE(k.what);
  TempDir root("hostile");
  const std::string base = root.file("work/base");
  std::filesystem::create_directories(base);
  std::filesystem::create_directories(root.file("outside"));
  WriteAll(root.file("outside/victim"), std::string("untouched"));
  WriteAll(root.file("evil.zip"), k.make());
  const auto before = TreeOf(root.path());

  for (bool dirNames : {true, false}) {
    SCOPED_TRACE(dirNames ? "with folders" : "without folders");
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base);
    ExtractJob x;
    x.archive = root.file("evil.zip");
    x.base = base;
    x.dirNames = dirNames;
    Recorder r;
    const int32_t done = x.Run(r);
    EXPECT_EQ(done, static_cast<int32_t>(k.extracted.size())) << r.Dump();
    EXPECT_TRUE(r.HasError(k.error)) << r.Dump();
    if (k.skip != 0) {
      bool found = false;
      for (const Event& e : r.Of(ZIPCB_SKIPPED)) found = found || (e.size == k.skip && e.error == k.error);
      EXPECT_TRUE(found) << r.Dump();
    } else if (k.extracted.empty()) {
      EXPECT_TRUE(r.Of(ZIPCB_NEW_FILE).empty() || r.HasError(ZIPERR_BAD_DATA)) << r.Dump();
    }
    // Only the good entries, complete, in the target; nothing anywhere else.
    EXPECT_EQ(TreeOf(base), k.extracted) << r.Dump();
    for (const std::string& f : k.extracted) EXPECT_EQ(ReadText(base + "/" + f), "fine");
    EXPECT_EQ(OutsideTarget(TreeOf(root.path())), OutsideTarget(before));
    EXPECT_EQ(ReadText(root.file("outside/victim")), "untouched");

    // Testing the archive finds the same faults and writes nothing at all.
    ExtractJob t = x;
    t.test = true;
    Recorder tr;
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base);
    EXPECT_EQ(t.Run(tr), static_cast<int32_t>(k.extracted.size())) << tr.Dump();
    EXPECT_TRUE(tr.HasError(k.error)) << tr.Dump();
    EXPECT_TRUE(TreeOf(base).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ZipLibHostile, ::testing::Range<size_t>(0, Cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           std::string n = std::to_string(info.param) + "_";
                           for (char c : std::string(Cases()[info.param].what))
                             n.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
                           return n;
                         });

// A link planted where a file is to be written is replaced, never followed; a
// link planted as a folder on the way is refused.
TEST(ZipLibPlantedLinks, NeverFollowed) {
  ASSERT_TRUE(Libs().Loaded());
  TempDir root("planted");
  const std::string base = root.file("base");
  std::filesystem::create_directories(base);
  std::filesystem::create_directories(root.file("outside"));
  WriteAll(root.file("outside/victim"), std::string("untouched"));
  std::filesystem::create_symlink(root.file("outside/victim"), base + "/x.txt");
  std::filesystem::create_symlink(root.file("outside"), base + "/sub");
  WriteAll(root.file("a.zip"), BuildZip({{.name = "x.txt", .data = "new"}, {.name = "sub/y.txt", .data = "y"}}).bytes);

  ExtractJob x;
  x.archive = root.file("a.zip");
  x.base = base;
  Recorder r;
  EXPECT_EQ(x.Run(r), 1) << r.Dump();
  EXPECT_TRUE(r.HasError(ZIPERR_WRITE)) << r.Dump();
  EXPECT_EQ(ReadText(root.file("outside/victim")), "untouched");
  EXPECT_FALSE(std::filesystem::exists(root.file("outside/y.txt")));
  EXPECT_FALSE(std::filesystem::is_symlink(base + "/x.txt"));
  EXPECT_EQ(ReadText(base + "/x.txt"), "new");
}

// Extracted files get no execute, set-user-id or sticky bits, whatever the
// archive says.
TEST(ZipLibModes, NoExecutableOrSpecialBits) {
  ASSERT_TRUE(Libs().Loaded());
  TempDir root("modes");
  WriteAll(
      root.file("m.zip"),
      BuildZip({{.name = "run.sh", .data = "#!/bin/sh\n", .host = 3, .madeBy = 30, .external = 0107777u << 16}}).bytes);
  ExtractJob x;
  x.archive = root.file("m.zip");
  x.base = root.path();
  Recorder r;
  const mode_t old = umask(0);
  const int32_t done = x.Run(r);
  umask(old);
  EXPECT_EQ(done, 1) << r.Dump();
  struct stat st {};
  ASSERT_EQ(stat(root.file("run.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

}  // namespace
