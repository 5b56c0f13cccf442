#include "sysutils.h"

#include <climits>
#include <cwchar>

namespace {

void AppendCodePoint(std::u16string& out, char32_t c) {
  if (c >= 0x10000 && c <= 0x10FFFF) {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    out.push_back(u'\uFFFD');
  }
}

}  // namespace

char32_t NextCodePoint(const std::u16string& s, size_t& i) {
  char16_t u = s[i++];
  if (u >= 0xD800 && u <= 0xDBFF && i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
    char32_t c = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(s[i]) - 0xDC00);
    ++i;
    return c;
  }
  if (u >= 0xD800 && u <= 0xDFFF) return 0xFFFD;
  return u;
}

std::u16string Decimal(int64_t Value) {
  const std::string digits = std::to_string(Value);
  return std::u16string(digits.begin(), digits.end());
}

Exception::Exception(const std::u16string& msg)
    : std::runtime_error(Utf16ToUtf8(msg)), FMessage(msg) {}

Exception::Exception(const std::string& ansiMsg) : Exception(AnsiToUnicode(ansiMsg)) {}

std::u16string AnsiToUnicode(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  std::mbstate_t st{};
  size_t i = 0;
  while (i < s.size()) {
    wchar_t wc = 0;
    size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &st);
    if (n == 0) {  // an embedded NUL
      out.push_back(u'\0');
      ++i;
    } else if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      out.push_back(static_cast<unsigned char>(s[i]));
      ++i;
      st = std::mbstate_t{};
    } else {
      AppendCodePoint(out, static_cast<char32_t>(wc));
      i += n;
    }
  }
  return out;
}

std::string UnicodeToAnsi(const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  std::mbstate_t st{};
  char buf[MB_LEN_MAX];
  size_t i = 0;
  while (i < s.size()) {
    char32_t c = NextCodePoint(s, i);
    if (c == 0) {
      out.push_back('\0');
      continue;
    }
    size_t n = std::wcrtomb(buf, static_cast<wchar_t>(c), &st);
    if (n == static_cast<size_t>(-1)) {
      out.push_back('?');
      st = std::mbstate_t{};
    } else {
      out.append(buf, n);
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    char32_t c = NextCodePoint(s, i);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    int extra;
    char32_t c;
    if (b < 0x80) { extra = 0; c = b; }
    else if ((b & 0xE0) == 0xC0) { extra = 1; c = b & 0x1F; }
    else if ((b & 0xF0) == 0xE0) { extra = 2; c = b & 0x0F; }
    else if ((b & 0xF8) == 0xF0) { extra = 3; c = b & 0x07; }
    else { out.push_back(u'\uFFFD'); ++i; continue; }
    bool ok = i + extra < s.size();
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char cb = static_cast<unsigned char>(s[i + k]);
      if ((cb & 0xC0) != 0x80) ok = false;
      else c = (c << 6) | (cb & 0x3F);
    }
    if (!ok) { out.push_back(u'\uFFFD'); ++i; continue; }
    AppendCodePoint(out, c);
    i += extra + 1;
  }
  return out;
}

bool IsTrailByte(const std::string& s, size_t i) {
  std::mbstate_t st{};
  size_t p = 0;
  while (p < i) {
    size_t n = std::mbrlen(s.data() + p, s.size() - p, &st);
    if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      n = 1;
      st = std::mbstate_t{};
    }
    p += n;
  }
  return p != i;
}
