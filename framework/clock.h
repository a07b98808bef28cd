// The framework's milliseconds clock. Everything that times out (idle users, retries,
// timers) reads this clock, so tests can move time forward without sleeping.
#pragma once

#include <cstdint>
#include <functional>

namespace cv {

namespace UClock {

// Milliseconds on a steady clock (never goes back), plus any test offset.
std::int64_t Milliseconds();

// Moves the clock forward (or back) by ms for everything that reads it. Tests only.
void Advance(std::int64_t ms);
// Sets the total offset added to the steady clock. Tests only.
void SetTestOffset(std::int64_t ms);
std::int64_t TestOffset();

// Replaces the time source entirely (nullptr restores the steady clock).
// The offset still applies on top of the installed source.
using Source = std::function<std::int64_t()>;
void SetSource(Source source);

}  // namespace UClock

}  // namespace cv
