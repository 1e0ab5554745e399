// The progress window and the data module.
#include "signing/progress_window.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <climits>
#include <memory>

#include "platform/fake_ui_services.h"
#include "signing/data_module.h"

TEST(ProgressWindow, PercentRoundsHalvesToEven) {
  struct Row {
    int32_t pos, max;
    int64_t percent;
  } rows[] = {
      {1, 8, 12},  // 12.5
      {3, 8, 38},  // 37.5
      {5, 8, 62},  // 62.5
      {7, 8, 88},  // 87.5
      {30000000, 60000000, 50},
      {1, 3, 33},
      {2, 3, 67},
      {0, 100, 0},
      {100, 100, 100},
      {INT32_MAX, INT32_MAX, 100},
      {INT32_MAX, INT32_MAX - 1, 100},
      {1073741824, INT32_MAX, 50},
      {INT32_MAX, 2, 107374182350},  // a position past the maximum is shown as it is
      {1, 0, 0},
      {-1, 8, -12},
  };
  for (const Row& r : rows) EXPECT_EQ(ProgressPercent(r.pos, r.max), r.percent) << r.pos << "/" << r.max;
}

TEST(ProgressWindow, AbsentWindowDoesNothing) {
  ASSERT_EQ(fmProgres, nullptr);
  ShowProgress(1, 2, "x", "y");
  HideProgress();
  EXPECT_EQ(fmProgres, nullptr);
}

TEST(ProgressWindow, ShowsEveryUpdateAndRepaintsAtMostEvery50ms) {
  auto owner = std::make_unique<TfmProgres>();
  fmProgres = owner.get();
  EXPECT_EQ(fmProgres->windowTitle(), "Progres");
  EXPECT_EQ(fmProgres->lbPosto->text(), "1 %");
  EXPECT_EQ(fmProgres->Button1->text(), "&Odustani");
  EXPECT_EQ(fmProgres->size(), QSize(280, 124));
  EXPECT_FALSE(fmProgres->isModal());

  int64_t now = 1000;
  fmProgres->setClock([&] { return now; });
  ShowProgress(1, 8, "datoteka.txt", "Potpisivanje");
  EXPECT_TRUE(fmProgres->isVisible());
  EXPECT_EQ(fmProgres->windowTitle(), "Potpisivanje");
  EXPECT_EQ(fmProgres->lbPosto->text(), "12 %");
  EXPECT_EQ(fmProgres->lbOpis->text(), "datoteka.txt");
  EXPECT_EQ(fmProgres->ProgressBar1->maximum(), 8);
  EXPECT_EQ(fmProgres->ProgressBar1->value(), 1);
  EXPECT_EQ(fmProgres->repaintCount(), 1);

  // A burst of updates within 50 ms: the texts follow each one, the repaint waits.
  for (int i = 2; i <= 7; ++i) {
    now += 5;
    ShowProgress(i, 8, "datoteka.txt", "Potpisivanje");
  }
  EXPECT_EQ(fmProgres->lbPosto->text(), "88 %");
  EXPECT_EQ(fmProgres->ProgressBar1->value(), 7);
  EXPECT_EQ(fmProgres->repaintCount(), 1);
  now += 50;
  ShowProgress(8, 8, "b.txt", "Potpisivanje");
  EXPECT_EQ(fmProgres->repaintCount(), 2);
  EXPECT_EQ(fmProgres->lbOpis->text(), "b.txt");

  // Closing it (the button) stops nothing; the next update shows it again at once.
  fmProgres->Button1->click();
  EXPECT_FALSE(fmProgres->isVisible());
  now += 1;
  ShowProgress(3, 8, "c", "Dekripcija");
  EXPECT_TRUE(fmProgres->isVisible());
  EXPECT_EQ(fmProgres->repaintCount(), 3);
  EXPECT_EQ(fmProgres->lbPosto->text(), "38 %");

  HideProgress();
  EXPECT_FALSE(fmProgres->isVisible());
  owner.reset();
  EXPECT_EQ(fmProgres, nullptr);  // a deleted window is absent again
}

TEST(DataModule, ZipComponentAndSaveDialog) {
  TdmCollector dm;
  dmCollector = &dm;
  const TZipArchiver& z = dm.ZipArchiver1;
  EXPECT_EQ(z.AddCompLevel(), 9);
  EXPECT_TRUE(z.AddOptions().Empty());
  EXPECT_TRUE(z.ExtrOptions().Empty());
  EXPECT_FALSE(z.Unattended());
  EXPECT_FALSE(z.Verbose());
  EXPECT_FALSE(z.Trace());
  EXPECT_EQ(z.VersionInfo(), "1.73");
  EXPECT_EQ(z.AddStoreSuffixes(), AddStoreExts::Range(assGIF, assLHA));
  EXPECT_TRUE(z.SpanOptions().Empty());
  EXPECT_EQ(z.KeepFreeOnDisk1(), 0);
  EXPECT_EQ(z.KeepFreeOnAllDisks(), 0u);
  EXPECT_EQ(z.SFXCaption(), "Self-extracting Archive");
  EXPECT_EQ(z.SFXOverWriteMode(), OvrConfirm);
  EXPECT_EQ(z.SFXPath(), "ZaSFX.bin");

  EXPECT_EQ(TSaveDialog::DialogFilter("Kriptirane datoteke (*.enc)|*.enc|Sve datoteke (*.*)|*.*"),
            "Kriptirane datoteke (*.enc);;Sve datoteke (*)");

  FakeUiServices ui;
  TSaveDialog& d = dm.SnimiDlg;
  d.DefaultExt = "enc";
  d.InitialDir = "/tmp/out";
  d.FileName = "a_txt.enc";
  ui.fileAnswers = {"", "/tmp/out/novo", "/tmp/out/b.dat"};
  EXPECT_FALSE(d.Execute());  // cancelled
  EXPECT_EQ(d.FileName, "a_txt.enc");
  ASSERT_TRUE(d.Execute());
  EXPECT_EQ(d.FileName, "/tmp/out/novo.enc");  // a name without extension gets the default one
  ASSERT_TRUE(d.Execute());
  EXPECT_EQ(d.FileName, "/tmp/out/b.dat");
}
