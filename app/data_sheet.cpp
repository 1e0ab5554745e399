#include "app/data_sheet.h"

#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPushButton>
#include <QScrollBar>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "platform/ui_services.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
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
const QString kColumnHeads = QStringLiteral(
    "     Rbr  Vrijeme potpisa          SB certifikata        Potpisnik                                     Status");

// Page layout on paper, in whole millimetres: margins, the first page's table
// heads at 99 below the top margin, a further page's at 15 (under its header), one
// row every 7, each row's frame reaching 6 below its position.
constexpr int kMargin = 10;
constexpr int kFirstHeads = 99;
constexpr int kFurtherHeads = 15;
constexpr int kRowStep = 7;
constexpr int kRowBottom = 6;

// Rows that fit below heads at position heads on a page of the given height.
int RowsBelow(int heads, int pageHeight) {
  const int room = pageHeight - kMargin - (kMargin + heads + kRowBottom);
  return std::max(1, room / kRowStep);  // at least one row: a page always makes progress
}

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

TDataSheetPaging DataSheetPaging(int pageHeight) {
  return {RowsBelow(kFirstHeads, pageHeight), RowsBelow(kFurtherHeads, pageHeight)};
}

int DataSheetPageCount(const TDataSheetPaging& paging, size_t signers) {
  if (signers <= size_t(paging.firstPageRows)) return 1;
  const size_t rest = signers - size_t(paging.firstPageRows);
  return 1 + int((rest + size_t(paging.furtherPageRows) - 1) / size_t(paging.furtherPageRows));
}

// The page on which signer row i (from 1) stands.
static int PageOfRow(const TDataSheetPaging& paging, size_t i) {
  if (i <= size_t(paging.firstPageRows)) return 1;
  return 2 + int((i - size_t(paging.firstPageRows) - 1) / size_t(paging.furtherPageRows));
}

static QString PageText(int page, int pages) {
  return QStringLiteral("Strana: ") + QString::number(page) + QLatin1Char('/') + QString::number(pages);
}

