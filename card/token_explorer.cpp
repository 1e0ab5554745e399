#include "card/token_explorer.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "card/cryptoki.h"
#include "card/object_search.h"
#include "platform/codepage.h"
#include "platform/ui_services.h"

namespace {

struct MechanismName {
  CK_MECHANISM_TYPE code;
  const char* caption;
};

// The mechanisms of PKCS#11 version 2.01, in the order of their codes (the table is
// searched by bisection), plus the start of the vendor range. The CAST3 codes show
// the CAST captions.
constexpr MechanismName kMechanismNames[] = {
    {0x0UL, "RSA PKCS key pair generation"},
    {0x1UL, "RSA PKCS"},
    {0x2UL, "RSA 9796"},
    {0x3UL, "RSA X509"},
    {0x4UL, "MD2 RSA PKCS"},
    {0x5UL, "MD5 RSA PKCS"},
    {0x6UL, "SHA1 RSA PKCS"},
    {0x7UL, "RIPEMD128 RSA PKCS"},
    {0x8UL, "RIPEMD160 RSA PKCS"},
    {0x9UL, "RSA PKCS OAEP"},
    {0x10UL, "DSA key pair generation"},
    {0x11UL, "DSA"},
    {0x12UL, "DSA SHA1"},
    {0x20UL, "DH PKCS key pair generation"},
    {0x21UL, "DH PKCS derive"},
    {0x100UL, "RC2 key generatrion"},
    {0x101UL, "RC2 ecb"},
    {0x102UL, "RC2 cbc"},
    {0x103UL, "RC2 MAC"},
    {0x104UL, "RC2 MAC general"},
    {0x105UL, "RC2 cbc PAD"},
    {0x110UL, "RC4 KEY GEN"},
    {0x111UL, "RC4"},
    {0x120UL, "DES key generation"},
    {0x121UL, "DES ecb"},
    {0x122UL, "DES cbc"},
    {0x123UL, "DES MAC"},
    {0x124UL, "DES MAC general"},
    {0x125UL, "DES cbc PAD"},
    {0x130UL, "DES2 key generation"},
    {0x131UL, "DES3 key generation"},
    {0x132UL, "DES3 ecb"},
    {0x133UL, "DES3 cbc"},
    {0x134UL, "DES3 MAC"},
    {0x135UL, "DES3 MAC general"},
    {0x136UL, "DES3 cbc PAD"},
    {0x140UL, "CDMF key generation"},
    {0x141UL, "CDMF ecb"},
    {0x142UL, "CDMF cbc"},
    {0x143UL, "CDMF MAC"},
    {0x144UL, "CDMF MAC general"},
    {0x145UL, "CDMF CBC PAD"},
    {0x200UL, "MD2"},
    {0x201UL, "MD2 HMAC"},
    {0x202UL, "MD2 HMAC general"},
    {0x210UL, "MD5"},
    {0x211UL, "MD5 HMAC"},
    {0x212UL, "MD5 HMAC general"},
    {0x220UL, "SHA-1"},
    {0x221UL, "SHA-1 HMAC"},
    {0x222UL, "SHA-1 HMAC general"},
    {0x230UL, "RIPEMD 128"},
    {0x231UL, "RIPEMD 128 HMAC"},
    {0x232UL, "RIPEMD 128 HMAC general"},
    {0x240UL, "RIPEMD 160"},
    {0x241UL, "RIPEMD 160 HMAC"},
    {0x242UL, "RIPEMD 160 HMAC general"},
    {0x300UL, "CAST key genration"},
    {0x301UL, "CAST ECB"},
    {0x302UL, "CAST CBC"},
    {0x303UL, "CAST MAC"},
    {0x304UL, "CAST MAC general"},
    {0x305UL, "CAST CBC PAD"},
    {0x310UL, "CAST key genration"},
    {0x311UL, "CAST ECB"},
    {0x312UL, "CAST CBC"},
    {0x313UL, "CAST MAC"},
    {0x314UL, "CAST MAC general"},
    {0x315UL, "CAST CBC PAD"},
    {0x320UL, "CAST5 key generation"},
    {0x321UL, "CAST5 ecb"},
    {0x322UL, "CAST5 cbc"},
    {0x323UL, "CAST5 MAC"},
    {0x324UL, "CAST5 MAC general"},
    {0x325UL, "CAST5 cbc PAD"},
    {0x330UL, "RC5 key generation"},
    {0x331UL, "RC5 ECB"},
    {0x332UL, "RC5 CBC"},
    {0x333UL, "RC5 MAC"},
    {0x334UL, "RC5 MAC general"},
    {0x335UL, "RC5 CBC PAD"},
    {0x340UL, "IDEA key generation"},
    {0x341UL, "IDEA ECB"},
    {0x342UL, "IDEA CBC"},
    {0x343UL, "IDEA MAC"},
    {0x344UL, "IDEA MAC general"},
    {0x345UL, "IDEA CBC PAD"},
    {0x350UL, "generic secret key generation"},
    {0x360UL, "concatenate base and key"},
    {0x362UL, "concatenate base and data"},
    {0x363UL, "concatenate data and base"},
    {0x364UL, "XOR base and data"},
    {0x365UL, "extract key from key"},
    {0x370UL, "SSL3 pre master key generation"},
    {0x371UL, "SSL3 master key derive"},
    {0x372UL, "SSL3 key and MAC derive"},
    {0x380UL, "SSL3 MD5 MAC"},
    {0x381UL, "SSL3 SHA-1 MAC"},
    {0x390UL, "MD5 key derivation"},
    {0x391UL, "MD2 key derivation"},
    {0x392UL, "SHA-1 key derivation"},
    {0x3A0UL, "PBE MD2 DES CBC"},
    {0x3A1UL, "PBE MD5 DES CBC"},
    {0x3A2UL, "PBE MD5 CAST CBC"},
    {0x3A3UL, "PBE MD5 CAST3 CBC"},
    {0x3A4UL, "PBE MD5 CAST5 CBC"},
    {0x3A5UL, "PBE SHA-1 CAST5 CBC"},
    {0x3A6UL, "PBE SHA-1 RC4 128"},
    {0x3A7UL, "PBE SHA-1 RC4 40"},
    {0x3A8UL, "PBE SHA-1 DES3 EDE CBC"},
    {0x3A9UL, "PBE SHA-1 DES2 EDE CBC"},
    {0x3AAUL, "PBE SHA-1 RC2 128 CBC"},
    {0x3ABUL, "PBE SHA-1 RC4 40 CBC"},
    {0x3B0UL, "PKCS5 PBKD2"},
    {0x3C0UL, "PBA SHA-1 with SHA-1 HMAC"},
    {0x400UL, "Key wrap Lynks"},
    {0x401UL, "Key wrap SET OAEP"},
    {0x1000UL, "SKIPJACK key generation"},
    {0x1001UL, "SKIPJACK ECB64"},
    {0x1002UL, "SKIPJACK CBC64"},
    {0x1003UL, "SKIPJACK OFB64"},
    {0x1004UL, "SKIPJACK CFB64"},
    {0x1005UL, "SKIPJACK CFB32"},
    {0x1006UL, "SKIPJACK CFB16"},
    {0x1007UL, "SKIPJACK CFB8"},
    {0x1008UL, "SKIPJACK WRAP"},
    {0x1009UL, "SKIPJACK private WRAP"},
    {0x100AUL, "SKIPJACK RELAYX"},
    {0x1010UL, "KEA key pair generation"},
    {0x1011UL, "KEA key derive"},
    {0x1020UL, "FORTEZZA TIMESTAMP"},
    {0x1030UL, "BATON key generation"},
    {0x1031UL, "BATON ECB 128"},
    {0x1032UL, "BATON ECB 96"},
    {0x1033UL, "BATON CBC 128"},
    {0x1034UL, "BATON COUNTER"},
    {0x1035UL, "BATON SHUFFLE"},
    {0x1036UL, "BATON WRAP"},
    {0x1040UL, "ECDSA key pair generation"},
    {0x1041UL, "ECDSA"},
    {0x1042UL, "ECDSA SHA-1"},
    {0x1060UL, "JUNIPER key generation"},
    {0x1061UL, "JUNIPER ECB 128"},
    {0x1062UL, "JUNIPER CBC 128"},
    {0x1063UL, "JUNIPER COUNTER"},
    {0x1064UL, "JUNIPER SHUFFLE"},
    {0x1065UL, "JUNIPER WRAP"},
    {0x1070UL, "FASTHASH"},
    {0x80000000UL, "Vendor defined"},
};

constexpr bool SortedByCode() {
  for (size_t i = 1; i < std::size(kMechanismNames); ++i)
    if (kMechanismNames[i - 1].code >= kMechanismNames[i].code) return false;
  return true;
}
static_assert(std::size(kMechanismNames) == 149 && SortedByCode());

// Mechanism captions are padded to this width; longer ones are left whole.
constexpr int kMechanismCaptionWidth = 28;

const QString kMechanismBoxDesigned = QStringLiteral("Ova kartica podržava __ mehanizama");

void ErrorBox(const QString& text) { Ui().messageBox(MsgKind::Error, text); }

QString Num(CK_ULONG v) { return QString::number(static_cast<qulonglong>(v)); }

QString VersionText(const CK_VERSION& v) { return QString::number(v.major) + "." + QString::number(v.minor); }

QTreeWidget* ListView(const char* name, QWidget* parent) {
  auto* list = new QTreeWidget(parent);
  list->setObjectName(QString::fromLatin1(name));
  list->setRootIsDecorated(false);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  return list;
}

// Two columns, "Atributi" and "Vrijednosti", one row a caption and its value.
class AttributeRows {
 public:
  explicit AttributeRows(QTreeWidget* list) : list_(list) {
    list_->setHeaderLabels({QStringLiteral("Atributi"), QStringLiteral("Vrijednosti")});
  }
  ~AttributeRows() {
    for (int c = 0; c < list_->columnCount(); ++c) list_->resizeColumnToContents(c);
    if (QTreeWidgetItem* first = list_->topLevelItem(0)) {
      list_->setCurrentItem(first);
      list_->setFocus();
    }
  }
  void Add(const QString& caption, const QString& value) { new QTreeWidgetItem(list_, {caption, value}); }
  void Add(const QString& caption, CK_ULONG value) { Add(caption, Num(value)); }

