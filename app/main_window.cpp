#include "app/main_window.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <utility>

#include "app/about_box.h"
#include "app/contact_forms.h"
#include "app/data_sheet.h"
#include "app/email.h"
#include "app/file_associations.h"
#include "app/folder_tree.h"
#include "app/mbr_register.h"
#include "app/settings_dialog.h"
#include "app/signature_details.h"
#include "app/window_commands.h"
#include "card/acg_component.h"
#include "card/card_actions.h"
#include "card/card_objects.h"
#include "card/cert_list.h"
#include "card/certificate.h"
#include "card/cryptoki.h"
#include "card/registry.h"
#include "platform/ui_services.h"
#include "signing/activity_log.h"
#include "signing/decrypt.h"
#include "signing/encrypt.h"
#include "signing/encrypted_container.h"
#include "signing/extract_revoke.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
#include "signing/settings.h"
#include "signing/sign_file.h"
#include "signing/verify.h"

TfmMain* fmMain = nullptr;
std::function<void(TfmMain&, const QString&)> TfmMain::CommandLineRoad;
std::function<void(const QString&)> TfmMain::Trace;

// ---- rows that own their records ---------------------------------------------------

template <class RecordType, int TypeOffset>
TRecordRow<RecordType, TypeOffset>::TRecordRow(QTreeWidget* list, std::unique_ptr<RecordType> record)
    : QTreeWidgetItem(list, kType), Record(std::move(record)) {
  if (Record) ++live_;
}

template <class RecordType, int TypeOffset>
TRecordRow<RecordType, TypeOffset>::~TRecordRow() {
  if (Record) --live_;
}

template <class RecordType, int TypeOffset>
RecordType* TRecordRow<RecordType, TypeOffset>::RecordOf(const QTreeWidgetItem* item) {
  return item && item->type() == kType ? static_cast<const TRecordRow*>(item)->Record.get() : nullptr;
}

template <class RecordType, int TypeOffset>
int TRecordRow<RecordType, TypeOffset>::LiveRecords() {
  return live_;
}

template class TRecordRow<TSignerRecord, 1>;
template class TRecordRow<TRecipientRecord, 2>;

namespace {

// Widths of the status panels at start; panel 3 takes what is left of the bar.
constexpr int kPanelWidths[4] = {300, 100, 140, 50};
constexpr int kPanel2WidthWithoutMbr = 240;
constexpr int kPathRole = Qt::UserRole;

const QString kTagSelected = QStringLiteral("[Selektirana datoteka]");
const QString kTagDecrypt = QStringLiteral("[Dekripcija]");
const QString kTagCommandLine = QStringLiteral("[Otvaranje Preko Ext]");

void Log(const QString& tag, const QString& text) {
  if (ActivityLogOn) WriteActivityLog(ActivityLogStream, tag, text);
}

// Whether upperName (upper-cased) ends in the extension ext (upper-cased, with
// its dot). Only the end of the name counts, whatever its length.
bool EndsIn(const QString& upperName, const QString& ext) { return upperName.endsWith(ext); }

QString PackedExt() { return "." + (Settings ? Settings->PackedFileExt : QStringLiteral("enc")).toUpper(); }

bool IsPackedName(const QString& upperName) {
  return EndsIn(upperName, PackedExt()) || (IsCustomerEdition() && EndsIn(upperName, ".QVD"));
}

bool IsSignedName(const QString& upperName) { return EndsIn(upperName, ".SGN"); }

QString SerialShown(int32_t value, const QString& hex) {
  if (Settings && Settings->ShowSNCertAsDecimal) return QString::number(value);
  return hex;
}

QString DisplayName(const QString& subject) {
  return ContactCertList ? ContactCertList->GetUserDisplayName(subject) : subject;
}

QString Position(int i) { return QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0')); }

QTreeWidget* MakeList(QWidget* parent, const char* name, const QStringList& columns, const QList<int>& widths) {
  auto* list = new QTreeWidget(parent);
  list->setObjectName(QLatin1String(name));
  list->setRootIsDecorated(false);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setColumnCount(int(columns.size()));
  list->setHeaderLabels(columns);
  for (int i = 0; i < widths.size(); ++i) list->setColumnWidth(i, widths[i]);
  return list;
}

// A lower panel of the window, 120 high, whose one list fills it.
QWidget* MakeListPanel(QWidget* parent, const char* name) {
  auto* panel = new QWidget(parent);
  panel->setObjectName(QLatin1String(name));
  panel->setFixedHeight(120);
  auto* fill = new QVBoxLayout(panel);
  fill->setContentsMargins(0, 0, 0, 0);
  return panel;
}

}  // namespace

TfmMain::TfmMain(const QStringList& arguments, QWidget* parent) : QMainWindow(parent), arguments_(arguments) {
  // The variable names the window from the start of its creation, as the card
  // events during loading may reach it.
  fmMain = this;
  setObjectName("fmMain");
  BuildWidgets();
  // The recipient picker asks its question in the signature details window.
  SetRecipientWarning(ConfirmRecipientCertificates);
  BuildCardComponent();
  DUDComponent->Loaded();
  FormCreate();
}

TfmMain::~TfmMain() {
  if (fmMain == this) fmMain = nullptr;
}

void TfmMain::Step(const QString& name) {
  if (Trace) Trace(name);
}

// ---- widgets ---------------------------------------------------------------------

QAction* TfmMain::MakeAction(const char* name, const QString& caption, const QString& hint,
                             void (TfmMain::*execute)()) {
  QAction* action = MakeCommand(this, QLatin1String(name), caption, hint);
  if (execute) connect(action, &QAction::triggered, this, execute);
  return action;
}

void TfmMain::BuildActions() {
  MakeCommands();
  BuildMenus();
  BuildToolBar();
}

void TfmMain::MakeCommands() {
  actPrikaziOrigDat = MakeAction("actPrikaziOrigDat", "&Otvori datoteku", "Pregledavanje originale datoteke",
                                 &TfmMain::actPrikaziOrigDatExecute);
  actQVDPotpisivanje =
      MakeAction("actQVDPotpisivanje", "&Potpiši", "Potpisivanje datoteke", &TfmMain::actQVDPotpisivanjeExecute);
  actQVDPakiranje = MakeAction("actQVDPakiranje", "&Kriptiraj", "Priprema potpisane datoteke za slanje",
                               &TfmMain::actQVDPakiranjeExecute);
  actKriptAndSend = MakeAction("actKriptAndSend", "Kriptiraj i pošalji e-mail",
                               "Kriptiranje potpisane datoteke i slanje na e-mail", &TfmMain::actKriptAndSendExecute);
  actIzvlacenjeIzvorne =
      MakeAction("actIzvlacenjeIzvorne", "Pohrani &izvornu datoteku", "Pohranjivanje izvorne datoteke iz potpisane",
                 &TfmMain::actIzvlacenjeIzvorneExecute);
  actCoverPage = MakeAction("actCoverPage", "Ispiši podatke o &datoteci", "Ispis podataka o potpisanoj datoteci",
                            &TfmMain::actCoverPageExecute);
  actProvjeraPotpisa =
      MakeAction("actProvjeraPotpisa", "Dek&riptiraj", "Dekriptiranje datoteke", &TfmMain::actProvjeraPotpisaExecute);
  actSendeMail =
      MakeAction("actSendeMail", "Pošalji &e-mail", "Slanje datoteke e-poštom", &TfmMain::actSendeMailExecute);
  actPovuciPotpis = MakeAction("actPovuciPotpis", "Pov&uci potpis", "Povlačenje potpisa iz datoteke",
                               &TfmMain::actPovuciPotpisExecute);
  actDodajUKO = MakeAction("actDodajUKO", "&Dodaj u kontakt osobe", "Dodavanje pošiljatelja u listu kontakt osoba",
                           &TfmMain::actDodajUKOExecute);
  actDetPotpisa = MakeAction("actDetPotpisa", "&Analitika potpisa",
                             "Detaljan prikaz izvršenih provjera i njihovih rezultata", &TfmMain::actDetPotpisaExecute);
  actOsvjeziPrikaz =
      MakeAction("actOsvjeziPrikaz", "&Osvježi", "Osvježavanje prikaza", &TfmMain::actOsvjeziPrikazExecute);
  actOsvjeziPrikaz->setShortcut(QKeySequence(Qt::Key_F5));
  actOsvjeziPrikaz->setShortcutContext(Qt::WindowShortcut);
  addAction(actOsvjeziPrikaz);
  actEvidencijaMbr = MakeAction("actEvidencijaMbr", "&Evidencija matičnih brojeva",
                                "Ažuriranje evidencije matičnih brojeva", &TfmMain::actEvidencijaMbrExecute);
  actAdminKontaktOsoba = MakeAction("actAdminKontaktOsoba", "&Certifikati", "Administracija certifikata",
                                    &TfmMain::actAdminKontaktOsobaExecute);
  actPostavke = MakeAction("actPostavke", "&Postavke programa", "Podešavanje postavki rada programa",
                           &TfmMain::actPostavkeExecute);
  actOProgramu = MakeAction("actOProgramu", "&O programu", QString(), &TfmMain::actOProgramuExecute);
  actIzlaz = MakeAction("actIzlaz", "I&zlaz", "Kraj rada s programom", nullptr);
  connect(actIzlaz, &QAction::triggered, this, &QWidget::close);

  actZapAktivnosti = new QAction(this);
  actZapAktivnosti->setObjectName("actZapAktivnosti");
  actZapAktivnosti->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_L));
  actZapAktivnosti->setShortcutContext(Qt::WindowShortcut);
  connect(actZapAktivnosti, &QAction::triggered, this, &TfmMain::actZapAktivnostiExecute);
  addAction(actZapAktivnosti);
}

