// The framework formatter against snprintf on the same templates.
#include <chrono>
#include <cstdio>

#include "framework/text.h"

using namespace cv;

namespace {

template <typename F>
double NanosPerCall(F&& f, int rounds) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  for (int i = 0; i < rounds; ++i) f(i);
  return std::chrono::duration<double, std::nano>(clock::now() - start).count() / rounds;
}

volatile std::size_t gSink;

}  // namespace

int main() {
  constexpr int kRounds = 2000000;
  char buf[256];
  struct Case {
    const char* name;
    double ours, theirs;
  } cases[4];

  // Through a volatile pointer so that the compiler cannot turn snprintf into a copy.
  const char* volatile plain = "Welcome to the server";
  cases[0] = {"plain text", NanosPerCall([&](int) { gSink = UText::Format(buf, sizeof buf, plain); }, kRounds),
              NanosPerCall([&](int) { gSink = std::snprintf(buf, sizeof buf, plain, 0); }, kRounds)};
  cases[1] = {"integers %d %5u %#x",
              NanosPerCall([&](int i) { gSink = UText::Format(buf, sizeof buf, "%d %5u %#x", i, i * 7, i); }, kRounds),
              NanosPerCall([&](int i) { gSink = std::snprintf(buf, sizeof buf, "%d %5u %#x", i, i * 7, i); }, kRounds)};
  cases[2] = {"log line %s %-12s %05d",
              NanosPerCall(
                  [&](int i) {
                    gSink = UText::Format(buf, sizeof buf, "%s: user %-12s logged in (%05d)", "Connect", "alice", i);
                  },
                  kRounds),
              NanosPerCall(
                  [&](int i) {
                    gSink = std::snprintf(buf, sizeof buf, "%s: user %-12s logged in (%05d)", "Connect", "alice", i);
                  },
                  kRounds)};
  cases[3] = {"id text %hi/%hi [%li] @ %s #%lu",
              NanosPerCall(
                  [&](int i) {
                    gSink = UText::Format(buf, sizeof buf, "ID %hi/%hi [%li] @ %s #%lu", 8, 104, i, "UTransport", 120u);
                  },
                  kRounds),
              NanosPerCall(
                  [&](int i) {
                    gSink = std::snprintf(buf, sizeof buf, "ID %hi/%hi [%li] @ %s #%lu", short(8), short(104), long(i),
                                          "UTransport", 120ul);
                  },
                  kRounds)};

  std::printf("%-34s %12s %12s %8s\n", "template", "Format ns", "snprintf ns", "ratio");
  for (const auto& c : cases) std::printf("%-34s %12.1f %12.1f %8.2f\n", c.name, c.ours, c.theirs, c.ours / c.theirs);
  std::printf("(ratio = Format time / snprintf time; below 1 means Format is faster)\n");
  return 0;
}
