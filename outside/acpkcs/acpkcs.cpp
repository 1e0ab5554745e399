// libacpkcs.so: our stand-in for the card middleware's PKCS#11 module.
//
// Every standard function is exported by name and forwarded to a real module
// (TARVI_CARD_BACKEND, SoftHSM2 by default). On top of it sits what a card
// middleware has and a software token lacks: the vendor functions C_UnlockPIN
// and C_ResetToken, cards that can be taken out of a reader, notify callbacks,
// a PIN retry counter that locks, and for tests injected failures, token flag
// overrides, empty extra readers and a call log (see acpkcs_control.h).
//
// One lock serialises every entry point, so the control-file thread can take a
// card out while the program is inside a call. Notify callbacks are never called
// with the lock held and never from inside a C_ call.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/pkcs11.h"
#include "outside/acpkcs/acpkcs_control.h"
#include "outside/common/safe_file.h"

#ifndef ACPKCS_VERSION_MAJOR
#define ACPKCS_VERSION_MAJOR 2
#endif

#define ACPKCS_EXPORT __attribute__((visibility("default")))

namespace {

constexpr const char* kDefaultBackend = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kDefaultSoPin = "12345678";
constexpr const char* kDefaultUnlockCode = "87654321";
constexpr CK_NOTIFICATION kCardPresentEvent = 3;
constexpr CK_SLOT_ID kFirstFakeSlot = 0xFA000001UL;
constexpr CK_MECHANISM_TYPE kFirstExtraMechanism = CKM_VENDOR_DEFINED + 0x7A000UL;

struct Session {
  CK_SLOT_ID slot;
  CK_NOTIFY notify;
  void* app;
};

struct Injection {
  std::string function;
  CK_RV rv;
  unsigned long remaining;  // calls until it fires; unused when always
  bool always;
};

struct FlagOverride {
  CK_FLAGS orMask = 0;
  CK_FLAGS andMask = ~0UL;
};

struct Notice {
  CK_SESSION_HANDLE session;
  CK_NOTIFICATION event;
  CK_NOTIFY notify;
  void* app;
};

struct FileSignature {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtimeNs = 0;
  bool operator==(const FileSignature&) const = default;
};

struct State {
  void* backendLib = nullptr;
  CK_FUNCTION_LIST* B = nullptr;
  bool initialized = false;

  bool recording = false;
  std::string log;
  std::vector<Injection> injections;

  std::set<CK_SLOT_ID> absent;
  bool hideUninitialised = false;
  std::vector<CK_SLOT_ID> fakeSlots;
  CK_ULONG extraMechanisms = 0;
  CK_NOTIFICATION removalEvent = 2;  // what the real middleware sends for a card taken out

  int maxPinTries = 0;
  std::map<CK_SLOT_ID, int> pinFailures;  // where no count file can be kept
  std::string soPin;
  std::string unlockCode;

  bool overrideAll = false;
  FlagOverride allSlots;
  std::map<CK_SLOT_ID, FlagOverride> overrides;

  std::map<CK_SESSION_HANDLE, Session> sessions;

  std::string controlPath;
  FileSignature controlSeen;
  std::vector<std::pair<int, bool>> pendingPresence;  // from the file, applied once slots can be resolved
};

// Never destroyed: the control thread and late callers may still need them while
// the process exits.
std::recursive_mutex& Mu() {
  static auto* m = new std::recursive_mutex;
  return *m;
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : std::string(fallback);
}

void ResetConfig(State& s) {
  s.recording = false;
  s.log.clear();
  s.injections.clear();
  s.absent.clear();
  s.hideUninitialised = false;
  s.fakeSlots.clear();
  s.extraMechanisms = 0;
  s.removalEvent = 2;
  s.maxPinTries = 0;
  s.pinFailures.clear();
  s.soPin = EnvOr("TARVI_CARD_SO_PIN", kDefaultSoPin);
  s.unlockCode = EnvOr("TARVI_CARD_UNLOCK_CODE", kDefaultUnlockCode);
  s.overrideAll = false;
  s.allSlots = FlagOverride{};
  s.overrides.clear();
  s.controlPath.clear();
  s.controlSeen = FileSignature{};
  s.pendingPresence.clear();
}

State& S() {
  static State* s = [] {
    auto* st = new State;
    ResetConfig(*st);
    return st;
  }();
  return *s;
}

CK_FUNCTION_LIST* OurList();

bool EnsureBackend() {
  State& s = S();
  if (s.B) return true;
  std::string path = EnvOr("TARVI_CARD_BACKEND", kDefaultBackend);
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) return false;
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
  CK_FUNCTION_LIST* list = nullptr;
  if (!get || get(&list) != CKR_OK || !list || list == OurList()) {
    dlclose(h);
    return false;
  }
  s.backendLib = h;
  s.B = list;
  return true;
}

// ---------------------------------------------------------------------------
// Call log

struct Item {
  enum Kind { Num, NumPtr, Text } kind = Text;
  CK_ULONG num = 0;
  CK_ULONG* ptr = nullptr;
  CK_ULONG in = 0;
  const CK_ATTRIBUTE* attrs = nullptr;
  bool isAttrs = false;
  std::string text;
};