void TfmMain::BuildMenus() {
  // The file commands, as the "&Datoteka" menu holds them before its exit.
  auto fileCommands = [this](QMenu* menu) {
    menu->addActions({actPrikaziOrigDat, actQVDPotpisivanje, actQVDPakiranje, actKriptAndSend, actIzvlacenjeIzvorne});
    menu->addSeparator();
    menu->addAction(actCoverPage);
    menu->addSeparator();
    menu->addActions({actProvjeraPotpisa, actSendeMail});
  };
  mnuDatoteka = menuBar()->addMenu("&Datoteka");
  fileCommands(mnuDatoteka);
  // The card's login command goes in front of this separator once the card
  // component exists.
  loginSeparator_ = mnuDatoteka->addSeparator();
  mnuDatoteka->addAction(actIzlaz);
  mnuPregled = menuBar()->addMenu("&Pregled");
  mnuMaticniBroj = mnuPregled->addMenu("&Matični broj");
  mnuPregled->addActions({actEvidencijaMbr, actAdminKontaktOsoba, actPostavke});
  mnuPomoc = menuBar()->addMenu("P&omoć");
  mnuPomoc->addAction(actOProgramu);
  for (QMenu* menu : {mnuDatoteka, mnuPregled}) connect(menu, &QMenu::aboutToShow, this, &TfmMain::UpdateActions);

  pmDatoteke = new QMenu(this);
  pmDatoteke->setObjectName("pmDatoteke");
  fileCommands(pmDatoteke);
  pmPotpisnici = new QMenu(this);
  pmPotpisnici->setObjectName("pmPotpisnici");
  pmPotpisnici->addActions({actPovuciPotpis, actDodajUKO});
  pmPotpisnici->addSeparator();
  pmPotpisnici->addAction(actDetPotpisa);
}

void TfmMain::BuildToolBar() {
  // The tool bar's buttons carry the captions (the menus keep them on one line);
  // the longer ones take two lines, so that every command of the bar fits the
  // window's starting width instead of hiding behind the bar's overflow arrow.
  const std::pair<QAction*, const char*> twoLines[] = {
      {actPrikaziOrigDat, "Otvori\ndatoteku"},
      {actKriptAndSend, "Kriptiraj i\npošalji e-mail"},
      {actIzvlacenjeIzvorne, "Pohrani\nizvornu datoteku"},
      {actCoverPage, "Ispiši podatke\no datoteci"},
      {actPovuciPotpis, "Povuci\npotpis"},
  };
  for (const auto& [action, text] : twoLines) action->setIconText(QString::fromUtf8(text));
  tbAlati = addToolBar("Alati");
  tbAlati->setObjectName("tbAlati");
  tbAlati->setMovable(false);
  tbAlati->setToolButtonStyle(Qt::ToolButtonTextOnly);
  tbAlati->addActions({actPrikaziOrigDat, actQVDPotpisivanje, actQVDPakiranje, actKriptAndSend, actIzvlacenjeIzvorne});
  tbAlati->addSeparator();
  tbAlati->addAction(actCoverPage);
  tbAlati->addSeparator();
  tbAlati->addAction(actProvjeraPotpisa);
  tbAlati->addSeparator();
  tbAlati->addAction(actPovuciPotpis);
}

void TfmMain::BuildWidgets() {
  resize(722, 482);
  if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());

  BuildActions();

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->setChildrenCollapsible(false);
  BuildFolderTree(splitter);

  auto* right = new QWidget(splitter);
  auto* column = new QVBoxLayout(right);
  column->setContentsMargins(0, 0, 0, 0);
  BuildFilter(right, column);
  BuildFileList(right, column);
  BuildLowerLists(right, column);

  splitter->addWidget(stvListaDirektoija);
  splitter->addWidget(right);
  splitter->setSizes({185, 722 - 185});
  splitter->setStretchFactor(1, 1);
  setCentralWidget(splitter);

  BuildStatusBar();
}

