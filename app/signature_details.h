#pragma once
// The window that shows the results of the checks as a tree: one top node per
// signer (or per chosen contact certificate), one child per check. Three uses:
// the details of every signer of a container (a plain window with a close
// button), and two warning questions, before the file of a container with bad
// signatures is taken out and when the chosen recipients include a certificate
// that is not in order. In the question uses the tree stays hidden until the user
// asks for the details. Each use creates the window, shows it modally and frees it.
#include <QDialog>
#include <QString>
#include <vector>

#include "card/tdatetime.h"

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class TCertifikat;
struct TSignerRecord;

class TfmDetPotpisa : public QDialog {
  Q_OBJECT
 public:
  explicit TfmDetPotpisa(QWidget* parent = nullptr);
  ~TfmDetPotpisa() override;

  QWidget* pnlPitaj = nullptr;
  QLabel* Image1 = nullptr;
  QLabel* lblMsg = nullptr;
  QPushButton* btnDa = nullptr;
  QPushButton* btnNe = nullptr;
  QPushButton* btnDetalji = nullptr;
  QTreeWidget* tvPotpisi = nullptr;
  QWidget* pnlButoni = nullptr;
  QPushButton* btnZatvori = nullptr;

  // One top node a record, in order.
  void FillSignerTree(const std::vector<const TSignerRecord*>& signers);
  // One top node a certificate, in order.
  void FillCertificateTree(const std::vector<const TCertifikat*>& certificates);
  // The plain details window, or a question with message.
  void SetUpDetails();
  void SetUpQuestion(const QString& message);
  // Shows or hides the tree and sizes the window to what is visible.
  void ToggleDetails();

  // The image index a node shows (its selected image is the same).
  static int ImageIndex(const QTreeWidgetItem* node);

 private:
  void FitToVisibleParts();
  QTreeWidgetItem* AddNode(QTreeWidgetItem* parent, const QString& text, int image);
};

// The signer records of a signer list's rows (the main window's lvPotpisnici), in
// row order; rows without a record are skipped.
std::vector<const TSignerRecord*> SignerRecordsOf(const QTreeWidget* signerList);

// Details of every signer of the list; no result.
void ShowSignatureDetails(const QTreeWidget* signerList);
// The question over the signer list: mrYes for "&Da", mrNo for "&Ne", mrCancel when
// the window was closed otherwise.
int ConfirmSignatures(const QString& message, const QTreeWidget* signerList);
// The question over the chosen contact certificates (the checked rows of the
// contact list, in list order); results as ConfirmSignatures.
int ConfirmRecipientCertificates(const QString& message, const std::vector<const TCertifikat*>& checked);

// A validity end as the system shows a date and time: its short date and long
// time, the time left out when it is exactly midnight.
QString ValidToText(TDateTime validTo);

// Texts.
inline const QString kCaptionSignatureDetails = QStringLiteral("Detalji provjere potpisa");
inline const QString kCaptionWarning = QStringLiteral("Upozorenje");
inline const QString kDetailsShow = QStringLiteral("D&etalji >>");
inline const QString kDetailsHide = QStringLiteral("D&etalji <<");
inline const QString kMsgRecipientCertificateBad =
    QStringLiteral("Odabrani certifikat je neispravan. Želite li nastaviti?");
