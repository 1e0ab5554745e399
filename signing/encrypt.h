#pragma once
// Encrypting a signed container for one recipient into an encrypted container
// (layout: signing/encrypted_container.h).
//
// The signed container is packed with the data module's ZIP component into a work
// archive, the archive is enciphered with DES-EDE3 (ECB) under a fresh 24-byte
// session key and Base64-encoded into the output as it is read, block by block, so
// memory stays the same whatever the file's size; the session key goes after it,
// wrapped with the recipient's RSA public key. The output is written under a
// temporary name in its folder and renamed into place only when complete: a
// failure leaves no partial container and an existing file as it was.
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

#include "signing/activity_log.h"
#include "signing/base64.h"

class TCertifikat;

// Results.
inline constexpr int32_t kEncryptOk = 0;
inline constexpr int32_t kEncryptCannotOpen = 1;    // the file to encrypt (or its ZIP) does not open
inline constexpr int32_t kEncryptCannotCreate = 2;  // the output cannot be created or written
inline constexpr int32_t kEncryptNoMemory = 3;      // the work buffers cannot be allocated
inline constexpr int32_t kEncryptStopped = -1;      // declined, cancelled, or the key or a block failed

// Texts.
inline const QString kMsgEncOverwrite1 = QStringLiteral("Kriptirana datoteka ovog imena već postoji na disku [");
inline const QString kMsgEncOverwrite2 = QStringLiteral("].\nŽelite li je presnimiti s novom?");
inline const QString kMsgEncNoMemory = QStringLiteral("Nema memorije za privremeni spremnik");
inline const QString kMsgEncNoMemoryLog = QStringLiteral("nema memorije za privremeni spremnik");
inline const QString kMsgEncKeyWrap = QStringLiteral("Greška kod kriptiranja DES3 ključa. [Error code=");
inline const QString kMsgEncPiece = QStringLiteral("Greška prilikom kriptiranja datoteke. [Error Code=");
inline const QString kMsgEncPieceLog = QStringLiteral("greška prilikom kriptiranja datoteke. [Error Code=");
inline const QString kMsgEncAddException = QStringLiteral("Error in Add; Fatal DLL Exception in mainunit");
inline const QString kMsgEncProgressCaption = QStringLiteral("Pakiranje datoteke");
// What the shell shows for a result above 0.
inline const QString kMsgEncPackingFailed = QStringLiteral("Greška kod pakiranja datoteke !");
// The shell's success text: this + the recipient's name + "\"!".
inline const QString kMsgEncSuccess1 = QStringLiteral("Datoteka uspješno kriptirana za primatelja \"");

// `Cannot open file "%s". %s` and `Cannot create file "%s". %s`.
QString CannotOpenText(const QString& name, const QString& reason);
QString CannotCreateText(const QString& name, const QString& reason);

// The save dialog's filter for the extension.
QString EncodedFileFilter(const QString& ext);

// The output name for a signed container: its folder + "/", then mbr + "_" with
// workWithMbr, then the 14 digits of localTime + "_" with withDate, then the
// container's name up to its last "." + "." + ext.
QString EncodedFileName(const QString& sgnPath, const QString& mbr, bool workWithMbr, bool withDate,
                        const QDateTime& localTime, const QString& ext);

// Encrypts sgnPath for the recipient. outName receives the output's full path
// (also when the operation stops after choosing it). zipFirst: encrypt a ZIP of
// the file (the shell's choice), else the file's own bytes. reportMode 0: boxes;
// 2: program-log lines in installFolder's log; other values: no report. The
// settings come from the global Settings (defaults without one); the ZIP
// component and save dialog from the data module.
int32_t EncryptForRecipient(const QString& mbr, const QString& installFolder, const QString& sgnPath, QString& outName,
                            bool zipFirst, int reportMode, const TCertifikat& recipient);

// A failing library call of the cipher streams.
class EDes3Error : public std::exception {
 public:
  explicit EDes3Error(int32_t code) : code_(code) {}
  int32_t code() const { return code_; }
  const char* what() const noexcept override { return "DES3 failed"; }

 private:
  int32_t code_;
};

// The cipher text of everything plain holds, for whoever reads this source: the
// plain text is read in blocks of blockSize bytes (a multiple of 8), the last one
// padded with 1 to 8 bytes of the pad length (an empty plain text gets none).
// pieceBlocks blocks at a time go to the library in one call under the 24-byte
// key, so that it can share a large piece among its threads; ECB makes the bytes
// those of any other cutting into multiples of 8. Throws EDes3Error; read failures
// of plain pass through.
class Des3CipherSource : public ByteSource {
 public:
  Des3CipherSource(const uint8_t* key24, ByteSource& plain, size_t blockSize = kBlock,
                   size_t pieceBlocks = kPieceBlocks);
  ~Des3CipherSource() override;
  Des3CipherSource(const Des3CipherSource&) = delete;
  Des3CipherSource& operator=(const Des3CipherSource&) = delete;
  size_t Read(void* buffer, size_t max) override;
  // Plain bytes read so far.
  uint64_t plainBytes() const { return plainBytes_; }
  // Called for each block with the plain bytes before it, in order, once the piece
  // that holds the block is read (and once more for the empty end when the plain
  // text is a multiple of blockSize).
  std::function<void(uint64_t position)> onBlock;
  static constexpr size_t kBlock = 65536;
  static constexpr size_t kPieceBlocks = 128;  // 8 MiB pieces

 private:
  bool Refill();
  uint8_t key_[24];
  ByteSource& plain_;
  std::vector<uint8_t> block_;
  size_t blockSize_;
  size_t pieceSize_;
  size_t head_ = 0, tail_ = 0;
  uint64_t plainBytes_ = 0;
  bool done_ = false;
};
