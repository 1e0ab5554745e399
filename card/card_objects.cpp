#include "card/card_objects.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "card/cryptoki.h"
#include "card/pkcs11_codes.h"
#include "platform/disk_steps.h"
#include "platform/ui_services.h"

namespace {

// More slotList than any reader set has; a module reporting more is not believed
// far enough to allocate for it.
constexpr CK_ULONG kMaxSlots = 1024;

void ErrorBox(const QString& text) { Ui().messageBox(MsgKind::Error, text); }

class WaitCursor {
 public:
  WaitCursor() { Ui().setWaitCursor(true); }
  ~WaitCursor() { Ui().setWaitCursor(false); }
};

// One search for RSA private keys: 0 and *found on success, else -1, -2 or -3 for
// the step that failed.
int SearchPrivateKeys(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* handles, CK_ULONG max, bool showMessages,
                      CK_ULONG* found) {
  // Every integer attribute value is CK_ULONG-sized: a shorter one matches nothing.
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_KEY_TYPE keyType = CKK_RSA;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &keyType, sizeof keyType}};
  *found = 0;
  CK_RV rv = cryptoki::C_FindObjectsInit(session, tmpl, 2);
  if (rv != CKR_OK) {
    if (showMessages) ErrorBox(kMsgFindKeysInit + QString::number(rv) + "]");
    return -1;
  }
  CK_ULONG n = 0;
  rv = cryptoki::C_FindObjects(session, handles, max, &n);
  if (rv != CKR_OK) {
    if (showMessages) ErrorBox(kMsgFindKeysSearch + QString::number(rv) + "]");
    cryptoki::C_FindObjectsFinal(session);
    return -2;
  }
  *found = std::min(n, max);
  rv = cryptoki::C_FindObjectsFinal(session);
  if (rv != CKR_OK) {
    if (showMessages) ErrorBox(kMsgFindKeysFinal + QString::number(rv) + "]");
    return -3;
  }
  return 0;
}

QString SlotListMessage(const QString& prefix, CK_RV rv) {
  return prefix + QString::number(rv) + ", " + PkcsRetCodeText(rv) + "]";
}

// The fixed-width description: up to 64 bytes, ending early at a NUL if the module pads with NULs.
QString Description(const CK_SLOT_INFO& si, bool trim) {
  const char* p = reinterpret_cast<const char*>(si.slotDescription);
  size_t n = strnlen(p, sizeof si.slotDescription);
  if (trim)
    while (n > 0 && static_cast<unsigned char>(p[n - 1]) <= ' ') --n;
  return QString::fromUtf8(p, static_cast<qsizetype>(n));
}

}  // namespace

int FindPrivateKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE& handle, bool showMessages) {
  CK_OBJECT_HANDLE found[kFindPrivateKeyMax];
  CK_ULONG n = 0;
  int step = SearchPrivateKeys(session, found, kFindPrivateKeyMax, showMessages, &n);
  if (n > 0) handle = found[0];
  if (step != 0) return -1;
  return n > 0 ? 1 : 0;
}

int FindPrivateKeys(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* handles, CK_ULONG capacity, bool showMessages) {
  if (!handles) capacity = 0;
  CK_ULONG n = 0;
  int step = SearchPrivateKeys(session, handles, capacity, showMessages, &n);
  return step != 0 ? step : static_cast<int>(n);
}

bool GetReaderList(CK_SLOT_ID* slotList, CK_ULONG capacity, CK_ULONG& count, QStringList& names) {
  WaitCursor wait;
  CK_ULONG reported = 0;
  CK_RV rv = cryptoki::C_GetSlotList(CK_FALSE, nullptr, &reported);
  if (rv != CKR_OK) {
    ErrorBox(SlotListMessage(kMsgNoReadersCount, rv));
    return false;
  }
  // The whole list goes into a buffer of its own, so a module with more slotList than
  // the caller has room for cannot write past the caller's array.
  std::vector<CK_SLOT_ID> all;
  CK_ULONG got = 0;
  for (int attempt = 0;; ++attempt) {
    all.assign(std::min(reported, kMaxSlots), 0);
    got = all.size();
    rv = cryptoki::C_GetSlotList(CK_FALSE, all.data(), &got);
    // A reader plugged in between the two calls: ask again with the new count.
    if (rv == CKR_BUFFER_TOO_SMALL && attempt < 3 && got > all.size() && got <= kMaxSlots) {
      reported = got;
      continue;
    }
    break;
  }
  if (rv != CKR_OK) {
    ErrorBox(SlotListMessage(kMsgNoReadersList, rv));
    return false;
  }
  got = std::min<CK_ULONG>(got, all.size());
  count = slotList ? std::min(got, capacity) : 0;
  if (count) std::copy(all.begin(), all.begin() + count, slotList);

  for (CK_ULONG i = 0; i < count; ++i) {
    CK_SLOT_INFO si;
    std::memset(&si, 0, sizeof si);
    if (cryptoki::C_GetSlotInfo(slotList[i], &si) != CKR_OK) {
      names.append(QString());
      continue;
    }
    CK_TOKEN_INFO ti;
    CK_RV t = cryptoki::C_GetTokenInfo(slotList[i], &ti);
    names.append(Description(si, t == CKR_OK || t == CKR_TOKEN_NOT_PRESENT || t == CKR_TOKEN_NOT_RECOGNIZED));
  }
  return true;
}

bool GetReaderList(CK_SLOT_ID* slotList, CK_ULONG capacity, CK_ULONG& count, std::unique_ptr<QStringList>& names) {
  if (!names) names = std::make_unique<QStringList>();
  return GetReaderList(slotList, capacity, count, *names);
}

bool CloseSlotSessions(CK_SLOT_ID slot) { return cryptoki::C_CloseAllSessions(slot) == CKR_OK; }

int64_t FileSizeByStream(const QString& fileName) {
  QFile f(fileName);
  errno = 0;
  if (!f.open(QIODevice::ReadOnly)) {
    ErrorBox(kMsgFileOpenError + '"' + fileName + '"' + "[Error=" + FileErrorText(f, errno) + "]");
    return -1;
  }
  return static_cast<int64_t>(f.size());
}

int Des3PadCount(uint64_t n) { return 8 - static_cast<int>(n % 8); }
