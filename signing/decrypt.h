#pragma once
// Decrypting an encrypted container with a private key on the card: the session
// key is unwrapped on the card (CKM_RSA_PKCS), the payload deciphered with
// DES-EDE3 (ECB) straight from the container into a work archive, block by block,
// and the one signed container that archive holds is extracted into the output
// folder. Success shows only as LastDecryptedFile (signing/settings.h) and its
// information box; every failure is reported and leaves nothing in the folder.
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

#include "interfaces/pkcs11.h"
#include "signing/base64.h"
#include "signing/encrypted_container.h"

// Texts (each number is written in decimal).
// The progress window's texts: caption while the container is read, caption of
// the deciphering and the extraction, and the extraction's description.
inline const QString kProgressDecReading = kProgressReadingEncrypted;
inline const QString kProgressDecCaption = QStringLiteral("Dekriptiranje datoteke");
inline const QString kProgressDecUnpacking = QStringLiteral("Raspakiranje potpisane datoteke");
inline const QString kMsgDecNoKeys =
    QStringLiteral("Greška prilikom dohvata privatnog ključa s kartice. [Broj privatnih ključeva = ");
inline const QString kMsgDecNoKeysLog =
    QStringLiteral("greška prilikom dohvata privatnog ključa s kartice. [broj privatnih ključeva = ");
inline const QString kMsgDecModulus = QStringLiteral("Greška kod dohvata vrijednosti tajnog ključa. [Error Code=");
inline const QString kMsgDecModulusLog = QStringLiteral("greška kod dohvata vrijednosti tajnog ključa. [Error Code=");
inline const QString kMsgDecInit = QStringLiteral("Greška pri inicijalizaciji dekripcije DES ključa.");
inline const QString kMsgDecInitLog = QStringLiteral("greška pri inicijalizaciji dekripcije DES ključa.");
inline const QString kMsgDecLength = QStringLiteral("Greška pri utvrđivanju dužine DES ključa.");
inline const QString kMsgDecLengthLog = QStringLiteral("greška pri utvrđivanju dužine DES ključa.");
inline const QString kMsgDecWrongCard = QStringLiteral("Pokušaj dekripcije neodgovarajućom karticom.");
inline const QString kMsgDecDes3 = QStringLiteral("Greška prilikom dekriptiranja. [Error Code=");
inline const QString kMsgDecDes3Log = QStringLiteral("greška prilikom dekriptiranja. [Error Code=");
inline const QString kMsgDecTargetExists =
    QStringLiteral("Na direktoriju gdje treba napraviti dekriptiranje već postoji datoteka ovog imena [");
inline const QString kMsgDecSuccess = QStringLiteral("Datoteka uspješno dekriptirana [");

// Most private keys tried.
inline constexpr CK_ULONG kDecryptMaxKeys = 50;

// Decrypts the container at encPath into outFolder. session: the card layer's
// open, logged-in session; cardSerialHex: the serial of the card's certificate as
// upper-case hex, matched against the recipients' serial texts (the first
// recipient when none matches); recipients: the container's records as
// ParseRecipients gave them (when empty, the container's own are read).
// reportMode 0: boxes; 2: program-log lines in installFolder's log; other values:
// no report. While ActivityLogOn, every step appends a line to the activity log;
// the session key itself never goes there, only its length.
void DecryptEncodedFile(CK_SESSION_HANDLE session, const QString& installFolder, const QString& encPath,
                        const QString& outFolder, const QString& cardSerialHex, int reportMode,
                        const TRecipientList& recipients);

// The plain text of the cipher bytes written to this sink, written to plain:
// deciphered in blocks of blockSize bytes (a multiple of 8), pieceBlocks blocks
// per library call (a large piece the library can share among its threads), the
// last block held back until Finish, which checks its padding strictly (1 to 8
// bytes, each equal to the pad length) and strips it. Library failures throw
// EDes3Error (signing/encrypt.h).
class Des3PlainSink : public ByteSink {
 public:
  Des3PlainSink(const uint8_t* key24, ByteSink& plain, size_t blockSize = kBlock, size_t pieceBlocks = kPieceBlocks);
  ~Des3PlainSink() override;
  Des3PlainSink(const Des3PlainSink&) = delete;
  Des3PlainSink& operator=(const Des3PlainSink&) = delete;
  void Write(const void* data, size_t size) override;
  // 0 when the cipher text was whole and its padding right; TR_E_DATA for an
  // empty cipher text or bad padding. A length that is not a multiple of 8 reaches
  // the library, whose result is thrown.
  int32_t Finish();
  uint64_t cipherBytes() const { return cipherBytes_; }
  // For each block, in order, once deciphered: its last deciphered byte.
  std::function<void(int lastByte)> onBlock;
  static constexpr size_t kBlock = 65536;
  static constexpr size_t kPieceBlocks = 128;  // 8 MiB pieces

 private:
  void Decipher(size_t len);
  uint8_t key_[24];
  ByteSink& plain_;
  std::vector<uint8_t> block_;
  size_t blockSize_;
  size_t fill_ = 0;
  uint64_t cipherBytes_ = 0;
};
