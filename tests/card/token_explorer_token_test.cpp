// The token explorer over our middleware module and SoftHSM2: its pages after the
// card component opens a session, mechanism lists longer than any fixed array, the
// object tree with certificates, keys and data objects, and every failure of the
// fill. The explorer only reads: the session objects here are the test's own.
#include <QGroupBox>
#include <QHeaderView>
#include <QTabWidget>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "acg_fixture.h"
#include "card/cryptoki.h"
#include "card/token_explorer.h"
#include "support/temp_dir.h"

using namespace acgfx;

namespace {

const char kLongLabel[] = "Tarvi kartica s punim nazivom 32";  // exactly 32 bytes
static_assert(sizeof kLongLabel == 33);

QString Pad(const std::string& field) {
  std::string s = field;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return QString::fromStdString(s);
}
template <size_t N>
QString Trimmed(const CK_UTF8CHAR (&f)[N]) {
  return Pad(std::string(reinterpret_cast<const char*>(f), N));
}

// The rows of a list view: "caption=value" (one column: the caption).
QStringList Rows(const QTreeWidget* list) {
  QStringList rows;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* it = list->topLevelItem(i);
    rows << (list->columnCount() > 1 ? it->text(0) + "=" + it->text(1) : it->text(0));
  }
  return rows;
}
QString Value(const QTreeWidget* list, const QString& caption) {
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (list->topLevelItem(i)->text(0) == caption) return list->topLevelItem(i)->text(1);
  return QStringLiteral("<no row>");
}
QStringList Headers(const QTreeWidget* list) {
  QStringList h;
  for (int c = 0; c < list->columnCount(); ++c) h << list->headerItem()->text(c);
  return h;
}

// The object tree as lines, children indented by two blanks.
void Walk(const QTreeWidgetItem* it, int depth, QStringList& out) {
  out << QString(depth * 2, ' ') + it->text(0);
  for (int i = 0; i < it->childCount(); ++i) Walk(it->child(i), depth + 1, out);
}
QStringList Tree(const QTreeWidget* tree) {
  QStringList out;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) Walk(tree->topLevelItem(i), 0, out);
  return out;
}

const QStringList kTokenCaptions = {"Naziv kartice",
                                    "ID proizvođača",
                                    "Model",
                                    "Zastavice",
                                    "Serijski broj",
                                    "Maksimalni broj sesija",
                                    "Trenutni broj sesija",
                                    "Maksimalni broj RW sesija",
                                    "Trenutni broj RW sesija",
                                    "Maksimalna duljina PINa",
                                    "Minimalna duljina PINa",
                                    "Ukupna javna memorija",
                                    "Ukupna slobodna javna memorija",
                                    "Ukupna privatna memorija",
                                    "Ukupna slobodna privatna memorija",
                                    "Verzija hardwarea",
                                    "Verzija firmwarea",
                                    "UTC vrijeme"};

class TokenExplorer : public CardTest {
 protected:
  static void SetUpTestSuite() {
    MakeTokens({{"Alpha", "0x1001"}, {kLongLabel, "0x1002"}});
    // A token with no objects at all.
    ASSERT_EQ(::Run("softhsm2-util --init-token --free --label Empty --so-pin 12345678 --pin 1234 >/dev/null"), 0);
  }
  static void TearDownTestSuite() { DropTokens(); }

  // Loaded (see CardTest); no session yet.
  TACGComponent& Loaded() {
    TACGComponent& c = CardTest::Loaded();
    EXPECT_TRUE(c.LibraryInitialized);
    return c;
  }
  int ReaderOf(const TACGComponent& c, const std::string& label) {
    const CK_SLOT_ID slot = module_->slotOf(label);
    for (int i = 0; i < c.ReaderCount; ++i)
      if (c.SlotList[i] == slot) return i;
    ADD_FAILURE() << "no reader for " << label;
    return 0;
  }
  TACGComponent& Opened(const std::string& label) {
    TACGComponent& c = Loaded();
    c.SetReaderIndex(ReaderOf(c, label));
    c.SetConnected(true);
    EXPECT_TRUE(c.Connected()) << events_.Joined().toStdString();
    return c;
  }

