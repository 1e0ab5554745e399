#include "signing/sign_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "card/registry.h"
#include "card/tarvirsa_api.h"
#include "platform/codepage.h"
#include "platform/disk_steps.h"
#include "platform/ui_services.h"
#include "signing/base64.h"
#include "signing/card_signing.h"
#include "signing/container.h"
#include "signing/container_lock.h"
#include "signing/data_module.h"
#include "signing/document_validator.h"
#include "signing/extract_revoke.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
#include "signing/replacement_file.h"
#include "signing/settings.h"
#include "signing/sign_limits.h"
#include "signing/step.h"
#include "signing/verify.h"

namespace {

constexpr size_t kBlock = 65536;
constexpr size_t kWorkBufferSize = kBlock + 1;

SignClock& Clock() {
  static SignClock clock;
  return clock;
}

QDateTime Now() { return Clock() ? Clock()() : QDateTime::currentDateTime(); }

// The system's error number behind the last result 2, when the disk refused a step.
int g_lastSystemError = 0;

// Result 2, noting why when the container's file failed.
int32_t Unwritable(const TReplacementFile& out) {
  // A work file's disk error noted earlier in this run stays when the container's file has none.
  if (out.SystemError() != 0) g_lastSystemError = out.SystemError();
  return sfrOutputUnwritable;
}

void ErrorBox(const QString& text) {
  HideProgress();
  Ui().messageBox(MsgKind::Error, text);
}

// Result 2 for what signing refuses before any work: the container it would make
// cannot exist (a name too long for its folder, an archive that would need Zip64:
// the system's reason, which the shell shows with the result's line) or could not
// be read again (a signer past the reader's limit: the result's line alone).
int32_t Refused(int systemError) {
  g_lastSystemError = systemError;
  return sfrOutputUnwritable;
}

// Result 2 for a container that another writer holds or has changed.
int32_t InUse(const TContainerLock& lock) { return Refused(lock.SystemError()); }

// The cursor and the progress window go back to normal however SignFile ends.
struct OperationScope {
  OperationScope() { Ui().setWaitCursor(true); }
  ~OperationScope() {
    HideProgress();
    Ui().setWaitCursor(false);
  }
};

// Thrown by the digest when the cryptographic library fails.
struct DigestFailure {};

class Sha1 {
 public:
  Sha1() {
    if (tarvirsa::SHAInit(&ctx_) != 0) throw DigestFailure{};
  }
  void update(const void* data, size_t n) {
    if (n > 0 && tarvirsa::SHAUpdate(&ctx_, static_cast<const uint8_t*>(data), uint32_t(n)) != 0) throw DigestFailure{};
  }
  void final(uint8_t out[20]) {
    const uint8_t* d = tarvirsa::SHAFinal(&ctx_);
    if (!d) throw DigestFailure{};
    std::memcpy(out, d, 20);
  }

 private:
  TR_SHA_CTX ctx_{};
};

// The signed range of a new container as it is written: bytes gather in the work
// buffer and go out, digested, in blocks of 64 KiB; progress follows the payload.
class RangeWriter : public ByteSink {
 public:
  RangeWriter(TReplacementFile& out, Sha1& sha, std::vector<uint8_t>& buffer) : out_(out), sha_(sha), buf_(buffer) {}
  void Write(const void* data, size_t size) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
      const size_t k = std::min(size, kBlock - used_);
      std::memcpy(buf_.data() + used_, p, k);
      used_ += k;
      p += k;
      size -= k;
      if (used_ == kBlock) Flush();
    }
  }
  void Flush() {
    if (used_ == 0) return;
    sha_.update(buf_.data(), used_);
    if (!out_.Write(buf_.data(), used_)) throw EWriteError();
    written_ += int64_t(used_);
    used_ = 0;
    if (onBlock) onBlock(written_);
  }
  std::function<void(int64_t written)> onBlock;

 private:
  TReplacementFile& out_;
  Sha1& sha_;
  std::vector<uint8_t>& buf_;
  size_t used_ = 0;
  int64_t written_ = 0;
};

