// Mac OS Roman <-> QString for the windows.
#include "toolkit/qttext.h"

#include <QList>

#include <algorithm>
#include <array>
#include <utility>

#include "framework/text.h"
#include "framework/types.h"

namespace cv::UQtText {

namespace {

using SReverse = std::pair<char32_t, Uint8>;

// Code point -> byte for the upper half, sorted by code point.
const std::array<SReverse, 128>& ReverseTable() {
  static const std::array<SReverse, 128> table = [] {
    std::array<SReverse, 128> t{};
    for (int b = 0x80; b <= 0xFF; ++b) t[std::size_t(b - 0x80)] = {UText::MacRomanToUnicode(Uint8(b)), Uint8(b)};
    std::sort(t.begin(), t.end());
    return t;
  }();
  return table;
}

// The byte of a code point, or -1 when Mac OS Roman has none.
int ByteFor(char32_t cp) {
  if (cp < 0x80) return int(cp);
  const auto& t = ReverseTable();
  auto it = std::lower_bound(t.begin(), t.end(), SReverse{cp, 0});
  if (it != t.end() && it->first == cp) return it->second;
  return -1;
}

// Look-alikes that take more than one letter; the framework's table has the others.
struct SSpelled {
  char32_t code;
  const char* text;
};
constexpr SSpelled kSpelled[] = {
    {0x00DE, "Th"}, {0x00FE, "th"}, {0x0132, "IJ"},  {0x0133, "ij"}, {0x01C4, "DZ"},
    {0x2190, "<-"}, {0x2192, "->"}, {0x2194, "<->"}, {0x21D0, "<="}, {0x21D2, "=>"},
};

// Invisible characters that only join or separate others.
bool IsInvisible(char32_t cp) { return (cp >= 0x200B && cp <= 0x200D) || cp == 0x2060 || cp == 0xFEFF; }

bool IsMark(char32_t cp) {
  const auto c = QChar::category(cp);
  return c == QChar::Mark_NonSpacing || c == QChar::Mark_SpacingCombining || c == QChar::Mark_Enclosing;
}

void AppendLookAlike(char32_t cp, std::string& out) {
  for (const SSpelled& s : kSpelled) {
    if (s.code == cp) {
      out += s.text;
      return;
    }
  }
  // The framework's table of close ASCII letters, "?" for everything else.
  QString one = QString::fromUcs4(&cp, 1);
  out += UText::Utf8ToMacRoman(one.toStdString(), '?');
}

void AppendChar(char32_t cp, std::string& out) {
  if (int b = ByteFor(cp); b >= 0) {
    out += char(b);
    return;
  }
  if (IsInvisible(cp)) return;
  if (IsMark(cp)) return;  // an accent left over on a letter already written
  const QList<uint> parts = QString::fromUcs4(&cp, 1).normalized(QString::NormalizationForm_KD).toUcs4();
  if (parts.size() == 1 && parts[0] == cp) {
    AppendLookAlike(cp, out);
    return;
  }
  for (qsizetype i = 0; i < parts.size(); ++i) {
    const char32_t base = parts[i];
    if (IsMark(base)) continue;
    // A letter with the first of its accents may exist composed ("\u01FB" -> "\u00E5").
    if (i + 1 < parts.size() && IsMark(parts[i + 1])) {
      const char32_t pair[2] = {base, char32_t(parts[i + 1])};
      const QList<uint> composed = QString::fromUcs4(pair, 2).normalized(QString::NormalizationForm_C).toUcs4();
      if (composed.size() == 1) {
        if (int b = ByteFor(composed[0]); b >= 0) {
          out += char(b);
          continue;
        }
      }
    }
    if (int b = ByteFor(base); b >= 0)
      out += char(b);
    else
      AppendLookAlike(base, out);
  }
}

}  // namespace

QString FromMac(std::string_view macRoman) {
  QString out;
  out.reserve(qsizetype(macRoman.size()));
  for (char c : macRoman) {
    const auto b = Uint8(c);
    if (b == '\r')
      out += QChar('\n');
    else if (b < 0x80)
      out += QChar(char16_t(b));
    else
      out += QChar(char16_t(UText::MacRomanToUnicode(b)));
  }
  return out;
}

std::string ToMac(const QString& text) {
  // Composed first, so that a letter typed with a separate accent finds its byte.
  const QList<uint> cps = text.normalized(QString::NormalizationForm_C).toUcs4();
  std::string out;
  out.reserve(std::size_t(cps.size()));
  for (qsizetype i = 0; i < cps.size(); ++i) {
    const char32_t cp = cps[i];
    if (cp == '\r') {
      out += '\r';
      if (i + 1 < cps.size() && cps[i + 1] == '\n') ++i;
    } else if (cp == '\n' || cp == 0x2028 || cp == 0x2029) {
      out += '\r';
    } else {
      AppendChar(cp, out);
    }
  }
  return out;
}

}  // namespace cv::UQtText