  // The classes of the objects the session sees, in the module's order, without repeats.
  static QStringList ClassOrder(CK_SESSION_HANDLE s) {
    QStringList order;
    EXPECT_EQ(cryptoki::C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE h[100];
    CK_ULONG n = 0;
    EXPECT_EQ(cryptoki::C_FindObjects(s, h, 100, &n), CKR_OK);
    cryptoki::C_FindObjectsFinal(s);
    const char* names[] = {"Data Object", "Certificate Object", "Public Key Object", "Private Key Object",
                           "Secret Object"};
    for (CK_ULONG i = 0; i < n; ++i) {
      CK_OBJECT_CLASS cls = 0;
      CK_ATTRIBUTE a{CKA_CLASS, &cls, sizeof cls};
      EXPECT_EQ(cryptoki::C_GetAttributeValue(s, h[i], &a, 1), CKR_OK);
      const QString name = cls < 5 ? names[cls] : "?";
      if (!order.contains(name)) order << name;
    }
    return order;
  }
  QStringList BoxTexts() const {
    QStringList t;
    for (const auto& b : ui_->boxes) {
      EXPECT_EQ(b.kind, MsgKind::Error) << b.text.toStdString();
      t << b.text;
    }
    return t;
  }
};

TEST_F(TokenExplorer, PagesDescribeTheSlotAfterTheComponentOpensASession) {
  TACGComponent& c = Opened("Alpha");
  ASSERT_TRUE(c.CardAppDlg);
  TCardAppDlg& d = *c.CardAppDlg;
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  EXPECT_FALSE(d.isVisible());  // nothing shows it
  EXPECT_FALSE(ui_->waitCursor());
  EXPECT_EQ(d.windowTitle(), QStringLiteral("Informacije o kartici ..."));
  ASSERT_EQ(d.PageControl->count(), 5);
  QStringList tabs;
  for (int i = 0; i < 5; ++i) tabs << d.PageControl->tabText(i);
  EXPECT_EQ(tabs, (QStringList{"Opće informacije", "Čitač", "Kartica", "Mehanizmi", "Objekti na kartici"}));
  EXPECT_EQ(d.PageControl->currentIndex(), 4);
  EXPECT_EQ(d.Slot, c.CurrentSlotId);
  EXPECT_EQ(d.Session, c.SessionHandle);

  CK_FUNCTION_LIST* f = module_->f;
  CK_INFO info;
  ASSERT_EQ(f->C_GetInfo(&info), CKR_OK);
  EXPECT_EQ(Headers(d.GeneralList), (QStringList{"Atributi", "Vrijednosti"}));
  EXPECT_EQ(Rows(d.GeneralList),
            (QStringList{
                "ID proizvođača=" + Trimmed(info.manufacturerID),
                QString("Verzija Cryptokija=%1.%2").arg(info.cryptokiVersion.major).arg(info.cryptokiVersion.minor),
                "Naziv biblioteke funkcija=" + Trimmed(info.libraryDescription), "Verzija biblioteke funkcija=2.0"}));

  const CK_SLOT_ID slot = module_->slotOf("Alpha");
  CK_SLOT_INFO si;
  ASSERT_EQ(f->C_GetSlotInfo(slot, &si), CKR_OK);
  EXPECT_EQ(
      Rows(d.ReaderList),
      (QStringList{"ID čitača=" + QString::number(slot), "Naziv čitača=" + Trimmed(si.slotDescription),
                   "ID proizvođača=" + Trimmed(si.manufacturerID),
                   QString("Verzija hardwarea=%1.%2").arg(si.hardwareVersion.major).arg(si.hardwareVersion.minor),
                   QString("Verzija firmwarea=%1.%2").arg(si.firmwareVersion.major).arg(si.firmwareVersion.minor)}));

  CK_TOKEN_INFO ti;
  ASSERT_EQ(f->C_GetTokenInfo(slot, &ti), CKR_OK);
  QStringList captions;
  for (int i = 0; i < d.TokenList->topLevelItemCount(); ++i) captions << d.TokenList->topLevelItem(i)->text(0);
  EXPECT_EQ(captions, kTokenCaptions);
  EXPECT_EQ(Value(d.TokenList, "Naziv kartice"), QStringLiteral("Alpha"));
  EXPECT_EQ(Value(d.TokenList, "Serijski broj"), Trimmed(ti.serialNumber));
  EXPECT_EQ(Value(d.TokenList, "Model"), Trimmed(ti.model));
  EXPECT_EQ(Value(d.TokenList, "Zastavice"), QString::number(ti.flags));
  EXPECT_EQ(Value(d.TokenList, "Minimalna duljina PINa"), QString::number(ti.ulMinPinLen));
  EXPECT_EQ(Value(d.TokenList, "Maksimalna duljina PINa"), QString::number(ti.ulMaxPinLen));
  // The counters as the module reports them, unsigned.
  EXPECT_EQ(Value(d.TokenList, "Ukupna javna memorija"), QString::number(ti.ulTotalPublicMemory));
  // The first row of each information page is the current one.
  for (QTreeWidget* list : {d.GeneralList, d.ReaderList, d.TokenList})
    EXPECT_EQ(list->currentItem(), list->topLevelItem(0)) << list->objectName().toStdString();

  CK_ULONG n = 0;
  ASSERT_EQ(f->C_GetMechanismList(slot, nullptr, &n), CKR_OK);
  std::vector<CK_MECHANISM_TYPE> mechs(n);
  ASSERT_EQ(f->C_GetMechanismList(slot, mechs.data(), &n), CKR_OK);
  EXPECT_EQ(d.MechanismBox->title(), "Ova kartica podržava " + QString::number(n) + " mehanizama");
  EXPECT_EQ(Headers(d.MechanismList), QStringList{"Podržani mehanizmi"});
  QStringList expected;
  for (CK_MECHANISM_TYPE m : mechs) expected << TCardAppDlg::MechanismCaption(m);
  EXPECT_EQ(Rows(d.MechanismList), expected);
  EXPECT_TRUE(expected.contains(QStringLiteral("RSA PKCS                    ")));

  // Not logged in: the certificate and the public key.
  EXPECT_EQ(d.ObjectBox->title(), QStringLiteral("Postoji 2 objekta na kartici."));
  EXPECT_EQ(d.ObjectCount, 2u);
  QStringList order = ClassOrder(c.SessionHandle);
  ASSERT_EQ(order.size(), 2);
  QStringList tree = Tree(d.ObjectTree);
  std::map<QString, QStringList> expectedGroups = {{"Certificate Object", {"  Alpha"}},
                                                   {"Public Key Object", {"  Alpha", "    RSA Key"}}};
  QStringList expectedTree;
  for (const QString& cls : order) expectedTree << cls << expectedGroups[cls];
  EXPECT_EQ(tree, expectedTree);
  QTreeWidgetItem* first = d.ObjectTree->topLevelItem(0);
  EXPECT_EQ(d.ObjectTree->currentItem(), first);
  EXPECT_TRUE(first->isExpanded());

  // The records: the certificate's on its object node, the key's on its key-type node.
  QTreeWidgetItem* certClass = d.ObjectTree->findItems("Certificate Object", Qt::MatchExactly).value(0);
  QTreeWidgetItem* keyClass = d.ObjectTree->findItems("Public Key Object", Qt::MatchExactly).value(0);
  ASSERT_TRUE(certClass && keyClass);
  EXPECT_EQ(TokenObjectNode::RecordOf(certClass), nullptr);
  const TokenObjectRecord* cert = TokenObjectNode::RecordOf(certClass->child(0));
  ASSERT_TRUE(cert);
  EXPECT_EQ(cert->ObjectClass, CKO_CERTIFICATE);
  EXPECT_EQ(cert->LabelText, QStringLiteral("Alpha"));
  EXPECT_EQ(cert->ValueText, QStringLiteral("Certificate Data"));
  EXPECT_NE(cert->Handle, 0u);
  EXPECT_EQ(TokenObjectNode::RecordOf(keyClass->child(0)), nullptr);
  const TokenObjectRecord* key = TokenObjectNode::RecordOf(keyClass->child(0)->child(0));
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ObjectClass, CKO_PUBLIC_KEY);
  EXPECT_EQ(key->KeyType, CKK_RSA);
  EXPECT_EQ(key->LabelText, QStringLiteral("Alpha"));
}

