#include "zip/ezip_archiver.h"

#include "zip/zip_messages.h"

EZipArchiver::EZipArchiver(int id, bool display, QString message, QString textArg, QString numberArg)
    : display_(display),
      id_(id),
      textArg_(std::move(textArg)),
      numberArg_(std::move(numberArg)),
      message_(std::move(message)),
      what_(message_.toStdString()) {}

EZipArchiver EZipArchiver::CreateFromId(int id, bool display) {
  QString text = ZipMessageText(id);
  if (text.isEmpty()) text = FormatZipText(QStringLiteral("ZipArchiver [ %d ]"), {QString::number(id)});
  return EZipArchiver(id, display, text, QString(), QString());
}

EZipArchiver EZipArchiver::CreateFromIdInt(int id, int n) {
  QString number = QString::number(n);
  QString text = ZipMessageText(id);
  text = text.isEmpty() ? FormatZipText(QStringLiteral("ZipArchiver [ %d ] ,%d"), {QString::number(id), number})
                        : FormatZipText(text, {number});
  return EZipArchiver(id, true, text, QString(), number);
}

EZipArchiver EZipArchiver::CreateFromIdText(int id, const QString& s) {
  QString text = ZipMessageText(id);
  text = text.isEmpty() ? FormatZipText(QStringLiteral("ZipArchiver [ %d ], %s"), {QString::number(id), s})
                        : FormatZipText(text, {s});
  return EZipArchiver(id, true, text, s, QString());
}
