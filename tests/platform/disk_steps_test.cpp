// The system's reasons as the program words them: Croatian whatever the system's
// locale, one text per reason, and the reason of a file Qt failed to open.
#include "platform/disk_steps.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <set>

#include "support/temp_dir.h"

namespace {

TEST(DiskErrorText, TheCommonReasonsAreCroatian) {
  const struct {
    int err;
    const char* text;
  } cases[] = {
      {ENOSPC, "Nema više mjesta na uređaju"},
      {EACCES, "Pristup nije dopušten"},
      {EPERM, "Operacija nije dopuštena"},
      {EROFS, "Datotečni sustav je samo za čitanje"},
      {EIO, "Ulazno-izlazna pogreška"},
      {EDQUOT, "Kvota diska je premašena"},
      {ENAMETOOLONG, "Naziv datoteke je predugačak"},
      {EEXIST, "Datoteka već postoji"},
      {ENOENT, "Nema takve datoteke ili mape"},
      {EFBIG, "Datoteka je prevelika"},
      {EISDIR, "To je mapa"},
      {ENOTDIR, "Nije mapa"},
      {EXDEV, "Veza između različitih uređaja nije moguća"},
      {EBUSY, "Uređaj ili resurs je zauzet"},
      {ENOMEM, "Nema dovoljno memorije"},
  };
  for (const auto& c : cases) EXPECT_EQ(DiskErrorText(c.err), QString::fromUtf8(c.text)) << c.err;
  // A reason the program has no words for is still told apart by its number.
  EXPECT_EQ(DiskErrorText(4095), "Nepoznata pogreška 4095");
}

TEST(DiskErrorText, EachKnownReasonHasItsOwnText) {
  std::set<QString> seen;
  int known = 0;
  for (int err = 1; err < 140; ++err) {
    const QString text = DiskErrorText(err);
    ASSERT_FALSE(text.isEmpty()) << err;
    if (text.startsWith("Nepoznata pogreška ")) continue;
    ++known;
    EXPECT_TRUE(seen.insert(text).second) << err << " repeats " << text.toStdString();
  }
  EXPECT_GE(known, 40);
}

// Qt's open failures in the system's (Croatian) words: a missing file, a folder
// (which Qt refuses after opening it, with errno untouched) and a file without
// permission to write.
TEST(FileErrorText, NamesWhyQtCouldNotOpen) {
  TempDir dir;
  struct Case {
    std::string path;
    QIODevice::OpenMode mode;
    const char* text;
  };
  WriteAll(dir.file("read-only"), "x");
  ASSERT_EQ(::Run("chmod 0444 '" + dir.file("read-only") + "'"), 0);
  const bool root = ::geteuid() == 0;
  const Case cases[] = {{dir.file("missing"), QIODevice::ReadOnly, "Nema takve datoteke ili mape"},
                        {dir.path(), QIODevice::ReadOnly, "To je mapa"},
                        {dir.file("no/such/folder/f"), QIODevice::WriteOnly, "Nema takve datoteke ili mape"},
                        {dir.file("read-only"), QIODevice::WriteOnly, "Pristup nije dopušten"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (root && c.text == std::string("Pristup nije dopušten")) continue;  // root writes anyway
    QFile f(QString::fromStdString(c.path));
    errno = 0;
    ASSERT_FALSE(f.open(c.mode));
    EXPECT_EQ(FileErrorText(f, errno), QString::fromUtf8(c.text));
  }
}

}  // namespace
