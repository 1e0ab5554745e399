// Fuzz entry for certificate loading, the three ways the program loads one:
// TCertifikat::LoadFromMemory (a signer's certificate from a container, the
// card's), LoadFromCrtFile (a contact's ".crt") and LoadFromPkcs7File (a CA's
// ".p7c"), with the cryptographic library compiled in. Beyond the sanitizers:
//  - a load either succeeds with a whole certificate (DerLength bytes that are
//    exactly one DER element), or fails, leaves Loaded false and says why;
//  - the memory and the DER file load of the same bytes agree on every value;
//  - a loaded certificate loads again from its own Der with the same values;
//  - the texts have their documented forms (SerialHex upper-case hex, KeyName
//    without blanks or ASCII capitals, FileName KeyName + ".crt").
#include <QString>
#include <cstdint>
#include <cstring>
#include <string>

#include "card/cert_helpers.h"
#include "card/certificate.h"
#include "card/tarvirsa_api.h"
#include "fuzz_support.h"
#include "inprocess_tarvirsa.h"
#include "platform/fake_ui_services.h"

using fuzzsupport::Require;

namespace {

bool SameValues(const TCertifikat& a, const TCertifikat& b) {
  // Only DerLength bytes of Der are the certificate.
  return a.Loaded == b.Loaded && a.DerLength == b.DerLength && std::memcmp(a.Der, b.Der, size_t(a.DerLength)) == 0 &&
         a.SubjectCommonName == b.SubjectCommonName && a.IssuerCommonName == b.IssuerCommonName &&
         a.KeyName == b.KeyName && std::memcmp(&a.PublicKey, &b.PublicKey, sizeof a.PublicKey) == 0 &&
         a.SerialHex == b.SerialHex && a.SerialInt == b.SerialInt && a.SubjectText == b.SubjectText &&
         a.Expired == b.Expired && a.ValidFrom == b.ValidFrom && a.ValidTo == b.ValidTo && a.RootCheck == b.RootCheck;
}

void CheckLoaded(const TCertifikat& c, bool loaded, const QString& error) {
  Require(c.Loaded == loaded);
  Require(loaded == error.isEmpty());
  Require(c.RootCheck == -1 && c.DisplayName.isEmpty() && c.EMail.isEmpty());
  if (!loaded) {
    Require(c.Expired == -1 || c.Expired == 0 || c.Expired == 1);
    return;
  }
  Require(c.DerLength > 0 && c.DerLength <= TCertifikat::kDerCapacity);
  uint32_t h = 0, n = 0;
  Require(DerFits(c.Der, size_t(c.DerLength)) && tarvirsa::DERDecodeLength(c.Der, &h, &n) == 0 &&
          int64_t(h) + n == c.DerLength);
  Require(c.PublicKey.bits >= TR_MIN_MODULUS_BITS && c.PublicKey.bits <= TR_MAX_MODULUS_BITS);
  Require(c.SerialHex.size() % 2 == 0);
  for (QChar ch : c.SerialHex) Require((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'));
  for (QChar ch : c.KeyName) Require(ch != ' ' && !(ch >= 'A' && ch <= 'Z'));
  Require(c.Expired == 0 || c.Expired == 1);
  Require(c.ValidFrom == CertValidity(std::span<const uint8_t>(c.Der, size_t(c.DerLength)), true));
  Require(c.ValidTo == CertValidity(std::span<const uint8_t>(c.Der, size_t(c.DerLength)), false));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool bound = (BindInProcessTarviRsa(), true);
  Require(bound);
  static FakeUiServices* ui = new FakeUiServices;  // the key-error box is recorded, not shown
  ui->boxes.clear();
  // A fixed clock, so that Expired depends on the input alone.
  static const bool clock = (TCertifikat::SetClock([] { return TDateTime(46000.5); }), true);
  Require(clock);
  const std::string& root = fuzzsupport::Root("cert");

  // From memory, as the verifier and the card component load one.
  auto mem = std::make_unique<TCertifikat>();
  mem->FileName = QStringLiteral("earlier.crt");
  QString error;
  const int32_t length = size > size_t(TCertifikat::kDerCapacity) ? TCertifikat::kDerCapacity + 1 : int32_t(size);
  const bool fromMemory = mem->LoadFromMemory(data, length, error, false);
  CheckLoaded(*mem, fromMemory, error);
  Require(mem->FileName == (fromMemory ? mem->KeyName + QStringLiteral(".crt") : QStringLiteral("earlier.crt")));

  // The same bytes as a contact's DER file.
  const std::string crt = root + "/contact.crt";
  fuzzsupport::WriteFile(crt, data, size);
  auto file = std::make_unique<TCertifikat>();
  const bool fromFile = file->LoadFromCrtFile(QString::fromStdString(crt), false, error);
  CheckLoaded(*file, fromFile, error);
  Require(fromFile ? file->FileName == QStringLiteral("contact.crt") : file->FileName.isEmpty());
  if (size <= size_t(TCertifikat::kDerCapacity)) {
    Require(fromFile == fromMemory);
    if (fromFile) Require(SameValues(*mem, *file));
  }

  // A loaded certificate loads again from its own bytes.
  if (fromMemory) {
    auto again = std::make_unique<TCertifikat>();
    Require(again->LoadFromMemory(mem->Der, mem->DerLength, error, false) && SameValues(*mem, *again));
  }

  // The same bytes as a CA's PKCS #7 file.
  const std::string p7c = root + "/ca.p7c";
  fuzzsupport::WriteFile(p7c, data, size);
  auto ca = std::make_unique<TCertifikat>();
  const bool fromPkcs7 = ca->LoadFromPkcs7File(QString::fromStdString(p7c), false, error);
  CheckLoaded(*ca, fromPkcs7, error);
  if (fromPkcs7) {
    auto inner = std::make_unique<TCertifikat>();
    Require(inner->LoadFromMemory(ca->Der, ca->DerLength, error, false) && SameValues(*ca, *inner));
  }
  // Only the public-key box may have been shown, and only for a failed load.
  for (const FakeUiServices::Box& b : ui->boxes) Require(b.kind == MsgKind::Error);
  if (fromMemory && fromFile && fromPkcs7) Require(ui->boxes.empty());
  return 0;
}
