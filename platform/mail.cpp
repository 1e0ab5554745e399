#include "platform/mail.h"

#include <QProcess>
#include <QStandardPaths>

namespace mapi {
namespace {

QString FindProgram(const QString& program) { return QStandardPaths::findExecutable(program); }

int RunProgram(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::ForwardedChannels);
  process.start(program, arguments);
  if (!process.waitForStarted(-1)) return MailRunner::kNotStarted;
  // The composer may stay open as long as the user likes: the call blocks, as the
  // mail client's send window does.
  process.waitForFinished(-1);
  if (process.exitStatus() != QProcess::NormalExit) return MailRunner::kNotStarted;
  return process.exitCode();
}

MailRunner& Runner() {
  static MailRunner runner{FindProgram, RunProgram};
  return runner;
}

// What the command line takes of a recipient: the address without its transport.
QString PlainAddress(const MapiRecipDesc& r) {
  QString a = r.lpszAddress;
  if (a.startsWith(QLatin1String("SMTP:"), Qt::CaseInsensitive)) a = a.mid(5);
  if (a.isEmpty()) a = r.lpszName;  // a name alone is what the user typed as the address
  return a.trimmed();
}

}  // namespace

bool MailCommandFor(const MapiMessage& message, QStringList& arguments, uint32_t* refusal) {
  arguments.clear();
  QStringList to;
  for (uint32_t i = 0; message.lpRecips && i < message.nRecipCount; ++i) {
    const MapiRecipDesc& r = message.lpRecips[i];
    const QString address = PlainAddress(r);
    if (address.isEmpty()) continue;
    // Positional arguments after the options: one starting with "-" would be read
    // as an option of the mail program.
    if (address.startsWith(QLatin1Char('-'))) {
      if (refusal) *refusal = MAPI_E_UNKNOWN_RECIPIENT;
      return false;
    }
    switch (r.ulRecipClass) {
      case MAPI_CC: arguments << QStringLiteral("--cc") << address; break;
      case MAPI_BCC: arguments << QStringLiteral("--bcc") << address; break;
      default: to << address; break;
    }
  }
  for (uint32_t i = 0; message.lpFiles && i < message.nFileCount; ++i) {
    if (message.lpFiles[i].lpszPathName.isEmpty()) continue;
    arguments << QStringLiteral("--attach") << message.lpFiles[i].lpszPathName;
  }
  if (!message.lpszSubject.isEmpty()) arguments << QStringLiteral("--subject") << message.lpszSubject;
  // The note is the message's text: the composer opens with it in the body.
  if (!message.lpszNoteText.isEmpty()) arguments << QStringLiteral("--body") << message.lpszNoteText;
  arguments << to;
  return true;
}

uint32_t MAPISendMail(uintptr_t /*session*/, uintptr_t /*uiParam*/, const MapiMessage* message, uint32_t flags,
                      uint32_t /*reserved*/) {
  // The composer is the only way this layer sends: without the dialog flag there
  // is no silent sending to fall back to.
  if (!message || !(flags & MAPI_DIALOG)) return MAPI_E_FAILURE;
  QStringList arguments;
  uint32_t refusal = MAPI_E_FAILURE;
  if (!MailCommandFor(*message, arguments, &refusal)) return refusal;
  const MailRunner& runner = Runner();
  const QString program = runner.find(QString::fromLatin1(kMailProgram));
  if (program.isEmpty()) return MAPI_E_FAILURE;
  switch (runner.run(program, arguments)) {
    case 0: return SUCCESS_SUCCESS;
    case 2: return MAPI_E_ATTACHMENT_NOT_FOUND;
    case 5: return MAPI_E_ATTACHMENT_OPEN_FAILURE;
    default: return MAPI_E_FAILURE;
  }
}

std::unique_ptr<MailLibrary> MailLibrary::Load(const QString& name) {
  if (name.compare(QLatin1String("MAPI32.DLL"), Qt::CaseInsensitive) != 0) return nullptr;
  if (Runner().find(QString::fromLatin1(kMailProgram)).isEmpty()) return nullptr;
  return std::unique_ptr<MailLibrary>(new MailLibrary);
}

LPMAPISENDMAIL MailLibrary::Function(const char* name) const {
  if (name && QLatin1String(name) == QLatin1String("MAPISendMail")) return &MAPISendMail;
  return nullptr;
}

MailRunner SetMailRunner(MailRunner runner) {
  MailRunner previous = Runner();
  if (!runner.find) runner.find = FindProgram;
  if (!runner.run) runner.run = RunProgram;
  Runner() = std::move(runner);
  return previous;
}

}  // namespace mapi