TEST_F(TokenExplorer, EveryOpeningRefillsThePagesForItsSlot) {
  TACGComponent& c = Opened("Alpha");
  TCardAppDlg& d = *c.CardAppDlg;
  const int mechanisms = d.MechanismList->topLevelItemCount();
  ASSERT_GT(mechanisms, 0);

  // Logged in, the private key shows as well: a second fill of the same session.
  ASSERT_TRUE(c.Login()) << events_.Joined().toStdString();
  d.FillPages(c.CurrentSlotId, c.SessionHandle);
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  EXPECT_EQ(d.ObjectBox->title(), QStringLiteral("Postoji 3 objekta na kartici."));
  const QStringList tree = Tree(d.ObjectTree);
  const int at = tree.indexOf("Private Key Object");
  ASSERT_GE(at, 0) << tree.join('|').toStdString();
  EXPECT_EQ(tree.mid(at, 3), (QStringList{"Private Key Object", "  Alpha", "    RSA Key"}));
  EXPECT_EQ(d.TokenList->topLevelItemCount(), kTokenCaptions.size());
  EXPECT_EQ(d.MechanismList->topLevelItemCount(), mechanisms);

  // Another card: its label fills all 32 characters, single blanks and all.
  c.SetConnected(false);
  c.SetReaderIndex(ReaderOf(c, kLongLabel));
  c.SetConnected(true);
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(Value(d.TokenList, "Naziv kartice"), QString::fromLatin1(kLongLabel));
  EXPECT_EQ(Value(d.ReaderList, "ID čitača"), QString::number(module_->slotOf(kLongLabel)));
  EXPECT_EQ(d.Session, c.SessionHandle);
  EXPECT_TRUE(Tree(d.ObjectTree).contains(QStringLiteral("  ") + kLongLabel));
  EXPECT_EQ(d.ObjectCount, 2u);
}

