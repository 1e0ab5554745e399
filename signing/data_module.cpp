#include "signing/data_module.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include "platform/ui_services.h"

TdmCollector* dmCollector = nullptr;

TdmCollector::TdmCollector() {
  ZipArchiver1.SetAddCompLevel(9);
  ZipArchiver1.SetAddOptions({});
  ZipArchiver1.SetExtrOptions({});
  ZipArchiver1.SetUnattended(false);
  ZipArchiver1.SetVerbose(false);
  ZipArchiver1.SetTrace(false);
  ZipArchiver1.SetVersionInfo("1.73");
  ZipArchiver1.SetAddStoreSuffixes(
      {assGIF, assPNG, assZ, assZIP, assZOO, assARC, assLZH, assARJ, assTAZ, assTGZ, assLHA});
  ZipArchiver1.SetSpanOptions({});
  ZipArchiver1.SetKeepFreeOnDisk1(0);
  ZipArchiver1.SetKeepFreeOnAllDisks(0);
  ZipArchiver1.SetSFXCaption("Self-extracting Archive");
  ZipArchiver1.SetSFXOverWriteMode(OvrConfirm);
  ZipArchiver1.SetSFXPath("ZaSFX.bin");
}

TdmCollector::~TdmCollector() {
  if (dmCollector == this) dmCollector = nullptr;
}

QString TSaveDialog::DialogFilter(const QString& filter) {
  const QStringList parts = filter.split('|');
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString desc = parts[i].trimmed();
    // The description usually repeats its patterns in parentheses; the dialog
    // takes them from there, so they are written once, in its own form.
    const int open = desc.lastIndexOf('(');
    if (open > 0 && desc.endsWith(')')) desc = desc.left(open).trimmed();
    QStringList patterns;
    for (const QString& p : parts[i + 1].split(';', Qt::SkipEmptyParts))
      patterns << (p.trimmed() == "*.*" ? QStringLiteral("*") : p.trimmed());
    if (patterns.isEmpty()) patterns << "*";
    out << desc + " (" + patterns.join(' ') + ")";
  }
  return out.join(";;");
}

bool TSaveDialog::Execute() {
  QString suggested = FileName;
  if (!InitialDir.isEmpty() && !QFileInfo(FileName).isAbsolute()) suggested = QDir(InitialDir).filePath(FileName);
  QString chosen = Ui().saveFileName(Title, suggested, DialogFilter(Filter));
  if (chosen.isEmpty()) return false;
  if (!DefaultExt.isEmpty() && QFileInfo(chosen).suffix().isEmpty() && !chosen.endsWith('.'))
    chosen += "." + DefaultExt;
  FileName = chosen;
  return true;
}
