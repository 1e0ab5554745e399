#include "cert_fixture.h"

#include <filesystem>

#include "support/temp_dir.h"

namespace certfx {
namespace {

struct Contact {
  const char* name;
  const char* issuer;  // a CA of the set, or "" for self-signed
  const char* subject;
  const char* serial;  // hexadecimal, as `openssl ca` takes it from its serial file
  const char* start;   // YYYYMMDDHHMMSSZ (UTCTime below 2050, GeneralizedTime from 2050)
  const char* end;
  const char* key;  // "user" (RSA 2048) or "ec" (P-256)
};

// Fixed dates, so that no test depends on the day it runs.
const Contact kContacts[] = {
    {"user", "ca1", "/C=AA/O=Org/OU=Unit/CN=Test User", "01A20F337C", "20200501102030Z", "20491231235959Z", "user"},
    {"nounit", "ca1", "/C=AA/O=Org/CN=No Unit", "02", "20200501102030Z", "20491231235959Z", "user"},
    {"nocn", "ca1", "/C=AA/O=Org", "03", "20200501102030Z", "20491231235959Z", "user"},
    {"highbit", "ca1", "/CN=High Bit", "8A01", "20200501102030Z", "20491231235959Z", "user"},
    {"expired", "ca1", "/CN=Expired User", "05", "20010203040506Z", "20110203040506Z", "user"},
    {"future", "ca1", "/CN=Future User", "06", "20450101000000Z", "20460101000000Z", "user"},
    {"past2050", "ca1", "/CN=Long User", "07", "20300101000000Z", "20600630120000Z", "user"},
    {"after2050", "ca1", "/CN=Late User", "08", "20510101000000Z", "20700101000000Z", "user"},
    {"croatian", "cahr", "/C=HR/O=Žuta Kuća/OU=Računovodstvo/CN=Čedomir Šimić", "0D0E", "20200501102030Z",
     "20491231235959Z", "user"},
    {"ofca2", "ca2", "/CN=Other CA User", "0B02", "20200501102030Z", "20491231235959Z", "user"},
    // The same subject as "user", from another CA.
    {"user2", "ca2", "/C=AA/O=Org/OU=Unit/CN=Test User", "0B03", "20200501102030Z", "20491231235959Z", "user"},
    {"ofimpostor", "impostor", "/CN=Impostor User", "09", "20200501102030Z", "20491231235959Z", "user"},
    {"oftwin", "ca1twin", "/CN=Twin User", "0A", "20200501102030Z", "20491231235959Z", "user"},
    {"ec", "ca1", "/CN=EC User", "0B", "20200501102030Z", "20491231235959Z", "ec"},
};

class Factory {
 public:
  // Makes the whole set in folder d (which exists and is empty).
  explicit Factory(const std::string& d) : dir_(d) {
    RunOrThrow("cd " + d + " && mkdir newcerts && : > index.txt");
    WriteAll(d + "/ca.cnf", "[ ca ]\ndefault_ca = CA_default\n[ CA_default ]\ndir = " + d +
                                "\ndatabase = $dir/index.txt\nnew_certs_dir = $dir/newcerts\nserial = $dir/serial\n"
                                "default_md = sha256\npolicy = policy_any\nunique_subject = no\nemail_in_dn = no\n"
                                "[ policy_any ]\ncommonName = optional\n");
    for (const char* k : {"ca1", "ca2", "impostor", "cahr", "user"})
      RunOrThrow("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + Key(k));
    RunOrThrow("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + Key("ec"));

    SelfSigned("ca1", "ca1", "/C=AA/O=Org/OU=Unit/CN=Test CA 1", "0x0A1B", true);
    SelfSigned("ca2", "ca2", "/C=AA/O=Druga/CN=Test CA 2", "0x0B01", true);
    SelfSigned("ca1twin", "ca1", "/C=AA/O=Org/CN=Renamed CA", "0x0A1C", true);
    SelfSigned("impostor", "impostor", "/C=AA/O=Org/OU=Unit/CN=Test CA 1", "0x0A1D", true);
    SelfSigned("cahr", "cahr", "/C=HR/O=Hrvatska/CN=ČŠ Đ CA", "0x0C", true);
    SelfSigned("selfsigned", "user", "/C=AA/CN=Self Signed", "0x0C", false);

    for (const Contact& c : kContacts) {
      const std::string csr = d + "/" + c.name + ".csr";
      RunOrThrow("openssl req -new -utf8 -key " + Key(c.key) + " -subj '" + c.subject + "' -out " + csr);
      WriteAll(d + "/serial", std::string(c.serial) + "\n");
      RunOrThrow("openssl ca -batch -notext -preserveDN -utf8 -config " + d + "/ca.cnf -cert " +
                 MadeCertPaths(dir_, c.issuer).pem + " -keyfile " + Key(KeyOf(c.issuer)) + " -in " + csr +
                 " -startdate " + c.start + " -enddate " + c.end + " -out " + d + "/" + c.name + ".pem");
      Finish(c.name);
    }

    // A negative serial (its first content octet is FF) and a certificate whose own
    // encoding is larger than 20480 bytes: `openssl x509 -req` makes these.
    RunOrThrow("openssl req -new -key " + Key("user") + " -subj '/CN=Negative Serial' -out " + d + "/negative.csr");
    RunOrThrow("openssl x509 -req -in " + d + "/negative.csr -CA " + MadeCertPaths(dir_, "ca1").pem + " -CAkey " +
               Key("ca1") + " -set_serial -0x81234567 -days 3650 -out " + d + "/negative.pem");
    Finish("negative");
    WriteAll(d + "/big.ext", "nsComment = \"" + std::string(21000, 'x') + "\"\n");
    RunOrThrow("openssl req -new -key " + Key("user") + " -subj '/CN=Big User' -out " + d + "/big.csr");
    RunOrThrow("openssl x509 -req -in " + d + "/big.csr -CA " + MadeCertPaths(dir_, "ca1").pem + " -CAkey " +
               Key("ca1") + " -set_serial 0x0D -days 3650 -extfile " + d + "/big.ext -out " + d + "/big.pem");
    Finish("big");
  }

 private:
  std::string Key(const std::string& k) const { return dir_ + "/" + k + ".key"; }
  static std::string KeyOf(const std::string& ca) { return ca == "ca1twin" ? "ca1" : ca; }

  void SelfSigned(const std::string& name, const std::string& key, const std::string& subject,
                  const std::string& serial, bool ca) {
    const std::string ext =
        ca ? " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign"
           : " -addext basicConstraints=CA:FALSE";
    RunOrThrow("openssl req -x509 -utf8 -key " + Key(key) + " -subj '" + subject + "' -set_serial " + serial +
               " -days 3650" + ext + " -out " + dir_ + "/" + name + ".pem");
    Finish(name);
  }

  void Finish(const std::string& name) {
    const std::string base = dir_ + "/" + name;
    RunOrThrow("openssl x509 -in " + base + ".pem -outform DER -out " + base + ".der");
    RunOrThrow("openssl crl2pkcs7 -nocrl -certfile " + base + ".pem -outform DER -out " + base + ".p7c");
  }

  std::string dir_;
};

// Every test case runs in a process of its own, so the set is made once per build
// tree and recipe (this file) and shared.
std::string SharedFolder() {
  return SharedTestFolder("test-certs", "tests/card/cert_fixture.cpp",
                          [](const std::string& work) { Factory make(work); });
}

}  // namespace

const Made& Cert(const std::string& name) {
  static const std::string folder = SharedFolder();
  return MadeCertIn(folder, name);
}

std::string Bytes(const std::string& path) { return ReadText(path); }

std::string CopyTo(const std::string& from, const std::string& folder, const std::string& fileName) {
  std::filesystem::create_directories(folder);
  const std::string to = folder + "/" + fileName;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
  return to;
}

}  // namespace certfx
