#pragma once
// The self-extracting archive maker: a stub program, a settings record for the
// stub, then an ordinary ZIP archive.
//
// There are no program resources here: the stub is the file "ZASFX<lang>.BIN"
// beside the program (the build puts our terminal extractor there, ZASFXUS.BIN),
// else along PATH. The archive behind it keeps offsets counted from the start of
// the whole file, so unzip reads the result like any archive with a prefix.
#include <QByteArray>
#include <QIcon>
#include <QString>
#include <cstdint>
#include <exception>
#include <string>

#include "zip/zip_types.h"

enum TSFXOptionEnum : uint8_t {
  soAskCmdLine,
  soAskFiles,
  soHideOverWriteBox,
  soAutoRun,
  soNoSuccessMsg,
  soExpandVariables,
  soInitiallyHideFiles,
  soForceHideFiles,
  soCheckAutoRunFileName,
  soCanBeCancelled
};
using TSFXOptions = TSet<TSFXOptionEnum>;

enum TSFXOverwriteMode : uint8_t { somOverwrite = 0, somSkip = 1, somAsk = 2 };

class EZaSfxError : public std::exception {
 public:
  // The message table's text for id; a missing one gives the "not linked" text.
  static EZaSfxError FromId(int id, bool display = true);
  static EZaSfxError FromText(const QString& text, bool display = true);
  bool Display() const { return display_; }
  int Id() const { return id_; }  // 0 for a plain text
  const QString& Message() const { return message_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  EZaSfxError(int id, bool display, QString message);
  bool display_;
  int id_;
  QString message_;
  std::string what_;
};

// The stub: its bytes and the file they came from.
class TSFXBinStream {
 public:
  // Reads "ZASFX" + language + ".BIN", else "ZASFXUS.BIN"; EZaSfxError 10802 when
  // neither is found.
  explicit TSFXBinStream(const QString& language);
  const QByteArray& Data() const { return data_; }
  const QString& FileName() const { return fileName_; }
  // Where a stub file of that name is looked for: the program's folder, then PATH.
  static QString Locate(const QString& fileName);

 private:
  QByteArray data_;
  QString fileName_;
};

class TCustomZaSFX;

// The settings record with its trailer, for a maker.
class TSFXHeaderStream {
 public:
  explicit TSFXHeaderStream(const TCustomZaSFX& maker);
  const QByteArray& Data() const { return data_; }

 private:
  QByteArray data_;
};

// A new archive: the end record alone. Reads past it give nothing, seeks are
// clipped to the record, writes are refused.
class TZipArchiveStream {
 public:
  static constexpr int64_t kSize = 22;
  int64_t Read(void* buffer, int64_t count);
  int64_t Seek(int64_t pos);
  int64_t Write(const void*, int64_t) { return 0; }
  int64_t Position() const { return pos_; }

 private:
  int64_t pos_ = 0;
};

class TCustomZaSFX {
 public:
  TCustomZaSFX();
  virtual ~TCustomZaSFX() = default;

  QString SFXPath = QStringLiteral("ZASFXUS.BIN");
  TSFXOptions Options;
  TSFXOverwriteMode OverwriteMode = somAsk;
  QString Message;
  uint32_t MessageFlags = 0;
  QString DefaultExtractPath;
  QString DialogTitle;
  QString CommandLine;
  QString FallbackExtractPath;
  QString SourceFile;
  QString TargetFile;
  QIcon Icon;

  QString Version() const { return QStringLiteral("04-24-2003"); }
  void SetVersion(const QString&) {}
  QString SFXLanguage() const { return language_; }
  // Stored upper-cased; the stub path follows it.
  void SetSFXLanguage(const QString& v);

  // Writes TargetFile: stub, settings record, an archive without entries. The
  // file is made through the program's writer (platform/replacement_file.h): under
  // a hidden name beside it, taking its name only whole.
  virtual void CreateSfx();
  // After CreateSfx: Icon was set but the stub is no Windows program, so it has
  // no icon resource to replace; the file was made without the icon.
  bool IconLeftOut() const { return iconLeftOut_; }
  // The text that says so: the icon replacement's own for a program without
  // icon resources.
  static QString IconLeftOutText();
  // Puts an image of icon over the stub's icon resource inside a Windows program
  // file; EZaSfxError when the file is none or has no icon of that byte size.
  static void ReplaceIcon(const QString& target, const QIcon& icon);
  // The icon in the icon file format (one image), as the replacement takes it.
  static QByteArray IconFileBytes(const QIcon& icon);

 private:
  // CreateSfx's icon step on the file at path: the icon replaced in a Windows
  // stub (its failure kept for after the file is in place), left out otherwise.
  std::exception_ptr PutIcon(const QByteArray& stub, const QString& path);

  QString language_ = QStringLiteral("US");
  bool iconLeftOut_ = false;
};

class TZaSFX : public TCustomZaSFX {};