void TfmMain::BuildFolderTree(QSplitter* splitter) {
  stvModel = new QFileSystemModel(this);
  stvModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::Drives);
  stvModel->setRootPath(QDir::rootPath());
  stvListaDirektoija = new QTreeView(splitter);
  stvListaDirektoija->setObjectName("stvListaDirektoija");
  stvListaDirektoija->setModel(stvModel);
  stvListaDirektoija->setHeaderHidden(true);
  for (int c = 1; c < stvModel->columnCount(); ++c) stvListaDirektoija->hideColumn(c);
  stvListaDirektoija->setMinimumWidth(120);
  stvFollower_ = new TFolderTreeFollower(stvListaDirektoija, stvModel);
  connect(stvListaDirektoija->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { stvListaDirektoijaChange(); });
}

void TfmMain::BuildFilter(QWidget* right, QVBoxLayout* column) {
  auto* filter = new QGroupBox(" Filter ", right);
  auto* filterRow = new QHBoxLayout(filter);
  rbIzvorne = new QRadioButton("Izvorne", filter);
  rbIzvorne->setObjectName("rbIzvorne");
  rbPotpisane = new QRadioButton("Potpisane", filter);
  rbPotpisane->setObjectName("rbPotpisane");
  rbPakirane = new QRadioButton("Kriptirane", filter);
  rbPakirane->setObjectName("rbPakirane");
  rbIzvorne->setChecked(true);
  for (QRadioButton* rb : {rbIzvorne, rbPotpisane, rbPakirane}) {
    filterRow->addWidget(rb);
    connect(rb, &QRadioButton::clicked, this, &TfmMain::rbIzvorneClick);
  }
  filterRow->addStretch(1);
  column->addWidget(filter);
}

void TfmMain::PopUpOnRequest(QTreeWidget* list, QMenu* menu) {
  list->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list, &QTreeWidget::customContextMenuRequested, this, [this, list, menu](const QPoint& at) {
    UpdateActions();
    menu->popup(list->viewport()->mapToGlobal(at));
  });
}

void TfmMain::BuildFileList(QWidget* right, QVBoxLayout* column) {
  slvDatoteke = new QTreeWidget(right);
  slvDatoteke->setObjectName("slvDatoteke");
  slvDatoteke->setRootIsDecorated(false);
  slvDatoteke->setHeaderHidden(true);
  slvDatoteke->setEditTriggers(QAbstractItemView::NoEditTriggers);
  slvDatoteke->setSelectionMode(QAbstractItemView::SingleSelection);
  PopUpOnRequest(slvDatoteke, pmDatoteke);
  connect(slvDatoteke, &QTreeWidget::itemSelectionChanged, this, &TfmMain::slvDatotekeChange);
  connect(slvDatoteke, &QTreeWidget::itemClicked, this, &TfmMain::slvDatotekeClick);
  connect(slvDatoteke, &QTreeWidget::itemDoubleClicked, this, &TfmMain::slvDatotekeDblClick);
  column->addWidget(slvDatoteke, 1);
}

void TfmMain::BuildLowerLists(QWidget* right, QVBoxLayout* column) {
  pnlPrimatelj = MakeListPanel(right, "pnlPrimatelj");
  lwPrimatelj = MakeList(pnlPrimatelj, "lwPrimatelj", {"SB certifikata", "Primatelj"}, {137, 320});
  pnlPrimatelj->layout()->addWidget(lwPrimatelj);
  pnlPrimatelj->hide();
  column->addWidget(pnlPrimatelj);

  pnlPotpisnici = MakeListPanel(right, "pnlPotpisnici");
  lvPotpisnici =
      MakeList(pnlPotpisnici, "lvPotpisnici", {"Rbr", "SB certifikata", "Potpisnik", "Potpis"}, {30, 137, 275, 70});
  PopUpOnRequest(lvPotpisnici, pmPotpisnici);
  connect(lvPotpisnici, &QTreeWidget::itemSelectionChanged, this, &TfmMain::UpdateActions);
  pnlPotpisnici->layout()->addWidget(lvPotpisnici);
  column->addWidget(pnlPotpisnici);
}

void TfmMain::BuildStatusBar() {
  // Panel 0 is the bar's own message area, where the hints of the commands go;
  // panels 1 to 3 follow it in order on the right.
  QStatusBar* bar = statusBar();
  bar->setObjectName("sbStatusi");
  const QString texts[4] = {QString(), kPanelMbr, kPanelCertSerial, kPanelCardSerial};
  for (int i = 1; i < 4; ++i) {
    panels_[i] = new QLabel(texts[i], bar);
    panels_[i]->setObjectName(QStringLiteral("sbPanel%1").arg(i));
    panels_[i]->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    bar->addPermanentWidget(panels_[i]);
  }
  // The widths are each panel's least: a text that needs more (a long serial in
  // this font) widens its panel rather than being cut off.
  panels_[1]->setMinimumWidth(kPanelWidths[1]);
  panels_[2]->setMinimumWidth(kPanelWidths[2]);
  panels_[3]->setMinimumWidth(kPanelWidths[3]);
}

void TfmMain::BuildCardComponent() {
  DUDComponent = new TACGComponent(this);
  DUDComponent->setObjectName("DUDComponent");
  TACGComponent& c = *DUDComponent;
  c.CheckInitRSAFunkc = true;
  c.DefaultPKCS11DLL = QStringLiteral("acpkcs.dll");
  c.DefaultProgramReg = QStringLiteral("SOFTWARE\\VodezOdir\\%s");
  c.SetAutoMode(amLogin);
  c.EnableWorkWithoutPKCS = true;
  c.EnterPINfmCaption = QStringLiteral("Prijava na karticu");
  c.EnterPINlbCaption = QStringLiteral("Unesite PIN");
  c.LogOutOnClose = false;
  c.PinPrompt = true;
  c.PKCS11DLLReg = QStringLiteral("SOFTWARE\\VodezOdir\\%s\\PKCS #11 DLL");
  c.RootRegKey = HKEY_LOCAL_MACHINE;

  c.OnAfterLogin = [this](TACGComponent* s) { DUDComponentAfterLogin(s); };
  c.OnAfterLogout = [this](TACGComponent* s) { DUDComponentAfterLogout(s); };
  c.OnInsertRemoveCard = [this](CK_SESSION_HANDLE h, CK_NOTIFICATION e, void* app) {
    DUDComponentInsertRemoveCard(h, e, app);
  };
  auto error = [this](TACGComponent* s, int code, const QString& text) { DUDComponentLoginError(s, code, text); };
  c.OnLoginError = error;
  c.OnLogoutError = error;
  c.OnCloseSessionError = error;
  c.OnOpenSessionError = error;
  c.OnOtherError = error;

  DUDLogin1 = new TACGLogin(this);
  DUDLogin1->setObjectName("DUDLogin1");
  DUDLogin1->setTarget(this);
  // Working without a card is not for the rest of the run: the login can be asked
  // for again from the menu, before the exit.
  mnuDatoteka->insertAction(loginSeparator_, DUDLogin1);
  mnuDatoteka->insertSeparator(DUDLogin1);

  // The commands follow every change of the card's state at once (a removal logs
  // out only after its logout event has run), and, as update handlers do, every
  // time the program falls idle.
  connect(DUDComponent, &TACGComponent::StateChanged, this, [this] {
    UpdateActions();
    FollowCardWhileLoggedOut();
  });
  cardWatch_ = new QTimer(this);
  cardWatch_->setInterval(kCardWatchInterval);
  connect(cardWatch_, &QTimer::timeout, this, &TfmMain::CardWatchTick);
  if (QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance())
    connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, &TfmMain::UpdateActions);
}

