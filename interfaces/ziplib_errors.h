/* Error codes that the two ZIP libraries report in the Error slot of a callback
 * (code 4, a message; code 11, a skipped file). The component keeps the low 8 bits
 * as its ErrCode; 0 is a notice that sets no error.
 *
 * Plain C, shared by libziplib.so, libunzlib.so and the program's tests.
 */
#ifndef TARVI_ZIPLIB_ERRORS_H
#define TARVI_ZIPLIB_ERRORS_H

enum ZipLibError {
  ZIPERR_NONE = 0,        /* information or warning */
  ZIPERR_BAD_DATA = 2,    /* bad archive data: header, CRC, sizes, overlapping entries */
  ZIPERR_UNSAFE_NAME = 3, /* an entry name that could write outside the target folder */
  ZIPERR_NO_MEMORY = 4,
  ZIPERR_UNSUPPORTED = 5,    /* method, Zip64, several disks, encryption */
  ZIPERR_PASSWORD = 6,       /* password missing or wrong */
  ZIPERR_ABORTED = 9,        /* the program answered -1 */
  ZIPERR_BAD_RECORD = 10,    /* the parameter record is not one this library accepts */
  ZIPERR_NOTHING = 11,       /* nothing matched, nothing to do */
  ZIPERR_READ = 12,          /* an input cannot be opened or read */
  ZIPERR_WRITE = 13,         /* an output cannot be created or written */
  ZIPERR_TOO_LARGE = 14,     /* 4 GiB or more: needs Zip64, which these libraries do not write */
  ZIPERR_DUPLICATE_NAME = 15 /* two files of one add for one entry name: nothing added */
};

/* The Size of a code-11 callback: the skip reason + 1, in the component's order of
 * UnZipSkipTypes. */
enum ZipLibSkip {
  ZIPSKIP_ON_FRESHEN = 1,
  ZIPSKIP_NO_OVERWRITE = 2,
  ZIPSKIP_FILE_EXISTS = 3,
  ZIPSKIP_BAD_PASSWORD = 4,
  ZIPSKIP_NO_ENCRYPTION = 5,
  ZIPSKIP_COMPRESSION_UNKNOWN = 6,
  ZIPSKIP_UNKNOWN_HOST = 7,
  ZIPSKIP_FORMAT_WRONG = 8,
  ZIPSKIP_GENERAL = 9
};

/* Both libraries report this version; the UNZ record must carry it. */
#define ZIPLIB_OWN_VERSION 173

#endif
