// Download throughput of the real server over loopback, against the same bytes copied
// over a plain loopback TCP connection by blocking send/recv.
//
//   bench_transfer_download [--mib 1024] [--clients 8]
//
// One guest downloads the file alone, then --clients guests download it at once. The
// plain copy reads the same file with pread and sends it, so both sides pay for the
// file reads; the memory-only copy is printed as well. Server CPU is the child's
// utime+stime over each download run, per GiB sent.
#include <array>
#include <atomic>
#include <optional>

#include "bench_server.h"
#include "protocol/transfer.h"

namespace {

using namespace cvbench;

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
constexpr std::size_t kChunk = 1 << 20;
constexpr const char* kFileName = "bench.bin";

// Each blocking call gives up after this long, so a stuck run ends by itself.
void SetTimeouts(int fd, int seconds) {
  timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool WriteFile(const std::string& path, std::uint64_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::vector<char> buf(kChunk);
  cv::Uint32 x = 12345;
  for (char& c : buf) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 24);
  }
  bool ok = true;
  for (std::uint64_t at = 0; ok && at < size; at += kChunk) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(kChunk, size - at));
    ok = std::fwrite(buf.data(), 1, n, f) == n;
  }
  return std::fclose(f) == 0 && ok;
}

// Reads until want bytes came; the count that arrived.
std::uint64_t Drain(int fd, std::uint64_t want) {
  std::vector<char> buf(kChunk);
  std::uint64_t got = 0;
  while (got < want) {
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    got += std::uint64_t(n);
  }
  return got;
}

// Plain copies: pairs loopback connections, each sending size bytes (from the file, or
// from one memory buffer) with blocking send while a thread receives. Seconds taken, or
// a negative number when some copy came short.
double PlainCopy(const std::string& path, std::uint64_t size, std::size_t pairs, bool fromFile) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 64) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(listener);
    return -1;
  }
  std::vector<std::array<int, 2>> fds(pairs, {-1, -1});
  for (auto& p : fds) {
    p[0] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(p[0], reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) continue;
    p[1] = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    SetTimeouts(p[0], 20);
    SetTimeouts(p[1], 20);
  }
  ::close(listener);
  std::atomic<bool> ok{true};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (auto& p : fds) {
    const int out = p[0], in = p[1];
    threads.emplace_back([&ok, in, size] {
      if (Drain(in, size) != size) ok = false;
    });
    threads.emplace_back([&ok, &path, out, size, fromFile] {
      std::vector<char> buf(kChunk, 'x');
      const int file = fromFile ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
      std::uint64_t at = 0;
      while (at < size) {
        std::size_t n = std::size_t(std::min<std::uint64_t>(kChunk, size - at));
        if (fromFile) {
          const ssize_t r = ::pread(file, buf.data(), n, off_t(at));
          if (r <= 0) break;
          n = std::size_t(r);
        }
        std::size_t sent = 0;
        while (sent < n) {
          const ssize_t k = ::send(out, buf.data() + sent, n - sent, MSG_NOSIGNAL);
          if (k <= 0) break;
          sent += std::size_t(k);
        }
        if (sent < n) break;
        at += n;
      }
      if (at != size) ok = false;
      if (file >= 0) ::close(file);
    });
  }
  for (std::thread& t : threads) t.join();
  const double seconds = MsSince(start) / 1000.0;
  for (auto& p : fds)
    for (int fd : p)
      if (fd >= 0) ::close(fd);
  return ok ? seconds : -1;
}

struct SServerRun {
  double seconds = -1;
  std::uint64_t bytes = 0;  // flattened stream bytes received by all clients
  double cpuSeconds = 0;
};

