#pragma once
// The one converter between the program's Unicode text and code page 1250, the
// encoding of the container formats, registry values and file names in containers.
//
// Every byte maps to one character and back: the five bytes that code page 1250
// leaves undefined (0x81 0x83 0x88 0x90 0x98) map to U+0081 ... U+0098, so a
// round trip of any byte string is exact. A character with no byte becomes '?'.
#include <QByteArray>
#include <QString>
#include <string>

QString FromCp1250(const QByteArray& bytes);
QString FromCp1250(const std::string& bytes);
QString FromCp1250(const char* bytes, size_t len);
QByteArray ToCp1250(const QString& text);
std::string ToCp1250Std(const QString& text);
// The byte for one character, or '?' when it has none.
char ToCp1250Char(char16_t c);
char16_t FromCp1250Char(unsigned char b);
