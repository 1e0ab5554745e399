#pragma once
// The data module: the non-visual components that the engine's operations share.
// One instance, dmCollector, is the first object start-up creates; it lives until
// the program ends. Each operation sets the properties it needs before use and
// restores none afterwards.
#include <QString>
#include <memory>

#include "zip/zip_archiver.h"

// A save-file dialog with the properties the engine sets before each use. The
// dialog itself goes through the UI services.
class TSaveDialog {
 public:
  QString Title;
  // Pairs "description|pattern|description|pattern...", patterns separated by ";".
  QString Filter;
  // Without the dot; added to a chosen name that has no extension.
  QString DefaultExt;
  QString InitialDir;
  // The suggested name before Execute, the chosen full path after it.
  QString FileName;

  // True when the user chose a file; FileName then holds its full path.
  bool Execute();

  // The filter in the form the file dialogs take ("desc (pat pat);;desc (pat)"),
  // with "*.*" meaning every file.
  static QString DialogFilter(const QString& filter);
};

class TdmCollector {
 public:
  TdmCollector();
  ~TdmCollector();
  TdmCollector(const TdmCollector&) = delete;
  TdmCollector& operator=(const TdmCollector&) = delete;

  TZipArchiver ZipArchiver1;
  TSaveDialog SnimiDlg;
};

// The one data module; nullptr before start-up creates it and after it is deleted.
extern TdmCollector* dmCollector;

// The data module an operation uses: the one data module, or, where there is none
// (a caller that never ran start-up), one of the operation's own that lives as
// long as this does.
class TdmInUse {
 public:
  TdmInUse() {
    if (!dmCollector) own_ = std::make_unique<TdmCollector>();
  }
  TdmCollector* operator->() const { return own_ ? own_.get() : dmCollector; }

 private:
  std::unique_ptr<TdmCollector> own_;
};
