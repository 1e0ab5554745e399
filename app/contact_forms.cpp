#include "app/contact_forms.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>

#include "app/startup.h"
#include "app/window_commands.h"
#include "card/cert_list.h"
#include "platform/atomic_file.h"
#include "platform/program_locale.h"
#include "platform/replacement_file.h"
#include "platform/ui_services.h"
#include "signing/data_module.h"
#include "signing/settings.h"

TfmUser* fmUser = nullptr;
TfmUserCertList* fmUserCertList = nullptr;

namespace {

const QString kMsgNoFile = QStringLiteral("Datoteka s certifikatom mora biti definirana!");
const QString kMsgAlreadyListed = QStringLiteral("Ovaj certifikat je već u listi!");
const QString kMsgExpired = QStringLiteral("Validnost certifikata istekla. Želite li nastaviti s učitavanjem?");
const QString kMsgPathBad =
    QStringLiteral("Provjera puta certifikacije nije u redu. Želite li nastaviti s učitavanjem?");
const QString kMsgChooseOne = QStringLiteral("Morate odabrati barem jednu kontakt osobu !");
const QString kMsgRecipientBad = QStringLiteral("Odabrani certifikat je neispravan. Želite li nastaviti?");

constexpr int kCertRole = Qt::UserRole + 1;
constexpr int kKeyNameRole = Qt::UserRole + 2;

TRecipientWarning& RecipientWarning() {
  static TRecipientWarning warning;
  return warning;
}

QString InFolder(const QString& folder, const QString& name) {
  if (folder.isEmpty() || folder.endsWith(QLatin1Char('/'))) return folder + name;
  return folder + QLatin1Char('/') + name;
}

// Copies source over target through a new file in the target's folder, so a
// failed copy never leaves a part of a certificate under the listed name.
bool CopyWhole(const QString& source, const QString& target) {
  QFile in(source);
  if (!in.open(QIODevice::ReadOnly)) return false;
  TReplacementFile out;
  if (!out.Create(target)) return false;
  char buf[65536];
  for (;;) {
    const qint64 n = in.read(buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) break;
    if (!out.Write(buf, static_cast<size_t>(n))) return false;
  }
  return out.Commit(true);
}

// The file a certificate is kept in: its key name, which comes from the issuer's
// name in a certificate that may have arrived in a received container, so a
// separator or a leading dot (a hidden file the folder scan skips) is replaced.
// Loading takes the key name from the certificate, never from the file name.
QString CertFileNameFor(const QString& keyName, const QString& extension) {
  QString name = keyName;
  for (QChar& c : name)
    if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20) c = QLatin1Char('_');
  if (name.startsWith(QLatin1Char('.'))) name[0] = QLatin1Char('_');
  return name + extension;
}

bool Owns(const std::vector<std::unique_ptr<TCertifikat>>& list, const TCertifikat* cert) {
  return std::any_of(list.begin(), list.end(), [&](const auto& c) { return c.get() == cert; });
}

QLineEdit* ReadOnlyField(QWidget* parent) {
  auto* e = new QLineEdit(parent);
  e->setReadOnly(true);
  e->setEnabled(false);
  return e;
}

}  // namespace

QString CertSerialText(const TCertifikat& cert) {
  if (Settings && Settings->ShowSNCertAsDecimal) return QString::number(cert.SerialInt);
  return cert.SerialHex;
}

QString CertDateTimeText(TDateTime value) { return ShortDateLongTimeText(ToQDateTime(value)); }

QString CertRowName(const TCertifikat& cert) {
  return cert.DisplayName.isEmpty() ? cert.SubjectText : cert.DisplayName;
}

bool CertIsGood(const TCertifikat& cert) { return cert.Expired == 0 && cert.RootCheck == 0; }

// --- TfmUser ---------------------------------------------------------------------

