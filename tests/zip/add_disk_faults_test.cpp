// The component's Add and Extract on a failing disk, as the signing engine uses
// them: the libraries write the archive and the extracted file through the writer
// of outside/, whose seam fails each sampled step (its first call and a later
// one of write, close, sync and rename). Seen through the component, a failure is
// never a success: the earlier archive or file stays byte for byte, the caller
// is told, and no hidden file is left; past the last step the result is whole.
#include <gtest/gtest.h>

#include <QFile>
#include <filesystem>
#include <string>

#include "outside/disk_fault_seam.h"
#include "outside/outside_test_support.h"
#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"

using namespace ziptest;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QByteArray Bytes(const std::string& path) {
  QFile f(Q(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Large enough for many writes of each writer's buffers; not compressible.
const std::string kNewData = outsidetest::Random(size_t(1) << 20, 29);

class ComponentDiskFault : public ::testing::TestWithParam<DiskFault> {
 protected:
  FakeUiServices ui_;
  TempDir dir_{"zipaddfault"};
};

TEST_P(ComponentDiskFault, AddKeepsTheEarlierArchiveOrMakesTheNewOne) {
  const DiskFault f = GetParam();
  const std::string folder = dir_.file("arhiva");
  std::filesystem::create_directories(folder);
  const std::string archive = folder + "/arhiva.zip";
  WriteAll(dir_.file("a.txt"), std::string(3000, 'a'));
  WriteAll(dir_.file("b.bin"), kNewData);
  {
    TZipArchiver first;
    first.SetZipFileName(Q(archive));
    first.FSpecArgs() = QStringList{Q(dir_.file("a.txt"))};
    ASSERT_EQ(first.Add(), 0) << first.Message().toStdString();
  }
  const QByteArray earlier = Bytes(archive);

  TZipArchiver zip;
  zip.SetZipFileName(Q(archive));
  zip.FSpecArgs() = QStringList{Q(dir_.file("b.bin"))};
  int32_t rc;
  {
    ScopedDiskFault fault(f);
    rc = zip.Add();
  }
  TZipArchiver reader;
  reader.SetZipFileName(Q(archive));
  if (f.Reached()) {
    EXPECT_FALSE(rc == 0 && zip.ProcessedCount() == 1) << "a failed add reported as done";
    EXPECT_FALSE(zip.Message().isEmpty());
    EXPECT_EQ(Bytes(archive), earlier) << "the earlier archive changed";
  } else {
    EXPECT_EQ(rc, 0) << zip.Message().toStdString();
    EXPECT_EQ(zip.ProcessedCount(), 1);
    EXPECT_EQ(reader.Count(), 2);
  }
  EXPECT_TRUE(HiddenLeft(folder).empty());
}

TEST_P(ComponentDiskFault, ExtractKeepsTheEarlierFileOrWritesTheNewOne) {
  const DiskFault f = GetParam();
  const std::string& data = kNewData;
  WriteAll(dir_.file("dokument.bin"), data);
  const std::string archive = dir_.file("ZipSgnDat.tmp");
  {
    TZipArchiver packer;
    packer.SetZipFileName(Q(archive));
    packer.FSpecArgs() = QStringList{Q(dir_.file("dokument.bin"))};
    ASSERT_EQ(packer.Add(), 0) << packer.Message().toStdString();
  }
  const std::string out = dir_.file("izlaz");
  std::filesystem::create_directories(out);
  WriteAll(out + "/dokument.bin", "an earlier file");

  TZipArchiver zip;
  zip.SetZipFileName(Q(archive));
  ASSERT_EQ(zip.Count(), 1);
  zip.SetExtrBaseDir(Q(out + "/"));
  zip.SetExtrOptions({ExtrDirNames, ExtrOverWrite});
  int32_t rc;
  {
    ScopedDiskFault fault(f);
    rc = zip.Extract();
  }
  if (f.Reached()) {
    EXPECT_FALSE(rc == 0 && zip.ProcessedCount() == 1) << "a failed extract reported as done";
    EXPECT_EQ(Bytes(out + "/dokument.bin"), QByteArray("an earlier file"));
  } else {
    EXPECT_EQ(rc, 0) << zip.Message().toStdString();
    EXPECT_EQ(zip.ProcessedCount(), 1);
    EXPECT_EQ(Bytes(out + "/dokument.bin"), QByteArray::fromStdString(data));
  }
  EXPECT_TRUE(HiddenLeft(out).empty());
}

INSTANTIATE_TEST_SUITE_P(SampledSteps, ComponentDiskFault, ::testing::ValuesIn(kSampledFaults),
                         [](const ::testing::TestParamInfo<DiskFault>& i) {
                           return std::string(i.param.step) + "_" + std::to_string(i.param.nth);
                         });

}  // namespace
