#include "signing/sign_limits.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "signing/file_utils.h"

namespace {

// Whether a name of that many bytes can exist in folder; a folder that reports
// no limit (or that cannot be asked) sets none here: creating the file will say.
bool Fits(const QString& folder, const QString& name) {
  const long max = pathconf(QFile::encodeName(folder).constData(), _PC_NAME_MAX);
  return max < 0 || QFile::encodeName(name).size() <= max;
}

}  // namespace

QString NameThatCannotExist(const QString& documentName, const QString& containerPath) {
  const QFileInfo container(containerPath);
  const QString beside = container.absolutePath();
  const QString temp = GetTempDirectory();
  const struct {
    QString folder, name;
  } names[] = {
      {beside, container.fileName()},
      {beside, documentName},
      {temp, documentName},
      {temp, QStringLiteral("Tmp_Orig_") + documentName},
  };
  for (const auto& n : names)
    if (!Fits(n.folder, n.name)) return QDir(n.folder).filePath(n.name);
  return QString();
}
