#include "signing/decrypt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "card/card_objects.h"
#include "card/cryptoki.h"
#include "card/pkcs11_codes.h"
#include "card/tarvirsa_api.h"
#include "platform/disk_steps.h"
#include "platform/ui_services.h"
#include "signing/activity_log.h"
#include "signing/data_module.h"
#include "signing/encrypt.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
#include "signing/replacement_file.h"
#include "signing/settings.h"
#include "signing/step.h"

// ---- the plain-text stream --------------------------------------------------------

Des3PlainSink::Des3PlainSink(const uint8_t* key24, ByteSink& plain, size_t blockSize, size_t pieceBlocks)
    : plain_(plain), blockSize_(std::max<size_t>(8, blockSize / 8 * 8)) {
  std::memcpy(key_, key24, sizeof key_);
  block_.resize(blockSize_ * std::max<size_t>(1, pieceBlocks));
}

Des3PlainSink::~Des3PlainSink() {
  explicit_bzero(key_, sizeof key_);
  explicit_bzero(block_.data(), block_.size());
}

void Des3PlainSink::Decipher(size_t len) {
  // A length the library refuses fails at the block it is in, after the whole
  // blocks before it, as block-by-block deciphering would.
  const size_t whole = len % 8 ? len / blockSize_ * blockSize_ : len;
  if (whole) {
    TRRESULT rc = tarvirsa::DES3Decrypt(key_, block_.data(), uint32_t(whole), block_.data());
    if (rc != 0) throw EDes3Error(rc);
    if (onBlock)
      for (size_t at = 0; at < whole; at += blockSize_) onBlock(block_[std::min(at + blockSize_, whole) - 1]);
  }
  if (whole < len || len == 0) {
    TRRESULT rc = tarvirsa::DES3Decrypt(key_, block_.data() + whole, uint32_t(len - whole), block_.data() + whole);
    if (rc != 0) throw EDes3Error(rc);
    if (onBlock) onBlock(len ? block_[len - 1] : 0);
  }
}

void Des3PlainSink::Write(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  cipherBytes_ += size;
  while (size) {
    // A full block is written only once more bytes follow it: the last block
    // keeps its padding until Finish has checked it.
    if (fill_ == block_.size()) {
      Decipher(fill_);
      plain_.Write(block_.data(), fill_);
      fill_ = 0;
    }
    size_t k = std::min(size, block_.size() - fill_);
    std::memcpy(block_.data() + fill_, p, k);
    fill_ += k;
    p += k;
    size -= k;
  }
}

int32_t Des3PlainSink::Finish() {
  if (cipherBytes_ == 0) return TR_E_DATA;
  Decipher(fill_);
  const size_t pad = block_[fill_ - 1];
  if (pad < 1 || pad > 8 || pad > fill_) return TR_E_DATA;
  for (size_t i = fill_ - pad; i < fill_; ++i)
    if (block_[i] != pad) return TR_E_DATA;
  if (fill_ > pad) plain_.Write(block_.data(), fill_ - pad);
  fill_ = 0;
  return 0;
}

// ---- helpers --------------------------------------------------------------------------

namespace {

// Passes the plain text on and reports how much has gone through.
class CountingSink : public ByteSink {
 public:
  CountingSink(ByteSink& inner, std::function<void(int64_t)> onWrite) : inner_(inner), onWrite_(std::move(onWrite)) {}
  void Write(const void* data, size_t size) override {
    inner_.Write(data, size);
    done_ += int64_t(size);
    if (onWrite_) onWrite_(done_);
  }

 private:
  ByteSink& inner_;
  std::function<void(int64_t)> onWrite_;
  int64_t done_ = 0;
};

}  // namespace

