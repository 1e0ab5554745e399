#pragma once
// Signed containers built by the tests themselves, straight from the layout and
// signed with libcrypto (never with the program's own writer or signing code), so
// the reader, the verifier, the validator and signing can be checked against an
// independent maker.
#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "signing/container.h"

using Bytes = std::vector<uint8_t>;

// Binds the program's cryptographic-library table to the build's libtarvirsa.so
// for the rest of the run (once); false with *error when it cannot.
bool BindTarviRsaForTests(std::string* error = nullptr);

// The SHA-1 DigestInfo header of a PKCS #1 v1.5 signature.
extern const Bytes kTestSha1Prefix;

// A key pair and its X.509 certificate (DER).
struct TestIdentity {
  std::shared_ptr<EVP_PKEY> key;
  Bytes certDer;
  int bits = 0;
};

struct TestCertSpec {
  std::string cn = "Test Signer";
  std::string ou = "Razvoj";  // empty: no organisational unit
  std::string o = "Tarvi Test";
  std::string c = "HR";
  Bytes serial = {0x10, 0x01};  // big-endian magnitude; a top bit set gives a 00 sign byte in DER
  int64_t notBefore = -86400;   // seconds from now
  int64_t notAfter = 365 * 86400;
  int bits = 2048;
  bool ca = false;
};

// A fresh key pair (keys are reused by size within one run to keep tests quick:
// pass keyIndex to get a different key of the same size) with a certificate signed
// by issuer, or self-signed when issuer is null.
TestIdentity MakeTestIdentity(const TestCertSpec& spec = {}, const TestIdentity* issuer = nullptr, int keyIndex = 0);

Bytes TestSha1(std::string_view data);
std::string TestHexUpper(const Bytes& b);
std::string TestHexUpper(const uint8_t* data, size_t len);
// The 35-byte DigestInfo for a digest.
Bytes TestDigestInfo(const Bytes& digest);
// RSASSA-PKCS1-v1_5 with SHA-1 over data (libcrypto's digest-and-sign).
Bytes TestSignSha1(const TestIdentity& id, std::string_view data);
// PKCS #1 v1.5 type-1 padding around an arbitrary block, then the private-key
// operation: lets a test sign a block that is not a proper DigestInfo.
Bytes TestSignRawBlock(const TestIdentity& id, const Bytes& block);

// Base64 of data in the container's line layout: 64 characters per line, CR LF
// between lines; a non-zero multiple of 2304 bytes leaves a CR LF at the end.
std::string TestBase64Lines(const Bytes& data);
// A pseudo-random byte string (fixed seed per call).
Bytes TestRandomBytes(size_t n, uint32_t seed = 1);

// A ZIP archive written by Python's zipfile, entries (name, content) in the given
// order; a name ending in "/" is a folder entry. deflate: compressed, else stored.
// streamed: written into a pipe, so each entry's sizes follow it in a data descriptor.
using TestZipEntries = std::vector<std::pair<std::string, std::string>>;
Bytes TestPythonZip(const TestZipEntries& entries, bool deflate = true, bool streamed = false);

// Archives whose directory lists the one file (name, shown) but which carry a
// second document (hidden.txt) for another reader, or name the file otherwise
// in its local header: a second archive appended, inside the comment, prepended;
// the second file's entry between the entry and the directory; local and central
// names that differ.
struct TestTwoDocumentZip {
  std::string what;
  Bytes zip;
};
std::vector<TestTwoDocumentZip> TestTwoDocumentZips(const std::string& name, const std::string& shown);

struct TestSigner {
  Bytes cert;
  Bytes sig;
  std::string time = "20240102030405678";
  // Field texts as written; empty means the upper-case hex of cert / sig.
  std::string certHex, sigHex;
};

// One container, assembled byte by byte from the published layout.
struct TestContainer {
  std::string dtd;
  std::string timeStamp = "20240102030405";
  std::string payload;  // the Base64 text, exactly as it stands between the CDATA lines
  std::vector<TestSigner> signers;

  std::string head() const;   // rows 1 to 3
  std::string range() const;  // rows 4 to 10, the signed range
  std::string signerText(size_t i) const;
  std::string text() const;  // the whole file
  Bytes digest() const { return TestSha1(range()); }

  // Signs the current range with id and appends the Signer element.
  TestSigner& addSigner(const TestIdentity& id, std::string time = "20240102030405678");
};

// A small container with a payload of the given raw size (Base64 of random bytes)
// and one signer per identity.
TestContainer MakeTestContainer(const std::vector<const TestIdentity*>& signers, size_t payloadBytes = 1000);

// A container with cheap, fixed Signer fields (certificates of certBytes bytes, a
// 128-byte signature): for readers that do not look inside them.
TestContainer TestPlainContainer(size_t payloadBytes, int signers, size_t certBytes = 300);

// The files the strict reader refuses, each with the fault it names: every way a
// file can stray from the layout that the tests know of.
struct MalformedContainer {
  std::string name;
  std::string text;
  SgnFault fault;
};
std::vector<MalformedContainer> MalformedContainerCases();
