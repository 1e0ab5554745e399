#include "signing/encrypt.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "card/certificate.h"
#include "card/tarvirsa_api.h"
#include "platform/codepage.h"
#include "platform/disk_steps.h"
#include "platform/ui_services.h"
#include "signing/activity_log.h"
#include "signing/data_module.h"
#include "signing/encrypted_container.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
#include "signing/replacement_file.h"
#include "signing/settings.h"
#include "signing/step.h"

QString CannotOpenText(const QString& name, const QString& reason) {
  return QStringLiteral("Cannot open file \"%1\". %2").arg(name, reason);
}

QString CannotCreateText(const QString& name, const QString& reason) {
  return QStringLiteral("Cannot create file \"%1\". %2").arg(name, reason);
}

QString EncodedFileFilter(const QString& ext) {
  return "Kriptirane datoteke (*." + ext + ")|*." + ext + "|Sve datoteke (*.*)|*.*";
}

QString EncodedFileName(const QString& sgnPath, const QString& mbr, bool workWithMbr, bool withDate,
                        const QDateTime& localTime, const QString& ext) {
  const qsizetype slash = sgnPath.lastIndexOf('/');
  const QString folder = slash >= 0 ? sgnPath.left(slash) : QString();
  const QString rest = slash >= 0 ? sgnPath.mid(slash + 1) : sgnPath;
  const qsizetype dot = rest.lastIndexOf('.');
  const QString base = dot >= 0 ? rest.left(dot) : rest;
  QString name = slash >= 0 ? folder + "/" : QString();
  if (workWithMbr) name += mbr + "_";
  if (withDate) name += localTime.toString(QStringLiteral("yyyyMMddHHmmss")) + "_";
  return name + base + "." + ext;
}

// ---- the cipher stream ----------------------------------------------------------

Des3CipherSource::Des3CipherSource(const uint8_t* key24, ByteSource& plain, size_t blockSize, size_t pieceBlocks)
    : plain_(plain),
      blockSize_(std::max<size_t>(8, blockSize / 8 * 8)),
      pieceSize_(blockSize_ * std::max<size_t>(1, pieceBlocks)) {
  std::memcpy(key_, key24, sizeof key_);
  block_.resize(pieceSize_ + 8);
}

Des3CipherSource::~Des3CipherSource() {
  explicit_bzero(key_, sizeof key_);
  explicit_bzero(block_.data(), block_.size());
}

bool Des3CipherSource::Refill() {
  if (done_) return false;
  const uint64_t start = plainBytes_;
  size_t got = 0;
  while (got < pieceSize_) {
    size_t n = plain_.Read(block_.data() + got, pieceSize_ - got);
    if (n == 0) break;
    got += n;
  }
  plainBytes_ += got;
  const bool last = got < pieceSize_;
  // The positions of the blocks of this piece, as reading block by block gives
  // them: a short piece also has the block where the plain text ends.
  if (onBlock)
    for (size_t at = 0; at < got || (last && at == got); at += blockSize_) onBlock(start + at);
  size_t len = got;
  if (last) {
    done_ = true;
    if (plainBytes_ == 0) return false;  // an empty plain text has an empty cipher text
    const size_t pad = 8 - got % 8;
    std::memset(block_.data() + got, int(pad), pad);
    len += pad;
  }
  if (len == 0) return false;
  TRRESULT rc = tarvirsa::DES3Encrypt(key_, block_.data(), uint32_t(len), block_.data());
  if (rc != 0) {
    done_ = true;
    throw EDes3Error(rc);
  }
  head_ = 0;
  tail_ = len;
  return true;
}

size_t Des3CipherSource::Read(void* buffer, size_t max) {
  if (max == 0) return 0;
  if (head_ == tail_ && !Refill()) return 0;
  size_t n = std::min(max, tail_ - head_);
  std::memcpy(buffer, block_.data() + head_, n);
  head_ += n;
  return n;
}

// ---- the operation ------------------------------------------------------------------

