// The data sheet: derived texts, the preview's fixed-width lines, the preview
// window with the print dialog, and the printed page read back from a PDF.
#include "app/data_sheet.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTimer>
#include <QWindow>

#include "platform/fake_ui_services.h"
#include "signing/progress_window.h"
#include "signing/settings.h"
#include "support/temp_dir.h"

namespace {

const QLocale kHr(QLocale::Croatian, QLocale::Croatia);

TEST(DataSheetTexts, SizeRoundsHalvesToEvenWithThousands) {
  const struct {
    int64_t size;
    const char* text;
  } cases[] = {
      {0, "0KB (0)"},
      {512, "0KB (512)"},
      {1536, "2KB (1.536)"},
      {2560, "2KB (2.560)"},
      {3584, "4KB (3.584)"},
      {1234567, "1206KB (1.234.567)"},
      {5000000000LL, "4882812KB (5.000.000.000)"},
  };
  for (const auto& c : cases) EXPECT_EQ(DataSheetSizeText(c.size, kHr), c.text) << c.size;
}

TEST(DataSheetTexts, TimesConvertOrStayRaw) {
  const QString longTime = LongTimeFormat(kHr);
  EXPECT_FALSE(longTime.contains('t')) << longTime.toStdString();
  const QString base =
      kHr.toString(QDate(2024, 1, 31), QLocale::ShortFormat) + " " + kHr.toString(QTime(23, 59, 58), longTime);
  EXPECT_EQ(DataSheetHashTime("20240131235958", kHr), base);
  EXPECT_EQ(DataSheetSigningTime("20240131235958", kHr), base + kHr.decimalPoint() + "000");
  EXPECT_EQ(DataSheetSigningTime("20240131235958123", kHr), base + kHr.decimalPoint() + "123");
  EXPECT_TRUE(base.contains("23:59:58")) << base.toStdString();
  for (const char* raw : {"20241331235958", "20240230120000", "2024013123595", "2024x131235958", "", "00000101000000",
                          "20240131246000", "2024013123595812x"})
    EXPECT_EQ(DataSheetSigningTime(raw, kHr), raw) << raw;
  for (const char* raw : {"20241331235958", "abc", ""}) EXPECT_EQ(DataSheetHashTime(raw, kHr), raw) << raw;
}

TDataSheet Sample() {
  TDataSheet s;
  s.fileName = "izvješće_pdf.sgn";
  s.versionText = "Tarvi Sealdesk 2.5.0.1";
  s.now = "10.12.2026 10:31:13";
  s.sizeText = "2KB (1.536)";
  s.lastChangeText = "09.12.2026 08:05";
  s.hashTimeText = "9.12.2026 08:05:00";
  s.digest = QString(40, 'A');
  s.signers.push_back({"9.12.2026 08:05:01,000", "001001", QStringLiteral("CN=Ivana Čačić Šoštarić,O=Đurđevac"), true});
  s.signers.push_back({"9.12.2026 08:06:00,123", "-2147483648", QString("CN=") + QString(120, 'x'), false});
  return s;
}

TEST(DataSheetLines, FixedWidthLayout) {
  const TDataSheet s = Sample();
  const QStringList l = DataSheetLines(s);
  ASSERT_EQ(l.size(), 2 + 1 + 4 + 1 + 3 + 6 + 1 + 3 + 2 * 2 + 1 + 3);
  EXPECT_EQ(l[0], "");
  EXPECT_EQ(l[1], " Tarvi Sealdesk 2.5.0.1" + QString(46 - 22, ' ') + "10.12.2026 10:31:13" + QString(52 - 19, ' ') +
                      "Strana: 1/1");
  EXPECT_EQ(l[2], " " + QString(109, '_'));
  EXPECT_EQ(l[7], QString(33, ' ') + "Podaci o potpisanoj datoteci");
  EXPECT_EQ(l[11], QStringLiteral("     Naziv datoteke:      izvješće_pdf.sgn"));
  EXPECT_EQ(l[12], QStringLiteral("     Veličina:            2KB (1.536)"));
  EXPECT_EQ(l[14], "     Broj potpisnika:     2");
  EXPECT_EQ(l[16], "     Hash (SHA1 datoteke):" + QString(40, 'A'));
  EXPECT_EQ(l[17], "");
  EXPECT_EQ(l[18], "     Lista potpisnika:");
  const QString rule = "     " + QString(105, '_');
  EXPECT_EQ(l[19], rule);
  EXPECT_EQ(
      l[20],
      "     Rbr  Vrijeme potpisa          SB certifikata        Potpisnik                                     Status");
  EXPECT_EQ(l[21], rule);
  const QString row1 =
      QStringLiteral("     1.   9.12.2026 08:05:01,000   001001                CN=Ivana Čačić Šoštarić,O=Đurđevac");
  EXPECT_EQ(l[22], row1 + QString(100 - row1.size(), ' ') + "     OK");
  EXPECT_EQ(l[23], rule);
  // A long subject is cut at column 100; the status keeps its place.
  EXPECT_EQ(l[24].size(), 100 + 9);
  EXPECT_TRUE(l[24].endsWith("xxx   NijeOK"));
  EXPECT_EQ(l[25], rule);
  EXPECT_EQ(l[26], "");
  EXPECT_EQ(l.last(), "");
}

// The Croatian locale's date with its time fills the time column; the serial
// still stands apart from it, as a long serial does from the subject.
TEST(DataSheetLines, FieldsAsWideAsTheirColumnsStayApart) {
  TDataSheet s = Sample();
  s.signers = {{"10. 12. 2026. 21:46:23,341", QString(22, '7'), "CN=Ana Demo", true}};
  const QStringList l = DataSheetLines(s);
  const QString row = "     1.   10. 12. 2026. 21:46:23,341 " + QString(22, '7') + " CN=Ana Demo";
  EXPECT_TRUE(l.contains(row + QString(100 - row.size(), ' ') + "     OK")) << l.join('\n').toStdString();
}

TEST(DataSheetLines, NoSignersAndLongVersion) {
  TDataSheet s = Sample();
  s.signers.clear();
  s.hashTimeText.clear();
  s.digest.clear();
  s.versionText = QString(50, 'v');
  const QStringList l = DataSheetLines(s);
  ASSERT_EQ(l.size(), 2 + 1 + 4 + 1 + 3 + 6 + 1 + 1 + 3);
  EXPECT_EQ(l[1], " " + QString(50, 'v') + "10.12.2026 10:31:13" + QString(33, ' ') + "Strana: 1/1");
  EXPECT_EQ(l[14], "     Broj potpisnika:     0");
  EXPECT_EQ(l[17], "");
  EXPECT_EQ(l[18], "     " + QString(105, '_'));
}

TEST(DataSheetInputs, FromFileAndSignerRecords) {
  TempDir d("sheet");
  WriteAll(d.file("a_txt.sgn"), std::string(2560, 'x'));
  TSignerRecord r;
  r.DocumentTime = "20240131235958";
  r.DocumentDigest = QString(40, 'F');
  r.SigningTime = "20240131235959";
  r.SerialValue = 4097;
  r.SerialText = "1001";
  r.Subject = QStringLiteral("CN=Željko");
  r.ValidOverall = 1;
  TSignerRecord r2 = r;
  r2.ValidOverall = 0;
  VersionText = "Tarvi Sealdesk 2.5.0.1";
  TempDir install("install");
  Settings = std::make_unique<TPostavkeRada>(QString::fromStdString(install.path()) + "/");
  Settings->ShowSNCertAsDecimal = true;
  TDataSheet s = MakeDataSheet(QString::fromStdString(d.file("a_txt.sgn")), {&r, &r2});
  EXPECT_EQ(s.fileName, "a_txt.sgn");
  EXPECT_TRUE(s.sizeText.startsWith("2KB (2")) << s.sizeText.toStdString();
  EXPECT_EQ(s.versionText, VersionText);
  EXPECT_EQ(s.digest, QString(40, 'F'));
  EXPECT_EQ(s.hashTimeText, DataSheetHashTime("20240131235958"));
  ASSERT_EQ(s.signers.size(), 2u);
  EXPECT_EQ(s.signers[0].serial, "4097");
  EXPECT_TRUE(s.signers[0].ok);
  EXPECT_FALSE(s.signers[1].ok);
  EXPECT_EQ(s.signers[0].signingTime, DataSheetSigningTime("20240131235959"));
  Settings->ShowSNCertAsDecimal = false;
  s = MakeDataSheet(QString::fromStdString(d.file("a_txt.sgn")), {&r});
  EXPECT_EQ(s.signers[0].serial, "1001");
  EXPECT_TRUE(MakeDataSheet(QString::fromStdString(d.file("a_txt.sgn")), {}).digest.isEmpty());
  Settings.reset();
}

TEST(DataSheetPreview, PrintDialogDecidesAndCancelKeepsItOpen) {
  FakeUiServices ui;
  QPrinter printer;
  const QStringList lines = DataSheetLines(Sample());
  int stage = 0;
  std::function<void()> step = [&] {
    auto* p = qobject_cast<TfmPodaciSGN*>(QApplication::activeModalWidget());
    if (!p) {
      QTimer::singleShot(0, step);
      return;
    }
    EXPECT_EQ(p->windowTitle(), "Pregled pred ispis");
    EXPECT_EQ(p->memoPodaci->toPlainText(), lines.join('\n'));
    EXPECT_TRUE(p->memoPodaci->isReadOnly());
    EXPECT_EQ(p->memoPodaci->font().pixelSize(), 11);
    EXPECT_EQ(p->memoPodaci->lineWrapMode(), QPlainTextEdit::NoWrap);
    ui.printAnswer = false;
    p->btnIspis->click();  // cancelled: stays open
    EXPECT_TRUE(p->isVisible());
    EXPECT_EQ(printer.fromPage(), 1);
    EXPECT_EQ(printer.toPage(), 1);
    ui.printAnswer = true;
    stage = 1;
    p->btnIspis->click();
  };
  QTimer::singleShot(0, step);
  EXPECT_TRUE(PreviewDataSheet(lines, &printer));
  EXPECT_EQ(stage, 1);
  EXPECT_EQ(ui.printCalls, 2);

  QTimer::singleShot(0, [] {
    auto* p = qobject_cast<TfmPodaciSGN*>(QApplication::activeModalWidget());
    ASSERT_NE(p, nullptr);
    p->btnZatvori->click();
  });
  EXPECT_FALSE(PreviewDataSheet(lines, &printer));
  EXPECT_EQ(ui.printCalls, 2);
}

TEST(DataSheetPrint, PdfKeepsTheTextsAndCroatianLetters) {
  TempDir d("pdf");
  const std::string pdf = d.file("sheet.pdf");
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(QString::fromStdString(pdf));
  PrintDataSheet(printer, Sample());
  std::string text;
  ASSERT_EQ(::Run("pdftotext -layout '" + pdf + "' -", &text), 0);
  // Some fonts set "fi" as one ligature glyph, which pdftotext hands back as U+FB01.
  const QString t = QString::fromStdString(text).normalized(QString::NormalizationForm_KC);
  EXPECT_EQ(printer.pageLayout().orientation(), QPageLayout::Portrait);
  for (const QString& s : {QString("Podaci o potpisanoj datoteci"),
                           QString("Tarvi Sealdesk 2.5.0.1"),
                           QString("Strana: 1/1"),
                           QString("Naziv datoteke:"),
                           QStringLiteral("izvješće_pdf.sgn"),
                           QStringLiteral("Veličina:"),
                           QString("2KB (1.536)"),
                           QString("Hash (SHA1 datoteke):"),
                           QString(40, 'A'),
                           QString("Lista potpisnika:"),
                           QString("Rbr"),
                           QString("Vrijeme potpisa"),
                           QString("SB certifikata"),
                           QString("Potpisnik"),
                           QString("Status"),
                           QString("1."),
                           QString("2."),
                           QString("001001"),
                           QStringLiteral("Ivana Čačić Šoštarić,O=Đurđevac"),
                           QString("NijeOk"),
                           QString("Ok")})
    EXPECT_TRUE(t.contains(s)) << s.toStdString() << "\n" << text;
  // The second subject is clipped at its column: far fewer than its 120 x.
  EXPECT_FALSE(t.contains(QString(100, 'x'))) << text;
  EXPECT_TRUE(t.contains(QString(10, 'x')));
  // One page.
  std::string info;
  ASSERT_EQ(::Run("pdfinfo '" + pdf + "'", &info), 0);
  EXPECT_TRUE(QRegularExpression("\\nPages: +1\\n").match(QString::fromStdString(info)).hasMatch()) << info;
  // Labels and values share their bands.
  EXPECT_TRUE(QRegularExpression(QStringLiteral("Veličina: +2KB \\(1\\.536\\)")).match(t).hasMatch()) << text;
}

// A sheet of n signers named "Potpisnik 001" and on.
TDataSheet ManySigners(int n) {
  TDataSheet s = Sample();
  s.signers.clear();
  for (int i = 1; i <= n; ++i)
    s.signers.push_back({"9.12.2026 08:05:01,000", QString::number(1000 + i),
                         QStringLiteral("CN=Potpisnik %1,O=Đurđevac").arg(i, 3, 10, QLatin1Char('0')), i % 7 != 0});
  return s;
}

int PdfPages(const std::string& pdf) {
  std::string info;
  if (::Run("pdfinfo '" + pdf + "'", &info) != 0) return -1;
  const auto m = QRegularExpression("\\nPages: +(\\d+)\\n").match(QString::fromStdString(info));
  return m.hasMatch() ? m.captured(1).toInt() : -1;
}

std::string PdfPageText(const std::string& pdf, int page) {
  std::string text;
  ::Run("pdftotext -layout -f " + std::to_string(page) + " -l " + std::to_string(page) + " '" + pdf + "' -", &text);
  return text;
}

// On A4 the first page holds 24 rows below the file's data, every further page 36
// under its header: no signer is ever lost from the printout.
TEST(DataSheetPrint, TheListGoesOnOverAsManyPagesAsItNeeds) {
  const TDataSheetPaging a4 = DataSheetPaging(kA4Height);
  EXPECT_EQ(a4.firstPageRows, 24);
  EXPECT_EQ(a4.furtherPageRows, 36);
  const struct {
    int signers;
    int pages;
  } cases[] = {{0, 1}, {1, 1}, {24, 1}, {25, 2}, {60, 2}, {61, 3}, {200, 6}};
  for (const auto& c : cases) EXPECT_EQ(DataSheetPageCount(a4, size_t(c.signers)), c.pages) << c.signers;

  for (int n : {60, 25}) {
    SCOPED_TRACE(n);
    TempDir d("pdf");
    const std::string pdf = d.file("sheet.pdf");
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(pdf));
    printer.setPageSize(QPageSize(QPageSize::A4));
    const int pages = DataSheetPageCount(DataSheetPaging(printer), size_t(n));
    ASSERT_GE(pages, 2);
    PrintDataSheet(printer, ManySigners(n));
    ASSERT_EQ(PdfPages(pdf), pages);
    std::string all;
    for (int p = 1; p <= pages; ++p) {
      const QString t = QString::fromStdString(PdfPageText(pdf, p));
      // Every page has its header and the column heads over its part of the list.
      EXPECT_TRUE(t.contains(QStringLiteral("Strana: %1/%2").arg(p).arg(pages))) << p << "\n" << t.toStdString();
      EXPECT_TRUE(t.contains("Tarvi Sealdesk 2.5.0.1")) << p;
      EXPECT_TRUE(t.contains("Vrijeme potpisa")) << p;
      EXPECT_EQ(t.contains("Podaci o potpisanoj datoteci"), p == 1) << p;
      all += t.toStdString();
    }
    const QString t = QString::fromStdString(all);
    for (int i = 1; i <= n; ++i) {
      const QString name = QStringLiteral("Potpisnik %1,O=Đurđevac").arg(i, 3, 10, QLatin1Char('0'));
      EXPECT_EQ(t.count(name), 1) << name.toStdString();
      EXPECT_TRUE(QRegularExpression(QStringLiteral("\\b%1\\. ").arg(i)).match(t).hasMatch()) << i;
    }
  }

