#include "app/signature_details.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/main_window.h"
#include "card/cert_list.h"
#include "card/certificate.h"
#include "platform/program_locale.h"
#include "platform/ui_services.h"
#include "signing/settings.h"
#include "signing/verify.h"

namespace {

constexpr int kImageRole = Qt::UserRole + 1;
constexpr int kMinimumWidth = 524;

// Indexes of the tree's images.
enum : int {
  imgInOrder = 0,
  imgNotInOrder = 1,
  imgSignatureOk = 3,
  imgSignatureBad = 4,
  imgValid = 6,
  imgExpired = 7,
  imgValidityUnchecked = 8,
  imgPathOk = 9,
  imgPathBad = 10,
  imgPathUnchecked = 11,
};

// A small round mark per image: green in order, red not, grey not checked.
QIcon ImageIcon(int index) {
  QColor colour = Qt::gray;
  switch (index) {
    case imgInOrder:
    case imgSignatureOk:
    case imgValid:
    case imgPathOk: colour = QColor(0, 150, 0); break;
    case imgNotInOrder:
    case imgSignatureBad:
    case imgExpired:
    case imgPathBad: colour = QColor(200, 0, 0); break;
    default: break;
  }
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(colour);
  painter.setPen(Qt::NoPen);
  if (index == imgInOrder || index == imgNotInOrder)
    painter.drawRect(2, 2, 12, 12);
  else
    painter.drawEllipse(3, 3, 10, 10);
  return QIcon(pixmap);
}

QString SerialText(int32_t value, const QString& hex) {
  if (Settings && Settings->ShowSNCertAsDecimal) return QString::number(value);
  return hex;
}

QString DisplayNameFor(const QString& subject) {
  return ContactCertList ? ContactCertList->GetUserDisplayName(subject) : subject;
}

QString IssuerSuffix(const QString& issuer) { return " [izdavatelj \"" + issuer + "\"]"; }

int RunQuestion(const QString& message, const std::function<void(TfmDetPotpisa&)>& fill) {
  TfmDetPotpisa window;
  window.SetUpQuestion(message);
  fill(window);
  const int result = window.exec();
  return result == mrYes || result == mrNo ? result : int(mrCancel);
}

}  // namespace

QString ValidToText(TDateTime validTo) { return ShortDateLongTimeText(ToQDateTime(validTo)); }

TfmDetPotpisa::TfmDetPotpisa(QWidget* parent) : QDialog(parent) {
  setObjectName("fmDetPotpisa");
  setMinimumWidth(kMinimumWidth);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  pnlPitaj = new QWidget(this);
  pnlPitaj->setObjectName("pnlPitaj");
  pnlPitaj->setFixedHeight(100);
  auto* question = new QHBoxLayout(pnlPitaj);
  Image1 = new QLabel(pnlPitaj);
  Image1->setObjectName("Image1");
  question->addWidget(Image1);
  auto* right = new QVBoxLayout;
  lblMsg = new QLabel(pnlPitaj);
  lblMsg->setObjectName("lblMsg");
  lblMsg->setAlignment(Qt::AlignCenter);
  right->addWidget(lblMsg, 1);
  auto* buttons = new QHBoxLayout;
  btnDa = new QPushButton("&Da", pnlPitaj);
  btnDa->setObjectName("btnDa");
  btnNe = new QPushButton("&Ne", pnlPitaj);
  btnNe->setObjectName("btnNe");
  btnDetalji = new QPushButton(kDetailsShow, pnlPitaj);
  btnDetalji->setObjectName("btnDetalji");
  buttons->addStretch(1);
  for (QPushButton* b : {btnDa, btnNe, btnDetalji}) {
    b->setAutoDefault(false);
    buttons->addWidget(b);
  }
  buttons->addStretch(1);
  right->addLayout(buttons);
  question->addLayout(right, 1);
  column->addWidget(pnlPitaj);
  connect(btnDa, &QPushButton::clicked, this, [this] { done(mrYes); });
  connect(btnNe, &QPushButton::clicked, this, [this] { done(mrNo); });
  connect(btnDetalji, &QPushButton::clicked, this, &TfmDetPotpisa::ToggleDetails);

  tvPotpisi = new QTreeWidget(this);
  tvPotpisi->setObjectName("tvPotpisi");
  tvPotpisi->setHeaderHidden(true);
  tvPotpisi->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvPotpisi->setFixedHeight(138);
  column->addWidget(tvPotpisi);

  pnlButoni = new QWidget(this);
  pnlButoni->setObjectName("pnlButoni");
  pnlButoni->setFixedHeight(41);
  auto* bottom = new QHBoxLayout(pnlButoni);
  btnZatvori = new QPushButton("&Zatvori", pnlButoni);
  btnZatvori->setObjectName("btnZatvori");
  bottom->addStretch(1);
  bottom->addWidget(btnZatvori);
  column->addWidget(pnlButoni);
  connect(btnZatvori, &QPushButton::clicked, this, [this] { done(mrCancel); });
}

TfmDetPotpisa::~TfmDetPotpisa() = default;

void TfmDetPotpisa::SetUpDetails() {
  setWindowTitle(kCaptionSignatureDetails);
  pnlPitaj->hide();
  tvPotpisi->show();
  pnlButoni->show();
  FitToVisibleParts();
}

void TfmDetPotpisa::SetUpQuestion(const QString& message) {
  setWindowTitle(kCaptionWarning);
  lblMsg->setText(message);
  Image1->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
  pnlPitaj->show();
  pnlButoni->hide();
  tvPotpisi->hide();
  btnDetalji->setText(kDetailsShow);
  FitToVisibleParts();
}

