#include <gtest/gtest.h>

#include "framework/text.h"

using namespace cv;

TEST(MacRoman, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(char(b));
  const std::string utf8 = UText::MacRomanToUtf8(all);
  EXPECT_EQ(UText::Utf8ToMacRoman(utf8), all);
  std::string strict;
  ASSERT_TRUE(UText::Utf8ToMacRomanStrict(utf8, strict));
  EXPECT_EQ(strict, all);
  // Distinct bytes give distinct characters.
  for (int a = 128; a < 256; ++a)
    for (int b = a + 1; b < 256; ++b) ASSERT_NE(UText::MacRomanToUnicode(Uint8(a)), UText::MacRomanToUnicode(Uint8(b)));
}

TEST(MacRoman, KnownCharacters) {
  EXPECT_EQ(UText::MacRomanToUtf8("\xD2name\xD3"), "\u201Cname\u201D");
  EXPECT_EQ(UText::MacRomanToUtf8("\xB0"), "\u221E");
  EXPECT_EQ(UText::MacRomanToUtf8("\x80\xDB\xF0"), "\u00C4\u20AC\uF8FF");
  EXPECT_EQ(UText::Utf8ToMacRoman("caf\u00E9 \u2014 \u2122"), "caf\x8E \xD1 \xAA");
  // Older code points for the same characters.
  EXPECT_EQ(UText::Utf8ToMacRoman("\u00A4\u2126\u03BC"), "\xDB\xBD\xB5");
}

TEST(MacRoman, MissingCharactersAreReplacedNotDropped) {
  struct Case {
    const char* utf8;
    const char* expect;
  } cases[] = {
      {"\u0141\u00F3d\u017A",
       "L\x97"
       "dz"},                  // close ASCII letters
      {"a\u2009b", "a b"},     // thin space
      {"\u4E2D\u6587", "??"},  // one replacement per character
      {"smile \U0001F600!", "smile ?!"},
  };
  for (const auto& c : cases) EXPECT_EQ(UText::Utf8ToMacRoman(c.utf8), c.expect) << c.utf8;
  EXPECT_EQ(UText::Utf8ToMacRoman("\u4E2D", '#'), "#");
}

TEST(MacRoman, MalformedUtf8IsSafe) {
  struct Case {
    std::string in;
    const char* expect;
  } cases[] = {
      {"a\x80z", "a?z"},                                            // stray continuation
      {"a\xC3", "a?"},                                              // cut at the end
      {"a\xE2\x82z", "a?z"},                                        // cut in the middle
      {"\xC0\xAF", "??"},                                           // overlong lead byte
      {"\xE0\x80\xAF", "?"},                                        // overlong sequence
      {"\xED\xA0\x80", "?"},                                        // surrogate
      {"\xF4\x90\x80\x80", "?"},                                    // beyond U+10FFFF
      {"\xFF\xFE", "??"},        {std::string("a\0b", 3), "a\0b"},  // NUL is a character
  };
  for (const auto& c : cases) {
    const std::string got = UText::Utf8ToMacRoman(c.in);
    EXPECT_EQ(got, std::string(c.expect, c.in == std::string("a\0b", 3) ? 3 : std::strlen(c.expect)));
  }
  std::string out;
  std::size_t bad = 99;
  EXPECT_FALSE(UText::Utf8ToMacRomanStrict("ok\u4E2D", out, &bad));
  EXPECT_EQ(bad, 2u);
  EXPECT_FALSE(UText::Utf8ToMacRomanStrict("ok\xC3", out, &bad));
  EXPECT_EQ(bad, 2u);
}
