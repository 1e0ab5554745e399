#include "card/certificate.h"

#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <cstring>

#include "card/cert_helpers.h"
#include "card/tarvirsa_api.h"
#include "platform/codepage.h"
#include "platform/ui_services.h"

namespace {

const QChar Q = QLatin1Char('"');

std::function<TDateTime()>& Clock() {
  static std::function<TDateTime()> clock;
  return clock;
}

QString TooLarge() { return QStringLiteral(" Certifikat je veći od 20480 bajtova."); }

// The bytes of a two-step call: the length first, then a zero-filled buffer one byte
// longer. False on any non-zero result.
template <typename Call>
bool TwoStep(Call call, QByteArray& out) {
  uint32_t len = 0;
  if (call(nullptr, &len) != 0) return false;
  QByteArray buf(static_cast<qsizetype>(len) + 1, '\0');
  uint32_t cap = len + 1;
  if (call(reinterpret_cast<uint8_t*>(buf.data()), &cap) != 0) return false;
  if (cap > len + 1) return false;
  buf.truncate(cap);
  out = buf;
  return true;
}

bool NameOf(const uint8_t* der, bool issuer, QByteArray& name) {
  return TwoStep(
      [&](uint8_t* buf, uint32_t* len) {
        return issuer ? tarvirsa::X509ExtractIssuer(der, buf, len) : tarvirsa::X509ExtractSubject(der, buf, len);
      },
      name);
}

bool ComponentOf(const QByteArray& name, int32_t id, QByteArray& text) {
  const auto* nameDer = reinterpret_cast<const uint8_t*>(name.constData());
  uint32_t len = 0;
  if (tarvirsa::X509ExtractComponent(nameDer, id, nullptr, &len) != 0) return false;
  QByteArray buf(static_cast<qsizetype>(len), '\0');
  uint32_t cap = len;
  if (tarvirsa::X509ExtractComponent(nameDer, id, reinterpret_cast<uint8_t*>(buf.data()), &cap) != 0) return false;
  if (cap > len) return false;
  buf.truncate(cap);
  text = buf;
  return true;
}

QByteArray CommonName(const uint8_t* der, bool issuer) {
  QByteArray name, cn;
  if (!NameOf(der, issuer, name) || !ComponentOf(name, TR_COMPONENT_COMMON_NAME, cn)) return QByteArray();
  return cn;
}

// "CN=..,OU=..,O=..,C=..": each part only when the subject has it.
QByteArray SubjectTextOf(const uint8_t* der, const char* separator, QString& error) {
  uint32_t len = 0;
  TRRESULT r = tarvirsa::X509ExtractSubject(der, nullptr, &len);
  QByteArray name;
  if (r == 0) {
    name = QByteArray(static_cast<qsizetype>(len) + 1, '\0');
    uint32_t cap = len + 1;
    r = tarvirsa::X509ExtractSubject(der, reinterpret_cast<uint8_t*>(name.data()), &cap);
  }
  if (r != 0) {
    error = QStringLiteral("Greška kod dohvata Subjecta iz certifikata banke. [Error code=") + QString::number(r) +
            QStringLiteral("]");
    return QByteArray();
  }
  struct Part {
    int32_t id;
    const char* prefix;
  };
  static const Part kParts[] = {{TR_COMPONENT_COMMON_NAME, "CN="},
                                {TR_COMPONENT_ORG_UNIT, "OU="},
                                {TR_COMPONENT_ORG, "O="},
                                {TR_COMPONENT_COUNTRY, "C="}};
  QByteArray text;
  for (const Part& p : kParts) {
    QByteArray value;
    if (!ComponentOf(name, p.id, value)) continue;
    if (p.id != TR_COMPONENT_COMMON_NAME) text += separator;
    text += p.prefix;
    text += value;
  }
  return text;
}

// Reads at most limit + 1 bytes, so that the caller can tell a longer file.
bool ReadHead(const QString& path, qsizetype limit, QByteArray& data) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  data.resize(limit + 1);
  qsizetype got = 0;
  while (got < data.size()) {
    const qint64 n = f.read(data.data() + got, data.size() - got);
    if (n < 0) return false;
    if (n == 0) break;
    got += n;
  }
  data.truncate(got);
  return true;
}

bool IsRegularFile(const QString& path) {
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

// True when the data start with a DER element whose declared size is above the
// capacity: a certificate we refuse rather than cut.
bool DeclaresMoreThanCapacity(const uint8_t* data, size_t len) {
  if (len < 6) return false;
  uint32_t header = 0, content = 0;
  if (tarvirsa::DERDecodeLength(data, &header, &content) != 0) return false;
  return static_cast<uint64_t>(header) + content > static_cast<uint64_t>(TCertifikat::kDerCapacity);
}

}  // namespace

