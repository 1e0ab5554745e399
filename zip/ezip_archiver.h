#pragma once
// The exception of the ZIP component: a message id of the table, whether the
// report shows a box, and the argument that fills the message's placeholder.
#include <QString>
#include <exception>
#include <string>

#include "zip/zip_message_ids.h"

class EZipArchiver : public std::exception {
 public:
  // The table's text; when the id has none, "ZipArchiver [ <id> ]".
  static EZipArchiver CreateFromId(int id, bool display);
  // The text filled with n; when none, "ZipArchiver [ <id> ] ,<n>". Shows a box.
  static EZipArchiver CreateFromIdInt(int id, int n);
  // The text filled with s; when none, "ZipArchiver [ <id> ], <s>". Shows a box.
  static EZipArchiver CreateFromIdText(int id, const QString& s);

  bool Display() const { return display_; }
  int Id() const { return id_; }
  const QString& TextArg() const { return textArg_; }
  const QString& NumberArg() const { return numberArg_; }  // decimal text, or empty
  const QString& Message() const { return message_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  EZipArchiver(int id, bool display, QString message, QString textArg, QString numberArg);
  bool display_;
  int id_;
  QString textArg_;
  QString numberArg_;
  QString message_;
  std::string what_;
};
