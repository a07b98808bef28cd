// Logins per second: N clients (500 by default) connect to a fresh corvane-server at
// once, each from its own loopback address (see bench_server.h), run the handshake and
// log in as guest. Every arrival is announced to those already logged in, so the cost
// grows with the crowd; the clients read all of it.
//
//   bench_server_logins [--clients N] [--timeout-ms T]
#include <cstdio>

#include "bench/bench_server.h"

int main(int argc, char** argv) {
  const std::size_t clients = std::size_t(std::max(1L, cvbench::Arg(argc, argv, "--clients", 500)));
  const double timeoutMs = double(cvbench::Arg(argc, argv, "--timeout-ms", 50000));
  cvbench::RaiseDescriptorLimit();
  cvbench::TempFolder tmp;
  cvbench::ServerChild server;
  if (tmp.Path().empty() || !server.Start(tmp.Path() + "/srv")) {
    std::fprintf(stderr, "cannot start corvane-server\n");
    return 1;
  }
  cvbench::CClientSwarm swarm(server.Port());
  const auto start = cvbench::Clock::now();
  swarm.Open(clients);
  const bool settled = swarm.RunUntil([&] { return swarm.Settled(); }, timeoutMs);
  const double elapsed = cvbench::MsSince(start);

  std::vector<double> times;
  for (std::size_t i = 0; i < swarm.Size(); ++i)
    if (swarm.Client(i).state == cvbench::SBenchClient::LoggedIn) times.push_back(swarm.Client(i).loginMs);
  const std::size_t ok = times.size();
  std::printf("server_logins: %zu clients, %zu logged in, %zu failed%s\n", clients, ok,
              swarm.CountIn(cvbench::SBenchClient::Failed), settled ? "" : " (timed out)");
  std::printf("  all done in %.1f ms: %.0f logins/s\n", elapsed, elapsed > 0 ? double(ok) * 1000.0 / elapsed : 0.0);
  std::printf("  connect-to-login time: median %.1f ms, p99 %.1f ms, max %.1f ms\n", cvbench::Percentile(times, 50),
              cvbench::Percentile(times, 99), cvbench::Percentile(times, 100));
  std::printf("  bytes received by the clients: %zu\n", swarm.BytesIn());
  return ok == clients ? 0 : 1;
}