TDataSheet MakeDataSheet(const QString& file, const std::vector<const TSignerRecord*>& signers) {
  const QLocale locale;  // the program's own (Croatian)
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

QStringList DataSheetLines(const TDataSheet& sheet, const TDataSheetPaging& paging) {
  const int pages = DataSheetPageCount(paging, sheet.signers.size());
  auto header = [&](int page) {
    return " " + PadRight(sheet.versionText, 46) + PadRight(sheet.now, 52) + PageText(page, pages);
  };
  QStringList lines;
  lines << QString();
  lines << header(1);
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
    lines << kColumnHeads;
  }
  size_t i = 0;
  int page = 1;
  for (const TDataSheetSigner& s : sheet.signers) {
    ++i;
    // The list goes on on the next page as on paper: under that page's header,
    // with the column heads again.
    if (PageOfRow(paging, i) != page) {
      page = PageOfRow(paging, i);
      lines << kRule << QString() << QString();
      lines << header(page);
      lines << " " + QString(109, QLatin1Char('_'));
      lines << QString();
      lines << kRule;
      lines << kColumnHeads;
    }
    lines << kRule;
    // A field as wide as its column (a locale's long date) still ends in a space,
    // so it never runs into the next one.
    QString row = "     " + PadRight(QString::number(i) + ".", 5) + PadRight(s.signingTime + ' ', 25) +
                  PadRight(s.serial + ' ', 22) + s.subject;
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
  // The dialog offers exactly the sheet's pages, all of them chosen at first.
  printer_->setPrintRange(QPrinter::AllPages);
  printer_->setFromTo(1, pages_);
  if (Ui().printDialog(printer_, this)) done(mrOk);
}

void TfmPodaciSGN::SetLines(const QStringList& lines, int pages) {
  pages_ = std::max(1, pages);
  memoPodaci->setPlainText(lines.join('\n'));
  // Wide enough for the longest line: the sheet is read without scrolling sideways.
  int longest = 0;
  const QFontMetrics fm(memoPodaci->font());
  for (const QString& line : lines) longest = std::max(longest, fm.horizontalAdvance(line));
  const int chrome = 2 * memoPodaci->frameWidth() + int(2 * memoPodaci->document()->documentMargin()) +
                     memoPodaci->verticalScrollBar()->sizeHint().width() + 4;
  const int outer = layout() ? layout()->contentsMargins().left() + layout()->contentsMargins().right() : 0;
  resize(std::max(width(), longest + chrome + outer), height());
}

bool PreviewDataSheet(const QStringList& lines, QPrinter* printer, int pages) {
  TfmPodaciSGN preview(printer);
  preview.SetLines(lines, pages);
  return preview.exec() == mrOk;
}

// ---- printing -----------------------------------------------------------------------

namespace {

struct PrinterUnits {
  int fx, fy, width, height;
};

PrinterUnits UnitsOf(const QPrinter& printer) {
  const int fx = std::max(1, int(std::lround(printer.logicalDpiX() / 25.4)));
  const int fy = std::max(1, int(std::lround(printer.logicalDpiY() / 25.4)));
  return {fx, fy, printer.width() / fx, printer.height() / fy};
}

// The pages the user chose in the print dialog, inside the sheet's own.
struct PageRange {
  int first, last;
};

PageRange ChosenPages(const QPrinter& printer, int pages) {
  PageRange range{1, pages};
  if (printer.printRange() == QPrinter::PageRange && printer.fromPage() > 0) {
    range.first = std::clamp(printer.fromPage(), 1, pages);
    range.last = std::clamp(std::max(printer.toPage(), range.first), range.first, pages);
  }
  return range;
}

// The sheet drawn on paper one page at a time, in whole millimetres.
class SheetPages {
 public:
  SheetPages(QPainter& painter, const PrinterUnits& units, const TDataSheet& sheet, const TDataSheetPaging& paging,
             int pages)
      : s_(painter, units.fx, units.fy), sheet_(sheet), paging_(paging), pages_(pages), R_(units.width - 2) {}

  void Page(int page) {
    Header(page);
    int d = kFurtherHeads;
    if (page == 1) {
      FirstPageFields();
      if (sheet_.signers.empty()) return;
      s_.Text(L_ + 2, T_ + 92, R_, T_ + 97, "Lista potpisnika:");
      d = kFirstHeads;
    }
    Heads(d);
    Rows(page, d);
  }

 private:
  void Header(int page) {
    s_.SetFont(8, false);
    s_.Line(L_, T_ + 5, R_, T_ + 5);
    s_.Text(L_, T_, R_, T_ + 5, sheet_.versionText, SheetPainter::Left);
    s_.Text(L_, T_, R_, T_ + 5, sheet_.now, SheetPainter::Centre);
    s_.Text(L_, T_, R_, T_ + 5, PageText(page, pages_), SheetPainter::Right);
  }

  void Frame(int d) {
    s_.Line(L_ + 2, T_ + d - 1, R_, T_ + d - 1);
    s_.Line(L_ + 2, T_ + d + 6, R_, T_ + d + 6);
    for (int x : {L_ + 2, L_ + 10, L_ + 54, L_ + 100, R_ - 14, R_}) s_.Line(x, T_ + d - 1, x, T_ + d + 6);
  }

  void Heads(int d) {
    s_.SetFont(10, false);
    Frame(d);
    s_.Text(L_ + 3, T_ + d, R_, T_ + d + 5, "Rbr");
    s_.Text(L_ + 12, T_ + d, R_, T_ + d + 5, "Vrijeme potpisa");
    s_.Text(L_ + 56, T_ + d, R_, T_ + d + 5, "SB certifikata");
    s_.Text(L_ + 102, T_ + d, R_, T_ + d + 5, "Potpisnik");
    s_.Text(R_ - 12, T_ + d, R_, T_ + d + 5, "Status");
  }

  void FirstPageFields() {
    s_.SetFont(14, true);
    s_.Text(L_, T_ + 25, R_, T_ + 35, kDataSheetTitle, SheetPainter::Centre);

    s_.SetFont(10, false);
    const struct {
      QString label;
      QString value;
      int top;
    } fields[] = {
        {"Naziv datoteke:", sheet_.fileName, 50},
        {QStringLiteral("Veličina:"), sheet_.sizeText, 57},
        {"Zadnja izmjena:", sheet_.lastChangeText, 64},
        {"Broj potpisnika:", QString::number(sheet_.signers.size()), 71},
        {"Hash napravljen:", sheet_.hashTimeText, 78},
        {"Hash (SHA1 datoteke):", sheet_.digest, 85},
    };
    for (const auto& f : fields) {
      s_.Text(L_ + 2, T_ + f.top, R_, T_ + f.top + 5, f.label);
      s_.Text(L_ + 42, T_ + f.top, R_, T_ + f.top + 5, f.value);
    }
  }

  // The signer rows of this page, below its table heads at d.
  void Rows(int page, int d) {
    const size_t from =
        page == 1 ? 1 : size_t(paging_.firstPageRows) + size_t(page - 2) * size_t(paging_.furtherPageRows) + 1;
    const size_t to = std::min(sheet_.signers.size(),
                               page == 1 ? size_t(paging_.firstPageRows) : from + size_t(paging_.furtherPageRows) - 1);
    for (size_t i = from; i <= to; ++i) {
      const TDataSheetSigner& row = sheet_.signers[i - 1];
      d += kRowStep;
      Frame(d);
      s_.Text(L_ + 3, T_ + d, R_, T_ + d + 5, QString::number(i) + ".");
      s_.Text(L_ + 12, T_ + d, R_, T_ + d + 5, row.signingTime);
      s_.Text(L_ + 56, T_ + d, R_, T_ + d + 5, row.serial);
      s_.Text(L_ + 102, T_ + d, R_ - 15, T_ + d + 5, row.subject, SheetPainter::Left, true);
      s_.Text(R_ - 12, T_ + d, R_ - 1, T_ + d + 5, row.ok ? "   Ok" : "NijeOk", SheetPainter::Left, true);
    }
  }

  SheetPainter s_;
  const TDataSheet& sheet_;
  const TDataSheetPaging& paging_;
  const int pages_;
  const int L_ = kMargin, T_ = kMargin, R_;
};

}  // namespace

TDataSheetPaging DataSheetPaging(const QPrinter& printer) { return DataSheetPaging(UnitsOf(printer).height); }

void PrintDataSheet(QPrinter& printer, const TDataSheet& sheet) {
  printer.setPageOrientation(QPageLayout::Portrait);
  const PrinterUnits units = UnitsOf(printer);
  const TDataSheetPaging paging = DataSheetPaging(units.height);
  const int pages = DataSheetPageCount(paging, sheet.signers.size());
  const auto [first, last] = ChosenPages(printer, pages);
  QPainter painter;
  if (!painter.begin(&printer)) return;
  SheetPages sheetPages(painter, units, sheet, paging, pages);
  QPen pen(Qt::black);
  pen.setWidth(4);
  painter.setPen(pen);

  // A sheet of several pages shows their printing in the progress window.
  const bool showProgress = last > first;
  struct HideAtEnd {
    bool on;
    ~HideAtEnd() {
      if (on) HideProgress();
    }
  } hideAtEnd{showProgress};
  bool started = false;
  for (int page = first; page <= last; ++page) {
    if (showProgress) ShowProgress(page - first, last - first + 1, PageText(page, pages), kDataSheetPrintCaption);
    if (started && !printer.newPage()) break;
    started = true;
    sheetPages.Page(page);
  }
  painter.end();
}

bool RunDataSheet(const QString& file, const std::vector<const TSignerRecord*>& signers) {
  const TDataSheet sheet = MakeDataSheet(file, signers);
  QPrinter printer(QPrinter::HighResolution);
  const TDataSheetPaging paging = DataSheetPaging(printer);
  if (!PreviewDataSheet(DataSheetLines(sheet, paging), &printer, DataSheetPageCount(paging, sheet.signers.size())))
    return false;
  PrintDataSheet(printer, sheet);
  return true;
}