 private:
  QTreeWidget* list_;
};

QString ClassText(CK_OBJECT_CLASS cls) {
  switch (cls) {
    case CKO_DATA: return QStringLiteral("Data Object");
    case CKO_CERTIFICATE: return QStringLiteral("Certificate Object");
    case CKO_PUBLIC_KEY: return QStringLiteral("Public Key Object");
    case CKO_PRIVATE_KEY: return QStringLiteral("Private Key Object");
    case CKO_SECRET_KEY: return QStringLiteral("Secret Object");
    default: return "Unknown object class (" + Num(cls) + ")";
  }
}

QString KeyTypeText(CK_KEY_TYPE type) {
  switch (type) {
    case CKK_RSA: return QStringLiteral("RSA Key");
    case CKK_DES: return QStringLiteral("DES Key");
    case CKK_DES3: return QStringLiteral("DES3 Key");
    default: return "Unhandled key type (" + Num(type) + ")";
  }
}

// Reads one attribute into a buffer of kAttributeBuffer bytes. The value counts as
// too long both when the module says so and when it claims a length the buffer
// cannot have held (CK_UNAVAILABLE_INFORMATION included).
enum class Read { Ok, TooLong, Failed };
Read ReadBounded(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE type, CK_BYTE* buffer,
                 CK_ULONG& length, CK_RV& rv) {
  CK_ATTRIBUTE a{type, buffer, TCardAppDlg::kAttributeBuffer};
  rv = cryptoki::C_GetAttributeValue(session, handle, &a, 1);
  if (rv == CKR_BUFFER_TOO_SMALL || (rv == CKR_OK && a.ulValueLen > TCardAppDlg::kAttributeBuffer))
    return Read::TooLong;
  if (rv != CKR_OK) return Read::Failed;
  length = a.ulValueLen;
  return Read::Ok;
}

// The length query that follows a value too long to read.
CK_RV QueryLength(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE a{type, nullptr, 0};
  return cryptoki::C_GetAttributeValue(session, handle, &a, 1);
}

}  // namespace