TfmUser::TfmUser(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fmUser"));
  setModal(true);
  auto* grid = new QGridLayout;
  int row = 0;
  auto addRow = [&](const QString& label, QWidget* field, QWidget* extra = nullptr) {
    auto* l = new QLabel(label, this);
    l->setBuddy(field);
    grid->addWidget(l, row, 0);
    if (extra) {
      auto* h = new QHBoxLayout;
      h->addWidget(field);
      h->addWidget(extra);
      grid->addLayout(h, row, 1);
    } else {
      grid->addWidget(field, row, 1);
    }
    ++row;
  };
  edCertDat = ReadOnlyField(this);
  SpeedButton1 = new QToolButton(this);
  SpeedButton1->setText(QStringLiteral("..."));
  edNaziv = new QLineEdit(this);
  edeMail = new QLineEdit(this);
  edSBCert = ReadOnlyField(this);
  edIzdanZa = ReadOnlyField(this);
  edIzdanOd = ReadOnlyField(this);
  edValidanOd = ReadOnlyField(this);
  edValidanDo = ReadOnlyField(this);
  addRow(QStringLiteral("Cert. datoteka:"), edCertDat, SpeedButton1);
  addRow(QStringLiteral("Naziv:"), edNaziv);
  addRow(QStringLiteral("e-mail:"), edeMail);
  addRow(QStringLiteral("SB certifikata:"), edSBCert);
  addRow(QStringLiteral("Izdan za:"), edIzdanZa);
  addRow(QStringLiteral("Izdan od:"), edIzdanOd);
  addRow(QStringLiteral("Validan od:"), edValidanOd);
  addRow(QStringLiteral("Validan do:"), edValidanDo);

  btnPotvrdi = new QPushButton(QStringLiteral("&Potvrdi"), this);
  btnOdustani = new QPushButton(QStringLiteral("&Odustani"), this);
  btnPotvrdi->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnPotvrdi);
  buttons->addWidget(btnOdustani);

  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addLayout(buttons);
  setMinimumWidth(460);

  connect(SpeedButton1, &QToolButton::clicked, this, [this] { Browse(); });
  connect(btnPotvrdi, &QPushButton::clicked, this, [this] { Confirm(); });
  connect(btnOdustani, &QPushButton::clicked, this, [this] { done(mrCancel); });
}

TfmUser::~TfmUser() = default;

void TfmUser::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  edNaziv->setFocus();
}

void TfmUser::ClearFields() {
  for (QLineEdit* e : {edCertDat, edNaziv, edeMail, edSBCert, edIzdanZa, edIzdanOd, edValidanOd, edValidanDo})
    e->clear();
}

void TfmUser::FillFields() {
  if (!cert_) return;
  if (mode_ != kCertModeImport) edCertDat->setText(cert_->FileName);
  edNaziv->setText(cert_->DisplayName);
  edeMail->setText(cert_->EMail);
  edSBCert->setText(CertSerialText(*cert_));
  edIzdanZa->setText(cert_->SubjectText);
  // The issuer's text as the certificate layer keeps it: its common name.
  edIzdanOd->setText(cert_->IssuerCommonName);
  edValidanOd->setText(CertDateTimeText(cert_->ValidFrom));
  edValidanDo->setText(CertDateTimeText(cert_->ValidTo));
}

bool TfmUser::Run(int kind, int mode, TCertifikat* certificate, std::unique_ptr<TCertifikat> owned) {
  kind_ = kind;
  mode_ = mode;
  owned_ = std::move(owned);
  cert_ = owned_ ? owned_.get() : certificate;
  ClearFields();
  if (mode_ == kCertModeImport) {
    // A new import starts from nothing, whatever an earlier use left.
    owned_.reset();
    cert_ = nullptr;
    SpeedButton1->setVisible(true);
  } else {
    FillFields();
    SpeedButton1->setVisible(false);
  }
  setWindowTitle(kind_ == kCertKindRoot ? QStringLiteral("Certifikat izdavatelja")
                                        : QStringLiteral("Korisnički certifikat"));
  const bool ok = exec() == mrOk;
  // A certificate loaded or handed over here and not taken by the list is dropped.
  owned_.reset();
  if (mode_ != kCertModeEdit) cert_ = nullptr;
  return ok;
}

void TfmUser::Browse() {
  if (mode_ != kCertModeImport) return;
  const QString filter = kind_ == kCertKindRoot
                             ? QStringLiteral("PKCS #7 certifikati (*.p7c)|*.p7c|Sve datoteke (*.*)|*.*")
                             : QStringLiteral("X.509 certifikati (*.crt; *. cer)|*.crt; *.cer|Sve datoteke (*.*)|*.*");
  const QString file = Ui().openFileName(QString(), InstallPath, TSaveDialog::DialogFilter(filter));
  if (file.isEmpty()) return;
  if (!owned_) owned_ = std::make_unique<TCertifikat>();
  QString error;
  bool loaded = false;
  if (kind_ == kCertKindRoot) {
    loaded = owned_->LoadFromPkcs7File(file, true, error);
  } else {
    loaded = owned_->LoadFromCrtFile(file, true, error);
    if (loaded && ContactCertList) ContactCertList->CheckAgainstRoots(*owned_);
  }
  if (!loaded) {
    owned_.reset();
    cert_ = nullptr;
    return;
  }
  cert_ = owned_.get();
  FillFields();
  edCertDat->setText(file);
}