TEST_F(TokenExplorer, AModuleWithMoreThan132MechanismsIsListedWhole) {
  TACGComponent& c = Loaded();
  const CK_SLOT_ID slot = module_->slotOf("Alpha");
  CK_ULONG real = 0;
  ASSERT_EQ(module_->f->C_GetMechanismList(slot, nullptr, &real), CKR_OK);
  module_->ctl.acpkcs_ctl_extra_mechanisms(140);
  c.SetReaderIndex(ReaderOf(c, "Alpha"));
  c.SetConnected(true);
  ASSERT_TRUE(c.Connected());
  TCardAppDlg& d = *c.CardAppDlg;
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  const CK_ULONG total = real + 140;
  EXPECT_EQ(d.MechanismBox->title(), "Ova kartica podržava " + QString::number(total) + " mehanizama");
  ASSERT_EQ(d.MechanismList->topLevelItemCount(), static_cast<int>(total));
  // The module's vendor codes follow its own, in its order.
  const CK_MECHANISM_TYPE firstExtra = CKM_VENDOR_DEFINED + 0x7A000UL;
  EXPECT_EQ(d.MechanismList->topLevelItem(static_cast<int>(real))->text(0),
            "Nepodržani mehanizam: " + QString::number(firstExtra));
  EXPECT_EQ(d.MechanismList->topLevelItem(static_cast<int>(total - 1))->text(0),
            "Nepodržani mehanizam: " + QString::number(firstExtra + 139));
  // The fill goes on to the objects.
  EXPECT_EQ(d.ObjectCount, 2u);
  EXPECT_EQ(d.ObjectTree->topLevelItemCount(), 2);

  // A count no token has is not allocated for: the box names the limit, the fill ends.
  c.SetConnected(false);
  module_->ctl.acpkcs_ctl_extra_mechanisms(TCardAppDlg::kMaxMechanisms);
  c.SetConnected(true);
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(BoxTexts(), QStringList{"Broj pronađenih mehanizama je veći od maksimalno dozovoljenog (MAX = 4096)"});
  EXPECT_EQ(d.MechanismBox->title(),
            "Ova kartica podržava " + QString::number(real + TCardAppDlg::kMaxMechanisms) + " mehanizama");
  EXPECT_EQ(d.MechanismList->topLevelItemCount(), 0);
  EXPECT_EQ(d.ObjectTree->topLevelItemCount(), 0);
}

