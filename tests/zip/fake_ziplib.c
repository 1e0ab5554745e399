/* A stand-in ZIP library for the loader tests: reports FAKE_VERSION, and its exec
 * entry checks the sentinel, sends one "new file" callback and returns the number
 * of file arguments (adding) or names (extracting) it was given. FAKE_NO_EXEC
 * leaves the exec entry out. */
#include <string.h>

#include "interfaces/ziplib_records.h"

#define EXPORT __attribute__((visibility("default")))

#ifndef FAKE_NO_EXEC
static int32_t Notify(ZipCallbackFn* cb, void* instance, int isZip) {
  ZipCallbackRec rec;
  memset(&rec, 0, sizeof rec);
  rec.Instance = instance;
  rec.IsZip = isZip;
  rec.Action = ZIPCB_NEW_FILE;
  rec.Size = 42;
  strcpy(rec.Msg.Text, "fake.txt");
  return cb(&rec);
}
#endif

#ifdef FAKE_UNZ
EXPORT int32_t GetUnzLibVersion(void) { return FAKE_VERSION; }
#ifndef FAKE_NO_EXEC
EXPORT int32_t UnzLibExec(UnzRec* rec) {
  if (!rec || rec->Seven != ZIPABI_SENTINEL) return -7;
  if (rec->Callback && Notify(rec->Callback, rec->Instance, 0) == ZIPABI_CANCEL) return -1;
  return rec->NameCount;
}
#endif
#else
EXPORT int32_t GetZipLibVersion(void) { return FAKE_VERSION; }
#ifndef FAKE_NO_EXEC
EXPORT int32_t ZipLibExec(ZipRec* rec) {
  if (!rec || rec->Seven != ZIPABI_SENTINEL) return -7;
  if (rec->Callback && Notify(rec->Callback, rec->Instance, 1) == ZIPABI_CANCEL) return -1;
  return rec->SpecCount;
}
#endif
#endif