  // A range chosen in the print dialog prints those pages only.
  TempDir d("pdf");
  const std::string pdf = d.file("part.pdf");
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(QString::fromStdString(pdf));
  printer.setPageSize(QPageSize(QPageSize::A4));
  const int pages = DataSheetPageCount(DataSheetPaging(printer), 200);
  printer.setPrintRange(QPrinter::PageRange);
  printer.setFromTo(2, 3);
  PrintDataSheet(printer, ManySigners(200));
  ASSERT_EQ(PdfPages(pdf), 2);
  EXPECT_NE(PdfPageText(pdf, 1).find(QStringLiteral("Strana: 2/%1").arg(pages).toStdString()), std::string::npos);
  EXPECT_NE(PdfPageText(pdf, 2).find(QStringLiteral("Strana: 3/%1").arg(pages).toStdString()), std::string::npos);
}

// The preview shows the same pages: the list goes on under the next page's
// header, and the header of the first page counts them all.
TEST(DataSheetLines, TheListGoesOnUnderEachPagesHeader) {
  const QStringList l = DataSheetLines(ManySigners(60), DataSheetPaging(kA4Height));
  const QString all = l.join('\n');
  EXPECT_TRUE(l[1].endsWith("Strana: 1/2"));
  EXPECT_EQ(all.count("Strana: 2/2"), 1);
  EXPECT_EQ(all.count("Strana: "), 2);
  for (int i = 1; i <= 60; ++i)
    EXPECT_EQ(all.count(QStringLiteral("CN=Potpisnik %1,").arg(i, 3, 10, QLatin1Char('0'))), 1) << i;
  // The second page's header stands between row 24 and row 25, with the column heads under it.
  const qsizetype row24 = all.indexOf("CN=Potpisnik 024"), page2 = all.indexOf("Strana: 2/2"),
                  row25 = all.indexOf("CN=Potpisnik 025");
  EXPECT_LT(row24, page2);
  EXPECT_LT(page2, row25);
  EXPECT_NE(all.mid(page2, row25 - page2).indexOf("     Rbr  Vrijeme potpisa"), -1);
}

