// Decrypting on the card: SoftHSM2 tokens behind our middleware module, containers
// made by the program's encryption and by the tests themselves, every failure
// reported and none of them leaving a file behind.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "card/acg_component.h"
#include "card/card_objects.h"
#include "card/cryptoki.h"
#include "encrypt_fixture.h"
#include "interfaces/tarvirsa.h"
#include "signing/activity_log.h"
#include "signing/decrypt.h"
#include "signing/encrypt.h"
#include "signing/encrypted_container.h"
#include "signing/file_utils.h"
#include "signing/settings.h"
#include "signing/sign_file.h"
#include "signing/verify.h"
#include "support/file_size_limit.h"

using namespace enctest;

namespace {

const QString kWrongCard = QString::fromUtf8("Pokušaj dekripcije neodgovarajućom karticom.");
const QString kDes3Data = QString::fromUtf8("Greška prilikom dekriptiranja. [Error Code=1025]");

class Decrypt : public EncTokenTest {
 protected:
  std::vector<TokenSpec> tokenSpecs() const override { return {{"Alpha", 1024, "0x1001"}, {"Beta", 2048, "0x2002"}}; }

  void SetUp() override {
    EncTokenTest::SetUp();
    if (HasFatalFailure()) return;
    signer_ = MakeTestIdentity();
    sgnText_ = MakeTestContainer({&signer_}, 5000).text();
    sgn_ = dir("work") + "report_pdf.sgn";
    WriteAll(sgn_.toStdString(), sgnText_);
    out_ = dir("out");
  }

  // The program's encryption of the signed container for token i's certificate.
  QString encryptFor(size_t i, const std::string& folder = "work") {
    auto cert = LoadCert(certDer(i));
    const QString sgn = dir(folder) + "report_pdf.sgn";
    if (!QFileInfo::exists(sgn)) WriteAll(sgn.toStdString(), sgnText_);
    QString out;
    EXPECT_EQ(EncryptForRecipient("", dir("install"), sgn, out, true, 0, *cert), kEncryptOk)
        << ui_.lastText().toStdString();
    return out;
  }
  // A container made by the test for token i's key.
  QString place(const std::string& name, const std::string& text) {
    const QString p = dir("work") + QString::fromStdString(name);
    WriteAll(p.toStdString(), text);
    return p;
  }
  EVP_PKEY* publicKey(size_t i) {
    keys_.push_back(CertPublicKey(certDer(i)));
    return keys_.back().get();
  }
  void decrypt(const QString& enc, size_t card, const TRecipientList* list = nullptr, int mode = 0) {
    TRecipientList own;
    if (!list) {
      EXPECT_TRUE(ParseRecipientsFile(enc, own));
      list = &own;
    }
    LastDecryptedFile.clear();
    DecryptEncodedFile(session(card), dir("install"), enc, out_, cardSerial(card), mode, *list);
  }
  // Nothing came out: no success, nothing in the output folder.
  void expectNothing(const char* what) {
    SCOPED_TRACE(what);
    EXPECT_TRUE(LastDecryptedFile.isEmpty());
    EXPECT_TRUE(FilesIn(out_.toStdString()).empty());
    for (const auto& b : ui_.boxes) EXPECT_FALSE(b.text.startsWith(kMsgDecSuccess)) << b.text.toStdString();
  }
  void turnActivityLogOn() {
    ActivityLogStream = OpenActivityLogFile(dir("install"));
    ASSERT_TRUE(ActivityLogStream);
    ActivityLogOn = true;
  }
  std::string activityLog() { return ReadText(ActivityLogFileName(dir("install")).toStdString()); }
  // A ZIP made by Python's zipfile: entries name -> text.
  Bytes pythonZip(const std::vector<std::pair<std::string, std::string>>& entries, size_t commentBytes = 0) {
    const std::string path = tmp_.file("p.zip");
    std::string script = "import zipfile\nz=zipfile.ZipFile('" + path + "','w')\n";
    for (const auto& e : entries) script += "z.writestr('" + e.first + "', " + e.second + ")\n";
    if (commentBytes) script += "z.comment=b'c'*" + std::to_string(commentBytes) + "\n";
    script += "z.close()\n";
    WriteAll(tmp_.file("mk.py"), script);
    std::string out;
    EXPECT_EQ(::Run("python3 '" + tmp_.file("mk.py") + "' 2>&1", &out), 0) << out;
    return ReadAll(path);
  }

