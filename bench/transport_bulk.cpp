// Bulk throughput over loopback: UTransport against a plain blocking socket copy.
//
//   bench_transport_bulk [bytes [only]]   bytes may end in K, M or G (default 1G);
//                                         only: base, send, hand or recv (for profiling)
//
// Each run moves the same byte count between a blocking socket on a helper thread and
// the other end: first a blocking socket (the baseline), then UTransport sending, then
// UTransport receiving. Runs are done with the transport's default send buffer and with
// the system's self-tuning one; the baseline sockets get the same setting each time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/events.h"
#include "framework/transport.h"

using namespace cv;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kChunk = 1u << 20;

Uint64 ParseBytes(const char* text) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  Uint64 scale = 1;
  if (end && (*end == 'K' || *end == 'k')) scale = 1ull << 10;
  if (end && (*end == 'M' || *end == 'm')) scale = 1ull << 20;
  if (end && (*end == 'G' || *end == 'g')) scale = 1ull << 30;
  return static_cast<Uint64>(v * static_cast<double>(scale));
}

void SetSendBuffer(int fd, Uint32 size) {
  if (size == 0) return;
  int v = static_cast<int>(size);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &v, sizeof v);
}

int BlockingListener(Uint16& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 4) != 0) {
    std::perror("listen");
    std::exit(1);
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port = ntohs(sa.sin_port);
  return fd;
}

int BlockingConnect(Uint16 port, Uint32 sndbuf) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  SetSendBuffer(fd, sndbuf);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

void WriteAll(int fd, Uint64 total) {
  std::vector<Uint8> chunk(kChunk, 0xA5);
  Uint64 left = total;
  while (left) {
    std::size_t n = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
    ssize_t w = ::send(fd, chunk.data(), n, MSG_NOSIGNAL);
    if (w <= 0) {
      std::perror("send");
      std::exit(1);
    }
    left -= static_cast<Uint64>(w);
  }
  ::shutdown(fd, SHUT_WR);
}

Uint64 ReadAll(int fd) {
  std::vector<Uint8> chunk(kChunk);
  Uint64 got = 0;
  for (;;) {
    ssize_t r = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (r <= 0) break;
    got += static_cast<Uint64>(r);
  }
  return got;
}

double Rate(Uint64 bytes, Clock::duration d) {
  return static_cast<double>(bytes) / (1 << 20) / std::chrono::duration<double>(d).count();
}

double Baseline(Uint64 total, Uint32 sndbuf) {
  Uint16 port;
  int lfd = BlockingListener(port);
  auto start = Clock::now();
  std::thread writer([&] {
    int fd = BlockingConnect(port, sndbuf);
    WriteAll(fd, total);
    ::close(fd);
  });
  int rfd = ::accept(lfd, nullptr, nullptr);
  Uint64 got = ReadAll(rfd);
  writer.join();
  auto d = Clock::now() - start;
  ::close(rfd);
  ::close(lfd);
  if (got != total)
    std::fprintf(stderr, "baseline: %llu of %llu bytes\n", (unsigned long long)got, (unsigned long long)total);
  return Rate(total, d);
}

struct Sender {
  TTransport t = nullptr;
  Uint64 total = 0, sent = 0;
  std::vector<Uint8> chunk = std::vector<Uint8>(kChunk, 0x5A);
  bool failed = false;
  bool handOver = false;  // SendBuffer with fresh buffers instead of Send copying

  void Pump() {
    while (sent < total && UTransport::IsReadyToSend(t)) {
      Uint64 n = total - sent < kChunk ? total - sent : kChunk;
      if (handOver)
        UTransport::SendBuffer(t, UTransport::NewBuffer(static_cast<Uint32>(n)));
      else
        UTransport::Send(t, chunk.data(), static_cast<Uint32>(n));
      sent += n;
    }
    if (sent < total)
      UTransport::NotifyReadyToSend(t);
    else
      UTransport::StartDisconnect(t);
  }
  static void Proc(void* c, void*, Uint32 id, const void*, Uint32) {
    auto* s = static_cast<Sender*>(c);
    if (id == msg_ConnectionEstablished || id == msg_ReadyToSend) s->Pump();
    if (id == msg_ConnectionFailed || id == msg_ConnectionClosed) s->failed = true;
  }
};

