#include "app/mbr_register.h"

#include <QAction>
#include <QApplication>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/main_window.h"
#include "app/window_commands.h"
#include "card/registry.h"
#include "platform/ui_services.h"
#include "platform/window_border.h"
#include "signing/settings.h"

TfmMaticniBrojevi* fmMaticniBrojevi = nullptr;

namespace {

const QString kSelectedValue = QStringLiteral("0");

QString RegisterKey() { return Settings ? Settings->RegKeyNameForMBR : QString(); }

// An empty key name would address the hive's root: treat it as a failure.
long ReadMbrValue(const QString& name, QString& value) {
  const QString key = RegisterKey();
  if (key.isEmpty()) return 2;
  return RegReadValue(RegRootCurrentUser, key, name, value);
}

long WriteMbrValue(const QString& name, const QString& value) {
  const QString key = RegisterKey();
  if (key.isEmpty()) return 2;
  return RegWriteValue(RegRootCurrentUser, key, name, value);
}

long DeleteMbrValue(const QString& name) {
  const QString key = RegisterKey();
  if (key.isEmpty()) return 2;
  return RegDeleteValue(RegRootCurrentUser, key, name);
}

void SetMainPanel(const QString& number) {
  if (fmMain)
    if (QLabel* panel = fmMain->StatusPanel(1)) panel->setText("Mbr: " + number);
}

void SetLabel(TfmMaticniBrojevi* window, const QString& number) {
  if (window) window->lblDefaultMbr->setText(kMbrLabel + " " + number);
}

QPushButton* MakeButton(QWidget* owner, QAction* action) {
  auto* b = new QPushButton(action->text(), owner);
  b->setToolTip(action->toolTip());
  b->setAutoDefault(false);
  QObject::connect(b, &QPushButton::clicked, action, &QAction::trigger);
  QObject::connect(action, &QAction::changed, b, [b, action] { b->setEnabled(action->isEnabled()); });
  return b;
}

}  // namespace

QStringList ReadMbrRegister() {
  QStringList numbers;
  for (int n = 1;; ++n) {
    QString value;
    if (ReadMbrValue(QString::number(n), value) != 0) break;
    numbers << value;
  }
  return numbers;
}

namespace {

constexpr int kTitleBarExtras = 100;

int RegisterWindowWidth(const QString& caption) {
  // The window is 283 wide, or as wide as its caption needs in a title bar that
  // also holds the window's icon and three boxes (some window managers draw the
  // minimise and maximise boxes whatever the window asks for) in a bold font.
  QFont bold = QApplication::font();
  bold.setBold(true);
  return std::max(283, QFontMetrics(bold).horizontalAdvance(caption) + kTitleBarExtras);
}

}  // namespace

bool MbrKeyDiscarded(QChar c) { return (c.unicode() >= 65 && c.unicode() <= 122) || c == QLatin1Char(' '); }

