// Binding the cryptographic library and the PKCS#11 module, with the check-list
// dialog answered by a timer as a user would.
#include "card/binding.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "card/cryptoki.h"
#include "card/registry.h"
#include "card/tarvirsa_api.h"
#include "platform/fake_ui_services.h"
#include "platform/library.h"

namespace {

enum class Answer { None, Continue, Finish, Escape };

struct Line {
  QString name;
  bool checked;
};

struct SeenDialog {
  QString caption;
  QString nameEdit;
  std::vector<Line> lines;
  uint8_t allFound;
};

// Answers every check-list dialog that comes up modally, recording what it showed.
class DialogAnswerer {
 public:
  explicit DialogAnswerer(Answer a) : answer_(a) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start(5);
  }
  std::vector<SeenDialog> seen;

 private:
  void poll() {
    auto* dlg = qobject_cast<TErrorLoadingDlg*>(QApplication::activeModalWidget());
    if (!dlg) return;
    SeenDialog s{dlg->windowTitle(), dlg->DLLNameEdit->text(), {}, dlg->AllFound};
    for (int i = 0; i < dlg->ErrChkLstBox->count(); ++i) {
      QListWidgetItem* it = dlg->ErrChkLstBox->item(i);
      s.lines.push_back({it->text(), it->checkState() == Qt::Checked});
    }
    seen.push_back(s);
    switch (answer_) {
      case Answer::Continue: dlg->ContinueBtn->click(); break;
      case Answer::Finish: dlg->FinishBtn->click(); break;
      case Answer::Escape: {
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(dlg, &esc);
        break;
      }
      case Answer::None:
        ADD_FAILURE() << "unexpected dialog";
        dlg->reject();
        break;
    }
  }
  Answer answer_;
  QTimer timer_;
};

const QString kKey = QStringLiteral("SOFTWARE\\VodezOdir\\BindingTest\\PKCS #11 DLL");
const std::string kBin = TARVI_BIN_DIR;

std::vector<QString> CryptokiNames() {
  std::vector<QString> v;
  for (const CryptokiEntry& e : CryptokiEntries()) v.push_back(QString::fromLatin1(e.name));
  return v;
}
std::vector<QString> TarviRsaNames() {
  std::vector<QString> v;
  for (const TarviRsaEntry& e : TarviRsaEntries()) v.push_back(QString::fromLatin1(e.name));
  return v;
}

struct Case {
  const char* what = "";
  std::optional<std::string> registry = std::nullopt;  // value "DLL"; nullopt: absent
  std::string tarviRsa = "tarvirsa.dll";
  bool checkTarvi = true;
  bool quiet = false;
  Answer answer = Answer::None;
  bool result = false;
  bool continueFlag = false;
  std::vector<QString> boxes = {};
  // The dialog, when one must come up: which library and which names unchecked.
  bool dialog = false;
  bool tarviDialog = false;
  std::set<QString> unchecked = {};
  QString dllFileName = {};
  QString caption = {};
};

class Binding : public ::testing::Test {
 protected:
  void TearDown() override {
    RegDeleteValue(HKEY_LOCAL_MACHINE, kKey, "DLL");
    TarviRsaLibraryName = "tarvirsa.dll";
    UnloadCryptokiModule();
  }
};