  TestIdentity signer_;
  std::string sgnText_;
  QString sgn_, out_;
  std::vector<std::shared_ptr<EVP_PKEY>> keys_;
};

}  // namespace

TEST_F(Decrypt, RoundTripForTheOwnCertificateAndASecondRecipient) {
  // Alpha signs a document on the card; the signed container is what travels.
  const QString doc = dir("a") + "report.pdf";
  WriteAll(doc.toStdString(), std::string(20000, 'r') + "%%EOF");
  CurrentSession = session(0);
  ASSERT_EQ(SignFile(session(0), dir("install"), doc, true, LoadCert(certDer(0))->SerialInt, 0, false), sfrOk)
      << ui_.lastText().toStdString();
  CurrentSession = 0;
  TSignerList signers;
  ASSERT_TRUE(VerifySignedFile(dir("a") + "report_pdf.sgn", signers));
  ASSERT_EQ(signers.size(), 1u);
  EXPECT_EQ(signers[0].SignatureOk, 1);
  sgnText_ = ReadText((dir("a") + "report_pdf.sgn").toStdString());
  ui_.boxes.clear();

  // Encrypted for the own certificate and for a second recipient.
  const QString forAlpha = encryptFor(0, "a");
  const QString forBeta = encryptFor(1, "b");
  turnActivityLogOn();

  decrypt(forAlpha, 0);
  const QString target = out_ + "report_pdf.sgn";
  EXPECT_EQ(LastDecryptedFile, target);
  EXPECT_EQ(ui_.lastText(), QString::fromUtf8("Datoteka uspješno dekriptirana [") + target + "].");
  EXPECT_EQ(ui_.boxes.back().kind, MsgKind::Information);
  EXPECT_EQ(ReadText(target.toStdString()), sgnText_);
  EXPECT_EQ(FilesIn(out_.toStdString()), std::vector<std::string>{"report_pdf.sgn"});
  signers.clear();
  ASSERT_TRUE(VerifySignedFile(target, signers));
  EXPECT_EQ(signers.at(0).SignatureOk, 1);

  // Alpha's card is no recipient of Beta's container.
  QFile::remove(target);
  ui_.boxes.clear();
  decrypt(forBeta, 0);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MsgKind::Warning);
  EXPECT_EQ(ui_.boxes[0].text, kWrongCard);
  expectNothing("wrong card");

  ui_.boxes.clear();
  decrypt(forBeta, 1);
  EXPECT_EQ(LastDecryptedFile, target);
  EXPECT_EQ(ReadText(target.toStdString()), sgnText_);

  // The steps are in the activity log, the session key is not.
  const std::string log = activityLog();
  const Parts p = Split(ReadText(forAlpha.toStdString()));
  const Bytes key = RsaUnwrap(LoadPrivateKey(token(0).keyPem()).get(), p.wrappedKeys.at(0));
  ASSERT_EQ(key.size(), 24u);
  EXPECT_EQ(log.find(TestHexUpper(key)), std::string::npos);
  for (const std::string& line :
       {"[RaspakirajFile] " + forAlpha.toStdString(), std::string("[RaspakirajFile] Završeno parsiranje datoteke"),
        std::string("[RaspakirajFile] Broj privatnih klučeva na kartici: 1"),
        // The hex serial 1001 has only digits: it reads back as the number 1001.
        std::string("[RaspakirajFile] Certifikat primatelja u datoteci: 3E9; Certifikat na kartici: 1001"),
        "[SessionKey] " + TestHexUpper(p.wrappedKeys.at(0)), std::string("[Provjera] Privatni ključ 1"),
        std::string("[C_GetAttributeValue] CKA_MODULUS, PrivateKeySize=128"),
        std::string("[C_DecryptInit] CKM_RSA_PKCS"), std::string("[C_Decrypt] AllocMem:"),
        std::string("[DekriptSessionKey] Dužina ključa:24"), "[DES3] Za dekripciju:" + std::to_string(p.cipher.size()),
        std::string("[DES3Decrypt] Dužina padinga:"),
        // Beta's container tried on Alpha's card: the wrapped key is as long as
        // Beta's modulus, not Alpha's.
        std::string(" PK-1 [Error Code=65, CKR_ENCRYPTED_DATA_LEN_RANGE]"),
        std::string("[C_GetAttributeValue] CKA_MODULUS, PrivateKeySize=256")})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

