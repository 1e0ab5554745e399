// The library callback and the dispatcher that turns callback codes into events.
#include <algorithm>
#include <cstring>
#include <exception>

#include "platform/ui_services.h"
#include "zip/zip_archiver.h"

namespace {

constexpr size_t kTextArea = sizeof(ZipCallbackText::Text);  // 512
constexpr size_t kCommentOffset = 256;                       // ZIPCB_COMMENT's comment inside the text area

// A text of the callback record: at most its area, up to the first NUL, without
// trailing blanks and control characters, with "/" separators.
QString UnpackText(const char* text, size_t area) {
  size_t n = strnlen(text, area);
  while (n > 0 && static_cast<unsigned char>(text[n - 1]) <= 0x20) --n;
  QString s = QString::fromUtf8(text, static_cast<qsizetype>(n));
  s.replace(u'\\', u'/');
  return s;
}

// Writes at most cap - 1 bytes and a NUL, never ending inside a UTF-8 sequence.
// Returns the bytes written before the NUL.
size_t PutText(char* dst, size_t cap, const QByteArray& bytes) {
  size_t n = std::min(static_cast<size_t>(bytes.size()), cap - 1);
  if (n < static_cast<size_t>(bytes.size()))
    while (n > 0 && (static_cast<unsigned char>(bytes[static_cast<qsizetype>(n)]) & 0xC0) == 0x80) --n;
  std::memcpy(dst, bytes.constData(), n);
  dst[n] = '\0';
  return n;
}

}  // namespace

extern "C" int32_t DllCallback(ZipCallbackRec* rec) noexcept {
  if (!rec || !rec->Instance) return ZIPABI_CANCEL;
  auto* component = static_cast<TZipArchiver*>(rec->Instance);
  try {
    return component->DispatchEvent(TZipArchiver::kLibraryCall, 0, 0, QString(), rec) ? ZIPABI_CANCEL : ZIPABI_CONTINUE;
  } catch (...) {
    // Nothing may unwind through the library's frames: stop the operation instead.
    component->SetCancel(true);
    return ZIPABI_CANCEL;
  }
}

uint32_t TZipArchiver::PercentOf(uint32_t total, uint32_t done) {
  if (total == 0 || done == 0) return 0;
  if (total >= 214748) return done / (total / 100);
  return done * 100 / total;
}

bool TZipArchiver::DispatchEvent(uint8_t code, int32_t error, uint32_t size, const QString& text, ZipCallbackRec* rec) {
  if (destroying_) return code == kLibraryCall;
  const bool fromLibrary = code == kLibraryCall;
  QString unpacked;
  if (fromLibrary) {
    if (!rec) return true;
    code = static_cast<uint8_t>(rec->Action & 0xFF);
    error = rec->Error;
    size = static_cast<uint32_t>(rec->Size);
    unpacked = UnpackText(rec->Msg.Text, kTextArea);
  } else {
    rec = nullptr;  // the component's own events answer nothing
  }
  const QString& t = fromLibrary ? unpacked : text;

  if (fromLibrary) {
    auto keep = [&](const QString& what) {
      if (eventErrorText_.isEmpty())
        eventErrorText_ = QStringLiteral(" #") + QString::number(code) + QStringLiteral(" \"") + what + u'"';
      cancel_ = true;
    };
    try {
      DispatchCode(code, error, size, t, rec);
    } catch (const std::exception& e) {
      keep(QString::fromUtf8(e.what()));
    } catch (...) {
      keep(QStringLiteral("unknown exception"));
    }
  } else {
    DispatchCode(code, error, size, t, rec);
  }

  if (OnAfterCallback) {
    bool abort = cancel_;
    OnAfterCallback(*this, abort);
    if (abort) cancel_ = true;
  } else {
    Ui().processPendingMessages();
  }

  if (cancel_ && !fromLibrary) throw EZipArchiver::CreateFromId(kZipUserCancelled, true);
  return cancel_;
}

