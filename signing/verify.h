#pragma once
// Verifying every signer of a signed container: one pass of the strict reader
// (signing/container.h) computes the SHA-1 digest of the signed range once, and
// each Signer element becomes a record with its certificate, signature, times,
// serial number, subject and whether the signature matches the digest.
//
// A signature matches only when the RSA public-key operation with the signer's
// certificate opens a PKCS #1 v1.5 type-1 block whose content is exactly the 35
// bytes of the SHA-1 DigestInfo: the 15-byte prefix and the digest.
//
// A container that does not follow the layout gives records for the Signer
// elements that could still be framed, every one with signature OK 0.
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "card/tdatetime.h"
#include "signing/container.h"

class TCertList;
class TPostavkeRada;

// The DER header of a SHA-1 DigestInfo.
inline constexpr uint8_t kSha1DigestInfoPrefix[15] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                                      0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
inline constexpr size_t kSha1DigestInfoLength = 35;

// One signer of a container. Texts hold code page 1250 text one byte per character
// (FromCp1250), as the certificate class keeps them.
struct TSignerRecord {
  int64_t Start = 0;                 // 0-based offset of "<" of "<Signer>"
  int64_t End = 0;                   // 0-based offset of "<" of "</Signer>"
  std::vector<uint8_t> Certificate;  // DER bytes
  std::vector<uint8_t> Signature;
  QString Subject;         // "CN=..,OU=..,O=..,C=..", empty when it cannot be read
  QString DocumentTime;    // the container's 14 TimeStamp digits
  QString SigningTime;     // this signer's Time digits
  QString DocumentDigest;  // SHA-1 of the signed range, 40 upper-case hex digits; empty for a malformed file
  uint8_t SignatureOk = 0;
  int32_t SerialValue = -1;  // first four serial bytes big-endian; -1 when the serial cannot be read
  QString SerialText;        // serial bytes as upper-case hex; empty when it cannot be read
  TDateTime ValidTo = 0;     // end of the certificate's validity; 0 when it cannot be decoded
  // Filled by CheckSignerStates: -1 not checked, 0 good, any other value bad.
  int32_t ValidityState = -1;  // 1 when now is after ValidTo
  int32_t PathState = -1;      // the certificate's root check; 1 when it cannot be loaded
  uint8_t ValidOverall = 0;

  int32_t CertificateLength() const { return int32_t(Certificate.size()); }
  int32_t SignatureLength() const { return int32_t(Signature.size()); }
  int32_t SubjectLength() const { return int32_t(Subject.size()); }
};
using TSignerList = std::vector<TSignerRecord>;

// The container text in memory. Clears list and rangeCopy, then appends one record
// per Signer element in file order. With copyFlag, rangeCopy receives the signed
// range. Returns true (whatever the container holds); layout, when given, tells
// whether the file was well formed and why not.
bool VerifySignedText(const char* text, int64_t length, std::string* rangeCopy, TSignerList& list, bool copyFlag,
                      SgnLayout* layout = nullptr);

// The same over any source, in bounded memory; returns whether the container is
// well formed. rangeCopy, when given, receives the signed range.
bool VerifySignedContainer(SgnSource& source, TSignerList& list, SgnLayout* layout = nullptr,
                           std::string* rangeCopy = nullptr);
// A container file; false when it cannot be opened or is malformed (list empty
// when it cannot be opened). A container above ProgressMinSize shows its reading
// in the progress window, captioned kProgressVerifyCaption.
inline const QString kProgressVerifyCaption = QStringLiteral("Provjera potpisa");
bool VerifySignedFile(const QString& path, TSignerList& list, SgnLayout* layout = nullptr);

// One pass of the strict reader over source: layout, and the SHA-1 digest of the
// signed range into digest. rangeCopy, when given, receives the range. False when
// the container is malformed or the library failed; the digest then means nothing.
// In-place signing digests an existing container with this. also, when given, is
// handed every byte as well (the same pass then serves a second reader), under
// the reader's rule that a false result voids what it was handed.
bool DigestSignedRange(SgnSource& source, SgnLayout& layout, uint8_t digest[20], std::string* rangeCopy = nullptr,
                       SgnSink* also = nullptr);

// Fills a record from one Signer element: certificate, signature, signing time,
// serial number, subject and the end of the validity period.
bool ParseSignerRecord(const SgnSignerElement& element, TSignerRecord& record);

// "CN=" + common name, then separator + "OU=", "O=", "C=" + each component that the
// subject holds. On failure error gets "Greška kod dohvata Subjecta iz certifikata
// banke. [Error code=<n>]" (or "Greška kod rezerviranja memorije") and subject
// stays empty.
bool SubjectNameText(const uint8_t* cert, size_t certLen, char separator, QString& error, QString& subject);

// True when signature, opened with the certificate's RSA public key, is exactly the
// SHA-1 DigestInfo of digest. Shows the key-extraction error box when the
// certificate yields no key.
bool SignatureMatchesDigest(const std::vector<uint8_t>& certificate, const std::vector<uint8_t>& signature,
                            const uint8_t digest[20]);

// The states the signer list shows: ValidityState 1 when nowUtc is later than
// ValidTo, else 0; PathState the certificate's check against the CA certificates
// of roots (1 when it cannot be loaded); ValidOverall 1 only when the signature is
// OK and each state that its check asks for is 0.
void CheckSignerStates(TSignerRecord& record, const TCertList& roots, bool checkValidity, bool checkPath,
                       TDateTime nowUtc);
// The same with the two checks the settings ask for (CheckCertValidity,
// CheckCertPath).
void CheckSignerStates(TSignerRecord& record, const TCertList& roots, const TPostavkeRada& settings, TDateTime nowUtc);
