#pragma once
// Temporary files beside a user's file. Every file the program (or one of its
// stand-in libraries) writes into a user's folder is first made under one hidden,
// recognisable name, ".tarvi-<pid>-<random>.tmp", where pid is the decimal id of
// the writing process. A run that is killed or crashes before its rename leaves
// such a file behind; it is stale once its process no longer runs, and the next
// start of the program, or the next rewrite in that folder, removes it.
#include <sys/types.h>

#include <QString>
#include <string_view>

// Whether name (a bare file name) has the form above; the pid written in it goes
// to *pid when given.
bool IsTempBesideName(std::string_view name, pid_t* pid = nullptr);

// Whether process pid has certainly ended: kill(pid, 0) fails with ESRCH. A process
// of another user (EPERM) still lives.
bool ProcessIsGone(pid_t pid);

// A fresh name of the form above in folder, not yet made: for a writer that
// creates the file itself. CreateTempBeside below is the usual way.
QString TempBesideName(const QString& folder);

// Removes the stale temporary files in folder: regular files named as above (not
// links, not folders), owned by this user, whose process is gone (kill(pid, 0)
// fails with ESRCH). A file whose process lives, or whose process cannot be told
// apart from a living one, is left alone. Returns how many were removed.
int RemoveStaleTempFiles(const QString& folder);

// Creates a new, empty temporary file in folder with the name above (O_EXCL, so
// never anybody else's file), after removing the stale ones there. Returns its
// descriptor (close-on-exec) and sets *path, or -1 with errno set.
int CreateTempBeside(const QString& folder, QString* path, mode_t mode = 0600);