TEST_F(TokenExplorer, MechanismCaptions) {
  struct Case {
    CK_MECHANISM_TYPE code;
    QString caption;
  };
  const std::vector<Case> cases = {
      {0x0, "RSA PKCS key pair generation"},  // exactly 28
      {0x1, "RSA PKCS                    "},
      {0x9, "RSA PKCS OAEP               "},
      {0x100, "RC2 key generatrion         "},
      {0x136, "DES3 cbc PAD                "},
      {0x300, "CAST key genration          "},
      {0x315, "CAST CBC PAD                "},  // CAST3 shows the CAST captions
      {0x320, "CAST5 key generation        "},
      {0x350, "generic secret key generation"},   // longer: not cut
      {0x370, "SSL3 pre master key generation"},  // longer: not cut
      {0x3AB, "PBE SHA-1 RC4 40 CBC        "},
      {0x3C0, "PBA SHA-1 with SHA-1 HMAC   "},
      {0x401, "Key wrap SET OAEP           "},
      {0x100A, "SKIPJACK RELAYX             "},
      {0x1065, "JUNIPER WRAP                "},
      {0x1070, "FASTHASH                    "},
      {0x80000000, "Vendor defined              "},
      {0x1200, "Nepodržani mehanizam: 4608"},
      {0xA, "Nepodržani mehanizam: 10"},  // a later version's code
      {0x361, "Nepodržani mehanizam: 865"},
      {0x80000001, "Nepodržani mehanizam: 2147483649"},
  };
  for (const Case& k : cases) EXPECT_EQ(TCardAppDlg::MechanismCaption(k.code), k.caption) << std::hex << k.code;

  // 149 codes with a caption, 143 captions.
  std::set<QString> distinct;
  int named = 0;
  for (CK_MECHANISM_TYPE code = 0; code <= 0x1070; ++code) {
    const QString cap = TCardAppDlg::MechanismCaption(code);
    if (cap.startsWith("Nepodržani")) continue;
    ++named;
    distinct.insert(cap);
  }
  ++named;
  distinct.insert(TCardAppDlg::MechanismCaption(CKM_VENDOR_DEFINED));
  EXPECT_EQ(named, 149);
  EXPECT_EQ(distinct.size(), 143u);

  // A row per call, no data attached.
  TCardAppDlg d;
  d.AddMechanismRow(0x1200);
  d.AddMechanismRow(CKM_SHA_1);
  EXPECT_EQ(Rows(d.MechanismList), (QStringList{"Nepodržani mehanizam: 4608", "SHA-1                       "}));
  EXPECT_FALSE(d.MechanismList->topLevelItem(1)->data(0, Qt::UserRole).isValid());
}

TEST_F(TokenExplorer, CutAtDoubleBlank) {
  struct Case {
    std::string field;
    size_t width;
    QString shown;
  };
  const std::vector<Case> cases = {
      {"Alpha" + std::string(27, ' '), 32, "Alpha"},
      {kLongLabel, 32, kLongLabel},
      {"Tarvi kartica" + std::string(19, ' '), 32, "Tarvi kartica"},
      {"ab  cd" + std::string(26, ' '), 32, "ab"},
      {std::string(32, ' '), 32, ""},
      // The field's width bounds the text; a blank in the last place has no partner.
      {"0123456789ABCDE ", 16, "0123456789ABCDE "},
      {"0123456789ABCDEFxyz", 16, "0123456789ABCDEF"},
      // A module that pads with NULs.
      {std::string("SoftHSM\0\0\0\0\0", 12), 12, "SoftHSM"},
      {"Kartica \xC5\xA1" + std::string(6, ' '), 16, QString::fromUtf8("Kartica š")},
  };
  for (const Case& k : cases) EXPECT_EQ(CutAtDoubleBlank(k.field.data(), k.width), k.shown) << k.field;
}