TEST_F(Binding, OutcomesForEveryLibraryState) {
  const QString minimal = kMsgMinimalSet;
  const std::set<QString> vendor = {"C_UnlockPIN", "C_ResetToken"};
  std::set<QString> allTarvi;
  for (const QString& n : TarviRsaNames()) allTarvi.insert(n);
  const QString cap = kErrorLoadingCaption + " ";

  std::vector<Case> cases = {
      {.what = "all found, default bare name",
       .registry = std::nullopt,
       .result = true,
       .continueFlag = true,
       .dllFileName = "acpkcs.dll"},
      {.what = "all found, full path in the registry",
       .registry = kBin + "/libacpkcs.so",
       .result = true,
       .continueFlag = true,
       .dllFileName = "libacpkcs.so"},
      {.what = "vendor missing, Nastavi",
       .registry = "acpkcs_novendor.dll",
       .answer = Answer::Continue,
       .result = true,
       .continueFlag = true,
       .dialog = true,
       .unchecked = vendor,
       .dllFileName = "acpkcs_novendor.dll",
       .caption = cap + "acpkcs_novendor.dll"},
      {.what = "vendor missing, Prekini",
       .registry = "acpkcs_novendor.dll",
       .answer = Answer::Finish,
       .dialog = true,
       .unchecked = vendor,
       .dllFileName = "acpkcs_novendor.dll",
       .caption = cap + "acpkcs_novendor.dll"},
      {.what = "vendor missing, Esc",
       .registry = "acpkcs_novendor.dll",
       .answer = Answer::Escape,
       .dialog = true,
       .unchecked = vendor,
       .dllFileName = "acpkcs_novendor.dll",
       .caption = cap + "acpkcs_novendor.dll"},
      {.what = "SoftHSM2 itself lacks the vendor pair",
       .registry = "/usr/lib/softhsm/libsofthsm2.so",
       .answer = Answer::Continue,
       .result = true,
       .continueFlag = true,
       .dialog = true,
       .unchecked = vendor,
       .dllFileName = "libsofthsm2.so",
       .caption = cap + "libsofthsm2.so"},
      {.what = "standard function missing, Nastavi",
       .registry = kBin + "/libacpkcs_nodigestkey.so",
       .answer = Answer::Continue,
       .continueFlag = true,
       .boxes = {minimal},
       .dialog = true,
       .unchecked = {"C_DigestKey"},
       .dllFileName = "libacpkcs_nodigestkey.so",
       .caption = cap + "libacpkcs_nodigestkey.so"},
      {.what = "standard function missing, Prekini",
       .registry = kBin + "/libacpkcs_nodigestkey.so",
       .answer = Answer::Finish,
       .dialog = true,
       .unchecked = {"C_DigestKey"},
       .dllFileName = "libacpkcs_nodigestkey.so",
       .caption = cap + "libacpkcs_nodigestkey.so"},
      {.what = "Windows-style path",
       .registry = "C:\\Card\\nosuch.dll",
       .boxes = {"C:\\Card\\nosuch.dll nije pronađen ! (LoadLibrary error)"},
       .dllFileName = "nosuch.dll"},
      {.what = "module missing",
       .registry = "nosuch.dll",
       .boxes = {"nosuch.dll nije pronađen ! (LoadLibrary error)"},
       .dllFileName = "nosuch.dll"},
      {.what = "module missing, quiet", .registry = "nosuch.dll", .quiet = true, .dllFileName = "nosuch.dll"},
      {.what = "cryptographic library missing",
       .registry = std::nullopt,
       .tarviRsa = "nosuchrsa.dll",
       .quiet = true,
       .boxes = {kMsgTarviRsaNotFound, minimal},
       .dllFileName = "acpkcs.dll"},
      {.what = "cryptographic functions missing, Nastavi, set checked",
       .registry = std::nullopt,
       .tarviRsa = kBin + "/libacpkcs.so",
       .answer = Answer::Continue,
       .boxes = {minimal},
       .dialog = true,
       .tarviDialog = true,
       .unchecked = allTarvi,
       .dllFileName = "acpkcs.dll",
       .caption = cap + "libacpkcs.so"},
      {.what = "cryptographic functions missing, Prekini",
       .registry = std::nullopt,
       .tarviRsa = kBin + "/libacpkcs.so",
       .checkTarvi = false,
       .answer = Answer::Finish,
       .boxes = {minimal},
       .dialog = true,
       .tarviDialog = true,
       .unchecked = allTarvi,
       .dllFileName = "acpkcs.dll",
       .caption = cap + "libacpkcs.so"},
      {.what = "cryptographic functions missing, Nastavi, set not checked",
       .registry = std::nullopt,
       .tarviRsa = kBin + "/libacpkcs.so",
       .checkTarvi = false,
       .answer = Answer::Continue,
       .result = true,
       .continueFlag = true,
       .dialog = true,
       .tarviDialog = true,
       .unchecked = allTarvi,
       .dllFileName = "acpkcs.dll",
       .caption = cap + "libacpkcs.so"},
      {.what = "one cryptographic function missing, Nastavi, set checked",
       .registry = std::nullopt,
       .tarviRsa = kBin + "/libtarvirsa_nocertrequest.so",
       .answer = Answer::Continue,
       .boxes = {minimal},
       .dialog = true,
       .tarviDialog = true,
       .unchecked = {"X509CertRequest"},
       .dllFileName = "acpkcs.dll",
       .caption = cap + "libtarvirsa_nocertrequest.so"},
      {.what = "one cryptographic function missing, Nastavi, set not checked",
       .registry = std::nullopt,
       .tarviRsa = kBin + "/libtarvirsa_nocertrequest.so",
       .checkTarvi = false,
       .answer = Answer::Continue,
       .result = true,
       .continueFlag = true,
       .dialog = true,
       .tarviDialog = true,
       .unchecked = {"X509CertRequest"},
       .dllFileName = "acpkcs.dll",
       .caption = cap + "libtarvirsa_nocertrequest.so"},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UnloadCryptokiModule();
    if (c.registry)
      ASSERT_EQ(RegWriteValue(HKEY_LOCAL_MACHINE, kKey, "DLL", QString::fromStdString(*c.registry)), 0);
    else
      RegDeleteValue(HKEY_LOCAL_MACHINE, kKey, "DLL");
    TarviRsaLibraryName = c.tarviRsa;
    FakeUiServices ui;
    DialogAnswerer answerer(c.answer);
    bool flag = false;
    bool result = LoadCryptoLibraries(kKey, "acpkcs.dll", c.checkTarvi, flag, c.quiet);

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(flag, c.continueFlag);
    std::vector<QString> boxes;
    for (const auto& b : ui.boxes) {
      EXPECT_EQ(b.kind, MsgKind::Error);
      boxes.push_back(b.text);
    }
    EXPECT_EQ(boxes, c.boxes);
    EXPECT_EQ(DllFileName, c.dllFileName);
    ASSERT_EQ(answerer.seen.size(), c.dialog ? 1u : 0u);
    if (c.dialog) {
      const SeenDialog& d = answerer.seen[0];
      EXPECT_EQ(d.caption, c.caption);
      EXPECT_EQ(d.allFound, 0);
      std::vector<QString> names = c.tarviDialog ? TarviRsaNames() : CryptokiNames();
      ASSERT_EQ(d.lines.size(), names.size());
      for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(d.lines[i].name, names[i]);
        EXPECT_EQ(d.lines[i].checked, c.unchecked.count(names[i]) == 0) << names[i].toStdString();
      }
      if (!c.tarviDialog) {
        EXPECT_TRUE(d.nameEdit.endsWith(QString::fromStdString(c.registry.value_or("x"))));
      }
    }
    // A module that was bound at all has every one of its names in the table; the
    // rest answer "not supported" rather than crash.
    if (CryptokiModule) {
      std::vector<std::string> unbound = UnboundCryptokiNames();
      EXPECT_EQ(std::set<std::string>(unbound.begin(), unbound.end()).size(), c.tarviDialog ? 0u : c.unchecked.size());
    }
    // What the check list showed as missing is exactly what the table lacks.
    if (c.tarviDialog) {
      std::set<QString> unbound;
      for (const std::string& n : UnboundTarviRsaNames()) unbound.insert(QString::fromStdString(n));
      EXPECT_EQ(unbound, c.unchecked);
    }
    if (!Cryptoki.C_DigestKey) {
      EXPECT_EQ(cryptoki::C_DigestKey(0, 0), CKR_FUNCTION_NOT_SUPPORTED);
    }
    if (c.tarviRsa == "nosuchrsa.dll") {
      EXPECT_FALSE(CryptokiModule);  // the module is not even loaded
    }
  }
}

