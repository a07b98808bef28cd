// Resident memory per idle logged-in client: VmRSS of a fresh corvane-server child
// process before and after N clients (1,000 by default) logged in as guest, each from
// its own loopback address (see bench_server.h). The "after" figure is read once the
// arrival announcements have all been delivered and the traffic has stopped, so
// transient send queues are not counted.
//
//   bench_server_memory [--clients N] [--timeout-ms T]
#include <cstdio>

#include "bench/bench_server.h"

int main(int argc, char** argv) {
  const std::size_t clients = std::size_t(std::max(1L, cvbench::Arg(argc, argv, "--clients", 1000)));
  const double timeoutMs = double(cvbench::Arg(argc, argv, "--timeout-ms", 50000));
  cvbench::RaiseDescriptorLimit();
  cvbench::TempFolder tmp;
  cvbench::ServerChild server;
  if (tmp.Path().empty() || !server.Start(tmp.Path() + "/srv")) {
    std::fprintf(stderr, "cannot start corvane-server\n");
    return 1;
  }
  // Let the fresh process finish whatever its first seconds bring.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long before = cvbench::ResidentKiB(server.Pid());

  cvbench::CClientSwarm swarm(server.Port());
  // In batches, so the listen queue never overflows and no connect waits for a retry.
  const std::size_t batch = 100;
  bool settled = true;
  while (swarm.Size() < clients && settled) {
    swarm.Open(std::min(batch, clients - swarm.Size()));
    settled = swarm.RunUntil([&] { return swarm.Settled(); }, timeoutMs);
  }
  swarm.RunUntilQuiet(500, 10000);
  const long after = cvbench::ResidentKiB(server.Pid());
  const std::size_t ok = swarm.CountIn(cvbench::SBenchClient::LoggedIn);

  std::printf("server_memory: %zu clients, %zu logged in%s\n", clients, ok, settled ? "" : " (timed out)");
  std::printf("  server VmRSS before %ld KiB, after %ld KiB\n", before, after);
  if (ok > 0 && before > 0 && after > 0)
    std::printf("  %.2f KiB per logged-in client (goal under 16)\n", double(after - before) / double(ok));
  return ok == clients ? 0 : 1;
}
