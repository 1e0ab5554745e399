#pragma once
// Free functions over the bound PKCS#11 module that the card component, the
// signed-file engine and the sign command share. None keeps state between calls.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

#include "interfaces/pkcs11.h"

// Most handles FindPrivateKey collects.
inline constexpr CK_ULONG kFindPrivateKeyMax = 50;

// The session's RSA private keys (CKA_CLASS = CKO_PRIVATE_KEY, CKA_KEY_TYPE = CKK_RSA).
// 1: found, handle := the first one; 0: none; -1: a PKCS#11 call failed.
int FindPrivateKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE& handle, bool showMessages);
// Up to capacity handles into handles: their number, or -1 (search start), -2 (search),
// -3 (search end).
int FindPrivateKeys(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* handles, CK_ULONG capacity, bool showMessages);

// The user's certificate on a token and the key it belongs to.
struct TUserCertificateObject {
  CK_OBJECT_HANDLE Certificate = 0;
  // The RSA private key of the pair; 0 when the session shows no private key (before
  // a login), and a public key object stood in for it.
  CK_OBJECT_HANDLE PrivateKey = 0;
  std::vector<uint8_t> Der;  // the certificate's value, trimmed to its one DER element
};
// Most certificate objects and keys looked at for the pair.
inline constexpr CK_ULONG kFindUserCertificateMax = 50;
// Cards hold more than the user's certificate (their CA's, others'), so the user's is
// the X.509 certificate object whose CKA_ID is that of an RSA private key (unless
// both public keys are known and differ), else the first whose public key is that of
// a private key; certificates are
// taken in the module's search order. Before a login, when no private key is visible,
// the RSA public key objects stand for them. Nothing is shown.
// 1: found; 0: no certificate belongs to a key on the token; -1: a PKCS#11 call failed.
int FindUserCertificateObject(CK_SESSION_HANDLE session, TUserCertificateObject& found);

// Fills slotList with at most capacity slot ids and sets count to how many it filled;
// appends one reader name per filled slot to names (created when null; never
// cleared). A slot whose information cannot be read gets an empty name, so names
// and slots stay paired. False when the slot list could not be read.
bool GetReaderList(CK_SLOT_ID* slotList, CK_ULONG capacity, CK_ULONG& count, std::unique_ptr<QStringList>& names);
bool GetReaderList(CK_SLOT_ID* slotList, CK_ULONG capacity, CK_ULONG& count, QStringList& names);

// C_CloseAllSessions(slot) succeeded.
bool CloseSlotSessions(CK_SLOT_ID slot);

// The file's size in bytes, or -1 (with a box) when it cannot be opened.
int64_t FileSizeByStream(const QString& fileName);

// 8 - (n mod 8): the pad bytes of the 3DES encryption, 1 to 8.
int Des3PadCount(uint64_t n);

// Box texts (each followed by the number and "]").
inline const QString kMsgFindKeysInit =
    QStringLiteral("Pogreška inicijalizacije traženja tajnih ključeva na kartici ! [Error Code=");
inline const QString kMsgFindKeysSearch =
    QStringLiteral("Pogreška inicijalizacije tajnih ključeva na kartici ! [Error Code=");
inline const QString kMsgFindKeysFinal =
    QStringLiteral("Pogreška finalizacije traženja tajnih ključeva na kartici ! [Error Code=");
inline const QString kMsgNoReadersCount = QStringLiteral("Nema dostupnih čitača. [Error Code=");
inline const QString kMsgNoReadersList = QStringLiteral("Nema dostupnih čitača [Error Code=");
inline const QString kMsgFileOpenError = QStringLiteral("Greška kod otvaranja datoteke ");
