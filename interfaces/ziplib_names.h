#pragma once
// Entry names and comments of ZIP archives: which character set a stored text is
// in, and its UTF-8 form (the encoding of Linux file names).
//
// The ZIP component lists entries with these functions and the extracting library
// names its output files with the same ones, so the name the program sees is
// byte for byte the file that extraction writes. Plain C++ in the neutral
// interfaces library: the two libraries link it without any of the program's other code.
//
// A stored text is read as
//   - UTF-8 when bit 11 of the entry's flags says so (and it is valid UTF-8);
//   - the OEM code page (852, Central European DOS) when the code-page rule says so:
//     the component's setting is OEM, or automatic and the archive was made on
//     MS-DOS (host 0); or, whatever the setting, made on OS/2 HPFS (host 6) or on
//     NTFS (host 11) by version 5.0;
//   - UTF-8 when it was made on Unix (host 3) and is valid UTF-8: that is what zip
//     on Linux writes, without setting bit 11;
//   - otherwise the Windows code page 1250.
// Names then get "/" as their only separator.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "interfaces/cp1250_table.h"

namespace ziplib_names {

// The component's CodePage setting, in its element order.
enum CodePage : uint8_t { kCpAuto = 0, kCpNone = 1, kCpOem = 2 };

constexpr uint16_t kFlagUtf8 = 1u << 11;
constexpr uint8_t kHostMsDos = 0;
constexpr uint8_t kHostUnix = 3;
constexpr uint8_t kHostHpfs = 6;
constexpr uint8_t kHostNtfs = 11;

// Characters of the bytes 0x80..0xFF of code page 852.
inline constexpr char16_t kCp852High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x016F, 0x0107, 0x00E7,  // 0x80
    0x0142, 0x00EB, 0x0150, 0x0151, 0x00EE, 0x0179, 0x00C4, 0x0106,  // 0x88
    0x00C9, 0x0139, 0x013A, 0x00F4, 0x00F6, 0x013D, 0x013E, 0x015A,  // 0x90
    0x015B, 0x00D6, 0x00DC, 0x0164, 0x0165, 0x0141, 0x00D7, 0x010D,  // 0x98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x0104, 0x0105, 0x017D, 0x017E,  // 0xA0
    0x0118, 0x0119, 0x00AC, 0x017A, 0x010C, 0x015F, 0x00AB, 0x00BB,  // 0xA8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x011A,  // 0xB0
    0x015E, 0x2563, 0x2551, 0x2557, 0x255D, 0x017B, 0x017C, 0x2510,  // 0xB8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x0102, 0x0103,  // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,  // 0xC8
    0x0111, 0x0110, 0x010E, 0x00CB, 0x010F, 0x0147, 0x00CD, 0x00CE,  // 0xD0
    0x011B, 0x2518, 0x250C, 0x2588, 0x2584, 0x0162, 0x016E, 0x2580,  // 0xD8
    0x00D3, 0x00DF, 0x00D4, 0x0143, 0x0144, 0x0148, 0x0160, 0x0161,  // 0xE0
    0x0154, 0x00DA, 0x0155, 0x0170, 0x00FD, 0x00DD, 0x0163, 0x00B4,  // 0xE8
    0x00AD, 0x02DD, 0x02DB, 0x02C7, 0x02D8, 0x00A7, 0x00F7, 0x00B8,  // 0xF0
    0x00B0, 0x00A8, 0x02D9, 0x0171, 0x0158, 0x0159, 0x25A0, 0x00A0,  // 0xF8
};

// Code page 1250: the same table as the program's own converter.
inline constexpr const char16_t (&kCp1250High)[128] = cp1250::kHigh;

// Whether the code-page rule reads a stored text as OEM.
bool UsesOemCodePage(uint8_t hostSystem, uint8_t madeByVersion, uint8_t codePage);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view s);

void AppendUtf8(std::string& out, uint32_t cp);

// UTF-8 of 8-bit text in one of the two tables.
std::string FromSingleByte(std::string_view bytes, const char16_t (&high)[128]);

// The UTF-8 form of a stored name or comment, by the rule above, separators as
// stored.
std::string DecodeEntryText(std::string_view stored, uint16_t flag, uint8_t hostSystem, uint8_t madeByVersion,
                            uint8_t codePage);

// ---- The Info-ZIP Unicode path extra field ------------------------------------
// Id 0x7075: version 1, the CRC-32 of the stored name, the name in UTF-8. Writers
// that store a name in a code page add it so that readers which cannot be told
// the code page still show the name right; a reader takes it only while its CRC
// matches the stored name (a tool that renamed the entry without knowing the
// field leaves a stale one behind).
constexpr uint16_t kUnicodePathId = 0x7075;

uint32_t NameCrc32(std::string_view bytes);

// The UTF-8 name of a valid, current Unicode path field in an extra field;
// false when there is none (or it is malformed, stale or not valid UTF-8).
bool UnicodePathOf(std::string_view extra, std::string_view stored, std::string& utf8);

// The field for a stored name and its UTF-8 form.
std::string UnicodePathField(std::string_view stored, std::string_view utf8);

// A stored entry name as the program shows it and extraction writes it: the
// Unicode path field's name when the entry has a current one and no UTF-8 flag,
// else decoded by the rule above; every backslash turned into "/".
std::string DecodeEntryName(std::string_view stored, uint16_t flag, uint8_t hostSystem, uint8_t madeByVersion,
                            uint8_t codePage, std::string_view extra = {});

// The bytes of a UTF-8 text in one of the two tables; false when the text is not
// valid UTF-8 or holds a character that the code page lacks.
bool EncodeSingleByte(std::string_view utf8, const char16_t (&high)[128], std::string& out);

// The code page 852 bytes of a UTF-8 text (see EncodeSingleByte).
bool EncodeOem(std::string_view utf8, std::string& out);

}  // namespace ziplib_names
