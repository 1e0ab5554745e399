#pragma once
// The encrypted container (root element EncodedFile, extension PackedFileExt):
// its fixed texts, the pieces a writer puts together, and the one strict reader
// that the recipient list, the payload reader and decryption all go through.
//
// Layout, code page 1250 bytes, CR LF line ends, nothing else:
//   <?xml version="1.0" ?>                                      CR LF
//   <!DOCTYPE EncodedFile SYSTEM "EncodedFile.dtd">             CR LF
//   <EncodedFile>                                               CR LF
//   <Version> CR LF version text CR LF </Version>               CR LF
//   { <Recipient> CR LF <Subject> CR LF subject CR LF </Subject>
//     CR LF <CertificateSN> CR LF serial CR LF </CertificateSN> CR LF </Recipient> CR LF }  1..n
//   <File compress="zip" encoding="base64"> CR LF <![CDATA[ CR LF
//   Base64 of the cipher text
//   CR LF ]]> CR LF </File>                                     CR LF
//   { <SessionKey> CR LF wrapped key hex CR LF </SessionKey> CR LF }                      1..n
//   </EncodedFile>                                              CR LF, the last bytes
//
// The k-th SessionKey belongs to the k-th Recipient; a file whose counts differ,
// or that deviates from the layout anywhere, is malformed as a whole.
//
// Cipher text: the plain text (a ZIP archive holding the signed container) with
// 1 to 8 pad bytes of the pad length (none for an empty plain text), enciphered
// with DES-EDE3 in ECB mode under a 24-byte session key. The session key is
// wrapped for the recipient with RSA PKCS #1 v1.5 type 2.
#include <QString>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "signing/container.h"

class ByteSink;

// ---- fixed texts -------------------------------------------------------------

inline constexpr std::string_view kEncXmlLine = "<?xml version=\"1.0\" ?>\r\n";
inline constexpr std::string_view kEncDoctypeLine = "<!DOCTYPE EncodedFile SYSTEM \"EncodedFile.dtd\">\r\n";
inline constexpr std::string_view kEncRootLine = "<EncodedFile>\r\n";
inline constexpr std::string_view kEncVersionOpen = "<Version>\r\n";
inline constexpr std::string_view kEncVersionClose = "\r\n</Version>\r\n";
inline constexpr std::string_view kEncRecipientOpen = "<Recipient>\r\n<Subject>\r\n";
inline constexpr std::string_view kEncSubjectToSerial = "\r\n</Subject>\r\n<CertificateSN>\r\n";
inline constexpr std::string_view kEncRecipientClose = "\r\n</CertificateSN>\r\n</Recipient>\r\n";
inline constexpr std::string_view kEncFileOpen = "<File compress=\"zip\" encoding=\"base64\">\r\n<![CDATA[\r\n";
inline constexpr std::string_view kEncFileClose = "\r\n]]>\r\n</File>\r\n";
inline constexpr std::string_view kEncSessionKeyOpen = "<SessionKey>\r\n";
inline constexpr std::string_view kEncSessionKeyClose = "\r\n</SessionKey>\r\n";
inline constexpr std::string_view kEncRootClose = "</EncodedFile>\r\n";

// Tags as the element positions are counted from.
inline constexpr std::string_view kEncRecipientTag = "<Recipient>";
inline constexpr std::string_view kEncSubjectTag = "<Subject>";
inline constexpr std::string_view kEncCertificateSNTag = "<CertificateSN>";
inline constexpr std::string_view kEncSessionKeyTag = "<SessionKey>";
inline constexpr std::string_view kEncCdataTag = "<![CDATA[";

// ---- sizes and bounds --------------------------------------------------------

// Every text of the head and tail goes through a work buffer of this size and
// ends at its first zero byte.
inline constexpr size_t kEncTextBuffer = 65536;
// The serial text a recipient record keeps: the reader's work area holds 35
// bytes with its terminating zero; a longer CertificateSN text is cut.
inline constexpr size_t kEncSerialWorkArea = 35;
inline constexpr size_t kEncMaxSerialText = 1024;  // longer: malformed
inline constexpr size_t kEncMaxRecipients = 1000;
// The subjects and serials of all recipients together, so that memory stays small
// whatever a file claims.
inline constexpr size_t kEncMaxRecipientBytes = size_t(1) << 20;
// A wrapped key is as long as the recipient's modulus: 4096 bits at most.
inline constexpr size_t kEncMaxWrappedKeyBytes = 512;
inline constexpr size_t kEncSessionKeyBytes = 24;

// ---- writer pieces -----------------------------------------------------------

// A head or tail text as the work buffer passes it: up to its first zero byte, at
// most kEncTextBuffer bytes.
std::string EncBufferedText(std::string_view text);
// A subject that cannot break its row: CR, LF and "<" become "?".
std::string EncSubjectText(std::string_view subject);

// Rows 1 to 4 with the version text.
std::string EncHeadText(std::string_view versionText);
// Rows 5 and 6: one Recipient element.
std::string EncRecipientText(std::string_view subject, std::string_view serial);
// Row 7 (ends with the CR LF after "<![CDATA[").
inline std::string EncFileOpenText() { return std::string(kEncFileOpen); }
// Rows 9 to 11 after the payload: the end of File, one SessionKey element with the
// wrapped key as upper-case hex, and the closing root line.
std::string EncTailText(const uint8_t* wrappedKey, size_t wrappedLen);

