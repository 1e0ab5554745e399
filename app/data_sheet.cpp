#include "app/data_sheet.h"

#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>
#include <cmath>

#include "platform/ui_services.h"
#include "signing/file_utils.h"
#include "signing/settings.h"

namespace {

QString PadRight(const QString& text, int width) {
  return text.size() >= width ? text : text + QString(width - text.size(), QLatin1Char(' '));
}

bool ToNumber(const QString& text, int* value) {
  bool ok = false;
  *value = text.toInt(&ok);
  return ok;
}

// Date and time from digits yyyymmddhhnnss at the start of text; false when a part
// does not convert.
bool DecodeStamp(const QString& text, QDate* date, QTime* time, int ms) {
  int y, m, d, h, n, s;
  if (!ToNumber(text.mid(0, 4), &y) || !ToNumber(text.mid(4, 2), &m) || !ToNumber(text.mid(6, 2), &d) ||
      !ToNumber(text.mid(8, 2), &h) || !ToNumber(text.mid(10, 2), &n) || !ToNumber(text.mid(12, 2), &s))
    return false;
  *date = QDate(y, m, d);
  *time = QTime(h, n, s, ms);
  return y >= 1 && date->isValid() && time->isValid();
}

QString DateTimeText(const QDate& date, const QTime& time, const QLocale& locale) {
  return locale.toString(date, QLocale::ShortFormat) + " " + locale.toString(time, LongTimeFormat(locale));
}

const QString kRule = QString(5, QLatin1Char(' ')) + QString(105, QLatin1Char('_'));
const QString kPageText = QStringLiteral("Strana: 1/1");

// ---- drawing on the printer, in whole millimetres ------------------------------------

class SheetPainter {
 public:
  SheetPainter(QPainter& p, int fx, int fy) : p_(p), fx_(fx), fy_(fy) {}

  void Line(int x1, int y1, int x2, int y2) { p_.drawLine(x1 * fx_, y1 * fy_, x2 * fx_, y2 * fy_); }

  enum Align { Left, Centre, Right };
  // A text in the band from (left, top) to (right, bottom), in units.
  void Text(int left, int top, int right, int bottom, const QString& text, Align align = Left, bool clip = false) {
    const QRect band(QPoint(left * fx_, top * fy_), QPoint(right * fx_, bottom * fy_));
    const QFontMetrics fm = p_.fontMetrics();
    const int w = fm.horizontalAdvance(text);
    const int h = fm.height();
    const int bandW = right * fx_ - left * fx_;
    const int bandH = bottom * fy_ - top * fy_;
    int x = left * fx_;
    if (align == Centre) x = left * fx_ + (bandW - w) / 2;
    if (align == Right) x = right * fx_ - w;
    const int y = top * fy_ + (bandH - h) / 2;
    if (clip) {
      p_.save();
      p_.setClipRect(band);
    }
    p_.drawText(x, y + fm.ascent(), text);
    if (clip) p_.restore();
  }

  void SetFont(int points, bool bold) {
    QFont f("Arial", points);
    f.setBold(bold);
    p_.setFont(f);
  }

 private:
  QPainter& p_;
  int fx_, fy_;
};

}  // namespace

QString LongTimeFormat(const QLocale& locale) {
  // The locale's long format names the time zone, which the sheet never showed.
  QString f = locale.timeFormat(QLocale::LongFormat);
  f.remove(QRegularExpression(QStringLiteral("\\s*\\(?\\bt+\\b\\)?")));
  return f.trimmed();
}

QString DataSheetSizeText(int64_t size, const QLocale& locale) {
  QLocale grouped = locale;
  grouped.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
  const qint64 kb = qint64(std::nearbyint(double(size) / 1024.0));  // halves to even
  return QString::number(kb) + "KB (" + grouped.toString(qint64(size)) + ")";
}

QString DataSheetHashTime(const QString& stamp, const QLocale& locale) {
  QDate date;
  QTime time;
  if (!DecodeStamp(stamp, &date, &time, 0)) return stamp;
  return DateTimeText(date, time, locale);
}

QString DataSheetSigningTime(const QString& time, const QLocale& locale) {
  QString t = time;
  if (t.size() == 14) t += "000";
  int ms;
  QDate d;
  QTime tm;
  if (!ToNumber(t.mid(14, 3), &ms) || !DecodeStamp(t, &d, &tm, ms)) return time;
  return DateTimeText(d, tm, locale) + locale.decimalPoint() + t.mid(14, 3);
}

