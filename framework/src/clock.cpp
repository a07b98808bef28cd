#include "framework/clock.h"

#include <atomic>
#include <chrono>
#include <mutex>

namespace cv::UClock {

namespace {

std::atomic<std::int64_t> gOffset{0};
std::atomic<bool> gHasSource{false};
std::mutex gSourceLock;
Source gSource;

std::int64_t SteadyMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::int64_t Milliseconds() {
  std::int64_t base;
  if (gHasSource.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(gSourceLock);
    base = gSource ? gSource() : SteadyMilliseconds();
  } else {
    base = SteadyMilliseconds();
  }
  return base + gOffset.load(std::memory_order_relaxed);
}

void Advance(std::int64_t ms) { gOffset.fetch_add(ms, std::memory_order_relaxed); }
void SetTestOffset(std::int64_t ms) { gOffset.store(ms, std::memory_order_relaxed); }
std::int64_t TestOffset() { return gOffset.load(std::memory_order_relaxed); }

void SetSource(Source source) {
  std::lock_guard<std::mutex> lock(gSourceLock);
  gSource = std::move(source);
  gHasSource.store(static_cast<bool>(gSource), std::memory_order_release);
}

}  // namespace cv::UClock
