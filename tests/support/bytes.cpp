#include "bytes.h"

#include <cstdint>
#include <cstdio>

#include "sysutils.h"

namespace test_support {

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u ^ seed;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x & 0xFF);
  }
  return s;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02x", c);
    if (!out.empty()) out += ' ';
    out += b;
  }
  return out;
}

std::u16string U16(const std::string& utf8) { return Utf8ToUtf16(utf8); }
std::string U8(const std::u16string& s) { return Utf16ToUtf8(s); }

}  // namespace test_support
