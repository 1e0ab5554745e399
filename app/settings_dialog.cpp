#include "app/settings_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/file_associations.h"
#include "app/window_commands.h"
#include "platform/ui_services.h"
#include "signing/settings.h"

namespace {

QPushButton* MakeButton(QWidget* owner, const QString& caption, QAction* action) {
  auto* b = new QPushButton(caption, owner);
  b->setAutoDefault(false);
  if (action) {
    b->setToolTip(action->toolTip());
    QObject::connect(b, &QPushButton::clicked, action, &QAction::trigger);
  }
  return b;
}

QCheckBox* ShownCheck(const QString& caption, QWidget* parent, QLayout* layout) {
  auto* c = new QCheckBox(caption, parent);
  c->setChecked(true);
  c->setEnabled(false);
  layout->addWidget(c);
  return c;
}

// A group of two radio buttons, the first item 0 of its setting, the second item 1.
QGroupBox* ChoiceOfTwo(const QString& title, QRadioButton*& first, const QString& firstText, QRadioButton*& second,
                       const QString& secondText) {
  auto* group = new QGroupBox(title);
  auto* column = new QVBoxLayout(group);
  first = new QRadioButton(firstText);
  second = new QRadioButton(secondText);
  column->addWidget(first);
  column->addWidget(second);
  return group;
}

void AddFolderRow(QGridLayout* grid, int row, const QString& label, QLineEdit* edit, QPushButton* browse) {
  grid->addWidget(new QLabel(label), row, 0, 1, 2);
  grid->addWidget(edit, row + 1, 0);
  grid->addWidget(browse, row + 1, 1);
}

const QString kVerbOpen = QStringLiteral("Otvaranje");
const QString kVerbDecrypt = QStringLiteral("Dekriptiranje");

}  // namespace

QString BrowseForFolder(const QString& startFolder, const QString& caption) {
  return Ui().folderName(caption, startFolder);
}

TfmPostavke::TfmPostavke(QWidget* parent) : QDialog(parent) {
  setObjectName("fmPostavke");
  setWindowTitle("Postavke");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

  MakeCommands();
  pcPostavke = new QTabWidget(this);
  pcPostavke->setObjectName("pcPostavke");
  BuildGeneralTab();
  BuildFileTypesTab();
  BuildCertificatesTab();
  BuildChecksTab();
  BuildButtons();
  ConnectCommands();
}

void TfmPostavke::MakeCommands() {
  actPotvrdi = AddWindowCommand(this, "actPotvrdi", "Potvrdi", "Potvrdi definirane promjene postavki rada");
  actBFOutDir =
      AddWindowCommand(this, "actBFOutDir", "...", QStringLiteral("Izlazni direktorij za \"raspakirane\" datoteke"));
  actBFRootCert = AddWindowCommand(this, "actBFRootCert", "...", "Direktorij za spremanje root certifikata");
  actBFUserCert =
      AddWindowCommand(this, "actBFUserCert", "...", QStringLiteral("Direktorij za spremanje korisničkih certifikata"));
}

void TfmPostavke::BuildGeneralTab() {
  tsOpce = new QWidget;
  auto* v = new QVBoxLayout(tsOpce);
  v->addWidget(ChoiceOfTwo(" Prilikom zatvaranja aplikacije ", rbOdjaviSe, "Odjavi se sa kartice", rbOstaniPrijavljen,
                           "Ostani prijavljen na karticu"));
  v->addWidget(new QLabel("Nastavak (ekstenzija) kriptirane datoteke:"));
  edPackedExt = new QLineEdit;
  edPackedExt->setEnabled(false);
  v->addWidget(edPackedExt);
  auto* g = new QGroupBox(" Naziv datoteke prilikom slanja ");
  auto* gv = new QVBoxLayout(g);
  cbRadSMbr = new QCheckBox(QStringLiteral("Dodaj matični broj"));
  cbDodajDatum = new QCheckBox("Dodaj vrijeme pakiranja datoteke");
  gv->addWidget(cbRadSMbr);
  gv->addWidget(cbDodajDatum);
  v->addWidget(g);
  v->addStretch();
  pcPostavke->addTab(tsOpce, QStringLiteral("&Opće postavke"));
}

