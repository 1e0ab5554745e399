#pragma once
// The signed container (".sgn", root element FileUpload): its fixed texts, the
// pieces a writer puts together, and the one strict reader that every road reading
// a container goes through (verification, extraction, comparison, in-place
// signing, revocation).
//
// Layout, code page 1250 bytes, CR LF line ends, nothing else:
//   <?xml version="1.0" ?>                              CR LF   unsigned
//   <!DOCTYPE FileUpload SYSTEM "dtd">                  CR LF   unsigned
//   <FileUpload>                                        CR LF   unsigned
//   <TimeStamp> CR LF yyyymmddhhnnss CR LF </TimeStamp> CR LF   signed range ...
//   <File compress="zip" encoding="base64"> CR LF <![CDATA[ CR LF
//   Base64 payload
//   CR LF ]]> CR LF </File>                                      ... ends here
//   { CR LF <Signer> ... </Signer> }                            unsigned, 0..n
//   CR LF </FileUpload>                                         no byte after it
//
// Only the bytes inside the signed range are ever handed out as the payload, and a
// file that deviates from the layout anywhere is malformed as a whole: a CDATA
// section or a second TimeStamp/File block outside the range can never stand in
// for the signed content.
#include <QDateTime>
#include <QFile>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---- fixed texts -------------------------------------------------------------

inline constexpr std::string_view kSgnXmlLine = "<?xml version=\"1.0\" ?>\r\n";
inline constexpr std::string_view kSgnDoctypeStart = "<!DOCTYPE FileUpload SYSTEM \"";
inline constexpr std::string_view kSgnDoctypeEnd = "\">\r\n";
inline constexpr std::string_view kSgnRootLine = "<FileUpload>\r\n";

inline constexpr std::string_view kSgnTimeStampOpen = "<TimeStamp>";
inline constexpr std::string_view kSgnTimeStampClose = "</TimeStamp>";
inline constexpr std::string_view kSgnFileOpen = "<File compress=\"zip\" encoding=\"base64\">";
inline constexpr std::string_view kSgnCdataOpen = "<![CDATA[";
inline constexpr std::string_view kSgnFileClose = "</File>";
// Rows 4 to 8 around the 14 time-stamp digits.
inline constexpr std::string_view kSgnPrefixHead = "<TimeStamp>\r\n";
inline constexpr std::string_view kSgnPrefixRest =
    "\r\n</TimeStamp>\r\n<File compress=\"zip\" encoding=\"base64\">\r\n<![CDATA[\r\n";
// The 14 bytes that close the payload; the last byte of "</File>" is the last
// byte of the signed range.
inline constexpr std::string_view kSgnTail = "\r\n]]>\r\n</File>";
// The 15 bytes that end every container; a signer is added by writing over them.
inline constexpr std::string_view kSgnClose = "\r\n</FileUpload>";

inline constexpr std::string_view kSgnSignerOpen = "<Signer>";
inline constexpr std::string_view kSgnSignerClose = "</Signer>";
inline constexpr std::string_view kSgnCertificateOpen = "<Certificate>";
inline constexpr std::string_view kSgnCertificateClose = "</Certificate>";
inline constexpr std::string_view kSgnSignOpen = "<Sign>";
inline constexpr std::string_view kSgnSignClose = "</Sign>";
inline constexpr std::string_view kSgnTimeOpen = "<Time>";
inline constexpr std::string_view kSgnTimeClose = "</Time>";
// The framing of a Signer element between its fields.
inline constexpr std::string_view kSgnSignerHead = "\r\n<Signer>\r\n<Certificate>\r\n";
inline constexpr std::string_view kSgnSignerAfterCert = "\r\n</Certificate>\r\n<Sign>\r\n";
inline constexpr std::string_view kSgnSignerAfterSign = "\r\n</Sign>\r\n<Time>\r\n";
inline constexpr std::string_view kSgnSignerEnd = "\r\n</Time>\r\n</Signer>";

// ---- sizes and positions -----------------------------------------------------