Item Of(CK_ULONG v) {
  Item i;
  i.kind = Item::Num;
  i.num = v;
  return i;
}
Item Of(CK_BBOOL v) { return Of(static_cast<CK_ULONG>(v)); }
Item Of(CK_ULONG* p) {
  Item i;
  i.kind = Item::NumPtr;
  i.ptr = p;
  return i;
}
Item Of(CK_ATTRIBUTE* a) {
  Item i;
  i.isAttrs = true;
  i.attrs = a;
  i.text = a ? "" : "null";
  return i;
}
Item Of(CK_MECHANISM* m) {
  Item i;
  char b[32];
  std::snprintf(b, sizeof b, "0x%lx", m ? m->mechanism : 0UL);
  i.text = m ? b : "null";
  return i;
}
Item Of(CK_BYTE* p) {
  Item i;
  i.text = p ? "buf" : "null";
  return i;
}
Item Of(void* p) {
  Item i;
  i.text = p ? "ptr" : "null";
  return i;
}
Item Of(CK_NOTIFY f) {
  Item i;
  i.text = f ? "fn" : "null";
  return i;
}
template <class T>
Item Of(T* p) {
  Item i;
  i.text = p ? "out" : "null";
  return i;
}

std::vector<std::string> ParamNames(const char* params) {
  std::vector<std::string> names;
  std::string p(params);
  std::string cur;
  auto flush = [&] {
    size_t end = cur.find_last_not_of(" )");
    if (end != std::string::npos) {
      size_t start = cur.find_last_of(" *(", end);
      names.push_back(cur.substr(start == std::string::npos ? 0 : start + 1,
                                 end - (start == std::string::npos ? 0 : start + 1) + 1));
    }
    cur.clear();
  };
  for (char c : p) {
    if (c == ',')
      flush();
    else
      cur += c;
  }
  flush();
  return names;
}

std::string Hex(CK_ULONG v) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%lx", v);
  return b;
}

// The lock is held for the whole call; the log line is written when it ends.
class Call {
 public:
  Call(const char* name, const char* params) : lock_(Mu()), name_(name), params_(params) {}

  template <class... A>
  void Args(A... a) {
    if (!S().recording) return;
    (items_.push_back(Of(a)), ...);
    // Only a length pointer carries a value in; a handle or list pointer may point
    // at memory the call has yet to fill, or at none at all (an empty list).
    std::vector<std::string> names = ParamNames(params_);
    for (size_t k = 0; k < items_.size() && k < names.size(); ++k)
      if (items_[k].kind == Item::NumPtr && items_[k].ptr && names[k].rfind("pul", 0) == 0)
        items_[k].in = *items_[k].ptr;
    // A template is followed by its attribute count: render it now, with the
    // lengths as the caller passed them.
    for (size_t k = 0; k < items_.size(); ++k) {
      if (!items_[k].isAttrs || !items_[k].attrs) continue;
      CK_ULONG count = (k + 1 < items_.size() && items_[k + 1].kind == Item::Num) ? items_[k + 1].num : 0;
      std::string t = "[";
      for (CK_ULONG j = 0; j < count; ++j) {
        const CK_ATTRIBUTE& at = items_[k].attrs[j];
        if (j) t += ",";
        t += Hex(at.type) + ":" + (at.pValue ? std::to_string(at.ulValueLen) : std::string("null"));
      }
      items_[k].text = t + "]";
    }
  }

  bool Injected(CK_RV* rv) {
    bool fired = false;
    auto& v = S().injections;
    for (auto it = v.begin(); it != v.end();) {
      if (it->function != name_) {
        ++it;
        continue;
      }
      if (it->always) {
        if (!fired) *rv = it->rv;
        fired = true;
        ++it;
      } else if (--it->remaining == 0) {
        if (!fired) *rv = it->rv;
        fired = true;
        it = v.erase(it);
      } else {
        ++it;
      }
    }
    injected_ = fired;
    return fired;
  }

  // Before C_Initialize only C_Initialize and C_GetFunctionList may run.
  bool Ready() const {
    return S().initialized || std::strcmp(name_, "C_Initialize") == 0 || std::strcmp(name_, "C_GetFunctionList") == 0;
  }

  CK_RV Done(CK_RV rv) {
    if (!S().recording) return rv;
    std::vector<std::string> names = ParamNames(params_);
    std::string line = name_;
    for (size_t k = 0; k < items_.size(); ++k) {
      const Item& it = items_[k];
      std::string n = k < names.size() ? names[k] : "arg" + std::to_string(k);
      bool decimal = n.rfind("ul", 0) == 0 || n.rfind("pul", 0) == 0;
      std::string v;
      if (it.kind == Item::Num) {
        v = decimal ? std::to_string(it.num) : Hex(it.num);
      } else if (it.kind == Item::NumPtr) {
        if (!it.ptr)
          v = "null";
        else if (n.rfind("pul", 0) == 0)
          v = "&" + std::to_string(it.in) + ">" + std::to_string(*it.ptr);
        else if (n.rfind("ph", 0) == 0 && rv == CKR_OK && std::strcmp(name_, "C_FindObjects") != 0)
          v = "&" + Hex(*it.ptr);  // one handle handed out; a search's list may be empty
        else
          v = "buf";
      } else {
        v = it.text;
      }
      line += " " + n + "=" + v;
    }
    line += " -> " + Hex(rv);
    if (injected_) line += " (injected)";
    S().log += line + "\n";
    return rv;
  }

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  const char* name_;
  const char* params_;
  std::vector<Item> items_;
  bool injected_ = false;
};