// An independent reader: the OpenSSL command line with the recipient's private key.
TEST_F(Decrypt, OpensslCommandLineOpensTheContainer) {
  const QString enc = encryptFor(1);
  const Parts p = Split(ReadText(enc.toStdString()));
  const std::string d = tmp_.path();
  WriteAll(d + "/wk.bin", p.wrappedKeys.at(0).data(), p.wrappedKeys.at(0).size());
  WriteAll(d + "/c.bin", p.cipher.data(), p.cipher.size());
  std::string out;
  ASSERT_EQ(::Run("openssl pkeyutl -decrypt -inkey '" + token(1).keyPem() + "' -pkeyopt rsa_padding_mode:pkcs1 -in '" +
                      d + "/wk.bin' -out '" + d + "/k.bin' 2>&1",
                  &out),
            0)
      << out;
  const Bytes key = ReadAll(d + "/k.bin");
  ASSERT_EQ(key.size(), 24u);
  ASSERT_EQ(::Run("openssl enc -d -des-ede3 -nopad -K " + TestHexUpper(key) + " -in '" + d + "/c.bin' -out '" + d +
                      "/p.bin' 2>&1",
                  &out),
            0)
      << out;
  Bytes plain = ReadAll(d + "/p.bin");
  ASSERT_FALSE(plain.empty());
  const uint8_t pad = plain.back();
  ASSERT_GE(pad, 1);
  ASSERT_LE(pad, 8);
  for (size_t i = plain.size() - pad; i < plain.size(); ++i) ASSERT_EQ(plain[i], pad);
  plain.resize(plain.size() - pad);
  WriteAll(d + "/p.zip", plain.data(), plain.size());
  ASSERT_EQ(::Run("unzip -t '" + d + "/p.zip' 2>&1", &out), 0) << out;
  ASSERT_EQ(::Run("unzip -Z1 '" + d + "/p.zip' 2>&1", &out), 0) << out;
  EXPECT_EQ(out, "report_pdf.sgn\n");
  ASSERT_EQ(::Run("unzip -p '" + d + "/p.zip' report_pdf.sgn", &out), 0);
  EXPECT_EQ(out, sgnText_);
}

