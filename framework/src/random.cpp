#include "framework/random.h"

#include <array>
#include <chrono>

namespace cv {

namespace {

Uint32 MillisecondsSinceStart() {
  using namespace std::chrono;
  return Uint32(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

constexpr std::array<Uint32, 256> MakeCrcTable() {
  std::array<Uint32, 256> t{};
  for (Uint32 i = 0; i < 256; ++i) {
    Uint32 c = i << 24;
    for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
    t[i] = c;
  }
  return t;
}
constexpr auto kCrcTable = MakeCrcTable();

}  // namespace

Int32 URandom::Next() {
  if (state_ == 0) state_ = Int32(MillisecondsSinceStart());
  state_ = Int32(Uint32(state_) * 1103515245u + 12345u);
  return state_;
}

Int32 URandom::Draw(Int32 min, Int32 max) {
  const double s = double(Next());
  const double v = double(min) + ((s + 2147483647.0) / 4294967295.0) * (double(max) + 1.0 - double(min));
  // The state -2^31 would land one below min; keep every draw inside the range.
  if (v < double(min)) return min;
  if (v > double(max)) return max;
  return Int32(v);  // truncation toward zero
}

URandom& URandom::Shared() {
  static URandom r;
  return r;
}

Uint32 Crc32(const void* data, std::size_t size, Uint32 crc) {
  const auto* p = static_cast<const Uint8*>(data);
  for (std::size_t i = 0; i < size; ++i) crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ p[i]) & 0xFF];
  return crc;
}

}  // namespace cv
