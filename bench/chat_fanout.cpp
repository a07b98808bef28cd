// Public chat fan-out: C clients (200) log in as guest, S of them (20) each send L chat
// lines (100), one every I ms (100), the senders evenly staggered; every line reaches
// every client. Each line carries its send time, so every delivery gives one latency
// sample. The default pace stays within what the server delivers, so the latency is
// that of a busy room rather than of a queue; --interval-ms 0 sends everything at once
// and shows the most the server fans out per second.
//
// Chat flood rule: a client may spend 10240 units per 60-second window and a line costs
// at least 90, so past about 113 lines a minute the server bans the sender. The line
// count per sender is capped to stay under that (lines here cost the minimum); to send
// more, add senders. Every client has its own address (see bench_server.h), so a ban
// would hit only its sender.
//
//   bench_chat_fanout [--clients C] [--senders S] [--lines L] [--interval-ms I]
#include <cinttypes>
#include <cstdio>

#include "bench/bench_server.h"

namespace {

constexpr long kMaxLinesPerSender = 100;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(cvbench::Clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t clients = std::size_t(std::max(1L, cvbench::Arg(argc, argv, "--clients", 200)));
  const std::size_t senders = std::min(clients, std::size_t(std::max(1L, cvbench::Arg(argc, argv, "--senders", 20))));
  long lines = cvbench::Arg(argc, argv, "--lines", 100);
  if (lines > kMaxLinesPerSender) {
    std::fprintf(stderr, "at most %ld lines per sender (chat flood limit); using that\n", kMaxLinesPerSender);
    lines = kMaxLinesPerSender;
  }
  lines = std::max(1L, lines);
  const double intervalMs = double(std::max(0L, cvbench::Arg(argc, argv, "--interval-ms", 100)));

  cvbench::RaiseDescriptorLimit();
  cvbench::TempFolder tmp;
  cvbench::ServerChild server;
  if (tmp.Path().empty() || !server.Start(tmp.Path() + "/srv")) {
    std::fprintf(stderr, "cannot start corvane-server\n");
    return 1;
  }
  cvbench::CClientSwarm swarm(server.Port());
  while (swarm.Size() < clients) {
    swarm.Open(std::min<std::size_t>(100, clients - swarm.Size()));
    if (!swarm.RunUntil([&] { return swarm.Settled(); }, 30000)) break;
  }
  swarm.RunUntilQuiet(300, 10000);
  if (swarm.CountIn(cvbench::SBenchClient::LoggedIn) != clients) {
    std::fprintf(stderr, "only %zu of %zu clients logged in\n", swarm.CountIn(cvbench::SBenchClient::LoggedIn),
                 clients);
    return 1;
  }

  std::vector<double> latencies;
  const std::size_t expected = clients * senders * std::size_t(lines);
  latencies.reserve(expected);
  std::size_t delivered = 0;
  std::int64_t lastDelivery = 0;
  swarm.onTransaction = [&](std::size_t, cv::SReceivedTransaction& t) {
    if (t.header.IsReply() || t.header.type != cv::trn::ChatMessage) return;
    cv::UFieldData f(std::move(t.data));
    cv::ByteView text = f.GetField(cv::fld::Data);
    std::string s(reinterpret_cast<const char*>(text.data()), text.size());
    const std::size_t at = s.find('@');
    if (at == std::string::npos) return;
    const std::int64_t now = NowNs();
    latencies.push_back(double(now - std::strtoll(s.c_str() + at + 1, nullptr, 10)) / 1e6);
    lastDelivery = now;
    ++delivered;
  };

  // Senders are spread over the crowd; each sends on its own schedule.
  const double serverCpu0 = cvbench::CpuSeconds(server.Pid());
  const double clientCpu0 = cvbench::CpuSeconds(::getpid());
  const auto start = cvbench::Clock::now();
  const std::int64_t startNs = NowNs();
  std::vector<long> sent(senders, 0);
  std::size_t sentTotal = 0;
  const std::size_t totalLines = senders * std::size_t(lines);
  swarm.RunUntil(
      [&] {
        const double t = cvbench::MsSince(start);
        for (std::size_t s = 0; s < senders; ++s) {
          // Staggered, so the lines arrive evenly rather than in bursts of one per sender.
          const double offset = intervalMs * double(s) / double(senders);
          while (sent[s] < lines && double(sent[s]) * intervalMs + offset <= t) {
            const std::size_t client = s * (clients / senders);
            cv::UFieldData f;
            f.AddText(cv::fld::Data,
                      "s" + std::to_string(s) + " n" + std::to_string(sent[s]) + " @" + std::to_string(NowNs()));
            swarm.Send(client, cv::trn::SendChat, f);
            ++sent[s];
            ++sentTotal;
          }
        }
        return sentTotal == totalLines && delivered >= expected;
      },
      double(lines) * intervalMs + 30000);

  const double serverCpu = cvbench::CpuSeconds(server.Pid()) - serverCpu0;
  const double clientCpu = cvbench::CpuSeconds(::getpid()) - clientCpu0;
  const double seconds = double(lastDelivery - startNs) / 1e9;
  std::printf("chat_fanout: %zu clients, %zu senders x %ld lines every %.0f ms\n", clients, senders, lines, intervalMs);
  std::printf("  delivered %zu of %zu chat lines in %.3f s: %.0f lines delivered/s\n", delivered, expected, seconds,
              seconds > 0 ? double(delivered) / seconds : 0.0);
  std::printf("  delivery latency: median %.2f ms, p99 %.2f ms, max %.2f ms\n", cvbench::Percentile(latencies, 50),
              cvbench::Percentile(latencies, 99), cvbench::Percentile(latencies, 100));
  std::printf("  CPU used meanwhile: server %.2f s (%.0f deliveries per server CPU second), clients %.2f s\n",
              serverCpu, serverCpu > 0 ? double(delivered) / serverCpu : 0.0, clientCpu);
  return delivered == expected ? 0 : 1;
}