void TfmDetPotpisa::ToggleDetails() {
  tvPotpisi->setVisible(tvPotpisi->isHidden());
  btnDetalji->setText(tvPotpisi->isHidden() ? kDetailsShow : kDetailsHide);
  FitToVisibleParts();
}

void TfmDetPotpisa::FitToVisibleParts() {
  // A hidden part takes no room: the window is as high as the parts it shows.
  layout()->activate();
  resize(std::max(width(), kMinimumWidth), layout()->sizeHint().height());
  setFixedHeight(layout()->sizeHint().height());
}

int TfmDetPotpisa::ImageIndex(const QTreeWidgetItem* node) { return node ? node->data(0, kImageRole).toInt() : -1; }

QTreeWidgetItem* TfmDetPotpisa::AddNode(QTreeWidgetItem* parent, const QString& text, int image) {
  auto* node = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tvPotpisi);
  node->setText(0, text);
  node->setIcon(0, ImageIcon(image));
  node->setData(0, kImageRole, image);
  return node;
}

void TfmDetPotpisa::FillSignerTree(const std::vector<const TSignerRecord*>& signers) {
  for (const TSignerRecord* r : signers) {
    const QString name = DisplayNameFor(r->Subject);
    QTreeWidgetItem* top = AddNode(nullptr, SerialText(r->SerialValue, r->SerialText) + " - " + name,
                                   r->ValidOverall ? imgInOrder : imgNotInOrder);
    if (r->SignatureOk)
      AddNode(top, "Provjera potpisa - u redu", imgSignatureOk);
    else
      AddNode(top, "Provjera potpisa - nije redu", imgSignatureBad);

    if (r->ValidityState == -1)
      AddNode(top, "Validnost certifikata nije provjeravana", imgValidityUnchecked);
    else if (r->ValidityState == 0)
      AddNode(top, "Validnost certifikata u redu [vrijedi do " + ValidToText(r->ValidTo) + "]", imgValid);
    else
      AddNode(top, "Validnost certifikata istekla [vrijedi do " + ValidToText(r->ValidTo) + "]", imgExpired);

    if (r->PathState == -1) {
      AddNode(top, "Provjera puta certifikacije nije provedena", imgPathUnchecked);
    } else {
      QString text =
          r->PathState == 0 ? "Provjera puta certifikacije u redu" : "Provjera puta certifikacije nije u redu";
      auto cert = std::make_unique<TCertifikat>();
      QString error;
      if (cert->LoadFromMemory(r->Certificate.data(), r->CertificateLength(), error, false))
        text += IssuerSuffix(cert->IssuerCommonName);
      AddNode(top, text, r->PathState == 0 ? imgPathOk : imgPathBad);
    }
  }
  tvPotpisi->expandAll();
}

void TfmDetPotpisa::FillCertificateTree(const std::vector<const TCertifikat*>& certificates) {
  for (const TCertifikat* c : certificates) {
    const bool inOrder = c->Expired == 0 && c->RootCheck == 0;
    const QString name = c->DisplayName.isEmpty() ? c->SubjectText : c->DisplayName;
    QTreeWidgetItem* top = AddNode(nullptr,
                                   SerialText(c->SerialInt, c->SerialHex) + " - " + name +
                                       (inOrder ? "; Status = Ispravan" : "; Status = Neispravan"),
                                   inOrder ? imgInOrder : imgNotInOrder);
    if (c->Expired == -1)
      AddNode(top, "Validnost certifikata nije provjeravana", imgValidityUnchecked);
    else if (c->Expired == 0)
      AddNode(top, "Validnost certifikata u redu [vrijedi do " + ValidToText(c->ValidTo) + "]", imgValid);
    else
      AddNode(top, "Validnost certifikata istekla [vrijedi do " + ValidToText(c->ValidTo) + "]", imgExpired);

    if (c->RootCheck == -1)
      AddNode(top, "Provjera puta certifikacije nije provedena", imgPathUnchecked);
    else if (c->RootCheck == 0)
      AddNode(top, "Provjera puta certifikacije u redu" + IssuerSuffix(c->IssuerCommonName), imgPathOk);
    else
      AddNode(top, "Provjera puta certifikacije nije u redu" + IssuerSuffix(c->IssuerCommonName), imgPathBad);
  }
  tvPotpisi->expandAll();
}

std::vector<const TSignerRecord*> SignerRecordsOf(const QTreeWidget* signerList) {
  std::vector<const TSignerRecord*> records;
  if (!signerList) return records;
  for (int i = 0; i < signerList->topLevelItemCount(); ++i)
    if (const TSignerRecord* r = TSignerRow::RecordOf(signerList->topLevelItem(i))) records.push_back(r);
  return records;
}

void ShowSignatureDetails(const QTreeWidget* signerList) {
  TfmDetPotpisa window;
  window.SetUpDetails();
  window.FillSignerTree(SignerRecordsOf(signerList));
  window.exec();
}

int ConfirmSignatures(const QString& message, const QTreeWidget* signerList) {
  return RunQuestion(message, [signerList](TfmDetPotpisa& w) { w.FillSignerTree(SignerRecordsOf(signerList)); });
}

int ConfirmRecipientCertificates(const QString& message, const std::vector<const TCertifikat*>& checked) {
  return RunQuestion(message, [&checked](TfmDetPotpisa& w) { w.FillCertificateTree(checked); });
}