// ---------------------------------------------------------------------------
// Slots, cards and sessions (all called with the lock held)

bool IsFake(CK_SLOT_ID id) {
  const auto& f = S().fakeSlots;
  return std::find(f.begin(), f.end(), id) != f.end();
}
bool IsAbsent(CK_SLOT_ID id) { return S().absent.count(id) != 0; }
bool NoCard(CK_SLOT_ID id) { return IsFake(id) || IsAbsent(id); }

CK_RV RealSlots(CK_BBOOL tokenPresent, std::vector<CK_SLOT_ID>* out) {
  CK_FUNCTION_LIST* B = S().B;
  CK_RV rv = CKR_OK;
  for (int attempt = 0; attempt < 8; ++attempt) {
    CK_ULONG n = 0;
    rv = B->C_GetSlotList(tokenPresent, nullptr, &n);
    if (rv != CKR_OK) return rv;
    out->assign(n, 0);
    if (n == 0) return CKR_OK;
    rv = B->C_GetSlotList(tokenPresent, out->data(), &n);
    if (rv == CKR_BUFFER_TOO_SMALL) continue;  // a token appeared in between
    if (rv != CKR_OK) return rv;
    out->resize(n);
    return CKR_OK;
  }
  return rv;
}

bool Hidden(CK_SLOT_ID id) {
  if (!S().hideUninitialised) return false;
  CK_TOKEN_INFO ti;
  return S().B->C_GetTokenInfo(id, &ti) != CKR_OK || !(ti.flags & CKF_TOKEN_INITIALIZED);
}

CK_RV VisibleSlots(bool tokenPresent, std::vector<CK_SLOT_ID>* out) {
  std::vector<CK_SLOT_ID> real;
  CK_RV rv = RealSlots(tokenPresent ? CK_TRUE : CK_FALSE, &real);
  if (rv != CKR_OK) return rv;
  out->clear();
  for (CK_SLOT_ID id : real) {
    if (Hidden(id)) continue;
    if (tokenPresent && IsAbsent(id)) continue;
    out->push_back(id);
  }
  if (!tokenPresent) out->insert(out->end(), S().fakeSlots.begin(), S().fakeSlots.end());
  return CKR_OK;
}

bool SlotAt(int index, CK_SLOT_ID* id) {
  if (!S().initialized || index < 0) return false;
  std::vector<CK_SLOT_ID> v;
  if (VisibleSlots(false, &v) != CKR_OK || static_cast<size_t>(index) >= v.size()) return false;
  *id = v[index];
  return true;
}

bool SlotOfSession(CK_SESSION_HANDLE h, CK_SLOT_ID* slot) {
  auto it = S().sessions.find(h);
  if (it != S().sessions.end()) {
    *slot = it->second.slot;
    return true;
  }
  CK_SESSION_INFO info;
  if (S().B->C_GetSessionInfo(h, &info) != CKR_OK) return false;
  *slot = info.slotID;
  return true;
}

void ForgetSessionsOf(CK_SLOT_ID slot) {
  auto& m = S().sessions;
  for (auto it = m.begin(); it != m.end();) it = (it->second.slot == slot) ? m.erase(it) : std::next(it);
}

// Each distinct callback once, with the first session that registered it.
void CollectNotices(CK_NOTIFICATION event, std::vector<Notice>* out) {
  for (const auto& [h, s] : S().sessions) {
    if (!s.notify) continue;
    bool seen = false;
    for (const Notice& n : *out) seen = seen || (n.notify == s.notify && n.app == s.app && n.event == event);
    if (!seen) out->push_back({h, event, s.notify, s.app});
  }
}

void ChangePresence(CK_SLOT_ID slot, bool present, std::vector<Notice>* out) {
  State& s = S();
  if (present != IsAbsent(slot)) return;  // no change
  CollectNotices(present ? kCardPresentEvent : s.removalEvent, out);
  if (present) {
    s.absent.erase(slot);
  } else {
    s.absent.insert(slot);
    if (s.initialized) s.B->C_CloseAllSessions(slot);
    ForgetSessionsOf(slot);
  }
}

void Deliver(const std::vector<Notice>& notices) {
  for (const Notice& n : notices) n.notify(n.session, n.event, n.app);
}

// ---------------------------------------------------------------------------
// PIN retry policy

// A card keeps its count of wrong PINs itself, so a new process (a restart of the
// program) neither resets it nor unlocks the card. Each token's count lives in a
// small file beside the token: in TARVI_CARD_STATE_DIR when set, else in the real
// module's token folder (SoftHSM2's directories.tokendir), named after the token's
// serial number. Where no such folder is known, the count lives in this process.

struct PinCount {
  int failures = 0;
  bool locked = false;
};

constexpr const char* kPinFilePrefix = "tarvi-pin-";

std::string Trim(const std::string& t) {
  const size_t a = t.find_first_not_of(" \t\r");
  if (a == std::string::npos) return {};
  return t.substr(a, t.find_last_not_of(" \t\r") - a + 1);
}

