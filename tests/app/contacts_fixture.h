#pragma once
// Certificates for the contact forms' tests, made with the openssl command line
// once per build tree (under <build>/test-certs-contacts, made again whenever the
// recipe in contacts_fixture.cpp changes). Each exists as DER ("<name>.der", what
// the contact folder holds as ".crt") and as a DER PKCS #7 ("<name>.p7c", what the
// CA folder holds).
//
// CAs: "ca" (CN "Kontakt CA", serial 0A1B), "ca2" (CN "Drugi CA"). Contacts of "ca":
// "ana" (serial 11), "bruno" (12), "expired" (13, valid 2001 to 2011), "twin"
// (serial 11 like "ana", another subject: the same key name). Of "ca2": "stranger" (14).
// Of "slashca" (CN "./../../x"): "escapee" (15).
#include <string>

#include "support/cert_set.h"

namespace contactsfx {

using Made = MadeCert;

// The certificate of that name; throws when openssl failed to make the set.
const Made& Cert(const std::string& name);

}  // namespace contactsfx
