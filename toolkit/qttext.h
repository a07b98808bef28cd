// Texts at the window edge: the system keeps Mac OS Roman bytes with carriage returns
// as line ends; Qt shows and edits QString with line feeds.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace cv {

namespace UQtText {

// Every byte shows as its Mac OS Roman character; carriage returns become line breaks.
QString FromMac(std::string_view macRoman);

// What the user typed, as Mac OS Roman. Line breaks (LF, CR LF, the Unicode line and
// paragraph separators) become carriage returns. A character that Mac OS Roman lacks
// becomes its closest form: its compatibility decomposition without the accents that
// Mac OS Roman cannot carry ("\u0103" -> "a", "\uFB03" -> "ffi", full-width letters to
// plain ones), else a look-alike ("\u0142" -> "l", "\u2010" -> "-"), else "?". Nothing
// visible is dropped: only combining accents and invisible joiners disappear.
std::string ToMac(const QString& text);

}  // namespace UQtText

}  // namespace cv
