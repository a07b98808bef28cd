// Logins per second: N clients (500 by default) connect to a fresh corvane-server at
// once, each from its own loopback address (see bench_server.h), run the handshake and
// log in as guest. Every arrival is announced to those already logged in, so the cost
// grows with the crowd; the clients read all of it.
//
// The server's listen queue holds 128, so some of 500 simultaneous connects are dropped
// by the kernel and retried a second later; --batch B opens B at a time instead (each
// batch once the previous one has logged in) to show the rate without those retries.
//
//   bench_server_logins [--clients N] [--batch B] [--timeout-ms T]
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
  const double serverCpu0 = cvbench::CpuSeconds(server.Pid());
  const auto start = cvbench::Clock::now();
  const std::size_t batch = std::size_t(std::max(0L, cvbench::Arg(argc, argv, "--batch", 0)));
  bool settled = true;
  while (settled && swarm.Size() < clients) {
    swarm.Open(batch == 0 ? clients : std::min(batch, clients - swarm.Size()));
    settled = swarm.RunUntil([&] { return swarm.Settled(); }, timeoutMs - cvbench::MsSince(start));
  }
  const double elapsed = cvbench::MsSince(start);

  const double serverCpu = cvbench::CpuSeconds(server.Pid()) - serverCpu0;
  std::vector<double> times, connects;
  for (std::size_t i = 0; i < swarm.Size(); ++i)
    if (swarm.Client(i).state == cvbench::SBenchClient::LoggedIn) {
      times.push_back(swarm.Client(i).loginMs);
      connects.push_back(swarm.Client(i).connectMs);
    }
  const std::size_t ok = times.size();
  std::printf("server_logins: %zu clients, %zu logged in, %zu failed%s\n", clients, ok,
              swarm.CountIn(cvbench::SBenchClient::Failed), settled ? "" : " (timed out)");
  std::printf("  all done in %.1f ms: %.0f logins/s\n", elapsed, elapsed > 0 ? double(ok) * 1000.0 / elapsed : 0.0);
  std::printf("  connect-to-login time: median %.1f ms, p99 %.1f ms, max %.1f ms\n", cvbench::Percentile(times, 50),
              cvbench::Percentile(times, 99), cvbench::Percentile(times, 100));
  // A connect near 1 s or more waited for a SYN retransmission: the listen queue was full.
  const auto slow = std::count_if(connects.begin(), connects.end(), [](double ms) { return ms >= 900; });
  std::printf("  TCP connect time: median %.1f ms, p99 %.1f ms; %ld connects waited for a retry\n",
              cvbench::Percentile(connects, 50), cvbench::Percentile(connects, 99), long(slow));
  // On a shared machine the wall-clock rate depends on the neighbours; this does less.
  std::printf("  server CPU meanwhile: %.2f s (%.0f logins per server CPU second)\n", serverCpu,
              serverCpu > 0 ? double(ok) / serverCpu : 0.0);
  std::printf("  bytes received by the clients: %zu\n", swarm.BytesIn());
  return ok == clients ? 0 : 1;
}
