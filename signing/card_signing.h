#pragma once
// The card side of signing. The private key never leaves the card: the engine
// hands it the 35-byte SHA-1 DigestInfo and gets back the PKCS #1 v1.5 signature
// (CKM_RSA_PKCS), and it reads the signer's certificate from the card to store it
// in the Signer element.
//
// All four work on a session the card layer has opened and logged in; none opens,
// closes or logs in a session, and none shows a message: failures come back only
// through the results, and the caller chooses the text.
//
// Every search template uses CK_ULONG-sized integer values (a 4-byte value matches
// nothing on an LP64 module), asks for at most kCardSearchMax handles in one
// C_FindObjects and takes the first one returned.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "interfaces/pkcs11.h"
#include "signing/container.h"

inline constexpr CK_ULONG kCardSearchMax = 50;
// The signature buffer callers hand to SignDigestOnCard.
inline constexpr size_t kCardSignatureBufferSize = 1024;
// Longest signature and certificate accepted from a card: what a Signer element
// can carry (a 4096-bit key's signature; the certificates the program accepts).
inline constexpr CK_ULONG kCardMaxSignatureBytes = CK_ULONG(kSgnMaxSignatureBytes);
inline constexpr CK_ULONG kCardMaxCertificateBytes = CK_ULONG(kSgnMaxCertificateBytes);

// The 35-byte DigestInfo sent to the card: the SHA-1 DER header, then digest20.
void BuildSha1DigestInfo(const uint8_t digest20[20], uint8_t out35[35]);

// Signs the DigestInfo of digest20 with the RSA private key of the user's certificate
// (FindUserCertificateObject, card/card_objects.h). The card
// must also hold an RSA public key object (looked for in CurrentSession). The
// length the module reports first sizes the signature; it must fit both
// kCardMaxSignatureBytes and outCapacity. True with the signature in out and its
// length in outLen; false otherwise (out and outLen then unchanged).
bool SignDigestOnCard(CK_SESSION_HANDLE session, const uint8_t digest20[20], uint8_t* out, size_t outCapacity,
                      CK_ULONG& outLen);

// The DER bytes of the user's certificate: the certificate object that belongs to a
// key on the card, its value trimmed to its one DER element. True with cert holding
// them; false otherwise (none belongs to a key, a call failed), cert then empty.
bool ReadCardCertificate(CK_SESSION_HANDLE session, std::vector<uint8_t>& cert);

// The user's certificate object (CKO_CERTIFICATE, CKC_X_509, belonging to a key):
// true with its handle; false when there is none or a call failed.
bool FindCardCertificateObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE& handle);

// Whether the card holds an RSA public key object, searched in the card layer's
// CurrentSession (card/acg_component.h): 1 with its first handle, 0 when there is
// none, -1 when a PKCS#11 call failed.
int HasRsaPublicKeyObject(CK_OBJECT_HANDLE& handle);