// The Base64 text's length for a payload of n bytes, CR LF of the 2304 rule included.
int64_t EncodedPayloadLength(int64_t n) {
  int64_t len = int64_t(Base64EncodedLength(size_t(n)));
  if (n > 0 && n % 2304 == 0) len += 2;
  return len;
}

// The same serial number from the same issuer: the whole serial, not a prefix.
bool SameCertificateIdentity(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  auto field = [](const std::vector<uint8_t>& cert, bool serial, std::vector<uint8_t>& out) {
    if (cert.empty() || !DerFits(cert.data(), cert.size())) return false;
    uint32_t len = 0;
    auto call = serial ? tarvirsa::X509ExtractSerial : tarvirsa::X509ExtractIssuer;
    if (call(cert.data(), nullptr, &len) != 0 || len == 0 || len > cert.size()) return false;
    out.assign(len, 0);
    if (call(cert.data(), out.data(), &len) != 0 || len > out.size()) return false;
    out.resize(len);
    return true;
  };
  std::vector<uint8_t> sa, sb, ia, ib;
  return field(a, true, sa) && field(b, true, sb) && field(a, false, ia) && field(b, false, ib) && sa == sb && ia == ib;
}

// Same size and the same bytes, compared block by block from the start.
bool SameContent(QFile& input, const QString& otherPath, bool showProgress) {
  QFile other(otherPath);
  if (!other.open(QIODevice::ReadOnly)) throw EFileError(QStringLiteral("Unable to open %1").arg(otherPath));
  if (!input.seek(0)) throw EFileError(QStringLiteral("Unable to read %1").arg(input.fileName()));
  const int64_t size = input.size();
  auto progress = [&](int64_t position) {
    if (showProgress) ShowProgress64(position, size, kProgressSameName, kProgressSameNameCaption);
  };
  progress(0);
  bool same = other.size() == size;
  std::vector<char> a(kBlock), b(kBlock);
  for (int64_t done = 0; same && done < size;) {
    const qint64 want = qint64(std::min<int64_t>(int64_t(kBlock), size - done));
    const qint64 na = input.read(a.data(), want);
    const qint64 nb = other.read(b.data(), want);
    if (na < 0) throw EFileError(QStringLiteral("Unable to read %1").arg(input.fileName()));
    if (nb < 0) throw EFileError(QStringLiteral("Unable to read %1").arg(otherPath));
    if (na != want || nb != want || std::memcmp(a.data(), b.data(), size_t(want)) != 0) same = false;
    done += want;
    progress(done);
  }
  if (showProgress) HideProgress();
  return same;
}

enum class Existing { AddInPlace, Stop, Full };

// A container of the expected name exists: add to it only when it carries the
// same file and this card has not signed it yet.
Existing CheckExistingContainer(CK_SESSION_HANDLE session, QFile& input, const QString& container,
                                int32_t certSerialValue, bool showProgress) {
  try {
    QString extracted;
    ExtractOriginalFile(container, emCompare, extracted);
    Ui().setWaitCursor(true);
    if (extracted.isEmpty()) return Existing::Stop;
    bool same = false;
    try {
      same = SameContent(input, extracted, showProgress);
    } catch (...) {
      QFile::remove(extracted);
      throw;
    }
    QFile::remove(extracted);
    if (!same) {
      ErrorBox(kMsgSignDifferentContent);
      return Existing::Stop;
    }
    TSignerList signers;
    VerifySignedFile(container, signers);
    // The reader takes no container of more signers: the card is not asked for one.
    if (signers.size() >= kSgnMaxSigners) return Existing::Full;
    std::vector<uint8_t> cardCert;
    const bool haveCardCert = ReadCardCertificate(session, cardCert);
    for (const TSignerRecord& r : signers) {
      const bool mine =
          haveCardCert ? SameCertificateIdentity(cardCert, r.Certificate) : r.SerialValue == certSerialValue;
      if (mine) {
        ErrorBox(kMsgSignAlreadySigned);
        return Existing::Stop;
      }
      if (r.SignatureOk != 1) break;
    }
    return Existing::AddInPlace;
  } catch (const EFileError& e) {
    ErrorBox(e.Text());
  } catch (const std::exception& e) {
    ErrorBox(QString::fromUtf8(e.what()));
  }
  return Existing::Stop;
}

