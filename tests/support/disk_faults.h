#pragma once
// A failing disk at every step of a writer. The file layer's seam
// (platform/disk_steps.h) fails the k-th write, close, sync or rename of one run,
// one point at a time, as a full disk would. At every point the earlier files
// stay byte for byte, or the new file is complete; a failure is reported; nothing
// partial or temporary is left in the target's folder.
//
// A test describes each writer as a DiskFaultCase (how to make the earlier files,
// how to run the write, what a complete result is) and hands it to
// CheckEveryDiskFault. CTest runs a sample of the points (first, middle and last
// of each kind); with TARVI_DISK_FAULTS=all every point runs.
#include <QByteArray>
#include <QString>
#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/disk_steps.h"

inline constexpr DiskStep kDiskSteps[] = {DiskStep::Write, DiskStep::Close, DiskStep::Sync, DiskStep::Rename};
const char* DiskStepName(DiskStep step);

// Counts the steps of each kind and fails the k-th of one kind with err (k 0:
// none), for as long as it lives.
class DiskFaultInjector {
 public:
  DiskFaultInjector(DiskStep kind, int k, int err = ENOSPC);
  ~DiskFaultInjector();
  DiskFaultInjector(const DiskFaultInjector&) = delete;
  DiskFaultInjector& operator=(const DiskFaultInjector&) = delete;
  int seen(DiskStep step) const;
  bool fired() const { return fired_; }

 private:
  DiskStep kind_;
  int k_, err_;
  std::map<DiskStep, int> seen_;
  bool fired_ = false;
  DiskFaultHook previous_;
};

// The points 1..n at which a step of a kind seen n times is made to fail.
std::vector<int> DiskFaultPoints(int n);

// Every entry of a folder by name, with its bytes ("<folder>" for a folder).
using FolderSnapshot = std::map<QString, QByteArray>;
FolderSnapshot TakeFolderSnapshot(const QString& folder);

// What one run of a writer told its caller.
struct WriteOutcome {
  WriteOutcome() = default;
  WriteOutcome(bool succeeded, bool reported, QString shown = {})
      : succeeded(succeeded), reported(reported), shown(std::move(shown)) {}
  bool succeeded = false;
  bool reported = false;  // a result code, a box or an error the caller shows
  QString shown;          // the texts shown, which name a full disk in Croatian
};

struct DiskFaultCase {
  DiskFaultCase(std::string name, QString folder, QString target, std::function<void()> prepare,
                std::function<WriteOutcome()> run, std::function<bool(const QByteArray&)> complete = {})
      : name(std::move(name)),
        folder(std::move(folder)),
        target(std::move(target)),
        prepare(std::move(prepare)),
        run(std::move(run)),
        complete(std::move(complete)) {}
  std::string name;
  QString folder;                     // holds the earlier files and the target; emptied before each run
  QString target;                     // the file the writer makes or replaces
  std::function<void()> prepare;      // the earlier files, written without faults
  std::function<WriteOutcome()> run;  // the write, under the fault
  // The target as a finished write leaves it; when empty, byte for byte what
  // the faultless run left.
  std::function<bool(const QByteArray&)> complete;
  bool namesReason = true;          // a reported failure shows the system's reason
  std::function<void()> afterEach;  // further checks after every run
};

// Runs c without a fault, counting its steps, then under each sampled fault,
// checking the above with GoogleTest expectations; stops at the first failing
// point. Returns the step counts of the faultless run.
std::map<DiskStep, int> CheckEveryDiskFault(const DiskFaultCase& c);