QString CutAtDoubleBlank(const void* text, size_t width) {
  const char* p = static_cast<const char*>(text);
  if (!p) return QString();
  size_t n = 0;
  while (n < width && p[n] != '\0') ++n;
  for (size_t i = 0; i + 1 < n; ++i)
    if (p[i] == ' ' && p[i + 1] == ' ') {
      n = i;
      break;
    }
  return QString::fromUtf8(p, static_cast<qsizetype>(n));
}

const TokenObjectRecord* TokenObjectNode::RecordOf(const QTreeWidgetItem* item) {
  auto* node = dynamic_cast<const TokenObjectNode*>(item);
  return node ? node->Record.get() : nullptr;
}

TCardAppDlg::TCardAppDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Informacije o kartici ..."));
  auto* layout = new QVBoxLayout(this);
  PageControl = new QTabWidget(this);
  PageControl->setObjectName(QStringLiteral("PageControl"));

  GeneralList = ListView("GeneralList", PageControl);
  PageControl->addTab(GeneralList, QStringLiteral("Opće informacije"));
  ReaderList = ListView("ReaderList", PageControl);
  PageControl->addTab(ReaderList, QStringLiteral("Čitač"));
  TokenList = ListView("TokenList", PageControl);
  PageControl->addTab(TokenList, QStringLiteral("Kartica"));

  auto* mechanismPage = new QWidget(PageControl);
  auto* mechanismLayout = new QVBoxLayout(mechanismPage);
  MechanismBox = new QGroupBox(kMechanismBoxDesigned, mechanismPage);
  MechanismBox->setObjectName(QStringLiteral("MechanismBox"));
  auto* boxLayout = new QVBoxLayout(MechanismBox);
  MechanismList = ListView("MechanismList", MechanismBox);
  boxLayout->addWidget(MechanismList);
  mechanismLayout->addWidget(MechanismBox);
  PageControl->addTab(mechanismPage, QStringLiteral("Mehanizmi"));

  auto* objectPage = new QWidget(PageControl);
  auto* objectLayout = new QVBoxLayout(objectPage);
  ObjectBox = new QGroupBox(objectPage);
  ObjectBox->setObjectName(QStringLiteral("ObjectBox"));
  auto* objectBoxLayout = new QVBoxLayout(ObjectBox);
  ObjectTree = new QTreeWidget(ObjectBox);
  ObjectTree->setObjectName(QStringLiteral("ObjectTree"));
  ObjectTree->setHeaderHidden(true);
  ObjectTree->setColumnCount(1);
  ObjectTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  objectBoxLayout->addWidget(ObjectTree);
  objectLayout->addWidget(ObjectBox);
  PageControl->addTab(objectPage, QStringLiteral("Objekti na kartici"));
  layout->addWidget(PageControl);

  auto* buttons = new QHBoxLayout;
  ExitBtn = new QPushButton(QStringLiteral("Izlaz"), this);
  ExitBtn->setObjectName(QStringLiteral("ExitBtn"));
  buttons->addStretch();
  buttons->addWidget(ExitBtn);
  layout->addLayout(buttons);
  connect(ExitBtn, &QPushButton::clicked, this, [this] { done(mrOk); });
}

