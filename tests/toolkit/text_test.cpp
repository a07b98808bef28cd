// Texts between Mac OS Roman and the windows.
#include "toolkit/qttext.h"

#include <gtest/gtest.h>

#include "framework/text.h"

namespace {

using cv::UQtText::FromMac;
using cv::UQtText::ToMac;

TEST(QtText, EveryMacRomanByteSurvivesTheWindow) {
  std::string all;
  for (int b = 1; b < 256; ++b)
    if (b != '\r' && b != '\n') all += char(b);
  EXPECT_EQ(ToMac(FromMac(all)), all);
  EXPECT_EQ(FromMac("\xD2Polite Quit\xD3"), QString::fromUtf8("\u201CPolite Quit\u201D"));
  EXPECT_EQ(FromMac("a\rb"), QStringLiteral("a\nb"));
}

TEST(QtText, TypedTextBecomesMacRoman) {
  struct Case {
    const char* typed;  // UTF-8
    const char* mac;    // Mac OS Roman
  } cases[] = {
      {"plain", "plain"},
      {"caf\u00E9", "caf\x8E"},                                // in Mac OS Roman
      {"cafe\u0301", "caf\x8E"},                               // typed with a separate accent
      {"\u2026 \u2022 \u20AC \u2122", "\xC9 \xA5 \xDB \xAA"},  // ellipsis, bullet, euro, trade mark kept
      {"\u201Cq\u201D \u2018s\u2019", "\xD2q\xD3 \xD4s\xD5"},
      {"\u2013 \u2014", "\xD0 \xD1"},  // en and em dash kept
      {"\u0103\u0219\u021B", "ast"},   // Romanian: accents Mac OS Roman lacks go
      {"\u0142\u00F3d\u017A",
       "l\x97"
       "dz"},  // Polish: l with stroke by the table
      {"\u0110\u0111", "Dd"},
      {"\u00F8\u00D8\u00DF\u00E6", "\xBF\xAF\xA7\xBE"},  // these Mac OS Roman has
      {"\u01FB", "\x8C"},                                // a-ring-acute: the ring stays
      {"\uFB03 \uFF21\uFF42", "ffi Ab"},                 // ligature, full-width letters
      {"\u2010\u2011\u2212", "---"},                     // hyphens and minus
      {"\u00BD",
       "1\xDA"
       "2"},  // one half: 1, fraction slash, 2
      {"\u00DE\u2192", "Th->"},
      {"\u4E2D\U0001F600", "??"},  // no likeness: a question mark each
      {"a\u200Db\uFEFF", "ab"},    // invisible joiners
      {"l1\nl2\r\nl3\u2029l4", "l1\rl2\rl3\rl4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToMac(QString::fromUtf8(c.typed)), std::string(c.mac)) << c.typed;
  }
}

}  // namespace
