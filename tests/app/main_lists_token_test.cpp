// The main window's file list under its three filters, and the signer and
// recipient lists of the selected container, with a private SoftHSM2 token.
#include <QDir>
#include <QFile>

#include "card/cert_list.h"
#include "card/certificate.h"
#include "main_fixture.h"
#include "signing/encrypt.h"
#include "signing/sign_file.h"

using namespace appfx;

namespace {

class MainListsTest : public MainTokenTest {
 protected:
  // a.txt signed on the card into a_txt.sgn.
  void MakeSigned() {
    WriteAll(work_.file("a.txt"), "Ugovor o suradnji\n");
    ASSERT_EQ(
        SignFile(CurrentSession, InstallPath, Work("a.txt"), true, fmMain->DUDComponent->UserCertSerial, 0, false), 0);
  }
};

}  // namespace

TEST_F(MainListsTest, FilterShowsEachKindOfFile) {
  SetUserValue("PackedFileExt", "encx");
  ASSERT_TRUE(StartLoggedIn());
  for (const char* name : {"a.txt", "b.encx", "b.enc", "c.sgn", "x.sgn.bak", "y.qvd", ".skriveno", "D.SGN"})
    WriteAll(work_.file(name), "x");
  ASSERT_TRUE(QDir().mkdir(Work("folder.sgn")));  // folders are never listed
  ShowWork();
  // The list is complete as soon as the folder is shown.
  EXPECT_EQ(FileNames(), (QStringList{".skriveno", "a.txt", "b.enc", "x.sgn.bak", "y.qvd"}));
  Filter(fmMain->rbPotpisane);
  EXPECT_EQ(FileNames(), (QStringList{"c.sgn", "D.SGN"}));
  EXPECT_TRUE(fmMain->pnlPotpisnici->isVisibleTo(fmMain));
  EXPECT_FALSE(fmMain->pnlPrimatelj->isVisibleTo(fmMain));
  // A four-letter extension is recognised: the files that encryption writes with it
  // are listed as encrypted, not as originals.
  Filter(fmMain->rbPakirane);
  EXPECT_EQ(FileNames(), (QStringList{"b.encx"}));
  EXPECT_FALSE(fmMain->pnlPotpisnici->isVisibleTo(fmMain));
  EXPECT_TRUE(fmMain->pnlPrimatelj->isVisibleTo(fmMain));
  Filter(fmMain->rbIzvorne);
  EXPECT_FALSE(fmMain->pnlPotpisnici->isVisibleTo(fmMain));
  EXPECT_FALSE(fmMain->pnlPrimatelj->isVisibleTo(fmMain));

  // Caption follows the selection; a click with nothing selected changes nothing.
  ASSERT_TRUE(ClickFile("a.txt"));
  EXPECT_EQ(fmMain->windowTitle(), VersionText + " [" + Work("a.txt") + "]");
  fmMain->SelectFileItem(nullptr);
  EXPECT_EQ(fmMain->windowTitle(), VersionText);
  fmMain->slvDatotekeClick();
  EXPECT_EQ(fmMain->windowTitle(), VersionText);
}

