#include "card/binding.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <new>

#include "card/cryptoki.h"
#include "card/registry.h"
#include "card/tarvirsa_api.h"
#include "platform/library.h"
#include "platform/ui_services.h"
#include "platform/window_border.h"

std::unique_ptr<SharedLibrary> TarviRsaModule;
std::unique_ptr<SharedLibrary> CryptokiModule;
QString DllFileName;
std::string TarviRsaLibraryName = "tarvirsa.dll";

namespace {

// The text after the last folder separator; registry values may carry Windows paths.
QString WithoutFolder(const QString& name) {
  qsizetype cut = std::max(name.lastIndexOf('/'), name.lastIndexOf('\\'));
  return cut < 0 ? name : name.mid(cut + 1);
}

void ErrorBox(const QString& text) { Ui().messageBox(MsgKind::Error, text); }

// Shows the dialog modally when a function was missing (it is visible then) and
// returns the user's choice; 1 when nothing was missing.
bool FinishDialog(TErrorLoadingDlg& dlg) {
  Ui().processPendingMessages();
  if (dlg.isVisible()) {
    dlg.hide();
    dlg.exec();
  }
  return dlg.ContinueFlag != 0;
}

void PrepareDialog(TErrorLoadingDlg& dlg) {
  dlg.ErrChkLstBox->clear();
  dlg.ContinueBtn->setEnabled(true);
  dlg.FinishBtn->setEnabled(true);
  dlg.ContinueFlag = 1;
}

}  // namespace

void UnloadCryptokiModule() {
  ClearCryptokiTable();
  CryptokiModule.reset();
}

TErrorLoadingDlg::TErrorLoadingDlg(QWidget* parent) : QDialog(parent) {
  // No border icons: a title bar only, at a fixed size.
  SetFixedDialogBorder(this, false);
  setWindowTitle(kErrorLoadingCaption);
  DLLNameEdit = new QLineEdit(this);
  DLLNameEdit->setReadOnly(true);
  QPalette pal = DLLNameEdit->palette();
  pal.setColor(QPalette::Base, pal.color(QPalette::Button));
  DLLNameEdit->setPalette(pal);
  ErrChkLstBox = new QListWidget(this);
  ErrChkLstBox->setSelectionMode(QAbstractItemView::SingleSelection);
  ContinueBtn = new QPushButton(QStringLiteral("Nastavi"), this);
  ContinueBtn->setDefault(true);
  ContinueBtn->setAutoDefault(true);
  FinishBtn = new QPushButton(QStringLiteral("Prekini"), this);
  FinishBtn->setAutoDefault(false);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ContinueBtn);
  buttons->addWidget(FinishBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(DLLNameEdit);
  layout->addWidget(ErrChkLstBox, 1);
  layout->addLayout(buttons);
  setFixedSize(360, 420);

  connect(ContinueBtn, &QPushButton::clicked, this, [this] {
    ContinueBtnClick();
    accept();
  });
  connect(FinishBtn, &QPushButton::clicked, this, [this] { reject(); });
  FormCreate();
}

void TErrorLoadingDlg::FormCreate() {
  ContinueFlag = 1;
  AllFound = 1;
  ContinueBtn->setEnabled(false);
  FinishBtn->setEnabled(false);
}

void TErrorLoadingDlg::SetupLibrary(const QString& name) {
  DLLNameEdit->setText(name);
  setWindowTitle(windowTitle() + " " + WithoutFolder(name));
}

void TErrorLoadingDlg::ContinueBtnClick() { ContinueFlag = 1; }

void TErrorLoadingDlg::FinishBtnClick() { ContinueFlag = 0; }

void TErrorLoadingDlg::reject() {
  FinishBtnClick();
  QDialog::reject();
}

void TErrorLoadingDlg::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen()) {
    QRect r = frameGeometry();
    r.moveCenter(s->availableGeometry().center());
    move(r.topLeft());
  }
}

void AddBindResult(TErrorLoadingDlg* dlg, void* address, const QString& name) {
  auto* item = new QListWidgetItem(name);
  // Checked by the binder only: the user cannot change what was found.
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  item->setCheckState(address ? Qt::Checked : Qt::Unchecked);
  dlg->ErrChkLstBox->addItem(item);
  if (!address) {
    dlg->AllFound = 0;
    if (!dlg->isVisible()) dlg->show();
  }
}

bool BindTarviRsa(std::unique_ptr<SharedLibrary>& module) {
  TErrorLoadingDlg dlg;
  PrepareDialog(dlg);
  // The table never points into a library that is not loaded.
  ClearTarviRsaTable();
  module = SharedLibrary::Load(TarviRsaLibraryName);
  if (!module) {
    ErrorBox(kMsgTarviRsaNotFound);
    return false;
  }
  dlg.SetupLibrary(QString::fromStdString(TarviRsaLibraryName));
  for (const TarviRsaEntry& e : TarviRsaEntries()) {
    void* address = module->Symbol(e.name);
    e.set(TarviRsa, address);
    AddBindResult(&dlg, address, QString::fromLatin1(e.name));
  }
  return FinishDialog(dlg);
}

bool BindCryptoki(std::unique_ptr<SharedLibrary>& module, const QString& moduleName, bool quiet) {
  TErrorLoadingDlg dlg;
  PrepareDialog(dlg);
  ClearCryptokiTable();
  module = SharedLibrary::Load(moduleName.toStdString());
  if (!module) {
    if (!quiet) ErrorBox(moduleName + kMsgLibraryNotFoundSuffix);
    return false;
  }
  dlg.SetupLibrary(moduleName);
  for (const CryptokiEntry& e : CryptokiEntries()) {
    void* address = module->Symbol(e.name);
    e.set(Cryptoki, address);
    AddBindResult(&dlg, address, QString::fromLatin1(e.name));
  }
  return FinishDialog(dlg);
}

bool HasTarviRsaMinimalSet() { return UnboundTarviRsaNames().empty(); }

bool HasCryptokiMinimalSet() { return HasAllStandardCryptokiFunctions(); }

bool LoadCryptoLibraries(const QString& regKey, const QString& defaultName, bool checkTarviSet, bool& continueFlag,
                         bool quiet) {
  // The module's name is a machine setting, whatever root the rest of the settings use.
  QString value;
  RegReadValue(HKEY_LOCAL_MACHINE, regKey, QStringLiteral("DLL"), value);
  QString name;
  try {
    name = value.isEmpty() ? defaultName : value;
  } catch (const std::bad_alloc&) {
    ErrorBox(kMsgNoMemoryForDllName);
    return false;
  }
  DllFileName = WithoutFolder(name);

  bool ok = BindTarviRsa(TarviRsaModule);
  if (ok && checkTarviSet) ok = HasTarviRsaMinimalSet();
  if (!ok) {
    ErrorBox(kMsgMinimalSet);
    return false;
  }

  ok = BindCryptoki(CryptokiModule, name, quiet);
  continueFlag = ok;
  if (ok && !HasCryptokiMinimalSet()) {
    ErrorBox(kMsgMinimalSet);
    return false;
  }
  return ok;
}
