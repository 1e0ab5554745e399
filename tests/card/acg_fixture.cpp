#include "acg_fixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <map>

#include "card/registry.h"
#include "platform/library.h"

namespace acgfx {

namespace {

std::unique_ptr<SoftHsm> g_hsm;
std::vector<TokenFiles> g_tokens;
std::map<std::string, CK_SLOT_ID> g_slots;

QString Line(const char* kind, int code, const QString& text) {
  return QString::fromLatin1(kind) + "Error " + QString::number(code) + " " + text;
}

}  // namespace

void EventLog::Bind(TACGComponent& c) {
  c.OnAfterOpen = [this](TACGComponent*) { lines << "AfterOpen"; };
  c.OnAfterClose = [this](TACGComponent*) { lines << "AfterClose"; };
  c.OnAfterLogin = [this](TACGComponent*) { lines << "AfterLogin"; };
  c.OnAfterLogout = [this](TACGComponent*) { lines << "AfterLogout"; };
  c.OnInsertRemoveCard = [this](CK_SESSION_HANDLE h, CK_NOTIFICATION ev, void* app) {
    lastNotifySession = h;
    lastNotifyApp = app;
    lines << "InsertRemove " + QString::number(ev);
  };
  c.OnLoginError = [this](TACGComponent*, int code, const QString& t) { lines << Line("Login", code, t); };
  c.OnLogoutError = [this](TACGComponent*, int code, const QString& t) { lines << Line("Logout", code, t); };
  c.OnCloseSessionError = [this](TACGComponent*, int code, const QString& t) {
    lines << Line("CloseSession", code, t);
  };
  c.OnOpenSessionError = [this](TACGComponent*, int code, const QString& t) { lines << Line("OpenSession", code, t); };
}

void PressEscape(QWidget* w) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
}

void CardTest::MakeTokens(const std::vector<TokenDef>& defs) {
  g_hsm = std::make_unique<SoftHsm>();
  g_tokens.clear();
  for (const TokenDef& s : defs) g_tokens.push_back(g_hsm->addToken(s.label, "1234", 1024, s.serial));
}

void CardTest::DropTokens() {
  // Slot ids come from the tokens' serials: a new set has new ones.
  g_slots.clear();
  g_tokens.clear();
  g_hsm.reset();
}

const TokenFiles& CardTest::Token(size_t i) { return g_tokens.at(i); }

void CardTest::SetUp() {
  ASSERT_TRUE(g_hsm) << "the suite made no tokens";
  ui_ = std::make_unique<FakeUiServices>();
  programName_ = QString::fromStdString(ProgramBaseName());
  UseModule("libacpkcs.so");
  const QString program = QStringLiteral("SOFTWARE\\VodezOdir\\") + programName_;
  RegDeleteValue(HKEY_CURRENT_USER, program, QStringLiteral("Last WorkWithoutCard"));
}

void CardTest::TearDown() {
  Destroy();
  if (module_) {
    // Whatever a test left behind, the next one starts with the module finalised.
    module_->f->C_Finalize(nullptr);
    module_->ctl.acpkcs_ctl_record(0);
    module_->ctl.acpkcs_ctl_reset();
  }
  module_.reset();
  ui_.reset();
}

void CardTest::UseModule(const std::string& file) {
  moduleFile_ = file;
  module_ = std::make_unique<Acpkcs>(file);
  const QString key = QStringLiteral("SOFTWARE\\VodezOdir\\") + programName_ + QStringLiteral("\\PKCS #11 DLL");
  if (file == "libacpkcs.so")
    RegDeleteValue(HKEY_LOCAL_MACHINE, key, QStringLiteral("DLL"));
  else
    RegWriteValue(HKEY_LOCAL_MACHINE, key, QStringLiteral("DLL"), QString::fromStdString(module_->path()));
}

TACGComponent& CardTest::Make(TAutoMode mode) {
  Destroy();
  c_ = std::make_unique<TACGComponent>();
  TACGComponent& c = *c_;
  c.CheckInitRSAFunkc = true;
  c.DefaultPKCS11DLL = QStringLiteral("acpkcs.dll");
  c.DefaultProgramReg = QStringLiteral("SOFTWARE\\VodezOdir\\%s");
  c.SetAutoMode(mode);
  c.EnableWorkWithoutPKCS = true;
  c.EnterPINfmCaption = QStringLiteral("Prijava na karticu");
  c.EnterPINlbCaption = QStringLiteral("Unesite PIN");
  c.PinPrompt = true;
  c.PKCS11DLLReg = QStringLiteral("SOFTWARE\\VodezOdir\\%s\\PKCS #11 DLL");
  c.RootRegKey = HKEY_LOCAL_MACHINE;
  events_ = EventLog{};
  events_.Bind(c);
  return c;
}

TACGComponent& CardTest::Loaded() {
  TACGComponent& c = Make(amNone);
  c.PinPrompt = false;
  c.PIN = TPin::FromText(QStringLiteral("1234"));
  c.Loaded();
  return c;
}

void CardTest::Destroy() { c_.reset(); }

std::vector<std::string> CardTest::Calls() {
  std::string log = module_->takeLog();
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    if (end > start) lines.push_back(log.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> CardTest::Names(const std::vector<std::string>& calls) {
  std::vector<std::string> names;
  for (const std::string& l : calls) names.push_back(l.substr(0, l.find(' ')));
  return names;
}

int CardTest::Count(const std::vector<std::string>& calls, const std::string& name) {
  int n = 0;
  for (const std::string& l : Names(calls)) n += l == name;
  return n;
}

int CardTest::IndexOfToken(size_t i) {
  // Found by label while the card is in; remembered for when it is out.
  const std::string& label = Token(i).label;
  auto it = g_slots.find(label);
  if (it == g_slots.end()) it = g_slots.emplace(label, module_->slotOf(label)).first;
  return module_->indexOf(it->second);
}

void CardTest::SetCardPresent(size_t token, bool present) {
  ASSERT_EQ(module_->ctl.acpkcs_ctl_set_card_present(IndexOfToken(token), present ? 1 : 0), 0);
}

void CardTest::AllCardsOut() {
  const int n = module_->ctl.acpkcs_ctl_slot_count();
  ASSERT_GT(n, 0) << "the module is not initialised";
  for (int i = 0; i < n; ++i) ASSERT_EQ(module_->ctl.acpkcs_ctl_set_card_present(i, 0), 0);
}

}  // namespace acgfx
