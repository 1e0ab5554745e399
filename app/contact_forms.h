#pragma once
// The two windows that keep the certificates on disk: the contact list
// TfmUserCertList (CA certificates and contacts; also the recipient picker) and the
// editor TfmUser of one certificate (import from a file, descriptions). Both work
// on the global ContactCertList (signing/settings.h).
//
// Entry points for the main window:
//   RunContactListDialog()          "Certifikati": administration of both folders.
//   fmUserCertList->CheckGoodContacts()   the encrypt commands' first step: checks
//                                   every good contact row, returns how many.
//   SelectRecipients()              the recipient picker; after true,
//                                   fmUserCertList->CheckedContacts() are the
//                                   certificates to encrypt for, in row order.
//   fmUserCertList->Refresh()       re-read both folders and refill (after the
//                                   settings dialog changed the folders).
//   RunAddContactDialog(cert)       add a signer's certificate to the contacts;
//                                   on true the contact list owns it.
//   SetRecipientWarning(f)          the question window shown when the checked
//                                   recipients include one that is not in order
//                                   (ConfirmRecipientCertificates of the signature
//                                   details window); until set, a plain
//                                   confirmation box asks.
// Start-up creates fmUser and fmUserCertList (each only when absent) from
// ContactStartUpForms(); every entry point also creates its window when missing.
#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "app/startup.h"
#include "card/certificate.h"

class QAction;
class QLabel;
class QLineEdit;
class QTabWidget;
class QToolButton;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// Kinds and modes of the editor.
inline constexpr int kCertKindRoot = 1;
inline constexpr int kCertKindUser = 2;
inline constexpr int kCertModeImport = 1;
inline constexpr int kCertModeEdit = 2;
inline constexpr int kCertModeAdd = 3;

// A certificate's serial as the setting ShowSNCertAsDecimal asks for it.
QString CertSerialText(const TCertifikat& cert);
// A date and time in the system's short-date and long-time formats, the time left
// out when it is exactly midnight.
QString CertDateTimeText(TDateTime value);
// The row name of a certificate: its display name, else its subject text.
QString CertRowName(const TCertifikat& cert);
// Good for encryption: not expired (0) and verified against a CA certificate (0).
bool CertIsGood(const TCertifikat& cert);

class TfmUser : public QDialog {
  Q_OBJECT
 public:
  explicit TfmUser(QWidget* parent = nullptr);
  ~TfmUser() override;

  // Sets mode, kind and certificate, fills or clears the fields and shows the
  // window modally; true when it closed with "&Potvrdi". In mode 3 certificate's
  // ownership passes to the contact list on true.
  bool Run(int kind, int mode, TCertifikat* certificate, std::unique_ptr<TCertifikat> owned = nullptr);

  // The browse button's handler: choose and load a certificate file.
  void Browse();
  // "&Potvrdi": the checks, then saving; closes with OK when both passed.
  void Confirm();

  int Mode() const { return mode_; }
  int Kind() const { return kind_; }
  TCertifikat* Certificate() const { return cert_; }

  QLineEdit* edCertDat;
  QToolButton* SpeedButton1;
  QLineEdit* edNaziv;
  QLineEdit* edeMail;
  QLineEdit* edSBCert;
  QLineEdit* edIzdanZa;
  QLineEdit* edIzdanOd;
  QLineEdit* edValidanOd;
  QLineEdit* edValidanDo;
  QPushButton* btnPotvrdi;
  QPushButton* btnOdustani;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ClearFields();
  void FillFields();
  bool Save();

  int mode_ = kCertModeImport;
  int kind_ = kCertKindUser;
  TCertifikat* cert_ = nullptr;
  std::unique_ptr<TCertifikat> owned_;  // loaded here (mode 1) or handed over (mode 3)
};

class TfmUserCertList : public QDialog {
  Q_OBJECT
 public:
  explicit TfmUserCertList(QWidget* parent = nullptr);

  // Administration use; no result.
  void RunAdministration();
  // Picker use; true when the window closed with Yes.
  bool RunPicker();

  // actOsvjezi: both folders read again, both lists filled again.
  void Refresh();
  // Both lists filled again from the contact list as it is; no row checked.
  void Fill();

  // Checks every contact row whose certificate is good; the number so checked.
  int CheckGoodContacts();
  // The certificates of the checked contact rows, in row order (only those the
  // contact list still holds).
  std::vector<TCertifikat*> CheckedContacts() const;

  // The command handlers, as the buttons run them.
  void Add();
  void Edit();
  void Delete();
  void Accept();

  QTabWidget* pcLists;
  QWidget* tsRootCert;
  QWidget* tsKontaktOsoba;
  QTreeWidget* lwRootCert;
  QTreeWidget* lwKontaktOsoba;
  QAction* actDodaj;
  QAction* actIzmjeni;
  QAction* actObrisi;
  QAction* actOsvjezi;
  QAction* actPotvrdi;
  QAction* actZatvori;
  // The buttons of the commands, each following its action (caption with its
  // Alt shortcut, hint, enabled state, visibility); in the picker "&Kriptiraj",
  // in the administration "&Izmjena" is the default button (Enter).
  QPushButton* btnDodaj;
  QPushButton* btnIzmjeni;
  QPushButton* btnObrisi;
  QPushButton* btnOsvjezi;
  QPushButton* btnPotvrdi;
  QPushButton* btnZatvori;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QTreeWidget* ActiveList() const;
  int ActiveKind() const;
  TCertifikat* RowCertificate(QTreeWidgetItem* item) const;
  void AddRow(QTreeWidget* list, TCertifikat* cert);
  void UpdateActions();

  bool checkBoxes_ = false;
};

extern TfmUser* fmUser;
extern TfmUserCertList* fmUserCertList;

bool RunUserCertDialog(int kind, int mode, TCertifikat* certificate);
bool RunAddContactDialog(std::unique_ptr<TCertifikat>& certificate);
void RunContactListDialog();
bool SelectRecipients();

// The question over the checked contacts; returns the modal result (Yes goes on).
// The certificates are those of the checked contact rows, in row order.
using TRecipientWarning = std::function<int(const QString& message, const std::vector<const TCertifikat*>& checked)>;
void SetRecipientWarning(TRecipientWarning warning);

// Start-up's entries for the editor and the list, in that order, each made only
// when absent.
std::vector<TStartUpForm> ContactStartUpForms();