// ---- status bar ------------------------------------------------------------------

QLabel* TfmMain::StatusPanel(int index) const { return index >= 1 && index <= 3 ? panels_[index] : nullptr; }

QString TfmMain::PanelText(int index) const {
  if (index == 0) return statusBar()->currentMessage();
  QLabel* p = StatusPanel(index);
  return p ? p->text() : QString();
}

int TfmMain::PanelWidth(int index) const {
  if (index == 0) return kPanelWidths[0];
  QLabel* p = StatusPanel(index);
  if (!p || p->isHidden()) return 0;
  return p->minimumWidth();
}

QString TfmMain::SerialText() const {
  if (Settings && Settings->ShowSNCertAsDecimal) return QString::number(DUDComponent->UserCertSerial);
  return DUDComponent->UserCertSerialHex;
}

QString TfmMain::TokenSerial() const {
  const auto* s = reinterpret_cast<const char*>(DUDComponent->TokenInfo.serialNumber);
  const size_t max = sizeof DUDComponent->TokenInfo.serialNumber;
  size_t n = 0;
  while (n < max && s[n] != '\0') ++n;
  return QString::fromLatin1(s, qsizetype(n));
}

void TfmMain::ShowLoginPanels() {
  panels_[2]->setText(kPanelCertSerial + SerialText());
  panels_[3]->setText(kPanelCardSerial + " " + TokenSerial());
}

void TfmMain::ApplyMbrVisibility(bool workWithMbr) {
  mnuMaticniBroj->menuAction()->setVisible(workWithMbr);
  actEvidencijaMbr->setVisible(workWithMbr);
  panels_[1]->setVisible(workWithMbr);
  panels_[2]->setMinimumWidth(workWithMbr ? kPanelWidths[2] : kPanel2WidthWithoutMbr);
}

// ---- lifecycle ---------------------------------------------------------------------

void TfmMain::FormCreate() {
  Step("FormCreate");
  TempFileList = std::make_unique<QStringList>();
  SetUpProgramGlobals(kApplicationTitle);
  setWindowTitle(VersionText);
  Settings = std::make_unique<TPostavkeRada>(InstallPath);
  if (DUDComponent->LoggedIn) ShowLoginPanels();
  if (!Settings->LastPath.isEmpty() && arguments_.isEmpty()) SetCurrentFolder(Settings->LastPath);
  ApplyMbrVisibility(Settings->WorkWithMBR);
  if (!DUDComponent->LibraryInitialized && !DUDComponent->EnableWorkWithoutPKCS) {
    Ui().requestTerminate();
    return;
  }
  actOProgramu->setStatusTip("O programu " + kApplicationTitle);
  actOProgramu->setToolTip(actOProgramu->statusTip());
  delete ContactCertList;
  ContactCertList = new TCertList;
  ContactCertList->RootFolder = Settings->CaCertDirectory;
  ContactCertList->UserFolder = Settings->UserCertDirectory;
  ContactCertList->LoadAll();
}

void TfmMain::FormShow() {
  Step("FormShow");
  AutoExtract = false;
  rbIzvorneClick();
  SelectedMbr = ReadSelectedMbr();
  const bool mbr = Settings && Settings->WorkWithMBR;
  panels_[1]->setText(mbr ? "Mbr: " + SelectedMbr : QString());
  panels_[2]->setText(DUDComponent->LoggedIn ? kPanelCertSerial + SerialText() : kPanelLoggedOut);
  panels_[3]->setText(kPanelCardSerial + " " + TokenSerial());
  if (mbr) BuildMbrMenu();
  if (Settings) DUDComponent->LogOutOnClose = Settings->LogoutOnExit;
  FollowCardWhileLoggedOut();
  if (arguments_.isEmpty()) return;
  if (CommandLineRoad)
    CommandLineRoad(*this, arguments_.first());
  else
    OpenCommandLineFile(arguments_.first());
}

void TfmMain::FormClose() {
  if (closed_) return;
  closed_ = true;
  Step("FormClose");
  if (TempFileList) {
    for (const QString& file : *TempFileList) QFile::remove(file);
    TempFileList.reset();
  }
  DUDComponent->CloseSession();
  RegWriteValue(RegRootCurrentUser, SettingsKey, QLatin1String(kRegLastPath), CurrentFolder());
}

void TfmMain::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

// ---- card events ---------------------------------------------------------------------

void TfmMain::DUDComponentAfterLogin(TACGComponent*) {
  Step(Settings ? "AfterLogin" : "AfterLogin without settings");
  if (Settings && DUDComponent->LoggedIn) ShowLoginPanels();
  UpdateActions();
}

void TfmMain::DUDComponentAfterLogout(TACGComponent*) {
  panels_[2]->setText(kPanelLoggedOut);
  UpdateActions();
}

void TfmMain::DUDComponentInsertRemoveCard(CK_SESSION_HANDLE, CK_NOTIFICATION event, void*) {
  // A removal asks for the card at once; a card put in while no one is logged in
  // (the user chose to work without one, or the card was out) offers the login
  // again, as the card's notice has just closed any session.
  if (event != 2 && event != kCardPresentEvent) return;
  if (event == 2) panels_[3]->setText(QString());
  if (event == kCardPresentEvent && DUDComponent->LoggedIn) return;
  if (DUDComponent->AutoMode() == amLogin && !DUDComponent->LoginInProgress) {
    DUDLogin1->update();
    DUDLogin1->trigger();
  }
}