TfmMaticniBrojevi::TfmMaticniBrojevi(QWidget* parent) : QDialog(parent) {
  setObjectName("fmMaticniBrojevi");
  setWindowTitle(QStringLiteral("Evidencija matičnih brojeva"));
  SetFixedDialogBorder(this);
  setFixedSize(RegisterWindowWidth(windowTitle()), 264);

  actDodajMbr =
      AddWindowCommand(this, "actDodajMbr", "&Dodaj", QStringLiteral("Dodavanje matičnog broja u evidenciju"));
  actObrisiMbr = AddWindowCommand(this, "actObrisiMbr", QStringLiteral("&Obriši"),
                                  QStringLiteral("Brisanje označenog matičnog broja iz evidencije"));
  actPostaviMbr =
      AddWindowCommand(this, "actPostaviMbr", "Od&aberi", QStringLiteral("Postavljanje matičnog broja za \"radni\""));
  actOsvjezi = AddWindowCommand(this, "actOsvjezi", QStringLiteral("Evidencija matičnih brojeva"),
                                QStringLiteral("Osvježavanje prikaza evidencije matičnih brojeva"));
  actOsvjezi->setShortcut(Qt::Key_F5);
  actZatvori = AddWindowCommand(this, "actZatvori", "&Zatvori", QStringLiteral("Zatvaranje prozora"));

  lblDefaultMbr = new QLabel(kMbrLabel, this);
  lbMbr = new QListWidget(this);
  edMbr = new QLineEdit(this);
  edMbr->setMaxLength(13);
  edMbr->installEventFilter(this);
  btnDodaj = MakeButton(this, actDodajMbr);
  btnObrisi = MakeButton(this, actObrisiMbr);
  btnPostavi = MakeButton(this, actPostaviMbr);
  btnZatvori = MakeButton(this, actZatvori);

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(btnDodaj);
  buttons->addWidget(btnObrisi);
  buttons->addWidget(btnPostavi);
  buttons->addStretch();
  buttons->addWidget(btnZatvori);
  auto* left = new QVBoxLayout;
  left->addWidget(edMbr);
  left->addWidget(lbMbr);
  auto* body = new QHBoxLayout;
  body->addLayout(left);
  body->addLayout(buttons);
  auto* top = new QVBoxLayout(this);
  top->addWidget(lblDefaultMbr);
  top->addLayout(body);

  connect(actDodajMbr, &QAction::triggered, this, [this] { actDodajMbrExecute(); });
  connect(actObrisiMbr, &QAction::triggered, this, [this] { actObrisiMbrExecute(); });
  connect(actPostaviMbr, &QAction::triggered, this, [this] { actPostaviMbrExecute(); });
  connect(actOsvjezi, &QAction::triggered, this, [this] { actOsvjeziExecute(); });
  connect(actZatvori, &QAction::triggered, this, &QDialog::reject);
  connect(edMbr, &QLineEdit::textEdited, this, [this] {
    editChanged_ = true;
    UpdateActions();
  });
  connect(lbMbr, &QListWidget::itemClicked, this, [this] { lbMbrClick(); });
  connect(lbMbr, &QListWidget::itemDoubleClicked, this, [this] { lbMbrDblClick(); });
  connect(lbMbr, &QListWidget::currentRowChanged, this, [this] { UpdateActions(); });
  UpdateActions();
}

