#pragma once
// The program's side of the cryptographic library: one global table with a pointer
// per function, filled by name from the loaded library, and wrappers that make an
// unbound function fail with TR_E_NOT_BOUND instead of crashing.
//
// Call the library only through the wrappers in namespace tarvirsa (they carry the
// library's own names and argument orders, see interfaces/tarvirsa.h):
//   uint32_t len = 0;
//   tarvirsa::X509ExtractSerial(der, nullptr, &len);
//
// The wrappers live in a namespace on purpose: global functions with the library's
// names in the program would interpose the library's own internal calls.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "interfaces/tarvirsa.h"

class SharedLibrary;

struct TarviRsaTable {
#define TARVI_RSA_TABLE_FIELD(ret, name, params, args) TR_##name##_FN name = nullptr;
  TARVI_RSA_FUNCTIONS(TARVI_RSA_TABLE_FIELD)
#undef TARVI_RSA_TABLE_FIELD
};

// The table that every caller uses.
extern TarviRsaTable TarviRsa;

// One entry per function, in the binding order (the order the binder looks the
// names up and shows them): DES3Decrypt, DES3Encrypt, MD5Final, MD5Init, MD5Update,
// RSAPrivateDecrypt, RSAPrivateEncrypt, RSAPublicDecrypt, RSAPublicEncrypt,
// R_GenerateBytes, R_GeneratePEMKeys, R_GetRandomBytesNeeded, R_RandomCreate,
// R_RandomFinal, R_RandomInit, R_RandomMix, R_RandomUpdate, SHAFinal, SHAInit,
// SHAUpdate, X509CertRequest, DERDecodeLength, DEREncodeRSAPublicKey,
// X509ExtractRSAPublicKey, X509ExtractSerial, X509ExtractIssuer, X509ExtractSubject,
// X509ExtractExtensions, X509ExtractFromExtension, X509ExtractValidity,
// X509CheckCert, X509ExtractFromPKCS7, X509ExtractComponent.
struct TarviRsaEntry {
  const char* name;
  // Stores an address found by name (nullptr clears the entry).
  void (*set)(TarviRsaTable& table, void* address);
  bool (*isBound)(const TarviRsaTable& table);
};
std::span<const TarviRsaEntry> TarviRsaEntries();  // always TARVI_RSA_FUNCTION_COUNT entries

// Looks every name up in lib, in binding order, and stores what it finds (a missing
// name leaves its entry null). Returns the names not found, in binding order.
std::vector<std::string> FillTarviRsaTable(const SharedLibrary& lib, TarviRsaTable& table = TarviRsa);
// Every entry back to null.
void ClearTarviRsaTable(TarviRsaTable& table = TarviRsa);
// The names whose entries are null, in binding order.
std::vector<std::string> UnboundTarviRsaNames(const TarviRsaTable& table = TarviRsa);

// True when buf holds exactly one complete DER element: a well-formed tag and
// length whose header plus content are the len bytes, none left over. Check this
// before handing bytes of a received certificate to the X509Extract* functions,
// which take no length: a certificate field holds its certificate and nothing else.
bool DerFits(const uint8_t* buf, size_t len);
// True when buf holds one complete DER element at its start, possibly followed by
// more bytes: for an element inside a larger structure, or for trimming a file
// down to the certificate it begins with.
bool DerPrefixFits(const uint8_t* buf, size_t len);
// The length of a certificate's own bytes: the DER element at buf's start when it
// fits in len bytes (what follows it is padding of the store that held it), else len.
size_t DerTrimmedLength(const uint8_t* buf, size_t len);

namespace tarvirsa {
// Wrappers over TarviRsa. An unbound function returns TR_E_NOT_BOUND; SHAFinal and
// MD5Final return nullptr.
#define TARVI_RSA_WRAPPER_DECL(ret, name, params, args) ret name params;
TARVI_RSA_FUNCTIONS(TARVI_RSA_WRAPPER_DECL)
#undef TARVI_RSA_WRAPPER_DECL
}  // namespace tarvirsa