// The folder of the count files, or "" when there is none.
std::string PinStateDir() {
  std::string dir = EnvOr("TARVI_CARD_STATE_DIR", "");
  if (!dir.empty()) return dir;
  if (EnvOr("TARVI_CARD_BACKEND", kDefaultBackend).find("softhsm") == std::string::npos) return {};
  std::ifstream conf(EnvOr("SOFTHSM2_CONF", "/etc/softhsm/softhsm2.conf"));
  std::string line;
  while (std::getline(conf, line)) {
    line = line.substr(0, line.find('#'));
    const size_t eq = line.find('=');
    if (eq != std::string::npos && Trim(line.substr(0, eq)) == "directories.tokendir") return Trim(line.substr(eq + 1));
  }
  return {};
}

// The count file of the token in slot, or "" when it cannot have one.
std::string PinFile(CK_SLOT_ID slot) {
  const std::string dir = PinStateDir();
  if (dir.empty() || !S().B) return {};
  CK_TOKEN_INFO ti;
  if (S().B->C_GetTokenInfo(slot, &ti) != CKR_OK) return {};
  std::string serial;
  for (CK_UTF8CHAR c : ti.serialNumber)
    if (std::isalnum(c)) serial.push_back(static_cast<char>(c));
  if (serial.empty()) return {};
  return dir + "/" + kPinFilePrefix + serial;
}

PinCount LoadPinCount(CK_SLOT_ID slot) {
  PinCount c;
  const std::string path = PinFile(slot);
  if (path.empty()) {
    c.failures = S().pinFailures[slot];
    return c;
  }
  std::ifstream in(path);
  std::string key;
  int value = 0;
  while (in >> key >> value) {
    if (key == "failures" && value >= 0) c.failures = value;
    if (key == "locked") c.locked = value != 0;
  }
  return c;
}

// Written whole or not at all: a temporary file in the same folder, synced, renamed
// over the old one, and the folder synced, so a crash leaves the old count or the
// new one, never a torn file.
bool StorePinCount(CK_SLOT_ID slot, const PinCount& c) {
  const std::string path = PinFile(slot);
  if (path.empty()) {
    S().pinFailures[slot] = c.failures;
    return true;
  }
  const std::string text =
      "failures " + std::to_string(c.failures) + "\nlocked " + std::string(c.locked ? "1" : "0") + "\n";
  outside_io::SafeFile file;
  return file.Create(path, 0600) && file.Write(text.data(), text.size()) && file.Commit(true);
}

// Forgets every token's count (the test reset).
void ForgetPinCounts() {
  const std::string dir = PinStateDir();
  if (dir.empty()) return;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d))
    if (std::strncmp(e->d_name, kPinFilePrefix, std::strlen(kPinFilePrefix)) == 0) ::unlinkat(::dirfd(d), e->d_name, 0);
  ::closedir(d);
}

bool PinLocked(const PinCount& c) {
  const int max = S().maxPinTries;
  return max > 0 && (c.locked || c.failures >= max);
}

// A PIN check under the policy. As a card does, the wrong try is counted before
// the PIN is checked, so ending the process during the check does not lose it;
// a good PIN then clears the count, and a result that did not judge the PIN puts
// it back. A count that cannot be recorded stops the check.
template <typename Check>
CK_RV CountedPinCheck(CK_SLOT_ID slot, Check check) {
  if (S().maxPinTries <= 0) return check();
  const PinCount before = LoadPinCount(slot);
  if (PinLocked(before)) return CKR_PIN_LOCKED;
  PinCount tried = before;
  ++tried.failures;
  tried.locked = tried.failures >= S().maxPinTries;
  if (!StorePinCount(slot, tried)) return CKR_DEVICE_ERROR;
  const CK_RV rv = check();
  if (rv == CKR_OK)
    StorePinCount(slot, PinCount{});
  else if (rv != CKR_PIN_INCORRECT)
    StorePinCount(slot, before);
  return rv;
}

// The SO's new user PIN (the unlock) starts the count again, as on a card.
void ClearPinCount(CK_SLOT_ID slot) {
  if (S().maxPinTries > 0 || LoadPinCount(slot).failures > 0) StorePinCount(slot, PinCount{});
  S().pinFailures[slot] = 0;
}