void TfmPostavke::BuildFileTypesTab() {
  tsTipDat = new QWidget;
  auto* grid = new QGridLayout(tsTipDat);
  edOutPath = new QLineEdit;
  AddFolderRow(grid, 0, "Izlazni direktorij za dekriptirane datoteke:", edOutPath,
               MakeButton(tsTipDat, "...", actBFOutDir));
  auto* g = new QGroupBox(QStringLiteral(" Nastavci datoteka pridruženi aplikaciji Tarvi Sealdesk "));
  auto* gv = new QVBoxLayout(g);
  lwTipoviDat = new QTreeWidget;
  lwTipoviDat->setObjectName("lwTipoviDat");
  lwTipoviDat->setHeaderLabels({"Nastavak", "Opis"});
  lwTipoviDat->setRootIsDecorated(false);
  lwTipoviDat->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lwTipoviDat->setSelectionBehavior(QAbstractItemView::SelectRows);
  lwTipoviDat->setColumnWidth(0, 100);
  lwTipoviDat->setColumnWidth(1, 215);
  gv->addWidget(lwTipoviDat);
  grid->addWidget(g, 2, 0, 1, 2);
  pcPostavke->addTab(tsTipDat, "&Tipovi datoteka");
}

void TfmPostavke::BuildCertificatesTab() {
  tsCertifikati = new QWidget;
  auto* grid = new QGridLayout(tsCertifikati);
  edRootCertDir = new QLineEdit;
  edUserCertDir = new QLineEdit;
  AddFolderRow(grid, 0, "Direktorij certifikata izdavatelja:", edRootCertDir,
               MakeButton(tsCertifikati, "...", actBFRootCert));
  AddFolderRow(grid, 2, QStringLiteral("Direktorij korisničkih certifikata:"), edUserCertDir,
               MakeButton(tsCertifikati, "...", actBFUserCert));
  grid->addWidget(
      ChoiceOfTwo(" Prikaz serijskog broja certifikata ", rbDecimalno, "Decimalno", rbHeksadecimalno, "Heksadecimalno"),
      4, 0, 1, 2);
  grid->setRowStretch(5, 1);
  pcPostavke->addTab(tsCertifikati, "&Certifikati");
}

// The checks are shown only: every one is on and cannot be changed.
void TfmPostavke::BuildChecksTab() {
  tsPotpisi = new QWidget;
  auto* v = new QVBoxLayout(tsPotpisi);
  auto* g1 = new QGroupBox(" Provjera ispravnosti potpisa: ");
  auto* v1 = new QVBoxLayout(g1);
  cbProvjeraPotpisa = ShownCheck("Provjera digitalnog potpisa", g1, v1);
  cbProvjeraCA = ShownCheck("Provjera puta certifikacije", g1, v1);
  cbProvjeraVal = ShownCheck("Provjera validnosti certifikata", g1, v1);
  auto* g2 = new QGroupBox(" Provjera ispravnosti certifikata kontakt osobe: ");
  g2->setEnabled(false);
  auto* v2 = new QVBoxLayout(g2);
  ShownCheck("Provjera puta certifikacije", g2, v2);
  ShownCheck("Provjera validnosti certifikata", g2, v2);
  v->addWidget(g1);
  v->addWidget(g2);
  v->addStretch();
  pcPostavke->addTab(tsPotpisi, "&Provjere potpisa/certifikata");
}

void TfmPostavke::BuildButtons() {
  btnPotvrdi = MakeButton(this, "Potvrdi", actPotvrdi);
  btnOdustani = MakeButton(this, "Odustani", nullptr);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnPotvrdi);
  buttons->addWidget(btnOdustani);
  auto* top = new QVBoxLayout(this);
  top->addWidget(pcPostavke);
  top->addLayout(buttons);
  // Sized to its content: every tab title in view, at least 390 by 310.
  pcPostavke->setUsesScrollButtons(false);
  setFixedSize(sizeHint().expandedTo(QSize(390, 310)));
}