// The preview is read without sideways scrolling, and its print dialog (the real
// one) offers exactly the sheet's pages.
TEST(DataSheetPreview, ShowsWholeLinesAndOffersExactlyTheSheetsPages) {
  const QStringList lines = DataSheetLines(ManySigners(60), DataSheetPaging(kA4Height));
  QPrinter printer;
  int minPage = -1, maxPage = -1, from = -1, to = -1, scroll = -1;
  bool rangeOffered = false;
  std::function<void()> inPreview, inDialog;
  inDialog = [&] {
    auto* dialog = qobject_cast<QPrintDialog*>(QApplication::activeModalWidget());
    if (!dialog) {
      QTimer::singleShot(10, inDialog);
      return;
    }
    minPage = dialog->minPage();
    maxPage = dialog->maxPage();
    from = dialog->fromPage();
    to = dialog->toPage();
    rangeOffered = dialog->testOption(QAbstractPrintDialog::PrintPageRange);
    dialog->reject();
    QTimer::singleShot(0, [] {
      if (auto* p = qobject_cast<TfmPodaciSGN*>(QApplication::activeModalWidget())) p->btnZatvori->click();
    });
  };
  inPreview = [&] {
    auto* p = qobject_cast<TfmPodaciSGN*>(QApplication::activeModalWidget());
    if (!p) {
      QTimer::singleShot(10, inPreview);
      return;
    }
    QApplication::processEvents();
    scroll = p->memoPodaci->horizontalScrollBar()->maximum();
    QTimer::singleShot(0, inDialog);
    p->btnIspis->click();
  };
  QTimer::singleShot(0, inPreview);
  EXPECT_FALSE(PreviewDataSheet(lines, &printer, 2));
  EXPECT_EQ(scroll, 0);
  EXPECT_EQ(minPage, 1);
  EXPECT_EQ(maxPage, 2);
  EXPECT_EQ(from, 1);
  EXPECT_EQ(to, 2);
  EXPECT_TRUE(rangeOffered);
}

