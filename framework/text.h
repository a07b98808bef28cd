// Text building: the bounded formatter that also knows counted strings, fixed-form
// numbers, sizes, durations and dates, plain-ASCII comparisons and the Mac OS Roman
// conversions. Nothing here writes a terminating zero unless asked, and nothing
// writes past the capacity it is given.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

#include "framework/clock.h"
#include "framework/types.h"

namespace cv {

// A counted string held by value: one length byte and up to 255 bytes of text.
struct SCountedString {
  Uint8 bytes[256] = {0};

  // The form "%#s" and the protocols take: the length byte first.
  const Uint8* data() const { return bytes; }
  Uint8* data() { return bytes; }
  std::size_t size() const { return bytes[0]; }
  std::string_view view() const { return {reinterpret_cast<const char*>(bytes + 1), bytes[0]}; }
  std::string str() const { return std::string(view()); }
};

namespace UText {

// The formatter. Conversions: flags "-+ #0", width and precision (digits or "*"),
// sizes h (16-bit), l (32-bit, the default) and L (ignored), then d i u o x X p c s
// "#s" (counted string) n and "%%". Any other conversion ends the output there.
// Every conversion takes one 32-bit int argument (pass Int64 values cast down);
// s, #s and n take pointers. Returns the bytes written, at most capacity.
std::size_t Format(void* buffer, std::size_t capacity, const char* tmpl, ...);
std::size_t FormatArgs(void* buffer, std::size_t capacity, const char* tmpl, va_list args);

// The same into a string, cut at capacity bytes.
std::string Fmt(const char* tmpl, ...);
std::string FmtN(std::size_t capacity, const char* tmpl, ...);
std::string FmtArgs(std::size_t capacity, const char* tmpl, va_list args);
inline constexpr std::size_t kFmtCapacity = 1024;

// Decimal, "-" before negatives, "," between groups of three with the flag.
std::size_t IntegerToText(void* buffer, std::size_t capacity, Int32 value, bool separators);
// Short byte size: "0K", "<1K" (flag bit 0) or the plain count below 1K, "14K",
// "1.5K" (flag bit 1, below 10K), "1.5M". Tenths are truncated.
enum : Uint32 { sizeLessThan1K = 0x1, sizeTenthsOfK = 0x2 };
std::size_t SizeToText(Uint32 count, void* buffer, std::size_t capacity, Uint32 flags);
// Duration "d:hh:mm:ss", "h:mm:ss" or "m:ss".
std::size_t SecondsToText(Uint32 seconds, void* buffer, std::size_t capacity);
// Parses at most 63 bytes as a long integer in the base (leading white space and a sign
// allowed, stops at the first non-digit); values beyond 32 bits are clamped.
Int32 TextToInteger(const void* text, std::size_t length, int base = 10);

// String conveniences over the functions above.
std::string IntegerText(Int32 value, bool separators = false);
std::string SizeText(Uint32 count, Uint32 flags = 0);
std::string SecondsText(Uint32 seconds);

// Plain-ASCII character classes; bytes 128-255 are in no class.
inline bool IsSpace(Uint8 c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool IsDigit(Uint8 c) { return c >= '0' && c <= '9'; }
inline bool IsLetter(Uint8 c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool IsPunctuation(Uint8 c) { return c > ' ' && c < 127 && !IsDigit(c) && !IsLetter(c); }
inline Uint8 ToLower(Uint8 c) { return (c >= 'A' && c <= 'Z') ? Uint8(c + 32) : c; }

// False when the lengths differ; otherwise byte by byte, ASCII case ignored unless caseSensitive.
bool Equal(const void* a, std::size_t lengthA, const void* b, std::size_t lengthB, bool caseSensitive);
inline bool Equal(std::string_view a, std::string_view b, bool caseSensitive = false) {
  return Equal(a.data(), a.size(), b.data(), b.size(), caseSensitive);
}
void MakeLowercase(void* text, std::size_t length);
// Replaces every byte that is not a letter, digit, punctuation or space (flag bit 0 set),
// or not one of those nor other white space (flag bit 0 clear). 128-255 always go.
enum : Uint32 { replaceWhiteSpace = 0x1 };
void ReplaceNonPrinting(void* text, std::size_t length, Uint8 replacement, Uint32 flags);
std::size_t TrimmedLength(const void* text, std::size_t length);
// The run of white space, or of non-white-space, around position (double-click selection).
bool FindWord(const void* text, std::size_t length, std::size_t position, std::size_t& start, std::size_t& runLength);

// Counted strings.
SCountedString ToCounted(std::string_view text);  // cut to 255 bytes
// Writes the length byte and text into dest (room for 1 + 255 bytes); returns the length.
std::size_t MakeCounted(void* dest, std::string_view text);
// The text of a counted string; a missing one is empty.
inline std::string_view CountedView(const void* counted) {
  if (!counted) return {};
  const auto* p = static_cast<const Uint8*>(counted);
  return {reinterpret_cast<const char*>(p + 1), p[0]};
}

// Mac OS Roman <-> UTF-8. Every byte 0-255 survives the round trip. Characters with no
// Mac OS Roman byte become a close ASCII letter where one exists, else the replacement;
// malformed UTF-8 gives one replacement per bad sequence.
std::string MacRomanToUtf8(std::string_view macRoman);
std::string Utf8ToMacRoman(std::string_view utf8, char replacement = '?');
// Strict form for trusted sources (resource manifests): false at the first character
// that has no Mac OS Roman byte or is malformed; badOffset tells where.
bool Utf8ToMacRomanStrict(std::string_view utf8, std::string& out, std::size_t* badOffset = nullptr);
// The Unicode code point of a Mac OS Roman byte.
char32_t MacRomanToUnicode(Uint8 byte);

}  // namespace UText

// Year, month (1-12), day (1-31), hour, minute, second, day of week (1-7, 7 Sunday).
struct SDateTime {
  Uint16 year = 0;
  Uint16 month = 1;
  Uint16 day = 1;
  Uint16 hour = 0;
  Uint16 minute = 0;
  Uint16 second = 0;
  Uint16 dayOfWeek = 0;
  Uint16 msecs = 0;

  bool operator==(const SDateTime&) const = default;
};

namespace UDateTime {

enum : Uint32 {
  dateShort = 0x01,      // the user's short date
  dateFixedLong = 0x02,  // "Sun, Dec 6, 2026" in every locale
  dateLong = 0x04,       // the user's long date
  timeShort = 0x08,      // time without seconds
  timeLong = 0x10,       // time with seconds
};

// Date and/or time text (flags above); the locale forms follow the process locale.
std::size_t DateToText(const SDateTime& date, void* buffer, std::size_t capacity, Uint32 flags);
// Writes nothing and returns 0 when the stamp cannot be converted.
std::size_t StampToText(const SDateStamp& stamp, void* buffer, std::size_t capacity, Uint32 flags);
std::string DateText(const SDateTime& date, Uint32 flags);
std::string StampText(const SDateStamp& stamp, Uint32 flags);

// Calendar record of a stamp: 1 January of its year plus its seconds and milliseconds.
// False when the result lies outside the years 1601-30827.
bool StampToDateTime(const SDateStamp& stamp, SDateTime& out);
// The stamp of a calendar record (fields must be in range; false otherwise).
bool DateTimeToStamp(const SDateTime& date, SDateStamp& out);
// Day of week (1-7, 7 Sunday) of a calendar date.
Uint16 DayOfWeek(int year, int month, int day);

// Seconds and milliseconds since the system started, through UClock.
Uint32 GetSeconds();
Uint32 GetMilliseconds();

}  // namespace UDateTime

}  // namespace cv