void TfmPostavke::ConnectCommands() {
  connect(actPotvrdi, &QAction::triggered, this, [this] { actPotvrdiExecute(); });
  connect(btnOdustani, &QPushButton::clicked, this, [this] { done(mrCancel); });
  connect(actBFOutDir, &QAction::triggered, this,
          [this] { Browse(edOutPath, "Izlazni direktorij za dekriptirane datoteke"); });
  connect(actBFRootCert, &QAction::triggered, this,
          [this] { Browse(edRootCertDir, "Direktorij za spremanje certifikata izdavatelja"); });
  connect(actBFUserCert, &QAction::triggered, this,
          [this] { Browse(edUserCertDir, QStringLiteral("Direktorij za spremanje korisničkih certifikata")); });
}

void TfmPostavke::Browse(QLineEdit* edit, const QString& caption) {
  const QString folder = BrowseForFolder(edit->text().trimmed(), caption);
  if (!folder.isEmpty()) edit->setText(folder);
}

void TfmPostavke::showEvent(QShowEvent* event) {
  pcPostavke->setTabVisible(pcPostavke->indexOf(tsPotpisi), !IsCustomerEdition());
  QDialog::showEvent(event);
}

void TfmPostavke::FillControls() {
  lwTipoviDat->clear();
  const QString packed = Settings ? Settings->PackedFileExt : QStringLiteral("enc");
  auto addRow = [this](const QString& ext, const QString& description) {
    auto* item = new QTreeWidgetItem(lwTipoviDat, {ext, description});
    item->setFlags((item->flags() | Qt::ItemIsUserCheckable) & ~Qt::ItemIsEditable);
    item->setCheckState(0, FileTypeRegistered(ext) ? Qt::Checked : Qt::Unchecked);
  };
  addRow("sgn", kSignedFileDescription);
  addRow(packed, kEncryptedFileDescription);
  if (!Settings) return;
  (Settings->LogoutOnExit ? rbOdjaviSe : rbOstaniPrijavljen)->setChecked(true);
  cbDodajDatum->setChecked(Settings->PackedNameWithDate);
  edPackedExt->setText(Settings->PackedFileExt);
  cbRadSMbr->setChecked(Settings->WorkWithMBR);
  edOutPath->setText(Settings->OutputPath);
  edRootCertDir->setText(Settings->CaCertDirectory);
  edUserCertDir->setText(Settings->UserCertDirectory);
  (Settings->ShowSNCertAsDecimal ? rbDecimalno : rbHeksadecimalno)->setChecked(true);
  cbProvjeraCA->setChecked(Settings->CheckCertPath);
  cbProvjeraVal->setChecked(Settings->CheckCertValidity);
}

void TfmPostavke::actPotvrdiExecute() {
  // Write failures of single settings are not reported, as the dialog always did.
  auto writeText = [](const char* name, const QString& text) {
    const QString t = text.trimmed();
    if (!t.isEmpty()) WriteSettingText(name, t);
  };
  WriteSettingBool(kRegLogoutOnExit, rbOdjaviSe->isChecked());
  WriteSettingBool(kRegPackedNameWithDate, cbDodajDatum->isChecked());
  writeText(kRegPackedFileExt, edPackedExt->text());
  WriteSettingBool(kRegWorkWithMBR, cbRadSMbr->isChecked());
  writeText(kRegOutputPath, edOutPath->text());
  writeText(kRegCaCertDirectory, edRootCertDir->text());
  writeText(kRegUserCertDirectory, edUserCertDir->text());
  WriteSettingBool(kRegShowSNCertAsDecimal, rbDecimalno->isChecked());
  for (int i = 0; i < lwTipoviDat->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = lwTipoviDat->topLevelItem(i);
    if (row->checkState(0) == Qt::Checked)
      RegisterFileType(row->text(0), row->text(1), i == 0 ? kVerbOpen : kVerbDecrypt);
    else
      UnregisterFileType(row->text(0));
  }
  done(mrYes);
}

bool RunSettingsDialog() {
  TfmPostavke dialog;
  dialog.pcPostavke->setCurrentIndex(0);
  Settings.reset();
  Settings = std::make_unique<TPostavkeRada>(InstallPath);
  dialog.FillControls();
  const int result = dialog.exec();
  if (result == mrYes) {
    Settings.reset();
    Settings = std::make_unique<TPostavkeRada>(InstallPath);
  }
  return result == mrYes;
}