// Packs the file into a ZIP archive in a private work folder; the archive's path,
// or empty when packing failed (the component has reported its own failure).
QString PackInput(const QString& file, int64_t inputSize, const QString& shortName, bool showProgress,
                  TWorkFolder& work) {
  try {
    TZipArchiver* zip = dmCollector ? &dmCollector->ZipArchiver1 : nullptr;
    // A signing nested in another operation's ZIP callback finds the component
    // busy: it leaves the running operation's settings alone.
    if (!zip || zip->IsBusy()) return QString();
    work.path = CreatePrivateWorkFolder(QStringLiteral("ZipSgnDat"));
    if (work.path.isEmpty()) return QString();
    const QString archive = work.path + QStringLiteral("/ZipSgnDat.tmp");
    zip->SetZipFileName(archive);
    zip->SetAddOptions({});
    zip->FSpecArgs().clear();
    zip->FSpecArgs().append(QFileInfo(file).absoluteFilePath());
    if (showProgress) ShowProgress(0, 100, kProgressZipping, shortName);
    int32_t rc = 0;
    {
      // The packing moves the window on as the component packs: up to 40 of 100.
      TZipProgress progress(*zip, showProgress, 0, 40, kProgressZipping, shortName);
      rc = zip->Add();
    }
    // Only an archive that holds exactly the file, whole, is ever signed.
    zip->SetZipFileName(archive);
    if (rc != 0 || zip->Count() != 1 || QFileInfo(archive).size() <= 0) return QString();
    if (inputSize <= int64_t(UINT32_MAX) && zip->DirEntry(0).UncompressedSize != uint32_t(inputSize)) return QString();
    if (showProgress) ShowProgress(40, 100, kProgressZipping, shortName);
    return archive;
  } catch (...) {
    ErrorBox(kMsgSignAddError);
  }
  return QString();
}

// The bytes written so far into a replacement file, followed by a fixed text: a
// container read back exactly as it will be committed.
class ReplacementSource : public SgnSource {
 public:
  ReplacementSource(TReplacementFile& file, int64_t written, std::string_view suffix = {})
      : file_(file), written_(written), suffix_(suffix) {}
  int64_t size() const override { return written_ + int64_t(suffix_.size()); }
  int64_t readAt(int64_t offset, void* buf, size_t n) override {
    if (offset < 0) return -1;
    if (offset < written_) return file_.ReadAt(offset, buf, size_t(std::min<int64_t>(int64_t(n), written_ - offset)));
    const int64_t at = offset - written_;
    if (at >= int64_t(suffix_.size())) return 0;
    const size_t k = std::min(n, suffix_.size() - size_t(at));
    std::memcpy(buf, suffix_.data() + at, k);
    return int64_t(k);
  }

 private:
  TReplacementFile& file_;
  int64_t written_;
  std::string_view suffix_;
};

// The look at what a container about to be signed carries, with a silent ZIP
// component of its own, so that neither a running ZIP operation nor the user is
// disturbed by it.
struct PayloadLook {
  TWorkFolder work;  // before the component: removed after it has let go of the archive
  TZipArchiver zip;
  int err = 0;  // the work disk's error number, where the look sets it
  PayloadLook() { zip.SetUnattended(true); }
  // A work disk that refused the look is the disk's failure, named as such.
  TPayloadCheck Named(TPayloadCheck check) const {
    if (check == TPayloadCheck::Failed && err != 0) g_lastSystemError = err;
    return check;
  }
};

// Whether a container about to be signed carries one file that can be shown.
TPayloadCheck CheckPayloadToSign(SgnSource& container) {
  PayloadLook look;
  return look.Named(CheckContainerPayload(container, look.zip, look.work, &look.err));
}

