// The small run-time vocabulary the components share: the general exception,
// conversion failures, and text conversion between UTF-16 and the default
// 8-bit code page (the locale's LC_CTYPE encoding).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// The general exception: carries a UTF-16 message; what() gives it as UTF-8.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::u16string& msg);
  // The message given in the default 8-bit code page.
  explicit Exception(const std::string& ansiMsg);
  explicit Exception(const char* ansiMsg) : Exception(std::string(ansiMsg)) {}
  const std::u16string& Message() const noexcept { return FMessage; }

 private:
  std::u16string FMessage;
};

// A text that could not be converted, such as a port that is no integer.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// Default 8-bit code page to UTF-16. A byte sequence the locale cannot decode
// is taken byte by byte as Latin-1, so no input is lost or rejected.
std::u16string AnsiToUnicode(const std::string& s);
// UTF-16 to the default 8-bit code page; a character the locale cannot encode becomes '?'.
std::string UnicodeToAnsi(const std::u16string& s);
// UTF-16 to UTF-8 and back, independent of the locale (unpaired surrogates become U+FFFD).
std::string Utf16ToUtf8(const std::u16string& s);
std::u16string Utf8ToUtf16(const std::string& s);
// The code point at s[i], advancing i past it; a lone surrogate gives U+FFFD.
char32_t NextCodePoint(const std::u16string& s, size_t& i);
// Value in decimal digits ('-' before a negative one), as UTF-16.
std::u16string Decimal(int64_t Value);
// True when byte index i (0-based) of s is not the first byte of a character of
// the default 8-bit code page (it continues a multi-byte character).
bool IsTrailByte(const std::string& s, size_t i);
