// The program's own Croatian locale under the system locales a user meets (a fresh
// machine runs C.UTF-8; many run en_US.UTF-8): dates and numbers in the signature
// details, the contact editor, the data sheet and Qt's file dialog, and the
// system's reason in a disk error box.
//
// Qt reads the system's locale once per process, so each system locale gets a
// child run of this program: the outer case starts it with that LANG and
// TARVI_TEST_PROGRAM_LOCALE set, which makes the support main install the
// program's locale before the application object, as the program's main does.
// The inner cases run only there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeWidget>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "app/contact_forms.h"
#include "app/data_sheet.h"
#include "app/signature_details.h"
#include "app/startup.h"
#include "app_fixture.h"
#include "card/card_objects.h"
#include "card/cert_list.h"
#include "contacts_fixture.h"
#include "platform/disk_steps.h"
#include "platform/fake_ui_services.h"
#include "signing/settings.h"
#include "signing/verify.h"
#include "support/tarvirsa_binding.h"
#include "support/temp_dir.h"

namespace {

bool Inside() { return std::getenv("TARVI_TEST_PROGRAM_LOCALE") != nullptr; }

const char* const kInsideCases[] = {"TheEnvironmentStaysTheUsers",          "SignatureDetailsShowCroatianDates",
                                    "ContactEditorShowsCroatianDates",      "DataSheetShowsCroatianNumbersAndDates",
                                    "FileDialogShowsCroatianSizesAndDates", "DiskErrorBoxesGiveCroatianReasons"};

TEST(ProgramLocale, CroatianUnderEverySystemLocale) {
  if (Inside()) GTEST_SKIP() << "the outer half";
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  for (const char* lang : {"C.UTF-8", "en_US.UTF-8"}) {
    SCOPED_TRACE(lang);
    // Whatever the caller's locale variables, only LANG speaks; local time is UTC
    // so that a certificate's dates read as written.
    const std::string command =
        std::string("env -u LC_ALL -u LC_TIME -u LC_NUMERIC -u LC_MESSAGES -u LANGUAGE TZ=UTC LANG=") + lang +
        " TARVI_TEST_PROGRAM_LOCALE=1 EXPECTED_LANG=" + lang + " '" + self +
        "' --gtest_filter='ProgramLocaleInside.*' 2>&1";
    std::string out;
    EXPECT_EQ(::Run(command, &out), 0) << out;
    for (const char* c : kInsideCases)
      EXPECT_NE(out.find(std::string("[       OK ] ProgramLocaleInside.") + c), std::string::npos) << c << "\n" << out;
    EXPECT_EQ(out.find("SKIPPED"), std::string::npos) << out;
  }
}

class ProgramLocaleInside : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Inside()) GTEST_SKIP() << "runs inside ProgramLocale.CroatianUnderEverySystemLocale";
    InstallPath = QString::fromStdString(install_.path()) + "/";
    Settings = std::make_unique<TPostavkeRada>(InstallPath);
    Settings->ShowSNCertAsDecimal = false;
    ContactCertList = new TCertList;
    ContactCertList->RootFolder = QString::fromStdString(work_.file("cacert/"));
    ContactCertList->UserFolder = QString::fromStdString(work_.file("usercert/"));
  }
  void TearDown() override {
    delete fmUser;
    fmUser = nullptr;
    delete ContactCertList;
    ContactCertList = nullptr;
    Settings.reset();
  }
  static TSignerRecord Signer() {
    TSignerRecord r;
    r.Subject = "CN=Pero Peric,C=HR";
    r.SerialValue = 16;
    r.SerialText = "10";
    r.SignatureOk = 1;
    r.ValidityState = 0;
    r.PathState = -1;
    r.ValidOverall = 0;
    r.DocumentTime = "20271211134510";
    r.SigningTime = "20271211134510";
    r.DocumentDigest = QString(40, 'A');
    EXPECT_TRUE(TryEncodeDateTime(2027, 12, 11, 13, 45, 10, 0, r.ValidTo));
    return r;
  }

  FakeUiServices ui_;
  TempDir install_{"install"};
  TempDir work_{"locale"};
};

// Croatian Qt date and time forms: "11. 12. 2027." and "13:45:10".
const QString kShortDate = QStringLiteral("\\d\\d\\. \\d\\d\\. \\d{4}\\.");

TEST_F(ProgramLocaleInside, TheEnvironmentStaysTheUsers) {
  // Child processes (the mailer, the desktop's opener) and the C library keep the
  // user's locale: only Qt's reading of it was Croatian.
  EXPECT_EQ(std::getenv("LC_ALL"), nullptr);
  EXPECT_STREQ(std::getenv("LANG"), std::getenv("EXPECTED_LANG"));
  EXPECT_EQ(QLocale().name(), "hr_HR");
  EXPECT_EQ(QLocale::system().name(), "hr_HR");
}

TEST_F(ProgramLocaleInside, SignatureDetailsShowCroatianDates) {
  const TSignerRecord r = Signer();
  TfmDetPotpisa w;
  w.FillSignerTree({&r});
  ASSERT_EQ(w.tvPotpisi->topLevelItemCount(), 1);
  ASSERT_EQ(w.tvPotpisi->topLevelItem(0)->childCount(), 3);
  EXPECT_EQ(w.tvPotpisi->topLevelItem(0)->child(1)->text(0),
            "Validnost certifikata u redu [vrijedi do 11. 12. 2027. 13:45:10]");
}