namespace {

void Log(const QString& tag, const QString& text) {
  if (ActivityLogOn) WriteActivityLog(ActivityLogStream, tag, text);
}

// The two steps of the showing after the key is unwrapped: the cipher, then the
// extraction of the signed container.
constexpr TProgressShare kDecCipherShare{0, kProgressWhole * 9 / 10};
constexpr TProgressShare kDecExtractShare{kProgressWhole * 9 / 10, kProgressWhole};

QString Code(CK_RV rv) { return " [Error Code=" + QString::number(rv) + ", " + PkcsRetCodeText(rv) + "]"; }

QString Hex(const std::vector<uint8_t>& b) { return QString::fromLatin1(BytesToHexText(b.data(), b.size()).c_str()); }

struct PlainKey {
  uint8_t key[kEncSessionKeyBytes] = {};
  ~PlainKey() { explicit_bzero(key, sizeof key); }
};

// Puts a finished file at a name that must not exist yet, never replacing a file:
// renamed when both lie on one file system, else copied to a temporary name
// beside the target, synced, and renamed there. 0, EEXIST, or another errno.
int PlaceNoReplace(const QString& from, const QString& to) {
  const QByteArray a = QFile::encodeName(from), b = QFile::encodeName(to);
  if (DiskRename(a.constData(), b.constData(), false)) {
    DiskSyncFolder(QFile::encodeName(QFileInfo(to).absolutePath()).constData());
    return 0;
  }
  if (errno != EXDEV) return errno;
  QFile in(from);
  if (!in.open(QIODevice::ReadOnly)) return EIO;
  TReplacementFile out;
  if (!out.Create(to)) return out.SystemError();
  std::vector<char> block(size_t(1) << 16);
  for (qint64 n; (n = in.read(block.data(), qint64(block.size()))) != 0;) {
    if (n < 0) return EIO;
    if (!out.Write(block.data(), size_t(n))) return out.SystemError();
  }
  if (!out.Commit(false)) return out.SystemError();
  return 0;
}

}  // namespace

// ---- the operation ------------------------------------------------------------------

namespace {

// One decryption, step by step; the progress window goes whatever road it ends by.
class Decryption {
 public:
  Decryption(CK_SESSION_HANDLE session, const QString& installFolder, const QString& encPath, int reportMode)
      : session_(session),
        report_(reportMode, installFolder),
        reportMode_(reportMode),
        encPath_(encPath),
        shortName_(QFileInfo(encPath).fileName()),
        showProgress_(QFileInfo(encPath).size() > ProgressMinSize) {}

  Step ReadLayout();
  Step FindKeys();
  Step ChooseEntry(const TRecipientList& recipients, const QString& cardSerialHex);
  Step UnwrapSessionKey();
  Step CheckCipherLength();
  Step CreateWorkZip(QString& workZip);
  Step Decipher(const QString& workZip);
  void ExtractAndPlace(const QString& workZip, const QString& outFolder);

 private:
  // One attempt at the session key: it is unwrapped, the next attempt follows, or
  // the decryption ends.
  enum class Attempt { Unwrapped, Next, Stop };
  Attempt TryKey(int i);
  Attempt TryWrapped(int i, const TRecipientRecord& record, bool logKey, bool last, CK_ULONG privateKeySize);
  Step ExtractStaged(TZipArchiver& zip, const QString& entryName, const QString& stage, const QString& staged,
                     const QString& target);
  Step Failed(int32_t code) const;

