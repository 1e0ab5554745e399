#pragma once
// File routines shared by the engine and the shell: copying and moving, sizes,
// dates and existence tests, unique work files, the temporary folder, the
// trailing separator of folder names and opening a file with its program.
//
// Every file written here goes to a temporary file in the target's folder that
// is flushed and renamed into place only when complete: a failed copy leaves the
// old target and the source as they were, and a move deletes its source only
// after a complete copy.
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>
#include <stdexcept>

class QLabel;
class QProgressBar;

// A file operation that failed; what() holds the text (UTF-8), Text() the same
// as QString, SystemError() the system's error number when the system refused a
// step (0 otherwise), so a full disk can be named as one.
class EFileError : public std::runtime_error {
 public:
  explicit EFileError(const QString& text, int systemError = 0)
      : std::runtime_error(text.toStdString()), text_(text), systemError_(systemError) {}
  const QString& Text() const { return text_; }
  int SystemError() const { return systemError_; }

 private:
  QString text_;
  int systemError_;
};

// Copies source to destination (into it, under the source's name, when it is a
// folder), keeping the source's modification time; returns true. Throws
// EFileError "Unable to open %s" when the source does not open or the target
// cannot be created, "Unable to read %s" / "Unable to write %s" when the copy
// fails part way. A given progress bar runs from 0 to the size, a given label
// shows the whole percentage and " %".
bool CopyFileWithProgress(const QString& source, const QString& destination, QProgressBar* progress = nullptr,
                          QLabel* label = nullptr);

// Renames source to destination when that needs no replacing; otherwise copies
// (replacing an existing target, or into a folder) and deletes the source once
// the copy is complete. Errors of the copy pass to the caller.
void MoveFileWithFallback(const QString& source, const QString& destination, QProgressBar* progress = nullptr,
                          QLabel* label = nullptr);

// The size of the first file that matches the name (which may hold the
// wildcards * and ? in its last part), 0 for a folder, -1 when nothing matches.
int64_t GetFileSizeByName(const QString& name);

// The file's last modification time in local time; invalid when it does not exist.
QDateTime GetFileDateTime(const QString& name);

// Whether a file or folder matches the name; * and ? in its last part are
// wildcards, every other character stands for itself.
bool FileMaskExists(const QString& name);

// n random letters from "A" to "Y"; "" for n <= 0.
QString RandomLetters(int n);

// Creates an empty file folder + prefix + random letters (8 characters in all
// with the prefix) + "." + extension, whose base name no file in the folder has
// with any extension, and returns its path. An empty folder means the temporary
// folder. The prefix must be shorter than 8 characters (std::invalid_argument).
// Throws EFileError "Unable to open %s" when the file cannot be created.
QString CreateUniqueFile(const QString& folder, const QString& prefix, const QString& extension);
QString CreateUniqueTempFile(const QString& prefix, const QString& extension);

// The program's private temporary folder, with a trailing "/": a folder of
// mode 0700 with a unique name under $TMPDIR (else /tmp), made on first use for
// this process and removed at exit when empty. It holds a hidden file ".owner" that
// records the process (pid and start time). Making the first one also removes
// the stale folders of earlier runs (RemoveStaleWorkFolders).
QString GetTempDirectory();

// Removes the work folders that earlier runs of the program left under base
// (default $TMPDIR, else /tmp), such as a killed run's: only folders named as
// GetTempDirectory names them, of mode 0700, owned by this user, whose owner file
// names a process that no longer runs. Links are never followed. Returns how many
// were removed.
int RemoveStaleWorkFolders(const QString& base = QString());

// "" stays ""; a text ending in "/" is kept; any other text gets "/" appended.
QString IncludeTrailingBackslash(const QString& text);

// Opens the file with its associated program; true when the request was taken.
// On failure errno tells why: ENOENT for a missing file, else what the opener
// left (EIO when it left nothing).
bool ShellOpenFile(const QString& name);

// What ShellOpenFile calls; the default hands the file to the desktop's opener
// (QDesktopServices). Returns the opener it replaces; an empty one restores the
// default.
using FileOpener = std::function<bool(const QString& path)>;
FileOpener SetFileOpener(FileOpener opener);