TDataSheet MakeDataSheet(const QString& file, const std::vector<const TSignerRecord*>& signers) {
  const QLocale locale = QLocale::system();
  TDataSheet sheet;
  sheet.fileName = QFileInfo(file).fileName();
  sheet.versionText = VersionText;
  const QDateTime now = QDateTime::currentDateTime();
  sheet.now = DateTimeText(now.date(), now.time(), locale);
  sheet.sizeText = DataSheetSizeText(GetFileSizeByName(file), locale);
  sheet.lastChangeText = GetFileDateTime(file).toString("dd.MM.yyyy hh:mm");
  if (!signers.empty()) {
    sheet.hashTimeText = DataSheetHashTime(signers.front()->DocumentTime, locale);
    sheet.digest = signers.front()->DocumentDigest;
  }
  const bool decimal = Settings && Settings->ShowSNCertAsDecimal;
  for (const TSignerRecord* r : signers) {
    sheet.signers.push_back({DataSheetSigningTime(r->SigningTime, locale),
                             decimal ? QString::number(r->SerialValue) : r->SerialText, r->Subject,
                             r->ValidOverall != 0});
  }
  return sheet;
}

QStringList DataSheetLines(const TDataSheet& sheet) {
  QStringList lines;
  lines << QString();
  lines << " " + PadRight(sheet.versionText, 46) + PadRight(sheet.now, 52) + kPageText;
  lines << " " + QString(109, QLatin1Char('_'));
  for (int i = 0; i < 4; ++i) lines << QString();
  lines << QString(33, QLatin1Char(' ')) + kDataSheetTitle;
  for (int i = 0; i < 3; ++i) lines << QString();
  lines << "     Naziv datoteke:      " + sheet.fileName;
  lines << QStringLiteral("     Veličina:            ") + sheet.sizeText;
  lines << "     Zadnja izmjena:      " + sheet.lastChangeText;
  lines << "     Broj potpisnika:     " + QString::number(sheet.signers.size());
  lines << "     Hash napravljen:     " + sheet.hashTimeText;
  lines << "     Hash (SHA1 datoteke):" + sheet.digest;
  lines << QString();
  if (!sheet.signers.empty()) {
    lines << "     Lista potpisnika:";
    lines << kRule;
    lines << "     Rbr  Vrijeme potpisa          SB certifikata        Potpisnik                                     Status";
  }
  int i = 0;
  for (const TDataSheetSigner& s : sheet.signers) {
    ++i;
    lines << kRule;
    QString row = "     " + PadRight(QString::number(i) + ".", 5) + PadRight(s.signingTime, 25) +
                  PadRight(s.serial, 22) + s.subject;
    row = PadRight(row.left(100), 100);
    lines << row + (s.ok ? "     OK" : "   NijeOK");
  }
  lines << kRule;
  for (int k = 0; k < 3; ++k) lines << QString();
  return lines;
}

// ---- preview ------------------------------------------------------------------------

TfmPodaciSGN::TfmPodaciSGN(QPrinter* printer, QWidget* parent) : QDialog(parent), printer_(printer) {
  setObjectName("fmPodaciSGN");
  setWindowTitle("Pregled pred ispis");
  resize(722, 482);
  setMinimumSize(400, 300);
  memoPodaci = new QPlainTextEdit(this);
  memoPodaci->setObjectName("memoPodaci");
  memoPodaci->setReadOnly(true);
  memoPodaci->setLineWrapMode(QPlainTextEdit::NoWrap);
  memoPodaci->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoPodaci->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QFont mono("Courier New");
  mono.setStyleHint(QFont::Monospace);
  mono.setPixelSize(11);
  memoPodaci->setFont(mono);
  btnIspis = new QPushButton("&Ispis", this);
  btnZatvori = new QPushButton("&Zatvori", this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnIspis);
  buttons->addWidget(btnZatvori);
  auto* v = new QVBoxLayout(this);
  v->addWidget(memoPodaci);
  v->addLayout(buttons);
  connect(btnIspis, &QPushButton::clicked, this, [this] { btnIspisClick(); });
  connect(btnZatvori, &QPushButton::clicked, this, [this] { done(mrCancel); });
}