TCardAppDlg::~TCardAppDlg() {
  // The records go with their nodes.
  ObjectTree->clear();
}

QString TCardAppDlg::MechanismCaption(CK_MECHANISM_TYPE code) {
  const auto* end = std::end(kMechanismNames);
  const auto* it = std::lower_bound(std::begin(kMechanismNames), end, code,
                                    [](const MechanismName& m, CK_MECHANISM_TYPE c) { return m.code < c; });
  if (it == end || it->code != code) return QStringLiteral("Nepodržani mehanizam: ") + Num(code);
  return QString::fromLatin1(it->caption).leftJustified(kMechanismCaptionWidth, QLatin1Char(' '));
}

void TCardAppDlg::ClearPages() {
  for (QTreeWidget* list : {GeneralList, ReaderList, TokenList, MechanismList}) {
    list->clear();
    list->setColumnCount(0);
  }
  // Captions that counted for an earlier slot would describe the wrong card.
  MechanismBox->setTitle(kMechanismBoxDesigned);
  ObjectBox->setTitle(QString());
  ObjectTree->clear();
}

void TCardAppDlg::FillPages(CK_SLOT_ID slot, CK_SESSION_HANDLE session) {
  ClearPages();
  Slot = slot;
  Session = session;

  CK_INFO info{};
  if (cryptoki::C_GetInfo(&info) != CKR_OK) {
    ErrorBox(kMsgExplorerInfoError);
    return;
  }
  FillGeneralPage(info);

  CK_ULONG slotCount = 0;
  if (cryptoki::C_GetSlotList(CK_FALSE, nullptr, &slotCount) == CKR_OK) {
    CK_SLOT_INFO slotInfo{};
    cryptoki::C_GetSlotInfo(slot, &slotInfo);
    FillReaderPage(slot, slotInfo);
    CK_TOKEN_INFO tokenInfo{};
    if (cryptoki::C_GetTokenInfo(slot, &tokenInfo) == CKR_OK) FillTokenPage(tokenInfo);
    bool stop = false;
    FillMechanismPage(slot, stop);
    if (stop) return;
  }

  PageControl->setCurrentIndex(4);
  if (OtvoriSesiju() == CKR_OK && ObjectTree->topLevelItemCount() > 0) {
    QTreeWidgetItem* first = ObjectTree->topLevelItem(0);
    ObjectTree->setCurrentItem(first);
    first->setExpanded(true);
  }
}