// A sheet of several pages shows its printing page by page in the progress window,
// painted while it prints, and the window goes when it is done.
TEST(DataSheetPrint, SeveralPagesShowTheirPrintingInTheProgressWindow) {
  TfmProgres window;
  fmProgres = &window;
  int64_t now = 0;
  window.setClock([&] { return now += 60; });  // every update is due for a repaint
  struct Painted {
    QString caption, description;
    int value;
    bool exposed;
  };
  std::vector<Painted> paints;
  struct Filter : QObject {
    std::vector<Painted>* out;
    bool eventFilter(QObject* o, QEvent* e) override {
      if (o == fmProgres && e->type() == QEvent::Paint)
        out->push_back({fmProgres->windowTitle(), fmProgres->lbOpis->text(), fmProgres->ProgressBar1->value(),
                        fmProgres->windowHandle() && fmProgres->windowHandle()->isExposed()});
      return false;
    }
  } filter;
  filter.out = &paints;
  window.installEventFilter(&filter);

  TempDir d("pdf");
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(QString::fromStdString(d.file("sheet.pdf")));
  printer.setPageSize(QPageSize(QPageSize::A4));
  const int pages = DataSheetPageCount(DataSheetPaging(printer), 200);
  PrintDataSheet(printer, ManySigners(200));
  fmProgres = nullptr;
  EXPECT_FALSE(window.isVisible());
  std::vector<int> values;
  for (const Painted& p : paints) {
    EXPECT_EQ(p.caption, kDataSheetPrintCaption);
    EXPECT_TRUE(p.exposed);
    if (values.empty() || values.back() != p.value) values.push_back(p.value);
  }
  std::vector<int> expected;
  for (int i = 0; i < pages; ++i) expected.push_back(i);
  EXPECT_EQ(values, expected);
  ASSERT_FALSE(paints.empty());
  EXPECT_EQ(paints.back().description, QStringLiteral("Strana: %1/%1").arg(pages));

  // A one-page sheet prints without it.
  paints.clear();
  fmProgres = &window;
  QPrinter one(QPrinter::HighResolution);
  one.setOutputFormat(QPrinter::PdfFormat);
  one.setOutputFileName(QString::fromStdString(d.file("one.pdf")));
  PrintDataSheet(one, Sample());
  fmProgres = nullptr;
  EXPECT_TRUE(paints.empty());
}

}  // namespace