// Containers made by the test: each one wrong in one way, none gives a file.
TEST_F(Decrypt, HostileContainersAreReportedAndWriteNothing) {
  const Bytes key = TestRandomBytes(24, 5);
  const Bytes zip = pythonZip({{"report_pdf.sgn", "b'x'*3000"}});
  EVP_PKEY* alpha = publicKey(0);
  struct Case {
    const char* what;
    std::string text;
    QString box;  // empty: any error box
  };
  // The payload enciphered under another key than the one wrapped.
  const std::string otherKey = MakeContainerFromCipher(Des3Ecb(TestRandomBytes(24, 6), Pad8(zip), true), key, {alpha});
  // Padding that is wrong in each way: too long, zero, and unequal bytes.
  Bytes padNine = Pad8(zip);
  padNine.back() = 9;
  Bytes padZero = Pad8(zip);
  padZero.back() = 0;
  Bytes padUneven = Pad8(zip);
  if (padUneven.back() < 2) padUneven.insert(padUneven.end(), 8, 8);
  padUneven[padUneven.size() - 2] ^= 0x10;
  Spec noKey;
  noKey.payload = TestBase64Lines(Des3Ecb(key, Pad8(zip), true));
  const std::string good = MakeContainer(zip, key, {alpha});
  // A wrapped key the card opens, of another length than a session key's.
  auto keyOfLength = [&](size_t n) {
    Spec s;
    s.payload = TestBase64Lines(Des3Ecb(key, Pad8(zip), true));
    Bytes k = key;
    k.resize(n, 0x5A);
    s.keysHex = {TestHexUpper(RsaWrap(alpha, k))};
    return s.text();
  };
  const Case cases[] = {
      {"session key of 16 bytes", keyOfLength(16), kWrongCard},
      {"session key of 32 bytes", keyOfLength(32), kWrongCard},
      {"wrong session key", otherKey, ""},
      {"pad length 9", MakeContainerFromCipher(Des3Ecb(key, padNine, true), key, {alpha}), kDes3Data},
      {"pad length 0", MakeContainerFromCipher(Des3Ecb(key, padZero, true), key, {alpha}), kDes3Data},
      {"pad bytes unequal", MakeContainerFromCipher(Des3Ecb(key, padUneven, true), key, {alpha}), kDes3Data},
      {"empty cipher text", MakeContainerFromCipher({}, key, {alpha}), kDes3Data},
      {"recipient without a key", noKey.text(), kDes3Data},
      {"truncated in the payload", good.substr(0, good.size() / 2), kDes3Data},
      {"truncated in the key", good.substr(0, good.size() - 40), kDes3Data},
      {"traversal entry", MakeContainer(pythonZip({{"../evil.sgn", "b'x'*100"}}), key, {alpha}), ""},
      {"folder in the entry", MakeContainer(pythonZip({{"sub/report_pdf.sgn", "b'x'*100"}}), key, {alpha}), ""},
      {"two entries",
       MakeContainer(pythonZip({{"report_pdf.sgn", "b'x'*100"}, {"second.sgn", "b'y'*100"}}), key, {alpha}), ""},
      {"no ZIP at all", MakeContainer(TestRandomBytes(3000), key, {alpha}), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ui_.boxes.clear();
    const QString enc = place("hostile.enc", c.text);
    TRecipientList list;
    ParseRecipientsFile(enc, list);
    decrypt(enc, 0, &list);
    ASSERT_FALSE(ui_.boxes.empty());
    // The ZIP component reports what it finds wrong with an archive itself.
    if (!c.box.isEmpty()) {
      EXPECT_EQ(ui_.lastText(), c.box);
    }
    expectNothing(c.what);
    EXPECT_FALSE(QFileInfo::exists(dir("") + "evil.sgn"));
    EXPECT_FALSE(QFileInfo::exists(dir("work") + "evil.sgn"));
  }
}

// A decryption started while an encryption packs finds the ZIP component busy: it
// fails with the busy code and leaves the running encryption whole.
TEST_F(Decrypt, NestedDecryptionLeavesARunningZipOperationAlone) {
  const QString enc = encryptFor(0);
  const QString big = place("big_pdf.sgn", std::string(300000, 'x'));
  bool ran = false;
  ui_.onProcess = [&] {
    if (ran || !dmCollector || !dmCollector->ZipArchiver1.IsBusy()) return;
    ran = true;
    decrypt(enc, 0);
  };
  auto cert = LoadCert(certDer(1));
  QString out;
  EXPECT_EQ(EncryptForRecipient("", dir("install"), big, out, true, 0, *cert), kEncryptOk);
  ui_.onProcess = nullptr;
  ASSERT_TRUE(ran);
  expectNothing("nested");
  EXPECT_EQ(ui_.boxes.back().text, QString::fromUtf8("Greška prilikom dekriptiranja. [Error Code=-255]"));
  // Afterwards the same container opens.
  decrypt(enc, 0);
  EXPECT_FALSE(LastDecryptedFile.isEmpty());
}

TEST_F(Decrypt, CipherTextThatIsNotAMultipleOf8) {
  const Bytes key = TestRandomBytes(24, 5);
  Bytes cipher = Des3Ecb(key, Pad8(TestRandomBytes(100)), true);
  cipher.resize(cipher.size() - 3);
  decrypt(place("odd.enc", MakeContainerFromCipher(cipher, key, {publicKey(0)})), 0);
  EXPECT_EQ(ui_.lastText(), kDes3Data);
  expectNothing("odd");
}

// A recipient entry whose key is missing or made for another key is the wrong card.
TEST_F(Decrypt, EntryWithoutASessionKeyIsTheWrongCard) {
  const QString enc = encryptFor(0);
  TRecipientList list;
  ASSERT_TRUE(ParseRecipientsFile(enc, list));
  list[0].SessionKey.clear();
  list[0].SessionKeyLength = 0;
  decrypt(enc, 0, &list);
  EXPECT_EQ(ui_.lastText(), kWrongCard);
  expectNothing("no key");
}

// Each card call that fails on the last key ends with its own text.
TEST_F(Decrypt, CardFailuresOnTheLastKey) {
  const QString enc = encryptFor(0);
  struct Case {
    const char* call;
    int nth;
    MsgKind kind;
    QString box, logText;
  };
  const Case cases[] = {
      {"C_GetAttributeValue", 1, MsgKind::Error,
       QString::fromUtf8("Greška kod dohvata vrijednosti tajnog ključa. [Error Code=48, CKR_DEVICE_ERROR]"),
       QString::fromUtf8("greška kod dohvata vrijednosti tajnog ključa. [Error Code=48, CKR_DEVICE_ERROR]")},
      {"C_DecryptInit", 1, MsgKind::Error,
       QString::fromUtf8("Greška pri inicijalizaciji dekripcije DES ključa. [Error Code=48, CKR_DEVICE_ERROR]"),
       QString::fromUtf8("greška pri inicijalizaciji dekripcije DES ključa. [Error Code=48, CKR_DEVICE_ERROR]")},
      {"C_Decrypt", 1, MsgKind::Error,
       QString::fromUtf8("Greška pri utvrđivanju dužine DES ključa. [Error Code=48, CKR_DEVICE_ERROR]"),
       QString::fromUtf8("greška pri utvrđivanju dužine DES ključa. [Error Code=48, CKR_DEVICE_ERROR]")},
      {"C_Decrypt", 2, MsgKind::Warning, kWrongCard, kWrongCard},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.nth));
    ui_.boxes.clear();
    ASSERT_EQ(m_.ctl.acpkcs_ctl_fail(c.call, CKR_DEVICE_ERROR, c.nth), 0);
    decrypt(enc, 0);
    m_.ctl.acpkcs_ctl_clear_failures();
    reopen(0);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].kind, c.kind);
    EXPECT_EQ(ui_.boxes[0].text, c.box);
    expectNothing(c.call);

    // The logging mode writes the program log in place of the box.
    ui_.boxes.clear();
    ASSERT_EQ(m_.ctl.acpkcs_ctl_fail(c.call, CKR_DEVICE_ERROR, c.nth), 0);
    decrypt(enc, 0, nullptr, kReportProgramLog);
    m_.ctl.acpkcs_ctl_clear_failures();
    reopen(0);
    EXPECT_TRUE(ui_.boxes.empty());
    const std::string log = ReadText(ProgramLogFileName(dir("install")).toStdString());
    EXPECT_NE(log.find(c.logText.toStdString() + "\r\n"), std::string::npos) << log;
  }
  // The same session works again afterwards.
  ui_.boxes.clear();
  decrypt(enc, 0);
  EXPECT_EQ(LastDecryptedFile, out_ + "report_pdf.sgn");
}

