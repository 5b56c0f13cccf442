// Text between UTF-16 and the default 8-bit code page (a UTF-8 locale in these
// tests), the general exception's message, and the end-of-line test of line receives.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "base_socket.h"
#include "sysutils.h"

namespace {

// Switches LC_ALL for one test and restores the previous locale.
class LocaleGuard {
 public:
  explicit LocaleGuard(const char* name) {
    const char* old = std::setlocale(LC_ALL, nullptr);
    FOld = old ? old : "C";
    FOk = std::setlocale(LC_ALL, name) != nullptr;
  }
  ~LocaleGuard() { std::setlocale(LC_ALL, FOld.c_str()); }
  bool Ok() const { return FOk; }

 private:
  std::string FOld;
  bool FOk;
};

const std::string kChineseUtf8 = "\xE6\xB5\x8B\xE8\xAF\x95";  // 测试
const std::string kEmojiUtf8 = "\xF0\x9F\x98\x80";           // U+1F600

TEST(CodePageConversion, AsciiAndChineseRoundTrip) {
  EXPECT_EQ(AnsiToUnicode("abc"), u"abc");
  EXPECT_EQ(AnsiToUnicode(kChineseUtf8), u"测试");
  EXPECT_EQ(UnicodeToAnsi(u"测试"), kChineseUtf8);
  EXPECT_EQ(UnicodeToAnsi(AnsiToUnicode("udt服务端 x")), "udt服务端 x");
}

TEST(CodePageConversion, CharacterOutsideTheBasicPlaneBecomesASurrogatePair) {
  std::u16string u = AnsiToUnicode(kEmojiUtf8);
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u[0], 0xD83D);
  EXPECT_EQ(u[1], 0xDE00);
  EXPECT_EQ(UnicodeToAnsi(u), kEmojiUtf8);
}

TEST(CodePageConversion, UndecodableBytesAreKept) {
  EXPECT_EQ(AnsiToUnicode("a\xFF\xFE" "b"), std::u16string(u"a\u00FF\u00FE" u"b"));
  // A multi-byte character cut short at the end is kept byte by byte too.
  EXPECT_EQ(AnsiToUnicode("x\xE6\xB5"), std::u16string(u"x\u00E6\u00B5"));
  // A broken sequence does not swallow the valid text after it.
  EXPECT_EQ(AnsiToUnicode("\xE6" "abc"), std::u16string(u"\u00E6" u"abc"));
}

TEST(CodePageConversion, EmbeddedNulIsKeptBothWays) {
  std::string ansi("a\0b", 3);
  std::u16string wide(u"a\0b", 3);
  EXPECT_EQ(AnsiToUnicode(ansi), wide);
  EXPECT_EQ(UnicodeToAnsi(wide), ansi);
}

TEST(CodePageConversion, CharacterTheCodePageCannotHoldBecomesQuestionMark) {
  LocaleGuard c("C");
  ASSERT_TRUE(c.Ok());
  EXPECT_EQ(UnicodeToAnsi(u"a测b"), "a?b");
  // In the C locale a high byte is not a character; it is kept as Latin-1.
  EXPECT_EQ(AnsiToUnicode("a\xE9"), std::u16string(u"a\u00E9"));
}

TEST(CodePageConversion, Utf8HelpersRoundTripAndReplaceLoneSurrogates) {
  std::u16string text = u"Act: 测试 \U0001F600";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");
}

TEST(GeneralException, MessageIsConvertedFromTheCodePage) {
  Exception e(kChineseUtf8);
  EXPECT_EQ(e.Message(), u"测试");
  EXPECT_EQ(std::string(e.what()), kChineseUtf8);
  Exception w(std::u16string(u"Receiveln()"));
  EXPECT_STREQ(w.what(), "Receiveln()");
}

TEST(EndOfLineTest, MarkerAtTheEndIsFound) {
  EXPECT_TRUE(EndsWithEol("\r\n", "ab\r\n"));
  EXPECT_TRUE(EndsWithEol("\r\n", "\r\n"));
  EXPECT_FALSE(EndsWithEol("\r\n", "ab\r"));
  EXPECT_FALSE(EndsWithEol("\r\n", "ab\n\r"));
}

TEST(EndOfLineTest, EmptyMarkerOrShortTextNeverEnds) {
  EXPECT_FALSE(EndsWithEol("", "abc"));
  EXPECT_FALSE(EndsWithEol("", ""));
  EXPECT_FALSE(EndsWithEol("\r\n", "\n"));
  EXPECT_FALSE(EndsWithEol("\r\n", ""));
}

TEST(EndOfLineTest, MarkerStartingInsideAMultiByteCharacterDoesNotCount) {
  // The last byte of 测 (E6 B5 8B) is not a character of its own.
  EXPECT_FALSE(EndsWithEol("\x8B", "a\xE6\xB5\x8B"));
  EXPECT_FALSE(EndsWithEol("\xB5\x8B", "a\xE6\xB5\x8B"));
  // A whole multi-byte character is a marker like any other.
  EXPECT_TRUE(EndsWithEol("\xE6\xB5\x8B", "a\xE6\xB5\x8B"));
}

}  // namespace
