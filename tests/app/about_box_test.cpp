// The about box: the program's description and version and the three libraries'
// versions, set afresh on every showing.
#include "app/about_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "card/version_info.h"

namespace {

TEST(AboutBoxTest, ShowsVersionsAndTheSameTextsTwice) {
  const QString description = GetVersionInfoValue("FileDescription");
  const QString version = GetVersionInfoValue("FileVersion");
  ASSERT_EQ(description, "Tarvi Sealdesk");  // this test program carries the program's record
  ASSERT_FALSE(version.isEmpty());

  ASSERT_EQ(fmOprogramu, nullptr);
  for (int run = 0; run < 2; ++run) {
    bool checked = false;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<TfmOprogramu*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box, fmOprogramu);
      EXPECT_EQ(box->windowTitle(), "O programu");
      EXPECT_EQ(box->lblAplikacija->text(), description + "  " + version);
      EXPECT_EQ(box->lblTarvirsa->text(), "tarvirsa.dll");
      EXPECT_EQ(box->lblUnzlib->text(), "unzlib.dll");
      EXPECT_EQ(box->lblZiplib->text(), "ziplib.dll");
      EXPECT_EQ(box->lblTarvirsaVer->text(), " " + GetVersionString("tarvirsa.dll"));
      EXPECT_EQ(box->lblUnzlibVer->text(), " " + GetVersionString("UnzLib.dll"));
      EXPECT_EQ(box->lblZiplibVer->text(), " " + GetVersionString("ZipLib.dll"));
      EXPECT_EQ(box->lblTarvirsaVer->text(), " 1.0.0.0");
      EXPECT_EQ(box->lblUnzlibVer->text(), " 1.73.0.0");
      EXPECT_EQ(box->lblZiplibVer->text(), " 1.73.0.0");
      EXPECT_EQ(box->lblWeb->cursor().shape(), Qt::PointingHandCursor);
      EXPECT_FALSE(box->Image1->pixmap().isNull());
      EXPECT_FALSE(box->Image2->pixmap().isNull());
      checked = true;
      box->btnZatvori->click();
    });
    RunAboutBox();
    EXPECT_TRUE(checked);
  }
  DestroyAboutWindow();
}

}  // namespace
