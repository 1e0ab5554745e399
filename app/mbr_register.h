#pragma once
// The register of the organisation's registration numbers (matični broj) and its
// window TfmMaticniBrojevi.
//
// Storage: string values under the key that Settings->RegKeyNameForMBR names in
// HKEY_CURRENT_USER: "0" is the number chosen for work (SelectedMbr), "1", "2",
// ... are the register in order, numbered without gaps; reading stops at the
// first value that cannot be read.
//
// Public API (for the main window and start-up):
//   RunMbrDialog()              the command "Evidencija matičnih brojeva": shows
//                               the window modally (creating it when start-up has
//                               not) and returns value "0" as it stands afterwards;
//                               the caller then sets SelectedMbr, its status panel
//                               and rebuilds its submenu.
//   LoadSelectedMbr(w, refresh) SelectedMbr := value "0"; with refresh also the
//                               window's list, label and the main window's panel 1.
//   SetSelectedMbr(w, number)   chooses a number for work (value "0", label, panel 1).
//   ReadMbrRegister()           the numbers "1", "2", ... in order.
//   fmMaticniBrojevi            the window made at start-up (StartUpForms entry).
//   CreateMbrWindow()/DestroyMbrWindow() the start-up entry's create and destroy.
// All registry writes go to Settings->RegKeyNameForMBR; without settings or with
// an empty key name nothing can be read and every write fails with an error box.
#include <QDialog>
#include <QString>
#include <QStringList>

class QAction;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

class TfmMaticniBrojevi : public QDialog {
  Q_OBJECT
 public:
  explicit TfmMaticniBrojevi(QWidget* parent = nullptr);

  QLabel* lblDefaultMbr = nullptr;
  QListWidget* lbMbr = nullptr;
  QLineEdit* edMbr = nullptr;
  QPushButton* btnDodaj = nullptr;
  QPushButton* btnObrisi = nullptr;
  QPushButton* btnPostavi = nullptr;
  QPushButton* btnZatvori = nullptr;

  QAction* actDodajMbr = nullptr;
  QAction* actObrisiMbr = nullptr;
  QAction* actPostaviMbr = nullptr;
  QAction* actOsvjezi = nullptr;  // F5
  QAction* actZatvori = nullptr;

  void actDodajMbrExecute();
  void actObrisiMbrExecute();
  void actPostaviMbrExecute();
  void actOsvjeziExecute();
  // Enables the actions as the register and the edit stand now.
  void UpdateActions();

  // The program sets the edit's text; it then counts as unchanged.
  void SetEditText(const QString& text);
  // Whether the edit was changed by typing since the program last set it.
  bool EditChanged() const { return editChanged_; }

  // Click and double click on the list.
  void lbMbrClick();
  void lbMbrDblClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool editChanged_ = false;
  bool settingEdit_ = false;
};

extern TfmMaticniBrojevi* fmMaticniBrojevi;

void CreateMbrWindow();
void DestroyMbrWindow();

// Whether the key filter of the edit discards a typed character: "A" to "z" in
// code order (65 to 122) and the blank.
bool MbrKeyDiscarded(QChar c);

void LoadSelectedMbr(TfmMaticniBrojevi* window, bool refresh);
void SetSelectedMbr(TfmMaticniBrojevi* window, const QString& number);
QString RunMbrDialog();
QStringList ReadMbrRegister();

inline const QString kMbrLabel = QStringLiteral("Matični broj odabran za rad je:");
inline const QString kMbrMustEnter = QStringLiteral("Morate upisati matični broj");
inline const QString kMbrExists = QStringLiteral("Upisani matični broj već postoji u evidenciji");
inline const QString kMbrWriteFailed = QStringLiteral("Greška pri zapisivanju matičnog broja u evidenciju");
inline const QString kMbrWriteSelectedFailed =
    QStringLiteral("Greška pri zapisivanju matičnog broja za radni matični broj");
inline const QString kMbrDeleteFailed = QStringLiteral("Greška pri brisanju matičnog broja iz evidencije");
inline const QString kMbrDeleteSelectedFailed =
    QStringLiteral("Greška pri brisanju matičnog broja iz evidencije radnog matičnog broja");
