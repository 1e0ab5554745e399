// Unicode to code page 1250, for the certificate texts the program writes into
// containers. The five bytes the code page leaves undefined stand for U+0081, U+0083,
// U+0088, U+0090 and U+0098, as in the program's own converter, so both agree.
#include "interfaces/cp1250_table.h"
#include "internal.h"

namespace trsa {
uint8_t Cp1250FromUnicode(uint32_t c) {
  if (c < 0x80) return static_cast<uint8_t>(c);
  for (int i = 0; i < 128; ++i)
    if (cp1250::kHigh[i] == c) return static_cast<uint8_t>(0x80 + i);
  return '?';
}

}  // namespace trsa
