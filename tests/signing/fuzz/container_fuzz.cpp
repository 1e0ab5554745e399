// Fuzz entry for the signed-container reader and the verifier: any input must be
// read without a sanitizer report, give the same answer for every read block size,
// and, when it passes as well formed, keep the layout's own invariants.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "card/tarvirsa_api.h"
#include "inprocess_tarvirsa.h"
#include "platform/fake_ui_services.h"
#include "signing/container.h"
#include "signing/verify.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

SgnLayout ReadWith(const uint8_t* data, size_t size, size_t block) {
  SgnMemorySource src(data, int64_t(size));
  SgnLayout l;
  SgnReadOptions o;
  o.blockSize = block;
  ReadSignedContainer(src, l, nullptr, o);
  return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The library's own sources are compiled in: their code is fuzzed with the entry.
  static const bool bound = (BindInProcessTarviRsa(), UnboundTarviRsaNames().empty());
  Require(bound);
  static FakeUiServices* ui = new FakeUiServices;  // key errors become recorded boxes
  ui->boxes.clear();

  const SgnLayout a = ReadWith(data, size, 1 << 20);
  const SgnLayout b = ReadWith(data, size, 256);
  Require(a.wellFormed == b.wellFormed && a.fault == b.fault && a.signers.size() == b.signers.size());
  for (size_t i = 0; i < a.signers.size(); ++i)
    Require(a.signers[i].start == b.signers[i].start && a.signers[i].end == b.signers[i].end &&
            a.signers[i].certificate == b.signers[i].certificate);

  if (a.wellFormed) {
    Require(a.haveRange && a.rangeStart > 0 && a.rangeStart + kSgnPrefixLength == a.payloadStart);
    Require(a.payloadStart <= a.payloadEnd && a.payloadEnd + int64_t(kSgnTail.size()) == a.rangeEnd);
    int64_t at = a.rangeEnd;
    for (const SgnSignerElement& e : a.signers) {
      Require(e.start == at + 2 && e.start < e.end && e.end + 9 <= a.size);
      Require(e.certificate.size() * 2 == size_t(e.certHexLen) && e.time.size() == 17);
      at = e.end + 9;
    }
    Require(at + int64_t(kSgnClose.size()) == a.size);
    // Removing any signer leaves a well-formed container.
    if (!a.signers.empty()) {
      std::string t(reinterpret_cast<const char*>(data), size);
      const SgnSignerElement& e = a.signers.back();
      t.erase(size_t(e.revokeOffset()), size_t(e.revokeLength()));
      SgnMemorySource src(t);
      SgnLayout r;
      Require(ReadSignedContainer(src, r) && r.signers.size() + 1 == a.signers.size());
    }
  }

  TSignerList list;
  std::string range;
  VerifySignedText(reinterpret_cast<const char*>(data), int64_t(size), &range, list, true);
  Require(list.size() == a.signers.size());
  if (!a.wellFormed)
    for (const TSignerRecord& r : list) Require(r.SignatureOk == 0);
  else
    Require(int64_t(range.size()) == a.rangeLength());
  return 0;
}