  ScopeExit<void (*)()> hideAtEnd_{&HideProgress};
  const CK_SESSION_HANDLE session_;
  const Reporter report_;
  const int reportMode_;
  const QString encPath_;
  // Progress over a container above ProgressMinSize: the reading pass, the cipher
  // and the extraction.
  const QString shortName_;
  const bool showProgress_;
  EncLayout layout_;
  CK_OBJECT_HANDLE handles_[kDecryptMaxKeys] = {};
  int count_ = 0;
  TRecipientList own_;
  const TRecipientList* list_ = nullptr;
  const TRecipientRecord* matched_ = nullptr;
  const TRecipientRecord* entry_ = nullptr;
  PlainKey sessionKey_;
};

Step Decryption::Failed(int32_t code) const {
  const QString n = QString::number(code) + "]";
  report_(MsgKind::Error, kMsgDecDes3 + n, kMsgDecDes3Log + n);
  Log("[DES3Decrypt]", kMsgDecDes3 + n);
  return Step::Stop;
}

// One strict pass over the container: its recipients, keys and payload size.
Step Decryption::ReadLayout() {
  Log("[RaspakirajFile]", encPath_);
  {
    SgnFileSource src(encPath_);
    if (!src.isOpen()) {
      QFile f(encPath_);
      errno = 0;
      f.open(QIODevice::ReadOnly);
      report_(MsgKind::Error, CannotOpenText(encPath_, FileErrorText(f, errno)));
      return Step::Stop;
    }
    SgnCopyingSource reading(src, nullptr, [&](int64_t position, int64_t size) {
      if (showProgress_) ShowProgress64(position, size, shortName_, kProgressDecReading);
    });
    // A container that does not follow the layout has no payload to trust.
    if (!ReadEncodedContainer(reading, layout_)) return Failed(TR_E_DATA);
  }
  Log("[RaspakirajFile]", QStringLiteral("Završeno parsiranje datoteke"));
  // The reading is one showing; the card's key search may have boxes of its own.
  HideProgress();
  return Step::Next;
}

// The card's private keys.
Step Decryption::FindKeys() {
  count_ = FindPrivateKeys(session_, handles_, kDecryptMaxKeys, reportMode_ == kReportBoxes);
  Log("[RaspakirajFile]", "Broj privatnih klučeva na kartici: " + QString::number(count_));
  if (count_ > 0) return Step::Next;
  const QString n = QString::number(count_);
  Log("[Provjera]", kMsgDecNoKeys + n);
  report_(MsgKind::Error, kMsgDecNoKeys + n + "]", kMsgDecNoKeysLog + n + "]");
  return Step::Stop;
}

// The recipient entry: the one whose serial is the card's, else the first.
Step Decryption::ChooseEntry(const TRecipientList& recipients, const QString& cardSerialHex) {
  list_ = &recipients;
  if (list_->empty()) {
    ParseRecipientsFile(encPath_, own_);
    list_ = &own_;
  }
  if (list_->empty()) return Failed(TR_E_DATA);
  // An all-digit serial is read as a decimal number, so a hex serial of digits only
  // never matches; without a match the first entry is tried first, then every
  // other entry whose wrapped key is as long as the key's modulus.
  for (const TRecipientRecord& r : *list_) {
    Log("[RaspakirajFile]",
        "Certifikat primatelja u datoteci: " + r.SerialText + "; Certifikat na kartici: " + cardSerialHex);
    if (r.SerialText == cardSerialHex) {
      matched_ = &r;
      break;
    }
  }
  entry_ = matched_ ? matched_ : &list_->front();
  Log("[SessionKey]", Hex(entry_->SessionKey));
  return Step::Next;
}

// Unwraps the session key with each private key in turn.
Step Decryption::UnwrapSessionKey() {
  for (int i = 0; i < count_; ++i) {
    switch (TryKey(i)) {
      case Attempt::Unwrapped: return Step::Next;
      case Attempt::Stop: return Step::Stop;
      case Attempt::Next: break;
    }
  }
  return Step::Stop;
}

Decryption::Attempt Decryption::TryKey(int i) {
  const bool lastKey = i == count_ - 1;
  Log("[Provjera]", "Privatni ključ " + QString::number(i + 1));

  CK_ATTRIBUTE modulus = {CKA_MODULUS, nullptr, 0};
  CK_RV rv = cryptoki::C_GetAttributeValue(session_, handles_[i], &modulus, 1);
  if (rv == CKR_OK && modulus.ulValueLen == CK_UNAVAILABLE_INFORMATION) rv = CKR_ATTRIBUTE_SENSITIVE;
  if (rv != CKR_OK) {
    if (!lastKey) return Attempt::Next;
    Ui().setWaitCursor(false);
    const QString text = kMsgDecModulus + QString::number(rv) + ", " + PkcsRetCodeText(rv) + "]";
    report_(MsgKind::Error, text, kMsgDecModulusLog + QString::number(rv) + ", " + PkcsRetCodeText(rv) + "]");
    Log("[C_GetAttributeValue]", text);
    return Attempt::Stop;
  }
  const CK_ULONG privateKeySize = modulus.ulValueLen;
  Log("[C_GetAttributeValue]", "CKA_MODULUS, PrivateKeySize=" + QString::number(privateKeySize));

  std::vector<const TRecipientRecord*> tries = {entry_};
  if (!matched_)
    for (const TRecipientRecord& r : *list_)
      if (&r != entry_ && r.SessionKey.size() == privateKeySize) tries.push_back(&r);
  for (size_t t = 0; t < tries.size(); ++t) {
    // Only the very last attempt reports; every earlier failure is logged and
    // passed over.
    const bool last = lastKey && t == tries.size() - 1;
    const Attempt attempt = TryWrapped(i, *tries[t], t > 0, last, privateKeySize);
    if (attempt != Attempt::Next) return attempt;
  }
  return Attempt::Next;
}

Decryption::Attempt Decryption::TryWrapped(int i, const TRecipientRecord& record, bool logKey, bool last,
                                           CK_ULONG privateKeySize) {
  const QString pk = " PK-" + QString::number(i + 1);
  const std::vector<uint8_t>& wrapped = record.SessionKey;
  const QString wrappedHex = Hex(wrapped);
  if (logKey) Log("[SessionKey]", wrappedHex);
  auto wrongKey = [&](const QString& why) {
    Log("[C_Decrypt]", wrappedHex + pk + why);
    if (last) report_(MsgKind::Warning, kMsgDecWrongCard);
    return last ? Attempt::Stop : Attempt::Next;
  };
  // RSA takes exactly a modulus' worth of input: a wrapped key of another length
  // was not made for this key (and must not be read past its end).
  if (wrapped.empty() || wrapped.size() != privateKeySize) return wrongKey(Code(CKR_ENCRYPTED_DATA_LEN_RANGE));

  CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
  CK_RV rv = cryptoki::C_DecryptInit(session_, &mechanism, handles_[i]);
  if (rv != CKR_OK) {
    Log("[C_DecryptInit]", kMsgDecInit + pk + Code(rv));
    if (!last) return Attempt::Next;
    report_(MsgKind::Error, kMsgDecInit + Code(rv), kMsgDecInitLog + Code(rv));
    return Attempt::Stop;
  }
  Log("[C_DecryptInit]", QStringLiteral("CKM_RSA_PKCS"));

  CK_BYTE_PTR in = const_cast<CK_BYTE_PTR>(wrapped.data());
  CK_ULONG length = 0;
  rv = cryptoki::C_Decrypt(session_, in, CK_ULONG(wrapped.size()), nullptr, &length);
  if (rv != CKR_OK) {
    Log("[C_Decrypt]", kMsgDecLength + pk + Code(rv));
    if (!last) return Attempt::Next;
    report_(MsgKind::Error, kMsgDecLength + Code(rv), kMsgDecLengthLog + Code(rv));
    return Attempt::Stop;
  }
  // The first answer may be an upper bound (the modulus length); the second
  // call tells the real length.
  length = std::min<CK_ULONG>(length, 4096);
  std::vector<uint8_t> buffer(length, 0);
  const ScopeExit wipe([&buffer] { explicit_bzero(buffer.data(), buffer.size()); });
  Log("[C_Decrypt]", "AllocMem:" + QString::number(length));
  CK_ULONG got = length;
  rv = cryptoki::C_Decrypt(session_, in, CK_ULONG(wrapped.size()), buffer.data(), &got);
  if (rv == CKR_OK && got == kEncSessionKeyBytes) {
    std::memcpy(sessionKey_.key, buffer.data(), kEncSessionKeyBytes);
    return Attempt::Unwrapped;
  }
  return wrongKey(rv != CKR_OK ? Code(rv) : " [Dužina ključa=" + QString::number(got) + "]");
}

Step Decryption::CheckCipherLength() {
  Log("[DekriptSessionKey]", "Dužina ključa:" + QString::number(kEncSessionKeyBytes));
  Log("[DES3]", "Za dekripciju:" + QString::number(layout_.cipherLength));
  if (layout_.cipherLength == 0 || layout_.cipherLength % 8 != 0) return Failed(TR_E_DATA);
  return Step::Next;
}

Step Decryption::CreateWorkZip(QString& workZip) {
  try {
    workZip = CreateUniqueTempFile("sgn", "zip");
  } catch (const EFileError& e) {
    report_(MsgKind::Error, e.Text());
    return Step::Stop;
  }
  return Step::Next;
}

// Deciphers the payload straight from the container into the work archive.
Step Decryption::Decipher(const QString& workZip) {
  TWorkFileSink zipSink;
  auto diskFailed = [&] {
    report_(MsgKind::Error, CannotCreateText(workZip, DiskErrorText(zipSink.SystemError())));
    return Step::Stop;
  };
  if (!zipSink.Open(workZip)) return diskFailed();
  const int64_t cipherLength = int64_t(layout_.cipherLength);
  if (showProgress_) kDecCipherShare.Show(0, cipherLength, shortName_, kProgressDecCaption);
  Des3PlainSink plain(sessionKey_.key, zipSink);
  // The cipher text as it is read from the container: the deciphering hands on
  // its plain text in large pieces, the reading goes steadily.
  CountingSink cipherRead(plain, [&](int64_t done) {
    if (showProgress_) kDecCipherShare.Show(done, cipherLength, shortName_, kProgressDecCaption);
  });
  explicit_bzero(sessionKey_.key, sizeof sessionKey_.key);
  plain.onBlock = [](int p) { Log("[DES3Decrypt]", "Dužina padinga:" + QString::number(p)); };
  try {
    EncLayout again;
    if (!VerifySignedStream(encPath_, nullptr, cipherRead, &again) || again.cipherLength != layout_.cipherLength)
      return Failed(TR_E_DATA);
    if (const int32_t rc = plain.Finish(); rc != 0) return Failed(rc);
  } catch (const EDes3Error& e) {
    return Failed(e.code());
  } catch (const EWriteError&) {
    return diskFailed();
  }
  if (!zipSink.Close()) return diskFailed();
  return Step::Next;
}

// The one signed container of the archive, extracted into a private work folder of
// this run (which the next start removes should this run be killed), then put in
// place in one last step: the target's name only ever shows the whole file.
void Decryption::ExtractAndPlace(const QString& workZip, const QString& outFolder) {
  const TdmInUse dm;
  TZipArchiver& zip = dm->ZipArchiver1;
  // Started from inside a running ZIP operation's callback: the component's settings
  // belong to that operation, and it would refuse a second one anyway.
  if (zip.IsBusy()) {
    Failed(kZipBusyCode);
    return;
  }
  try {
    zip.SetZipFileName(workZip);
    if (zip.Count() != 1 || !SafeEntryName(zip.DirEntry(0).FileName)) {
      // Not the archive of one signed container: the payload is not what it claims.
      Failed(TR_E_DATA);
      return;
    }
    const QString entryName = zip.DirEntry(0).FileName;
    const QString target = IncludeTrailingBackslash(outFolder) + entryName;
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink()) {
      report_(MsgKind::Error, kMsgDecTargetExists + target + "].");
      return;
    }
    TWorkFolder stage;
    stage.path = CreatePrivateWorkFolder(QStringLiteral("sgnDec"));
    if (stage.path.isEmpty()) {
      report_(MsgKind::Error, CannotCreateText(target, DiskErrorText(errno)));
      return;
    }
    const QString staged = stage.path + "/" + entryName;
    if (ExtractStaged(zip, entryName, stage.path, staged, target) == Step::Stop) return;
    const int err = PlaceNoReplace(staged, target);
    if (err == EEXIST) {
      report_(MsgKind::Error, kMsgDecTargetExists + target + "].");
      return;
    }
    if (err != 0) {
      report_(MsgKind::Error, CannotCreateText(target, DiskErrorText(err)));
      return;
    }
    LastDecryptedFile = target;
    report_(MsgKind::Information, kMsgDecSuccess + target + "].");
  } catch (...) {
    // The extraction's own failures end it without a word, as they always have.
  }
}