TEST_F(MainListsTest, SignersWithTheirStatesAndRecordsFreedWithTheRows) {
  ASSERT_TRUE(StartLoggedIn());
  MakeSigned();
  ShowWork();
  Filter(fmMain->rbPotpisane);
  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  ASSERT_EQ(fmMain->lvPotpisnici->topLevelItemCount(), 1);
  const TSignerRecord* r = TSignerRow::RecordOf(fmMain->lvPotpisnici->topLevelItem(0));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Rows(fmMain->lvPotpisnici), QStringList{"1 | 1001 | " + r->Subject + " | Ispravan"});
  EXPECT_TRUE(r->Subject.contains("Ana Test"));
  EXPECT_EQ(r->ValidityState, 0);
  EXPECT_EQ(r->PathState, 0);
  EXPECT_EQ(TSignerRow::LiveRecords(), 1);
  EXPECT_FALSE(ui_->waitCursor());

  // The records go with the rows: a refresh reads them afresh, a change of filter,
  // folder or selection frees them.
  fmMain->actOsvjeziPrikazExecute();
  EXPECT_EQ(TSignerRow::LiveRecords(), 1);
  fmMain->SelectFileItem(nullptr);
  EXPECT_EQ(TSignerRow::LiveRecords(), 0);
  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  Filter(fmMain->rbIzvorne);
  EXPECT_EQ(TSignerRow::LiveRecords(), 0);
  Filter(fmMain->rbPotpisane);
  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  TempDir other("other");
  fmMain->SetCurrentFolder(QString::fromStdString(other.path()));
  EXPECT_EQ(TSignerRow::LiveRecords(), 0);
  EXPECT_EQ(fmMain->lvPotpisnici->topLevelItemCount(), 0);
  ShowWork();

  // Decimal serials; a card certificate that has expired by now is "Neispravan"
  // although the signature is right.
  SetUserValue("ShowSNCertAsDecimal", "YES");
  Settings = std::make_unique<TPostavkeRada>(InstallPath);
  TCertifikat::SetClock([] { return ToTDateTime(QDateTime::currentDateTimeUtc().addYears(5)); });
  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  TCertifikat::SetClock(nullptr);
  r = TSignerRow::RecordOf(fmMain->lvPotpisnici->topLevelItem(0));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->ValidityState, 1);
  EXPECT_EQ(r->SignatureOk, 1);
  EXPECT_EQ(Rows(fmMain->lvPotpisnici), QStringList{"1 | 4097 | " + r->Subject + " | Neispravan"});
  // Valid until exactly now is not expired.
  const TDateTime end = r->ValidTo;
  TCertifikat::SetClock([end] { return end; });
  fmMain->slvDatotekeClick();
  TCertifikat::SetClock(nullptr);
  EXPECT_EQ(Rows(fmMain->lvPotpisnici).value(0).section(" | ", 3), "Ispravan");

  // A container changed after signing: the signature no longer matches.
  QByteArray text = QByteArray::fromStdString(ReadText(work_.file("a_txt.sgn")));
  const qsizetype at = text.indexOf("<TimeStamp>") + 11;
  text[at] = text[at] == '1' ? '2' : '1';
  WriteAll(work_.file("a_txt.sgn"), text.toStdString());
  fmMain->slvDatotekeClick();
  EXPECT_EQ(Rows(fmMain->lvPotpisnici).value(0).section(" | ", 3), "Neispravan");
  EXPECT_EQ(TSignerRow::LiveRecords(), 1);
}

TEST_F(MainListsTest, RecipientsOfAnEncryptedContainer) {
  ASSERT_TRUE(StartLoggedIn());
  MakeSigned();
  ASSERT_EQ(ContactCertList->UserCertificates.size(), 2u);
  QString out;
  ASSERT_EQ(EncryptForRecipient("", InstallPath, Work("a_txt.sgn"), out, true, kReportBoxes,
                                *ContactCertList->UserCertificates[1]),
            0);
  EXPECT_EQ(out, Work("a_txt.enc"));
  ShowWork();
  Filter(fmMain->rbPakirane);
  EXPECT_EQ(FileNames(), QStringList{"a_txt.enc"});
  ASSERT_TRUE(ClickFile("a_txt.enc"));
  EXPECT_EQ(TRecipientRow::LiveRecords(), 1);
  const TRecipientRecord* r = TRecipientRow::RecordOf(fmMain->lwPrimatelj->topLevelItem(0));
  ASSERT_NE(r, nullptr);
  // The serial as the reader gives it, the contact's own display name.
  EXPECT_EQ(Rows(fmMain->lwPrimatelj), QStringList{r->SerialText + " | Marko Maric"});
  EXPECT_EQ(r->Subject, ContactCertList->UserCertificates[1]->SubjectText);
  EXPECT_FALSE(r->SessionKey.empty());
  EXPECT_EQ(fmMain->lvPotpisnici->topLevelItemCount(), 0);

  Filter(fmMain->rbPotpisane);
  EXPECT_EQ(TRecipientRow::LiveRecords(), 0);
  EXPECT_EQ(fmMain->lwPrimatelj->topLevelItemCount(), 0);
}