void TfmPodaciSGN::btnIspisClick() {
  if (!printer_) return;
  // The sheet is one page: the dialog offers page 1 to page 1.
  printer_->setPrintRange(QPrinter::AllPages);
  printer_->setFromTo(1, 1);
  if (Ui().printDialog(printer_, this)) done(mrOk);
}

bool PreviewDataSheet(const QStringList& lines, QPrinter* printer) {
  TfmPodaciSGN preview(printer);
  preview.memoPodaci->setPlainText(lines.join('\n'));
  return preview.exec() == mrOk;
}

// ---- printing -----------------------------------------------------------------------

void PrintDataSheet(QPrinter& printer, const TDataSheet& sheet) {
  printer.setPageOrientation(QPageLayout::Portrait);
  QPainter painter;
  if (!painter.begin(&printer)) return;
  const int fx = std::max(1, int(std::lround(printer.logicalDpiX() / 25.4)));
  const int fy = std::max(1, int(std::lround(printer.logicalDpiY() / 25.4)));
  const int pageWidth = printer.width() / fx;
  const int L = 10, T = 10, R = pageWidth - 2;
  SheetPainter s(painter, fx, fy);

  s.SetFont(8, false);
  QPen pen(Qt::black);
  pen.setWidth(4);
  painter.setPen(pen);

  s.Line(L, T + 5, R, T + 5);
  s.Text(L, T, R, T + 5, sheet.versionText, SheetPainter::Left);
  s.Text(L, T, R, T + 5, sheet.now, SheetPainter::Centre);
  s.Text(L, T, R, T + 5, kPageText, SheetPainter::Right);

  s.SetFont(14, true);
  s.Text(L, T + 25, R, T + 35, kDataSheetTitle, SheetPainter::Centre);

  s.SetFont(10, false);
  const struct {
    QString label;
    QString value;
    int top;
  } fields[] = {
      {"Naziv datoteke:", sheet.fileName, 50},
      {QStringLiteral("Veličina:"), sheet.sizeText, 57},
      {"Zadnja izmjena:", sheet.lastChangeText, 64},
      {"Broj potpisnika:", QString::number(sheet.signers.size()), 71},
      {"Hash napravljen:", sheet.hashTimeText, 78},
      {"Hash (SHA1 datoteke):", sheet.digest, 85},
  };
  for (const auto& f : fields) {
    s.Text(L + 2, T + f.top, R, T + f.top + 5, f.label);
    s.Text(L + 42, T + f.top, R, T + f.top + 5, f.value);
  }

  if (!sheet.signers.empty()) {
    s.Text(L + 2, T + 92, R, T + 97, "Lista potpisnika:");
    auto frame = [&](int d) {
      s.Line(L + 2, T + d - 1, R, T + d - 1);
      s.Line(L + 2, T + d + 6, R, T + d + 6);
      for (int x : {L + 2, L + 10, L + 54, L + 100, R - 14, R}) s.Line(x, T + d - 1, x, T + d + 6);
    };
    int d = 99;
    frame(d);
    s.Text(L + 3, T + d, R, T + d + 5, "Rbr");
    s.Text(L + 12, T + d, R, T + d + 5, "Vrijeme potpisa");
    s.Text(L + 56, T + d, R, T + d + 5, "SB certifikata");
    s.Text(L + 102, T + d, R, T + d + 5, "Potpisnik");
    s.Text(R - 12, T + d, R, T + d + 5, "Status");
    int i = 0;
    for (const TDataSheetSigner& row : sheet.signers) {
      ++i;
      d = 99 + 7 * i;
      frame(d);
      s.Text(L + 3, T + d, R, T + d + 5, QString::number(i) + ".");
      s.Text(L + 12, T + d, R, T + d + 5, row.signingTime);
      s.Text(L + 56, T + d, R, T + d + 5, row.serial);
      s.Text(L + 102, T + d, R - 15, T + d + 5, row.subject, SheetPainter::Left, true);
      s.Text(R - 12, T + d, R - 1, T + d + 5, row.ok ? "   Ok" : "NijeOk", SheetPainter::Left, true);
    }
  }
  painter.end();
}

bool RunDataSheet(const QString& file, const std::vector<const TSignerRecord*>& signers) {
  const TDataSheet sheet = MakeDataSheet(file, signers);
  QPrinter printer(QPrinter::HighResolution);
  if (!PreviewDataSheet(DataSheetLines(sheet), &printer)) return false;
  PrintDataSheet(printer, sheet);
  return true;
}