TEST_F(Decrypt, NoPrivateKeyVisibleWithoutLogin) {
  const QString enc = encryptFor(0);
  ASSERT_EQ(cryptoki::C_Logout(session(0)), CKR_OK);
  turnActivityLogOn();
  decrypt(enc, 0);
  EXPECT_EQ(ui_.lastText(),
            QString::fromUtf8("Greška prilikom dohvata privatnog ključa s kartice. [Broj privatnih ključeva = 0]"));
  expectNothing("no key");
  EXPECT_NE(activityLog().find("[Provjera] Greška prilikom dohvata privatnog ključa s kartice. [Broj privatnih "
                               "ključeva = 0\r\n"),
            std::string::npos);
}

TEST_F(Decrypt, ExistingTargetIsNeverOverwritten) {
  const QString enc = encryptFor(0);
  const QString target = out_ + "report_pdf.sgn";
  WriteAll(target.toStdString(), "mine");
  decrypt(enc, 0);
  EXPECT_EQ(ui_.lastText(),
            QString::fromUtf8("Na direktoriju gdje treba napraviti dekriptiranje već postoji datoteka ovog imena [") +
                target + "].");
  EXPECT_TRUE(LastDecryptedFile.isEmpty());
  EXPECT_EQ(ReadText(target.toStdString()), "mine");
  EXPECT_EQ(FilesIn(out_.toStdString()), std::vector<std::string>{"report_pdf.sgn"});
}

