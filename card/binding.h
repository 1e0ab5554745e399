#pragma once
// Binding the two outside libraries at start-up: the cryptographic library
// ("tarvirsa.dll") and the card middleware's PKCS#11 module. Every function the
// program knows is looked up by name into the global tables (card/tarvirsa_api.h,
// card/cryptoki.h); when one is missing, a check-list dialog shows what was found
// and lets the user go on or stop. Each table is then checked against the set of
// functions the program cannot do without.
#include <QDialog>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

class QListWidget;
class QLineEdit;
class QPushButton;
class SharedLibrary;

// The loaded libraries. The tables point into them: unload the module only through
// UnloadCryptokiModule(), which empties the PKCS#11 table first.
extern std::unique_ptr<SharedLibrary> TarviRsaModule;
extern std::unique_ptr<SharedLibrary> CryptokiModule;
// The PKCS#11 module's file name without its folder, as chosen at binding.
extern QString DllFileName;
// The name the cryptographic library is loaded by; tests point it elsewhere.
extern std::string TarviRsaLibraryName;  // "tarvirsa.dll"

// Empties the PKCS#11 table and unloads the module (the card component's end).
void UnloadCryptokiModule();

// The check list of one library's functions.
class TErrorLoadingDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TErrorLoadingDlg(QWidget* parent = nullptr);

  QPushButton* ContinueBtn = nullptr;   // "Nastavi": the default button
  QPushButton* FinishBtn = nullptr;     // "Prekini": the cancel button (Esc)
  QListWidget* ErrChkLstBox = nullptr;  // one line per function, checked = found
  QLineEdit* DLLNameEdit = nullptr;     // the library's name, read-only

  uint8_t ContinueFlag = 1;
  uint8_t AllFound = 1;
  // Kept for the record layout; the list is not user-checkable, so no state needs
  // restoring after a click.
  uint8_t CheckStateUnderMouse = 0;

  void FormCreate();
  // DLLNameEdit := name; the caption gets " " + the name after its last folder separator.
  void SetupLibrary(const QString& name);
  void ContinueBtnClick();
  void FinishBtnClick();
  // Esc and closing the window mean "Prekini".
  void reject() override;

 protected:
  void showEvent(QShowEvent* e) override;
};

// One line of the check list: checked with an address, unchecked without one, in
// which case the dialog is shown at once (modeless) and AllFound := 0.
void AddBindResult(TErrorLoadingDlg* dlg, void* address, const QString& name);

// Load "tarvirsa.dll" / the module and look up every function; true when the library
// loaded and nothing was missing or the user chose "Nastavi".
bool BindTarviRsa(std::unique_ptr<SharedLibrary>& module);
bool BindCryptoki(std::unique_ptr<SharedLibrary>& module, const QString& moduleName, bool quiet);

bool HasTarviRsaMinimalSet();  // all 33 functions
bool HasCryptokiMinimalSet();  // every standard function of the table (not the vendor pair)

// The start-up binding of both libraries. regKey: the HKEY_LOCAL_MACHINE key whose
// value "DLL" names the module (defaultName when absent or empty). continueFlag gets
// the module binding's result; quiet suppresses only the module-missing box.
bool LoadCryptoLibraries(const QString& regKey, const QString& defaultName, bool checkTarviSet, bool& continueFlag,
                         bool quiet);

// Box texts.
inline const QString kMsgNoMemoryForDllName =
    QStringLiteral("Nema dovoljno memorije za dohvat naziva DLLa iz registrya");
inline const QString kMsgMinimalSet =
    QStringLiteral("Minimalni potrebni skup funkcija koje aplikacija upotrebljava nije podržan u zadanom DLLu !");
inline const QString kMsgTarviRsaNotFound = QStringLiteral("tarvirsa.dll nije pronađen ! (LoadLibrary error)");
inline const QString kMsgLibraryNotFoundSuffix = QStringLiteral(" nije pronađen ! (LoadLibrary error)");
inline const QString kErrorLoadingCaption = QStringLiteral("Učitane funkcije iz DLLa :");