TEST_F(TokenExplorer, FillFailures) {
  struct Case {
    const char* function;
    unsigned long nth;
    QStringList boxes;
    bool general, reader, token, mechanisms;
    int classNodes;  // -1: the full tree
  };
  const QString findInit = "Pogreška inicijalizacije traženja objekata na kartici ! (48)";
  const std::vector<Case> cases = {
      {"C_GetInfo",
       1,
       {"Pogreška prilikom dohvata informacija o Cryptoki biblioteci funkcija"},
       false,
       false,
       false,
       false,
       0},
      // Without the slot list the fill goes straight on to the objects.
      {"C_GetSlotList", 1, {}, true, false, false, false, -1},
      {"C_GetTokenInfo", 1, {}, true, true, false, true, -1},
      {"C_GetMechanismList", 1, {"Podržani mehanizmi se ne mogu dohvatiti !(rc = 48)"}, true, true, true, false, 0},
      {"C_GetMechanismList", 2, {"Podržani mehanizmi se ne mogu dohvatiti !(rc = 48)"}, true, true, true, false, 0},
      {"C_FindObjectsInit", 1, {findInit}, true, true, true, true, 0},
      {"C_FindObjects", 1, {"Pogreška traženja objekata na kartici ! [Error Code=48]"}, true, true, true, true, 0},
      {"C_FindObjectsFinal",
       1,
       {"Pogreška finalizacije traženja objekata na kartici ! (48)"},
       true,
       true,
       true,
       true,
       0},
      {"C_GetAttributeValue",
       1,
       {"Pogreška prilikom dohvata klase objekta sa kartice ! (48)"},
       true,
       true,
       true,
       true,
       0},
      // The class node is made before the label is read, and stays.
      {"C_GetAttributeValue", 2, {"Pogreška prilikom dohvata naziva objekta! (48)"}, true, true, true, true, 1},
  };
  TACGComponent& c = Opened("Alpha");
  TCardAppDlg& d = *c.CardAppDlg;
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.function) + " #" + std::to_string(k.nth));
    ui_->boxes.clear();
    module_->ctl.acpkcs_ctl_record(1);
    module_->ctl.acpkcs_ctl_fail(k.function, CKR_DEVICE_ERROR, k.nth);
    d.FillPages(c.CurrentSlotId, c.SessionHandle);
    EXPECT_EQ(BoxTexts(), k.boxes);
    EXPECT_FALSE(ui_->waitCursor());
    EXPECT_EQ(d.GeneralList->topLevelItemCount() > 0, k.general);
    EXPECT_EQ(d.ReaderList->topLevelItemCount() > 0, k.reader);
    EXPECT_EQ(d.TokenList->topLevelItemCount() > 0, k.token);
    EXPECT_EQ(d.MechanismList->topLevelItemCount() > 0, k.mechanisms);
    if (k.classNodes < 0) {
      EXPECT_EQ(d.ObjectTree->topLevelItemCount(), 2);
      EXPECT_NE(d.ObjectTree->currentItem(), nullptr);
    } else {
      EXPECT_EQ(d.ObjectTree->topLevelItemCount(), k.classNodes);
      EXPECT_EQ(d.ObjectTree->currentItem(), nullptr);  // no selection after a failure
    }
    std::vector<std::string> names = Names(Calls());
    if (std::string(k.function) == "C_FindObjects") {
      // The search is still ended, so the next one can start.
      ASSERT_GE(names.size(), 2u);
      EXPECT_EQ(names.back(), "C_FindObjectsFinal");
    }
    module_->ctl.acpkcs_ctl_clear_failures();
    // An injected failure of the search's end leaves the module's search running.
    cryptoki::C_FindObjectsFinal(c.SessionHandle);
  }
  // A slot whose information cannot be read: its page is filled from what is left.
  ui_->boxes.clear();
  module_->ctl.acpkcs_ctl_fail("C_GetSlotInfo", CKR_DEVICE_ERROR, 1);
  d.FillPages(c.CurrentSlotId, c.SessionHandle);
  EXPECT_TRUE(ui_->boxes.empty());
  EXPECT_EQ(Rows(d.ReaderList), (QStringList{"ID čitača=" + QString::number(c.CurrentSlotId), "Naziv čitača=",
                                             "ID proizvođača=", "Verzija hardwarea=0.0", "Verzija firmwarea=0.0"}));
  EXPECT_EQ(d.ObjectTree->topLevelItemCount(), 2);
}

// Session objects of the test's own, on a token that holds nothing else.
class ExplorerObjects : public TokenExplorer {
 protected:
  void SetUp() override {
    TokenExplorer::SetUp();
    Loaded();
    slot_ = module_->slotOf("Empty");
    ASSERT_EQ(cryptoki::C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s_), CKR_OK);
  }
  void TearDown() override {
    // Closing the session destroys its objects.
    if (s_) cryptoki::C_CloseSession(s_);
    TokenExplorer::TearDown();
  }
  CK_OBJECT_HANDLE Data(const std::string& label, const std::string& value) {
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_TOKEN, &no, sizeof no},
                        {CKA_PRIVATE, &no, sizeof no},
                        {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                        {CKA_VALUE, const_cast<char*>(value.data()), value.size()}};
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(cryptoki::C_CreateObject(s_, t, 5, &h), CKR_OK) << label;
    return h;
  }
  CK_OBJECT_HANDLE Secret(const std::string& label, CK_KEY_TYPE type, size_t length) {
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_BBOOL no = CK_FALSE;
    std::string value(length, '\x01');
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &type, sizeof type},
                        {CKA_TOKEN, &no, sizeof no},
                        {CKA_PRIVATE, &no, sizeof no},
                        {CKA_SENSITIVE, &no, sizeof no},
                        {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                        {CKA_VALUE, value.data(), value.size()}};
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(cryptoki::C_CreateObject(s_, t, 7, &h), CKR_OK) << label;
    return h;
  }
  CK_OBJECT_HANDLE Certificate(const std::string& label) {
    const std::vector<unsigned char> der = ReadAll(Token(0).certDer());
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL no = CK_FALSE;
    unsigned char subject[] = {0x30, 0x00};
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                        {CKA_TOKEN, &no, sizeof no},
                        {CKA_PRIVATE, &no, sizeof no},
                        {CKA_SUBJECT, subject, sizeof subject},
                        {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                        {CKA_VALUE, const_cast<unsigned char*>(der.data()), der.size()}};
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(cryptoki::C_CreateObject(s_, t, 7, &h), CKR_OK) << label;
    return h;
  }
  // The object node of a handle, found by its record (or, for nodes without one, nullptr).
  static const TokenObjectRecord* RecordFor(QTreeWidget* tree, CK_OBJECT_HANDLE h) {
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
      if (const TokenObjectRecord* r = TokenObjectNode::RecordOf(*it); r && r->Handle == h) return r;
    return nullptr;
  }

  TCardAppDlg d_;
  CK_SLOT_ID slot_ = 0;
  CK_SESSION_HANDLE s_ = 0;
};

