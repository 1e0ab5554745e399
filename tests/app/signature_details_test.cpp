// The signature details window: the tree of checks for signers and for chosen
// contact certificates, and the two question uses.
#include "app/signature_details.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include "app/main_window.h"
#include "app_fixture.h"
#include "card/cert_list.h"
#include "card/certificate.h"
#include "signing/settings.h"
#include "signing/verify.h"

using namespace appfx;

namespace {

class SignatureDetailsTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    ASSERT_TRUE(Start());
    // A certificate issued by "Izdavatelj Test" to "Pero Peric", serial 0x10, listed
    // as a contact whose display name the test chooses.
    const std::string d = work_.path();
    std::string out;
    ASSERT_EQ(::Run("cd '" + d +
                        "' && openssl req -x509 -newkey rsa:1024 -nodes -keyout k.pem -subj "
                        "'/CN=Pero Peric/O=Tarvi Test/C=HR' -set_serial 0x10 -days 30 -outform DER -out p.crt 2>&1",
                    &out),
              0)
        << out;
    der_ = ReadAll(work_.file("p.crt"));
    ASSERT_FALSE(der_.empty());
  }
  void ListContact(const QString& displayName) {
    WriteAll(work_.file("ucertdesc.txt"), "pero_peric10;" + displayName.toStdString() + ";pero@example.test;\r\n");
    ContactCertList->UserFolder = QString::fromStdString(work_.path() + "/");
    ContactCertList->LoadUsers(ContactCertList->UserFolder);
    ASSERT_EQ(ContactCertList->UserCertificates.size(), 1u);
  }
  TSignerRecord Record(int ok, int validity, int path, bool goodCert) {
    TSignerRecord r;
    r.Certificate = goodCert ? der_ : std::vector<uint8_t>{0x30, 0x03, 0x02, 0x01, 0x10};
    r.Subject = "CN=Pero Peric,O=Tarvi Test,C=HR";
    r.SerialValue = 16;
    r.SerialText = "10";
    r.SignatureOk = uint8_t(ok);
    r.ValidityState = validity;
    r.PathState = path;
    r.ValidOverall = uint8_t(ok && validity == 0 && path == 0);
    TryEncodeDateTime(2030, 5, 17, 13, 45, 10, 0, r.ValidTo);
    return r;
  }
  // Each node as "image text", children indented.
  static QStringList Tree(const TfmDetPotpisa& w) {
    QStringList lines;
    for (int i = 0; i < w.tvPotpisi->topLevelItemCount(); ++i) {
      const QTreeWidgetItem* top = w.tvPotpisi->topLevelItem(i);
      lines << QString::number(TfmDetPotpisa::ImageIndex(top)) + " " + top->text(0);
      for (int c = 0; c < top->childCount(); ++c)
        lines << "  " + QString::number(TfmDetPotpisa::ImageIndex(top->child(c))) + " " + top->child(c)->text(0);
    }
    return lines;
  }

  TempDir work_{"details"};
  std::vector<uint8_t> der_;
};

}  // namespace

TEST_F(SignatureDetailsTest, SignerTreeShowsEveryCheck) {
  ListContact("Pero iz nabave");
  const TSignerRecord good = Record(1, 0, 0, true), bad = Record(0, 1, 1, false), unchecked = Record(1, -1, -1, true);
  TfmDetPotpisa w;
  w.FillSignerTree({&good, &bad, &unchecked});
  const QString until = ValidToText(good.ValidTo);
  EXPECT_EQ(Tree(w), (QStringList{
                         "0 10 - Pero iz nabave",
                         "  3 Provjera potpisa - u redu",
                         "  6 Validnost certifikata u redu [vrijedi do " + until + "]",
                         "  9 Provjera puta certifikacije u redu [izdavatelj \"Pero Peric\"]",
                         // Certificate bytes that do not parse: no issuer in brackets.
                         "1 10 - Pero iz nabave",
                         "  4 Provjera potpisa - nije redu",
                         "  7 Validnost certifikata istekla [vrijedi do " + until + "]",
                         "  10 Provjera puta certifikacije nije u redu",
                         "1 10 - Pero iz nabave",
                         "  3 Provjera potpisa - u redu",
                         "  8 Validnost certifikata nije provjeravana",
                         "  11 Provjera puta certifikacije nije provedena",
                     }));

  // A contact without a display name shows the subject; decimal serials.
  ListContact("");
  Settings->ShowSNCertAsDecimal = true;
  TfmDetPotpisa w2;
  w2.FillSignerTree({&good});
  EXPECT_EQ(w2.tvPotpisi->topLevelItem(0)->text(0), "16 - CN=Pero Peric,O=Tarvi Test,C=HR");
}

