#pragma once
// Simple MAPI as the program calls it, over the desktop's mail composer.
//
// The program loads the mail library by name for each message, looks up
// MAPISendMail and calls it with no session and the flags MAPI_LOGON_UI |
// MAPI_DIALOG (9). Here the library stands for `xdg-email`: loading "MAPI32.DLL"
// succeeds when that program can be found, and MAPISendMail opens the composer with
//     xdg-email [--cc ADDR]... [--bcc ADDR]... [--attach FILE]... [--subject TEXT] [--body TEXT] [TO-ADDR]...
// and blocks until the program ends. The note text is the body; xdg-email has no
// sender of the composer's own, so the originator is not passed on.
//
// Results: SUCCESS_SUCCESS when xdg-email exited with 0; MAPI_E_ATTACHMENT_NOT_FOUND
// (exit 2, a file does not exist), MAPI_E_ATTACHMENT_OPEN_FAILURE (exit 5, a file
// cannot be read), MAPI_E_UNKNOWN_RECIPIENT for an address that the command line
// would take as an option, MAPI_E_FAILURE for everything else (no mail client,
// the program did not start or crashed).
//
// The runner is injectable so tests read the exact command and script the answers.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

namespace mapi {

// Recipient classes.
inline constexpr uint32_t MAPI_ORIG = 0;
inline constexpr uint32_t MAPI_TO = 1;
inline constexpr uint32_t MAPI_CC = 2;
inline constexpr uint32_t MAPI_BCC = 3;

// Flags of MAPISendMail.
inline constexpr uint32_t MAPI_LOGON_UI = 0x1;
inline constexpr uint32_t MAPI_DIALOG = 0x8;

// Results of MAPISendMail.
inline constexpr uint32_t SUCCESS_SUCCESS = 0;
inline constexpr uint32_t MAPI_USER_ABORT = 1;
inline constexpr uint32_t MAPI_E_FAILURE = 2;
inline constexpr uint32_t MAPI_E_ATTACHMENT_NOT_FOUND = 11;
inline constexpr uint32_t MAPI_E_ATTACHMENT_OPEN_FAILURE = 12;
inline constexpr uint32_t MAPI_E_UNKNOWN_RECIPIENT = 14;

struct MapiRecipDesc {
  uint32_t ulReserved = 0;
  uint32_t ulRecipClass = MAPI_ORIG;
  QString lpszName;
  QString lpszAddress;  // "SMTP:" + address
  uint32_t ulEIDSize = 0;
  const void* lpEntryID = nullptr;
};

struct MapiFileDesc {
  uint32_t ulReserved = 0;
  uint32_t flFlags = 0;
  int32_t nPosition = 0;  // -1: the client places it
  QString lpszPathName;
  QString lpszFileName;  // empty: the path's own name
  const void* lpFileType = nullptr;
};

struct MapiMessage {
  uint32_t ulReserved = 0;
  QString lpszSubject;
  QString lpszNoteText;
  QString lpszMessageType;
  QString lpszDateReceived;
  QString lpszConversationID;
  uint32_t flFlags = 0;
  const MapiRecipDesc* lpOriginator = nullptr;
  uint32_t nRecipCount = 0;
  const MapiRecipDesc* lpRecips = nullptr;
  uint32_t nFileCount = 0;
  const MapiFileDesc* lpFiles = nullptr;
};

using LPMAPISENDMAIL = uint32_t (*)(uintptr_t session, uintptr_t uiParam, const MapiMessage* message, uint32_t flags,
                                    uint32_t reserved);

uint32_t MAPISendMail(uintptr_t session, uintptr_t uiParam, const MapiMessage* message, uint32_t flags,
                      uint32_t reserved);

// The mail library, loaded by name; released when the object dies.
class MailLibrary {
 public:
  // "MAPI32.DLL" (any case) while the mail program can be found; nullptr otherwise.
  static std::unique_ptr<MailLibrary> Load(const QString& name);
  // MAPISendMail, or nullptr for any other name.
  LPMAPISENDMAIL Function(const char* name) const;

 private:
  MailLibrary() = default;
};

// Runs the mail program. find: the program's full path, empty when it is not
// installed. run: the exit code, or kNotStarted when it did not start or crashed.
struct MailRunner {
  static constexpr int kNotStarted = -1;
  std::function<QString(const QString& program)> find;
  std::function<int(const QString& program, const QStringList& arguments)> run;
};

// Puts a runner in place (one with empty functions brings back the real one);
// returns the earlier one.
MailRunner SetMailRunner(MailRunner runner);

// The program and the arguments that MAPISendMail runs for a message; false (with
// the MAPI result in *refusal) when the message cannot be put on a command line.
bool MailCommandFor(const MapiMessage& message, QStringList& arguments, uint32_t* refusal);

inline constexpr char kMailProgram[] = "xdg-email";

}  // namespace mapi