void TCardAppDlg::FillGeneralPage(const CK_INFO& info) {
  AttributeRows rows(GeneralList);
  rows.Add(QStringLiteral("ID proizvođača"), CutAtDoubleBlank(info.manufacturerID));
  rows.Add(QStringLiteral("Verzija Cryptokija"), VersionText(info.cryptokiVersion));
  rows.Add(QStringLiteral("Naziv biblioteke funkcija"), CutAtDoubleBlank(info.libraryDescription));
  rows.Add(QStringLiteral("Verzija biblioteke funkcija"), VersionText(info.libraryVersion));
}

void TCardAppDlg::FillReaderPage(CK_SLOT_ID slot, const CK_SLOT_INFO& info) {
  AttributeRows rows(ReaderList);
  rows.Add(QStringLiteral("ID čitača"), slot);
  rows.Add(QStringLiteral("Naziv čitača"), CutAtDoubleBlank(info.slotDescription));
  rows.Add(QStringLiteral("ID proizvođača"), CutAtDoubleBlank(info.manufacturerID));
  rows.Add(QStringLiteral("Verzija hardwarea"), VersionText(info.hardwareVersion));
  rows.Add(QStringLiteral("Verzija firmwarea"), VersionText(info.firmwareVersion));
}

void TCardAppDlg::FillTokenPage(const CK_TOKEN_INFO& info) {
  AttributeRows rows(TokenList);
  rows.Add(QStringLiteral("Naziv kartice"), CutAtDoubleBlank(info.label));
  rows.Add(QStringLiteral("ID proizvođača"), CutAtDoubleBlank(info.manufacturerID));
  rows.Add(QStringLiteral("Model"), CutAtDoubleBlank(info.model));
  rows.Add(QStringLiteral("Zastavice"), info.flags);
  rows.Add(QStringLiteral("Serijski broj"), CutAtDoubleBlank(info.serialNumber));
  rows.Add(QStringLiteral("Maksimalni broj sesija"), info.ulMaxSessionCount);
  rows.Add(QStringLiteral("Trenutni broj sesija"), info.ulSessionCount);
  rows.Add(QStringLiteral("Maksimalni broj RW sesija"), info.ulMaxRwSessionCount);
  rows.Add(QStringLiteral("Trenutni broj RW sesija"), info.ulRwSessionCount);
  rows.Add(QStringLiteral("Maksimalna duljina PINa"), info.ulMaxPinLen);
  rows.Add(QStringLiteral("Minimalna duljina PINa"), info.ulMinPinLen);
  rows.Add(QStringLiteral("Ukupna javna memorija"), info.ulTotalPublicMemory);
  rows.Add(QStringLiteral("Ukupna slobodna javna memorija"), info.ulFreePublicMemory);
  rows.Add(QStringLiteral("Ukupna privatna memorija"), info.ulTotalPrivateMemory);
  rows.Add(QStringLiteral("Ukupna slobodna privatna memorija"), info.ulFreePrivateMemory);
  rows.Add(QStringLiteral("Verzija hardwarea"), VersionText(info.hardwareVersion));
  rows.Add(QStringLiteral("Verzija firmwarea"), VersionText(info.firmwareVersion));
  rows.Add(QStringLiteral("UTC vrijeme"), CutAtDoubleBlank(info.utcTime));
}

