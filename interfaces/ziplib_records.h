/* The binary interface between the ZIP component and the two ZIP libraries
 * (libziplib.so for adding, libunzlib.so for extracting): the parameter records,
 * the callback record, the entry points and the callback codes.
 *
 * Plain C, so the libraries can include it as well as the component. Conventions:
 * little-endian; a flag is 32 bits, -1 on and 0 off; a text is a NUL-terminated
 * 8-bit string (UTF-8 for names and paths) owned by the caller for the duration
 * of the call, or 0; every byte without a meaning is 0.
 */
#ifndef TARVI_ZIP_ZIPLIB_RECORDS_H
#define TARVI_ZIP_ZIPLIB_RECORDS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct ZipCallbackRec;

/* The component's callback: 0 to go on, -1 to cancel the operation. */
typedef int32_t ZipCallbackFn(struct ZipCallbackRec* rec);

#define ZIPABI_PTR(T) T*
#define ZIPABI_UINTPTR uintptr_t
#include "interfaces/ziplib_records_layout.h"
#undef ZIPABI_PTR
#undef ZIPABI_UINTPTR

/* Entry points, looked up by these names. */
typedef int32_t ZipLibExecFn(ZipRec* rec);
typedef int32_t UnzLibExecFn(UnzRec* rec);
typedef int32_t GetLibVersionFn(void);

#define ZIPABI_ZIP_EXEC_NAME "ZipLibExec"
#define ZIPABI_ZIP_VERSION_NAME "GetZipLibVersion"
#define ZIPABI_UNZ_EXEC_NAME "UnzLibExec"
#define ZIPABI_UNZ_VERSION_NAME "GetUnzLibVersion"

/* The libraries' names as the configuration gives them; the loader maps a ".dll"
 * name to lib<stem>.so (libziplib.so, libunzlib.so). */
#define ZIPABI_ZIP_LIBRARY "ZIPLIB.DLL"
#define ZIPABI_UNZ_LIBRARY "UNZLIB.DLL"
#define ZIPABI_ZIP_LIBRARY_FILE "libziplib.so"
#define ZIPABI_UNZ_LIBRARY_FILE "libunzlib.so"

/* Versions are release x 100. A library outside MIN..MAX is refused; adding needs
 * at least ZIP_MIN, extracting at least UNZ_MIN. */
#define ZIPABI_VERSION_MIN 153
#define ZIPABI_VERSION_MAX 300
#define ZIPABI_ZIP_MIN_VERSION 173
#define ZIPABI_UNZ_MIN_VERSION 172
/* The Version slot of every ZIP record. */
#define ZIPABI_ZIP_RECORD_VERSION 173

/* The last slot of both parameter records: a library refuses a record without it. */
#define ZIPABI_SENTINEL 7
#define ZIPABI_ON (-1)
#define ZIPABI_OFF 0
#define ZIPABI_RECURSE 65535

/* Callback answer. */
#define ZIPABI_CONTINUE 0
#define ZIPABI_CANCEL (-1)

/* Callback codes (low 8 bits of Action). Where a question is answered only when
 * the program handles it, the library presets its default in the answer slot. */
enum ZipCallbackCode {
  ZIPCB_TICK = 0,           /* nothing */
  ZIPCB_NEW_FILE = 1,       /* Text = name, Size = bytes of the file */
  ZIPCB_PROGRESS = 2,       /* Size = bytes done since the last call */
  ZIPCB_END_BATCH = 3,      /* the operation's files are done */
  ZIPCB_MESSAGE = 4,        /* Text = message, Error = code (0 = information) */
  ZIPCB_FILE_COUNT = 5,     /* Size = files to process */
  ZIPCB_TOTAL_SIZE = 6,     /* Size = bytes to process */
  ZIPCB_NEW_NAME = 7,       /* Text = name; answer Error 1 with the new name in Text */
  ZIPCB_PASSWORD = 8,       /* Text = file; Error bit 0 = adding (the adding library sends -1); Size = repeat count;
                               answer Error 1 + Text, Size = repeat count, Action 0 = stop asking */
  ZIPCB_CRC_ERROR = 9,      /* Text = file, Error = found, Size = expected;
                               answer Error 1 keep, 0 drop, 2 no decision */
  ZIPCB_OVERWRITE = 10,     /* Text = file, Error bit 16 = existing is older, low 16 = index,
                               Size = default; answer Size 1 overwrite / 0 skip */
  ZIPCB_SKIPPED = 11,       /* Text = file, Size = skip type + 1, Error = code */
  ZIPCB_COMMENT = 12,       /* Text = file, Text + 256 = comment; answer Error 1 + Text, Size = length */
  ZIPCB_STREAM_MEMORY = 13, /* Size = bytes; answer X.Extra = memory, or Error 1 */
  ZIPCB_EXTRA_DATA = 14,    /* Text = file, X.Extra/Size = data; answer Error -1, Size = n,
                               data in Text (n < 512) or at X.Extra (n >= 512) */
  ZIPCB_EXTRA_STEP = 15,    /* Text = name, Error = step number (1..8), Size = bytes */
  ZIPCB_EXTRA_PROGRESS = 16 /* Size = bytes done */
};

#ifdef __cplusplus
}
#endif

#endif