bool TfmMaticniBrojevi::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edMbr && event->type() == QEvent::KeyPress) {
    const QString text = static_cast<QKeyEvent*>(event)->text();
    if (text.size() == 1 && MbrKeyDiscarded(text.at(0))) return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TfmMaticniBrojevi::SetEditText(const QString& text) {
  edMbr->setText(text);
  editChanged_ = false;
  UpdateActions();
}

void TfmMaticniBrojevi::UpdateActions() {
  const bool selected = lbMbr->count() > 0 && lbMbr->currentRow() >= 0;
  actDodajMbr->setEnabled(editChanged_);
  actObrisiMbr->setEnabled(selected);
  actPostaviMbr->setEnabled(selected && lbMbr->currentItem()->text() != SelectedMbr);
  actOsvjezi->setEnabled(true);
  actZatvori->setEnabled(true);
}

void TfmMaticniBrojevi::lbMbrClick() {
  if (lbMbr->count() == 0 || !lbMbr->currentItem()) return;
  SetEditText(lbMbr->currentItem()->text());
}

void TfmMaticniBrojevi::lbMbrDblClick() {
  UpdateActions();
  if (actPostaviMbr->isEnabled()) actPostaviMbr->trigger();
}

void TfmMaticniBrojevi::actDodajMbrExecute() {
  const QString t = edMbr->text().trimmed();
  if (t.isEmpty()) {
    Ui().messageBox(MsgKind::Error, kMbrMustEnter);
    return;
  }
  for (int i = 0; i < lbMbr->count(); ++i)
    if (lbMbr->item(i)->text() == t) {
      Ui().messageBox(MsgKind::Error, kMbrExists);
      return;
    }
  lbMbr->addItem(t);
  const int n = lbMbr->count();
  if (WriteMbrValue(QString::number(n), t) != 0) {
    Ui().messageBox(MsgKind::Error, kMbrWriteFailed);
    delete lbMbr->takeItem(n - 1);
    UpdateActions();
    return;
  }
  editChanged_ = false;
  lbMbr->setCurrentRow(n - 1);
  if (SelectedMbr.isEmpty()) {
    if (WriteMbrValue(kSelectedValue, t) == 0) {
      SelectedMbr = t;
      SetLabel(this, t);
    } else {
      Ui().messageBox(MsgKind::Error, kMbrWriteSelectedFailed);
    }
  }
  UpdateActions();
}

void TfmMaticniBrojevi::actObrisiMbrExecute() {
  QListWidgetItem* item = lbMbr->currentItem();
  if (!item) return;
  if (Ui().messageBox(MsgKind::Confirmation, QStringLiteral("Da li ste sigurni da želite obrisati matični broj \"") +
                                                 item->text() + QStringLiteral("\" iz evidencije")) != mrYes)
    return;
  const QString sel = item->text().trimmed();
  const int k = lbMbr->row(item) + 1;
  const int count = lbMbr->count();
  for (int j = k + 1; j <= count; ++j) {
    if (WriteMbrValue(QString::number(j - 1), lbMbr->item(j - 1)->text().trimmed()) != 0) {
      Ui().messageBox(MsgKind::Error, kMbrDeleteFailed);
      return;
    }
  }
  if (DeleteMbrValue(QString::number(count)) != 0) {
    Ui().messageBox(MsgKind::Error, kMbrDeleteFailed);
    return;
  }
  delete lbMbr->takeItem(k - 1);
  if (lbMbr->count() > 0) lbMbr->setCurrentRow(0);
  if (SelectedMbr == sel) {
    if (DeleteMbrValue(kSelectedValue) == 0) {
      SelectedMbr.clear();
      SetLabel(this, QString());
    } else {
      Ui().messageBox(MsgKind::Error, kMbrDeleteSelectedFailed);
    }
  }
  UpdateActions();
}

void TfmMaticniBrojevi::actPostaviMbrExecute() {
  if (QListWidgetItem* item = lbMbr->currentItem()) SetSelectedMbr(this, item->text().trimmed());
  UpdateActions();
}

void TfmMaticniBrojevi::actOsvjeziExecute() {
  LoadSelectedMbr(this, true);
  UpdateActions();
}

void LoadSelectedMbr(TfmMaticniBrojevi* window, bool refresh) {
  QString value;
  SelectedMbr = ReadMbrValue(kSelectedValue, value) == 0 ? value : QString();
  if (!refresh || !window) return;
  window->lbMbr->clear();
  SetLabel(window, SelectedMbr);
  SetMainPanel(SelectedMbr);
  window->lbMbr->addItems(ReadMbrRegister());
  window->UpdateActions();
}

void SetSelectedMbr(TfmMaticniBrojevi* window, const QString& number) {
  SelectedMbr = number;
  SetLabel(window, number);
  SetMainPanel(number);
  WriteMbrValue(kSelectedValue, number);  // the choice stands for this run even when it cannot be stored
  if (window) window->UpdateActions();
}

QString RunMbrDialog() {
  if (!fmMaticniBrojevi) CreateMbrWindow();
  TfmMaticniBrojevi* w = fmMaticniBrojevi;
  w->actOsvjezi->trigger();
  w->SetEditText(QString());
  w->edMbr->setFocus();
  w->exec();
  QString value;
  return ReadMbrValue(kSelectedValue, value) == 0 ? value : QString();
}

void CreateMbrWindow() {
  if (!fmMaticniBrojevi) fmMaticniBrojevi = new TfmMaticniBrojevi;
}

void DestroyMbrWindow() {
  delete fmMaticniBrojevi;
  fmMaticniBrojevi = nullptr;
}
