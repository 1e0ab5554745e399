#pragma once
// Certificates made with the openssl command line when a test first asks for them,
// once per build tree (under <build>/test-certs, made again whenever the recipe in
// cert_fixture.cpp changes). Every certificate exists as DER
// ("<name>.der", what a contact folder holds as ".crt") and as a DER PKCS #7 made by
// `openssl crl2pkcs7 -nocrl` ("<name>.p7c", what the CA folder holds).
//
// CAs: ca1 "Test CA 1" (serial 0A1B), ca2 "Test CA 2", ca1twin (ca1's key under the
// name "Renamed CA"), impostor (ca1's exact name with a key of its own), cahr
// ("ČŠ Đ CA"). Contacts: see the table in cert_fixture.cpp.
#include <string>

#include "support/cert_set.h"

namespace certfx {

using Made = MadeCert;

// The certificate of that name; throws when openssl failed to make the set.
const Made& Cert(const std::string& name);
// The whole file content.
std::string Bytes(const std::string& path);
// Copies a made file into folder under the given file name; returns the new path.
std::string CopyTo(const std::string& from, const std::string& folder, const std::string& fileName);

}  // namespace certfx
