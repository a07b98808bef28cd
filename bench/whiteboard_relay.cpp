// Drawing messages relayed per second from one guest through the host to three other
// guests, all four copies on this thread's event loop over loopback; and the time to
// render 10,000 spray strokes into a board.
// Usage: bench_whiteboard_relay [messages]  (default 20000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/events.h"
#include "framework/transport.h"
#include "whiteboard/whiteboard.h"

using namespace cv;
using namespace cv::pw;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Counts the drawings a copy applies; everything else a window would show is dropped.
struct SCounter : IMyBoardWindow {
  std::size_t changes = 0;
  void BoardChanged(const SArea&) override { ++changes; }
  void ShowStatus(Uint16) override {}
  void ShowLocalAddress(const Bytes&) override {}
  void UsersChanged(const std::vector<SMyUser>&) override {}
};

struct SCopy {
  SCounter counter;
  std::unique_ptr<CMyWhiteboard> wb;
  explicit SCopy(const char* name) {
    SMyPrefs prefs;
    prefs.name = Bytes(reinterpret_cast<const Uint8*>(name), std::strlen(name));
    prefs.playSounds = false;
    wb = std::make_unique<CMyWhiteboard>(SMyViews{&counter, nullptr, nullptr, nullptr}, prefs, 0);
    wb->Start();
  }
};

SDrawing LineOf(std::size_t i) {
  SDrawing d;
  d.type = kLine;
  d.penSize = 1;
  d.colour = {Uint8(i), 40, 90};
  d.x1 = Int16(i % 400), d.y1 = 10, d.x2 = Int16((i * 7) % 400), d.y2 = 30;
  return d;
}

// Returns messages per second delivered to each receiving guest, or a negative value
// when the session could not be set up or the messages did not all arrive in time.
double RelayRate(std::size_t total) {
  SCopy host("Host");
  std::vector<std::unique_ptr<SCopy>> guests;
  for (const char* n : {"Sender", "G1", "G2", "G3"}) {
    guests.push_back(std::make_unique<SCopy>(n));
    guests.back()->wb->SetConnectPort(host.wb->ListeningPort());
    guests.back()->wb->Connect("127.0.0.1");
  }
  const bool up = UEventLoop::RunUntilFor(
      [&] {
        if (host.wb->Users().size() != 5) return false;
        for (auto& g : guests)
          if (g->wb->Users().size() != 5) return false;
        return true;
      },
      10000);
  if (!up) return -1;

  SCopy& sender = *guests[0];
  std::vector<std::size_t> base;
  for (auto& g : guests) base.push_back(g->counter.changes);
  auto arrivedAtAll = [&](std::size_t n) {
    for (std::size_t i = 1; i < guests.size(); ++i)
      if (guests[i]->counter.changes - base[i] < n) return false;
    return true;
  };

  // Sent in batches so the send queues stay bounded; each batch waits for the last
  // receiver to catch up before the next goes out.
  constexpr std::size_t kBatch = 500;
  const auto start = std::chrono::steady_clock::now();
  std::size_t sent = 0;
  while (sent < total) {
    const std::size_t n = std::min(kBatch, total - sent);
    for (std::size_t i = 0; i < n; ++i) sender.wb->Draw(LineOf(sent + i));
    sent += n;
    if (!UEventLoop::RunUntilFor([&] { return arrivedAtAll(sent); }, 10000)) return -2;
  }
  const double s = Seconds(start);
  if (!(host.wb->Board() == sender.wb->Board()) || !(guests[1]->wb->Board() == sender.wb->Board())) return -3;
  std::printf("relay: %zu messages from one guest to 3 others via the host in %.3f s\n", total, s);

  for (auto& g : guests) g->wb->Shutdown();
  host.wb->Shutdown();
  UEventLoop::RunUntilIdle();
  return double(total) / s;
}

double SprayRender(std::size_t strokes) {
  CMyBoard board;
  SDrawing d;
  d.type = kSpray;
  d.colour = {30, 120, 200};
  d.radius = 10;
  d.flow = 10;
  for (int i = 0; i < 20; ++i) d.points.push_back({Int16(20 + i * 15), Int16(200 + (i % 5) * 9)});
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < strokes; ++i) {
    d.seed = Uint32(i * 2654435761u);
    board.Apply(d);
  }
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t total = 20000;
  if (argc > 1) {
    const long v = std::strtol(argv[1], nullptr, 10);
    if (v <= 0 || v > 10000000) {
      std::fprintf(stderr, "usage: %s [messages, 1 to 10000000]\n", argv[0]);
      return 2;
    }
    total = std::size_t(v);
  }
  UTransport::Init();
  const double rate = RelayRate(total);
  if (rate < 0) {
    std::fprintf(stderr, "relay failed (%.0f)\n", rate);
    return 1;
  }
  std::printf("relay: %.0f messages/s delivered to each of 3 guests (%.0f frames/s out of the host)\n", rate, rate * 3);
  UMessageSys::Clear();

  constexpr std::size_t kStrokes = 10000;
  const double s = SprayRender(kStrokes);
  std::printf("spray: %zu strokes (20 points, radius 10, flow 10) rendered in %.3f s, %.1f us each\n", kStrokes, s,
              s * 1e6 / double(kStrokes));
  return 0;
}
