#include "contacts_fixture.h"

#include "support/temp_dir.h"

namespace contactsfx {
namespace {

struct Contact {
  const char* name;
  const char* issuer;
  const char* subject;
  const char* serial;
  const char* start;
  const char* end;
};

// Fixed dates, so that no test depends on the day it runs.
const Contact kContacts[] = {
    {"ana", "ca", "/C=HR/O=Firma/CN=Ana Anić", "11", "20200501102030Z", "20491231235959Z"},
    {"bruno", "ca", "/C=HR/O=Firma/CN=Bruno Babić", "12", "20200501102030Z", "20491231235959Z"},
    {"expired", "ca", "/C=HR/CN=Istekli Korisnik", "13", "20010203040506Z", "20110203040506Z"},
    {"twin", "ca", "/C=HR/CN=Twin", "11", "20200501102030Z", "20491231235959Z"},
    {"stranger", "ca2", "/C=HR/CN=Stranac", "14", "20200501102030Z", "20491231235959Z"},
    {"escapee", "slashca", "/C=HR/CN=Bjegunac", "15", "20200501102030Z", "20491231235959Z"},
};

void Make(const std::string& d) {
  WriteAll(d + "/ca.cnf", "[ ca ]\ndefault_ca = CA_default\n[ CA_default ]\ndir = " + d +
                              "\ndatabase = $dir/index.txt\nnew_certs_dir = $dir\nserial = $dir/serial\n"
                              "default_md = sha256\npolicy = policy_any\nunique_subject = no\nemail_in_dn = no\n"
                              "[ policy_any ]\ncommonName = optional\n");
  for (const char* k : {"ca", "ca2", "slashca", "user"})
    RunOrThrow("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + d + "/" + k + ".key");
  auto finish = [&](const std::string& name) {
    const std::string base = d + "/" + name;
    RunOrThrow("openssl x509 -in " + base + ".pem -outform DER -out " + base + ".der");
    RunOrThrow("openssl crl2pkcs7 -nocrl -certfile " + base + ".pem -outform DER -out " + base + ".p7c");
  };
  const char* caExt = " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign";
  RunOrThrow("openssl req -x509 -utf8 -key " + d +
             "/ca.key -subj '/C=HR/O=Firma/CN=Kontakt CA' -set_serial 0x0A1B -days 3650" + caExt + " -out " + d +
             "/ca.pem");
  finish("ca");
  RunOrThrow("openssl req -x509 -utf8 -key " + d + "/ca2.key -subj '/C=HR/CN=Drugi CA' -set_serial 0x0B01 -days 3650" +
             caExt + " -out " + d + "/ca2.pem");
  finish("ca2");
  RunOrThrow("openssl req -x509 -utf8 -key " + d +
             "/slashca.key -subj '/C=HR/CN=.\\/..\\/..\\/x' -set_serial 0x0C01 -days 3650" + caExt + " -out " + d +
             "/slashca.pem");
  finish("slashca");
  for (const Contact& c : kContacts) {
    const std::string csr = d + "/" + c.name + ".csr";
    RunOrThrow("openssl req -new -utf8 -key " + d + "/user.key -subj '" + c.subject + "' -out " + csr);
    // A fresh database each time: "twin" repeats a serial on purpose.
    WriteAll(d + "/index.txt", "");
    WriteAll(d + "/serial", std::string(c.serial) + "\n");
    RunOrThrow("openssl ca -batch -notext -preserveDN -utf8 -config " + d + "/ca.cnf -cert " + d + "/" + c.issuer +
               ".pem -keyfile " + d + "/" + c.issuer + ".key -in " + csr + " -startdate " + c.start + " -enddate " +
               c.end + " -out " + d + "/" + c.name + ".pem");
    finish(c.name);
  }
}

// Every test case runs in a process of its own: the set is made once per build
// tree and recipe.
std::string SharedFolder() { return SharedTestFolder("test-certs-contacts", "tests/app/contacts_fixture.cpp", Make); }

}  // namespace

const Made& Cert(const std::string& name) {
  static const std::string folder = SharedFolder();
  return MadeCertIn(folder, name);
}

}  // namespace contactsfx