// The CertificateSN text of a recipient's certificate: the decimal serial value
// with decimal serials on, else the serial's hex text.
std::string EncSerialText(int32_t serialValue, std::string_view serialHex, bool decimal);

// Cipher length of a plain text of n bytes: n + 8 - n mod 8, and 0 for 0.
inline uint64_t EncCipherLength(uint64_t n) { return n == 0 ? 0 : n + 8 - n % 8; }

// ---- reading -----------------------------------------------------------------

enum class EncFault {
  None = 0,
  ReadError,          // the source failed
  Truncated,          // the file ends inside the layout
  BadHeader,          // rows 1 to 3
  BadVersion,         // row 4
  BadRecipient,       // the framing or a text of a Recipient element
  BadSerial,          // a CertificateSN text empty, too long or with a foreign character
  NoRecipient,        // no Recipient element before File
  TooManyRecipients,  // more than kEncMaxRecipients, or their texts above kEncMaxRecipientBytes
  BadPayload,         // a byte outside the Base64 alphabet and CR LF, or no exact end of File
  BadSessionKey,      // the framing of a SessionKey element
  BadHex,             // a wrapped key empty, of odd length, too long or with a non-hex digit
  KeyCount,           // SessionKey elements and Recipient elements differ in number
  BadEnd,             // anything but exactly "</EncodedFile>" CR LF after the last key
};
const char* EncFaultName(EncFault fault);

// One Recipient element; offsets are 0-based file positions of the tags' "<".
struct EncRecipientElement {
  int64_t start = 0;      // "<Recipient>"
  int64_t subjectAt = 0;  // first byte of the subject text
  int64_t serialAt = 0;   // first byte of the CertificateSN text
  std::string subject;    // bytes as stored
  std::string serial;
};

struct EncSessionKeyElement {
  int64_t start = 0;  // "<SessionKey>"
  int64_t hexAt = 0;
  std::vector<uint8_t> key;  // the wrapped key's bytes
};

struct EncLayout {
  bool wellFormed = false;
  EncFault fault = EncFault::None;
  int64_t faultOffset = -1;
  int64_t size = 0;
  std::string version;
  std::vector<EncRecipientElement> recipients;
  // Base64 text [payloadStart, payloadEnd).
  int64_t payloadStart = 0, payloadEnd = 0;
  // Bytes the payload decodes to.
  uint64_t cipherLength = 0;
  std::vector<EncSessionKeyElement> sessionKeys;
};

// Receives the payload's Base64 text as the reader passes it, in order; after a
// false result everything delivered must be thrown away.
class EncSink {
 public:
  virtual ~EncSink() = default;
  virtual void payloadText(const uint8_t* data, size_t n) = 0;
};

// Reads the whole source once, in blocks of about blockSize bytes; memory stays at
// about that whatever the file's size. Returns layout.wellFormed.
bool ReadEncodedContainer(SgnSource& source, EncLayout& layout, EncSink* sink = nullptr,
                          size_t blockSize = size_t(1) << 20);

// ---- recipient records ---------------------------------------------------------

// One Recipient element with its session key, as the recipient list and
// decryption use it. Texts hold code page 1250 text one byte per character.
struct TRecipientRecord {
  // The CertificateSN as a number: a decimal text's value, else HexSerialValue.
  int32_t SerialValue = 0;
  QString Subject;
  int32_t SessionKeyLength = 0;
  std::vector<uint8_t> SessionKey;  // the wrapped key
  // Hex digits: the CertificateSN text itself, or for a decimal text its value in
  // upper-case hex without leading zeros. At most 100 characters.
  QString SerialText;
};
using TRecipientList = std::vector<TRecipientRecord>;

// Fills record (serial and subject) from one Recipient element: a CertificateSN of
// at most 10 characters that IsAllDigits calls decimal is read as a decimal number
// (the low 32 bits of a larger value); any other text is kept and its first 8
// characters give HexSerialValue. Only the first 34 characters of the text count.
void ParseRecipient(const EncRecipientElement& element, TRecipientRecord& record);

// The container text in memory: outPair (two values, may be null) and list are
// cleared, then one record per Recipient element is appended in text order with
// the k-th session key on the k-th record. A malformed text leaves the list empty
// and returns false; layout, when given, tells why.
bool ParseRecipients(const char* text, int64_t length, int32_t* outPair, TRecipientList& list,
                     EncLayout* layout = nullptr);
// The same straight from a file, in bounded memory; false when it cannot be
// opened or is malformed. A container above ProgressMinSize shows its reading in
// the progress window, captioned kProgressReadingEncrypted, unless an operation
// around this one shows it already.
inline const QString kProgressReadingEncrypted = QStringLiteral("Čitanje kriptirane datoteke");
bool ParseRecipientsFile(const QString& path, TRecipientList& list, EncLayout* layout = nullptr);

// The payload of a container file decoded from Base64 into destination, as the
// strict reader passes it. rangeCopy is cleared. False (and everything written
// meant nothing) when the file cannot be opened or is malformed.
bool VerifySignedStream(const QString& name, std::string* rangeCopy, ByteSink& destination,
                        EncLayout* layout = nullptr);

// The hex text read two digits per byte, the first four bytes big-endian; bytes
// the text does not reach count as 0, and so does a digit that is not hex.
int32_t HexSerialValue(std::string_view hex);
// Every character a decimal digit; true for an empty text.
bool IsAllDigits(std::string_view text);
// True when the tag's characters stand in the source from pos on, all of them in it.
bool StreamTagAt(SgnSource& source, int64_t pos, std::string_view tag);