void TfmUser::Confirm() {
  if (mode_ == kCertModeImport) {
    const QString file = edCertDat->text();
    if (file.isEmpty()) {
      Ui().messageBox(MsgKind::Error, kMsgNoFile);
      return;
    }
    if (!QFileInfo::exists(file)) {
      Ui().messageBox(MsgKind::Error, QStringLiteral("Nema datoteke \"") + file + QStringLiteral("\""));
      return;
    }
    // The fields may still show an earlier file whose second load failed: there is
    // no certificate to save then.
    if (!cert_) {
      Ui().messageBox(MsgKind::Error, kMsgNoFile);
      return;
    }
    const bool listed = ContactCertList && (kind_ == kCertKindRoot ? ContactCertList->RootExists(*cert_)
                                                                   : ContactCertList->UserExists(*cert_));
    if (listed) {
      Ui().messageBox(MsgKind::Error, kMsgAlreadyListed);
      return;
    }
    if (cert_->Expired == 1 && Ui().messageBox(MsgKind::Confirmation, kMsgExpired) != mrYes) return;
    if (cert_->RootCheck == 1 && Ui().messageBox(MsgKind::Confirmation, kMsgPathBad) != mrYes) return;
  }
  if (!cert_ || !ContactCertList) return;
  // A ";" or a line break would cut the description line into other fields.
  if (!TCertList::DescriptionTextAllowed(edNaziv->text()) || !TCertList::DescriptionTextAllowed(edeMail->text())) {
    Ui().messageBox(MsgKind::Error, TCertList::DescriptionTextRefused());
    return;
  }
  if (Save()) done(mrOk);
}

bool TfmUser::Save() {
  TCertList& list = *ContactCertList;
  const bool root = kind_ == kCertKindRoot;
  const QString oldName = cert_->DisplayName;
  const QString oldMail = cert_->EMail;
  cert_->DisplayName = edNaziv->text();
  cert_->EMail = edeMail->text();
  const QString fileName = CertFileNameFor(cert_->KeyName, root ? QStringLiteral(".p7c") : QStringLiteral(".crt"));
  const QString target = InFolder(root ? list.RootFolder : list.UserFolder, fileName);

  // A certificate whose description line could not be saved is not listed: the
  // list has reported the failure, the certificate goes back to the form and a file
  // that this save made is removed again, so the folder does not list it either.
  auto appendAndSave = [&](bool targetExisted) {
    auto& certs = root ? list.RootCertificates : list.UserCertificates;
    certs.push_back(std::move(owned_));
    if (root ? list.SaveRootDescriptions() : list.SaveUserDescriptions()) return true;
    owned_ = std::move(certs.back());
    certs.pop_back();
    if (!targetExisted) QFile::remove(target);
    cert_->DisplayName = oldName;
    cert_->EMail = oldMail;
    return false;
  };

  switch (mode_) {
    case kCertModeImport: {
      const bool existed = QFileInfo::exists(target);
      // A failed copy is not reported: the refresh after the import reads the
      // folder again, and the certificate is then no longer listed.
      CopyWhole(edCertDat->text(), target);
      cert_->FileName = fileName;  // where it now lies, which deleting it needs
      return appendAndSave(existed);
    }
    case kCertModeAdd: {
      const bool existed = QFileInfo::exists(target);
      const QByteArray der(reinterpret_cast<const char*>(cert_->Der), cert_->DerLength);
      QString why;
      if (!WriteFileAtomically(target, der, &why)) {
        Ui().messageBox(MsgKind::Error, QStringLiteral("Neuspješno spremanje certifikata u datoteku \"") + target +
                                            QStringLiteral("\". [") + why + QStringLiteral("]"));
        cert_->DisplayName = oldName;
        cert_->EMail = oldMail;
        return false;
      }
      cert_->FileName = fileName;
      return appendAndSave(existed);
    }
    default: {
      if (!(root ? list.SaveRootDescriptions() : list.SaveUserDescriptions())) {
        // The file on disk kept the old texts; so does the certificate.
        cert_->DisplayName = oldName;
        cert_->EMail = oldMail;
        return false;
      }
      return true;
    }
  }
}

// --- TfmUserCertList ---------------------------------------------------------------