void TfmMain::FollowCardWhileLoggedOut() {
  TACGComponent& c = *DUDComponent;
  const bool watch = c.LibraryInitialized && !c.LoggedIn && c.AutoMode() == amLogin;
  if (watch == cardWatch_->isActive()) return;
  if (!watch) {
    cardWatch_->stop();
    return;
  }
  // A card that is in already when the watch begins was the user's choice to
  // work without; only a card put in from now on offers the login.
  watchedCardPresent_ = CardInReader();
  cardWatch_->start();
}

bool TfmMain::CardInReader() const {
  CK_ULONG count = 0;
  return cryptoki::C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK && count > 0;
}

void TfmMain::CardWatchTick() {
  TACGComponent& c = *DUDComponent;
  if (!c.LibraryInitialized || c.LoggedIn) {
    FollowCardWhileLoggedOut();
    return;
  }
  const bool present = CardInReader();
  if (c.LoginInProgress) {
    // The PIN dialog follows the card itself; whatever the user chooses there
    // was chosen with the card as it is now.
    watchedCardPresent_ = present;
    return;
  }
  // Another window the user is answering: the login waits for it.
  if (QApplication::activeModalWidget()) return;
  const bool inserted = present && !watchedCardPresent_;
  watchedCardPresent_ = present;
  // Without a session no card notice comes: the insertion is seen here.
  if (inserted) {
    DUDLogin1->update();
    DUDLogin1->trigger();
  }
}

void TfmMain::DUDComponentLoginError(TACGComponent*, int errorCode, const QString& errorString) {
  if (errorCode <= 0) return;
  Ui().messageBox(MsgKind::Error, errorString + " [Error code=" + QString::number(errorCode) + "]");
}

// ---- commands ------------------------------------------------------------------------

void TfmMain::actZapAktivnostiExecute() {
  ActivityLogOn = !ActivityLogOn;
  if (ActivityLogOn) {
    QFile* log = OpenActivityLogFile(InstallPath);
    if (!log) {
      // Without an open file the log stays off, so no writer ever sees the flag set
      // without a stream.
      ActivityLogOn = false;
      Ui().messageBox(MsgKind::Error, kMsgActivityLogFailed + ActivityLogFileName(InstallPath) + "]");
      return;
    }
    delete ActivityLogStream;
    ActivityLogStream = log;
    Ui().messageBox(MsgKind::Information, kMsgActivityLogOn);
  } else {
    if (ActivityLogStream) {
      ActivityLogStream->close();
      delete ActivityLogStream;
      ActivityLogStream = nullptr;
    }
    Ui().messageBox(MsgKind::Information, kMsgActivityLogOff);
  }
}

// ---- folder tree -----------------------------------------------------------------------

QString TfmMain::CurrentFolder() const {
  const QModelIndex index = stvListaDirektoija->currentIndex();
  if (!index.isValid()) return QString();
  return stvModel->filePath(index);
}

void TfmMain::SetCurrentFolder(const QString& folder) { stvFollower_->Follow(folder); }

// ---- registration numbers ----------------------------------------------------------

QString TfmMain::ReadSelectedMbr() {
  QString value;
  if (!Settings || RegReadValue(RegRootCurrentUser, Settings->RegKeyNameForMBR, QStringLiteral("0"), value) != 0)
    return QString();
  return value;
}

void TfmMain::BuildMbrMenu() {
  for (QAction* a : mnuMaticniBroj->actions()) {
    mnuMaticniBroj->removeAction(a);
    a->deleteLater();  // the item being clicked may be among them
  }
  const QString key = Settings ? Settings->RegKeyNameForMBR : QString();
  for (int n = 1;; ++n) {
    QString number;
    if (key.isEmpty() || RegReadValue(RegRootCurrentUser, key, QString::number(n), number) != 0) break;
    QString caption = number;
    auto* item = new QAction(caption.replace('&', "&&"), mnuMaticniBroj);
    item->setCheckable(true);
    item->setChecked(number == SelectedMbr);
    connect(item, &QAction::triggered, this, [this, number] {
      SetSelectedMbr(number);
      BuildMbrMenu();
    });
    mnuMaticniBroj->addAction(item);
  }
  if (mnuMaticniBroj->actions().isEmpty()) {
    auto* none = new QAction(kMbrNone, mnuMaticniBroj);
    none->setEnabled(false);
    mnuMaticniBroj->addAction(none);
  }
}

void TfmMain::SetSelectedMbr(const QString& number) {
  SelectedMbr = number;
  panels_[1]->setText("Mbr: " + number);
  if (Settings) RegWriteValue(RegRootCurrentUser, Settings->RegKeyNameForMBR, QStringLiteral("0"), number);
}

// ---- lists ---------------------------------------------------------------------------

void TfmMain::ClearLists() {
  // The rows own their records: deleting a row frees its record and its buffers.
  lvPotpisnici->clear();
  lwPrimatelj->clear();
  UpdateActions();
}

void TfmMain::rbIzvorneClick() {
  ClearLists();
  {
    const QSignalBlocker quiet(slvDatoteke);
    slvDatoteke->clearSelection();
    slvDatoteke->setCurrentItem(nullptr);
  }
  setWindowTitle(VersionText);
  pnlPotpisnici->setVisible(rbPotpisane->isChecked());
  pnlPrimatelj->setVisible(rbPakirane->isChecked());
  actOsvjeziPrikazExecute();
}

bool TfmMain::CheckedFilterIsSigned() const { return rbPotpisane->isChecked(); }

bool TfmMain::FileShown(const QString& fileName) const {
  const QString name = fileName.toUpper();
  if (rbPotpisane->isChecked()) return IsSignedName(name);
  if (rbPakirane->isChecked()) return IsPackedName(name);
  return !IsPackedName(name) && !IsSignedName(name);
}

void TfmMain::FillFileList() {
  const QString keep = SelectedFile();
  const QSignalBlocker quiet(slvDatoteke);
  slvDatoteke->clear();
  const QString folder = CurrentFolder();
  if (folder.isEmpty()) return;
  const QFileInfoList entries =
      QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name | QDir::IgnoreCase);
  for (const QFileInfo& entry : entries) {
    if (!FileShown(entry.fileName())) continue;
    auto* item = new QTreeWidgetItem(slvDatoteke, {entry.fileName()});
    item->setData(0, kPathRole, entry.absoluteFilePath());
    if (!keep.isEmpty() && entry.absoluteFilePath() == keep) {
      slvDatoteke->setCurrentItem(item);
      item->setSelected(true);
    }
  }
}

QString TfmMain::SelectedFile() const {
  const QList<QTreeWidgetItem*> selected = slvDatoteke->selectedItems();
  return selected.isEmpty() ? QString() : selected.first()->data(0, kPathRole).toString();
}

QTreeWidgetItem* TfmMain::FileItem(const QString& fileName) const {
  for (int i = 0; i < slvDatoteke->topLevelItemCount(); ++i)
    if (slvDatoteke->topLevelItem(i)->text(0) == fileName) return slvDatoteke->topLevelItem(i);
  return nullptr;
}