void TCardAppDlg::FillMechanismPage(CK_SLOT_ID slot, bool& stop) {
  stop = false;
  CK_ULONG count = 0;
  CK_RV rv = cryptoki::C_GetMechanismList(slot, nullptr, &count);
  if (rv != CKR_OK) {
    // Without a count there is nothing to size the list by.
    ErrorBox(kMsgExplorerMechanismsError + Num(rv) + ")");
    stop = true;
    return;
  }
  // The list is sized from the module's count; a token added mechanisms between
  // the two calls is asked again with the new count.
  std::vector<CK_MECHANISM_TYPE> list;
  CK_ULONG got = 0;
  for (int attempt = 0;; ++attempt) {
    MechanismBox->setTitle("Ova kartica podržava " + Num(count) + " mehanizama");
    if (count > kMaxMechanisms) {
      ErrorBox(kMsgExplorerTooManyMechanisms + Num(kMaxMechanisms) + ")");
      stop = true;
      return;
    }
    list.assign(std::max<CK_ULONG>(count, 1), 0);
    got = list.size();
    rv = cryptoki::C_GetMechanismList(slot, list.data(), &got);
    if (rv == CKR_BUFFER_TOO_SMALL && attempt < 3 && got > list.size() && got != CK_UNAVAILABLE_INFORMATION) {
      count = got;
      continue;
    }
    break;
  }
  if (rv != CKR_OK) {
    ErrorBox(kMsgExplorerMechanismsError + Num(rv) + ")");
    stop = true;
    return;
  }
  got = std::min<CK_ULONG>(got, list.size());
  MechanismList->setHeaderLabels({QStringLiteral("Podržani mehanizmi")});
  for (CK_ULONG i = 0; i < got; ++i) AddMechanismRow(list[i]);
  MechanismList->resizeColumnToContents(0);
}

void TCardAppDlg::AddMechanismRow(CK_MECHANISM_TYPE code) {
  if (MechanismList->columnCount() == 0) MechanismList->setHeaderLabels({QStringLiteral("Podržani mehanizmi")});
  new QTreeWidgetItem(MechanismList, {MechanismCaption(code)});
}

CK_RV TCardAppDlg::OtvoriSesiju() {
  IUiServices& ui = Ui();
  ui.setWaitCursor(true);
  const CK_RV rv = FillObjectTree(Session);
  ui.setWaitCursor(false);
  return rv;
}

CK_RV TCardAppDlg::FillObjectTree(CK_SESSION_HANDLE session) {
  const TSearchResult r = FindObjects(session, nullptr, 0, kMaxObjects, [](SearchStep step, CK_RV rv) {
    if (step == SearchStep::Init)
      ErrorBox(kMsgExplorerFindInit + Num(rv) + ")");
    else if (step == SearchStep::Find)
      ErrorBox(kMsgExplorerFind + Num(rv) + "]");
    else
      ErrorBox(kMsgExplorerFindFinal + Num(rv) + ")");
  });
  if (!r.Ok()) return r.Rv;
  const std::vector<CK_OBJECT_HANDLE>& handles = r.Handles;
  const CK_ULONG found = handles.size();
  if (found == 0) {
    ObjectCount = 0;
    ObjectBox->setTitle(kExplorerNoObjects);
    return CKR_OK;
  }
  ObjectCount = found;
  ObjectBox->setTitle("Postoji " + Num(found) + " objekta na kartici.");
  ObjectTree->clear();
  LongLabelCount = 0;
  for (CK_ULONG i = 0; i < found; ++i) {
    const CK_RV rv = AddObjectNode(session, handles[i]);
    if (rv != CKR_OK) return rv;
  }
  return CKR_OK;
}