namespace {

QTreeWidget* MakeCertList(QWidget* parent, const QString& name) {
  auto* list = new QTreeWidget(parent);
  list->setObjectName(name);
  list->setColumnCount(3);
  list->setHeaderLabels({QStringLiteral("Naziv"), QStringLiteral("SB certifikata"), QStringLiteral("Izdavatelj")});
  list->setColumnWidth(0, 215);
  list->setColumnWidth(1, 135);
  list->setColumnWidth(2, 205);
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setAllColumnsShowFocus(true);
  return list;
}

}  // namespace

TfmUserCertList::TfmUserCertList(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fmUserCertList"));
  setWindowTitle(QStringLiteral("Lista evidentiranih certifikata"));
  setModal(true);

  pcLists = new QTabWidget(this);
  tsRootCert = new QWidget(pcLists);
  tsKontaktOsoba = new QWidget(pcLists);
  lwRootCert = MakeCertList(tsRootCert, QStringLiteral("lwRootCert"));
  lwKontaktOsoba = MakeCertList(tsKontaktOsoba, QStringLiteral("lwKontaktOsoba"));
  (new QVBoxLayout(tsRootCert))->addWidget(lwRootCert);
  (new QVBoxLayout(tsKontaktOsoba))->addWidget(lwKontaktOsoba);
  pcLists->addTab(tsRootCert, QStringLiteral("&Certifikati izdavatelja"));
  pcLists->addTab(tsKontaktOsoba, QStringLiteral("Korisnički &certifikati"));

  actDodaj = AddWindowCommand(this, QStringLiteral("actDodaj"), QStringLiteral("&Dodavanje"),
                              QStringLiteral("Dodavanje nove kontakt osobe"));
  actIzmjeni = AddWindowCommand(this, QStringLiteral("actIzmjeni"), QStringLiteral("&Izmjena"),
                                QStringLiteral("Izmjena kontakt osobe"));
  actObrisi = AddWindowCommand(this, QStringLiteral("actObrisi"), QStringLiteral("&Brisanje"),
                               QStringLiteral("Brisanje kontakt osobe"));
  actOsvjezi = AddWindowCommand(this, QStringLiteral("actOsvjezi"), QStringLiteral("O&svježi"),
                                QStringLiteral("Osvježavanje prikaza"));
  actOsvjezi->setShortcut(QKeySequence(Qt::Key_F5));
  actPotvrdi = AddWindowCommand(this, QStringLiteral("actPotvrdi"), QStringLiteral("&Kriptiraj"), QString());
  actZatvori = AddWindowCommand(this, QStringLiteral("actZatvori"), QStringLiteral("I&zlaz"),
                                QStringLiteral("Zatvaranje prozora"));

  auto* buttons = new QHBoxLayout;
  QPushButton** bound[] = {&btnDodaj, &btnIzmjeni, &btnObrisi, &btnOsvjezi, &btnPotvrdi, &btnZatvori};
  QAction* const commands[] = {actDodaj, actIzmjeni, actObrisi, actOsvjezi, actPotvrdi, actZatvori};
  for (size_t i = 0; i < std::size(commands); ++i) {
    QAction* a = commands[i];
    // A push button, not a tool button: its caption's "&" gives the Alt shortcut,
    // and one of them can be the window's default button.
    auto* b = new QPushButton(this);
    *bound[i] = b;
    b->setObjectName(QStringLiteral("btn") + a->objectName().mid(3));
    b->setMinimumWidth(80);
    // A hidden command's button is hidden with it, not merely greyed.
    auto follow = [a, b] {
      b->setText(a->text());
      b->setToolTip(a->toolTip());
      b->setStatusTip(a->statusTip());
      b->setEnabled(a->isEnabled());
      b->setVisible(a->isVisible());
    };
    follow();
    connect(a, &QAction::changed, b, follow);
    connect(b, &QPushButton::clicked, a, &QAction::trigger);
    buttons->addWidget(b);
  }
  buttons->addStretch();

  auto* top = new QVBoxLayout(this);
  top->addWidget(pcLists);
  top->addLayout(buttons);
  resize(600, 360);

  connect(actDodaj, &QAction::triggered, this, [this] { Add(); });
  connect(actIzmjeni, &QAction::triggered, this, [this] { Edit(); });
  connect(actObrisi, &QAction::triggered, this, [this] { Delete(); });
  connect(actOsvjezi, &QAction::triggered, this, [this] { Refresh(); });
  connect(actPotvrdi, &QAction::triggered, this, [this] { Accept(); });
  connect(actZatvori, &QAction::triggered, this, [this] { done(mrCancel); });
  connect(pcLists, &QTabWidget::currentChanged, this, [this] { UpdateActions(); });
  for (QTreeWidget* l : {lwRootCert, lwKontaktOsoba})
    connect(l, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateActions(); });

  Refresh();
}