TCertifikat::TCertifikat() { Reset(); }

TCertifikat::~TCertifikat() = default;

void TCertifikat::SetClock(std::function<TDateTime()> clock) { Clock() = std::move(clock); }

// Validity times are UTC; so is the clock they are compared with.
TDateTime TCertifikat::Now() { return Clock() ? Clock()() : ToTDateTime(QDateTime::currentDateTimeUtc()); }

void TCertifikat::Reset() {
  std::memset(Der, 0, sizeof Der);
  std::memset(&PublicKey, 0, sizeof PublicKey);
  DerLength = 0;
  EMail.clear();
  DisplayName.clear();
  SubjectCommonName.clear();
  IssuerCommonName.clear();
  KeyName.clear();
  SerialHex.clear();
  SerialInt = 0;
  SubjectText.clear();
  Loaded = false;
  RootCheck = -1;
  Expired = -1;
  ValidFrom = kNoDate;
  ValidTo = kNoDate;
}

bool TCertifikat::Fail(const QString& text, bool showMessages, QString& error) {
  error = text;
  if (showMessages) Ui().messageBox(MsgKind::Error, text);
  return false;
}

// Both file loaders start alike: a fresh certificate named after the file, and the
// file's head read, or the loading refused with the message of what went wrong.
bool TCertifikat::OpenFile(const QString& fileName, const QString& quoted, bool showMessages, QString& error,
                           QByteArray& data) {
  error.clear();
  Reset();
  FileName = QFileInfo(fileName).fileName();
  if (!IsRegularFile(fileName)) {
    FileName.clear();
    return Fail(QStringLiteral("Nema datoteke ") + quoted + QStringLiteral(". Učitavanje certifikata prekinuto."),
                showMessages, error);
  }
  if (!ReadHead(fileName, kDerCapacity, data)) {
    FileName.clear();
    return Fail(QStringLiteral("Pogreška prilikom otvaranja datoteke ") + quoted +
                    QStringLiteral(". Učitavanje certifikata prekinuto."),
                showMessages, error);
  }
  return true;
}

bool TCertifikat::LoadFromPkcs7File(const QString& fileName, bool showMessages, QString& error) {
  const QString quoted = Q + fileName + Q;
  QByteArray data;
  if (!OpenFile(fileName, quoted, showMessages, error, data)) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.constData());
  const QString failText = QStringLiteral("Pogreška pri dohvatu podatka iz ") + quoted;
  if (data.size() > kDerCapacity) {
    // Only the first 20480 bytes count; a file whose content needs more is refused
    // as too large instead of being parsed cut off.
    if (DeclaresMoreThanCapacity(bytes, static_cast<size_t>(data.size()))) {
      FileName.clear();
      return Fail(failText + QLatin1Char('.') + TooLarge(), showMessages, error);
    }
    data.truncate(kDerCapacity);
  }
  TR_RSA_PUBLIC_KEY unusedKey;
  uint32_t unusedCount = 0;
  uint32_t len = kDerCapacity;
  const TRRESULT r = tarvirsa::X509ExtractFromPKCS7(bytes, static_cast<uint32_t>(data.size()), &unusedKey,
                                                    TR_PKCS7_CERTIFICATE, TR_PKCS7_FIRST, 0, Der, &len, &unusedCount);
  if (r != 0 || len > static_cast<uint32_t>(kDerCapacity)) {
    FileName.clear();
    std::memset(Der, 0, sizeof Der);
    return Fail(failText + QStringLiteral(" [Error Code=") + QString::number(r) + QStringLiteral("]"), showMessages,
                error);
  }
  DerLength = static_cast<int32_t>(len);
  return Finish(Source::Pkcs7, failText, showMessages, error);
}

bool TCertifikat::LoadFromCrtFile(const QString& fileName, bool showMessages, QString& error) {
  const QString quoted = Q + fileName + Q;
  QByteArray data;
  if (!OpenFile(fileName, quoted, showMessages, error, data)) return false;
  const QString failText = QStringLiteral("Pogreška pri dohvatu podatka iz ") + quoted;
  if (data.size() > kDerCapacity &&
      DeclaresMoreThanCapacity(reinterpret_cast<const uint8_t*>(data.constData()), static_cast<size_t>(data.size()))) {
    FileName.clear();
    return Fail(failText + QLatin1Char('.') + TooLarge(), showMessages, error);
  }
  DerLength = static_cast<int32_t>(std::min<qsizetype>(data.size(), kDerCapacity));
  std::memcpy(Der, data.constData(), static_cast<size_t>(DerLength));
  return Finish(Source::DerFile, failText, showMessages, error);
}

