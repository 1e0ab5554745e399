#include "card/card_objects.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "card/cryptoki.h"
#include "card/object_search.h"
#include "card/pkcs11_codes.h"
#include "card/tarvirsa_api.h"
#include "platform/disk_steps.h"
#include "platform/ui_services.h"

namespace {

// More slotList than any reader set has; a module reporting more is not believed
// far enough to allocate for it.
constexpr CK_ULONG kMaxSlots = 1024;

void ErrorBox(const QString& text) { Ui().messageBox(MsgKind::Error, text); }

class WaitCursor {
 public:
  WaitCursor() { Ui().setWaitCursor(true); }
  ~WaitCursor() { Ui().setWaitCursor(false); }
};

// One search for the RSA private keys; its failures shown when asked for. The
// messages name the private-key search, the only one that shows them.
TSearchResult SearchPrivateKeys(CK_SESSION_HANDLE session, CK_ULONG max, bool showMessages) {
  TSearchFailure show;
  if (showMessages) {
    show = [](SearchStep step, CK_RV rv) {
      const QString& text = step == SearchStep::Init   ? kMsgFindKeysInit
                            : step == SearchStep::Find ? kMsgFindKeysSearch
                                                       : kMsgFindKeysFinal;
      ErrorBox(text + QString::number(rv) + "]");
    };
  }
  return FindObjectsOfClass(session, CKO_PRIVATE_KEY, CKA_KEY_TYPE, CKK_RSA, max, show);
}

// The -1, -2 or -3 that FindPrivateKeys gives for the step that failed.
int StepCode(const TSearchResult& r) {
  if (r.Ok()) return 0;
  return r.Failed == SearchStep::Init ? -1 : r.Failed == SearchStep::Find ? -2 : -3;
}

// Longest attribute value read for the pairing: a certificate (TR_MAX_CERT_LEN);
// identifiers and key parts are far shorter.
constexpr CK_ULONG kMaxAttributeBytes = TR_MAX_CERT_LEN;

bool ReadFailed(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                std::vector<uint8_t>& value) {
  return ReadAttributeValue(session, object, type, kMaxAttributeBytes, value) == AttributeRead::Failed;
}

// A big-endian number without its leading zero bytes.
std::vector<uint8_t> Unpadded(const uint8_t* p, size_t n) {
  while (n > 0 && *p == 0) ++p, --n;
  return {p, p + n};
}

struct KeySide {
  CK_OBJECT_HANDLE handle = 0;
  std::vector<uint8_t> id, modulus, exponent;  // modulus and exponent unpadded; empty when unreadable
};

struct CertSide {
  CK_OBJECT_HANDLE handle = 0;
  std::vector<uint8_t> id, der;
  std::vector<uint8_t> modulus, exponent;  // of the key it carries; empty when it yields none
};

// The certificate's public key, read without a message: a certificate that yields
// none belongs to no key.
void CarriedKey(CertSide& cert) {
  if (cert.der.empty() || !DerFits(cert.der.data(), cert.der.size())) return;
  TR_RSA_PUBLIC_KEY key;
  std::memset(&key, 0, sizeof key);
  if (tarvirsa::X509ExtractRSAPublicKey(cert.der.data(), &key) != 0) return;
  cert.modulus = Unpadded(key.modulus, sizeof key.modulus);
  cert.exponent = Unpadded(key.exponent, sizeof key.exponent);
}

bool SamePublicKey(const CertSide& cert, const KeySide& key) {
  return !key.modulus.empty() && cert.modulus == key.modulus && (key.exponent.empty() || cert.exponent == key.exponent);
}

// The handles of one search, silent; false when a call failed.
bool Search(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, CK_ATTRIBUTE_TYPE secondType, CK_ULONG second,
            std::vector<CK_OBJECT_HANDLE>& handles) {
  TSearchResult r = FindObjectsOfClass(session, objectClass, secondType, second, kFindUserCertificateMax);
  handles = r.Ok() ? std::move(r.Handles) : std::vector<CK_OBJECT_HANDLE>();
  return r.Ok();
}

QString SlotListMessage(const QString& prefix, CK_RV rv) {
  return prefix + QString::number(rv) + ", " + PkcsRetCodeText(rv) + "]";
}

// The fixed-width description: up to 64 bytes, ending early at a NUL if the module pads with NULs.
QString Description(const CK_SLOT_INFO& si, bool trim) {
  const char* p = reinterpret_cast<const char*>(si.slotDescription);
  size_t n = strnlen(p, sizeof si.slotDescription);
  if (trim)
    while (n > 0 && static_cast<unsigned char>(p[n - 1]) <= ' ') --n;
  return QString::fromUtf8(p, static_cast<qsizetype>(n));
}

}  // namespace

int FindPrivateKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE& handle, bool showMessages) {
  const TSearchResult r = SearchPrivateKeys(session, kFindPrivateKeyMax, showMessages);
  if (!r.Handles.empty()) handle = r.Handles[0];
  if (!r.Ok()) return -1;
  return r.Handles.empty() ? 0 : 1;
}

int FindPrivateKeys(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* handles, CK_ULONG capacity, bool showMessages) {
  if (!handles) capacity = 0;
  const TSearchResult r = SearchPrivateKeys(session, capacity, showMessages);
  std::copy(r.Handles.begin(), r.Handles.end(), handles);
  return r.Ok() ? static_cast<int>(r.Handles.size()) : StepCode(r);
}

