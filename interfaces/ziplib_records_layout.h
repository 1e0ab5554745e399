/* The record layouts shared by the ZIP component and the two ZIP libraries.
 *
 * No include guard on purpose: ziplib_records.h includes this file once with real
 * pointers, and the layout test includes it a second time, inside a namespace,
 * with every pointer slot narrowed to 4 bytes, to prove that the field order gives
 * the published 32-bit offsets.
 *
 * Before including, define:
 *   ZIPABI_PTR(T)   the type of a pointer slot to T
 *   ZIPABI_UINTPTR  the type of the window-handle slot
 *
 * Every byte that has no meaning of its own is a named Reserved member and stays 0;
 * there is no packing, only natural alignment. The comments give the offsets of the
 * 32-bit interface.
 */

/* One file argument of an add (104 bytes in the 32-bit interface). */
typedef struct ZipSpec {
  ZIPABI_PTR(char) Spec;     /*  0 file argument, trimmed     */
  int32_t Reserved4[2];      /*  4 */
  ZIPABI_PTR(char) Password; /* 12 password for this file argument, or 0 */
  int32_t Encrypt;           /* 16 the record's flag, 65535 with a line password, 0 after a bare "<" */
  uint16_t Recurse;          /* 20 65535 = recurse into folders */
  uint16_t Reserved22;       /* 22 */
  int32_t Reserved24[3];     /* 24 */
  ZIPABI_PTR(char) RootDir;  /* 36 base folder of relative file arguments, or 0 */
  int32_t Reserved40[16];    /* 40 */
} ZipSpec;

/* The parameter record of ZipLibExec (216 bytes in the 32-bit interface). */
typedef struct ZipRec {
  ZIPABI_UINTPTR Handle;              /*   0 window handle; 0 when unattended */
  ZIPABI_PTR(void) Instance;          /*   4 handed back in every callback record */
  int32_t Version;                    /*   8 always ZIPABI_ZIP_RECORD_VERSION */
  ZIPABI_PTR(ZipCallbackFn) Callback; /* 12 */
  int32_t Trace;                      /*  16 flag */
  ZIPABI_PTR(char) Password;          /*  20 at most 81 characters; 0 when none */
  ZIPABI_PTR(char) StoreSuffixes;     /*  24 ".gif:.png:..." stored without compression; 0 when none */
  int32_t Encrypt;                    /*  28 flag */
  int32_t Hidden;                     /*  32 flag: add hidden files */
  int32_t Volume;                     /*  36 flag: add the volume label */
  int32_t Reserved40;                 /*  40 */
  int32_t NoDirEntries;               /*  44 flag: no separate folder entries */
  int32_t FromDate;                   /*  48 flag: only files from Date on */
  int32_t Verbose;                    /*  52 flag: verbose or trace */
  int32_t AlwaysOn;                   /*  56 always -1 */
  int32_t Level;                      /*  60 compression level */
  int32_t Reserved64[2];              /*  64 */
  int32_t JunkDirs;                   /*  72 flag: store names without their folders */
  uint16_t Recurse;                   /*  76 65535 = recurse into folders */
  uint16_t Reserved78;                /*  78 */
  int32_t NotSafe;                    /*  80 flag: may change the archive in place */
  int32_t ForceDos;                   /*  84 flag: 8.3 names */
  int32_t Move;                       /*  88 flag: delete the sources afterwards */
  int32_t Reserved92;                 /*  92 */
  int32_t Update;                     /*  96 flag */
  int32_t Freshen;                    /* 100 flag */
  int32_t Reserved104;                /* 104 */
  int32_t ZipTime;                    /* 108 flag: archive gets the newest entry's time */
  char Date[8];                       /* 112 "mm dd yy", no NUL */
  int32_t SpecCount;                  /* 120 entries at Specs */
  ZIPABI_PTR(char) Archive;           /* 124 archive file name */
  ZIPABI_PTR(char) TempDir;           /* 128 temporary folder, or 0 */
  ZIPABI_PTR(char) Comment;           /* 132 archive comment, or 0 */
  uint16_t ArchiveOnly;               /* 136 1 = only files with the archive attribute */
  uint16_t ResetArchive;              /* 138 1 = clear the archive attribute */
  ZIPABI_PTR(ZipSpec) Specs;          /* 140 */
  int32_t Reserved144;                /* 144 */
  int32_t ExclCount;                  /* 148 texts at Excl */
  ZIPABI_PTR(ZIPABI_PTR(char)) Excl;  /* 152 exclusion patterns, or 0 */
  uint8_t Streams[32];                /* 156 memory-stream fields, unused (0) */
  int32_t AllowUndo;                  /* 188 -1: deleted files go to the trash */
  uint16_t CodePage;                  /* 192 2 = OEM names */
  uint16_t Reserved194;               /* 194 */
  int32_t Reserved196[4];             /* 196 */
  int32_t Seven;                      /* 212 always ZIPABI_SENTINEL */
} ZipRec;

