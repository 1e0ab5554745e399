#include "app/email.h"

#include <QFileInfo>
#include <memory>

#include "platform/mail.h"
#include "platform/ui_services.h"

int32_t SendMapiMail(const QString& subject, const QString& noteText, const QString& attachmentPath,
                     const QString& senderName, const QString& senderAddress, const QString& recipientName,
                     const QString& recipientAddress) {
  using namespace mapi;
  MapiMessage message;
  if (!subject.isEmpty()) message.lpszSubject = subject;
  if (!noteText.isEmpty()) message.lpszNoteText = noteText;

  MapiRecipDesc sender;
  if (!senderAddress.isEmpty()) {
    sender.ulRecipClass = MAPI_ORIG;
    sender.lpszName = senderName.isEmpty() ? senderAddress : senderName;
    sender.lpszAddress = QStringLiteral("SMTP:") + senderAddress;
    message.lpOriginator = &sender;
  }

  MapiRecipDesc recipient;
  if (!recipientAddress.isEmpty()) {
    recipient.ulRecipClass = MAPI_TO;
    recipient.lpszName = recipientName.isEmpty() ? recipientAddress : recipientName;
    recipient.lpszAddress = QStringLiteral("SMTP:") + recipientAddress;
    message.nRecipCount = 1;
    message.lpRecips = &recipient;
  }

  MapiFileDesc file;
  if (!attachmentPath.isEmpty()) {
    file.nPosition = -1;
    file.lpszPathName = attachmentPath;
    message.nFileCount = 1;
    message.lpFiles = &file;
  }

  // Loaded for this message only, released when it goes out of scope.
  std::unique_ptr<MailLibrary> library = MailLibrary::Load(QStringLiteral("MAPI32.DLL"));
  if (!library) return -1;
  LPMAPISENDMAIL send = library->Function("MAPISendMail");
  if (!send) return 1;
  return static_cast<int32_t>(send(0, 0, &message, MAPI_LOGON_UI | MAPI_DIALOG, 0));
}

QString MailNotSentText(const QString& displayName) {
  return QStringLiteral("e-mail za primatelja \"") + displayName + QStringLiteral("\" nije poslan!");
}

bool SendFileByMail(const QString& file, const QString& recipientAddress, const QString& displayName) {
  const QString name = QFileInfo(file).fileName();
  if (SendMapiMail(name, name, file, QString(), QString(), QString(), recipientAddress) == 0) return true;
  Ui().messageBox(MsgKind::Warning, MailNotSentText(displayName));
  return false;
}
