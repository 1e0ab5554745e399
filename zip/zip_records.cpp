// Filling the parameter records of the two libraries from the properties.
#include <QDir>
#include <QFileInfo>
#include <cstring>

#include "zip/zip_archiver.h"

namespace {

constexpr int32_t Flag(bool on) { return on ? ZIPABI_ON : ZIPABI_OFF; }

// Texts in the records are UTF-8, the encoding of Linux file names.
QByteArray Utf8(const QString& s) { return s.toUtf8(); }

// A line of FSpecArgs that names an existing file as it stands is that file, even
// when it holds the characters the line syntax gives a meaning ("<", ">", "|"):
// they are legal in Linux file names.
QString ExistingFileLine(const QString& line, const QString& rootDir) {
  for (const QString& candidate : {line, line.trimmed()}) {
    if (candidate.isEmpty()) continue;
    QFileInfo info(candidate);
    if (info.isRelative() && !rootDir.isEmpty()) info = QFileInfo(QDir(rootDir), candidate);
    if (info.isFile()) return candidate;
  }
  return QString();
}

// The head that both records share: who calls, with which record version, and
// where the library calls back.
template <class Rec>
void FillRecordHead(Rec& r, uintptr_t handle, TZipArchiver* instance, int32_t version, bool trace) {
  r.Handle = handle;
  r.Instance = instance;
  r.Version = version;
  r.Callback = &DllCallback;
  r.Trace = Flag(trace);
}

// The date after which files are added, as "MM DD YY".
void FillFromDate(ZipRec& r, const QDate& addFrom) {
  QDate from = addFrom.isValid() ? addFrom : QDate(1899, 12, 30);
  QByteArray date = QStringLiteral("%1 %2 %3")
                        .arg(from.month(), 2, 10, QLatin1Char('0'))
                        .arg(from.day(), 2, 10, QLatin1Char('0'))
                        .arg(((from.year() % 100) + 100) % 100, 2, 10, QLatin1Char('0'))
                        .toLatin1();
  std::memcpy(r.Date, date.constData(), sizeof r.Date);
}

// One file-argument entry from its line: [">" | "|"] file argument ["<" password].
// s comes with the record's password, encryption, recursion and root folder.
void FillZipSpec(ZipLibParams& p, ZipSpec& s, const QString& line, const QString& rootDir) {
  QString existing = ExistingFileLine(line, rootDir);
  if (!existing.isEmpty()) {
    s.Spec = p.Text(Utf8(existing));
    return;
  }
  QString spec = line;
  if (spec.startsWith(u'>')) {
    s.Recurse = ZIPABI_RECURSE;
    spec.remove(0, 1);
  } else if (spec.startsWith(u'|')) {
    s.Recurse = 0;
    spec.remove(0, 1);
  }
  qsizetype lt = spec.indexOf(u'<');
  if (lt >= 0) {
    QString linePassword = spec.mid(lt + 1);
    spec.truncate(lt);
    if (linePassword.isEmpty() || linePassword.startsWith(u' ')) {
      // A bare "<" switches encryption off for this file argument.
      s.Encrypt = 0;
      s.Password = nullptr;
    } else {
      s.Encrypt = 65535;  // the line's own password encrypts
      s.Password = p.Text(Utf8(linePassword.left(kZipPasswordLimit)));
    }
  }
  s.Spec = p.Text(Utf8(spec.trimmed()));
}

void FillExclusions(ZipLibParams& p, const QStringList& exclusions) {
  const qsizetype excl = exclusions.size();
  p.rec.ExclCount = static_cast<int32_t>(excl);
  if (excl == 0) return;
  p.excl = std::make_unique<char*[]>(static_cast<size_t>(excl));
  for (qsizetype i = 0; i < excl; ++i) p.excl[static_cast<size_t>(i)] = p.Text(Utf8(exclusions[i]));
  p.rec.Excl = p.excl.get();
}

}  // namespace

QString TZipArchiver::StoreSuffixText() const {
  static const char* const kExts[] = {"gif", "png", "z",   "zip", "zoo", "arc", "lzh",  "arj", "taz",
                                      "tgz", "lha", "rar", "ace", "cab", "gz",  "gzip", "jar", "exe"};
  QString text;
  for (int i = assGIF; i <= assEXE; ++i) {
    if (addStoreSuffixes_.Contains(static_cast<AddStoreExtsEnum>(i)))
      text += u'.' + QString::fromLatin1(kExts[i]) + u':';
  }
  if (addStoreSuffixes_.Contains(assEXT)) text += extAddStoreSuffixes_;
  if (!text.isEmpty()) text.chop(1);
  return text;
}

