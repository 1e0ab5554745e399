#include "app/main_window.h"

#include <QAction>
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
#include <QSplitter>
#include <QStatusBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "card/acg_component.h"
#include "card/card_actions.h"
#include "card/cert_list.h"
#include "card/registry.h"
#include "platform/ui_services.h"
#include "signing/activity_log.h"
#include "signing/settings.h"

TfmMain* fmMain = nullptr;
std::function<void(TfmMain&, const QString&)> TfmMain::CommandLineRoad;
std::function<void(const QString&)> TfmMain::Trace;

namespace {

// Widths of the status panels at start; panel 3 takes what is left of the bar.
constexpr int kPanelWidths[4] = {300, 100, 140, 50};
constexpr int kPanel2WidthWithoutMbr = 240;

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

}  // namespace

TfmMain::TfmMain(const QStringList& arguments, QWidget* parent) : QMainWindow(parent), arguments_(arguments) {
  // The variable names the window from the start of its creation, as the card
  // events during loading may reach it.
  fmMain = this;
  setObjectName("fmMain");
  BuildWidgets();
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

void TfmMain::BuildWidgets() {
  resize(722, 482);
  if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());

  mnuDatoteka = menuBar()->addMenu("&Datoteka");
  mnuPregled = menuBar()->addMenu("&Pregled");
  mnuPomoc = menuBar()->addMenu("P&omoć");

  mnuMaticniBroj = mnuPregled->addMenu("&Matični broj");
  actEvidencijaMbr = new QAction("&Evidencija matičnih brojeva", this);
  actEvidencijaMbr->setObjectName("actEvidencijaMbr");
  actEvidencijaMbr->setStatusTip("Ažuriranje evidencije matičnih brojeva");
  actEvidencijaMbr->setToolTip(actEvidencijaMbr->statusTip());
  mnuPregled->addAction(actEvidencijaMbr);

  actIzlaz = new QAction("I&zlaz", this);
  actIzlaz->setObjectName("actIzlaz");
  actIzlaz->setStatusTip("Kraj rada s programom");
  actIzlaz->setToolTip(actIzlaz->statusTip());
  connect(actIzlaz, &QAction::triggered, this, &QWidget::close);
  mnuDatoteka->addAction(actIzlaz);

  actOProgramu = new QAction("&O programu", this);
  actOProgramu->setObjectName("actOProgramu");
  mnuPomoc->addAction(actOProgramu);

  actZapAktivnosti = new QAction(this);
  actZapAktivnosti->setObjectName("actZapAktivnosti");
  actZapAktivnosti->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_L));
  actZapAktivnosti->setShortcutContext(Qt::WindowShortcut);
  connect(actZapAktivnosti, &QAction::triggered, this, &TfmMain::actZapAktivnostiExecute);
  addAction(actZapAktivnosti);

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->setChildrenCollapsible(false);

  stvModel = new QFileSystemModel(this);
  stvModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::Drives);
  stvModel->setRootPath(QDir::rootPath());
  stvListaDirektoija = new QTreeView(splitter);
  stvListaDirektoija->setObjectName("stvListaDirektoija");
  stvListaDirektoija->setModel(stvModel);
  stvListaDirektoija->setHeaderHidden(true);
  for (int c = 1; c < stvModel->columnCount(); ++c) stvListaDirektoija->hideColumn(c);
  stvListaDirektoija->setMinimumWidth(120);
  connect(stvModel, &QFileSystemModel::directoryLoaded, this, [this](const QString& loaded) {
    if (!scrollPending_) return;
    const QModelIndex current = stvListaDirektoija->currentIndex();
    if (!current.isValid()) return;
    stvListaDirektoija->scrollTo(current, QAbstractItemView::PositionAtCenter);
    // Once the folder that lists the current one has been read, its row stays put.
    if (loaded == QFileInfo(stvModel->filePath(current)).path()) scrollPending_ = false;
  });
  connect(stvListaDirektoija->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] {
    scrollPending_ = false;
    setWindowTitle(VersionText);
    ClearLists();
  });

  auto* right = new QWidget(splitter);
  auto* column = new QVBoxLayout(right);
  column->setContentsMargins(0, 0, 0, 0);

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

  slvDatoteke = new QTreeWidget(right);
  slvDatoteke->setObjectName("slvDatoteke");
  slvDatoteke->setRootIsDecorated(false);
  slvDatoteke->setHeaderHidden(true);
  slvDatoteke->setEditTriggers(QAbstractItemView::NoEditTriggers);
  column->addWidget(slvDatoteke, 1);

  pnlPrimatelj = new QWidget(right);
  pnlPrimatelj->setObjectName("pnlPrimatelj");
  pnlPrimatelj->setFixedHeight(120);
  auto* recipients = new QVBoxLayout(pnlPrimatelj);
  recipients->setContentsMargins(0, 0, 0, 0);
  lwPrimatelj = MakeList(pnlPrimatelj, "lwPrimatelj", {"SB certifikata", "Primatelj"}, {137, 320});
  recipients->addWidget(lwPrimatelj);
  pnlPrimatelj->hide();
  column->addWidget(pnlPrimatelj);

  pnlPotpisnici = new QWidget(right);
  pnlPotpisnici->setObjectName("pnlPotpisnici");
  pnlPotpisnici->setFixedHeight(120);
  auto* signers = new QVBoxLayout(pnlPotpisnici);
  signers->setContentsMargins(0, 0, 0, 0);
  lvPotpisnici = MakeList(pnlPotpisnici, "lvPotpisnici", {"Rbr", "SB certifikata", "Potpisnik", "Potpis"},
                          {30, 137, 275, 70});
  signers->addWidget(lvPotpisnici);
  column->addWidget(pnlPotpisnici);

  splitter->addWidget(stvListaDirektoija);
  splitter->addWidget(right);
  splitter->setSizes({185, 722 - 185});
  splitter->setStretchFactor(1, 1);
  setCentralWidget(splitter);

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
  panels_[1]->setFixedWidth(kPanelWidths[1]);
  panels_[2]->setFixedWidth(kPanelWidths[2]);
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
  return index == 3 ? p->minimumWidth() : p->maximumWidth();
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
  panels_[2]->setFixedWidth(workWithMbr ? kPanelWidths[2] : kPanel2WidthWithoutMbr);
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
  if (arguments_.isEmpty()) return;
  if (CommandLineRoad) CommandLineRoad(*this, arguments_.first());
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
}