// A decimal serial is read back as the hex text of its value, which here is the
// card's serial.
TEST_F(Decrypt, DecimalSerialFallsBackToTheFirstRecipient) {
  Settings->ShowSNCertAsDecimal = true;
  const QString enc = encryptFor(0);
  EXPECT_EQ(Split(ReadText(enc.toStdString())).serial, "4097");
  turnActivityLogOn();
  decrypt(enc, 0);
  EXPECT_EQ(LastDecryptedFile, out_ + "report_pdf.sgn");
  EXPECT_NE(activityLog().find("Certifikat primatelja u datoteci: 1001; Certifikat na kartici: 1001"),
            std::string::npos);
}

// Payloads that end exactly at and just past a deciphering block.
TEST_F(Decrypt, PlainTextsAtTheBlockBoundary) {
  const Bytes key = TestRandomBytes(24, 11);
  // Python stores entries as they are: the archive is the content plus a fixed frame.
  const size_t frame = pythonZip({{"report_pdf.sgn", "b'q'*1000"}}).size() - 1000;
  for (size_t cipherSize : {size_t(65536), size_t(65544), size_t(131072)}) {
    SCOPED_TRACE(cipherSize);
    const size_t content = cipherSize - 8 - frame;
    const Bytes zip = pythonZip({{"report_pdf.sgn", "b'q'*" + std::to_string(content)}});
    ASSERT_EQ(zip.size(), cipherSize - 8);
    QFile::remove(out_ + "report_pdf.sgn");
    decrypt(place("edge.enc", MakeContainer(zip, key, {publicKey(0)})), 0);
    EXPECT_EQ(LastDecryptedFile, out_ + "report_pdf.sgn") << ui_.lastText().toStdString();
    EXPECT_EQ(ReadText((out_ + "report_pdf.sgn").toStdString()), std::string(content, 'q'));
  }
}

// A card with two keys, the container for the second: the first fails and is
// logged, the second opens it.
class DecryptTwoKeys : public Decrypt {
 protected:
  std::vector<TokenSpec> tokenSpecs() const override { return {{"Alpha", 1024, "0x1001"}}; }
  void beforeSessions() override {
    extraKey_ = tmp_.file("extra.key");
    std::string out;
    ASSERT_EQ(::Run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out '" + extraKey_ + "' 2>&1", &out),
              0)
        << out;
    importPrivateKey(0, extraKey_, "02");
  }
  std::string extraKey_;
};