QTreeWidgetItem* TCardAppDlg::ClassNode(const QString& text) {
  // Only class nodes are looked at: an object labelled like a class stays an object.
  for (int i = 0; i < ObjectTree->topLevelItemCount(); ++i)
    if (ObjectTree->topLevelItem(i)->text(0) == text) return ObjectTree->topLevelItem(i);
  return new TokenObjectNode(ObjectTree, QStringList{text});
}

CK_RV TCardAppDlg::AddObjectNode(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle) {
  CK_OBJECT_CLASS cls = 0;
  CK_RV rv = ReadUlongAttribute(session, handle, CKA_CLASS, cls);
  if (rv != CKR_OK) {
    ErrorBox(kMsgExplorerClass + Num(rv) + ")");
    return rv;
  }
  auto record = std::make_unique<TokenObjectRecord>();
  record->Handle = handle;
  record->ObjectClass = cls;
  QTreeWidgetItem* classNode = ClassNode(ClassText(cls));

  CK_BYTE buffer[kAttributeBuffer];
  CK_ULONG length = 0;
  TokenObjectNode* objectNode = nullptr;
  switch (ReadBounded(session, handle, CKA_LABEL, buffer, length, rv)) {
    case Read::Ok:
      record->LabelText = QString::fromUtf8(reinterpret_cast<const char*>(buffer), static_cast<qsizetype>(length));
      objectNode = new TokenObjectNode(classNode, QStringList{record->LabelText});
      break;
    case Read::TooLong:
      rv = QueryLength(session, handle, CKA_LABEL);
      if (rv != CKR_OK) {
        ErrorBox(kMsgExplorerLabelLength + Num(rv) + ")");
        return rv;
      }
      ++LongLabelCount;
      objectNode = new TokenObjectNode(
          classNode, QStringList{"< Label is too long to retrive " + QString::number(LongLabelCount) + " >"});
      record->LabelText = "< Labela je previše duga za dohvat " + QString::number(LongLabelCount) + " >";
      break;
    case Read::Failed: ErrorBox(kMsgExplorerLabel + Num(rv) + ")"); return rv;
  }
  return AddObjectDetails(session, objectNode, std::move(record));
}

CK_RV TCardAppDlg::AddObjectDetails(CK_SESSION_HANDLE session, TokenObjectNode* objectNode,
                                    std::unique_ptr<TokenObjectRecord> record) {
  const CK_OBJECT_HANDLE handle = record->Handle;
  CK_BYTE buffer[kAttributeBuffer];
  CK_ULONG length = 0;
  CK_RV rv = CKR_OK;
  switch (record->ObjectClass) {
    case CKO_DATA:
      switch (ReadBounded(session, handle, CKA_VALUE, buffer, length, rv)) {
        case Read::Ok:
          record->ValueText = FromCp1250(reinterpret_cast<const char*>(buffer), length);
          objectNode->Record = std::move(record);
          break;
        case Read::TooLong:
          rv = QueryLength(session, handle, CKA_VALUE);
          if (rv != CKR_OK) {
            ErrorBox(kMsgExplorerDataLength + Num(rv) + ")");
            return rv;
          }
          break;
        case Read::Failed: ErrorBox(kMsgExplorerData + Num(rv) + ")"); return rv;
      }
      break;
    case CKO_CERTIFICATE:
      record->ValueText = QStringLiteral("Certificate Data");
      objectNode->Record = std::move(record);
      break;
    case CKO_PUBLIC_KEY:
    case CKO_PRIVATE_KEY:
    case CKO_SECRET_KEY: {
      CK_KEY_TYPE type = 0;
      rv = ReadUlongAttribute(session, handle, CKA_KEY_TYPE, type);
      if (rv != CKR_OK) {
        ErrorBox(kMsgExplorerKeyType + Num(rv) + ")");
        return rv;
      }
      record->KeyType = type;
      auto* keyNode = new TokenObjectNode(objectNode, QStringList{KeyTypeText(type)});
      keyNode->Record = std::move(record);
      break;
    }
    default: break;
  }
  return CKR_OK;
}
