// Mac OS Roman <-> UTF-8. The protocols and files carry Mac OS Roman; the desktop and
// terminals speak UTF-8.
#include <algorithm>
#include <iterator>

#include "framework/text.h"

namespace cv::UText {

namespace {

// Unicode of the bytes 0x80-0xFF; the lower half is ASCII.
constexpr char16_t kHighHalf[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5,
    0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, 0x00F2, 0x00F4,
    0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6,
    0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, 0x221E, 0x00B1, 0x2264, 0x2265,
    0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF,
    0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, 0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5,
    0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044,
    0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9,
    0x0131, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

struct Reverse {
  char32_t code;
  Uint8 byte;
};

// Sorted code point -> byte for the upper half, with the older and look-alike code
// points that name the same characters (currency sign, ohm, increment).
struct ReverseTable {
  Reverse entries[128 + 3];
  std::size_t count = 0;

  constexpr ReverseTable() : entries{} {
    for (int i = 0; i < 128; ++i) entries[count++] = {kHighHalf[i], Uint8(0x80 + i)};
    entries[count++] = {0x00A4, 0xDB};
    entries[count++] = {0x2126, 0xBD};
    entries[count++] = {0x03BC, 0xB5};  // Greek mu reads as micro
    // Insertion sort: small and constexpr-friendly.
    for (std::size_t i = 1; i < count; ++i) {
      Reverse v = entries[i];
      std::size_t j = i;
      while (j > 0 && entries[j - 1].code > v.code) {
        entries[j] = entries[j - 1];
        --j;
      }
      entries[j] = v;
    }
  }
};

constexpr ReverseTable kReverse{};

struct Fallback {
  char32_t code;
  char ascii;
};

// Close ASCII letters for characters that Mac OS Roman lacks (accented Latin letters,
// typographic spaces and dashes). Sorted by code point.
constexpr Fallback kFallback[] = {
    {0x00A6, '|'},  {0x00AD, '-'}, {0x00B2, '2'}, {0x00B3, '3'}, {0x00B9, '1'},  {0x00D0, 'D'}, {0x00D7, 'x'},
    {0x00DD, 'Y'},  {0x00DE, 'T'}, {0x00F0, 'd'}, {0x00FD, 'y'}, {0x00FE, 't'},  {0x0100, 'A'}, {0x0101, 'a'},
    {0x0102, 'A'},  {0x0103, 'a'}, {0x0104, 'A'}, {0x0105, 'a'}, {0x0106, 'C'},  {0x0107, 'c'}, {0x0108, 'C'},
    {0x0109, 'c'},  {0x010A, 'C'}, {0x010B, 'c'}, {0x010C, 'C'}, {0x010D, 'c'},  {0x010E, 'D'}, {0x010F, 'd'},
    {0x0110, 'D'},  {0x0111, 'd'}, {0x0112, 'E'}, {0x0113, 'e'}, {0x0114, 'E'},  {0x0115, 'e'}, {0x0116, 'E'},
    {0x0117, 'e'},  {0x0118, 'E'}, {0x0119, 'e'}, {0x011A, 'E'}, {0x011B, 'e'},  {0x011C, 'G'}, {0x011D, 'g'},
    {0x011E, 'G'},  {0x011F, 'g'}, {0x0120, 'G'}, {0x0121, 'g'}, {0x0122, 'G'},  {0x0123, 'g'}, {0x0124, 'H'},
    {0x0125, 'h'},  {0x0126, 'H'}, {0x0127, 'h'}, {0x0128, 'I'}, {0x0129, 'i'},  {0x012A, 'I'}, {0x012B, 'i'},
    {0x012C, 'I'},  {0x012D, 'i'}, {0x012E, 'I'}, {0x012F, 'i'}, {0x0130, 'I'},  {0x0134, 'J'}, {0x0135, 'j'},
    {0x0136, 'K'},  {0x0137, 'k'}, {0x0138, 'k'}, {0x0139, 'L'}, {0x013A, 'l'},  {0x013B, 'L'}, {0x013C, 'l'},
    {0x013D, 'L'},  {0x013E, 'l'}, {0x013F, 'L'}, {0x0140, 'l'}, {0x0141, 'L'},  {0x0142, 'l'}, {0x0143, 'N'},
    {0x0144, 'n'},  {0x0145, 'N'}, {0x0146, 'n'}, {0x0147, 'N'}, {0x0148, 'n'},  {0x014A, 'N'}, {0x014B, 'n'},
    {0x014C, 'O'},  {0x014D, 'o'}, {0x014E, 'O'}, {0x014F, 'o'}, {0x0150, 'O'},  {0x0151, 'o'}, {0x0154, 'R'},
    {0x0155, 'r'},  {0x0156, 'R'}, {0x0157, 'r'}, {0x0158, 'R'}, {0x0159, 'r'},  {0x015A, 'S'}, {0x015B, 's'},
    {0x015C, 'S'},  {0x015D, 's'}, {0x015E, 'S'}, {0x015F, 's'}, {0x0160, 'S'},  {0x0161, 's'}, {0x0162, 'T'},
    {0x0163, 't'},  {0x0164, 'T'}, {0x0165, 't'}, {0x0166, 'T'}, {0x0167, 't'},  {0x0168, 'U'}, {0x0169, 'u'},
    {0x016A, 'U'},  {0x016B, 'u'}, {0x016C, 'U'}, {0x016D, 'u'}, {0x016E, 'U'},  {0x016F, 'u'}, {0x0170, 'U'},
    {0x0171, 'u'},  {0x0172, 'U'}, {0x0173, 'u'}, {0x0174, 'W'}, {0x0175, 'w'},  {0x0176, 'Y'}, {0x0177, 'y'},
    {0x0179, 'Z'},  {0x017A, 'z'}, {0x017B, 'Z'}, {0x017C, 'z'}, {0x017D, 'Z'},  {0x017E, 'z'}, {0x017F, 's'},
    {0x0180, 'b'},  {0x0181, 'B'}, {0x0187, 'C'}, {0x0188, 'c'}, {0x018A, 'D'},  {0x0191, 'F'}, {0x0193, 'G'},
    {0x0197, 'I'},  {0x0198, 'K'}, {0x0199, 'k'}, {0x019A, 'l'}, {0x019D, 'N'},  {0x019E, 'n'}, {0x01A0, 'O'},
    {0x01A1, 'o'},  {0x01A4, 'P'}, {0x01A5, 'p'}, {0x01AC, 'T'}, {0x01AD, 't'},  {0x01AE, 'T'}, {0x01AF, 'U'},
    {0x01B0, 'u'},  {0x01B2, 'V'}, {0x01B3, 'Y'}, {0x01B4, 'y'}, {0x01B5, 'Z'},  {0x01B6, 'z'}, {0x01CD, 'A'},
    {0x01CE, 'a'},  {0x01CF, 'I'}, {0x01D0, 'i'}, {0x01D1, 'O'}, {0x01D2, 'o'},  {0x01D3, 'U'}, {0x01D4, 'u'},
    {0x01D5, 'U'},  {0x01D6, 'u'}, {0x01D7, 'U'}, {0x01D8, 'u'}, {0x01D9, 'U'},  {0x01DA, 'u'}, {0x01DB, 'U'},
    {0x01DC, 'u'},  {0x01DE, 'A'}, {0x01DF, 'a'}, {0x01E0, 'A'}, {0x01E1, 'a'},  {0x01E4, 'G'}, {0x01E5, 'g'},
    {0x01E6, 'G'},  {0x01E7, 'g'}, {0x01E8, 'K'}, {0x01E9, 'k'}, {0x01EA, 'O'},  {0x01EB, 'o'}, {0x01EC, 'O'},
    {0x01ED, 'o'},  {0x01F0, 'j'}, {0x01F4, 'G'}, {0x01F5, 'g'}, {0x01F8, 'N'},  {0x01F9, 'n'}, {0x01FA, 'A'},
    {0x01FB, 'a'},  {0x0200, 'A'}, {0x0201, 'a'}, {0x0202, 'A'}, {0x0203, 'a'},  {0x0204, 'E'}, {0x0205, 'e'},
    {0x0206, 'E'},  {0x0207, 'e'}, {0x0208, 'I'}, {0x0209, 'i'}, {0x020A, 'I'},  {0x020B, 'i'}, {0x020C, 'O'},
    {0x020D, 'o'},  {0x020E, 'O'}, {0x020F, 'o'}, {0x0210, 'R'}, {0x0211, 'r'},  {0x0212, 'R'}, {0x0213, 'r'},
    {0x0214, 'U'},  {0x0215, 'u'}, {0x0216, 'U'}, {0x0217, 'u'}, {0x0218, 'S'},  {0x0219, 's'}, {0x021A, 'T'},
    {0x021B, 't'},  {0x021E, 'H'}, {0x021F, 'h'}, {0x0221, 'd'}, {0x0226, 'A'},  {0x0227, 'a'}, {0x0228, 'E'},
    {0x0229, 'e'},  {0x022A, 'O'}, {0x022B, 'o'}, {0x022C, 'O'}, {0x022D, 'o'},  {0x022E, 'O'}, {0x022F, 'o'},
    {0x0230, 'O'},  {0x0231, 'o'}, {0x0232, 'Y'}, {0x0233, 'y'}, {0x0234, 'l'},  {0x0235, 'n'}, {0x0236, 't'},
    {0x0237, 'j'},  {0x023A, 'A'}, {0x023B, 'C'}, {0x023C, 'c'}, {0x023D, 'L'},  {0x023E, 'T'}, {0x023F, 's'},
    {0x0240, 'z'},  {0x0243, 'B'}, {0x0244, 'U'}, {0x0246, 'E'}, {0x0247, 'e'},  {0x0248, 'J'}, {0x0249, 'j'},
    {0x024A, 'Q'},  {0x024B, 'q'}, {0x024C, 'R'}, {0x024D, 'r'}, {0x024E, 'Y'},  {0x024F, 'y'}, {0x02BC, '\''},
    {0x02C8, '\''}, {0x02CB, '`'}, {0x02D0, ':'}, {0x2000, ' '}, {0x2001, ' '},  {0x2002, ' '}, {0x2003, ' '},
    {0x2004, ' '},  {0x2005, ' '}, {0x2006, ' '}, {0x2007, ' '}, {0x2008, ' '},  {0x2009, ' '}, {0x200A, ' '},
    {0x2010, '-'},  {0x2011, '-'}, {0x2012, '-'}, {0x2015, '-'}, {0x2016, '|'},  {0x2017, '_'}, {0x201B, '\''},
    {0x201F, '"'},  {0x2024, '.'}, {0x2027, '.'}, {0x202F, ' '}, {0x2032, '\''}, {0x2033, '"'}, {0x2043, '-'},
    {0x205F, ' '},  {0x2212, '-'}, {0x2215, '/'}, {0x2217, '*'}, {0x2223, '|'},  {0x2236, ':'}, {0x223C, '~'},
    {0x3000, ' '},
};
static_assert(std::is_sorted(std::begin(kFallback), std::end(kFallback),
                             [](const Fallback& a, const Fallback& b) { return a.code < b.code; }));

// Byte for a code point; 0 with found=false when there is none.
int ByteFor(char32_t cp) {
  if (cp < 0x80) return int(cp);
  const auto* end = kReverse.entries + kReverse.count;
  const auto* it = std::lower_bound(kReverse.entries, end, cp, [](const Reverse& r, char32_t c) { return r.code < c; });
  if (it != end && it->code == cp) return it->byte;
  return -1;
}

char FallbackFor(char32_t cp, char replacement) {
  const auto* it = std::lower_bound(std::begin(kFallback), std::end(kFallback), cp,
                                    [](const Fallback& f, char32_t c) { return f.code < c; });
  if (it != std::end(kFallback) && it->code == cp) return it->ascii;
  return replacement;
}

// Decodes one UTF-8 character at text[i]; returns its length, or 0 when malformed
// (then `bad` bytes make up the bad sequence: at least 1).
std::size_t Decode(std::string_view text, std::size_t i, char32_t& cp, std::size_t& bad) {
  const auto b0 = Uint8(text[i]);
  bad = 1;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t need;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, min = 0x80, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, min = 0x800, cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, min = 0x10000, cp = b0 & 0x07;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= text.size() || (Uint8(text[i + k]) & 0xC0) != 0x80) {
      bad = k;  // the lead and the continuation bytes seen so far
      return 0;
    }
    cp = (cp << 6) | (Uint8(text[i + k]) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    bad = need + 1;
    return 0;
  }
  return need + 1;
}

void Encode(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

char32_t MacRomanToUnicode(Uint8 byte) { return byte < 0x80 ? char32_t(byte) : char32_t(kHighHalf[byte - 0x80]); }

std::string MacRomanToUtf8(std::string_view macRoman) {
  std::string out;
  out.reserve(macRoman.size() + macRoman.size() / 2);
  for (char c : macRoman) Encode(out, MacRomanToUnicode(Uint8(c)));
  return out;
}

std::string Utf8ToMacRoman(std::string_view utf8, char replacement) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp;
    std::size_t bad;
    const std::size_t n = Decode(utf8, i, cp, bad);
    if (!n) {
      out.push_back(replacement);
      i += bad;
      continue;
    }
    i += n;
    const int b = ByteFor(cp);
    out.push_back(b >= 0 ? char(b) : FallbackFor(cp, replacement));
  }
  return out;
}

bool Utf8ToMacRomanStrict(std::string_view utf8, std::string& out, std::size_t* badOffset) {
  out.clear();
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp;
    std::size_t bad;
    const std::size_t n = Decode(utf8, i, cp, bad);
    const int b = n ? ByteFor(cp) : -1;
    if (b < 0) {
      if (badOffset) *badOffset = i;
      return false;
    }
    out.push_back(char(b));
    i += n;
  }
  return true;
}

}  // namespace cv::UText