double TransportSending(Uint64 total, bool handOver) {
  Uint16 port;
  int lfd = BlockingListener(port);
  Uint64 got = 0;
  auto start = Clock::now();
  std::thread reader([&] {
    int fd = ::accept(lfd, nullptr, nullptr);
    got = ReadAll(fd);
    ::close(fd);
  });
  Sender s;
  s.total = total;
  s.handOver = handOver;
  s.t = UTransport::New(kTransportTCP);
  UTransport::SetMessageHandler(s.t, Sender::Proc, &s);
  SInternetAddress a = SInternetAddress::Loopback(port);
  UTransport::StartConnect(s.t, &a, sizeof a);
  UEventLoop::RunUntil([&] { return s.failed || (s.sent == total && !UTransport::IsDisconnecting(s.t)); });
  UTransport::Dispose(s.t);
  reader.join();
  auto d = Clock::now() - start;
  ::close(lfd);
  if (got != total)
    std::fprintf(stderr, "sending: %llu of %llu bytes\n", (unsigned long long)got, (unsigned long long)total);
  return Rate(total, d);
}

struct Receiver {
  TTransport listener = nullptr, t = nullptr;
  Uint64 got = 0;
  bool closed = false;
  std::vector<Uint8> buffer = std::vector<Uint8>(kChunk);

  static void Proc(void* c, void* object, Uint32 id, const void*, Uint32) {
    auto* r = static_cast<Receiver*>(c);
    if (id == msg_ConnectionRequest && !r->t) {
      r->t = UTransport::Accept(r->listener);
      if (r->t) UTransport::SetMessageHandler(r->t, Proc, r);
    } else if (id == msg_DataArrived && object == r->t) {
      while (Uint32 n = UTransport::Receive(r->t, r->buffer.data(), static_cast<Uint32>(r->buffer.size()))) r->got += n;
    } else if (id == msg_ConnectionClosed) {
      r->closed = true;
    }
  }
};

double TransportReceiving(Uint64 total, Uint32 sndbuf) {
  Receiver r;
  r.listener = UTransport::New(kTransportTCP);
  UTransport::SetMessageHandler(r.listener, Receiver::Proc, &r);
  SInternetAddress any = SInternetAddress::Any(0);
  UTransport::Listen(r.listener, &any, sizeof any);
  Uint16 port = UTransport::GetLocalAddress(r.listener).port;
  auto start = Clock::now();
  std::thread writer([&] {
    int fd = BlockingConnect(port, sndbuf);
    WriteAll(fd, total);
    ::close(fd);
  });
  UEventLoop::RunUntil([&] { return r.closed; });
  writer.join();
  auto d = Clock::now() - start;
  UTransport::Dispose(r.t);
  UTransport::Dispose(r.listener);
  if (r.got != total)
    std::fprintf(stderr, "receiving: %llu of %llu bytes\n", (unsigned long long)r.got, (unsigned long long)total);
  return Rate(total, d);
}

}  // namespace

int main(int argc, char** argv) {
  Uint64 total = argc > 1 ? ParseBytes(argv[1]) : (1ull << 30);
  if (total == 0) {
    std::fprintf(stderr, "usage: %s [bytes[K|M|G]]\n", argv[0]);
    return 2;
  }
  UTransport::Init();
  UTransport::SetMaxUnsentSize(64u << 20);
  std::printf("transport_bulk: %llu bytes over loopback, %zu-byte chunks\n", (unsigned long long)total, kChunk);
  const Uint32 defaults = UTransport::GetSendBufferSize();
  // The machine may be shared: each figure is the best of a few alternating rounds.
  const std::string only = argc > 2 ? argv[2] : "";
  if (!only.empty()) {
    double r = only == "base"   ? Baseline(total, defaults)
               : only == "send" ? TransportSending(total, false)
               : only == "hand" ? TransportSending(total, true)
                                : TransportReceiving(total, defaults);
    std::printf("%s: %.1f MiB/s\n", only.c_str(), r);
    return 0;
  }
  const int rounds = total >= (256ull << 20) ? 3 : 5;
  for (Uint32 sndbuf : {defaults, 0u}) {
    UTransport::SetSendBufferSize(sndbuf);
    double base = 0, send = 0, hand = 0, recv = 0;
    for (int i = 0; i < rounds; ++i) {
      base = std::max(base, Baseline(total, sndbuf));
      send = std::max(send, TransportSending(total, false));
      hand = std::max(hand, TransportSending(total, true));
      recv = std::max(recv, TransportReceiving(total, sndbuf));
    }
    std::string label = sndbuf ? "send buffer " + std::to_string(sndbuf) : std::string("self-tuning send buffer");
    std::printf("%s (best of %d):\n", label.c_str(), rounds);
    std::printf("  blocking copy               %9.1f MiB/s\n", base);
    std::printf("  UTransport::Send            %9.1f MiB/s  ratio %.2f\n", send, send / base);
    std::printf("  UTransport::SendBuffer      %9.1f MiB/s  ratio %.2f\n", hand, hand / base);
    std::printf("  UTransport::Receive         %9.1f MiB/s  ratio %.2f\n", recv, recv / base);
  }
  UTransport::SetSendBufferSize(defaults);
  return 0;
}
