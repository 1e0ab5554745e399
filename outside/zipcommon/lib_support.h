#pragma once
// What both ZIP libraries need around the format: the callback to the program,
// safe file creation, and checks of entry names.
//
// Nothing here keeps state between calls: every operation builds its own objects,
// so a callback may run a second operation of the same library inside the first.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/ziplib_records.h"

namespace zipcommon {

// The program's callback for one operation. Every Send passes one callback record;
// once the program has answered -1, nothing more is sent except the closing
// "aborted" notice (Finish).
class Callback {
 public:
  Callback(ZipCallbackFn* fn, void* instance, bool isZip) : fn_(fn), instance_(instance), isZip_(isZip) {}

  // Sends a code. Error and Size are also the answer slots of the questions: what
  // is sent in them is the default answer, since the program writes nothing there
  // when it has no handler. The answer stays readable through Answer() until the
  // next Send. Returns false when the operation is to stop (now or earlier).
  bool Send(int code, int32_t error, uint32_t size, std::string_view text);
  const ZipCallbackRec& Answer() const { return rec_; }
  // Sends a record whose code, slots and text area the caller filled (for the
  // codes that place more than one text, or an address, in the text area).
  bool SendFilled(const ZipCallbackRec& filled);

  bool Message(int32_t error, std::string_view text) { return Send(ZIPCB_MESSAGE, error, 0, text); }
  bool Skipped(std::string_view name, int skipSize, int32_t error) {
    return Send(ZIPCB_SKIPPED, error, skipSize, name);
  }
  bool Aborted() const { return aborted_; }
  // After an abort: the one "aborted" notice, whose answer is not looked at.
  void Finish();

 private:
  ZipCallbackFn* fn_;
  void* instance_;
  bool isZip_;
  bool aborted_ = false;
  bool finished_ = false;
  ZipCallbackRec rec_{};
};

// Writes text into a callback text area: at most cap - 1 bytes and a NUL, never
// ending inside a UTF-8 sequence.
void PutText(char* dst, size_t cap, std::string_view text);

// A new file in the folder open on dirfd, with a unique hidden name
// ".tarvi-<pid>-<random>.tmp" (the program's pattern for files beside a user's
// file, so a stale one of an ended process can be told and removed), created
// exclusively (never through a link) with mode 0666 before the umask. Returns the
// descriptor, or -1 with errno set.
int CreateTempFile(int dirfd, std::string& name);
// Renames from to to within dirfd. replace false: fails with EEXIST when to exists.
bool RenameInto(int dirfd, const std::string& from, const std::string& to, bool replace);
bool WriteAll(int fd, const void* data, size_t n);

// Starts the disk on a file written from its start, 16 MiB at a time, so that the
// sync that completes the file waits for the last step only. Only a hint: a
// failing disk still fails that sync, which the writer checks.
class WriteBehind {
 public:
  // The file now holds end bytes written in order.
  void Written(int fd, uint64_t end);
  // The file was cut back to its first to bytes.
  void Rewound(uint64_t to) {
    if (to < from_) from_ = to;
  }

 private:
  uint64_t from_ = 0;  // the disk has been started on the file up to here
};
// Overwrites a string's bytes (a password) before it is freed.
void WipeString(std::string& s);
// The text of errno, for messages.
std::string ErrnoText(int err);

// Splits a path into its folder ("." when it has none) and its last component.
void SplitPath(const std::string& path, std::string& folder, std::string& leaf);

// An entry name cut into the components of the path it would write, or the
// reason it is refused: empty, absolute, a drive prefix, an empty, "." or ".."
// component, or a control character. A name ending in "/" is a folder.
struct SafeName {
  std::vector<std::string> parts;
  bool isFolder = false;
  std::string refusal;  // empty when the name is safe
};
SafeName CheckEntryName(std::string_view name);

// "*" (any run, "/" included) and "?" (one character) against a name.
bool WildcardMatch(std::string_view pattern, std::string_view name);
bool HasWildcards(std::string_view s);

}  // namespace zipcommon

namespace zipcommon {

// Moves a file to the user's freedesktop trash ($XDG_DATA_HOME/Trash, on the same
// file system only). false, with the reason, when it could not: the file is then
// left where it was.
bool MoveToTrash(const std::string& path, std::string& why);

}  // namespace zipcommon
