#pragma once
// Sending one file to one recipient through the user's mail client.
//
// Entry points for the main window's commands:
//   SendFileByMail(file, recipientAddress, displayName) — "Pošalji &e-mail" and
//     "Kriptiraj i pošalji e-mail": subject and note text are the file's name
//     without folder, the attachment is the file, no sender and no recipient name;
//     any failure (the user's cancellation included) shows the warning
//     MailNotSentText(displayName). True when the mail client took the message.
//   SendMapiMail(...) — the call underneath, with its result codes.
#include <QString>
#include <cstdint>

// -1: the mail library could not be loaded; 1: it has no MAPISendMail; otherwise
// MAPISendMail's result (0 success, anything else failure or the user's cancel).
// Every text may be empty: an empty subject, note text or attachment is left out,
// an empty recipient address offers the message with no recipient, an empty sender
// address leaves the originator empty; an empty name takes the address's place.
int32_t SendMapiMail(const QString& subject, const QString& noteText, const QString& attachmentPath,
                     const QString& senderName, const QString& senderAddress, const QString& recipientName,
                     const QString& recipientAddress);

// "e-mail za primatelja "NAME" nije poslan!"
QString MailNotSentText(const QString& displayName);

bool SendFileByMail(const QString& file, const QString& recipientAddress, const QString& displayName);