bool TCertifikat::LoadFromMemory(const void* data, int32_t length, QString& error, bool showMessages) {
  error.clear();
  const QString keepName = FileName;
  Reset();
  FileName = keepName;
  const QString failText = QStringLiteral("Pogreška pri dohvatu podatka iz certifikata");
  if (length > kDerCapacity) return Fail(failText + QLatin1Char('.') + TooLarge(), showMessages, error);
  if (length < 0 || (length > 0 && !data)) return Fail(failText, showMessages, error);
  DerLength = length;
  if (length > 0) std::memcpy(Der, data, static_cast<size_t>(length));
  return Finish(Source::Memory, failText, showMessages, error);
}

// Public key, then the values. Bytes that came as given (a DER file, memory) also
// lose DerLength on failure; a memory load keeps its FileName until it succeeds.
bool TCertifikat::Finish(Source source, const QString& failText, bool showMessages, QString& error) {
  const bool fromMemory = source == Source::Memory;
  const bool isDer = source != Source::Pkcs7;
  // Bytes after the certificate's own element are not part of it: they would go
  // into containers with it and fail every signature check.
  DerLength = static_cast<int32_t>(DerTrimmedLength(Der, static_cast<size_t>(DerLength)));
  if (!ExtractRsaPublicKey(std::span<const uint8_t>(Der, static_cast<size_t>(DerLength)), &PublicKey)) {
    if (!fromMemory) FileName.clear();
    if (isDer) DerLength = 0;
    return Fail(failText, showMessages, error);
  }
  ReadValues();
  if (fromMemory) FileName = KeyName + QStringLiteral(".crt");
  UpdateExpired();
  Loaded = true;
  return true;
}

void TCertifikat::ReadValues() {
  const std::span<const uint8_t> der(Der, static_cast<size_t>(DerLength));
  ValidFrom = CertValidity(der, true);
  ValidTo = CertValidity(der, false);
  const QByteArray subjectCn = CommonName(Der, false);
  SubjectCommonName = FromCp1250(subjectCn);
  const QByteArray issuerCn = CommonName(Der, true);
  IssuerCommonName = FromCp1250(issuerCn);

  QByteArray serial;
  if (TwoStep([&](uint8_t* buf, uint32_t* len) { return tarvirsa::X509ExtractSerial(Der, buf, len); }, serial)) {
    const auto* s = reinterpret_cast<const uint8_t*>(serial.constData());
    SerialHex = SerialHexText(s, static_cast<size_t>(serial.size()));
    SerialInt = SerialValue(s, static_cast<size_t>(serial.size()));
  }
  QString subjectError;  // the loader does not report it; the text just stays empty
  SubjectText = FromCp1250(SubjectTextOf(Der, ",", subjectError));

  QByteArray key = Cp1250Lower(issuerCn + SerialHex.toLatin1());
  key.replace(' ', '_');
  KeyName = FromCp1250(key);
}

int32_t TCertifikat::UpdateExpired() {
  Expired = Now() > ValidTo ? 1 : 0;
  return Expired;
}

QByteArray Cp1250Lower(QByteArray bytes) {
  for (char& ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    unsigned char l = b;
    if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) {
      l = static_cast<unsigned char>(b + 0x20);
    } else {
      switch (b) {
        case 0x8A:
        case 0x8C:
        case 0x8D:
        case 0x8E:
        case 0x8F: l = static_cast<unsigned char>(b + 0x10); break;
        case 0xA3: l = 0xB3; break;
        case 0xA5: l = 0xB9; break;
        case 0xAA: l = 0xBA; break;
        case 0xAF: l = 0xBF; break;
        case 0xBC: l = 0xBE; break;
        default: break;
      }
    }
    ch = static_cast<char>(l);
  }
  return bytes;
}

QString SerialHexText(const uint8_t* bytes, size_t len) {
  static const char kDigits[] = "0123456789ABCDEF";
  QString text;
  text.reserve(static_cast<qsizetype>(len * 2));
  for (size_t i = 0; i < len; ++i) {
    text += QLatin1Char(kDigits[bytes[i] >> 4]);
    text += QLatin1Char(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

int32_t SerialValue(const uint8_t* bytes, size_t len) {
  uint8_t first[4] = {0, 0, 0, 0};
  const size_t n = len < 4 ? len : 4;
  CopyBytes(bytes, first + (4 - n), static_cast<std::ptrdiff_t>(n));
  uint32_t memoryOrder = 0;
  std::memcpy(&memoryOrder, first, 4);
  uint32_t value = 0;
  SwapBytes32(memoryOrder, value);
  return static_cast<int32_t>(value);
}