void TfmMain::DUDComponentAfterLogout(TACGComponent*) { panels_[2]->setText(kPanelLoggedOut); }

void TfmMain::DUDComponentInsertRemoveCard(CK_SESSION_HANDLE, CK_NOTIFICATION event, void*) {
  if (event != 2) return;
  panels_[3]->setText(QString());
  if (DUDComponent->AutoMode() == amLogin && !DUDComponent->LoginInProgress) {
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

void TfmMain::ClearLists() {
  lvPotpisnici->clear();
  lwPrimatelj->clear();
}

void TfmMain::rbIzvorneClick() {
  ClearLists();
  if (QTreeWidgetItem* item = slvDatoteke->currentItem()) item->setSelected(false);
  pnlPotpisnici->setVisible(rbPotpisane->isChecked());
  pnlPrimatelj->setVisible(rbPakirane->isChecked());
}

// ---- folder tree -----------------------------------------------------------------------

QString TfmMain::CurrentFolder() const {
  const QModelIndex index = stvListaDirektoija->currentIndex();
  if (!index.isValid()) return QString();
  return stvModel->filePath(index);
}

void TfmMain::SetCurrentFolder(const QString& folder) {
  QString path = QDir::cleanPath(folder);
  if (path.isEmpty() || !QFileInfo(path).isDir()) return;
  const QModelIndex index = stvModel->index(path);
  if (!index.isValid()) return;
  stvListaDirektoija->setCurrentIndex(index);
  stvListaDirektoija->scrollTo(index);
  // The model reads folders in the background: scroll again once the folders on
  // the way have been read.
  scrollPending_ = true;
}

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
