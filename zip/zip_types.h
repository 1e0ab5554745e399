#pragma once
// Option sets, enumerations and the directory entry of the ZIP component.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <initializer_list>

// The longest password, in characters, on every road: what adding encrypts with,
// what extracting tries, what the password dialog takes and what an answer to a
// library's password question carries. One limit, so that the component always
// opens what it wrote.
constexpr int kZipPasswordLimit = 81;

// A set over an enumeration whose element order is its bit order.
template <typename E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> items) {
    for (E e : items) bits_ |= Bit(e);
  }
  // Every element from first to last, both included.
  static constexpr TSet Range(E first, E last) {
    TSet s;
    for (int i = static_cast<int>(first); i <= static_cast<int>(last); ++i) s.bits_ |= uint64_t(1) << i;
    return s;
  }
  static constexpr TSet FromBits(uint64_t bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }

  constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint64_t Bits() const { return bits_; }
  TSet& Include(E e) {
    bits_ |= Bit(e);
    return *this;
  }
  TSet& Exclude(E e) {
    bits_ &= ~Bit(e);
    return *this;
  }
  constexpr TSet operator+(TSet o) const { return FromBits(bits_ | o.bits_); }
  constexpr TSet operator-(TSet o) const { return FromBits(bits_ & ~o.bits_); }
  constexpr TSet operator*(TSet o) const { return FromBits(bits_ & o.bits_); }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr uint64_t Bit(E e) { return uint64_t(1) << static_cast<int>(e); }
  uint64_t bits_ = 0;
};

enum AddOptsEnum : uint8_t {
  AddDirNames,
  AddRecurseDirs,
  AddMove,
  AddFreshen,
  AddUpdate,
  AddZipTime,
  AddForceDOS,
  AddHiddenFiles,
  AddArchiveOnly,
  AddResetArchive,
  AddEncrypt,
  AddSeparateDirs,
  AddVolume,
  AddFromDate,
  AddSafe,
  AddForceDest,
  AddDiskSpan,
  AddDiskSpanErase
};
using AddOpts = TSet<AddOptsEnum>;

enum ExtrOptsEnum : uint8_t { ExtrDirNames, ExtrOverWrite, ExtrFreshen, ExtrUpdate, ExtrTest, ExtrForceDirs };
using ExtrOpts = TSet<ExtrOptsEnum>;

enum AddStoreExtsEnum : uint8_t {
  assGIF,
  assPNG,
  assZ,
  assZIP,
  assZOO,
  assARC,
  assLZH,
  assARJ,
  assTAZ,
  assTGZ,
  assLHA,
  assRAR,
  assACE,
  assCAB,
  assGZ,
  assGZIP,
  assJAR,
  assEXE,
  assEXT
};
using AddStoreExts = TSet<AddStoreExtsEnum>;

enum SpanOptsEnum : uint8_t { spNoVolumeName, spCompatName, spWipeFiles, spTryFormat };
using SpanOpts = TSet<SpanOptsEnum>;

enum CodePageOpts : uint8_t { cpAuto, cpNone, cpOEM };
enum DeleteOpts : uint8_t { htdFinal, htdAllowUndo };

enum class ProgressType : uint8_t {
  NewFile,
  ProgressUpdate,
  EndOfBatch,
  TotalFiles2Process,
  TotalSize2Process,
  NewExtra,
  ExtraUpdate
};

enum TPasswordButton : uint8_t { pwbOk, pwbCancel, pwbCancelAll, pwbAbort };

enum UnZipSkipTypes : uint8_t {
  stOnFreshen,
  stNoOverwrite,
  stFileExists,
  stBadPassword,
  stNoEncryptionDLL,
  stCompressionUnknown,
  stUnknownZipHost,
  stZipFileFormatWrong,
  stGeneralExtractError
};

enum TZipDiskStatusEnum : uint8_t { zdsEmpty, zdsHasFiles, zdsPreviousDisk, zdsSameFileName, zdsNotEnoughSpace };
using TZipDiskStatus = TSet<TZipDiskStatusEnum>;

enum TZipDiskAction : uint8_t { zdaOk, zdaErase, zdaReject, zdaCancel };

enum SFXOptsEnum : uint8_t {
  SFXAskCmdLine,
  SFXAskFiles,
  SFXAutoRun,
  SFXHideOverWriteBox,
  SFXCheckSize,
  SFXNoSuccessMsg
};
using SFXOpts = TSet<SFXOptsEnum>;

enum OvrOpts : uint8_t { OvrConfirm, OvrAlways, OvrNever };

// One listed entry of an archive's central directory: the header fields in their
// stored order and widths, then the decoded texts.
struct ZipDirEntry {
  uint8_t MadeByVersion = 0;
  uint8_t HostSystem = 0;
  uint16_t NeededVersion = 0;
  uint16_t Flag = 0;
  uint16_t Method = 0;
  uint32_t DateTime = 0;  // DOS time in the low half, DOS date in the high half
  uint32_t CRC32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t FileNameLength = 0;
  uint16_t ExtraFieldLength = 0;
  uint16_t FileCommentLength = 0;
  uint16_t StartOnDisk = 0;
  uint16_t InternalAttributes = 0;
  uint32_t ExternalAttributes = 0;
  uint32_t LocalHeaderOffset = 0;
  QString FileName;     // decoded, with "/" separators
  QString FileComment;  // decoded; empty when none
  bool Encrypted = false;
  QByteArray ExtraData;  // as stored; empty when none
};
