// corvane-tracker: lists the servers that announce themselves to it.
#include <cstdio>
#include <cstring>

#include "framework/events.h"
#include "tracker/tracker.h"

namespace {

class CMyTrackerApp : public cv::CApplication {};

}  // namespace

int main(int argc, char** argv) {
  cv::STrackerOptions options;
  std::string error;
  if (!cv::ParseTrackerOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "corvane-tracker: %s\n%s", error.c_str(), cv::TrackerUsage().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(cv::TrackerUsage().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("corvane-tracker %s\n", CORVANE_VERSION);
    return 0;
  }

  CMyTrackerApp app;
  cv::CTrackerService service;
  try {
    service.Start(options);
  } catch (const cv::SError& e) {
    std::fprintf(stderr, "corvane-tracker: cannot listen on %s (error %d/%d%s%s)\n", options.bind.c_str(), e.errClass,
                 e.id, e.systemCode ? ", " : "", e.systemCode ? std::strerror(e.systemCode) : "");
    return 1;
  }
  // Tests and scripts read the ports from this line, so it goes out at once.
  std::printf("corvane-tracker: registrations on %s:%u (UDP), listings on %s:%u (TCP)\n", options.bind.c_str(),
              service.RegistrationPort(), options.bind.c_str(), service.ListingPort());
  std::fflush(stdout);

  cv::UEventLoop::WatchSignals();
  app.Run();
  cv::UEventLoop::StopWatchingSignals();
  service.Stop();
  return 0;
}