TEST_F(ProgramLocaleInside, ContactEditorShowsCroatianDates) {
  std::string why;
  ASSERT_TRUE(BindBuiltTarviRsa(&why)) << why;
  // Valid from 2001-02-03 04:05:06 to 2011-02-03 04:05:06 (UTC, the child's zone).
  const std::string der = ReadText(contactsfx::Cert("expired").der);
  auto cert = std::make_unique<TCertifikat>();
  QString error;
  ASSERT_TRUE(cert->LoadFromMemory(der.data(), static_cast<int32_t>(der.size()), error, false));
  fmUser = new TfmUser;
  QString from, to;
  QTimer::singleShot(0, fmUser, [&] {
    from = fmUser->edValidanOd->text();
    to = fmUser->edValidanDo->text();
    fmUser->btnOdustani->click();
  });
  EXPECT_FALSE(RunAddContactDialog(cert));
  EXPECT_EQ(from, "03. 02. 2001. 04:05:06");
  EXPECT_EQ(to, "03. 02. 2011. 04:05:06");
}

TEST_F(ProgramLocaleInside, DataSheetShowsCroatianNumbersAndDates) {
  const std::string file = work_.file("izvjesce_pdf.sgn");
  WriteAll(file, std::string(2726, 'x'));
  const TSignerRecord r = Signer();
  const TDataSheet sheet = MakeDataSheet(QString::fromStdString(file), {&r});
  EXPECT_EQ(sheet.sizeText, "3KB (2.726)");
  EXPECT_EQ(sheet.hashTimeText, "11. 12. 2027. 13:45:10");
  ASSERT_EQ(sheet.signers.size(), 1u);
  EXPECT_EQ(sheet.signers[0].signingTime, "11. 12. 2027. 13:45:10,000");
  EXPECT_TRUE(QRegularExpression("^" + kShortDate + " \\d\\d:\\d\\d:\\d\\d$").match(sheet.now).hasMatch())
      << sheet.now.toStdString();
  EXPECT_TRUE(QRegularExpression("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d$").match(sheet.lastChangeText).hasMatch())
      << sheet.lastChangeText.toStdString();
  // The preview shows the same texts.
  const QStringList lines = DataSheetLines(sheet);
  EXPECT_TRUE(lines.contains("     Veličina:            3KB (2.726)")) << lines.join("\n").toStdString();
  EXPECT_TRUE(lines.contains("     Hash napravljen:     11. 12. 2027. 13:45:10")) << lines.join("\n").toStdString();
}

TEST_F(ProgramLocaleInside, FileDialogShowsCroatianSizesAndDates) {
  ASSERT_TRUE(InstallQtTranslations());
  TempDir folder("dialog");
  WriteAll(folder.file("podaci"), std::string(2726, '\0'));
  WriteAll(folder.file("kratko"), std::string(500, '\0'));
  QFileDialog dialog(nullptr, "Otvori", QString::fromStdString(folder.path()));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.show();
  auto* model = dialog.findChild<QFileSystemModel*>();
  ASSERT_NE(model, nullptr);
  const QModelIndex root = model->index(QString::fromStdString(folder.path()));
  auto row = [&](const char* name) {
    const QModelIndex i = model->index(QString::fromStdString(folder.file(name)));
    QStringList texts;
    for (int c = 0; c < model->columnCount(root); ++c) texts << model->index(i.row(), c, root).data().toString();
    return texts;
  };
  ASSERT_TRUE(SpinUntil([&] { return model->rowCount(root) == 2 && !row("podaci").value(1).isEmpty(); }));
  // Name, size, kind, date as the dialog's detail view shows them.
  const QStringList big = row("podaci"), small = row("kratko");
  EXPECT_EQ(big.value(1), "2,66 KiB") << big.join(" | ").toStdString();
  EXPECT_TRUE(small.value(1).startsWith("500 bajt")) << small.join(" | ").toStdString();
  EXPECT_EQ(big.value(2), "Nepoznato") << big.join(" | ").toStdString();
  EXPECT_TRUE(QRegularExpression("^" + kShortDate + " \\d\\d:\\d\\d$").match(big.value(3)).hasMatch())
      << big.join(" | ").toStdString();
  EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), "Veličina");
  dialog.reject();
}

TEST_F(ProgramLocaleInside, DiskErrorBoxesGiveCroatianReasons) {
  // A file that is not there, as the card layer's size look-up meets it.
  const QString missing = QString::fromStdString(work_.file("nema.sgn"));
  EXPECT_EQ(FileSizeByStream(missing), -1);
  // A full disk under the contacts' description file.
  ASSERT_EQ(::Run("mkdir -p '" + work_.file("usercert") + "'"), 0);
  const DiskFaultHook previous = SetDiskFaultHook([](DiskStep s) { return s == DiskStep::Sync ? ENOSPC : 0; });
  EXPECT_FALSE(ContactCertList->SaveUserDescriptions());
  SetDiskFaultHook(previous);
  ASSERT_EQ(ui_.boxes.size(), 2u);
  EXPECT_EQ(ui_.boxes[0].text, "Greška kod otvaranja datoteke \"" + missing + "\"[Error=Nema takve datoteke ili mape]");
  EXPECT_EQ(ui_.boxes[1].text, "Neuspješno spremanje opisa certifikata u datoteku \"" +
                                   QString::fromStdString(work_.file("usercert/ucertdesc.txt")) +
                                   "\". [sinkronizacija: Nema više mjesta na uređaju]");
}

}  // namespace