void TfmUserCertList::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  Refresh();
}

void TfmUserCertList::Refresh() {
  Ui().setWaitCursor(true);
  if (ContactCertList) ContactCertList->LoadAll();
  Fill();
  Ui().setWaitCursor(false);
}

void TfmUserCertList::AddRow(QTreeWidget* list, TCertifikat* cert) {
  auto* item = new QTreeWidgetItem(list);
  item->setText(0, CertRowName(*cert));
  item->setText(1, CertSerialText(*cert));
  item->setText(2, cert->IssuerCommonName);
  item->setData(0, kCertRole, QVariant::fromValue(reinterpret_cast<quintptr>(cert)));
  item->setData(0, kKeyNameRole, cert->KeyName);
  if (checkBoxes_ && list == lwKontaktOsoba) {
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Unchecked);
  }
}

void TfmUserCertList::Fill() {
  lwRootCert->clear();
  lwKontaktOsoba->clear();
  if (ContactCertList) {
    for (const auto& c : ContactCertList->RootCertificates) AddRow(lwRootCert, c.get());
    for (const auto& c : ContactCertList->UserCertificates) AddRow(lwKontaktOsoba, c.get());
  }
  UpdateActions();
}

TCertifikat* TfmUserCertList::RowCertificate(QTreeWidgetItem* item) const {
  if (!item || !ContactCertList) return nullptr;
  auto* cert = reinterpret_cast<TCertifikat*>(item->data(0, kCertRole).value<quintptr>());
  // Rows outlive a reload of the contact list that nobody refilled them after:
  // only a certificate the list still holds, and still the row's own (a new one
  // may sit at a freed one's address), is handed out.
  const auto& certs =
      item->treeWidget() == lwRootCert ? ContactCertList->RootCertificates : ContactCertList->UserCertificates;
  if (!cert || !Owns(certs, cert) || cert->KeyName != item->data(0, kKeyNameRole).toString()) return nullptr;
  return cert;
}

QTreeWidget* TfmUserCertList::ActiveList() const {
  return pcLists->currentWidget() == tsRootCert ? lwRootCert : lwKontaktOsoba;
}

int TfmUserCertList::ActiveKind() const { return ActiveList() == lwRootCert ? kCertKindRoot : kCertKindUser; }

void TfmUserCertList::UpdateActions() {
  const bool selected = !ActiveList()->selectedItems().isEmpty();
  actIzmjeni->setEnabled(selected);
  actObrisi->setEnabled(selected);
}

int TfmUserCertList::CheckGoodContacts() {
  int count = 0;
  for (int i = 0; i < lwKontaktOsoba->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = lwKontaktOsoba->topLevelItem(i);
    TCertifikat* cert = RowCertificate(item);
    if (!cert || !CertIsGood(*cert)) continue;
    item->setCheckState(0, Qt::Checked);
    ++count;
  }
  return count;
}

std::vector<TCertifikat*> TfmUserCertList::CheckedContacts() const {
  std::vector<TCertifikat*> out;
  for (int i = 0; i < lwKontaktOsoba->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = lwKontaktOsoba->topLevelItem(i);
    if (item->data(0, Qt::CheckStateRole).isNull() || item->checkState(0) != Qt::Checked) continue;
    if (TCertifikat* cert = RowCertificate(item)) out.push_back(cert);
  }
  return out;
}

void TfmUserCertList::Add() {
  if (RunUserCertDialog(ActiveKind(), kCertModeImport, nullptr)) Refresh();
}

void TfmUserCertList::Edit() {
  const QList<QTreeWidgetItem*> selected = ActiveList()->selectedItems();
  if (selected.isEmpty()) return;
  QTreeWidgetItem* item = selected.front();
  TCertifikat* cert = RowCertificate(item);
  if (!cert) return;
  if (RunUserCertDialog(ActiveKind(), kCertModeEdit, cert)) item->setText(0, cert->DisplayName);
}

