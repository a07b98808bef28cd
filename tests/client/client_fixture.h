// One client application with recording views and the news service, as a front end
// would compose it, plus the helpers the client tests share.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "client/application.h"
#include "client/news.h"
#include "framework/clock.h"
#include "framework/events.h"
#include "framework/transport.h"
#include "recording_views.h"
#include "tests/server/temp_folder.h"

namespace cvtest {

inline cv::client::SMyClientSettings ClientSettings(const std::string& folder) {
  cv::client::SMyClientSettings s;
  s.folder = folder;
  s.resourceFolder = CORVANE_BIN_DIR;
  return s;
}

class TestClientApp {
 public:
  static constexpr int kWaitMs = 5000;

  explicit TestClientApp(const std::string& folder, bool start = true)
      : app(ClientSettings(folder), views.Core()), news(app, newsView) {
    if (start) app.Start();
  }

  bool WaitFor(const std::function<bool()>& done, int ms = kWaitMs) { return cv::UEventLoop::RunUntilFor(done, ms); }
  // Connects and waits until the login and news tasks have finished (or failed).
  bool ConnectAndWait(const std::string& server, const std::string& login = "", const std::string& password = "") {
    app.ConnectTo(server, login, password);
    return WaitFor([&] { return app.IsConnected() && AllTasksFinished(); });
  }
  bool AllTasksFinished() const {
    for (cv::client::CMyTask* t : app.Tasks())
      if (!t->IsFinished()) return false;
    return true;
  }

  ClientViews views;
  RecordingNews newsView;
  cv::client::CMyApplication app;
  cv::client::CMyNewsClient news;
};

// A free loopback port with nothing listening on it (taken and let go).
inline cv::Uint16 UnusedPort() {
  cv::TransportPtr t(cv::UTransport::New(cv::kTransportTCP));
  cv::SInternetAddress any = cv::SInternetAddress::Any(0);
  cv::UTransport::Listen(t.get(), &any, sizeof any);
  return cv::UTransport::GetLocalAddress(t.get()).port;
}

inline std::string Loopback(cv::Uint16 port) { return "127.0.0.1:" + std::to_string(port); }

// A clock that only Advance moves, for deadlines.
class FrozenClock {
 public:
  FrozenClock() {
    const std::int64_t base = cv::UClock::Milliseconds();
    cv::UClock::SetSource([base] { return base; });
  }
  ~FrozenClock() { cv::UClock::SetSource(nullptr); }
};

}  // namespace cvtest
