// A failing disk at every step of making a self-extractor: the maker's own file
// (stub, settings record, empty archive) and the add to a new ".EXE" name, whose
// filled program is renamed to its name at the end. At every point the program
// appears whole or not at all, the failure is reported with the system's reason,
// and no hidden file is left beside it. The adding library's own writes are the
// library's (its tests fail them); here the component's steps fail.
#include <gtest/gtest.h>

#include <QFile>
#include <map>
#include <string>

#include "platform/fake_ui_services.h"
#include "support/disk_faults.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"
#include "zip/zip_sfx.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QByteArray Stub() {
  QFile f(QStringLiteral(TARVI_BIN_DIR "/ZASFXUS.BIN"));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(SfxDiskFaults, EveryStepOfMakingASelfExtractorFailsCleanly) {
  FakeUiServices ui;
  TempDir sources("zipsfxsrc");
  TempDir out("zipsfxfault");
  WriteAll(sources.file("a.txt"), std::string(3000, 'a'));
  const QByteArray stub = Stub();
  ASSERT_FALSE(stub.isEmpty());
  const QString folder = Q(out.path());
  const QString exe = Q(out.file("novi.exe"));

  auto make = [&] {
    TZaSFX m;
    m.TargetFile = exe;
    try {
      m.CreateSfx();
      return WriteOutcome(true, false);
    } catch (const EZaSfxError& e) {
      return WriteOutcome(false, true, e.Message());
    }
  };
  // The maker alone: byte for byte what the faultless run made.
  DiskFaultCase maker(
      "the maker's program", folder, exe, [] {}, make);
  // Every step of the maker is the program's own: written, synced, closed, renamed.
  std::map<DiskStep, int> steps = CheckEveryDiskFault(maker);
  for (DiskStep kind : kDiskSteps) EXPECT_GE(steps[kind], 1) << DiskStepName(kind);
  if (::testing::Test::HasFailure()) return;

  // Over an earlier program: it goes to the trash only once its successor is
  // whole, and comes back when the rename after that fails, so the name is never
  // left empty.
  DiskFaultCase over(
      "the maker's program over an earlier one", folder, exe,
      [&] { WriteAll(out.file("novi.exe"), std::string("an earlier program")); }, make);
  CheckEveryDiskFault(over);
  if (::testing::Test::HasFailure()) return;

  // An add to a new ".EXE" name: the stub, then the file the library added (the
  // time stamps of the entry may differ from the faultless run's).
  DiskFaultCase add(
      "an add to a new self-extractor", folder, exe, [] {},
      [&] {
        TZipArchiver zip;
        zip.SetZipFileName(exe);
        zip.FSpecArgs() = QStringList{Q(sources.file("a.txt"))};
        const int32_t rc = zip.Add();
        return WriteOutcome(rc == 0 && zip.ProcessedCount() == 1, rc != 0, zip.Message());
      },
      [&](const QByteArray& bytes) {
        // One entry, named, and the end record last.
        const qsizetype end = bytes.size() - 22;
        return bytes.startsWith(stub) && bytes.contains("a.txt") && end > stub.size() &&
               bytes.mid(end, 4) == QByteArray("PK\x05\x06", 4) && bytes[end + 10] == 1 && bytes[end + 11] == 0;
      });
  // The maker's rename, then the filled program's to its own name.
  steps = CheckEveryDiskFault(add);
  EXPECT_GE(steps[DiskStep::Rename], 2);
}

}  // namespace
