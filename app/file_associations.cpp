#include "app/file_associations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "card/registry.h"
#include "platform/atomic_file.h"
#include "platform/codepage.h"
#include "platform/library.h"
#include "platform/registry_store.h"
#include "platform/ui_services.h"
#include "signing/settings.h"

namespace {

const QString kCustomerExtension = QStringLiteral("QVD");

bool KeyExists(const QString& key) {
  return regstore::KeyExists(regstore::Hive::ClassesRoot, ToCp1250Std(key)) == regstore::kSuccess;
}

// Writes a key's default value only when the key is missing.
bool WriteMissingKey(const QString& key, const QString& value) {
  if (KeyExists(key)) return true;
  return RegWriteValue(HKEY_CLASSES_ROOT, key, QString(), value) == 0;
}

QString DataHome() {
  const QByteArray env = qgetenv("XDG_DATA_HOME");
  if (!env.isEmpty() && QDir::isAbsolutePath(QString::fromLocal8Bit(env))) return QString::fromLocal8Bit(env);
  return QDir::homePath() + "/.local/share";
}

// A token for file names and the MIME type: an extension from the settings may
// hold anything, so every character outside [a-z0-9_+-] becomes %XX.
QString ExtensionToken(const QString& extension) {
  QString token;
  for (unsigned char b : extension.toLower().toUtf8()) {
    if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_' || b == '+' || b == '-')
      token += QChar(b);
    else
      token += QStringLiteral("%%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
  }
  return token;
}

QString MimeType(const QString& extension) { return "application/x-tarvisealdesk-" + ExtensionToken(extension); }

QString XmlEscaped(const QString& text) { return text.toHtmlEscaped(); }

// One argument of a desktop entry's Exec key: quoted, with the characters the
// format reserves escaped, and "%" doubled so it is not taken for a field code.
QString ExecArgument(const QString& arg) {
  QString out = "\"";
  for (QChar c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
    if (c == '%') out += '%';
  }
  return out + "\"";
}

// The value of a desktop entry key: one line, with backslash escapes.
QString EntryValue(const QString& text) {
  QString out;
  for (QChar c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  return out;
}

// Writes a file only when it does not exist yet.
bool WriteMissingFile(const QString& path, const QByteArray& data, bool* written) {
  if (QFileInfo::exists(path)) return true;
  if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
  if (!WriteFileAtomically(path, data)) return false;
  *written = true;
  return true;
}

void UpdateMimeDatabase() {
  const QString tool = QStandardPaths::findExecutable("update-mime-database");
  if (tool.isEmpty()) return;
  QProcess p;
  p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  p.setStandardOutputFile(QProcess::nullDevice());
  p.start(tool, {DataHome() + "/mime"});
  p.waitForFinished(30000);
}

bool RegisterOne(const QString& ext, const QString& description, const QString& verb, bool* filesWritten) {
  // An empty extension would name the hive's root and "." itself.
  if (ext.isEmpty()) return false;
  const QString program = AssociationProgramPath();
  bool ok = WriteMissingKey("." + ext.toLower(), ext);
  ok = ok && WriteMissingKey(ext, description);
  ok = ok && WriteMissingKey(ext + "\\DefaultIcon", program + ",0");
  ok = ok && WriteMissingKey(ext + "\\Shell", "Open");
  ok = ok && WriteMissingKey(ext + "\\Shell\\Open", verb);
  ok = ok && WriteMissingKey(ext + "\\Shell\\Open\\command", program + " \"%1\"");
  if (!ok) return false;

  const QString type = MimeType(ext);
  const QString mime = QStringLiteral(
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
                           "  <mime-type type=\"%1\">\n"
                           "    <comment>%2</comment>\n"
                           "    <glob pattern=\"*.%3\"/>\n"
                           "  </mime-type>\n"
                           "</mime-info>\n")
                           .arg(type, XmlEscaped(description), XmlEscaped(ext.toLower()));
  const QString entry =
      QStringLiteral(
          "[Desktop Entry]\n"
          "Type=Application\n"
          "Name=%1\n"
          "GenericName=%2\n"
          "Comment=%3\n"
          "Exec=%4 %f\n"
          "MimeType=%5;\n"
          "NoDisplay=true\n"
          "Terminal=false\n")
          .arg(EntryValue(QCoreApplication::applicationName().isEmpty() ? QFileInfo(program).fileName()
                                                                        : QCoreApplication::applicationName()),
               EntryValue(verb), EntryValue(description), ExecArgument(program), type);
  bool mimeWritten = false;
  ok = WriteMissingFile(MimePackagePath(ext), mime.toUtf8(), &mimeWritten);
  ok = ok && WriteMissingFile(DesktopEntryPath(ext), entry.toUtf8(), filesWritten);
  if (mimeWritten) *filesWritten = true;
  return ok;
}

bool UnregisterOne(const QString& ext) {
  if (ext.isEmpty()) return false;  // nothing of ours has an empty name
  regstore::DeleteKeyTree(regstore::Hive::ClassesRoot, ToCp1250Std("." + ext.toLower()));
  regstore::DeleteKeyTree(regstore::Hive::ClassesRoot, ToCp1250Std(ext));
  bool removed = QFile::remove(MimePackagePath(ext));
  removed = QFile::remove(DesktopEntryPath(ext)) || removed;
  return removed;
}

}  // namespace

bool IsCustomerEdition() {
  // The program's name: its file name without a final ".exe" (any case), which is
  // only there on some systems.
  QString name = ExeName.toUpper();
  if (name.endsWith(QLatin1String(".EXE"))) name.chop(4);
  return name == QLatin1String("QVDQUILLMARK");
}

QString AssociationProgramPath() {
  const QString path = QCoreApplication::applicationFilePath();
  return path.isEmpty() ? QString::fromStdString(ProgramBaseName()) : path;
}

QString MimePackagePath(const QString& extension) {
  return DataHome() + "/mime/packages/tarvisealdesk-" + ExtensionToken(extension) + ".xml";
}

QString DesktopEntryPath(const QString& extension) {
  return DataHome() + "/applications/tarvisealdesk-" + ExtensionToken(extension) + ".desktop";
}

bool FileTypeRegistered(const QString& extension) { return KeyExists("." + extension.toLower()); }

bool RegisterFileType(const QString& extension, const QString& description, const QString& verb) {
  bool filesWritten = false;
  bool ok = RegisterOne(extension, description, verb, &filesWritten);
  if (ok && IsCustomerEdition()) ok = RegisterOne(kCustomerExtension, kEncryptedFileDescription, verb, &filesWritten);
  if (filesWritten) UpdateMimeDatabase();
  if (!ok) Ui().messageBox(MsgKind::Error, kMsgAssociationRights);
  return ok;
}

void UnregisterFileType(const QString& extension) {
  bool removed = UnregisterOne(extension);
  if (IsCustomerEdition()) removed = UnregisterOne(kCustomerExtension) || removed;
  if (removed) UpdateMimeDatabase();
}
