// Container names and the shell's result lines.
#include "signing/sign_file.h"

#include <gtest/gtest.h>

#include "support/qt_print.h"

namespace {

TEST(SignFileNames, SplitAndContainerName) {
  struct Case {
    const char* path;
    const char* folder;
    const char* base;
    const char* ext;
    const char* container;
  } cases[] = {
      {"/docs/report.pdf", "/docs", "report", "pdf", "/docs/report_pdf.sgn"},
      {"/docs/report", "/docs", "report", "", "/docs/report_.sgn"},
      {"/home/u/.bashrc", "/home/u", "", "bashrc", "/home/u/_bashrc.sgn"},
      {"/a.b/archive.tar.gz", "/a.b", "archive.tar", "gz", "/a.b/archive.tar_gz.sgn"},
      {"/a.b/noext", "/a.b", "noext", "", "/a.b/noext_.sgn"},
      {"/report.pdf", "", "report", "pdf", "/report_pdf.sgn"},
      {"report.pdf", "", "report", "pdf", "report_pdf.sgn"},
      {"/docs/trailing.", "/docs", "trailing", "", "/docs/trailing_.sgn"},
      {"/docs/izvješće.pdf", "/docs", "izvješće", "pdf", "/docs/izvješće_pdf.sgn"},
      {"/docs/a\\b.txt", "/docs", "a\\b", "txt", "/docs/a\\b_txt.sgn"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    QString folder = "x", base = "x", ext = "x";
    EXPECT_EQ(SplitFileName(QString::fromUtf8(c.path), folder, base, ext), 1);
    EXPECT_EQ(folder, QString::fromUtf8(c.folder));
    EXPECT_EQ(base, QString::fromUtf8(c.base));
    EXPECT_EQ(ext, QString::fromUtf8(c.ext));
    EXPECT_EQ(SignedFileName(QString::fromUtf8(c.path)), QString::fromUtf8(c.container));
  }
}

TEST(SignFileNames, ResultLines) {
  EXPECT_EQ(SignFileResultLine(0), "");
  EXPECT_EQ(SignFileResultLine(1), QString::fromUtf8(" >> Ulazna datoteka se ne može otvoriti !<<"));
  EXPECT_EQ(SignFileResultLine(2), QString::fromUtf8(" >> Izlazana datoteka se ne može kreirati !<<"));
  EXPECT_EQ(SignFileResultLine(3), QString::fromUtf8(" >> Nema dovoljno slobodne memorije za memorijski buffer !<<"));
  EXPECT_EQ(SignFileResultLine(4), QString::fromUtf8(" >> Certifikat se ne može pročitati s kartice !<<"));
  EXPECT_EQ(SignFileResultLine(5), QString::fromUtf8(" >> Digitialni potpis se ne može generirati !<<"));
}

}  // namespace
