// Fuzz entry for the readers of the encrypted container, called as the program
// calls them: the strict reader over memory and over a file, the recipient list
// from memory (ParseRecipients) and from the file (ParseRecipientsFile), and the
// payload stream (VerifySignedStream) through the DES-EDE3 plain-text stream with
// its padding check, as decryption runs it. Beyond the sanitizers it checks:
//  - every read block size gives the same answer;
//  - a well-formed container keeps the layout's invariants, rebuilt from its
//    parts with the writer's own pieces it reads back the same, its payload
//    decodes to exactly cipherLength bytes, and the records match its elements;
//  - a malformed one gives no records and no payload.
#include <QString>
#include <cstdint>
#include <string>

#include "card/tarvirsa_api.h"
#include "fuzz_support.h"
#include "inprocess_tarvirsa.h"
#include "signing/base64.h"
#include "signing/decrypt.h"
#include "signing/encrypted_container.h"

using fuzzsupport::Require;

namespace {

EncLayout ReadWith(const uint8_t* data, size_t size, size_t block) {
  SgnMemorySource src(data, int64_t(size));
  EncLayout l;
  ReadEncodedContainer(src, l, nullptr, block);
  return l;
}

bool SameLayout(const EncLayout& a, const EncLayout& b) {
  if (a.wellFormed != b.wellFormed || a.fault != b.fault || a.faultOffset != b.faultOffset) return false;
  if (!a.wellFormed) return true;
  if (a.version != b.version || a.payloadStart != b.payloadStart || a.payloadEnd != b.payloadEnd ||
      a.cipherLength != b.cipherLength || a.recipients.size() != b.recipients.size() ||
      a.sessionKeys.size() != b.sessionKeys.size())
    return false;
  for (size_t i = 0; i < a.recipients.size(); ++i)
    if (a.recipients[i].subject != b.recipients[i].subject || a.recipients[i].serial != b.recipients[i].serial)
      return false;
  for (size_t i = 0; i < a.sessionKeys.size(); ++i)
    if (a.sessionKeys[i].key != b.sessionKeys[i].key) return false;
  return true;
}

class CountingSink : public ByteSink {
 public:
  void Write(const void*, size_t size) override { bytes += size; }
  uint64_t bytes = 0;
};

class StringSink : public ByteSink {
 public:
  void Write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
  std::string out;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool bound = (BindInProcessTarviRsa(), true);
  Require(bound);
  const std::string& root = fuzzsupport::Root("enc");
  const std::string path = root + "/in.enc";
  const QString qpath = QString::fromStdString(path);

  const EncLayout a = ReadWith(data, size, size_t(1) << 20);
  const EncLayout b = ReadWith(data, size, 1);
  const EncLayout c = ReadWith(data, size, 300);
  Require(SameLayout(a, b) && SameLayout(a, c));
  Require(a.wellFormed == (a.fault == EncFault::None));

  const char* text = reinterpret_cast<const char*>(data);
  TRecipientList list;
  int32_t pair[2] = {1, 1};
  const bool parsed = ParseRecipients(text, int64_t(size), pair, list);
  Require(parsed == a.wellFormed && pair[0] == 0 && pair[1] == 0);
  Require(parsed ? list.size() == a.recipients.size() : list.empty());

  fuzzsupport::WriteFile(path, data, size);
  TRecipientList fromFile;
  EncLayout fileLayout;
  Require(ParseRecipientsFile(qpath, fromFile, &fileLayout) == a.wellFormed && SameLayout(a, fileLayout));
  Require(fromFile.size() == list.size());

  if (a.wellFormed) {
    // The layout's own rules.
    Require(!a.recipients.empty() && a.recipients.size() <= kEncMaxRecipients);
    Require(a.sessionKeys.size() == a.recipients.size());
    Require(a.payloadStart <= a.payloadEnd && a.payloadEnd <= a.size);
    for (size_t i = 0; i < a.recipients.size(); ++i) {
      const EncRecipientElement& e = a.recipients[i];
      Require(!e.serial.empty() && e.serial.size() <= kEncMaxSerialText);
      const TRecipientRecord& r = list[i];
      Require(r.SessionKeyLength == int32_t(a.sessionKeys[i].key.size()) && r.SessionKey == a.sessionKeys[i].key);
      Require(r.SessionKeyLength > 0 && size_t(r.SessionKeyLength) <= kEncMaxWrappedKeyBytes);
      Require(r.SerialText.size() <= 100 && !r.SerialText.isEmpty());
      Require(fromFile[i].SerialText == r.SerialText && fromFile[i].SerialValue == r.SerialValue &&
              fromFile[i].Subject == r.Subject && fromFile[i].SessionKey == r.SessionKey);
    }

    // Rebuilt from its parts by the writer's pieces, it reads back the same.
    std::string rebuilt = EncHeadText(a.version);
    for (const EncRecipientElement& e : a.recipients) rebuilt += EncRecipientText(e.subject, e.serial);
    rebuilt += EncFileOpenText();
    rebuilt.append(text + a.payloadStart, size_t(a.payloadEnd - a.payloadStart));
    for (size_t i = 0; i < a.sessionKeys.size(); ++i) {
      std::string tail = EncTailText(a.sessionKeys[i].key.data(), a.sessionKeys[i].key.size());
      // One key per tail piece: keep the end of File only before the first key and
      // the root's end only after the last.
      if (i > 0) tail.erase(0, kEncFileClose.size());
      if (i + 1 < a.sessionKeys.size()) tail.resize(tail.size() - kEncRootClose.size());
      rebuilt += tail;
    }
    Require(rebuilt.size() == size);
    const EncLayout r = ReadWith(reinterpret_cast<const uint8_t*>(rebuilt.data()), rebuilt.size(), 4096);
    Require(SameLayout(a, r));

    // The payload as decryption reads it: exactly cipherLength bytes.
    StringSink decoded;
    EncLayout again;
    Require(VerifySignedStream(qpath, nullptr, decoded, &again) && SameLayout(a, again));
    Require(decoded.out.size() == a.cipherLength);

    // Through the plain-text stream under some key: whole blocks pass, the padding
    // check decides the rest, and a success writes less than it was given.
    if (a.cipherLength % 8 == 0) {
      const uint8_t key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
      CountingSink plain;
      Des3PlainSink des(key, plain, 64);
      Require(VerifySignedStream(qpath, nullptr, des, nullptr));
      const int32_t rc = des.Finish();
      Require(rc == 0 ? plain.bytes < a.cipherLength && plain.bytes + 8 >= a.cipherLength : rc == TR_E_DATA);
    }
  } else {
    CountingSink none;
    Require(!VerifySignedStream(qpath, nullptr, none, nullptr));
  }
  return 0;
}