enum class CopyOutcome { Done, Malformed, NotOneFile, BadEntry, Full, NameTooLong, Failed, DigestFailed };

// Reads the container once: checks it strictly, digests its signed range, copies
// it into out, cut where the next Signer goes (over its closing text), and decodes
// its payload for the look at what it carries, all in the same pass.
CopyOutcome CopyForNewSigner(const QString& container, TReplacementFile& out, uint8_t digest[20],
                             const SgnCopyingSource::Progress& progress) {
  // Through a symbolic link the shared container itself gets the signer; one with
  // other hard links is refused rather than split from them.
  if (!out.Create(container, TReplacementFile::HardLinks::Refuse)) return CopyOutcome::Failed;
  SgnFileSource source(container);
  if (!source.isOpen()) return CopyOutcome::Failed;
  SgnCopyingSource copy(source, &out, progress);
  SgnLayout layout;
  PayloadLook look;
  TPayloadArchive payload(look.work);
  const bool digested = DigestSignedRange(copy, layout, digest, nullptr, &payload);
  if (copy.WriteFailed() || layout.fault == SgnFault::ReadError) return CopyOutcome::Failed;
  if (!layout.wellFormed || copy.Covered() != source.size()) return CopyOutcome::Malformed;
  if (!digested) return CopyOutcome::DigestFailed;
  if (layout.signers.size() >= kSgnMaxSigners) return CopyOutcome::Full;
  // A signer signs what the others can be shown: the one file of the payload.
  switch (look.Named(payload.Check(look.zip, &look.err))) {
    case TPayloadCheck::OneFile: break;
    case TPayloadCheck::Failed: return CopyOutcome::Failed;
    case TPayloadCheck::Malformed:
    case TPayloadCheck::NotOneFile: return CopyOutcome::NotOneFile;
    case TPayloadCheck::Empty:
    case TPayloadCheck::UnsafeName:
    case TPayloadCheck::Irregular: return CopyOutcome::BadEntry;
  }
  // The file that the next signer is shown must be able to come out.
  if (!NameThatCannotExist(look.zip.DirEntry(0).FileName, container).isEmpty()) return CopyOutcome::NameTooLong;
  // The reader has seen the closing text; the copy must hold it too.
  const int64_t at = SgnAppendPosition(source.size());
  char tail[kSgnClose.size()];
  if (at < 0 || out.ReadAt(at, tail, sizeof tail) != int64_t(sizeof tail) ||
      std::memcmp(tail, kSgnClose.data(), sizeof tail) != 0)
    return CopyOutcome::Failed;
  return out.Truncate(at) ? CopyOutcome::Done : CopyOutcome::Failed;
}

// What a copy for a new signer means for signing: nothing to say when it is done.
// A file that only looked like a container (Malformed) is packed into a new one
// when malformedIsPlainFile, else it is a container that cannot be written.
StepEnd<int32_t> CopyRefusal(CopyOutcome outcome, const TReplacementFile& out, bool malformedIsPlainFile) {
  switch (outcome) {
    case CopyOutcome::Done: return std::nullopt;
    case CopyOutcome::Malformed:
      if (malformedIsPlainFile) return std::nullopt;
      return Unwritable(out);
    case CopyOutcome::Failed: return Unwritable(out);
    // A container whose payload cannot be shown as its one file gets the box that
    // the comparison would show for it, and no signer; result 0.
    case CopyOutcome::NotOneFile: Ui().messageBox(MsgKind::Warning, kMsgFormatCompare); return sfrOk;
    case CopyOutcome::BadEntry: Ui().messageBox(MsgKind::Information, kMsgNotInterpreted); return sfrOk;
    // A container past the signer limit, or whose file could not come out under
    // its name, is refused before the card is asked.
    case CopyOutcome::Full: return Refused(0);
    case CopyOutcome::NameTooLong: return Refused(ENAMETOOLONG);
    case CopyOutcome::DigestFailed: return sfrNoSignature;
  }
  return std::nullopt;
}