TEST_F(ExplorerObjects, ACardWithoutObjects) {
  d_.FillPages(slot_, s_);
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  EXPECT_EQ(d_.ObjectBox->title(), kExplorerNoObjects);
  EXPECT_EQ(d_.ObjectTree->topLevelItemCount(), 0);
  EXPECT_EQ(d_.ObjectCount, 0u);
  EXPECT_EQ(Value(d_.TokenList, "Naziv kartice"), QStringLiteral("Empty"));
}

TEST_F(ExplorerObjects, LabelsValuesAndKeyTypes) {
  const std::string label52(52, 'L'), label53(53, 'M');
  const CK_OBJECT_HANDLE shortData = Data("kratki", "vrijednost");
  const CK_OBJECT_HANDLE fullData = Data(label52, std::string(52, 'v'));
  const CK_OBJECT_HANDLE longValue = Data("dugi", std::string(53, 'v'));
  const CK_OBJECT_HANDLE long1 = Data(label53, "a");
  const CK_OBJECT_HANDLE long2 = Data(label53 + "x", "b");
  // Labelled like a class: still an object, and certificates get a class node of their own.
  const CK_OBJECT_HANDLE lookalike = Data("Certificate Object", "c");
  const CK_OBJECT_HANDLE cert = Certificate("potpis");
  const CK_OBJECT_HANDLE des3 = Secret("tajni", CKK_DES3, 24);
  const CK_OBJECT_HANDLE generic = Secret("opci", CKK_GENERIC_SECRET, 16);

  d_.FillPages(slot_, s_);
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  EXPECT_EQ(d_.ObjectBox->title(), QStringLiteral("Postoji 9 objekta na kartici."));
  EXPECT_EQ(d_.LongLabelCount, 2);
  const QStringList tree = Tree(d_.ObjectTree);

  QStringList classes;
  for (int i = 0; i < d_.ObjectTree->topLevelItemCount(); ++i) classes << d_.ObjectTree->topLevelItem(i)->text(0);
  EXPECT_EQ(classes, ClassOrder(s_));
  EXPECT_EQ(std::set<QString>(classes.begin(), classes.end()),
            (std::set<QString>{"Data Object", "Certificate Object", "Secret Object"}));

  QTreeWidgetItem* dataClass = d_.ObjectTree->findItems("Data Object", Qt::MatchExactly).value(0);
  ASSERT_TRUE(dataClass);
  QStringList dataNodes;
  for (int i = 0; i < dataClass->childCount(); ++i) dataNodes << dataClass->child(i)->text(0);
  std::sort(dataNodes.begin(), dataNodes.end());
  QStringList expectedData = {QString::fromStdString(label52),
                              "< Label is too long to retrive 1 >",
                              "< Label is too long to retrive 2 >",
                              "Certificate Object",
                              "dugi",
                              "kratki"};
  std::sort(expectedData.begin(), expectedData.end());
  EXPECT_EQ(dataNodes, expectedData);
  EXPECT_TRUE(tree.contains("Certificate Object")) << tree.join('|').toStdString();
  EXPECT_EQ(d_.ObjectTree->findItems("Certificate Object", Qt::MatchExactly).size(), 1);

  const TokenObjectRecord* r = RecordFor(d_.ObjectTree, shortData);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->LabelText, QStringLiteral("kratki"));
  EXPECT_EQ(r->ValueText, QStringLiteral("vrijednost"));
  EXPECT_EQ(r->ObjectClass, CKO_DATA);
  r = RecordFor(d_.ObjectTree, fullData);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->LabelText, QString::fromStdString(label52));
  EXPECT_EQ(r->ValueText, QString(52, 'v'));
  // A value too long to read leaves the object without a record.
  EXPECT_EQ(RecordFor(d_.ObjectTree, longValue), nullptr);
  const TokenObjectRecord* l1 = RecordFor(d_.ObjectTree, long1);
  const TokenObjectRecord* l2 = RecordFor(d_.ObjectTree, long2);
  ASSERT_TRUE(l1 && l2);
  EXPECT_EQ(std::set<QString>({l1->LabelText, l2->LabelText}),
            (std::set<QString>{"< Labela je previše duga za dohvat 1 >", "< Labela je previše duga za dohvat 2 >"}));
  ASSERT_TRUE(RecordFor(d_.ObjectTree, lookalike));
  r = RecordFor(d_.ObjectTree, cert);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->ValueText, QStringLiteral("Certificate Data"));
  EXPECT_EQ(r->LabelText, QStringLiteral("potpis"));

  const int secret = tree.indexOf("Secret Object");
  ASSERT_GE(secret, 0);
  const QStringList secrets = tree.mid(secret + 1, 4);
  EXPECT_TRUE(secrets == (QStringList{"  tajni", "    DES3 Key", "  opci", "    Unhandled key type (16)"}) ||
              secrets == (QStringList{"  opci", "    Unhandled key type (16)", "  tajni", "    DES3 Key"}))
      << secrets.join('|').toStdString();
  r = RecordFor(d_.ObjectTree, des3);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->KeyType, CKK_DES3);
  EXPECT_EQ(r->ObjectClass, CKO_SECRET_KEY);
  r = RecordFor(d_.ObjectTree, generic);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->KeyType, CKK_GENERIC_SECRET);

  // Every fill starts the count of long labels again.
  d_.FillPages(slot_, s_);
  EXPECT_EQ(d_.LongLabelCount, 2);
}