int FindUserCertificateObject(CK_SESSION_HANDLE session, TUserCertificateObject& found) {
  found = TUserCertificateObject();
  std::vector<CK_OBJECT_HANDLE> handles;
  if (!Search(session, CKO_PRIVATE_KEY, CKA_KEY_TYPE, CKK_RSA, handles)) return -1;
  const bool privateKeys = !handles.empty();
  if (!privateKeys && !Search(session, CKO_PUBLIC_KEY, CKA_KEY_TYPE, CKK_RSA, handles)) return -1;
  std::vector<KeySide> keys;
  for (CK_OBJECT_HANDLE h : handles) {
    KeySide k;
    k.handle = h;
    if (ReadFailed(session, h, CKA_ID, k.id) || ReadFailed(session, h, CKA_MODULUS, k.modulus) ||
        ReadFailed(session, h, CKA_PUBLIC_EXPONENT, k.exponent))
      return -1;
    k.modulus = Unpadded(k.modulus.data(), k.modulus.size());
    k.exponent = Unpadded(k.exponent.data(), k.exponent.size());
    keys.push_back(std::move(k));
  }
  if (!Search(session, CKO_CERTIFICATE, CKA_CERTIFICATE_TYPE, CKC_X_509, handles)) return -1;
  std::vector<CertSide> certs;
  for (CK_OBJECT_HANDLE h : handles) {
    CertSide c;
    c.handle = h;
    if (ReadFailed(session, h, CKA_ID, c.id) || ReadFailed(session, h, CKA_VALUE, c.der)) return -1;
    c.der.resize(DerTrimmedLength(c.der.data(), c.der.size()));
    CarriedKey(c);
    certs.push_back(std::move(c));
  }
  auto take = [&](const CertSide& c, const KeySide& k) {
    found.Certificate = c.handle;
    found.PrivateKey = privateKeys ? k.handle : 0;
    found.Der = c.der;
    return 1;
  };
  // A shared CKA_ID counts unless both public keys are known and differ.
  for (const CertSide& c : certs) {
    if (c.id.empty() || c.der.empty()) continue;
    for (const KeySide& k : keys)
      if (k.id == c.id && (k.modulus.empty() || c.modulus.empty() || SamePublicKey(c, k))) return take(c, k);
  }
  for (const CertSide& c : certs)
    for (const KeySide& k : keys)
      if (SamePublicKey(c, k)) return take(c, k);
  return 0;
}

bool GetReaderList(CK_SLOT_ID* slotList, CK_ULONG capacity, CK_ULONG& count, QStringList& names) {
  WaitCursor wait;
  CK_ULONG reported = 0;
  CK_RV rv = cryptoki::C_GetSlotList(CK_FALSE, nullptr, &reported);
  if (rv != CKR_OK) {
    ErrorBox(SlotListMessage(kMsgNoReadersCount, rv));
    return false;
  }
  // The whole list goes into a buffer of its own, so a module with more slotList than
  // the caller has room for cannot write past the caller's array.
  std::vector<CK_SLOT_ID> all;
  CK_ULONG got = 0;
  for (int attempt = 0;; ++attempt) {
    all.assign(std::min(reported, kMaxSlots), 0);
    got = all.size();
    rv = cryptoki::C_GetSlotList(CK_FALSE, all.data(), &got);
    // A reader plugged in between the two calls: ask again with the new count.
    if (rv == CKR_BUFFER_TOO_SMALL && attempt < 3 && got > all.size() && got <= kMaxSlots) {
      reported = got;
      continue;
    }
    break;
  }
  if (rv != CKR_OK) {
    ErrorBox(SlotListMessage(kMsgNoReadersList, rv));
    return false;
  }
  got = std::min<CK_ULONG>(got, all.size());
  count = slotList ? std::min(got, capacity) : 0;
  if (count) std::copy(all.begin(), all.begin() + count, slotList);

  for (CK_ULONG i = 0; i < count; ++i) {
    CK_SLOT_INFO si;
    std::memset(&si, 0, sizeof si);
    if (cryptoki::C_GetSlotInfo(slotList[i], &si) != CKR_OK) {
      names.append(QString());
      continue;
    }
    CK_TOKEN_INFO ti;
    CK_RV t = cryptoki::C_GetTokenInfo(slotList[i], &ti);
    names.append(Description(si, t == CKR_OK || t == CKR_TOKEN_NOT_PRESENT || t == CKR_TOKEN_NOT_RECOGNIZED));
  }
  return true;
}

bool GetReaderList(CK_SLOT_ID* slotList, CK_ULONG capacity, CK_ULONG& count, std::unique_ptr<QStringList>& names) {
  if (!names) names = std::make_unique<QStringList>();
  return GetReaderList(slotList, capacity, count, *names);
}

bool CloseSlotSessions(CK_SLOT_ID slot) { return cryptoki::C_CloseAllSessions(slot) == CKR_OK; }

int64_t FileSizeByStream(const QString& fileName) {
  QFile f(fileName);
  errno = 0;
  if (!f.open(QIODevice::ReadOnly)) {
    ErrorBox(kMsgFileOpenError + '"' + fileName + '"' + "[Error=" + FileErrorText(f, errno) + "]");
    return -1;
  }
  return static_cast<int64_t>(f.size());
}

int Des3PadCount(uint64_t n) { return 8 - static_cast<int>(n % 8); }