CK_FLAGS PolicyFlags(CK_SLOT_ID slot, CK_FLAGS flags) {
  int max = S().maxPinTries;
  if (max <= 0) return flags;
  const PinCount c = LoadPinCount(slot);
  flags &= ~(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
  if (PinLocked(c))
    flags |= CKF_USER_PIN_LOCKED;
  else if (c.failures > 0)
    flags |= CKF_USER_PIN_COUNT_LOW | (c.failures == max - 1 ? CKF_USER_PIN_FINAL_TRY : 0);
  return flags;
}

CK_FLAGS OverrideFlags(CK_SLOT_ID slot, CK_FLAGS flags) {
  if (S().overrideAll) flags = (flags & S().allSlots.andMask) | S().allSlots.orMask;
  auto it = S().overrides.find(slot);
  if (it != S().overrides.end()) flags = (flags & it->second.andMask) | it->second.orMask;
  return flags;
}

// ---------------------------------------------------------------------------
// Control file

bool ParseBool(const std::string& w, bool* v) {
  if (w == "present" || w == "in" || w == "inserted" || w == "yes" || w == "on" || w == "1") {
    *v = true;
    return true;
  }
  if (w == "absent" || w == "out" || w == "removed" || w == "no" || w == "off" || w == "0") {
    *v = false;
    return true;
  }
  return false;
}

void ApplyControlLine(const std::string& raw) {
  std::string line = raw.substr(0, raw.find('#'));
  std::istringstream in(line);
  std::string key;
  if (!(in >> key)) return;
  State& s = S();
  if (key == "slot") {
    int index;
    std::string word;
    bool present;
    if (in >> index >> word && ParseBool(word, &present)) s.pendingPresence.emplace_back(index, present);
  } else if (key == "pin-tries") {
    int n;
    if (in >> n && n >= 0) s.maxPinTries = n;
  } else if (key == "unlock-code") {
    std::string v;
    if (in >> v) s.unlockCode = v;
  } else if (key == "so-pin") {
    std::string v;
    if (in >> v) s.soPin = v;
  } else if (key == "hide-uninitialised") {
    std::string w;
    bool on;
    if (in >> w && ParseBool(w, &on)) s.hideUninitialised = on;
  }
}

FileSignature Signature(const std::string& path) {
  FileSignature f;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return f;
  f.exists = true;
  f.dev = st.st_dev;
  f.ino = st.st_ino;
  f.size = st.st_size;
  f.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return f;
}

void PollControlFile(std::vector<Notice>* out) {
  State& s = S();
  if (s.controlPath.empty()) return;
  FileSignature now = Signature(s.controlPath);
  if (!(now == s.controlSeen)) {
    s.controlSeen = now;
    s.pendingPresence.clear();
    if (now.exists) {
      std::ifstream f(s.controlPath);
      std::string line;
      while (std::getline(f, line)) ApplyControlLine(line);
    }
  }
  if (!s.initialized || s.pendingPresence.empty()) return;
  for (const auto& [index, present] : s.pendingPresence) {
    CK_SLOT_ID id;
    if (SlotAt(index, &id) && !IsFake(id)) ChangePresence(id, present, out);
  }
  s.pendingPresence.clear();
}

// Follows the control file while the module is loaded: a person takes cards out
// and puts them in while the program runs, and the callbacks arrive from this
// thread, as they would from a real middleware's event thread.
struct Poller {
  std::mutex m;
  std::condition_variable cv;
  std::thread thread;
  bool stop = false;
};

Poller& ThePoller() {
  static auto* p = new Poller;
  return *p;
}

void PollerLoop() {
  Poller& p = ThePoller();
  std::unique_lock<std::mutex> lk(p.m);
  while (!p.stop) {
    p.cv.wait_for(lk, std::chrono::milliseconds(200));
    if (p.stop) break;
    lk.unlock();
    std::vector<Notice> notices;
    {
      std::lock_guard<std::recursive_mutex> g(Mu());
      PollControlFile(&notices);
    }
    Deliver(notices);
    lk.lock();
  }
}

void StartPoller() {
  Poller& p = ThePoller();
  std::lock_guard<std::mutex> g(p.m);
  if (!p.thread.joinable() && !p.stop) p.thread = std::thread(PollerLoop);
}

__attribute__((destructor)) void StopPoller() {
  Poller& p = ThePoller();
  {
    std::lock_guard<std::mutex> g(p.m);
    p.stop = true;
  }
  p.cv.notify_all();
  if (p.thread.joinable()) p.thread.join();
}

// ---------------------------------------------------------------------------
// The functions. Do_<name>(Forward, ...) forwards to the real module; a
// Do_<name>(Custom, ...) below replaces it where the middleware behaves
// differently (overload resolution prefers the exact tag).

struct Forward {};
struct Custom : Forward {};

#define ACPKCS_WITH_FORWARD(...) (Forward, __VA_ARGS__)
#define ACPKCS_WITH_CUSTOM(...) (Custom{}, __VA_ARGS__)

#define ACPKCS_DEFINE_FORWARD(name, params, args)                       \
  [[maybe_unused]] CK_RV Do_##name ACPKCS_WITH_FORWARD params {         \
    return S().B->name ? S().B->name args : CKR_FUNCTION_NOT_SUPPORTED; \
  }
TARVI_PKCS11_STANDARD_FUNCTIONS(ACPKCS_DEFINE_FORWARD)
#undef ACPKCS_DEFINE_FORWARD

CK_RV Do_C_Initialize(Custom, CK_VOID_PTR pInitArgs) {
  State& s = S();
  if (s.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  if (!EnsureBackend()) return CKR_GENERAL_ERROR;
  CK_RV rv = s.B->C_Initialize(pInitArgs);
  // An earlier load of this module may have left the real one initialised.
  if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) rv = CKR_OK;
  if (rv != CKR_OK) return rv;
  s.initialized = true;
  s.sessions.clear();
  if (const char* path = std::getenv("TARVI_CARD_CONTROL"); path && *path) {
    if (s.controlPath != path) {
      s.controlPath = path;
      s.controlSeen = FileSignature{};
    }
    std::vector<Notice> none;  // no session is open yet, so nobody is told
    PollControlFile(&none);
    StartPoller();
  }
  return CKR_OK;
}

