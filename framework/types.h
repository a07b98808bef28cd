// Small shared types: fixed-width integers, big-endian byte access, four-character
// codes and the date stamp. Everything on the wire and on disk is big-endian.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace cv {

using Uint8 = std::uint8_t;
using Uint16 = std::uint16_t;
using Uint32 = std::uint32_t;
using Uint64 = std::uint64_t;
using Int8 = std::int8_t;
using Int16 = std::int16_t;
using Int32 = std::int32_t;
using Int64 = std::int64_t;
using Bytes = std::basic_string<Uint8>;
using ByteView = std::span<const Uint8>;

// Big-endian reads from raw memory; the caller has checked the length.
inline Uint16 ReadU16(const void* p) {
  const auto* b = static_cast<const Uint8*>(p);
  return static_cast<Uint16>((b[0] << 8) | b[1]);
}
inline Uint32 ReadU32(const void* p) {
  const auto* b = static_cast<const Uint8*>(p);
  return (Uint32(b[0]) << 24) | (Uint32(b[1]) << 16) | (Uint32(b[2]) << 8) | Uint32(b[3]);
}
inline Uint64 ReadU64(const void* p) {
  const auto* b = static_cast<const Uint8*>(p);
  return (Uint64(ReadU32(b)) << 32) | ReadU32(b + 4);
}
inline void WriteU16(void* p, Uint16 v) {
  auto* b = static_cast<Uint8*>(p);
  b[0] = Uint8(v >> 8);
  b[1] = Uint8(v);
}
inline void WriteU32(void* p, Uint32 v) {
  auto* b = static_cast<Uint8*>(p);
  b[0] = Uint8(v >> 24);
  b[1] = Uint8(v >> 16);
  b[2] = Uint8(v >> 8);
  b[3] = Uint8(v);
}
inline void WriteU64(void* p, Uint64 v) {
  auto* b = static_cast<Uint8*>(p);
  WriteU32(b, Uint32(v >> 32));
  WriteU32(b + 4, Uint32(v));
}

// Appending big-endian values to a growing byte string.
inline void AppendU8(Bytes& out, Uint8 v) { out.push_back(v); }
inline void AppendU16(Bytes& out, Uint16 v) {
  Uint8 b[2];
  WriteU16(b, v);
  out.append(b, 2);
}
inline void AppendU32(Bytes& out, Uint32 v) {
  Uint8 b[4];
  WriteU32(b, v);
  out.append(b, 4);
}
inline void AppendBytes(Bytes& out, const void* p, std::size_t n) { out.append(static_cast<const Uint8*>(p), n); }
// A counted string: one length byte and the bytes, cut to 255.
inline void AppendCounted(Bytes& out, const void* p, std::size_t n) {
  if (n > 255) n = 255;
  out.push_back(Uint8(n));
  AppendBytes(out, p, n);
}
inline void AppendCounted(Bytes& out, std::string_view text) { AppendCounted(out, text.data(), text.size()); }

// A record of N bytes that may arrive in pieces of any size (handshakes, headers).
template <std::size_t N>
class TFixedRecord {
 public:
  // Takes at most the bytes still missing; returns how many it took.
  std::size_t Feed(ByteView bytes) {
    const std::size_t n = std::min(N - have_, bytes.size());
    if (n) std::memcpy(buf_.data() + have_, bytes.data(), n);
    have_ += n;
    return n;
  }
  bool Complete() const { return have_ == N; }
  std::size_t Missing() const { return N - have_; }
  const Uint8* Data() const { return buf_.data(); }
  ByteView View() const { return ByteView(buf_.data(), N); }

 private:
  std::array<Uint8, N> buf_{};
  std::size_t have_ = 0;
};

// Four-character code, most significant byte first: FourCC("TRTP").
constexpr Uint32 FourCC(const char (&s)[5]) {
  return (Uint32(Uint8(s[0])) << 24) | (Uint32(Uint8(s[1])) << 16) | (Uint32(Uint8(s[2])) << 8) | Uint32(Uint8(s[3]));
}
inline std::string FourCCText(Uint32 code) {
  return std::string{char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

// Date stamp as the protocols and files carry it: year, milliseconds, seconds since
// 1 January 00:00:00 of that year.
struct SDateStamp {
  Uint16 year = 0;
  Uint16 msecs = 0;
  Uint32 seconds = 0;

  bool operator==(const SDateStamp&) const = default;
};

inline void WriteStamp(void* p, const SDateStamp& s) {
  auto* b = static_cast<Uint8*>(p);
  WriteU16(b, s.year);
  WriteU16(b + 2, s.msecs);
  WriteU32(b + 4, s.seconds);
}
inline SDateStamp ReadStamp(const void* p) {
  const auto* b = static_cast<const Uint8*>(p);
  return SDateStamp{ReadU16(b), ReadU16(b + 2), ReadU32(b + 4)};
}

}  // namespace cv

namespace cv {

// Date stamp <-> seconds since 1970-01-01 00:00:00 UTC (the stamp in universal time).
SDateStamp StampFromUnix(Int64 unixSeconds, Uint16 msecs = 0);
// Returns false when the stamp cannot be converted (seconds beyond the year's end).
bool StampToUnix(const SDateStamp& stamp, Int64& unixSeconds);
// The current time as a stamp in universal time.
SDateStamp StampNow();

}  // namespace cv