TEST_F(DecryptTwoKeys, SecondKeyOpensWhenTheFirstFails) {
  CK_OBJECT_HANDLE handles[4];
  ASSERT_EQ(FindPrivateKeys(session(0), handles, 4, false), 2);
  // Which of the two keys the card lists second.
  Bytes modulus(128);
  CK_ATTRIBUTE a = {CKA_MODULUS, modulus.data(), CK_ULONG(modulus.size())};
  ASSERT_EQ(cryptoki::C_GetAttributeValue(session(0), handles[1], &a, 1), CKR_OK);
  auto extra = LoadPrivateKey(extraKey_);
  auto own = LoadPrivateKey(token(0).keyPem());
  BIGNUM* n = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(extra.get(), "n", &n), 1);
  Bytes extraModulus(128);
  BN_bn2binpad(n, extraModulus.data(), 128);
  BN_free(n);
  EVP_PKEY* second = modulus == extraModulus ? extra.get() : own.get();

  turnActivityLogOn();
  const Bytes key = TestRandomBytes(24, 3);
  decrypt(place("two.enc", MakeContainer(pythonZip({{"report_pdf.sgn", "b'z'*500"}}), key, {second})), 0);
  EXPECT_EQ(LastDecryptedFile, out_ + "report_pdf.sgn") << ui_.lastText().toStdString();
  const std::string log = activityLog();
  EXPECT_NE(log.find("[Provjera] Privatni ključ 2"), std::string::npos) << log;
  EXPECT_NE(log.find(" PK-1 [Error Code="), std::string::npos) << log;
  EXPECT_EQ(log.find(" PK-2 [Error Code="), std::string::npos) << log;
}

class DecryptLargeKey : public Decrypt {
 protected:
  std::vector<TokenSpec> tokenSpecs() const override { return {{"Big", 4096, "0x00C0FFEE"}}; }
};

// The serial 00 C0 FF EE written in decimal comes back as "C0FFEE", which is not
// the card's "00C0FFEE": the first (only) recipient is tried, and opens.
TEST_F(DecryptLargeKey, RecipientKeyOf4096BitsAndADecimalSerialWithALeadingZero) {
  Settings->ShowSNCertAsDecimal = true;
  const QString enc = encryptFor(0);
  const Parts p = Split(ReadText(enc.toStdString()));
  EXPECT_EQ(p.wrappedKeys.at(0).size(), 512u);
  EXPECT_EQ(p.serial, "12648430");
  turnActivityLogOn();
  decrypt(enc, 0);
  EXPECT_EQ(LastDecryptedFile, out_ + "report_pdf.sgn") << ui_.lastText().toStdString();
  EXPECT_EQ(ReadText((out_ + "report_pdf.sgn").toStdString()), sgnText_);
  EXPECT_NE(activityLog().find("Certifikat primatelja u datoteci: C0FFEE; Certifikat na kartici: 00C0FFEE"),
            std::string::npos);
  EXPECT_NE(activityLog().find("PrivateKeySize=512"), std::string::npos);
}

// Recipients whose hex serials are made of digits only: each is read as a decimal
// number, so none of them equals a card's serial text. Each card still finds the
// entry wrapped for it among those as long as its key's modulus.
class DecryptSeveralRecipients : public Decrypt {
 protected:
  std::vector<TokenSpec> tokenSpecs() const override {
    return {{"Alpha", 1024, "0x1001"}, {"Beta", 1024, "0x2002"}, {"Gamma", 2048, "0x3003"}, {"Delta", 1024, "0x4004"}};
  }
};