void TfmMain::SelectFileItem(QTreeWidgetItem* item) {
  if (!item) {
    slvDatoteke->clearSelection();
    return;
  }
  slvDatoteke->setCurrentItem(item);
  item->setSelected(true);
}

void TfmMain::ShowSelectedCaption() {
  const QString file = SelectedFile();
  setWindowTitle(file.isEmpty() ? VersionText : VersionText + " [" + file + "]");
}

void TfmMain::stvListaDirektoijaChange() {
  setWindowTitle(VersionText);
  ClearLists();
  // The list must be complete at once: the command-line road looks for its file in it.
  FillFileList();
  UpdateActions();
}

void TfmMain::slvDatotekeChange() {
  if (!rbIzvorne->isChecked()) ClearLists();
  ShowSelectedCaption();
  UpdateActions();
}

void TfmMain::slvDatotekeDblClick() {
  const QString file = SelectedFile();
  if (rbIzvorne->isChecked() && !file.isEmpty()) ShellOpenFile(file);
}

void TfmMain::actOsvjeziPrikazExecute() {
  if (!rbIzvorne->isChecked()) ClearLists();
  FillFileList();
  slvDatotekeClick();
}

void TfmMain::slvDatotekeClick() {
  const QList<QTreeWidgetItem*> selected = slvDatoteke->selectedItems();
  Log(kTagSelected, "Broj selektiranih: " + QString::number(selected.size()));
  const QString file = SelectedFile();
  if (file.isEmpty() || !QFileInfo(file).isFile()) {
    UpdateActions();
    return;
  }
  setWindowTitle(VersionText + " [" + file + "]");
  Log(kTagSelected, "Naziv datoteke: " + file);

  if (rbPotpisane->isChecked()) {
    Ui().setWaitCursor(true);
    // Read through the strict reader in bounded memory, not into one buffer of the
    // file's size.
    TSignerList records;
    VerifySignedFile(file, records);
    ClearLists();
    const TDateTime now = TCertifikat::Now();
    int i = 0;
    for (TSignerRecord& record : records) {
      auto owned = std::make_unique<TSignerRecord>(std::move(record));
      if (ContactCertList && Settings) CheckSignerStates(*owned, *ContactCertList, *Settings, now);
      auto* row = new TSignerRow(lvPotpisnici, std::move(owned));
      const TSignerRecord& r = *row->Record;
      row->setText(0, QString::number(++i));
      row->setText(1, SerialShown(r.SerialValue, r.SerialText));
      row->setText(2, DisplayName(r.Subject));
      row->setText(3, r.ValidOverall ? kSigValid : kSigInvalid);
    }
    Ui().setWaitCursor(false);
  } else if (rbPakirane->isChecked()) {
    Ui().setWaitCursor(true);
    TRecipientList records;
    ParseRecipientsFile(file, records);
    ClearLists();
    for (TRecipientRecord& record : records) {
      auto* row = new TRecipientRow(lwPrimatelj, std::make_unique<TRecipientRecord>(std::move(record)));
      const TRecipientRecord& r = *row->Record;
      const QString name = DisplayName(r.Subject);
      row->setText(0, SerialShown(r.SerialValue, r.SerialText));
      row->setText(1, name);
      Log(kTagSelected, "Primatelj kriptirane datoteke: " + name);
    }
    Ui().setWaitCursor(false);
  }
  UpdateActions();
}

// ---- enabling rules ---------------------------------------------------------------------

void TfmMain::UpdateActions() {
  if (!actPrikaziOrigDat || !lvPotpisnici || !lwPrimatelj) return;
  const bool file = !SelectedFile().isEmpty();
  const bool loggedIn = DUDComponent && DUDComponent->LoggedIn;
  const bool plain = rbIzvorne->isChecked(), sgn = rbPotpisane->isChecked(), enc = rbPakirane->isChecked();
  const bool signers = lvPotpisnici->topLevelItemCount() > 0;
  const bool recipients = lwPrimatelj->topLevelItemCount() > 0;
  const QList<QTreeWidgetItem*> chosen = lvPotpisnici->selectedItems();
  const bool signerSelected = !chosen.isEmpty();

  actPrikaziOrigDat->setEnabled((plain || sgn) && file);
  actQVDPotpisivanje->setEnabled(loggedIn && file && (plain || (sgn && signers)));
  const bool signedWithSigners = sgn && file && signers;
  actQVDPakiranje->setEnabled(signedWithSigners);
  actKriptAndSend->setEnabled(signedWithSigners);
  actIzvlacenjeIzvorne->setEnabled(signedWithSigners);
  actCoverPage->setEnabled(signedWithSigners);
  actProvjeraPotpisa->setEnabled(loggedIn && enc && file && recipients);
  actSendeMail->setEnabled(enc && file && recipients);
  bool own = false;
  if (loggedIn && !enc && file && signerSelected) {
    const QString column = chosen.first()->text(1);
    if (Settings && Settings->ShowSNCertAsDecimal) {
      bool ok = false;
      const int value = column.toInt(&ok);
      own = ok && value == DUDComponent->UserCertSerial;
    } else {
      own = !column.isEmpty() && column == DUDComponent->UserCertSerialHex;
    }
  }
  actPovuciPotpis->setEnabled(own);
  actDodajUKO->setEnabled(sgn && file && signerSelected);
  actDetPotpisa->setEnabled(sgn && signers);
}

// ---- commands on the selection -------------------------------------------------------------

void TfmMain::actQVDPotpisivanjeExecute() {
  const QString ownSerial = DUDComponent->UserCertSerialHex;
  for (int i = 0; i < lvPotpisnici->topLevelItemCount(); ++i) {
    const TSignerRecord* r = TSignerRow::RecordOf(lvPotpisnici->topLevelItem(i));
    if (r && !ownSerial.isEmpty() && r->SerialText == ownSerial) {
      Ui().messageBox(MsgKind::Warning, kMsgAlreadySigner);
      return;
    }
  }
  const QString file = SelectedFile();
  if (file.isEmpty()) return;
  Ui().setWaitCursor(true);
  Ui().processPendingMessages();
  struct NormalCursor {
    ~NormalCursor() { Ui().setWaitCursor(false); }
  } normal;

  CK_OBJECT_HANDLE key = 0;
  const int found = FindPrivateKey(CurrentSession, key, true);
  if (found == 0) {
    Ui().messageBox(MsgKind::Warning, kMsgNoPrivateKey);
    return;
  }
  if (found < 0) return;
  if (DUDComponent->UserCertSerial == 0 || !DUDComponent->UserCertificate) {
    Ui().messageBox(MsgKind::Warning, kMsgNoCertificate);
    return;
  }
  TCertifikat& card = *DUDComponent->UserCertificate;
  if (card.UpdateExpired() >= 1) {
    const QString question = "Validnost certifikata na kartici istekla [vrijedi do " + ValidToText(card.ValidTo) +
                             "]. Želite li nastaviti potpisivanje?";
    if (Ui().messageBox(MsgKind::Confirmation, question) != mrYes) return;
  }
  if (FileSizeByStream(file) == 0) {
    Ui().messageBox(MsgKind::Error, "Datoteka " + file + " je prazna !");
    return;
  }
  const int32_t result = SignFile(CurrentSession, InstallPath, file, true, DUDComponent->UserCertSerial, 0, true);
  Ui().setWaitCursor(false);
  Ui().processPendingMessages();
  if (result == sfrOk) {
    if (rbPotpisane->isChecked()) slvDatotekeClick();
    return;
  }
  const QString why = SignFileSystemErrorText();
  Ui().messageBox(MsgKind::Error, kMsgSignErrorHead + "\r\n" + file + "\r\n" + SignFileResultLine(result) +
                                      (why.isEmpty() ? QString() : "\r\n" + why));
}

