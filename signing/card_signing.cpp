#include "signing/card_signing.h"

#include <QWidget>  // card/acg_component.h holds a QPointer<QWidget>
#include <cstring>

#include "card/acg_component.h"
#include "card/card_objects.h"
#include "card/cryptoki.h"
#include "card/object_search.h"
#include "signing/verify.h"

namespace {

// Largest signature length believed from a size query (far beyond any RSA key).
constexpr CK_ULONG kSignQueryLimit = 65536;

// One search of up to kCardSearchMax handles, ended on every road so the session
// is never left searching. 1 found (first handle in handle), 0 none, -1 a call failed.
int FindFirstObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE_TYPE secondType, CK_ULONG cls, CK_ULONG second,
                    CK_OBJECT_HANDLE& handle) {
  const TSearchResult r = FindObjectsOfClass(session, cls, secondType, second, kCardSearchMax);
  if (!r.Ok()) return -1;
  if (r.Handles.empty()) return 0;
  handle = r.Handles[0];
  return 1;
}

}  // namespace

void BuildSha1DigestInfo(const uint8_t digest20[20], uint8_t out35[35]) {
  std::memcpy(out35, kSha1DigestInfoPrefix, sizeof kSha1DigestInfoPrefix);
  std::memcpy(out35 + sizeof kSha1DigestInfoPrefix, digest20, 20);
}

bool FindCardCertificateObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE& handle) {
  TUserCertificateObject user;
  if (FindUserCertificateObject(session, user) != 1) return false;
  handle = user.Certificate;
  return true;
}

int HasRsaPublicKeyObject(CK_OBJECT_HANDLE& handle) {
  return FindFirstObject(CurrentSession, CKA_KEY_TYPE, CKO_PUBLIC_KEY, CKK_RSA, handle);
}

bool ReadCardCertificate(CK_SESSION_HANDLE session, std::vector<uint8_t>& cert) {
  cert.clear();
  // The certificate of the key that signs, trimmed as the card layer trims it: the
  // container then carries the very certificate its signature opens with.
  TUserCertificateObject user;
  if (FindUserCertificateObject(session, user) != 1) return false;
  if (user.Der.empty() || user.Der.size() > kCardMaxCertificateBytes) return false;
  cert = std::move(user.Der);
  return true;
}

bool SignDigestOnCard(CK_SESSION_HANDLE session, const uint8_t digest20[20], uint8_t* out, size_t outCapacity,
                      CK_ULONG& outLen) {
  uint8_t digestInfo[35];
  BuildSha1DigestInfo(digest20, digestInfo);

  // The key of the user's certificate, the one ReadCardCertificate gives: a card with
  // several keys or certificates must not sign with one and show the other.
  TUserCertificateObject user;
  if (FindUserCertificateObject(session, user) != 1 || user.PrivateKey == 0) return false;
  const CK_OBJECT_HANDLE key = user.PrivateKey;
  // The card must hold the public half of the pair too; its handle is not used.
  CK_OBJECT_HANDLE publicKey = 0;
  if (HasRsaPublicKeyObject(publicKey) != 1) return false;

  CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
  if (cryptoki::C_SignInit(session, &mechanism, key) != CKR_OK) return false;
  CK_ULONG length = 0;
  if (cryptoki::C_Sign(session, digestInfo, sizeof digestInfo, nullptr, &length) != CKR_OK) return false;
  // The reported length sizes the buffer. Anything a real key can give is fetched,
  // so the operation the size query opened always ends; only then is the length
  // held against what a container carries and what the caller has room for.
  if (length == 0 || length > kSignQueryLimit) return false;
  std::vector<uint8_t> signature(length, 0);
  CK_ULONG signatureLen = length;
  if (cryptoki::C_Sign(session, digestInfo, sizeof digestInfo, signature.data(), &signatureLen) != CKR_OK) return false;
  if (signatureLen == 0 || signatureLen > length || signatureLen > kCardMaxSignatureBytes || signatureLen > outCapacity)
    return false;
  std::memcpy(out, signature.data(), signatureLen);
  outLen = signatureLen;
  return true;
}
