#pragma once
// One X.509 certificate as the rest of the program reads it: the DER bytes and the
// values parsed from them once, at load, through the cryptographic library.
//
// Texts hold code page 1250 text: each byte the library returns is one character
// (FromCp1250), so converting back with ToCp1250 gives the exact bytes again.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

#include "card/tdatetime.h"
#include "interfaces/tarvirsa.h"

class TCertifikat {
 public:
  // Capacity of Der; no load accepts a longer certificate.
  static constexpr int32_t kDerCapacity = TR_MAX_CERT_LEN;
  // The value of ValidFrom and ValidTo that stands for no date (1 January 1900, 18:00).
  static constexpr TDateTime kNoDate = 2.75;

  // Empty: texts empty, RootCheck and Expired -1, both dates kNoDate.
  TCertifikat();
  virtual ~TCertifikat();

  // Each returns true on success; error gets the failure text (empty on success),
  // which is also shown in an error box when showMessages is set. A failed public-key
  // extraction shows its own box whatever showMessages says.
  bool LoadFromPkcs7File(const QString& fileName, bool showMessages, QString& error);
  bool LoadFromCrtFile(const QString& fileName, bool showMessages, QString& error);
  // Note the argument order. length above kDerCapacity or below 0 is refused.
  bool LoadFromMemory(const void* data, int32_t length, QString& error, bool showMessages);

  // Expired := 1 when now (UTC) is later than ValidTo, else 0; returns it.
  int32_t UpdateExpired();

  // The clock that UpdateExpired and the loaders read: UTC now as a day count.
  // Tests put a fixed clock in place; an empty function brings back the real one.
  static void SetClock(std::function<TDateTime()> clock);
  static TDateTime Now();

  uint8_t Der[kDerCapacity];
  int32_t DerLength = 0;  // 0 after a failed load
  QString EMail;          // description field 2 (TCertList or the contact editor)
  QString FileName;       // without folder; after a memory load KeyName + ".crt"
  QString DisplayName;    // description field 1
  bool Loaded = false;
  QString SubjectCommonName;
  QString IssuerCommonName;
  QString KeyName;  // lower-cased IssuerCommonName + SerialHex, blanks as "_"
  TR_RSA_PUBLIC_KEY PublicKey;
  int32_t RootCheck = -1;  // -1 not checked, 0 verified, 1 not verified
  QString SerialHex;       // serial content octets as encoded, two upper-case digits each
  int32_t SerialInt = 0;   // first four serial bytes big-endian (fewer: right-aligned)
  QString SubjectText;     // "CN=..,OU=..,O=..,C=.." (missing parts left out)
  int32_t Expired = -1;    // -1 unknown, 0 valid, 1 expired
  TDateTime ValidFrom = kNoDate;
  TDateTime ValidTo = kNoDate;

 private:
  enum class Source { Pkcs7, DerFile, Memory };
  void Reset();
  bool Finish(Source source, const QString& failText, bool showMessages, QString& error);
  void ReadValues();
  bool Fail(const QString& text, bool showMessages, QString& error);
  bool OpenFile(const QString& fileName, const QString& quoted, bool showMessages, QString& error, QByteArray& data);
};

// Lower case by the Windows ANSI rule of code page 1250 (CharLowerBuffA): A-Z and the
// accented capitals of the code page; every other byte unchanged.
QByteArray Cp1250Lower(QByteArray bytes);

// The serial's bytes as two upper-case hexadecimal digits each.
QString SerialHexText(const uint8_t* bytes, size_t len);
// The first four serial bytes read big-endian as a signed number; fewer than four
// bytes are right-aligned (so 0A 1B gives 0x00000A1B).
int32_t SerialValue(const uint8_t* bytes, size_t len);