// One signing, step by step; a step's end is SignFile's result.
class Signing {
 public:
  Signing(CK_SESSION_HANDLE session, const QString& file, QFile& input, bool packInput)
      : session_(session),
        file_(file),
        input_(input),
        packInput_(packInput),
        inputSize_(input.size()),
        showProgress_(inputSize_ > ProgressMinSize),
        shortName_(QFileInfo(file).fileName()) {}

  StepEnd<int32_t> AddToDocument();
  StepEnd<int32_t> ChooseContainer(int32_t certSerialValue);
  StepEnd<int32_t> OpenPayload();
  StepEnd<int32_t> WriteNewContainer(std::vector<uint8_t>& buffer, const QDateTime& now);
  int32_t SignAndCommit(const QDateTime& now, bool showSuccess);

 private:
  StepEnd<int32_t> AddToExisting(int32_t certSerialValue);
  StepEnd<int32_t> WriteRange(std::vector<uint8_t>& buffer, const QDateTime& now);
  SgnCopyingSource::Progress SigningProgress() {
    return [this](int64_t position, int64_t size) {
      if (showProgress_) ShowProgress64(position, size, shortName_, kProgressSigningCaption);
    };
  }

  const CK_SESSION_HANDLE session_;
  const QString file_;
  QFile& input_;
  const bool packInput_;
  const int64_t inputSize_;
  const bool showProgress_;
  const QString shortName_;
  // Declared before the new file, so the lock goes only after the new file has
  // been renamed into place or removed.
  TContainerLock lock_;
  TReplacementFile out_;
  uint8_t digest_[20] = {};
  QString target_;
  bool inPlace_ = false;
  TWorkFolder work_;
  QFile payload_;
};

// The file is itself a container: the signer goes into it, unless the strict
// reading finds it is none after all.
StepEnd<int32_t> Signing::AddToDocument() {
  if (!lock_.Acquire(file_) && lock_.Busy()) return InUse(lock_);
  const CopyOutcome outcome = CopyForNewSigner(file_, out_, digest_, SigningProgress());
  if (const auto end = CopyRefusal(outcome, out_, true)) return end;
  if (outcome == CopyOutcome::Malformed) {
    out_.Discard();
    lock_.Release();
    return std::nullopt;
  }
  if (!QFileInfo(file_).isWritable()) return sfrOutputUnwritable;
  input_.close();
  target_ = file_;
  inPlace_ = true;
  return std::nullopt;
}

// The document's container: an existing one gets the signer, else a new one is made.
StepEnd<int32_t> Signing::ChooseContainer(int32_t certSerialValue) {
  if (inPlace_) return std::nullopt;
  target_ = SignedFileName(file_);
  // What this document's container, its work files and its file shown again
  // will be called must be possible names, before anything is made.
  if (!NameThatCannotExist(shortName_, target_).isEmpty()) return Refused(ENAMETOOLONG);
  if (QFileInfo::exists(target_) || QFileInfo(target_).isSymLink()) return AddToExisting(certSerialValue);
  // Its archive would need Zip64, which our ZIP libraries do not write: say so
  // now, not after packing.
  if (packInput_ && inputSize_ >= kMaxPackedFileSize) return Refused(EFBIG);
  if (!out_.Create(target_)) return Unwritable(out_);
  return std::nullopt;
}

StepEnd<int32_t> Signing::AddToExisting(int32_t certSerialValue) {
  // Adding to an existing container rewrites it: held from the comparison on.
  if (!lock_.Acquire(target_) && lock_.Busy()) return InUse(lock_);
  switch (CheckExistingContainer(session_, input_, target_, certSerialValue, showProgress_)) {
    case Existing::AddInPlace: break;
    case Existing::Stop: return sfrOk;
    case Existing::Full: return Refused(0);
  }
  if (!QFileInfo(target_).isWritable()) return sfrOutputUnwritable;
  if (const auto end = CopyRefusal(CopyForNewSigner(target_, out_, digest_, SigningProgress()), out_, false))
    return end;
  inPlace_ = true;
  return std::nullopt;
}

