#include "zip/zip_archiver.h"

#include <QCoreApplication>
#include <cstring>
#include <mutex>

#include "platform/ui_services.h"
#include "zip/zip_messages.h"

ZipLibParams::ZipLibParams() { std::memset(&rec, 0, sizeof rec); }

char* ZipLibParams::Text(const QByteArray& bytes) {
  auto copy = std::make_unique<char[]>(static_cast<size_t>(bytes.size()) + 1);
  std::memcpy(copy.get(), bytes.constData(), static_cast<size_t>(bytes.size()));
  copy[static_cast<size_t>(bytes.size())] = '\0';
  texts.push_back(std::move(copy));
  return texts.back().get();
}

UnzLibParams::UnzLibParams() { std::memset(&rec, 0, sizeof rec); }

char* UnzLibParams::Text(const QByteArray& bytes) {
  auto copy = std::make_unique<char[]>(static_cast<size_t>(bytes.size()) + 1);
  std::memcpy(copy.get(), bytes.constData(), static_cast<size_t>(bytes.size()));
  copy[static_cast<size_t>(bytes.size())] = '\0';
  texts.push_back(std::move(copy));
  return texts.back().get();
}

TZipArchiver::TZipArchiver() {
  destroying_ = false;
  // What crashed or killed runs left behind goes at the program's start.
  static std::once_flag staleOnce;
  std::call_once(staleOnce, &TZipArchiver::RemoveStaleWorkFolders);
  // The libraries only learn whether a window exists; any nonzero value will do.
  windowHandle_ = QCoreApplication::instance() ? reinterpret_cast<uintptr_t>(QCoreApplication::instance()) : 1;
  zipLib_ = std::make_unique<TZipLib>(*this);
  unzLib_ = std::make_unique<TUnzLib>(*this);
  zipBusy_ = unzBusy_ = opBusy_ = false;
  zipParams_ = nullptr;
  unzParams_ = nullptr;

  verbose_ = false;
  trace_ = false;
  addCompLevel_ = 9;
  addOptions_ = {};
  addFrom_ = QDate(1899, 12, 30);  // the date whose serial number is 0
  extrOptions_ = {};
  unattended_ = false;
  codePage_ = cpAuto;
  howToDelete_ = htdAllowUndo;
  addStoreSuffixes_ = AddStoreExts::Range(assGIF, assJAR);
  passwordReqCount_ = 1;
  useDirOnlyEntries_ = false;
  spanOptions_ = {};
  confirmErase_ = true;
  keepFreeOnDisk1_ = 0;
  keepFreeOnAllDisks_ = 0;
  maxVolumeSize_ = 0;
  minFreeVolumeSize_ = 65536;
  sfxSlave_ = nullptr;
  sfxCaption_ = QStringLiteral("Self-extracting Archive");
  sfxOptions_ = {SFXCheckSize};
  sfxOverWriteMode_ = OvrConfirm;
  sfxPath_ = QStringLiteral("ZASFXUS.BIN");
  errCode_ = errCodeFull_ = processedCount_ = 0;
  cancel_ = false;
}

TZipArchiver::~TZipArchiver() {
  BeforeDestruction();
  zipStream_.Clear();
  ClearDirectory();
}

void TZipArchiver::BeforeDestruction() { destroying_ = true; }

int32_t TZipArchiver::Count() const { return zipFileName_.isEmpty() ? 0 : static_cast<int32_t>(dirList_.size()); }

int32_t TZipArchiver::RunOperation(void (TZipArchiver::*driver)()) {
  if (IsBusy()) return kZipBusyCode;
  const WorkFolderScope work(*this);
  opBusy_ = true;
  // Not busy any more however the driver ends, before the work folder goes.
  struct NotBusy {
    bool& busy;
    ~NotBusy() { busy = false; }
  } notBusy{opBusy_};
  (this->*driver)();
  return errCode_;
}

int32_t TZipArchiver::Add() { return RunOperation(&TZipArchiver::AddFiles); }

int32_t TZipArchiver::Extract() { return RunOperation(&TZipArchiver::ExtractFiles); }

void TZipArchiver::ClearDirectory() {
  while (!dirList_.empty()) dirList_.pop_back();
}

// ---- Messages ---------------------------------------------------------------------

QString TZipArchiver::LoadZipString(int id) {
  QString text = ZipMessageText(id);
  if (OnZipStr) OnZipStr(*this, id, text);
  return text;
}

QString TZipArchiver::LoadZipStringDef(int id, const QString& def) {
  QString text = LoadZipString(id);
  return text.isEmpty() ? def : text;
}

namespace {
QString MissingText(int id) {
  return QStringLiteral("ZipMsgXX.res is probably not linked to the executable\nMissing String ID is: ") +
         QString::number(id);
}
}  // namespace

void TZipArchiver::ShowZipMessage(int id, const QString& extra, const QStringList& args) {
  QString text = LoadZipString(id);
  if (text.isEmpty())
    text = MissingText(id) + u' ';
  else if (!args.isEmpty())
    text = FormatZipText(text, args);
  text += extra;
  message_ = text;
  errCode_ = id;
  if (!unattended_) Ui().messageBox(MsgKind::Information, text, QString());
  if (OnMessage) OnMessage(*this, 0, text);
}

void TZipArchiver::ShowExceptionError(const EZipArchiver& e, const QString& extra) {
  errCode_ = e.Id();
  QString text = LoadZipString(e.Id());
  if (text.isEmpty()) {
    text = MissingText(e.Id());
  } else if (!e.TextArg().isEmpty()) {
    text = FormatZipText(text, {e.TextArg(), e.NumberArg()});
  } else if (!e.NumberArg().isEmpty()) {
    text = FormatZipText(text, {e.NumberArg()});
  }
  text += extra;
  if (e.Display() && !unattended_) Ui().messageBox(MsgKind::Information, text, QString());
  message_ = text;
  if (OnMessage) OnMessage(*this, errCode_, text);
}