TEST_F(DecryptSeveralRecipients, EachCardOpensItsOwnEntryBehindAllDigitHexSerials) {
  const Bytes zip = pythonZip({{"report_pdf.sgn", "b'several'*100"}});
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += "several";
  const Bytes key = TestRandomBytes(24, 21);
  const QString enc = place(
      "several.enc", MakeContainer(zip, key, {publicKey(0), publicKey(1), publicKey(2)}, {"1001", "2002", "3003"}));
  TRecipientList list;
  ASSERT_TRUE(ParseRecipientsFile(enc, list));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].SerialText, "3E9");
  EXPECT_EQ(list[1].SerialText, "7D2");
  EXPECT_EQ(list[2].SerialText, "BBB");
  turnActivityLogOn();

  // The second recipient first, then the first, then the one with a longer key.
  for (size_t card : {size_t(1), size_t(0), size_t(2)}) {
    SCOPED_TRACE(card);
    QFile::remove(out_ + "report_pdf.sgn");
    ui_.boxes.clear();
    decrypt(enc, card, &list);
    EXPECT_EQ(LastDecryptedFile, out_ + "report_pdf.sgn") << ui_.lastText().toStdString();
    EXPECT_EQ(ReadText((out_ + "report_pdf.sgn").toStdString()), expected);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].kind, MsgKind::Information);
  }

  // A card that is no recipient: every entry of its key's length is tried, and
  // then it is the wrong card.
  QFile::remove(out_ + "report_pdf.sgn");
  ui_.boxes.clear();
  decrypt(enc, 3, &list);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MsgKind::Warning);
  EXPECT_EQ(ui_.boxes[0].text, kWrongCard);
  expectNothing("no recipient");

  // The wrapped keys that were tried are logged; the plain session key never is.
  const std::string log = activityLog();
  EXPECT_EQ(log.find(TestHexUpper(key)), std::string::npos);
  const Parts p = Split(ReadText(enc.toStdString()));
  ASSERT_EQ(p.wrappedKeys.size(), 3u);
  for (const Bytes& wrapped : p.wrappedKeys)
    EXPECT_NE(log.find("[SessionKey] " + TestHexUpper(wrapped)), std::string::npos) << log;
  EXPECT_NE(log.find("Certifikat primatelja u datoteci: 7D2; Certifikat na kartici: 2002"), std::string::npos);
}

namespace {}  // namespace

// A disk that refuses the decrypted container, while it is extracted or while it
// is copied onto another file system, is named with the system's own text, not
// as a decryption error; nothing is left in the output folder.
TEST_F(Decrypt, ADiskThatRefusesTheSignedContainerIsNamedAsSuch) {
  // Large, and small once packed: only the extracted file meets the limit.
  const QString sgn = dir("big") + "big_pdf.sgn";
  WriteAll(sgn.toStdString(), std::string(300000, 'A'));
  auto cert = LoadCert(certDer(0));
  QString enc;
  ASSERT_EQ(EncryptForRecipient("", dir("install"), sgn, enc, true, 0, *cert), kEncryptOk);
  ASSERT_LT(QFileInfo(enc).size(), 50000);

  std::vector<QString> folders = {out_};
  // Onto another file system than the work folder's, where the file is copied in.
  char shm[] = "/dev/shm/tarvi-decrypt-XXXXXX";
  struct stat a {
  }, b{};
  if (stat("/dev/shm", &a) == 0 && stat(QFile::encodeName(GetTempDirectory()).constData(), &b) == 0 &&
      a.st_dev != b.st_dev && mkdtemp(shm))
    folders.push_back(QString::fromLocal8Bit(shm) + "/");
  for (const QString& folder : folders) {
    SCOPED_TRACE(folder.toStdString());
    TRecipientList list;
    ASSERT_TRUE(ParseRecipientsFile(enc, list));
    ui_.boxes.clear();
    LastDecryptedFile.clear();
    {
      FileSizeLimit limit(100000);
      DecryptEncodedFile(session(0), dir("install"), enc, folder, cardSerial(0), 0, list);
    }
    EXPECT_TRUE(LastDecryptedFile.isEmpty());
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].kind, MsgKind::Error);
    EXPECT_EQ(ui_.boxes[0].text, CannotCreateText(folder + "big_pdf.sgn", QStringLiteral("Datoteka je prevelika")));
    EXPECT_TRUE(FilesIn(folder.toStdString()).empty());
    // With room, the same container comes out whole.
    ui_.boxes.clear();
    DecryptEncodedFile(session(0), dir("install"), enc, folder, cardSerial(0), 0, list);
    EXPECT_EQ(LastDecryptedFile, folder + "big_pdf.sgn");
    EXPECT_EQ(ReadText((folder + "big_pdf.sgn").toStdString()), std::string(300000, 'A'));
    EXPECT_EQ(FilesIn(folder.toStdString()), std::vector<std::string>{"big_pdf.sgn"});
  }
  if (folders.size() > 1) QDir(folders[1]).removeRecursively();
}
