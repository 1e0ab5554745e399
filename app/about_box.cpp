#include "app/about_box.h"

#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <algorithm>

#include "app/splash_window.h"
#include "card/version_info.h"

TfmOprogramu* fmOprogramu = nullptr;

namespace {

QLabel* Picture(QWidget* parent, const char* name, const QRect& where) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setGeometry(where);
  label->setScaledContents(true);
  const QImage picture = DecodeJpeg(SplashJpeg());
  if (!picture.isNull()) label->setPixmap(QPixmap::fromImage(picture));
  return label;
}

}  // namespace

TfmOprogramu::TfmOprogramu(QWidget* parent) : QDialog(parent) {
  setObjectName("fmOprogramu");
  setWindowTitle("O programu");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
  setFixedSize(370, 199);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);

  // The large picture lies behind everything below the top panel's text.
  Image1 = Picture(this, "Image1", QRect(0, 199 - 147, 370, 147));

  auto* top = new QWidget(this);
  top->setObjectName("pnlTop");
  top->setGeometry(0, 0, 370, 104);
  top->setAutoFillBackground(true);  // white, over the top of the large picture
  QFont bold("Arial");
  bold.setBold(true);
  bold.setPixelSize(13);
  top->setFont(bold);

  lblAplikacija = new QLabel(top);
  lblAplikacija->setObjectName("lblAplikacija");
  lblAplikacija->setGeometry(0, 13, 370, 18);  // below an empty first line
  lblAplikacija->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

  Image2 = Picture(top, "Image2", QRect(8, 34, 64, 64));

  auto* group = new QGroupBox(" Temeljeno na ", top);
  group->setGeometry(84, 34, 275, 66);
  QFont regular("Arial");
  regular.setPixelSize(11);
  regular.setBold(false);  // set explicitly, or the panel's bold is inherited
  group->setFont(regular);
  auto* grid = new QGridLayout(group);
  grid->setContentsMargins(8, 2, 8, 2);
  grid->setVerticalSpacing(0);
  auto row = [&](int r, const QString& name, QLabel*& left, QLabel*& right) {
    left = new QLabel(name, group);
    right = new QLabel(group);
    right->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(left, r, 0);
    grid->addWidget(right, r, 1);
  };
  row(0, "tarvirsa.dll", lblTarvirsa, lblTarvirsaVer);
  row(1, "unzlib.dll", lblUnzlib, lblUnzlibVer);
  row(2, "ziplib.dll", lblZiplib, lblZiplibVer);

  lblWeb = new QLabel(this);
  lblWeb->setObjectName("lblWeb");
  lblWeb->setText(QStringLiteral("<a href=\"%1\" style=\"color:blue; text-decoration:underline\">%1</a>")
                      .arg(kMakerWebAddress.toHtmlEscaped()));
  lblWeb->setTextFormat(Qt::RichText);
  lblWeb->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  lblWeb->setOpenExternalLinks(false);
  lblWeb->setCursor(Qt::PointingHandCursor);  // the hand only while over the label
  // As wide as its text, centred below the group, on the window's white: the
  // picture behind it would make the address unreadable.
  lblWeb->setAutoFillBackground(true);
  lblWeb->setContentsMargins(2, 0, 2, 0);
  lblWeb->adjustSize();
  const int webWidth = std::min(lblWeb->sizeHint().width(), 370);
  lblWeb->setGeometry(84 + (275 - webWidth) / 2, 108, webWidth, lblWeb->sizeHint().height());
  lblWeb->setAlignment(Qt::AlignHCenter);
  connect(lblWeb, &QLabel::linkActivated, this, [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });

  btnZatvori = new QPushButton("&Zatvori", this);
  btnZatvori->setObjectName("btnZatvori");
  btnZatvori->setGeometry(370 - 83, 199 - 33, 75, 25);
  connect(btnZatvori, &QPushButton::clicked, this, &QDialog::accept);

  if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());
}

void TfmOprogramu::FillTexts() {
  // Each text is set whole, so showing the box again never appends to it.
  lblAplikacija->setText(GetVersionInfoValue("FileDescription"));
  lblAplikacija->setText(lblAplikacija->text() + "  " + GetVersionInfoValue("FileVersion"));
  lblTarvirsaVer->setText(" " + GetVersionString("tarvirsa.dll"));
  lblUnzlibVer->setText(" " + GetVersionString("UnzLib.dll"));
  lblZiplibVer->setText(" " + GetVersionString("ZipLib.dll"));
}

void RunAboutBox() {
  if (!fmOprogramu) CreateAboutWindow();
  fmOprogramu->FillTexts();
  fmOprogramu->exec();
}

void CreateAboutWindow() {
  if (!fmOprogramu) fmOprogramu = new TfmOprogramu;
}

void DestroyAboutWindow() {
  delete fmOprogramu;
  fmOprogramu = nullptr;
}