// What the new container carries: the file packed into an archive, or the file.
StepEnd<int32_t> Signing::OpenPayload() {
  if (inPlace_) return std::nullopt;
  if (packInput_) {
    const QString archive = PackInput(file_, inputSize_, shortName_, showProgress_, work_);
    Ui().setWaitCursor(true);
    if (archive.isEmpty()) return sfrOutputUnwritable;
    payload_.setFileName(archive);
    if (!payload_.open(QIODevice::ReadOnly)) return sfrOutputUnwritable;
    if (showProgress_) ShowProgress(100, 100, kProgressZipping, shortName_);
  } else {
    input_.close();
    payload_.setFileName(file_);
    if (!payload_.open(QIODevice::ReadOnly)) return sfrInputUnreadable;
  }
  return std::nullopt;
}

// A container that gets its signer in place was copied and digested already.
StepEnd<int32_t> Signing::WriteNewContainer(std::vector<uint8_t>& buffer, const QDateTime& now) {
  if (inPlace_) return std::nullopt;
  if (const auto end = WriteRange(buffer, now)) return end;
  payload_.close();
  work_.remove();
  // Unpacked, the file's bytes stand as the payload unchecked until here: they
  // must make the one-file archive that every reader of the container expects.
  if (!packInput_) {
    ReplacementSource written(out_, out_.Size(), kSgnClose);
    if (CheckPayloadToSign(written) != TPayloadCheck::OneFile) return sfrOutputUnwritable;
  }
  return std::nullopt;
}

// The head and the signed range of a new container, digested as they are written.
StepEnd<int32_t> Signing::WriteRange(std::vector<uint8_t>& buffer, const QDateTime& now) {
  try {
    Sha1 sha;
    QString dtd;
    RegReadValue(HKEY_LOCAL_MACHINE, SettingsKey, QStringLiteral("File"), dtd);
    const std::string head = SgnHeaderText(ToCp1250Std(dtd));
    if (!out_.Write(head.data(), head.size())) return Unwritable(out_);

    RangeWriter range(out_, sha, buffer);
    const std::string prefix = SgnRangePrefixText(SgnTimeStampText(now));
    range.Write(prefix.data(), prefix.size());
    range.Flush();
    const int64_t payloadSize = packInput_ ? EncodedPayloadLength(payload_.size()) : payload_.size();
    auto progress = [&, signingProgress = SigningProgress()](int64_t done) {
      signingProgress(std::min(done - int64_t(prefix.size()), payloadSize), payloadSize);
    };
    range.onBlock = progress;
    progress(int64_t(prefix.size()));
    QIODeviceSource source(payload_);
    if (packInput_) {
      MimeEncodeStream(source, range);
    } else {
      std::vector<char> block(kBlock);
      for (size_t n; (n = source.Read(block.data(), block.size())) > 0;) range.Write(block.data(), n);
    }
    range.Write(kSgnTail.data(), kSgnTail.size());
    range.Flush();
    sha.final(digest_);
  } catch (const DigestFailure&) {
    return sfrNoSignature;
  } catch (const EWriteError&) {
    return Unwritable(out_);
  } catch (const EStreamError&) {
    return sfrOutputUnwritable;
  }
  return std::nullopt;
}