CK_RV Do_C_Finalize(Custom, CK_VOID_PTR pReserved) {
  CK_RV rv = S().B->C_Finalize(pReserved);
  if (rv == CKR_CRYPTOKI_NOT_INITIALIZED) rv = CKR_OK;
  if (rv == CKR_OK) {
    S().initialized = false;
    S().sessions.clear();
  }
  return rv;
}

CK_RV Do_C_GetInfo(Custom, CK_INFO_PTR pInfo) {
  CK_RV rv = S().B->C_GetInfo(pInfo);
  if (rv == CKR_OK && pInfo) pInfo->libraryVersion = CK_VERSION{ACPKCS_VERSION_MAJOR, 0};
  return rv;
}

CK_RV Do_C_GetFunctionList(Custom, CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  if (!ppFunctionList) return CKR_ARGUMENTS_BAD;
  *ppFunctionList = OurList();
  return CKR_OK;
}

CK_RV Do_C_GetSlotList(Custom, CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  if (!pulCount) return CKR_ARGUMENTS_BAD;
  std::vector<CK_SLOT_ID> v;
  CK_RV rv = VisibleSlots(tokenPresent != CK_FALSE, &v);
  if (rv != CKR_OK) return rv;
  if (pSlotList) {
    if (*pulCount < v.size()) {
      *pulCount = v.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(v.begin(), v.end(), pSlotList);
  }
  *pulCount = v.size();
  return CKR_OK;
}

void Pad(CK_UTF8CHAR* field, size_t width, const std::string& text) {
  std::memset(field, ' ', width);
  std::memcpy(field, text.data(), std::min(width, text.size()));
}

CK_RV Do_C_GetSlotInfo(Custom, CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  if (IsFake(slotID)) {
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    const auto& f = S().fakeSlots;
    size_t n = std::find(f.begin(), f.end(), slotID) - f.begin() + 1;
    Pad(pInfo->slotDescription, sizeof pInfo->slotDescription, "Tarvi virtual reader " + std::to_string(n));
    Pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Tarvi");
    pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    pInfo->hardwareVersion = CK_VERSION{1, 0};
    pInfo->firmwareVersion = CK_VERSION{1, 0};
    return CKR_OK;
  }
  CK_RV rv = S().B->C_GetSlotInfo(slotID, pInfo);
  if (rv == CKR_OK && pInfo && IsAbsent(slotID)) pInfo->flags &= ~CKF_TOKEN_PRESENT;
  return rv;
}

CK_RV Do_C_GetTokenInfo(Custom, CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  if (NoCard(slotID)) return CKR_TOKEN_NOT_PRESENT;
  CK_RV rv = S().B->C_GetTokenInfo(slotID, pInfo);
  if (rv == CKR_OK && pInfo) pInfo->flags = OverrideFlags(slotID, PolicyFlags(slotID, pInfo->flags));
  return rv;
}

CK_RV Do_C_GetMechanismList(Custom, CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
  if (NoCard(slotID)) return CKR_TOKEN_NOT_PRESENT;
  CK_ULONG extra = S().extraMechanisms;
  if (extra == 0) return S().B->C_GetMechanismList(slotID, pMechanismList, pulCount);
  if (!pulCount) return CKR_ARGUMENTS_BAD;
  CK_ULONG n = 0;
  CK_RV rv = S().B->C_GetMechanismList(slotID, nullptr, &n);
  if (rv != CKR_OK) return rv;
  if (pMechanismList) {
    if (*pulCount < n + extra) {
      *pulCount = n + extra;
      return CKR_BUFFER_TOO_SMALL;
    }
    rv = S().B->C_GetMechanismList(slotID, pMechanismList, &n);
    if (rv != CKR_OK) return rv;
    for (CK_ULONG i = 0; i < extra; ++i) pMechanismList[n + i] = kFirstExtraMechanism + i;
  }
  *pulCount = n + extra;
  return CKR_OK;
}

CK_RV Do_C_GetMechanismInfo(Custom, CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  if (NoCard(slotID)) return CKR_TOKEN_NOT_PRESENT;
  if (type >= kFirstExtraMechanism && type < kFirstExtraMechanism + S().extraMechanisms) {
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    *pInfo = CK_MECHANISM_INFO{0, 0, 0};
    return CKR_OK;
  }
  return S().B->C_GetMechanismInfo(slotID, type, pInfo);
}

CK_RV Do_C_InitToken(Custom, CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
  if (NoCard(slotID)) return CKR_TOKEN_NOT_PRESENT;
  return S().B->C_InitToken(slotID, pPin, ulPinLen, pLabel);
}

CK_RV Do_C_OpenSession(Custom, CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                       CK_SESSION_HANDLE_PTR phSession) {
  if (NoCard(slotID)) return CKR_TOKEN_NOT_PRESENT;
  if (!phSession) return CKR_ARGUMENTS_BAD;
  // The real module never hears of the callback: notifications are ours.
  CK_RV rv = S().B->C_OpenSession(slotID, flags, pApplication, nullptr, phSession);
  if (rv == CKR_OK) S().sessions[*phSession] = Session{slotID, Notify, pApplication};
  return rv;
}

CK_RV Do_C_CloseSession(Custom, CK_SESSION_HANDLE hSession) {
  CK_RV rv = S().B->C_CloseSession(hSession);
  if (rv == CKR_OK || rv == CKR_SESSION_HANDLE_INVALID) S().sessions.erase(hSession);
  return rv;
}

CK_RV Do_C_CloseAllSessions(Custom, CK_SLOT_ID slotID) {
  if (IsFake(slotID)) return CKR_OK;
  CK_RV rv = S().B->C_CloseAllSessions(slotID);
  if (rv == CKR_OK) ForgetSessionsOf(slotID);
  return rv;
}

CK_RV Do_C_Login(Custom, CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  CK_SLOT_ID slot;
  auto login = [&] { return S().B->C_Login(hSession, userType, pPin, ulPinLen); };
  if (userType != CKU_USER || !SlotOfSession(hSession, &slot)) return login();
  return CountedPinCheck(slot, login);
}

CK_RV Do_C_SetPIN(Custom, CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                  CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  CK_SLOT_ID slot;
  auto change = [&] { return S().B->C_SetPIN(hSession, pOldPin, ulOldLen, pNewPin, ulNewLen); };
  if (!SlotOfSession(hSession, &slot)) return change();
  return CountedPinCheck(slot, change);
}

CK_RV Do_C_InitPIN(Custom, CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  CK_RV rv = S().B->C_InitPIN(hSession, pPin, ulPinLen);
  CK_SLOT_ID slot;
  if (rv == CKR_OK && SlotOfSession(hSession, &slot)) ClearPinCount(slot);
  return rv;
}

#ifndef ACPKCS_NO_VENDOR
// The unlock code stands in for the card's PUK: when it matches, the user PIN is
// set anew through an SO login on a session of our own.
CK_RV Do_C_UnlockPIN(Custom, CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pUnlockCode, CK_ULONG ulUnlockCodeLen,
                     CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewPinLen) {
  CK_SLOT_ID slot;
  if (!SlotOfSession(hSession, &slot)) return CKR_SESSION_HANDLE_INVALID;
  if (IsAbsent(slot)) return CKR_TOKEN_NOT_PRESENT;
  if ((!pUnlockCode && ulUnlockCodeLen) || (!pNewPin && ulNewPinLen)) return CKR_ARGUMENTS_BAD;
  const std::string& code = S().unlockCode;
  if (ulUnlockCodeLen != code.size() ||
      (ulUnlockCodeLen && std::memcmp(pUnlockCode, code.data(), ulUnlockCodeLen) != 0))
    return CKR_PIN_INCORRECT;
  CK_FUNCTION_LIST* B = S().B;
  CK_SESSION_HANDLE so = 0;
  CK_RV rv = B->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &so);
  if (rv != CKR_OK) return rv;
  std::string soPin = S().soPin;
  rv = B->C_Login(so, CKU_SO, reinterpret_cast<CK_UTF8CHAR_PTR>(soPin.data()), soPin.size());
  if (rv == CKR_OK) {
    rv = B->C_InitPIN(so, pNewPin, ulNewPinLen);
    B->C_Logout(so);
  }
  B->C_CloseSession(so);
  if (rv == CKR_OK) ClearPinCount(slot);
  return rv;
}