/* One name to extract (72 bytes in the 32-bit interface). */
typedef struct UnzName {
  ZIPABI_PTR(char) Name; /*  0 */
  uint8_t Reserved4[68]; /*  4 */
} UnzName;

/* The parameter record of UnzLibExec (148 bytes in the 32-bit interface). */
typedef struct UnzRec {
  ZIPABI_UINTPTR Handle;              /*   0 window handle; 0 when unattended */
  ZIPABI_PTR(void) Instance;          /*   4 handed back in every callback record */
  int32_t Version;                    /*   8 the version the library reported */
  ZIPABI_PTR(ZipCallbackFn) Callback; /* 12 */
  int32_t Trace;                      /*  16 flag */
  int32_t Reserved20;                 /*  20 */
  ZIPABI_PTR(char) Password;          /*  24 always a text, empty when none */
  int32_t Test;                       /*  28 flag: test only, write nothing */
  int32_t Reserved32[2];              /*  32 */
  int32_t AlwaysOn;                   /*  40 always -1 */
  int32_t Verbose;                    /*  44 flag: verbose or trace */
  int32_t Update;                     /*  48 flag */
  int32_t Freshen;                    /*  52 flag */
  int32_t DirNames;                   /*  56 flag: keep the entries' folders */
  int32_t Overwrite;                  /*  60 flag */
  int32_t NameCount;                  /*  64 entries at Names; 0 = every entry */
  ZIPABI_PTR(char) Archive;           /*  68 archive file name */
  ZIPABI_PTR(UnzName) Names;          /*  72 */
  uint8_t Streams[28];                /*  76 memory-stream fields, unused (0) */
  int32_t PasswordReqCount;           /* 104 how often a password may be asked for */
  ZIPABI_PTR(char) ExtrBaseDir;       /* 108 output folder, or 0 for the current folder */
  uint16_t CodePage;                  /* 112 the component's CodePage (0 auto, 1 none, 2 OEM), so that the
                                             library names files exactly as the component lists them */
  uint16_t Reserved114;               /* 114 */
  int32_t Reserved116[7];             /* 116 */
  int32_t Seven;                      /* 144 always ZIPABI_SENTINEL */
} UnzRec;

/* The text area of a callback record. Its last slot doubles as the address of the
 * extra data of code 14, inside the same 512 bytes. */
typedef union ZipCallbackText {
  char Text[512]; /* NUL-terminated file name, message or answer */
  struct {
    char Lead[504];
    ZIPABI_PTR(uint8_t) Extra; /* 504 (record offset 532) */
  } X;
} ZipCallbackText;

/* The record a library passes to the callback (540 bytes in the 32-bit interface).
 * The library owns it; the component reads and writes it only during the call. */
typedef struct ZipCallbackRec {
  int32_t Reserved0;         /*   0 */
  ZIPABI_PTR(void) Instance; /*   4 from the parameter record */
  int32_t Reserved8;         /*   8 */
  int32_t IsZip;             /*  12 nonzero when the adding library calls */
  int32_t Action;            /*  16 callback code (low 8 bits) */
  int32_t Error;             /*  20 error code or status; answers */
  int32_t Size;              /*  24 size, count or value; answers */
  ZipCallbackText Msg;       /*  28 code 12's comment starts at Text + 256 */
} ZipCallbackRec;