// The card's certificate and signature, checked, then the signer into the file.
int32_t Signing::SignAndCommit(const QDateTime& now, bool showSuccess) {
  if (showProgress_) ShowProgress(100, 100, QString(), kProgressCertificateCaption);
  std::vector<uint8_t> cert;
  if (!ReadCardCertificate(session_, cert)) return sfrNoCertificate;

  if (showProgress_) ShowProgress(100, 100, QString(), kProgressSignatureCaption);
  uint8_t signature[kCardSignatureBufferSize] = {};
  CK_ULONG signatureLen = 0;
  if (!SignDigestOnCard(session_, digest_, signature, sizeof signature, signatureLen)) return sfrNoSignature;
  // The signature must open with the certificate that goes beside it, or every
  // verifier would call "signed" a signature that is not.
  if (!SignatureMatchesDigest(cert, std::vector<uint8_t>(signature, signature + signatureLen), digest_))
    return sfrNoSignature;

  std::string signer = SgnSignerText(cert.data(), cert.size(), signature, signatureLen, SgnSigningTimeText(now));
  signer.append(kSgnClose);
  // A signer lands only in the very file that was read and digested.
  if (inPlace_) out_.CheckBeforeRename([this] { return lock_.Changed(); });
  if (!out_.Write(signer.data(), signer.size()) || !out_.Commit(inPlace_)) return Unwritable(out_);

  HideProgress();
  Ui().setWaitCursor(false);
  if (showSuccess) Ui().messageBox(MsgKind::Information, kMsgSignSuccess);
  return sfrOk;
}

}  // namespace

QString SignFileSystemErrorText() { return g_lastSystemError != 0 ? DiskErrorText(g_lastSystemError) : QString(); }

SignClock SetSignClock(SignClock clock) {
  SignClock previous = std::move(Clock());
  Clock() = std::move(clock);
  return previous;
}

int SplitFileName(const QString& path, QString& folder, QString& baseName, QString& extension) {
  const qsizetype slash = path.lastIndexOf('/');
  folder = slash >= 0 ? path.left(slash) : QString();
  const QString rest = slash >= 0 ? path.mid(slash + 1) : path;
  const qsizetype dot = rest.lastIndexOf('.');
  baseName = dot >= 0 ? rest.left(dot) : rest;
  extension = dot >= 0 ? rest.mid(dot + 1) : QString();
  return 1;
}

QString SignedFileName(const QString& file) {
  QString folder, base, ext;
  SplitFileName(file, folder, base, ext);
  const QString name = base + "_" + ext + ".sgn";
  return file.contains('/') ? folder + "/" + name : name;
}

QString SignFileResultLine(int32_t result) {
  switch (result) {
    case sfrInputUnreadable: return QStringLiteral(" >> Ulazna datoteka se ne može otvoriti !<<");
    case sfrOutputUnwritable: return QStringLiteral(" >> Izlazana datoteka se ne može kreirati !<<");
    case sfrNoBuffer: return QStringLiteral(" >> Nema dovoljno slobodne memorije za memorijski buffer !<<");
    case sfrNoCertificate: return QStringLiteral(" >> Certifikat se ne može pročitati s kartice !<<");
    case sfrNoSignature: return QStringLiteral(" >> Digitialni potpis se ne može generirati !<<");
    default: return QString();
  }
}

int32_t SignFile(CK_SESSION_HANDLE session, const QString& installFolder, const QString& file, bool packInput,
                 int32_t certSerialValue, int32_t reserved, bool showSuccess) {
  g_lastSystemError = 0;
  QFile input(file);
  if (!input.open(QIODevice::ReadOnly)) return sfrInputUnreadable;

  // Whether the file is itself a container is the document validator's decision:
  // its element walk here, its strict half in the pass that copies the container
  // for the new signer, so a container is read once, not twice. A file that fails
  // either half is packed into a new container.
  bool walks = false;
  {
    SgnFileSource source(input);
    walks = sgnvalidator::WalkSignedDocument(source);
  }
  OperationScope scope;
  Signing run(session, file, input, packInput);
  if (walks) {
    if (const auto end = run.AddToDocument()) return *end;
  }
  if (const auto end = run.ChooseContainer(certSerialValue)) return *end;
  if (const auto end = run.OpenPayload()) return *end;
  std::vector<uint8_t> buffer;
  try {
    buffer.assign(kWorkBufferSize, 0);
  } catch (const std::bad_alloc&) {
    return sfrNoBuffer;
  }
  const QDateTime now = Now();
  if (const auto end = run.WriteNewContainer(buffer, now)) return *end;
  return run.SignAndCommit(now, showSuccess);
}