void TfmMain::actQVDPakiranjeExecute() { EncryptSelected(false); }

void TfmMain::actKriptAndSendExecute() { EncryptSelected(true); }

void TfmMain::EncryptSelected(bool send) {
  const QString file = SelectedFile();
  if (file.isEmpty()) return;
  if (Settings && Settings->WorkWithMBR && SelectedMbr.isEmpty()) {
    Ui().messageBox(MsgKind::Information, kMsgNoMbr);
    return;
  }
  if (!ContactCertList || ContactCertList->UserCertificates.empty()) {
    Ui().messageBox(MsgKind::Error, kMsgNoContacts);
    return;
  }
  if (!fmUserCertList) fmUserCertList = new TfmUserCertList;
  const int good = fmUserCertList->CheckGoodContacts();
  if ((ContactCertList->UserCertificates.size() > 1 || good == 0) && !SelectRecipients()) return;
  for (TCertifikat* cert : fmUserCertList->CheckedContacts()) {
    const QString name = cert->DisplayName.isEmpty() ? cert->SubjectText : cert->DisplayName;
    QString out;
    const int32_t result = EncryptForRecipient(SelectedMbr, InstallPath, file, out, true, kReportBoxes, *cert);
    if (result == kEncryptOk) {
      if (send)
        SendFileByMail(out, cert->EMail, name);
      else
        Ui().messageBox(MsgKind::Information, kMsgEncSuccess1 + name + "\"!");
    } else if (result > 0) {
      Ui().messageBox(MsgKind::Error, kMsgEncPackingFailed);
    }
  }
  Ui().setWaitCursor(false);
}

void TfmMain::actProvjeraPotpisaExecute() {
  Log(kTagDecrypt, "Ulaz u Dekripciju");
  LastDecryptedFile.clear();
  TRecipientList recipients;
  for (int i = 0; i < lwPrimatelj->topLevelItemCount(); ++i)
    if (const TRecipientRecord* r = TRecipientRow::RecordOf(lwPrimatelj->topLevelItem(i))) recipients.push_back(*r);
  // The command-line road runs this without a recipient row as well.
  Log(kTagDecrypt, "Primatelj: " + (recipients.empty() ? QString() : recipients.front().Subject));
  const QString file = SelectedFile();
  if (file.isEmpty()) return;
  QString folder;
  if (Settings && !Settings->OutputPath.isEmpty() && QFileInfo(Settings->OutputPath).isDir())
    folder = Settings->OutputPath;
  else
    folder = QFileInfo(file).absolutePath();
  Ui().setWaitCursor(true);
  Log(kTagDecrypt, "Datoteka: " + file + "; Izlazni direktorij: " + folder);
  DecryptEncodedFile(DUDComponent->SessionHandle, InstallPath, file, folder, DUDComponent->UserCertSerialHex,
                     kReportBoxes, recipients);
  Ui().setWaitCursor(false);
}

void TfmMain::actSendeMailExecute() {
  const QString file = SelectedFile();
  const TRecipientRecord* first =
      lwPrimatelj->topLevelItemCount() > 0 ? TRecipientRow::RecordOf(lwPrimatelj->topLevelItem(0)) : nullptr;
  if (file.isEmpty() || !first) return;
  const QString address = ContactCertList ? ContactCertList->GetUserEMail(first->Subject) : QString();
  SendFileByMail(file, address, DisplayName(first->Subject));
}

void TfmMain::actPovuciPotpisExecute() {
  const QString file = SelectedFile();
  const QList<QTreeWidgetItem*> chosen = lvPotpisnici->selectedItems();
  const TSignerRecord* record = chosen.isEmpty() ? nullptr : TSignerRow::RecordOf(chosen.first());
  if (file.isEmpty() || !record) return;
  try {
    RevokeSignature(file, *record);
  } catch (const EFileError& e) {
    // The container is unchanged; the user sees why.
    Ui().messageBox(MsgKind::Error, e.Text());
  }
  slvDatotekeClick();
}

void TfmMain::actIzvlacenjeIzvorneExecute() {
  int bad = 0;
  for (int i = 0; i < lvPotpisnici->topLevelItemCount(); ++i) {
    const TSignerRecord* r = TSignerRow::RecordOf(lvPotpisnici->topLevelItem(i));
    if (r && r->ValidOverall == 0) ++bad;
  }
  QString question;
  if (bad == 1)
    question = kMsgOneBadSignature;
  else if (bad > 1)
    question = "Potpisana datoteka ima neispravnih potpisa (" + QString::number(bad) + "). Želite li nastaviti?";
  if (!question.isEmpty() && ConfirmSignatures(question, lvPotpisnici) != mrYes) return;
  const QString file = SelectedFile();
  if (file.isEmpty()) return;
  QString target;
  try {
    if (AutoExtract) {
      ExtractOriginalFile(file, emAutomatic, target);
      if (!target.isEmpty() && QFileInfo::exists(target))
        Ui().messageBox(MsgKind::Information, kMsgOriginalSaved + target + "]");
    } else {
      ExtractOriginalFile(file, emSaveAs, target);
    }
  } catch (const EFileError& e) {
    Ui().messageBox(MsgKind::Error, e.Text());
  }
  Ui().setWaitCursor(false);
}

void TfmMain::actPrikaziOrigDatExecute() {
  const QString file = SelectedFile();
  if (file.isEmpty()) return;
  QString copy;
  try {
    ExtractOriginalFile(file, emView, copy);
  } catch (const EFileError& e) {
    Ui().messageBox(MsgKind::Error, e.Text());
  }
  Ui().setWaitCursor(false);
  if (!copy.isEmpty() && TempFileList) TempFileList->append(copy);
}