TEST_F(ExplorerObjects, FiftyOneObjectsListFifty) {
  for (int i = 0; i < 51; ++i) Data("objekt " + std::to_string(i), "x");
  d_.FillPages(slot_, s_);
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  EXPECT_EQ(d_.ObjectBox->title(), QStringLiteral("Postoji 50 objekta na kartici."));
  EXPECT_EQ(d_.ObjectCount, 50u);
  ASSERT_EQ(d_.ObjectTree->topLevelItemCount(), 1);
  EXPECT_EQ(d_.ObjectTree->topLevelItem(0)->childCount(), 50);
}

TEST_F(ExplorerObjects, AttributeFailuresEndTheFill) {
  struct Case {
    const char* what;
    std::function<void()> make;
    unsigned long nth;  // of C_GetAttributeValue
    QString box;
  };
  const std::vector<Case> cases = {
      {"the label's length", [this] { Data(std::string(60, 'L'), "v"); }, 3,
       "Pogreška prilikom dohvata veličine naziva objekta! (48)"},
      {"a data value", [this] { Data("d", "v"); }, 3, "Pogreška prilikom dohvata podatkovnog objekta! (48)"},
      {"a data value's length", [this] { Data("d", std::string(60, 'v')); }, 4,
       "Pogreška prilikom dohvata veličine naziva podatkovnog objekta! (48)"},
      {"a key type", [this] { Secret("k", CKK_DES3, 24); }, 3, "Pogreška prilikom dohvata tipa ključa! (48)"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    cryptoki::C_CloseSession(s_);
    ASSERT_EQ(cryptoki::C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s_), CKR_OK);
    k.make();
    d_.Session = s_;
    ui_->boxes.clear();
    module_->ctl.acpkcs_ctl_fail("C_GetAttributeValue", CKR_DEVICE_ERROR, k.nth);
    EXPECT_EQ(d_.OtvoriSesiju(), CKR_DEVICE_ERROR);
    EXPECT_EQ(BoxTexts(), QStringList{k.box});
    EXPECT_FALSE(ui_->waitCursor());
    // What was added before the failing step stays.
    EXPECT_EQ(d_.ObjectTree->topLevelItemCount(), 1);
    module_->ctl.acpkcs_ctl_clear_failures();
  }
}

}  // namespace
