#pragma once
// The program's two plain-text logs, both UTF-8 with CR LF line ends:
// - the activity log, "<program>Act.log": switched on and off by the user, held
//   open while on, one time-stamped and tagged line per step;
// - the program log, "<program>.log": messages the encryption and decryption
//   operations write in place of boxes in their logging mode; it trims itself
//   once it has grown past kProgramLogLimit.
// Both live in the install folder when it can be written, else in
// $XDG_STATE_HOME/VodezOdir/ (default ~/.local/state/VodezOdir/).
#include <QString>
#include <QtGlobal>

#include "platform/ui_services.h"

class QFile;

// Off at every start; the shell's switch turns it on and off.
extern bool ActivityLogOn;
// The open activity log while ActivityLogOn is set, else nullptr.
extern QFile* ActivityLogStream;

inline constexpr qint64 kProgramLogLimit = 512000;  // bytes before an entry that start a trim
inline constexpr int kProgramLogTrimLines = 500;    // lines a trim removes from the front

// The folder the logs go to for this install folder, with a trailing "/".
QString LogFolder(const QString& installFolder);
// LogFolder + the program's name (less a final ".exe") + "Act.log" / + ".log".
QString ActivityLogFileName(const QString& installFolder);
QString ProgramLogFileName(const QString& folder);

// The current local time as "dd.mm.yyyy hh:nn:ss".
QString LogTimeStamp();
// A program-log entry as the engine's logging mode writes it: "- " + time + text,
// with nothing between time and text.
QString ProgramLogLine(const QString& text);

// The activity log file opened for reading and writing (created when missing), or
// nullptr when it can be neither opened nor created. The caller owns it.
QFile* OpenActivityLogFile(const QString& installFolder);

// Appends time + " " + tag + " " + text + CR LF at the end of stream; the tag carries
// its own brackets ("[Dekripcija]"). 0 when the
// line was written; -1 (nothing written) without an open stream or when writing fails.
int WriteActivityLog(QFile* stream, const QString& tag, const QString& text);

// Appends text + CR LF to the program log of folder. When the log was larger than
// kProgramLogLimit before the entry, its first kProgramLogTrimLines lines are then
// removed (never the new entry). 1 when the entry was written, 0 when the log could
// not be opened or written.
int AppendProgramLog(const QString& folder, const QString& text);

// Report modes of the operations that report for themselves: boxes, or the same
// texts as program-log entries.
inline constexpr int kReportBoxes = 0;
inline constexpr int kReportProgramLog = 2;

// Sends an operation's message where its report mode says: a box of the given kind,
// or a program-log entry (its own text, which may differ from the box's).
class Reporter {
 public:
  Reporter(int mode, const QString& installFolder) : mode_(mode), folder_(installFolder) {}
  void operator()(MsgKind kind, const QString& boxText, const QString& logText) const;
  void operator()(MsgKind kind, const QString& text) const { (*this)(kind, text, text); }

 private:
  int mode_;
  QString folder_;
};