void TZipArchiver::DispatchCode(uint8_t code, int32_t error, uint32_t size, const QString& t, ZipCallbackRec* rec) {
  switch (code) {
    case ZIPCB_TICK:
    case ZIPCB_NEW_FILE:
    case ZIPCB_PROGRESS:
    case ZIPCB_END_BATCH:
    case ZIPCB_FILE_COUNT:
    case ZIPCB_TOTAL_SIZE:
    case ZIPCB_EXTRA_STEP:
    case ZIPCB_EXTRA_PROGRESS: DispatchProgress(code, error, size, t); break;
    case ZIPCB_MESSAGE: DispatchMessage(error, t); break;
    case ZIPCB_NEW_NAME:
      if (OnSetNewName && rec) DispatchNewName(t, *rec);
      break;
    case ZIPCB_PASSWORD: DispatchPassword(error, size, t, rec); break;
    case ZIPCB_CRC_ERROR: DispatchCrcError(error, size, t, rec); break;
    case ZIPCB_OVERWRITE:
      if (OnExtractOverwrite && rec) DispatchOverwrite(error, size, t, *rec);
      break;
    case ZIPCB_SKIPPED: DispatchSkipped(error, size, t); break;
    case ZIPCB_COMMENT:
      if (OnFileComment && rec) DispatchComment(t, *rec);
      break;
    case ZIPCB_STREAM_MEMORY: DispatchStreamMemory(size, rec); break;
    case ZIPCB_EXTRA_DATA:
      if (OnFileExtra && rec) DispatchExtraData(size, t, *rec);
      break;
    default: break;
  }
}

void TZipArchiver::DispatchProgress(uint8_t code, int32_t error, uint32_t size, const QString& t) {
  switch (code) {
    case ZIPCB_TICK:
      if (OnTick) OnTick(*this);
      break;
    case ZIPCB_NEW_FILE:
      if (OnProgress) OnProgress(*this, ProgressType::NewFile, t, size);
      itemSize_ = size;
      itemDone_ = 0;
      itemName_ = t;
      if (OnItemProgress) OnItemProgress(*this, t, size, 0);
      break;
    case ZIPCB_PROGRESS:
      if (OnProgress) OnProgress(*this, ProgressType::ProgressUpdate, QString(), size);
      itemDone_ += size;
      if (OnItemProgress)
        OnItemProgress(*this, itemName_, itemSize_, static_cast<int32_t>(PercentOf(itemSize_, itemDone_)));
      totalDone_ += size;
      if (OnTotalProgress) OnTotalProgress(*this, totalSize_, static_cast<int32_t>(PercentOf(totalSize_, totalDone_)));
      break;
    case ZIPCB_END_BATCH:
      if (OnProgress) OnProgress(*this, ProgressType::EndOfBatch, QString(), 0);
      itemSize_ = itemDone_ = totalDone_ = 0;
      itemName_.clear();
      if (OnItemProgress) OnItemProgress(*this, QString(), 0, -1);
      if (OnTotalProgress) OnTotalProgress(*this, 0, -1);
      break;
    case ZIPCB_FILE_COUNT:
      if (OnProgress) OnProgress(*this, ProgressType::TotalFiles2Process, QString(), size);
      break;
    case ZIPCB_TOTAL_SIZE:
      totalSize_ = size;
      totalDone_ = 0;
      itemName_.clear();
      itemSize_ = 0;
      if (OnProgress) OnProgress(*this, ProgressType::TotalSize2Process, QString(), size);
      break;
    case ZIPCB_EXTRA_STEP: {
      if (OnProgress) OnProgress(*this, ProgressType::NewExtra, t, size);
      itemSize_ = size;
      itemDone_ = 0;
      QString name;
      // The steps' texts follow each other in the table in the order of the step codes, from 1.
      if (error > 0 && error < 1000) name = LoadZipString(kZipProgressArchiveBit - 1 + error);
      itemName_ = name.isEmpty() ? t : name;
      if (OnItemProgress) OnItemProgress(*this, itemName_, size, 0);
      break;
    }
    case ZIPCB_EXTRA_PROGRESS:
      if (OnProgress) OnProgress(*this, ProgressType::ExtraUpdate, itemName_, size);
      itemDone_ += size;
      if (OnItemProgress)
        OnItemProgress(*this, itemName_, itemSize_, static_cast<int32_t>(PercentOf(itemSize_, itemDone_)));
      break;
    default: break;
  }
}

void TZipArchiver::DispatchMessage(int32_t error, const QString& t) {
  message_ = t;
  if (error != 0) {
    errCode_ = error & 0xFF;
    if (errCode_ == 9 && !eventErrorText_.isEmpty()) message_ = QStringLiteral("Exception in Event ") + eventErrorText_;
    errCodeFull_ = error;
    if (firstLibraryError_.isEmpty()) firstLibraryError_ = message_;
  }
  if (OnMessage) OnMessage(*this, error, message_);
}

void TZipArchiver::DispatchNewName(const QString& t, ZipCallbackRec& rec) {
  QString name = t;
  bool changed = false;
  OnSetNewName(*this, name, changed);
  if (changed) {
    PutText(rec.Msg.Text, kTextArea, name.toUtf8());
    rec.Error = 1;
  } else {
    rec.Error = 0;
  }
}