inline constexpr int kSgnTimeStampDigits = 14;
inline constexpr int kSgnSigningTimeDigits = 17;
// Rows 4 to 8: 13 + 14 + 68 bytes.
inline constexpr int64_t kSgnPrefixLength =
    int64_t(kSgnPrefixHead.size()) + kSgnTimeStampDigits + int64_t(kSgnPrefixRest.size());
static_assert(kSgnPrefixLength == 95);
static_assert(kSgnTail.size() == 14 && kSgnClose.size() == 15);

// Positions relative to the "<" of an element's opening tag.
inline constexpr int64_t kSgnTimeStampDigitsAt = 13;  // after "<TimeStamp>" CR LF
inline constexpr int64_t kSgnCertHexAt = 15;          // after "<Certificate>" CR LF
inline constexpr int64_t kSgnSignHexAt = 8;           // after "<Sign>" CR LF
inline constexpr int64_t kSgnTimeAt = 8;              // after "<Time>" CR LF

// Bounds of what a container may hold. A certificate is at most the 20480 DER
// bytes the program accepts; a signature as long as the modulus of a 4096-bit key.
inline constexpr int64_t kSgnMaxCertificateBytes = 20480;
inline constexpr int64_t kSgnMaxSignatureBytes = 512;
inline constexpr int64_t kSgnMaxCertificateHex = 2 * kSgnMaxCertificateBytes;
inline constexpr int64_t kSgnMaxSignatureHex = 2 * kSgnMaxSignatureBytes;
inline constexpr size_t kSgnMaxDtdName = 1024;
inline constexpr size_t kSgnMaxSigners = 1000;

// ---- writer pieces -----------------------------------------------------------

// Rows 1 to 3 (outside the signed range). The DTD name is the registry value
// "File", empty when it is missing. A name the reader refuses (see
// SgnDtdNameFits) is written empty too: it is unsigned and only names the DTD,
// and a container carrying it could never be read back, verified or signed again.
std::string SgnHeaderText(std::string_view dtdName);
// Whether a DTD name can stand in row 2: at most kSgnMaxDtdName bytes, without a
// double quote, CR, LF, "<" or ">".
bool SgnDtdNameFits(std::string_view dtdName);
// Rows 4 to 8: the first 95 bytes of the signed range. timeStamp14 must be the 14
// digits of SgnTimeStampText.
std::string SgnRangePrefixText(std::string_view timeStamp14);
// One Signer element with the CR LF that introduces it (row 11); the certificate
// and signature as upper-case hex, time17 as SgnSigningTimeText gives it.
std::string SgnSignerText(const uint8_t* cert, size_t certLen, const uint8_t* sig, size_t sigLen,
                          std::string_view time17);
// Clock texts from one reading of the local clock: "yyyymmddhhnnss" and the same
// followed by three digits of milliseconds.
std::string SgnTimeStampText(const QDateTime& localTime);
std::string SgnSigningTimeText(const QDateTime& localTime);
// Where the next Signer element goes in a complete container of the given size:
// over its final CR LF "</FileUpload>".
inline int64_t SgnAppendPosition(int64_t containerSize) { return containerSize - int64_t(kSgnClose.size()); }

// Upper-case hex, two digits per byte.
std::string BytesToHexText(const uint8_t* data, size_t len);
// The value of one hex digit of either case; -1 for any other byte.
int HexValue(unsigned char c);
// Decodes hex pairs (either case) in place, puts a zero byte after the bytes and
// returns their number; an odd last character is ignored. The strict reader checks
// the text before it decodes, so a non-hex digit never reaches this.
int64_t HexTextToBytes(char* text, int64_t len);
// True when the tag's characters stand in text from pos on, all of them inside it.
bool TagAt(const char* text, int64_t len, int64_t pos, std::string_view tag);

// ---- reading -----------------------------------------------------------------

// A seekable run of bytes: the reader asks for blocks at increasing offsets and,
// only for a malformed file, searches backwards from the end.
class SgnSource {
 public:
  virtual ~SgnSource() = default;
  virtual int64_t size() const = 0;
  // Up to n bytes at offset into buf; the count read, or -1 on a read error.
  virtual int64_t readAt(int64_t offset, void* buf, size_t n) = 0;
};

