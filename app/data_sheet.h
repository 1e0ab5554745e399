#pragma once
// The printed data sheet of a signed container: file name, size, last change,
// number of signers, time stamp and SHA-1 digest of the signed content and one
// table row per signer. The same content is shown first as fixed-width text lines
// in the preview window TfmPodaciSGN; only when the user prints from there is the
// sheet drawn on the printer chosen in the print dialog, laid out in millimetres.
//
// Public API (for the main window's command "Ispiši podatke o &datoteci"):
//   RunDataSheet(file, signers)  the whole command: the sheet's data, the preview,
//                                and printing when the preview returned true; the
//                                rows are the signer list's records in list order.
//                                True when the sheet was printed.
//   MakeDataSheet(file, signers) the inputs, read now (size, date, versions, time)
//   DataSheetPaging(printer)     how many signer rows the first and every further
//                                page hold on that printer's paper
//   DataSheetPageCount(paging, n)  the pages a sheet of n signers runs to
//   DataSheetLines(sheet, paging)  the preview's lines; a list longer than the
//                                first page goes on under each further page's
//                                header ("Strana: n/m"), as on paper
//   PreviewDataSheet(lines, printer, pages)  the modal preview; true when the user
//                                chose "&Ispis" and confirmed the print dialog,
//                                which offers exactly pages 1 to pages (printer
//                                then holds the choices)
//   PrintDataSheet(printer, sheet)  draws the sheet's pages (those of the range
//                                chosen in the print dialog) on any QPrinter (a PDF
//                                file with QPrinter::PdfFormat works without a
//                                printer)
// Times use the program locale's short date, long time and decimal separator; the
// size its thousands separator (QLocale(), Croatian: platform/program_locale.h).
#include <QDateTime>
#include <QDialog>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "platform/program_locale.h"
#include "signing/verify.h"

class QPlainTextEdit;
class QPrinter;
class QPushButton;

struct TDataSheetSigner {
  QString signingTime;  // signing time text as shown
  QString serial;       // serial text as shown
  QString subject;
  bool ok = false;
};

struct TDataSheet {
  QString fileName;     // without its folder
  QString versionText;  // VersionText
  QString now;          // short date + " " + long time
  QString sizeText;
  QString lastChangeText;
  QString hashTimeText;
  QString digest;
  std::vector<TDataSheetSigner> signers;
};

// The derived texts, with the given locale's separators and formats.
QString DataSheetSizeText(int64_t size, const QLocale& locale = QLocale());
// A time of digits yyyymmddhhnnss (and, with milliseconds, three more digits):
// short date + " " + long time (+ decimal separator + milliseconds); the raw
// text when any part does not convert.
QString DataSheetHashTime(const QString& stamp, const QLocale& locale = QLocale());
QString DataSheetSigningTime(const QString& time, const QLocale& locale = QLocale());

TDataSheet MakeDataSheet(const QString& file, const std::vector<const TSignerRecord*>& signers);

// Signer rows per page: the first page holds the file's data above its list.
struct TDataSheetPaging {
  int firstPageRows;
  int furtherPageRows;
};
// For a printable height in whole millimetres; A4 paper without margins is 297.
TDataSheetPaging DataSheetPaging(int pageHeight);
TDataSheetPaging DataSheetPaging(const QPrinter& printer);
int DataSheetPageCount(const TDataSheetPaging& paging, size_t signers);
inline constexpr int kA4Height = 297;

QStringList DataSheetLines(const TDataSheet& sheet, const TDataSheetPaging& paging = DataSheetPaging(kA4Height));

class TfmPodaciSGN : public QDialog {
  Q_OBJECT
 public:
  explicit TfmPodaciSGN(QPrinter* printer, QWidget* parent = nullptr);

  QPlainTextEdit* memoPodaci = nullptr;
  QPushButton* btnIspis = nullptr;
  QPushButton* btnZatvori = nullptr;

  // "&Ispis": the print dialog over the sheet's pages; confirmed, the window closes
  // with mrOk; cancelled, it stays open.
  void btnIspisClick();
  // The text shown and the sheet's number of pages; the window widens to show the
  // longest line whole.
  void SetLines(const QStringList& lines, int pages);

 private:
  QPrinter* printer_;
  int pages_ = 1;
};

bool PreviewDataSheet(const QStringList& lines, QPrinter* printer, int pages = 1);
void PrintDataSheet(QPrinter& printer, const TDataSheet& sheet);
bool RunDataSheet(const QString& file, const std::vector<const TSignerRecord*>& signers);

inline const QString kDataSheetTitle = QStringLiteral("Podaci o potpisanoj datoteci");
// The progress window's caption while a sheet of several pages prints.
inline const QString kDataSheetPrintCaption = QStringLiteral("Ispis podataka o datoteci");