void TfmUserCertList::Delete() {
  QTreeWidget* list = ActiveList();
  const QList<QTreeWidgetItem*> selected = list->selectedItems();
  if (selected.isEmpty()) return;
  QTreeWidgetItem* item = selected.front();
  TCertifikat* cert = RowCertificate(item);
  if (!cert) return;
  const QString question = QStringLiteral("Da li ste sigurni da želite obrisati certifikat iz liste ?\r\n[") +
                           item->text(0) + QStringLiteral("; SB=") + item->text(1) + QStringLiteral("]");
  if (Ui().messageBox(MsgKind::Confirmation, question) != mrYes) return;
  const bool root = list == lwRootCert;
  if (root ? ContactCertList->DeleteRoot(cert) : ContactCertList->DeleteUser(cert)) {
    root ? ContactCertList->SaveRootDescriptions() : ContactCertList->SaveUserDescriptions();
    delete item;
  }
  Fill();
}

void TfmUserCertList::Accept() {
  std::vector<const TCertifikat*> checked;
  int good = 0;
  for (TCertifikat* cert : CheckedContacts()) {
    checked.push_back(cert);
    if (CertIsGood(*cert)) ++good;
  }
  if (checked.empty()) {
    Ui().messageBox(MsgKind::Warning, kMsgChooseOne);
    return;
  }
  if (good == static_cast<int>(checked.size())) {
    done(mrYes);
    return;
  }
  const TRecipientWarning& warning = RecipientWarning();
  const int answer =
      warning ? warning(kMsgRecipientBad, checked) : Ui().messageBox(MsgKind::Confirmation, kMsgRecipientBad);
  done(answer == mrYes ? mrYes : answer == mrNo ? mrNo : mrCancel);
}

void TfmUserCertList::RunAdministration() {
  checkBoxes_ = false;
  pcLists->setTabVisible(pcLists->indexOf(tsRootCert), true);
  pcLists->setCurrentWidget(tsKontaktOsoba);
  for (QAction* a : {actDodaj, actIzmjeni, actObrisi}) a->setVisible(true);
  actPotvrdi->setVisible(false);
  btnPotvrdi->setDefault(false);
  btnIzmjeni->setDefault(true);
  exec();
}

bool TfmUserCertList::RunPicker() {
  checkBoxes_ = true;
  pcLists->setCurrentWidget(tsKontaktOsoba);
  pcLists->setTabVisible(pcLists->indexOf(tsRootCert), false);
  for (QAction* a : {actDodaj, actIzmjeni, actObrisi}) a->setVisible(false);
  actPotvrdi->setVisible(true);
  btnIzmjeni->setDefault(false);
  btnPotvrdi->setDefault(true);
  return exec() == mrYes;
}

// --- entry points ------------------------------------------------------------------

namespace {
TfmUser& Editor() {
  if (!fmUser) fmUser = new TfmUser;
  return *fmUser;
}
TfmUserCertList& ListWindow() {
  if (!fmUserCertList) fmUserCertList = new TfmUserCertList;
  return *fmUserCertList;
}
}  // namespace

bool RunUserCertDialog(int kind, int mode, TCertifikat* certificate) {
  // Adding a given certificate hands it over: that road is RunAddContactDialog.
  if (mode == kCertModeAdd) return false;
  if (mode == kCertModeEdit && !certificate) return false;
  return Editor().Run(kind, mode, certificate);
}

bool RunAddContactDialog(std::unique_ptr<TCertifikat>& certificate) {
  if (!certificate) return false;
  TCertifikat* cert = certificate.get();
  // The editor drops what it holds when the window is cancelled; the caller keeps
  // its certificate then, so hand over a copy only on success.
  auto copy = std::make_unique<TCertifikat>(*cert);
  TCertifikat* listed = copy.get();
  const bool ok = Editor().Run(kCertKindUser, kCertModeAdd, nullptr, std::move(copy));
  if (ok && ContactCertList && Owns(ContactCertList->UserCertificates, listed)) certificate.reset();
  return ok;
}

void RunContactListDialog() { ListWindow().RunAdministration(); }

bool SelectRecipients() { return ListWindow().RunPicker(); }

void SetRecipientWarning(TRecipientWarning warning) { RecipientWarning() = std::move(warning); }

std::vector<TStartUpForm> ContactStartUpForms() {
  return {{QStringLiteral("fmUser"), true, [] { return fmUser != nullptr; }, [] { fmUser = new TfmUser; },
           [] {
             delete fmUser;
             fmUser = nullptr;
           }},
          {QStringLiteral("fmUserCertList"), true, [] { return fmUserCertList != nullptr; },
           [] { fmUserCertList = new TfmUserCertList; },
           [] {
             delete fmUserCertList;
             fmUserCertList = nullptr;
           }}};
}