class SgnMemorySource : public SgnSource {
 public:
  SgnMemorySource(const void* data, int64_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  explicit SgnMemorySource(std::string_view text) : SgnMemorySource(text.data(), int64_t(text.size())) {}
  int64_t size() const override { return size_; }
  int64_t readAt(int64_t offset, void* buf, size_t n) override;

 private:
  const uint8_t* data_;
  int64_t size_;
};

// Reads a file through an open QFile (not owned) or one it opens itself.
class SgnFileSource : public SgnSource {
 public:
  explicit SgnFileSource(QFile& openFile) : file_(&openFile) {}
  explicit SgnFileSource(const QString& path);
  bool isOpen() const { return file_ && file_->isOpen(); }
  int64_t size() const override;
  int64_t readAt(int64_t offset, void* buf, size_t n) override;

 private:
  std::unique_ptr<QFile> own_;
  QFile* file_ = nullptr;
};

// Why a container is malformed; the first fault found is reported.
enum class SgnFault {
  None = 0,
  ReadError,     // the source failed
  Truncated,     // the file ends inside the layout
  BadHeader,     // rows 1 to 3
  BadDtdName,    // quote, CR, LF, "<" or ">" in the DTD name, or too long
  BadTimeStamp,  // rows 4 to 8, or the 14 digits
  BadPayload,    // a byte outside the Base64 alphabet and CR LF, or no exact tail
  BadSigner,     // the framing of a Signer element
  BadHex,        // a hex field empty, of odd length or too long
  BadTime,       // a signing time other than 17 digits
  TooManySigners,
  BadEnd,  // anything but exactly CR LF "</FileUpload>" after the last Signer
};
const char* SgnFaultName(SgnFault fault);

// One Signer element as the reader found it; offsets are 0-based file positions.
struct SgnSignerElement {
  int64_t start = 0;  // "<" of "<Signer>"
  int64_t end = 0;    // "<" of "</Signer>"
  int64_t certHexPos = 0, certHexLen = 0;
  int64_t signHexPos = 0, signHexLen = 0;
  int64_t timePos = 0;
  std::vector<uint8_t> certificate;
  std::vector<uint8_t> signature;
  std::string time;
  // The bytes that removing this signer drops: from the LF before "<Signer>"
  // through the CR after "</Signer>", so that the CR LF around it joins into one.
  int64_t revokeOffset() const { return start - 1; }
  int64_t revokeLength() const { return end - start + 11; }
};

struct SgnLayout {
  bool wellFormed = false;
  SgnFault fault = SgnFault::None;
  int64_t faultOffset = -1;
  int64_t size = 0;
  std::string dtdName;
  // Signed range [rangeStart, rangeEnd): "<TimeStamp>" through "</File>".
  bool haveRange = false;
  int64_t rangeStart = 0, rangeEnd = 0;
  // Base64 text [payloadStart, payloadEnd), inside the range.
  int64_t payloadStart = 0, payloadEnd = 0;
  std::string timeStamp;
  // Every Signer element in file order. For a malformed file these are the
  // elements that could still be framed (see ReadSignedContainer); none of them
  // may be trusted.
  std::vector<SgnSignerElement> signers;
  int64_t rangeLength() const { return rangeEnd - rangeStart; }
};

// Receives the bytes of the signed range and of the payload as the reader passes
// them, in order. The reader's result decides whether they count: after a false
// result, everything delivered must be thrown away.
class SgnSink {
 public:
  virtual ~SgnSink() = default;
  virtual void rangeBytes(const uint8_t* data, size_t n) {}
  virtual void payloadBytes(const uint8_t* data, size_t n) {}
};

struct SgnReadOptions {
  size_t blockSize = size_t(1) << 20;  // read block; memory stays at about this
  bool decodeFields = true;            // false: offsets only, no certificate or signature bytes
};

// Reads the whole source once, in blocks. Returns layout.wellFormed.
// When the file is malformed before the signers are reached, the Signer elements
// after the last "]]>" CR LF "</File>" are still framed (with the same strict
// rules), so a listing can show them; none of them belongs to a valid range.
bool ReadSignedContainer(SgnSource& source, SgnLayout& layout, SgnSink* sink = nullptr,
                         const SgnReadOptions& options = {});
