#pragma once
// The "CKR_" name of a PKCS#11 return value, for every message that shows a code.
//
// Values 0..0x1A1 are named from a fixed table (the standard names, with
// "nedefinirano" at 4 and the historical spelling "CKR_USER_PIN_NOT_INITILAIZED"
// at 0x102, which messages have always shown); exactly 0x80000000 is
// "CKR_VENDOR_DEFINED"; every other value has an empty name.
#include <QString>

#include "interfaces/pkcs11.h"

// Number of table entries: one for each value from 0 to 0x1A1.
constexpr CK_ULONG kPkcsRetCodeTableSize = 0x1A2;

// text := the name of code; returns code unchanged.
CK_RV PkcsRetCodeName(CK_RV code, QString& text);
// The same lookup with the arguments the other way round.
CK_RV PkcsRetCodeNameSwapped(QString& text, CK_RV code);
// The name alone, for building a message in one expression.
QString PkcsRetCodeText(CK_RV code);
