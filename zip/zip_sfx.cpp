// Writing a new self-extracting archive: stub, settings record and an empty
// archive, which the adding library then fills.
#include "zip/zip_sfx.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QPixmap>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "interfaces/ziplib_errors.h"
#include "platform/codepage.h"
#include "platform/disk_steps.h"
#include "platform/replacement_file.h"
#include "platform/temp_beside.h"
#include "platform/ui_services.h"
#include "zip/zip_archiver.h"
#include "zip/zip_messages.h"

namespace {

void Put16(QByteArray& b, int at, uint32_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void Put32(QByteArray& b, int at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

// The folder of a file name, as a path to open.
QByteArray FolderOf(const QString& file) { return QFile::encodeName(QFileInfo(file).path()); }

EZaSfxError DiskError(int err, bool display = true) { return EZaSfxError::FromText(DiskErrorText(err), display); }

// A Windows program file: the DOS header's "MZ" and, where it points, "PE" 0 0.
// Only such a stub has an icon resource to replace.
bool IsWindowsProgram(const QByteArray& stub) {
  if (stub.size() < 64 || !stub.startsWith("MZ")) return false;
  const qint64 at = static_cast<uint8_t>(stub[60]) | (static_cast<uint8_t>(stub[61]) << 8) |
                    (static_cast<uint8_t>(stub[62]) << 16) |
                    (static_cast<qint64>(static_cast<uint8_t>(stub[63])) << 24);
  return at + 4 <= stub.size() && stub.mid(at, 4) == QByteArray("PE\0\0", 4);
}

}  // namespace

// ---- EZaSfxError ------------------------------------------------------------------

EZaSfxError::EZaSfxError(int id, bool display, QString message)
    : display_(display), id_(id), message_(std::move(message)), what_(message_.toStdString()) {}

EZaSfxError EZaSfxError::FromId(int id, bool display) {
  QString text = ZipMessageText(id);
  if (text.isEmpty())
    text = QStringLiteral("ZipMsgXX.res is probably not linked to the executable\nMissing String ID is: ") +
           QString::number(id);
  return EZaSfxError(id, display, text);
}

EZaSfxError EZaSfxError::FromText(const QString& text, bool display) { return EZaSfxError(0, display, text); }

// ---- Streams ------------------------------------------------------------------------

QString TSFXBinStream::Locate(const QString& fileName) {
  QStringList folders;
  const QString own = QCoreApplication::applicationDirPath();
  if (!own.isEmpty()) folders << own;
  const QByteArray path = qgetenv("PATH");
  for (const QByteArray& part : path.split(':'))
    if (!part.isEmpty()) folders << QFile::decodeName(part);
  for (const QString& folder : folders) {
    const QString candidate = TZipArchiver::PathConcat(folder, fileName);
    QFileInfo info(candidate);
    if (info.isFile() && info.isReadable()) return candidate;
  }
  return QString();
}

TSFXBinStream::TSFXBinStream(const QString& language) {
  QString found = Locate(QStringLiteral("ZASFX") + language + QStringLiteral(".BIN"));
  if (found.isEmpty()) found = Locate(QStringLiteral("ZASFXUS.BIN"));
  QFile file(found);
  if (found.isEmpty() || !file.open(QIODevice::ReadOnly)) throw EZaSfxError::FromId(kZipSfxStubMissing);
  data_ = file.readAll();
  fileName_ = found;
}

TSFXHeaderStream::TSFXHeaderStream(const TCustomZaSFX& maker) {
  const QByteArray texts[5] = {ToCp1250(maker.DialogTitle), ToCp1250(maker.DefaultExtractPath),
                               ToCp1250(maker.CommandLine), ToCp1250(maker.FallbackExtractPath),
                               ToCp1250(maker.Message)};
  int total = 0;
  for (const QByteArray& t : texts) {
    if (t.size() > 255) throw EZaSfxError::FromId(kZipSfxStringTooLong);
    total += static_cast<int>(t.size());
  }
  const int size = (18 + total + 3) / 4 * 4;
  data_ = QByteArray(size + 8, '\0');
  data_[0] = 'Z';
  data_[1] = 'M';
  data_[2] = 0x00;
  data_[3] = 0x01;
  Put16(data_, 4, static_cast<uint32_t>(size));
  Put16(data_, 6, static_cast<uint32_t>(maker.Options.Bits()));
  data_[8] = static_cast<char>(maker.OverwriteMode);
  for (int i = 0; i < 5; ++i) data_[9 + i] = static_cast<char>(texts[i].size());
  Put32(data_, 14, maker.MessageFlags);
  int at = 18;
  for (const QByteArray& t : texts) {
    std::memcpy(data_.data() + at, t.constData(), static_cast<size_t>(t.size()));
    at += static_cast<int>(t.size());
  }
  data_[size] = 'Z';
  data_[size + 1] = 'M';
  data_[size + 2] = 0x0A;
  data_[size + 3] = 0x01;
  Put32(data_, size + 4, static_cast<uint32_t>(size));
}

int64_t TZipArchiveStream::Read(void* buffer, int64_t count) {
  static const uint8_t kEnd[kSize] = {0x50, 0x4b, 0x05, 0x06};
  const int64_t n = std::max<int64_t>(0, std::min(count, kSize - pos_));
  std::memcpy(buffer, kEnd + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TZipArchiveStream::Seek(int64_t pos) {
  pos_ = std::clamp<int64_t>(pos, 0, kSize);
  return pos_;
}

// ---- The maker ----------------------------------------------------------------------

TCustomZaSFX::TCustomZaSFX() = default;

void TCustomZaSFX::SetSFXLanguage(const QString& v) {
  // No stub languages are carried as resources: the code is taken as given.
  language_ = v.toUpper();
  SFXPath = QStringLiteral("ZASFX") + language_ + QStringLiteral(".BIN");
}

QString TCustomZaSFX::IconLeftOutText() { return QStringLiteral("No icon resources found in executable."); }

void TCustomZaSFX::CreateSfx() {
  iconLeftOut_ = false;
  TSFXBinStream stub(language_);
  SFXPath = stub.FileName();
  TSFXHeaderStream header(*this);
  // The file is made through the program's writer: under a hidden name beside
  // the target, renamed into place only when it is whole and synced, so a failure
  // leaves no partial self-extractor and an earlier file untouched.
  TReplacementFile file;
  auto fail = [&file](bool display = true) { return DiskError(file.SystemError(), display); };
  if (!file.Create(TargetFile)) throw fail();
  // A self-extractor is a program: made executable (less the umask).
  const mode_t mask = umask(0);
  umask(mask);
  file.SetMode(0777 & ~mask);
  TZipArchiveStream archive;
  char end[TZipArchiveStream::kSize];
  archive.Read(end, sizeof end);
  if (!file.Write(stub.Data().constData(), static_cast<size_t>(stub.Data().size())) ||
      !file.Write(header.Data().constData(), static_cast<size_t>(header.Data().size())) || !file.Write(end, sizeof end))
    throw fail();
  const std::exception_ptr iconError = PutIcon(stub.Data(), file.TempPath());
  // An earlier file goes to the trash, only now that its successor is whole; a
  // rename that fails after it went puts it back, so the name never ends up empty.
  QString trashed;
  file.CheckBeforeRename([&file, &trashed] {
    struct stat st;
    if (lstat(QFile::encodeName(file.Target()).constData(), &st) != 0) return 0;
    if (TZipArchiver::MoveToTrash(file.Target(), &trashed)) return 0;
    return errno != 0 ? errno : EIO;
  });
  if (!file.Commit(true)) {
    if (!trashed.isEmpty()) TZipArchiver::RestoreFromTrash(trashed, file.Target());
    throw fail(file.FailedStep() != WriteStep::Check);
  }
  if (iconError) std::rethrow_exception(iconError);
}

std::exception_ptr TCustomZaSFX::PutIcon(const QByteArray& stub, const QString& path) {
  // An icon that cannot be put in leaves the file as it is, without the icon. A
  // stub that is no Windows program (ours) has no icon to replace: the file is
  // made without it, which the caller tells the user.
  if (Icon.isNull()) return nullptr;
  if (!IsWindowsProgram(stub)) {
    iconLeftOut_ = true;
    return nullptr;
  }
  try {
    ReplaceIcon(path, Icon);
  } catch (const EZaSfxError&) {
    return std::current_exception();
  }
  return nullptr;
}

namespace {

uint16_t Le16(const QByteArray& b, qsizetype at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8));
}
uint32_t Le32(const QByteArray& b, qsizetype at) {
  return static_cast<uint32_t>(Le16(b, at)) | (static_cast<uint32_t>(Le16(b, at + 2)) << 16);
}

[[noreturn]] void BrowseError() { throw EZaSfxError::FromText(QStringLiteral("Error while browsing resources.")); }

// Exactly n bytes at pos, or empty.
QByteArray ReadExact(QFile& f, qint64 pos, qint64 n) {
  if (!f.seek(pos)) return QByteArray();
  QByteArray b = f.read(n);
  return b.size() == n ? b : QByteArray();
}

// The resource tree from the directory at dirPos (relative to the section's
// start base): icons (id 3) at the first level, id 1 at the second, the first
// entry below. Fills the data record; false when the tree holds none.
bool WalkResources(QFile& f, qint64 base, qint64 dirPos, int level, QByteArray& dataRecord) {
  if (level > 8) return false;  // a tree that loops on itself
  const QByteArray dir = ReadExact(f, base + dirPos, 16);
  if (dir.isEmpty()) BrowseError();
  const int entries = Le16(dir, 12) + Le16(dir, 14);
  for (int i = 0; i < entries; ++i) {
    const QByteArray e = ReadExact(f, base + dirPos + 16 + 8 * i, 8);
    if (e.isEmpty()) BrowseError();
    const uint32_t id = Le32(e, 0);
    const uint32_t target = Le32(e, 4);
    if (!(target & 0x80000000u)) {
      dataRecord = ReadExact(f, base + target, 16);
      if (dataRecord.isEmpty()) BrowseError();
      return true;
    }
    const bool follow = level == 1 ? id == 3 : level == 2 ? id == 1 : true;
    if (follow && WalkResources(f, base, target & 0x7FFFFFFFu, level + 1, dataRecord)) return true;
  }
  return false;
}

}  // namespace

void TCustomZaSFX::ReplaceIcon(const QString& target, const QIcon& icon) {
  QFile f(target);
  if (!f.open(QIODevice::ReadWrite)) throw EZaSfxError::FromId(kZipInputNotExe);
  const QByteArray dos = ReadExact(f, 0, 64);
  if (dos.isEmpty() || !dos.startsWith("MZ")) throw EZaSfxError::FromId(kZipInputNotExe);
  const qint64 peAt = Le32(dos, 60);
  const QByteArray pe = ReadExact(f, peAt, 248);
  if (pe.isEmpty() || !pe.startsWith(QByteArray("PE\0\0", 4))) throw EZaSfxError::FromId(kZipInputNotExe);
  const uint32_t resAddress = Le32(pe, 136);
  const uint32_t resSize = Le32(pe, 140);
  if (resAddress == 0 || resSize == 0) throw EZaSfxError::FromText(QStringLiteral("No resources found in executable."));
  const int sections = Le16(pe, 6);
  qint64 sectionPos = -1;
  uint32_t sectionAddress = 0;
  for (int i = 0; i < sections; ++i) {
    const QByteArray sh = ReadExact(f, peAt + 248 + 40 * i, 40);
    if (sh.isEmpty()) throw EZaSfxError::FromText(QStringLiteral("Error while reading executable sections."));
    if (Le32(sh, 12) == resAddress) {
      sectionAddress = Le32(sh, 12);
      sectionPos = Le32(sh, 20);
      break;
    }
  }
  if (sectionPos < 0) throw EZaSfxError::FromText(QStringLiteral("No resources found in executable."));
  QByteArray data;
  if (!WalkResources(f, sectionPos, 0, 1, data)) throw EZaSfxError::FromText(IconLeftOutText());
  const uint32_t dataAddress = Le32(data, 0);
  const uint32_t dataSize = Le32(data, 4);

  const QByteArray ico = IconFileBytes(icon);
  if (ico.size() < 6 || Le16(ico, 0) != 0 || Le16(ico, 2) != 1 || Le16(ico, 4) == 0)
    throw EZaSfxError::FromText(QStringLiteral("No icon found."));
  const int images = Le16(ico, 4);
  for (int i = 0; i < images && 6 + 16 * (i + 1) <= ico.size(); ++i) {
    const qsizetype e = 6 + 16 * i;
    const uint32_t size = Le32(ico, e + 8);
    const uint32_t offset = Le32(ico, e + 12);
    if (size != dataSize || ico[e + 3] != 0) continue;
    const qint64 pos = sectionPos - static_cast<qint64>(sectionAddress) + dataAddress;
    if (static_cast<qint64>(offset) + size > ico.size() || pos < 0 || !f.seek(pos) ||
        f.write(ico.constData() + offset, size) != size)
      throw EZaSfxError::FromText(QStringLiteral("Cannot copy icon."));
    return;
  }
  throw EZaSfxError::FromText(QStringLiteral("No matching icon found."));
}

QByteArray TCustomZaSFX::IconFileBytes(const QIcon& icon) {
  const QList<QSize> sizes = icon.availableSizes();
  const QSize size = sizes.isEmpty() ? QSize(32, 32) : sizes.first();
  const QImage image = icon.pixmap(size).toImage();
  QByteArray out;
  QBuffer buffer(&out);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "ico");
  if (image.isNull() || !writer.write(image)) return QByteArray();
  return out;
}

// ---- The component's side -------------------------------------------------------------

namespace {

TSFXOptions MakerOptions(SFXOpts o) {
  TSFXOptions out;
  if (o.Contains(SFXAskCmdLine)) out.Include(soAskCmdLine);
  if (o.Contains(SFXAskFiles)) out.Include(soAskFiles);
  if (o.Contains(SFXHideOverWriteBox)) out.Include(soHideOverWriteBox);
  if (o.Contains(SFXAutoRun)) out.Include(soAutoRun);
  if (o.Contains(SFXNoSuccessMsg)) out.Include(soNoSuccessMsg);
  return out;
}

TSFXOverwriteMode MakerOverwrite(OvrOpts o) {
  switch (o) {
    case OvrAlways: return somOverwrite;
    case OvrNever: return somSkip;
    default: return somAsk;
  }
}

}  // namespace

int32_t TZipArchiver::ConvertToSfx(const QString& target) {
  TCustomZaSFX* maker = sfxSlave_;
  if (!maker) {
    if (!ownSfx_) {
      ownSfx_ = std::make_shared<TZaSFX>();
      // The message's type travels as a leading character, taken off once.
      ownSfx_->MessageFlags = 0;
      if (sfxMessage_.startsWith(QChar(1))) {
        ownSfx_->MessageFlags = 65;
        sfxMessage_.remove(0, 1);
      } else if (sfxMessage_.startsWith(QChar(2))) {
        ownSfx_->MessageFlags = 36;
        sfxMessage_.remove(0, 1);
      }
    }
    // The component's SFX properties stand for the maker's: what was written to
    // them since goes in now.
    ownSfx_->Icon = sfxIcon_;
    ownSfx_->DialogTitle = sfxCaption_;
    ownSfx_->CommandLine = sfxCommandLine_;
    ownSfx_->DefaultExtractPath = sfxDefaultDir_;
    ownSfx_->Message = sfxMessage_;
    ownSfx_->Options = MakerOptions(sfxOptions_);
    ownSfx_->OverwriteMode = MakerOverwrite(sfxOverWriteMode_);
    ownSfx_->SFXPath = sfxPath_;
    maker = ownSfx_.get();
  }
  maker->SourceFile = zipFileName_;
  maker->TargetFile = target;
  maker->CreateSfx();
  if (maker == ownSfx_.get()) sfxPath_ = maker->SFXPath;
  if (maker->IconLeftOut()) {
    // Information only: the self-extractor is made, the add goes on.
    const QString text = TCustomZaSFX::IconLeftOutText();
    if (!unattended_) Ui().messageBox(MsgKind::Information, text, QString());
    if (OnMessage) OnMessage(*this, 0, text);
  }
  return 0;
}

QString TZipArchiver::MakeAutoSFX() {
  const QByteArray folder = FolderOf(zipFileName_);
  QString work;
  struct stat st;
  do {
    work = TempBesideName(QFile::decodeName(folder));
  } while (lstat(QFile::encodeName(work).constData(), &st) == 0);
  ConvertToSfx(work);
  return work;
}

bool TZipArchiver::FinishNewSfx(const QString& work, bool reported) {
  const QByteArray from = QFile::encodeName(work);
  if (processedCount_ > 0) {
    // It holds files now: under its own name, never over a file that took that
    // name meanwhile.
    if (DiskRename(from.constData(), QFile::encodeName(zipFileName_).constData(), false)) {
      DiskSyncFolder(FolderOf(zipFileName_).constData());
      TCustomZaSFX* maker = sfxSlave_ ? sfxSlave_ : ownSfx_.get();
      if (maker && maker->TargetFile == work) maker->TargetFile = zipFileName_;
      return true;
    }
    const int err = errno;
    unlink(from.constData());
    processedCount_ = 0;
    ShowZipMessage(kZipOutputCreateFailed, QStringLiteral("\n") + DiskErrorText(err));
    return false;
  }
  unlink(from.constData());
  // The library said why in its messages, which show no box; a self-extractor
  // that could not be filled is a failed add like any other, so it gets one.
  // A cancel is the user's own choice and needs none.
  const int32_t code = errCode_;
  if (!reported && code != ZIPERR_ABORTED) {
    const QString reason = firstLibraryError_.isEmpty() ? message_ : firstLibraryError_;
    ShowZipMessage(kZipAutoSfxError, reason.isEmpty() ? QString() : QStringLiteral("\n") + reason,
                   {QString::number(code)});
  }
  return false;
}

void TZipArchiver::ShowSfxError(const EZaSfxError& e) {
  errCode_ = e.Id() != 0 ? e.Id() : kZipOutputCreateFailed;
  message_ = e.Message();
  if (e.Display() && !unattended_) Ui().messageBox(MsgKind::Information, message_, QString());
  if (OnMessage) OnMessage(*this, errCode_, message_);
}