char* TZipArchiver::FillZipOptions(ZipLibParams& p) {
  ZipRec& r = p.rec;
  FillRecordHead(r, unattended_ ? 0 : windowHandle_, this, ZIPABI_ZIP_RECORD_VERSION, trace_);
  char* password = password_.isEmpty() ? nullptr : p.Text(Utf8(password_.left(kZipPasswordLimit)));
  r.Password = password;
  QString suffixes = StoreSuffixText();
  r.StoreSuffixes = suffixes.isEmpty() ? nullptr : p.Text(Utf8(suffixes));
  r.Encrypt = Flag(addOptions_.Contains(AddEncrypt));
  r.Hidden = Flag(addOptions_.Contains(AddHiddenFiles));
  r.Volume = Flag(addOptions_.Contains(AddVolume));
  r.NoDirEntries = Flag(!addOptions_.Contains(AddSeparateDirs));
  r.FromDate = Flag(addOptions_.Contains(AddFromDate));
  r.Verbose = Flag(verbose_ || trace_);
  r.AlwaysOn = ZIPABI_ON;
  r.Level = addCompLevel_;
  r.JunkDirs = Flag(!addOptions_.Contains(AddDirNames));
  r.Recurse = addOptions_.Contains(AddRecurseDirs) ? ZIPABI_RECURSE : 0;
  r.NotSafe = Flag(!addOptions_.Contains(AddSafe));
  r.ForceDos = Flag(addOptions_.Contains(AddForceDOS));
  r.Move = Flag(addOptions_.Contains(AddMove));
  r.Update = Flag(addOptions_.Contains(AddUpdate));
  r.Freshen = Flag(addOptions_.Contains(AddFreshen) && !addOptions_.Contains(AddUpdate));
  r.ZipTime = Flag(addOptions_.Contains(AddZipTime));
  FillFromDate(r, addFrom_);
  return password;
}

std::unique_ptr<ZipLibParams> TZipArchiver::FillZipLibRecord(const QString& archiveName) {
  auto p = std::make_unique<ZipLibParams>();
  ZipRec& r = p->rec;
  char* password = FillZipOptions(*p);
  r.Archive = p->Text(Utf8(archiveName));
  r.TempDir = tempDir_.isEmpty() ? nullptr : p->Text(Utf8(tempDir_));
  r.Comment = zipComment_.isEmpty() ? nullptr : p->Text(zipComment_);
  r.ArchiveOnly = addOptions_.Contains(AddArchiveOnly) ? 1 : 0;
  r.ResetArchive = addOptions_.Contains(AddResetArchive) ? 1 : 0;
  r.AllowUndo = howToDelete_ == htdAllowUndo ? ZIPABI_ON : ZIPABI_OFF;
  r.CodePage = codePage_ == cpOEM ? 2 : 0;

  // One file-argument entry per line of FSpecArgs.
  const qsizetype lines = fSpecArgs_.size();
  char* rootDir = rootDir_.isEmpty() ? nullptr : p->Text(Utf8(QFileInfo(rootDir_).absoluteFilePath()));
  if (lines > 0) {
    p->specs = std::make_unique<ZipSpec[]>(static_cast<size_t>(lines));
    std::memset(p->specs.get(), 0, sizeof(ZipSpec) * static_cast<size_t>(lines));
  }
  for (qsizetype i = 0; i < lines; ++i) {
    ZipSpec& s = p->specs[static_cast<size_t>(i)];
    s.Password = password;
    s.Encrypt = r.Encrypt;
    s.Recurse = r.Recurse;
    s.RootDir = rootDir;
    FillZipSpec(*p, s, fSpecArgs_[i], rootDir_);
  }
  r.SpecCount = static_cast<int32_t>(lines);
  r.Specs = p->specs.get();
  FillExclusions(*p, fSpecArgsExcl_);
  r.Seven = ZIPABI_SENTINEL;
  return p;
}

std::unique_ptr<UnzLibParams> TZipArchiver::FillUnzLibRecord(const QString& archiveName, int32_t version) {
  auto p = std::make_unique<UnzLibParams>();
  UnzRec& r = p->rec;
  FillRecordHead(r, unattended_ ? 0 : windowHandle_, this, version, trace_);
  // Cut as adding cuts it, so that what was added with it opens with it.
  r.Password = p->Text(Utf8(password_.left(kZipPasswordLimit)));
  r.Test = Flag(extrOptions_.Contains(ExtrTest));
  r.AlwaysOn = ZIPABI_ON;
  r.Verbose = Flag(verbose_ || trace_);
  r.Update = Flag(extrOptions_.Contains(ExtrUpdate));
  r.Freshen = Flag(extrOptions_.Contains(ExtrFreshen) && !extrOptions_.Contains(ExtrUpdate));
  r.DirNames = Flag(extrOptions_.Contains(ExtrDirNames));
  r.Overwrite = Flag(extrOptions_.Contains(ExtrOverWrite));
  r.Archive = p->Text(Utf8(archiveName));
  r.PasswordReqCount = static_cast<int32_t>(passwordReqCount_);
  r.ExtrBaseDir = extrBaseDir_.isEmpty() ? nullptr : p->Text(Utf8(extrBaseDir_));
  r.CodePage = static_cast<uint16_t>(codePage_);

  const qsizetype lines = fSpecArgs_.size();
  if (lines > 0 && fSpecArgs_[0] != QLatin1String("*.*")) {
    p->names = std::make_unique<UnzName[]>(static_cast<size_t>(lines));
    std::memset(p->names.get(), 0, sizeof(UnzName) * static_cast<size_t>(lines));
    for (qsizetype i = 0; i < lines; ++i) p->names[static_cast<size_t>(i)].Name = p->Text(Utf8(fSpecArgs_[i]));
    r.NameCount = static_cast<int32_t>(lines);
    r.Names = p->names.get();
  }
  r.Seven = ZIPABI_SENTINEL;
  return p;
}