void TZipArchiver::DispatchCrcError(int32_t error, uint32_t size, const QString& t, ZipCallbackRec* rec) {
  bool extract = true;
  if (OnCRC32Error) {
    OnCRC32Error(*this, t, static_cast<uint32_t>(error), size, extract);
    if (rec) rec->Error = extract ? 1 : 0;
  } else if (rec) {
    rec->Error = 2;
  }
}

void TZipArchiver::DispatchOverwrite(int32_t error, uint32_t size, const QString& t, ZipCallbackRec& rec) {
  bool overwrite = (size & 0xFF) != 0;
  bool isOlder = ((static_cast<uint32_t>(error) >> 16) & 1) != 0;
  OnExtractOverwrite(*this, t, isOlder, overwrite, error & 0xFFFF);
  rec.Size = overwrite ? 1 : 0;
}

void TZipArchiver::DispatchSkipped(int32_t error, uint32_t size, const QString& t) {
  if (error != 0) {
    errCode_ = error & 0xFF;
    errCodeFull_ = error;
  }
  // The library sends the skip type + 1; anything outside the enumeration is a
  // general extract error.
  uint32_t type = size - 1;
  auto skip = type <= stGeneralExtractError ? static_cast<UnZipSkipTypes>(type) : stGeneralExtractError;
  if (OnExtractSkipped) OnExtractSkipped(*this, t, skip, error);
}

void TZipArchiver::DispatchComment(const QString& t, ZipCallbackRec& rec) {
  const char* at = rec.Msg.Text + kCommentOffset;
  QString comment = QString::fromUtf8(at, static_cast<qsizetype>(strnlen(at, kTextArea - kCommentOffset)));
  bool changed = false;
  OnFileComment(*this, t, comment, changed);
  QByteArray bytes = comment.toUtf8();
  size_t length = std::min<size_t>(static_cast<size_t>(bytes.size()), kTextArea - 1);
  if (changed) length = PutText(rec.Msg.Text, kTextArea, bytes);
  rec.Error = changed ? 1 : 0;
  rec.Size = static_cast<int32_t>(length);
}

void TZipArchiver::DispatchStreamMemory(uint32_t size, ZipCallbackRec* rec) {
  try {
    zipStream_.SetSize(size);
    // The address does not fit the 32-bit size slot: it goes to the pointer slot.
    if (rec) rec->Msg.X.Extra = zipStream_.Memory();
  } catch (const std::bad_alloc&) {
    if (rec) {
      rec->Error = 1;
      rec->Size = 0;
    }
  }
}

void TZipArchiver::DispatchExtraData(uint32_t size, const QString& t, ZipCallbackRec& rec) {
  QByteArray data;
  if (rec.Msg.X.Extra && size > 0)
    data = QByteArray(reinterpret_cast<const char*>(rec.Msg.X.Extra), static_cast<qsizetype>(size));
  bool changed = false;
  OnFileExtra(*this, t, data, changed);
  if (!changed) return;
  const qsizetype n = data.size();
  if (n >= static_cast<qsizetype>(kTextArea)) {
    extraData_ = data;
    rec.Msg.X.Extra = reinterpret_cast<uint8_t*>(extraData_.data());
  } else if (n > 0) {
    std::memcpy(rec.Msg.Text, data.constData(), static_cast<size_t>(n));
  }
  rec.Size = static_cast<int32_t>(n);
  rec.Error = -1;
}

void TZipArchiver::DispatchPassword(int32_t error, uint32_t size, const QString& t, ZipCallbackRec* rec) {
  QString password;
  uint32_t repeat = size;
  TPasswordButton action = pwbOk;
  const bool adding = (error & 1) != 0;
  storePassword_ = false;
  if (OnPasswordError) {
    OnPasswordError(*this, rec && rec->IsZip != 0, password, t, repeat, action);
    if (action != pwbOk) password.clear();
  } else if (unattended_) {
    ShowZipMessage(adding ? kZipNoAddPassword : kZipNoExtractPassword);
  } else {
    lastPasswordButton_ = pwbOk;
    if (adding)
      GetAddPassword(password);
    else
      GetExtrPassword(password);
    action = lastPasswordButton_;
  }
  storePassword_ = true;

  if (password.isEmpty()) repeat = 0;
  if (rec) {
    if (!password.isEmpty()) {
      PutText(rec->Msg.Text, kTextArea, password.left(kZipPasswordLimit).toUtf8());
      rec->Error = 1;
    } else {
      rec->Error = 0;
    }
    rec->Size = static_cast<int32_t>(std::min<uint32_t>(repeat, 15));
    if (action == pwbCancelAll) rec->Action = 0;
  }
  if (action == pwbAbort) cancel_ = true;
}