// n guests log in, each asks for the file and reads its whole stream on the transfer
// port from the same source address as its session.
SServerRun ServerDownload(ServerChild& server, std::size_t n) {
  SServerRun run;
  CClientSwarm swarm(server.Port());
  swarm.Open(n);
  if (!swarm.RunUntil([&] { return swarm.Settled(); }, 10000) || swarm.CountIn(SBenchClient::LoggedIn) != n) {
    std::fprintf(stderr, "logins failed\n");
    return run;
  }
  std::vector<cv::Uint32> ids(n);
  std::vector<std::optional<std::pair<cv::TransferReference, cv::Uint32>>> offers(n);
  std::size_t answered = 0;
  bool refused = false;
  swarm.onTransaction = [&](std::size_t i, cv::SReceivedTransaction& t) {
    if (!t.header.IsReply() || t.header.id != ids[i] || offers[i]) return;
    ++answered;
    cv::UFieldData f(std::move(t.data));
    const cv::ByteView ref = f.GetField(cv::fld::ReferenceNumber);
    if (t.header.errorCode != 0 || ref.size() != 4) {
      refused = true;
      const cv::ByteView why = f.GetField(cv::fld::ErrorText);
      std::fprintf(stderr, "download refused: %.*s\n", int(why.size()), reinterpret_cast<const char*>(why.data()));
      offers[i].emplace();
      return;
    }
    cv::TransferReference r{};
    std::copy(ref.begin(), ref.end(), r.begin());
    offers[i].emplace(r, f.GetInteger(cv::fld::TransferSize));
  };
  for (std::size_t i = 0; i < n; ++i) {
    cv::UFieldData f;
    f.AddField(cv::fld::FilePath, cv::Bytes{0, 0});  // the root folder
    f.AddText(cv::fld::FileName, kFileName);
    ids[i] = swarm.Send(i, cv::trn::DownloadFile, f);
  }
  if (!swarm.RunUntil([&] { return answered == n; }, 10000) || refused) return run;

  // Connections first, then the clock: the figure is the stream, not the setup.
  std::vector<int> fds(n, -1);
  for (std::size_t i = 0; i < n; ++i) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ::getsockname(swarm.Client(i).fd, reinterpret_cast<sockaddr*>(&from), &len);
    from.sin_port = 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(cv::Uint16(server.Port() + 1));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fds[i] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(fds[i], reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fds[i], reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      std::fprintf(stderr, "transfer connection failed: %s\n", std::strerror(errno));
      for (int fd : fds)
        if (fd >= 0) ::close(fd);
      return run;
    }
    SetTimeouts(fds[i], 20);
  }
  const double cpu0 = CpuSeconds(server.Pid());
  const Clock::time_point start = Clock::now();
  std::vector<std::uint64_t> got(n, 0);
  std::atomic<std::size_t> finished{0};
  std::vector<std::thread> readers;
  for (std::size_t i = 0; i < n; ++i) {
    readers.emplace_back([&, i] {
      const auto header = cv::EncodeTransferHeader(cv::STransferHeader{offers[i]->first, 0, 0});
      if (::send(fds[i], header.data(), header.size(), MSG_NOSIGNAL) == ssize_t(header.size()))
        got[i] = Drain(fds[i], offers[i]->second);
      ++finished;
    });
  }
  // The sessions stay served meanwhile, so that nothing backs up on them.
  swarm.RunUntil([&] { return finished == n; }, 120000);
  for (std::thread& t : readers) t.join();
  const double seconds = MsSince(start) / 1000.0;
  run.cpuSeconds = CpuSeconds(server.Pid()) - cpu0;
  bool whole = true;
  for (std::size_t i = 0; i < n; ++i) {
    run.bytes += got[i];
    if (got[i] != offers[i]->second) {
      whole = false;
      std::fprintf(stderr, "client %zu: %llu of %u bytes\n", i, (unsigned long long)got[i], offers[i]->second);
    }
    ::close(fds[i]);
  }
  if (whole) run.seconds = seconds;
  return run;
}

double Rate(std::uint64_t bytes, double seconds) { return seconds > 0 ? double(bytes) / kGiB / seconds : 0; }

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const long mib = Arg(argc, argv, "--mib", 1024);
  const long clients = Arg(argc, argv, "--clients", 8);
  // The stream's length travels as 32 bits.
  if (mib < 1 || mib > 4000 || clients < 1 || clients > 64) {
    std::fprintf(stderr, "usage: %s [--mib 1..4000] [--clients 1..64]\n", argv[0]);
    return 2;
  }
  const std::uint64_t size = std::uint64_t(mib) << 20;
  const std::size_t n = std::size_t(clients);

  TempFolder tmp;
  if (tmp.Path().empty()) return 1;
  std::filesystem::create_directories(tmp.Path() + "/Files");
  const std::string path = tmp.Path() + "/Files/" + kFileName;
  if (!WriteFile(path, size)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  // The default limit of simultaneous downloads (100) admits every client here.
  ServerChild server;
  if (!server.Start(tmp.Path())) {
    std::fprintf(stderr, "server did not start\n");
    return 1;
  }

  const SServerRun one = ServerDownload(server, 1);
  const SServerRun many = ServerDownload(server, n);
  server.Stop();
  const double plainOne = PlainCopy(path, size, 1, true);
  const double plainMany = PlainCopy(path, size, n, true);
  const double memOne = PlainCopy(path, size, 1, false);
  const std::string clientsText = std::to_string(n) + (n == 1 ? " client" : " clients");
  const std::string pairsText = std::to_string(n) + (n == 1 ? " pair" : " pairs");

  std::printf("file %ld MiB, loopback\n", mib);
  auto line = [](const char* what, std::uint64_t bytes, double seconds) {
    if (seconds < 0)
      std::printf("%-34s failed\n", what);
    else
      std::printf("%-34s %7.3f s  %6.2f GiB/s\n", what, seconds, Rate(bytes, seconds));
  };
  line("server download, 1 client", one.bytes, one.seconds);
  line(("server download, " + clientsText).c_str(), many.bytes, many.seconds);
  line("plain socket from file, 1 pair", size, plainOne);
  line(("plain socket from file, " + pairsText).c_str(), size * n, plainMany);
  line("plain socket from memory, 1 pair", size, memOne);
  if (one.seconds > 0 && plainOne > 0)
    std::printf("ratio server/plain, 1 client:     %.2f (goal >= 0.8)\n",
                Rate(one.bytes, one.seconds) / Rate(size, plainOne));
  if (many.seconds > 0 && plainMany > 0)
    std::printf("ratio server/plain, %s:    %.2f\n", clientsText.c_str(),
                Rate(many.bytes, many.seconds) / Rate(size * n, plainMany));
  if (one.seconds > 0)
    std::printf("server CPU per GiB, 1 client:     %.3f s\n", one.cpuSeconds / (double(one.bytes) / kGiB));
  if (many.seconds > 0)
    std::printf("server CPU per GiB, %s:    %.3f s\n", clientsText.c_str(),
                many.cpuSeconds / (double(many.bytes) / kGiB));
  return one.seconds > 0 && many.seconds > 0 ? 0 : 1;
}
