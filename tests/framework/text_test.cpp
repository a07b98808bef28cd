#include "framework/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace cv;

namespace {

// Formats into a buffer guarded by canaries, checks nothing past capacity was touched.
template <typename... Args>
std::string Guarded(std::size_t capacity, const char* tmpl, Args... args) {
  std::string buf(capacity + 16, '\xEE');
  const std::size_t n = UText::Format(buf.data(), capacity, tmpl, args...);
  EXPECT_LE(n, capacity) << tmpl;
  for (std::size_t i = capacity; i < buf.size(); ++i) EXPECT_EQ(buf[i], '\xEE') << tmpl << " overran at " << i;
  return buf.substr(0, n);
}

const Uint8 kAbcdef[] = {6, 'a', 'b', 'c', 'd', 'e', 'f'};
const Uint8 kEmpty[] = {0};
const Uint8 kAlice[] = {5, 'A', 'l', 'i', 'c', 'e'};

}  // namespace

TEST(Format, NumbersAndFlags) {
  struct Case {
    const char* tmpl;
    int value;
    const char* expect;
  } cases[] = {
      {"%d", 0, "0"},           {"%d", -2147483647 - 1, "-2147483648"},
      {"%u", -1, "4294967295"}, {"%i", 42, "42"},
      {"%+d", 5, "+5"},         {"% d", 5, " 5"},
      {"%+ d", 5, "+5"},        {"% d", -5, "-5"},
      {"%+u", 5, "5"},  // sign flags only apply to signed conversions
      {"%-5d|", -3, "-3   |"},  {"%05d", -3, "-0003"},
      {"%-05d|", 7, "7    |"},  {"%5d", 42, "   42"},
      {"%.3d", 7, "007"},       {"%08.3d", 7, "     007"},  // a precision turns zero padding off
      {"%.0d", 0, ""},          {"%2.2hu", 7, "07"},
      {"%.2lu", 123, "123"},    {"%hd", 65535, "-1"},
      {"%hu", -1, "65535"},     {"%hx", 0x12345, "2345"},
      {"%Ld", 12, "12"},        {"%x", 255, "ff"},
      {"%X", 255, "FF"},        {"%#x", 255, "0xff"},
      {"%#X", 255, "0XFF"},     {"%#010x", 255, "0x000000ff"},
      {"%#o", 8, "010"},        {"%#o", 0, "0"},
      {"%#.3o", 8, "010"},      {"%o", 8, "10"},
      {"%p", 255, "000000FF"},  {"%10p", 0x1234ABCD, "  1234ABCD"},
      {"%c", 'A', "A"},         {"%3c|", 'A', "  A|"},
      {"%-3c|", 'A', "A  |"},   {"100%% %d", 1, "100% 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(Guarded(64, c.tmpl, c.value), c.expect) << c.tmpl;
}

TEST(Format, StarWidthAndPrecision) {
  EXPECT_EQ(Guarded(64, "%*d|", 5, 42), "   42|");
  EXPECT_EQ(Guarded(64, "%*d|", -5, 42), "42   |");  // negative width: left-justified
  EXPECT_EQ(Guarded(64, "%.*d", 4, 42), "0042");
  EXPECT_EQ(Guarded(64, "%.*d", -1, 42), "42");  // negative precision: not given
  EXPECT_EQ(Guarded(64, "%*.*s|", 6, 2, "abcdef"), "    ab|");
  EXPECT_EQ(Guarded(64, "%.*s", 3, "abcdef"), "abc");
}

TEST(Format, Strings) {
  EXPECT_EQ(Guarded(64, "%s", "hello"), "hello");
  EXPECT_EQ(Guarded(64, "[%s]", static_cast<const char*>(nullptr)), "[]");
  EXPECT_EQ(Guarded(64, "%.2s", "hello"), "he");
  EXPECT_EQ(Guarded(64, "%-7s|", "abc"), "abc    |");
  EXPECT_EQ(Guarded(64, "%#s", kAbcdef), "abcdef");
  EXPECT_EQ(Guarded(64, "[%#s]", kEmpty), "[]");
  EXPECT_EQ(Guarded(64, "%#5.3s", kAbcdef), "  abc");
  EXPECT_EQ(Guarded(64, "%#-21.21s|", kAlice), "Alice                |");
  EXPECT_EQ(Guarded(64, "%#13.13s|", kAlice), "        Alice|");
  // A precision-limited string need not be terminated.
  const char unterminated[3] = {'x', 'y', 'z'};
  EXPECT_EQ(Guarded(64, "%.3s", unterminated), "xyz");
}

TEST(Format, UnknownConversionStops) {
  EXPECT_EQ(Guarded(64, "abc %f def", 1), "abc ");
  EXPECT_EQ(Guarded(64, "%d %q %d", 1, 2, 3), "1 ");
  EXPECT_EQ(Guarded(64, "tail %", 0), "tail ");
  EXPECT_EQ(Guarded(64, "%-5", 0), "");
}

TEST(Format, CapacityCutsEverywhere) {
  EXPECT_EQ(Guarded(5, "hello world"), "hello");
  EXPECT_EQ(Guarded(0, "hello"), "");
  EXPECT_EQ(Guarded(3, "%d", 123456), "123");
  EXPECT_EQ(Guarded(3, "%-10d|", 1), "1  ");
  EXPECT_EQ(Guarded(4, "%10d", 1), "    ");
  EXPECT_EQ(Guarded(4, "%#x", 0xABCDEF), "0xab");
  EXPECT_EQ(Guarded(2, "%#x", 1), "0x");
  EXPECT_EQ(Guarded(3, "%.20d", 5), "000");
  EXPECT_EQ(Guarded(4, "ab%#s", kAbcdef), "abab");
  EXPECT_EQ(Guarded(6, "%s%s", "abcd", "efgh"), "abcdef");
  EXPECT_EQ(Guarded(10, "%99999999d", 1), std::string(10, ' '));
  // Every cut of a mixed template is a prefix of the whole.
  const std::string whole = Guarded(200, "%-6s|%05d|%#x|%#-8.8s|%c%%", "ab", -42, 0xBEEF, kAlice, 'Z');
  for (std::size_t cap = 0; cap <= whole.size(); ++cap)
    EXPECT_EQ(Guarded(cap, "%-6s|%05d|%#x|%#-8.8s|%c%%", "ab", -42, 0xBEEF, kAlice, 'Z'), whole.substr(0, cap));
}

TEST(Format, CountStoresBytesSoFar) {
  Uint32 n32 = 99;
  Uint16 n16 = 99;
  EXPECT_EQ(Guarded(64, "abc%n-%hn!", &n32, &n16), "abc-!");
  EXPECT_EQ(n32, 3u);
  EXPECT_EQ(n16, 4u);
  // Past the capacity the count stops with the output.
  n32 = 0;
  std::string buf(8, 0);
  UText::Format(buf.data(), 8, "%s%n", "abcdefghijk", &n32);
  EXPECT_EQ(n32, 0u);  // formatting ended when the buffer filled
}

TEST(Format, StringHelpers) {
  EXPECT_EQ(UText::Fmt("%#s has %d items", kAlice, 3), "Alice has 3 items");
  EXPECT_EQ(UText::FmtN(4, "%s", "abcdef"), "abcd");
  EXPECT_EQ(UText::Fmt("%s", std::string(2000, 'x').c_str()).size(), UText::kFmtCapacity);
}

TEST(Text, IntegerToText) {
  struct Case {
    Int32 v;
    bool sep;
    const char* expect;
  } cases[] = {
      {0, true, "0"},
      {999, true, "999"},
      {1000, true, "1,000"},
      {-1234567, true, "-1,234,567"},
      {-1234567, false, "-1234567"},
      {INT32_MIN, true, "-2,147,483,648"},
      {100000, true, "100,000"},
  };
  for (const auto& c : cases) EXPECT_EQ(UText::IntegerText(c.v, c.sep), c.expect) << c.v;
  char buf[4];
  EXPECT_EQ(UText::IntegerToText(buf, 0, 5, false), 0u);
  EXPECT_EQ(UText::IntegerToText(buf, 3, 123456, true), 3u);
  EXPECT_EQ(std::string(buf, 3), "123");
}

TEST(Text, SizeToText) {
  struct Case {
    Uint32 count, flags;
    const char* expect;
  } cases[] = {
      {0, 0, "0K"},         {1, 0, "1"},           {1023, 0, "1023"},
      {1023, 1, "<1K"},     {1024, 0, "1K"},       {1536, 0, "1K"},
      {1536, 2, "1.5K"},    {10239, 2, "9.9K"},    {10240 + 512, 2, "10K"},  // tenths only below 10K
      {1024 + 50, 2, "1K"},                                                  // zero tenth is not shown
      {15000, 0, "14K"},    {1048575, 0, "1023K"}, {1048576, 0, "1M"},
      {1572864, 0, "1.5M"}, {2097152, 0, "2M"},    {4294967295u, 0, "4095.9M"},
  };
  for (const auto& c : cases) EXPECT_EQ(UText::SizeText(c.count, c.flags), c.expect) << c.count;
}

TEST(Text, SecondsToText) {
  EXPECT_EQ(UText::SecondsText(0), "0:00");
  EXPECT_EQ(UText::SecondsText(59), "0:59");
  EXPECT_EQ(UText::SecondsText(61), "1:01");
  EXPECT_EQ(UText::SecondsText(3600), "1:00:00");
  EXPECT_EQ(UText::SecondsText(90061), "1:01:01:01");
  EXPECT_EQ(UText::SecondsText(4294967295u), "49710:06:28:15");
}

TEST(Text, TextToInteger) {
  auto parse = [](std::string_view s, int base = 10) { return UText::TextToInteger(s.data(), s.size(), base); };
  EXPECT_EQ(parse("  42abc"), 42);
  EXPECT_EQ(parse("-17"), -17);
  EXPECT_EQ(parse("+8"), 8);
  EXPECT_EQ(parse("ff", 16), 255);
  EXPECT_EQ(parse("x"), 0);
  EXPECT_EQ(parse(""), 0);
  EXPECT_EQ(parse("99999999999"), INT32_MAX);
  EXPECT_EQ(parse("-99999999999"), INT32_MIN);
  EXPECT_EQ(parse("12", 99), 0);
  // Only the first 63 bytes count.
  EXPECT_EQ(parse(std::string(63, ' ') + "7"), 0);
  // The length is honoured without a terminator.
  const char digits[] = {'1', '2', '3'};
  EXPECT_EQ(UText::TextToInteger(digits, 2), 12);
}

TEST(Text, EqualAndCase) {
  EXPECT_TRUE(UText::Equal("Alice", "ALICE"));
  EXPECT_FALSE(UText::Equal("Alice", "ALICE", true));
  EXPECT_FALSE(UText::Equal("Alice", "Alic"));
  EXPECT_TRUE(UText::Equal("", ""));
  EXPECT_FALSE(UText::Equal("\x8A", "\x80"));  // no case above 127
  std::string s = "MiXeD 123 \xC4Z";
  UText::MakeLowercase(s.data(), s.size());
  EXPECT_EQ(s, "mixed 123 \xC4z");
}

TEST(Text, ReplaceNonPrinting) {
  std::string a = "a\tb\rc\x01 d\x7F\xE9!";
  std::string b = a;
  UText::ReplaceNonPrinting(a.data(), a.size(), '*', 1);
  EXPECT_EQ(a, "a*b*c* d**!");
  UText::ReplaceNonPrinting(b.data(), b.size(), '*', 0);
  EXPECT_EQ(b, "a\tb\rc* d**!");
}

TEST(Text, TrimmedLengthAndFindWord) {
  EXPECT_EQ(UText::TrimmedLength("abc \t\r\n", 7), 3u);
  EXPECT_EQ(UText::TrimmedLength("   ", 3), 0u);
  const char* t = "one  two";
  std::size_t start, len;
  ASSERT_TRUE(UText::FindWord(t, 8, 1, start, len));
  EXPECT_EQ(start, 0u);
  EXPECT_EQ(len, 3u);
  ASSERT_TRUE(UText::FindWord(t, 8, 4, start, len));
  EXPECT_EQ(start, 3u);
  EXPECT_EQ(len, 2u);
  ASSERT_TRUE(UText::FindWord(t, 8, 7, start, len));
  EXPECT_EQ(start, 5u);
  EXPECT_EQ(len, 3u);
  EXPECT_FALSE(UText::FindWord(t, 8, 8, start, len));
}

TEST(Text, CountedStrings) {
  const SCountedString s = UText::ToCounted("Alice");
  EXPECT_EQ(s.size(), 5u);
  EXPECT_EQ(s.view(), "Alice");
  EXPECT_EQ(UText::CountedView(s.data()), "Alice");
  EXPECT_EQ(UText::CountedView(nullptr), "");
  EXPECT_EQ(UText::ToCounted(std::string(300, 'x')).size(), 255u);
  EXPECT_EQ(UText::Fmt("%#s", s.data()), "Alice");
}
