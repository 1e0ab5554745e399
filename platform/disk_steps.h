#pragma once
// The four steps by which the program puts a file on disk, each one checked:
// writing the bytes, closing (which hands the last of them to the file system and
// reports a deferred failure), syncing to the device, and renaming into place.
// Every writer of the program's own files goes through these, so nothing is
// taken as written on the word of a single call, and a test can make any one of
// the steps fail as a full or failing disk would.
//
// Each returns true on success, else false with errno set to the reason.
#include <sys/types.h>

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>

class QFileDevice;

enum class DiskStep { Write, Close, Sync, Rename };

// Writes all n bytes at the file's position (a short write is retried; a write
// that makes no progress is ENOSPC).
bool DiskWrite(int fd, const void* data, size_t n);
// Writes all n bytes at offset, leaving the file's position alone.
bool DiskWriteAt(int fd, const void* data, size_t n, int64_t offset);
// Closes fd (always: the descriptor is gone either way).
bool DiskClose(int fd);
// fsync.
bool DiskSync(int fd);
// Renames from to to: with replace over an existing file, without only when no
// file of that name exists (EEXIST otherwise; never a window in which to holds a
// part of from).
bool DiskRename(const char* from, const char* to, bool replace);
// Syncs a folder after a rename in it, so the new entry survives a crash too.
// Best effort: a folder that cannot be opened is passed over.
void DiskSyncFolder(const char* folder);

// The system's reason for an errno value, in Croatian whatever the system's
// locale: the one place where the program turns an errno into words.
QString DiskErrorText(int err);
// The reason why file failed to open, read or write: err is errno taken right
// after the failed call, in place of Qt's English errorString(). (Qt refuses a
// folder after opening it, leaving errno alone: err 0 then names the folder.)
QString FileErrorText(const QFileDevice& file, int err);

// Test seam: called before every step with the step's kind; a non-zero result is
// an errno value with which that step fails, without being tried. Returns the
// hook it replaces; an empty one ends the injection.
using DiskFaultHook = std::function<int(DiskStep)>;
DiskFaultHook SetDiskFaultHook(DiskFaultHook hook);
