#include "support/disk_faults.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>

const char* DiskStepName(DiskStep step) {
  switch (step) {
    case DiskStep::Write: return "write";
    case DiskStep::Close: return "close";
    case DiskStep::Sync: return "sync";
    case DiskStep::Rename: return "rename";
  }
  return "?";
}

DiskFaultInjector::DiskFaultInjector(DiskStep kind, int k, int err) : kind_(kind), k_(k), err_(err) {
  previous_ = SetDiskFaultHook([this](DiskStep s) {
    const int n = ++seen_[s];
    if (s == kind_ && n == k_) {
      fired_ = true;
      return err_;
    }
    return 0;
  });
}

DiskFaultInjector::~DiskFaultInjector() { SetDiskFaultHook(previous_); }

int DiskFaultInjector::seen(DiskStep step) const {
  auto it = seen_.find(step);
  return it == seen_.end() ? 0 : it->second;
}

std::vector<int> DiskFaultPoints(int n) {
  std::vector<int> all;
  const char* full = std::getenv("TARVI_DISK_FAULTS");
  if (full && std::string(full) == "all") {
    for (int k = 1; k <= n; ++k) all.push_back(k);
    return all;
  }
  std::set<int> some;
  for (int k : {1, (n + 1) / 2, n})
    if (k >= 1 && k <= n) some.insert(k);
  return {some.begin(), some.end()};
}

FolderSnapshot TakeFolderSnapshot(const QString& folder) {
  FolderSnapshot s;
  const QDir dir(folder);
  for (const QString& name : dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
    QFile f(dir.filePath(name));
    s[name] = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<folder>");
  }
  return s;
}

namespace {

struct RunResult {
  WriteOutcome outcome;
  std::map<DiskStep, int> seen;
  bool fired = false;
  FolderSnapshot before, after;
};

// One run of c with the k-th step of kind failing (k 0: none).
RunResult RunOnce(const DiskFaultCase& c, DiskStep kind, int k) {
  QDir(c.folder).removeRecursively();
  QDir().mkpath(c.folder);
  if (c.prepare) c.prepare();
  RunResult r;
  r.before = TakeFolderSnapshot(c.folder);
  {
    DiskFaultInjector injector(kind, k);
    r.outcome = c.run();
    for (DiskStep s : kDiskSteps) r.seen[s] = injector.seen(s);
    r.fired = injector.fired();
  }
  r.after = TakeFolderSnapshot(c.folder);
  return r;
}

// The earlier files byte for byte (the target excepted after a success), and no
// new file but the target after a success.
void ExpectNothingElseChanged(const RunResult& r, const QString& targetName) {
  const bool succeeded = r.outcome.succeeded;
  for (const auto& [name, bytes] : r.before) {
    if (name == targetName && succeeded) continue;
    EXPECT_TRUE(r.after.count(name) && r.after.at(name) == bytes) << name.toStdString() << " changed";
  }
  for (const auto& [name, bytes] : r.after) {
    if (r.before.count(name)) continue;
    EXPECT_TRUE(succeeded && name == targetName) << name.toStdString() << " left behind";
  }
}

void ExpectSound(const DiskFaultCase& c, const RunResult& r, int k, const QByteArray& faultless) {
  const WriteOutcome& o = r.outcome;
  if (k > 0) {
    EXPECT_TRUE(r.fired);
  } else {
    EXPECT_TRUE(o.succeeded) << o.shown.toStdString();
  }
  EXPECT_NE(o.succeeded, o.reported) << "succeeded and reported a failure, or neither";
  const QString targetName = QFileInfo(c.target).fileName();
  ExpectNothingElseChanged(r, targetName);
  if (o.succeeded && k > 0) {
    const bool there = r.after.count(targetName) > 0;
    const QByteArray bytes = there ? r.after.at(targetName) : QByteArray();
    EXPECT_TRUE(there && (c.complete ? c.complete(bytes) : bytes == faultless)) << "the new file is not complete";
  }
  if (k > 0 && o.reported && c.namesReason) {
    // The full disk is named in the system's own words, in Croatian.
    EXPECT_TRUE(o.shown.contains(QStringLiteral("Nema više mjesta na uređaju"))) << o.shown.toStdString();
  }
  if (c.afterEach) c.afterEach();
}

}  // namespace

std::map<DiskStep, int> CheckEveryDiskFault(const DiskFaultCase& c) {
  SCOPED_TRACE(c.name);
  RunResult first;
  {
    SCOPED_TRACE("no fault");
    first = RunOnce(c, DiskStep::Write, 0);
    const QString targetName = QFileInfo(c.target).fileName();
    const bool there = first.after.count(targetName) > 0;
    EXPECT_TRUE(there && (!c.complete || c.complete(first.after.at(targetName)))) << "the new file is not complete";
    ExpectSound(c, first, 0, there ? first.after.at(targetName) : QByteArray());
  }
  if (::testing::Test::HasFailure()) return first.seen;
  std::map<DiskStep, int>& counts = first.seen;
  std::printf("%s: %d writes, %d closes, %d syncs, %d renames\n", c.name.c_str(), counts[DiskStep::Write],
              counts[DiskStep::Close], counts[DiskStep::Sync], counts[DiskStep::Rename]);
  // Every writer writes and renames at least once (a file extracted by the ZIP
  // library is synced there, before the program renames it).
  EXPECT_GE(counts[DiskStep::Write], 1);
  EXPECT_GE(counts[DiskStep::Rename], 1);
  const QByteArray faultless = first.after[QFileInfo(c.target).fileName()];
  for (DiskStep kind : kDiskSteps) {
    for (int k : DiskFaultPoints(counts[kind])) {
      SCOPED_TRACE(std::string(DiskStepName(kind)) + " " + std::to_string(k) + " of " + std::to_string(counts[kind]));
      ExpectSound(c, RunOnce(c, kind, k), k, faultless);
      if (::testing::Test::HasFailure()) return counts;  // the first failing point is enough to read
    }
  }
  return counts;
}
