// The records are compiled twice: as they are (LP64) and with every pointer slot
// narrowed to 4 bytes, which must give the published 32-bit offsets exactly. Both
// layouts are pinned, so a reordered, resized or dropped field fails to compile.
#include <gtest/gtest.h>

#include <cstddef>

#include "interfaces/ziplib_records.h"

namespace ilp32 {
#define ZIPABI_PTR(T) uint32_t
#define ZIPABI_UINTPTR uint32_t
#include "interfaces/ziplib_records_layout.h"
#undef ZIPABI_PTR
#undef ZIPABI_UINTPTR
}  // namespace ilp32

// AT(record, field, 32-bit offset, 64-bit offset)
#define AT(T, f, o32, o64)                                              \
  static_assert(offsetof(ilp32::T, f) == (o32), #T "." #f " (32-bit)"); \
  static_assert(offsetof(::T, f) == (o64), #T "." #f " (64-bit)")
#define SIZE(T, s32, s64)                                   \
  static_assert(sizeof(ilp32::T) == (s32), #T " (32-bit)"); \
  static_assert(sizeof(::T) == (s64), #T " (64-bit)")

SIZE(ZipRec, 216, 272);
AT(ZipRec, Handle, 0, 0);
AT(ZipRec, Instance, 4, 8);
AT(ZipRec, Version, 8, 16);
AT(ZipRec, Callback, 12, 24);
AT(ZipRec, Trace, 16, 32);
AT(ZipRec, Password, 20, 40);
AT(ZipRec, StoreSuffixes, 24, 48);
AT(ZipRec, Encrypt, 28, 56);
AT(ZipRec, Hidden, 32, 60);
AT(ZipRec, Volume, 36, 64);
AT(ZipRec, Reserved40, 40, 68);
AT(ZipRec, NoDirEntries, 44, 72);
AT(ZipRec, FromDate, 48, 76);
AT(ZipRec, Verbose, 52, 80);
AT(ZipRec, AlwaysOn, 56, 84);
AT(ZipRec, Level, 60, 88);
AT(ZipRec, JunkDirs, 72, 100);
AT(ZipRec, Recurse, 76, 104);
AT(ZipRec, NotSafe, 80, 108);
AT(ZipRec, ForceDos, 84, 112);
AT(ZipRec, Move, 88, 116);
AT(ZipRec, Update, 96, 124);
AT(ZipRec, Freshen, 100, 128);
AT(ZipRec, ZipTime, 108, 136);
AT(ZipRec, Date, 112, 140);
AT(ZipRec, SpecCount, 120, 148);
AT(ZipRec, Archive, 124, 152);
AT(ZipRec, TempDir, 128, 160);
AT(ZipRec, Comment, 132, 168);
AT(ZipRec, ArchiveOnly, 136, 176);
AT(ZipRec, ResetArchive, 138, 178);
AT(ZipRec, Specs, 140, 184);
AT(ZipRec, ExclCount, 148, 196);
AT(ZipRec, Excl, 152, 200);
AT(ZipRec, Streams, 156, 208);
AT(ZipRec, AllowUndo, 188, 240);
AT(ZipRec, CodePage, 192, 244);
AT(ZipRec, Seven, 212, 264);
static_assert(sizeof(ZipRec::Recurse) == 2 && sizeof(ZipRec::ArchiveOnly) == 2 && sizeof(ZipRec::ResetArchive) == 2 &&
              sizeof(ZipRec::CodePage) == 2 && sizeof(ZipRec::Date) == 8 && sizeof(ZipRec::Streams) == 32);

SIZE(ZipSpec, 104, 120);
AT(ZipSpec, Spec, 0, 0);
AT(ZipSpec, Password, 12, 16);
AT(ZipSpec, Encrypt, 16, 24);
AT(ZipSpec, Recurse, 20, 28);
AT(ZipSpec, RootDir, 36, 48);
static_assert(sizeof(ZipSpec::Recurse) == 2);

SIZE(UnzRec, 148, 184);
AT(UnzRec, Handle, 0, 0);
AT(UnzRec, Instance, 4, 8);
AT(UnzRec, Version, 8, 16);
AT(UnzRec, Callback, 12, 24);
AT(UnzRec, Trace, 16, 32);
AT(UnzRec, Password, 24, 40);
AT(UnzRec, Test, 28, 48);
AT(UnzRec, AlwaysOn, 40, 60);
AT(UnzRec, Verbose, 44, 64);
AT(UnzRec, Update, 48, 68);
AT(UnzRec, Freshen, 52, 72);
AT(UnzRec, DirNames, 56, 76);
AT(UnzRec, Overwrite, 60, 80);
AT(UnzRec, NameCount, 64, 84);
AT(UnzRec, Archive, 68, 88);
AT(UnzRec, Names, 72, 96);
AT(UnzRec, Streams, 76, 104);
AT(UnzRec, PasswordReqCount, 104, 132);
AT(UnzRec, ExtrBaseDir, 108, 136);
AT(UnzRec, CodePage, 112, 144);
AT(UnzRec, Seven, 144, 176);
static_assert(sizeof(UnzRec::Streams) == 28);

SIZE(UnzName, 72, 80);
AT(UnzName, Name, 0, 0);

SIZE(ZipCallbackRec, 540, 552);
AT(ZipCallbackRec, Instance, 4, 8);
AT(ZipCallbackRec, IsZip, 12, 20);
AT(ZipCallbackRec, Action, 16, 24);
AT(ZipCallbackRec, Error, 20, 28);
AT(ZipCallbackRec, Size, 24, 32);
AT(ZipCallbackRec, Msg.Text, 28, 40);
AT(ZipCallbackRec, Msg.Text[256], 284, 296);  // ZIPCB_COMMENT's comment
AT(ZipCallbackRec, Msg.X.Extra, 532, 544);    // ZIPCB_EXTRA_DATA's data address
static_assert(sizeof(ZipCallbackText::Text) == 512);

// The layout is fixed at compile time; this only reports that the file was built.
TEST(RecordsLayout, CompiledWithBothPointerWidths) { SUCCEED(); }
