#pragma once
// The settings dialog TfmPostavke: the user's settings (written to
// HKEY_CURRENT_USER under SettingsKey) and the shell associations of the two file
// types (app/file_associations.h).
//
// Public API (for the main window's settings command):
//   RunSettingsDialog()   true when the user confirmed with "Potvrdi". Settings is
//                         made again from the registry before the dialog shows and,
//                         after a confirmation, once more; the caller then
//                         re-applies the settings.
//   BrowseForFolder(start, caption)  a folder, or "" when cancelled; the folder
//                         dialog of the UI services (platform/ui_services.h),
//                         which in the program is TfmBrowseFolder
//                         (app/browse_folder.h).
// Cancelling writes nothing, the associations included.
#include <QDialog>
#include <QString>

class QAction;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTreeWidget;
class QWidget;

class TfmPostavke : public QDialog {
  Q_OBJECT
 public:
  explicit TfmPostavke(QWidget* parent = nullptr);

  QTabWidget* pcPostavke = nullptr;
  QWidget* tsOpce = nullptr;
  QWidget* tsTipDat = nullptr;
  QWidget* tsCertifikati = nullptr;
  QWidget* tsPotpisi = nullptr;

  // "&Opće postavke"
  QRadioButton* rbOdjaviSe = nullptr;          // item 0: LogoutOnExit on
  QRadioButton* rbOstaniPrijavljen = nullptr;  // item 1
  QLineEdit* edPackedExt = nullptr;
  QCheckBox* cbRadSMbr = nullptr;
  QCheckBox* cbDodajDatum = nullptr;
  // "&Tipovi datoteka"
  QLineEdit* edOutPath = nullptr;
  QTreeWidget* lwTipoviDat = nullptr;
  // "&Certifikati"
  QLineEdit* edRootCertDir = nullptr;
  QLineEdit* edUserCertDir = nullptr;
  QRadioButton* rbDecimalno = nullptr;       // item 0: ShowSNCertAsDecimal on
  QRadioButton* rbHeksadecimalno = nullptr;  // item 1
  // "&Provjere potpisa/certifikata" (shown only)
  QCheckBox* cbProvjeraPotpisa = nullptr;
  QCheckBox* cbProvjeraCA = nullptr;
  QCheckBox* cbProvjeraVal = nullptr;

  QAction* actPotvrdi = nullptr;
  QAction* actBFOutDir = nullptr;
  QAction* actBFRootCert = nullptr;
  QAction* actBFUserCert = nullptr;
  QPushButton* btnPotvrdi = nullptr;
  QPushButton* btnOdustani = nullptr;

  // Fills the controls from Settings and the associations under HKEY_CLASSES_ROOT.
  void FillControls();
  // Writes the settings and the associations, then closes with mrYes.
  void actPotvrdiExecute();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // The dialog's parts, built in this order: the order of the controls is the tab order.
  void MakeCommands();
  void BuildGeneralTab();
  void BuildFileTypesTab();
  void BuildCertificatesTab();
  void BuildChecksTab();
  void BuildButtons();
  void ConnectCommands();
  void Browse(QLineEdit* edit, const QString& caption);
};

bool RunSettingsDialog();
QString BrowseForFolder(const QString& startFolder, const QString& caption);