CK_RV Do_C_ResetToken(Custom, CK_SLOT_ID slotID, CK_UTF8CHAR_PTR, CK_ULONG) {
  if (NoCard(slotID)) return CKR_TOKEN_NOT_PRESENT;
  return CKR_FUNCTION_NOT_SUPPORTED;
}
#endif

}  // namespace

#define ACPKCS_DEFINE_EXPORT(name, params, args)                                                                   \
  extern "C" ACPKCS_EXPORT CK_RV name params {                                                                     \
    Call call(#name, #params);                                                                                     \
    call.Args args;                                                                                                \
    CK_RV rv;                                                                                                      \
    if (!call.Injected(&rv)) rv = call.Ready() ? Do_##name ACPKCS_WITH_CUSTOM args : CKR_CRYPTOKI_NOT_INITIALIZED; \
    return call.Done(rv);                                                                                          \
  }
TARVI_PKCS11_STANDARD_FUNCTIONS(ACPKCS_DEFINE_EXPORT)
#ifndef ACPKCS_NO_VENDOR
TARVI_PKCS11_VENDOR_FUNCTIONS(ACPKCS_DEFINE_EXPORT)
#endif
#undef ACPKCS_DEFINE_EXPORT

namespace {

CK_FUNCTION_LIST g_list = {CK_VERSION{2, 1},
#define ACPKCS_LIST_ENTRY(name, params, args) name,
                           TARVI_PKCS11_STANDARD_FUNCTIONS(ACPKCS_LIST_ENTRY)
#undef ACPKCS_LIST_ENTRY
};

CK_FUNCTION_LIST* OurList() { return &g_list; }

bool KnownFunction(const char* name) {
  static const char* const names[] = {
#define ACPKCS_NAME(n, params, args) #n,
      TARVI_PKCS11_STANDARD_FUNCTIONS(ACPKCS_NAME) TARVI_PKCS11_VENDOR_FUNCTIONS(ACPKCS_NAME)
#undef ACPKCS_NAME
  };
  for (const char* n : names)
    if (std::strcmp(n, name) == 0) return true;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Control functions

extern "C" {

int acpkcs_ctl_reset(void) {
  std::lock_guard<std::recursive_mutex> g(Mu());
  ForgetPinCounts();
  ResetConfig(S());
  return 0;
}

int acpkcs_ctl_slot_count(void) {
  std::lock_guard<std::recursive_mutex> g(Mu());
  std::vector<CK_SLOT_ID> v;
  if (!S().initialized || VisibleSlots(false, &v) != CKR_OK) return -1;
  return static_cast<int>(v.size());
}

CK_SLOT_ID acpkcs_ctl_slot_id(int index) {
  std::lock_guard<std::recursive_mutex> g(Mu());
  CK_SLOT_ID id;
  return SlotAt(index, &id) ? id : CK_UNAVAILABLE_INFORMATION;
}

int acpkcs_ctl_set_card_present_id(CK_SLOT_ID slot, int present) {
  std::vector<Notice> notices;
  {
    std::lock_guard<std::recursive_mutex> g(Mu());
    if (IsFake(slot)) return -1;
    ChangePresence(slot, present != 0, &notices);
  }
  Deliver(notices);
  return 0;
}

int acpkcs_ctl_set_card_present(int index, int present) {
  CK_SLOT_ID id;
  {
    std::lock_guard<std::recursive_mutex> g(Mu());
    if (!SlotAt(index, &id)) return -1;
  }
  return acpkcs_ctl_set_card_present_id(id, present);
}

int acpkcs_ctl_set_removal_event(CK_NOTIFICATION event) {
  if (event == kCardPresentEvent) return -1;
  std::lock_guard<std::recursive_mutex> g(Mu());
  S().removalEvent = event;
  return 0;
}

int acpkcs_ctl_hide_uninitialised_slots(int on) {
  std::lock_guard<std::recursive_mutex> g(Mu());
  S().hideUninitialised = on != 0;
  return 0;
}

int acpkcs_ctl_set_pin_policy(int maxTries) {
  if (maxTries < 0) return -1;
  std::lock_guard<std::recursive_mutex> g(Mu());
  S().maxPinTries = maxTries;
  return 0;
}

int acpkcs_ctl_set_unlock_code(const char* code) {
  if (!code) return -1;
  std::lock_guard<std::recursive_mutex> g(Mu());
  S().unlockCode = code;
  return 0;
}

int acpkcs_ctl_set_so_pin(const char* pin) {
  if (!pin) return -1;
  std::lock_guard<std::recursive_mutex> g(Mu());
  S().soPin = pin;
  return 0;
}

int acpkcs_ctl_token_flags(int index, CK_FLAGS orMask, CK_FLAGS andMask) {
  std::lock_guard<std::recursive_mutex> g(Mu());
  FlagOverride o{orMask, andMask};
  if (index == -1) {
    S().overrideAll = true;
    S().allSlots = o;
    return 0;
  }
  CK_SLOT_ID id;
  if (!SlotAt(index, &id)) return -1;
  S().overrides[id] = o;
  return 0;
}

int acpkcs_ctl_fail(const char* function, CK_RV rv, unsigned long nth) {
  if (!function || !KnownFunction(function)) return -1;
  std::lock_guard<std::recursive_mutex> g(Mu());
  S().injections.push_back(Injection{function, rv, nth, nth == 0});
  return 0;
}

int acpkcs_ctl_clear_failures(void) {
  std::lock_guard<std::recursive_mutex> g(Mu());
  S().injections.clear();
  return 0;
}

int acpkcs_ctl_add_fake_slots(int count) {
  if (count < 0) return -1;
  std::lock_guard<std::recursive_mutex> g(Mu());
  std::vector<CK_SLOT_ID> real;
  if (S().initialized) RealSlots(CK_FALSE, &real);
  CK_SLOT_ID next = kFirstFakeSlot + S().fakeSlots.size();
  for (int i = 0; i < count; ++i) {
    while (std::find(real.begin(), real.end(), next) != real.end() || IsFake(next)) ++next;
    S().fakeSlots.push_back(next++);
  }
  return 0;
}

int acpkcs_ctl_extra_mechanisms(CK_ULONG count) {
  std::lock_guard<std::recursive_mutex> g(Mu());
  S().extraMechanisms = count;
  return 0;
}

int acpkcs_ctl_record(int on) {
  std::lock_guard<std::recursive_mutex> g(Mu());
  S().recording = on != 0;
  return 0;
}

size_t acpkcs_ctl_take_log(char* buffer, size_t capacity) {
  std::lock_guard<std::recursive_mutex> g(Mu());
  std::string& log = S().log;
  size_t n = log.size();
  if (buffer && capacity > n) {
    std::memcpy(buffer, log.data(), n);
    buffer[n] = '\0';
    log.clear();
  }
  return n;
}

int acpkcs_ctl_set_control_file(const char* path) {
  std::lock_guard<std::recursive_mutex> g(Mu());
  S().controlPath = path ? path : "";
  S().controlSeen = FileSignature{};
  S().pendingPresence.clear();
  return 0;
}

int acpkcs_ctl_poll_control_file(void) {
  std::vector<Notice> notices;
  {
    std::lock_guard<std::recursive_mutex> g(Mu());
    if (S().controlPath.empty()) return -1;
    PollControlFile(&notices);
  }
  Deliver(notices);
  return 0;
}

}  // extern "C"