// Both candidates of the bare default name resolve to our module in the program's folder.
TEST_F(Binding, DefaultNameIsFoundBesideTheProgram) {
  FakeUiServices ui;
  bool flag = false;
  ASSERT_TRUE(LoadCryptoLibraries(kKey, "acpkcs.dll", true, flag, false));
  ASSERT_TRUE(CryptokiModule);
  EXPECT_EQ(CryptokiModule->loadedPath(), kBin + "/libacpkcs.so");
  EXPECT_NE(Cryptoki.C_UnlockPIN, nullptr);
  EXPECT_TRUE(HasTarviRsaMinimalSet());
  // Unloading leaves no pointer into the unloaded file.
  UnloadCryptokiModule();
  EXPECT_EQ(Cryptoki.C_Initialize, nullptr);
  EXPECT_EQ(cryptoki::C_Initialize(nullptr), CKR_FUNCTION_NOT_SUPPORTED);
}

TEST(ErrorLoadingDlg, FormAndHandlers) {
  TErrorLoadingDlg dlg;
  EXPECT_EQ(dlg.windowTitle(), kErrorLoadingCaption);
  EXPECT_FALSE(dlg.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(dlg.ContinueBtn->isEnabled());
  EXPECT_FALSE(dlg.FinishBtn->isEnabled());
  EXPECT_EQ(dlg.ContinueBtn->text(), "Nastavi");
  EXPECT_EQ(dlg.FinishBtn->text(), "Prekini");
  EXPECT_TRUE(dlg.ContinueBtn->isDefault());
  EXPECT_TRUE(dlg.DLLNameEdit->isReadOnly());
  EXPECT_EQ(dlg.ContinueFlag, 1);
  EXPECT_EQ(dlg.AllFound, 1);

  dlg.SetupLibrary("/opt/card/lib/libx.so");
  EXPECT_EQ(dlg.windowTitle(), kErrorLoadingCaption + " libx.so");
  EXPECT_EQ(dlg.DLLNameEdit->text(), "/opt/card/lib/libx.so");

  int here = 0;
  AddBindResult(&dlg, &here, "C_Found");
  EXPECT_FALSE(dlg.isVisible());
  AddBindResult(&dlg, nullptr, "C_Missing");
  EXPECT_TRUE(dlg.isVisible());  // shown at the first miss, before binding ends
  EXPECT_EQ(dlg.AllFound, 0);
  QListWidgetItem* item = dlg.ErrChkLstBox->item(1);
  EXPECT_EQ(item->checkState(), Qt::Unchecked);
  EXPECT_FALSE(item->flags() & Qt::ItemIsUserCheckable);

  dlg.reject();  // Esc, Alt+F4
  EXPECT_EQ(dlg.ContinueFlag, 0);
  dlg.ContinueBtnClick();
  EXPECT_EQ(dlg.ContinueFlag, 1);
}

}  // namespace
