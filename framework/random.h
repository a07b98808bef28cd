// The framework's shared pseudo-random generator and CRC-32. Both are fixed
// algorithms: peers that draw with the same seed get the same numbers (the
// whiteboard's spray relies on it), so they must not change.
#pragma once

#include <cstddef>

#include "framework/types.h"

namespace cv {

class URandom {
 public:
  explicit URandom(Int32 seed = 0) : state_(seed) {}

  // A value in min..max. A state of 0 is first seeded from the milliseconds since start.
  Int32 Draw(Int32 min, Int32 max);
  // The next raw state (state := state * 1103515245 + 12345 mod 2^32).
  Int32 Next();

  Int32 State() const { return state_; }
  void SetState(Int32 s) { state_ = s; }

  // The generator that a program shares when it has no reason for its own.
  static URandom& Shared();

 private:
  Int32 state_;
};

// CRC-32 with polynomial 0x04C11DB7, most significant bit first, no reflection and no
// final XOR; the caller gives the initial value.
Uint32 Crc32(const void* data, std::size_t size, Uint32 initial);

}  // namespace cv