Step Decryption::ExtractStaged(TZipArchiver& zip, const QString& entryName, const QString& stage, const QString& staged,
                               const QString& target) {
  zip.FSpecArgs().clear();
  zip.FSpecArgs().append(entryName);
  zip.SetExtrBaseDir(stage);
  zip.SetExtrOptions({ExtrDirNames, ExtrOverWrite});
  int32_t rc = 0;
  {
    TZipProgress progress(zip, showProgress_, kDecExtractShare.first, kDecExtractShare.last, kProgressDecUnpacking,
                          kProgressDecCaption, kProgressWhole);
    rc = zip.Extract();
  }
  const QFileInfo stagedInfo(staged);
  if (rc == 0 && stagedInfo.isFile() && !stagedInfo.isSymLink()) return Step::Next;
  // A disk that refused the extracted file is named as such, not as a bad payload.
  if (const int disk = rc != 0 ? DiskErrorInMessage(zip.Message()) : 0) {
    report_(MsgKind::Error, CannotCreateText(target, DiskErrorText(disk)));
    return Step::Stop;
  }
  return Failed(TR_E_DATA);
}

}  // namespace

void DecryptEncodedFile(CK_SESSION_HANDLE session, const QString& installFolder, const QString& encPath,
                        const QString& outFolder, const QString& cardSerialHex, int reportMode,
                        const TRecipientList& recipients) {
  Decryption run(session, installFolder, encPath, reportMode);
  if (run.ReadLayout() == Step::Stop || run.FindKeys() == Step::Stop ||
      run.ChooseEntry(recipients, cardSerialHex) == Step::Stop || run.UnwrapSessionKey() == Step::Stop ||
      run.CheckCipherLength() == Step::Stop)
    return;
  QString workZip;
  if (run.CreateWorkZip(workZip) == Step::Stop) return;
  // The work archive goes after the ZIP component has let go of it.
  const ScopeExit removeWork([&workZip] { QFile::remove(workZip); });
  if (run.Decipher(workZip) == Step::Stop) return;
  run.ExtractAndPlace(workZip, outFolder);
}