void TfmMain::actDodajUKOExecute() {
  const QList<QTreeWidgetItem*> chosen = lvPotpisnici->selectedItems();
  const TSignerRecord* record = chosen.isEmpty() ? nullptr : TSignerRow::RecordOf(chosen.first());
  if (!record || !ContactCertList) return;
  auto cert = std::make_unique<TCertifikat>();
  QString error;
  if (!cert->LoadFromMemory(record->Certificate.data(), record->CertificateLength(), error, true)) return;
  ContactCertList->CheckAgainstRoots(*cert);
  if (ContactCertList->UserExists(*cert)) {
    Ui().messageBox(MsgKind::Error, kMsgContactExists);
    return;
  }
  if (RunAddContactDialog(cert)) Ui().messageBox(MsgKind::Information, kMsgContactAdded);
}

void TfmMain::actDetPotpisaExecute() { ShowSignatureDetails(lvPotpisnici); }

void TfmMain::actCoverPageExecute() {
  const QString file = SelectedFile();
  if (file.isEmpty()) return;
  RunDataSheet(file, SignerRecordsOf(lvPotpisnici));
}

// ---- commands of the program -----------------------------------------------------------------

void TfmMain::actEvidencijaMbrExecute() {
  SelectedMbr = RunMbrDialog();
  panels_[1]->setText("Mbr: " + SelectedMbr);
  BuildMbrMenu();
}

void TfmMain::actAdminKontaktOsobaExecute() { RunContactListDialog(); }

void TfmMain::actPostavkeExecute() {
  if (!RunSettingsDialog() || !Settings) return;
  if (ContactCertList) {
    ContactCertList->RootFolder = Settings->CaCertDirectory;
    ContactCertList->UserFolder = Settings->UserCertDirectory;
    ContactCertList->LoadAll();
  }
  RefreshContactListWindow();
  DUDComponent->LogOutOnClose = Settings->LogoutOnExit;
  if (DUDComponent->LoggedIn) panels_[2]->setText(kPanelCertSerial + SerialText());
  if (!rbIzvorne->isChecked()) slvDatotekeClick();
  const bool mbr = Settings->WorkWithMBR;
  mnuMaticniBroj->menuAction()->setVisible(mbr);
  actEvidencijaMbr->setVisible(mbr);
  panels_[1]->setVisible(mbr);
  if (mbr) panels_[1]->setMinimumWidth(kPanelWidths[1]);
  panels_[2]->setMinimumWidth(mbr ? kPanelWidths[2] : kPanel2WidthWithoutMbr);
  SelectedMbr = ReadSelectedMbr();
  panels_[1]->setText(mbr ? "Mbr: " + SelectedMbr : QString());
  if (mbr) BuildMbrMenu();
}

void TfmMain::actOProgramuExecute() { RunAboutBox(); }

void TfmMain::RefreshContactListWindow() {
  if (fmUserCertList) fmUserCertList->Refresh();
}

// ---- the command line -------------------------------------------------------------------------

void TfmMain::OpenCommandLineFile(const QString& argument) {
  Log(kTagCommandLine, "Ulazni parametar:" + argument);
  const QFileInfo given(argument);
  SetCurrentFolder(given.absolutePath());
  // Names are compared as they are: the file system tells upper and lower case apart.
  const QString name = given.fileName();
  Log(kTagCommandLine, "Datoteka za pozicioniranje:" + name.toUpper());
  ShowCommandLineKind(name);

  if (!FindCommandLineItem(name)) return;
  slvDatotekeClick();
  if (!rbPakirane->isChecked()) return;
  DecryptCommandLineFile();
}

void TfmMain::ShowCommandLineKind(const QString& name) {
  // The kind comes from the file's own name, never from a folder on its path.
  const QString upper = name.toUpper();
  QRadioButton* filter = nullptr;
  if (EndsIn(upper, PackedExt())) {
    filter = rbPakirane;
    Log(kTagCommandLine, "Prepoznata ekstenzija kao KRIPTIRANA");
  } else if (IsSignedName(upper)) {
    filter = rbPotpisane;
    Log(kTagCommandLine, "Prepoznata ekstenzija kao POTPISANA");
  } else if (IsCustomerEdition() && EndsIn(upper, ".QVD")) {
    filter = rbPakirane;
    Log(kTagCommandLine, "Prepoznata ekstenzija kao KRIPTIRANA");
  }
  if (filter) {
    filter->setChecked(true);
    rbIzvorneClick();
  } else {
    FillFileList();
  }
}

QTreeWidgetItem* TfmMain::FindCommandLineItem(const QString& name) {
  for (int i = 0; i < slvDatoteke->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = slvDatoteke->topLevelItem(i);
    const QString itemName = QFileInfo(item->data(0, kPathRole).toString()).fileName();
    Log(kTagCommandLine, "Analiza imena datoteka " + Position(i + 1) + ":" + itemName.toUpper());
    if (itemName == name) {
      SelectFileItem(item);
      Log(kTagCommandLine, "Pronađena datoteka na poziciji " + Position(i + 1));
      return item;
    }
  }
  return nullptr;
}

void TfmMain::DecryptCommandLineFile() {
  Log(kTagCommandLine, "Broj primatelja " + QString::number(lwPrimatelj->topLevelItemCount()));
  const bool ownProgress = !fmProgres;
  if (ownProgress) fmProgres = new TfmProgres;
  Log(kTagCommandLine, "Prije poziva Dekripcije");
  UpdateActions();
  if (actProvjeraPotpisa->isEnabled()) Log(kTagCommandLine, "Poziv Dekripcije - omogućen");
  if (DUDComponent->LoggedIn) {
    actProvjeraPotpisaExecute();
  } else {
    // Without a logged-in card the card has no key to offer: the user is told so,
    // not that the card holds no private key.
    LastDecryptedFile.clear();
    Ui().messageBox(MsgKind::Warning, kMsgNoCardLoggedIn);
  }

  if (LastDecryptedFile.isEmpty()) {
    // Start-up makes the window anew once the road is over.
    if (ownProgress) {
      delete fmProgres;
      fmProgres = nullptr;
    }
    return;
  }
  SaveDecryptedOriginal();
  Ui().requestTerminate();
}

void TfmMain::SaveDecryptedOriginal() {
  const QFileInfo decrypted(LastDecryptedFile);
  SetCurrentFolder(decrypted.absolutePath());
  rbPotpisane->setChecked(true);
  rbIzvorneClick();
  if (QTreeWidgetItem* item = FileItem(decrypted.fileName())) {
    SelectFileItem(item);
    slvDatotekeClick();
    AutoExtract = true;
    actIzvlacenjeIzvorneExecute();
    AutoExtract = false;
  }
}