namespace {

class WaitCursor {
 public:
  WaitCursor() { Ui().setWaitCursor(true); }
  ~WaitCursor() { Ui().setWaitCursor(false); }
};

// Both names stand for one existing file (the same inode, through links too).
bool SameExistingFile(const QString& a, const QString& b) {
  struct stat sa {
  }, sb{};
  if (::stat(QFile::encodeName(a).constData(), &sa) != 0 || ::stat(QFile::encodeName(b).constData(), &sb) != 0)
    return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The two steps of one showing: the ZIP step, then the cipher over the archive.
constexpr TProgressShare kEncZipShare{0, kProgressWhole / 2};
constexpr TProgressShare kEncCipherShare{kProgressWhole / 2, kProgressWhole};

void Progress(uint64_t position, uint64_t maximum, const QString& description) {
  int shift = 0;
  while ((maximum >> shift) > uint64_t(INT32_MAX)) ++shift;
  ShowProgress(int32_t(position >> shift), int32_t(maximum >> shift), description, kMsgEncProgressCaption);
}

struct SessionKey {
  uint8_t key[kEncSessionKeyBytes] = {};
  TR_RANDOM keyRandom{};
  TR_RANDOM wrapRandom{};
  ~SessionKey() {
    tarvirsa::R_RandomFinal(&keyRandom);
    tarvirsa::R_RandomFinal(&wrapRandom);
    explicit_bzero(key, sizeof key);
    explicit_bzero(&keyRandom, sizeof keyRandom);
    explicit_bzero(&wrapRandom, sizeof wrapRandom);
  }
};

// A fresh random key.
TRRESULT DrawSessionKey(SessionKey& s) {
  TRRESULT rc = tarvirsa::R_RandomCreate(&s.keyRandom);
  if (rc == 0) rc = tarvirsa::R_GenerateBytes(s.key, sizeof s.key, &s.keyRandom);
  return rc;
}

// The key wrapped for the recipient, in a buffer as long as the recipient's modulus.
TRRESULT WrapSessionKey(const TR_RSA_PUBLIC_KEY& publicKey, SessionKey& s, std::vector<uint8_t>& wrapped) {
  TRRESULT rc = tarvirsa::R_RandomCreate(&s.wrapRandom);
  if (rc != 0) return rc;
  uint32_t len = 0;
  rc = tarvirsa::RSAPublicEncrypt(nullptr, &len, s.key, sizeof s.key, &publicKey, &s.wrapRandom);
  if (rc != 0) return rc;
  if (len == 0 || len > kEncMaxWrappedKeyBytes) return TR_E_LEN;
  wrapped.assign(len, 0);
  rc = tarvirsa::RSAPublicEncrypt(wrapped.data(), &len, s.key, sizeof s.key, &publicKey, &s.wrapRandom);
  if (rc != 0) return rc;
  wrapped.resize(len);
  return 0;
}

void Write(ByteSink& out, const std::string& text) { out.Write(text.data(), text.size()); }

// The encryption's settings and the name of the container it makes.
class Encryption {
 public:
  Encryption(const QString& installFolder, const QString& sgnPath, int reportMode)
      : report(reportMode, installFolder), sgnPath(sgnPath) {}

  StepEnd<int32_t> ChooseName(const QString& mbr, QString& outName);

  const WaitCursor cursor;
  const Reporter report;
  const bool workWithMbr = Settings ? Settings->WorkWithMBR : false;
  const bool withDate = Settings ? Settings->PackedNameWithDate : false;
  const bool decimalSerial = Settings ? Settings->ShowSNCertAsDecimal : false;
  const QString ext = Settings ? Settings->PackedFileExt : QStringLiteral("enc");
  const TdmInUse dm;
  const QString sgnPath;
  QString name;
};

// The name the container gets: the one the settings give, or another the user
// chooses rather than overwrite a file.
StepEnd<int32_t> Encryption::ChooseName(const QString& mbr, QString& outName) {
  name = EncodedFileName(sgnPath, mbr, workWithMbr, withDate, QDateTime::currentDateTime(), ext);
  outName = name;
  if (QFileInfo::exists(name)) {
    const int answer = Ui().messageBox(MsgKind::Confirmation, kMsgEncOverwrite1 + name + kMsgEncOverwrite2);
    if (answer == mrNo) {
      TSaveDialog& dlg = dm->SnimiDlg;
      const QFileInfo info(name);
      dlg.DefaultExt = ext;
      dlg.InitialDir = info.path();
      dlg.FileName = info.fileName();
      dlg.Filter = EncodedFileFilter(ext);
      if (!dlg.Execute()) return kEncryptStopped;
      name = dlg.FileName;
      outName = name;
    } else if (answer != mrYes) {
      return kEncryptStopped;
    }
  }
  // Replacing the signed container with its own encryption would lose it.
  if (SameExistingFile(name, sgnPath)) {
    report(MsgKind::Error, CannotCreateText(name, QStringLiteral("It is the file being encrypted.")));
    return kEncryptCannotCreate;
  }
  return std::nullopt;
}

// The writing of the container: the ZIP step, the key, the cipher and the file.
class Enciphering {
 public:
  Enciphering(const Encryption& encryption, const TCertifikat& recipient)
      : e_(encryption), recipient_(recipient), plainPath_(encryption.sgnPath) {}

  StepEnd<int32_t> PackFirst();
  StepEnd<int32_t> OpenPlain();
  StepEnd<int32_t> PrepareKey();
  StepEnd<int32_t> WriteContainer(bool zipFirst);
  int32_t Commit();

 private:
  void ShowProgressOf(bool zipFirst);

  const Encryption& e_;
  const TCertifikat& recipient_;
  TWorkFolder work_;  // of the ZIP step
  QString plainPath_;
  QFile in_;
  QIODeviceSource plain_{in_};
  uint64_t size_ = 0;
  SessionKey session_;
  std::unique_ptr<Des3CipherSource> cipher_;
  TReplacementFile out_;
  std::vector<uint8_t> wrapped_;
};

// The container packed into a ZIP archive of its own, which is then enciphered.
StepEnd<int32_t> Enciphering::PackFirst() {
  // A container that does not open is named as such, not as a ZIP archive the
  // user never asked for.
  {
    QFile probe(e_.sgnPath);
    errno = 0;
    if (!probe.open(QIODevice::ReadOnly)) {
      const QString path = QFileInfo(e_.sgnPath).absoluteFilePath();
      e_.report(MsgKind::Error, CannotOpenText(path, FileErrorText(probe, errno)));
      return kEncryptCannotOpen;
    }
  }
  TZipArchiver& zip = e_.dm->ZipArchiver1;
  // An encryption started from inside a running ZIP operation's callback must not
  // change that operation's settings; the component would refuse it anyway.
  if (zip.IsBusy()) return kEncryptCannotOpen;
  // A folder of its own: a nested or parallel operation never meets this archive.
  work_.path = CreatePrivateWorkFolder(QStringLiteral("ZipSgnDat"));
  if (work_.path.isEmpty()) {
    e_.report(MsgKind::Error,
              CannotCreateText(GetTempDirectory() + "ZipSgnDat.tmp", QStringLiteral("No work folder.")));
    return kEncryptCannotOpen;
  }
  const QString archive = work_.path + QStringLiteral("/ZipSgnDat.tmp");
  int32_t rc = 0;
  try {
    zip.SetZipFileName(archive);
    zip.SetAddOptions({});
    zip.FSpecArgs().clear();
    zip.FSpecArgs().append(e_.sgnPath);
    const QFileInfo sgnInfo(e_.sgnPath);
    TZipProgress progress(zip, sgnInfo.size() > ProgressMinSize, kEncZipShare.first, kEncZipShare.last,
                          sgnInfo.fileName(), kMsgEncProgressCaption, kProgressWhole);
    rc = zip.Add();
  } catch (...) {
    // Without its archive the container is not encrypted at all: enciphering the
    // signed container itself would give a file no reader can open.
    e_.report(MsgKind::Information, kMsgEncAddException);
    return kEncryptCannotOpen;
  }
  if (rc != 0 || !QFileInfo(archive).isFile() || zip.Count() != 1) {
    const QString why =
        rc != 0 && !zip.Message().isEmpty() ? zip.Message() : QStringLiteral("The ZIP archive was not made.");
    e_.report(MsgKind::Error, CannotOpenText(archive, why));
    return kEncryptCannotOpen;
  }
  plainPath_ = archive;
  return std::nullopt;
}

StepEnd<int32_t> Enciphering::OpenPlain() {
  in_.setFileName(plainPath_);
  errno = 0;
  if (!in_.open(QIODevice::ReadOnly)) {
    e_.report(MsgKind::Error, CannotOpenText(QFileInfo(plainPath_).absoluteFilePath(), FileErrorText(in_, errno)));
    return kEncryptCannotOpen;
  }
  size_ = uint64_t(std::max<qint64>(0, in_.size()));
  return std::nullopt;
}

// A fresh key, its cipher, the new file, and the key wrapped for the recipient.
StepEnd<int32_t> Enciphering::PrepareKey() {
  TRRESULT rc = DrawSessionKey(session_);
  if (rc != 0) {
    e_.report(MsgKind::Error, kMsgEncKeyWrap + QString::number(rc) + "]");
    return kEncryptStopped;
  }
  try {
    cipher_ = std::make_unique<Des3CipherSource>(session_.key, plain_);
  } catch (const std::bad_alloc&) {
    e_.report(MsgKind::Error, kMsgEncNoMemory, kMsgEncNoMemoryLog);
    return kEncryptNoMemory;
  }
  // The container is made under a temporary name beside its target and replaces
  // it only once written, synced and complete: a failure leaves an older one whole.
  if (!out_.Create(e_.name)) {
    in_.close();
    e_.report(MsgKind::Error, CannotCreateText(e_.name, DiskErrorText(out_.SystemError())));
    return kEncryptCannotCreate;
  }
  // Wrapped before anything is written: a key that cannot be wrapped leaves no file.
  rc = WrapSessionKey(recipient_.PublicKey, session_, wrapped_);
  if (rc != 0) {
    out_.Discard();
    e_.report(MsgKind::Error, kMsgEncKeyWrap + QString::number(rc) + "]");
    return kEncryptStopped;
  }
  return std::nullopt;
}

void Enciphering::ShowProgressOf(bool zipFirst) {
  if (int64_t(size_) <= ProgressMinSize) return;
  const QString description = QFileInfo(e_.sgnPath).fileName();
  // After the ZIP step the cipher goes on from where it ended, in the same window.
  auto progress = [size = size_, description, zipFirst](uint64_t position) {
    if (zipFirst)
      kEncCipherShare.Show(int64_t(position), int64_t(size), description, kMsgEncProgressCaption);
    else
      Progress(position, size, description);
  };
  progress(0);
  cipher_->onBlock = progress;
}

StepEnd<int32_t> Enciphering::WriteContainer(bool zipFirst) {
  ShowProgressOf(zipFirst);
  int32_t result = kEncryptStopped;
  QString text, logText;
  try {
    ReplacementFileSink sink(out_);
    Write(sink, EncHeadText(ToCp1250Std(VersionText)));
    Write(sink,
          EncRecipientText(ToCp1250Std(recipient_.SubjectText),
                           EncSerialText(recipient_.SerialInt, ToCp1250Std(recipient_.SerialHex), e_.decimalSerial)));
    Write(sink, EncFileOpenText());
    MimeEncodeStream(*cipher_, sink);
    Write(sink, EncTailText(wrapped_.data(), wrapped_.size()));
    sink.Finish();
    return std::nullopt;
  } catch (const EDes3Error& e) {
    text = kMsgEncPiece + QString::number(e.code()) + "]";
    logText = kMsgEncPieceLog + QString::number(e.code()) + "]";
  } catch (const EReadError&) {
    result = kEncryptCannotOpen;
    const QString path = QFileInfo(plainPath_).absoluteFilePath();
    text = logText = CannotOpenText(path, FileErrorText(in_, plain_.SystemError()));
  } catch (const EWriteError&) {
    // A full or failing disk, named with the system's own words.
    result = kEncryptCannotCreate;
    text = logText = CannotCreateText(e_.name, DiskErrorText(out_.SystemError()));
  } catch (const std::bad_alloc&) {
    result = kEncryptNoMemory;
    text = kMsgEncNoMemory;
    logText = kMsgEncNoMemoryLog;
  }
  out_.Discard();
  HideProgress();
  e_.report(MsgKind::Error, text, logText);
  return result;
}

int32_t Enciphering::Commit() {
  HideProgress();
  in_.close();
  if (!out_.Commit(true)) {
    e_.report(MsgKind::Error, CannotCreateText(e_.name, DiskErrorText(out_.SystemError())));
    return kEncryptCannotCreate;
  }
  return kEncryptOk;
}

}  // namespace

int32_t EncryptForRecipient(const QString& mbr, const QString& installFolder, const QString& sgnPath, QString& outName,
                            bool zipFirst, int reportMode, const TCertifikat& recipient) {
  Encryption encryption(installFolder, sgnPath, reportMode);
  if (const auto end = encryption.ChooseName(mbr, outName)) return *end;
  // Whatever road the operation ends by, its progress window goes.
  const ScopeExit hideAtEnd(&HideProgress);
  Enciphering run(encryption, recipient);
  if (zipFirst) {
    if (const auto end = run.PackFirst()) return *end;
  }
  if (const auto end = run.OpenPlain()) return *end;
  if (const auto end = run.PrepareKey()) return *end;
  if (const auto end = run.WriteContainer(zipFirst)) return *end;
  return run.Commit();
}