TEST_F(SignatureDetailsTest, ValidToTextLeavesOutMidnight) {
  TDateTime midnight = 0, afternoon = 0;
  TryEncodeDateTime(2030, 5, 17, 0, 0, 0, 0, midnight);
  TryEncodeDateTime(2030, 5, 17, 13, 45, 10, 0, afternoon);
  const QLocale locale = QLocale::system();
  const QString date = locale.toString(QDate(2030, 5, 17), QLocale::ShortFormat);
  EXPECT_EQ(ValidToText(midnight), date);
  EXPECT_TRUE(ValidToText(afternoon).startsWith(date + " ")) << ValidToText(afternoon).toStdString();
  EXPECT_TRUE(ValidToText(afternoon).contains("45")) << ValidToText(afternoon).toStdString();
}

TEST_F(SignatureDetailsTest, CertificateTreeOfTheChosenRecipients) {
  TCertifikat good, bad;
  QString error;
  ASSERT_TRUE(good.LoadFromMemory(der_.data(), int32_t(der_.size()), error, false));
  ASSERT_TRUE(bad.LoadFromMemory(der_.data(), int32_t(der_.size()), error, false));
  good.DisplayName = "Pero";
  good.Expired = 0;
  good.RootCheck = 0;
  bad.Expired = 1;
  bad.RootCheck = 1;
  TfmDetPotpisa w;
  w.FillCertificateTree({&good, &bad});
  const QString until = ValidToText(good.ValidTo);
  EXPECT_EQ(Tree(w), (QStringList{
                         "0 10 - Pero; Status = Ispravan",
                         "  6 Validnost certifikata u redu [vrijedi do " + until + "]",
                         "  9 Provjera puta certifikacije u redu [izdavatelj \"Pero Peric\"]",
                         "1 10 - CN=Pero Peric,O=Tarvi Test,C=HR; Status = Neispravan",
                         "  7 Validnost certifikata istekla [vrijedi do " + until + "]",
                         "  10 Provjera puta certifikacije nije u redu [izdavatelj \"Pero Peric\"]",
                     }));
}

// The question hides the tree until asked; the answer does not depend on it, and a
// window closed any other way answers Cancel.
TEST_F(SignatureDetailsTest, QuestionsAndTheDetailsButton) {
  QTreeWidget signers;
  new TSignerRow(&signers, std::make_unique<TSignerRecord>(Record(1, 1, 0, true)));
  struct Case {
    const char* name;
    std::function<void(TfmDetPotpisa*)> answer;
    int result;
  } cases[] = {
      {"yes", [](TfmDetPotpisa* d) { d->btnDa->click(); }, mrYes},
      {"no", [](TfmDetPotpisa* d) { d->btnNe->click(); }, mrNo},
      {"close box", [](TfmDetPotpisa* d) { d->reject(); }, mrCancel},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ModalDriver driver;
    int hidden = 0, shown = 0, again = 0;
    QStringList seen;
    driver.When<TfmDetPotpisa>([&](TfmDetPotpisa* d) {
      seen << d->windowTitle() << d->lblMsg->text() << QString::number(d->tvPotpisi->topLevelItemCount());
      EXPECT_FALSE(d->tvPotpisi->isVisible());
      EXPECT_FALSE(d->pnlButoni->isVisible());
      EXPECT_TRUE(d->pnlPitaj->isVisible());
      EXPECT_FALSE(d->Image1->pixmap().isNull());
      EXPECT_GE(d->width(), 524);
      hidden = d->height();
      d->btnDetalji->click();
      EXPECT_TRUE(d->tvPotpisi->isVisible());
      EXPECT_EQ(d->btnDetalji->text(), kDetailsHide);
      shown = d->height();
      d->btnDetalji->click();
      EXPECT_EQ(d->btnDetalji->text(), kDetailsShow);
      again = d->height();
      k.answer(d);
      return true;
    });
    EXPECT_EQ(ConfirmSignatures("Pitanje?", &signers), k.result);
    EXPECT_TRUE(driver.Done());
    EXPECT_EQ(seen, (QStringList{"Upozorenje", "Pitanje?", "1"}));
    EXPECT_GT(shown, hidden);
    EXPECT_EQ(again, hidden);
  }

  // The plain details window: tree and close button, no question.
  ModalDriver driver;
  driver.When<TfmDetPotpisa>([](TfmDetPotpisa* d) {
    EXPECT_EQ(d->windowTitle(), "Detalji provjere potpisa");
    EXPECT_FALSE(d->pnlPitaj->isVisible());
    EXPECT_TRUE(d->tvPotpisi->isVisible());
    EXPECT_EQ(d->tvPotpisi->topLevelItemCount(), 1);
    d->btnZatvori->click();
    return true;
  });
  ShowSignatureDetails(&signers);
  EXPECT_TRUE(driver.Done());
}
