// Fixed-form numbers, sizes, durations, parsing, comparison and counted strings.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "framework/text.h"

namespace cv::UText {

std::size_t IntegerToText(void* buffer, std::size_t capacity, Int32 value, bool separators) {
  if (!buffer || !capacity) return 0;
  char tmp[16];
  int n = 0;
  Uint32 mag = value < 0 ? Uint32(0) - Uint32(value) : Uint32(value);
  int digits = 0;
  do {
    if (separators && digits && digits % 3 == 0) tmp[n++] = ',';
    tmp[n++] = char('0' + mag % 10);
    mag /= 10;
    ++digits;
  } while (mag);
  if (value < 0) tmp[n++] = '-';
  auto* out = static_cast<char*>(buffer);
  std::size_t len = 0;
  while (n > 0 && len < capacity) out[len++] = tmp[--n];
  return len;
}

std::size_t SizeToText(Uint32 count, void* buffer, std::size_t capacity, Uint32 flags) {
  constexpr Uint32 K = 1024, M = 1048576;
  if (count == 0) return Format(buffer, capacity, "0K");
  if (count < K) {
    if (flags & sizeLessThan1K) return Format(buffer, capacity, "<1K");
    return Format(buffer, capacity, "%lu", count);
  }
  if (count < M) {
    // The true tenth, truncated: 1,536 bytes are 1.5K, not 1.4K.
    const Uint32 tenth = Uint32(Uint64(count % K) * 10 / K);
    if ((flags & sizeTenthsOfK) && count < 10 * K && tenth)
      return Format(buffer, capacity, "%lu.%luK", count / K, tenth);
    return Format(buffer, capacity, "%luK", count / K);
  }
  const Uint32 tenth = Uint32(Uint64(count % M) * 10 / M);
  if (tenth) return Format(buffer, capacity, "%lu.%luM", count / M, tenth);
  return Format(buffer, capacity, "%luM", count / M);
}

std::size_t SecondsToText(Uint32 seconds, void* buffer, std::size_t capacity) {
  const Uint32 days = seconds / 86400, hours = seconds / 3600 % 24, minutes = seconds / 60 % 60, secs = seconds % 60;
  if (days) return Format(buffer, capacity, "%lu:%.2lu:%.2lu:%.2lu", days, hours, minutes, secs);
  if (hours) return Format(buffer, capacity, "%lu:%.2lu:%.2lu", hours, minutes, secs);
  return Format(buffer, capacity, "%lu:%.2lu", minutes, secs);
}

Int32 TextToInteger(const void* text, std::size_t length, int base) {
  if (!text || (base != 0 && (base < 2 || base > 36))) return 0;
  char tmp[64];
  if (length > 63) length = 63;
  std::memcpy(tmp, text, length);
  tmp[length] = 0;
  const long long v = std::strtoll(tmp, nullptr, base);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return Int32(v);
}

std::string IntegerText(Int32 value, bool separators) {
  char buf[16];
  return std::string(buf, IntegerToText(buf, sizeof buf, value, separators));
}

std::string SizeText(Uint32 count, Uint32 flags) {
  char buf[32];
  return std::string(buf, SizeToText(count, buf, sizeof buf, flags));
}

std::string SecondsText(Uint32 seconds) {
  char buf[32];
  return std::string(buf, SecondsToText(seconds, buf, sizeof buf));
}

bool Equal(const void* a, std::size_t lengthA, const void* b, std::size_t lengthB, bool caseSensitive) {
  if (lengthA != lengthB) return false;
  if (lengthA == 0) return true;
  if (!a || !b) return false;
  if (caseSensitive) return std::memcmp(a, b, lengthA) == 0;
  const auto* pa = static_cast<const Uint8*>(a);
  const auto* pb = static_cast<const Uint8*>(b);
  for (std::size_t i = 0; i < lengthA; ++i)
    if (ToLower(pa[i]) != ToLower(pb[i])) return false;
  return true;
}

void MakeLowercase(void* text, std::size_t length) {
  if (!text) return;
  auto* p = static_cast<Uint8*>(text);
  for (std::size_t i = 0; i < length; ++i) p[i] = ToLower(p[i]);
}

void ReplaceNonPrinting(void* text, std::size_t length, Uint8 replacement, Uint32 flags) {
  if (!text) return;
  auto* p = static_cast<Uint8*>(text);
  const bool spaceOnly = (flags & replaceWhiteSpace) != 0;
  for (std::size_t i = 0; i < length; ++i) {
    const Uint8 c = p[i];
    const bool keep = IsLetter(c) || IsDigit(c) || IsPunctuation(c) || c == ' ' || (!spaceOnly && IsSpace(c));
    if (!keep) p[i] = replacement;
  }
}

std::size_t TrimmedLength(const void* text, std::size_t length) {
  if (!text) return 0;
  const auto* p = static_cast<const Uint8*>(text);
  while (length && IsSpace(p[length - 1])) --length;
  return length;
}

bool FindWord(const void* text, std::size_t length, std::size_t position, std::size_t& start, std::size_t& runLength) {
  start = runLength = 0;
  if (!text || position >= length) return false;
  const auto* p = static_cast<const Uint8*>(text);
  const bool white = IsSpace(p[position]);
  std::size_t b = position, e = position + 1;
  while (b > 0 && IsSpace(p[b - 1]) == white) --b;
  while (e < length && IsSpace(p[e]) == white) ++e;
  start = b;
  runLength = e - b;
  return true;
}

SCountedString ToCounted(std::string_view text) {
  SCountedString s;
  MakeCounted(s.bytes, text);
  return s;
}

std::size_t MakeCounted(void* dest, std::string_view text) {
  if (!dest) return 0;
  const std::size_t n = text.size() > 255 ? 255 : text.size();
  auto* p = static_cast<Uint8*>(dest);
  p[0] = Uint8(n);
  if (n) std::memcpy(p + 1, text.data(), n);
  return n;
}

}  // namespace cv::UText
