// The two ZIP libraries on a failing disk: at every sampled step of their writer
// (write, close, sync, rename; the first call and a later one) an add leaves the
// earlier archive byte for byte and an extraction the earlier file, the failure
// is reported with the write error, and no hidden file is left; past the last
// step the new archive or file is whole.
#include <filesystem>

#include "outside/disk_fault_seam.h"
#include "outside_test_support.h"
#include "support/temp_dir.h"
#include "ziplib_harness.h"

using namespace ziptest;

namespace {

// Large enough for many writes of each writer's buffers.
const std::string kNewData = outsidetest::Random(size_t(1) << 20, 28);

// One operation (an AddJob or ExtractJob) with the fault in place: its result.
template <typename Job>
int32_t RunWithFault(const Job& job, Recorder& r, const DiskFault& f) {
  ScopedDiskFault fault(f);
  return job.Run(r);
}

// The last message of the operation with the write error, empty without one.
std::string WriteErrorText(const Recorder& r) {
  std::string text;
  for (const Event& e : r.events)
    if (e.code == ZIPCB_MESSAGE && e.error == ZIPERR_WRITE) text = e.text;
  return text;
}

class ZipLibDiskFault : public ::testing::TestWithParam<DiskFault> {
 protected:
  void SetUp() override { ASSERT_TRUE(Libs().Loaded()) << dlerror(); }
  TempDir dir_{"ziplibfault"};
};

TEST_P(ZipLibDiskFault, AddKeepsTheEarlierArchiveOrMakesTheNewOne) {
  const DiskFault f = GetParam();
  const std::string archive = dir_.file("arhiva.zip");
  WriteAll(dir_.file("a.txt"), std::string(3000, 'a'));
  WriteAll(dir_.file("b.bin"), kNewData);
  AddJob first;
  first.archive = archive;
  first.specs = {dir_.file("a.txt")};
  Recorder r0;
  ASSERT_EQ(first.Run(r0), 1) << r0.Dump();
  const std::vector<unsigned char> earlier = ReadAll(archive);

  AddJob add = first;
  add.specs = {dir_.file("b.bin")};
  Recorder r;
  const int32_t added = RunWithFault(add, r, f);
  if (f.Reached()) {
    EXPECT_EQ(added, 0) << r.Dump();
    const std::string text = WriteErrorText(r);
    EXPECT_TRUE(text.rfind("Cannot write the archive: ", 0) == 0 || text.rfind("Cannot replace the archive ", 0) == 0 ||
                text.rfind("Cannot rewrite the archive: ", 0) == 0)
        << r.Dump();
    EXPECT_NE(text.find(strerrordesc_np(f.err)), std::string::npos) << r.Dump();
    EXPECT_EQ(ReadAll(archive), earlier);
  } else {
    EXPECT_EQ(added, 1) << r.Dump();
    EXPECT_EQ(WriteErrorText(r), "") << r.Dump();
    std::string log;
    EXPECT_EQ(::Run("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                    "sys.exit(1 if z.testzip() is not None or z.namelist() != [\"a.txt\", \"b.bin\"] else 0)' " +
                        ShellQuote(archive) + " 2>&1",
                    &log),
              0)
        << log;
  }
  EXPECT_EQ(HiddenLeft(dir_.path()), std::vector<std::string>{});
}

TEST_P(ZipLibDiskFault, ExtractKeepsTheEarlierFileOrWritesTheNewOne) {
  const DiskFault f = GetParam();
  const std::string archive = dir_.file("arhiva.zip");
  WriteAll(archive, BuildZip({{"b.bin", kNewData, 8}}).bytes);
  const std::string out = dir_.file("out");
  std::filesystem::create_directories(out);
  WriteAll(out + "/b.bin", "the earlier file");
  ExtractJob x;
  x.archive = archive;
  x.base = out;
  Recorder r;
  const int32_t done = RunWithFault(x, r, f);
  if (f.Reached()) {
    EXPECT_EQ(done, 0) << r.Dump();
    EXPECT_TRUE(r.HasError(ZIPERR_WRITE)) << r.Dump();
    EXPECT_EQ(r.Of(ZIPCB_SKIPPED).size(), 1u) << r.Dump();
    EXPECT_NE(WriteErrorText(r).find(strerrordesc_np(f.err)), std::string::npos) << r.Dump();
    EXPECT_EQ(ReadText(out + "/b.bin"), "the earlier file");
  } else {
    EXPECT_EQ(done, 1) << r.Dump();
    EXPECT_EQ(ReadText(out + "/b.bin"), kNewData);
  }
  EXPECT_EQ(HiddenLeft(out), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(SampledSteps, ZipLibDiskFault, ::testing::ValuesIn(kSampledFaults),
                         [](const ::testing::TestParamInfo<DiskFault>& i) {
                           return std::string(i.param.step) + std::to_string(i.param.nth);
                         });

}  // namespace
