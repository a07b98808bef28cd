// The tracker's sockets: registrations over UDP, listings over TCP, both watched by the
// event loop. The framework's transport listens on every interface and cannot tell who
// sent a datagram, so the tracker keeps its own few descriptors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/clock.h"
#include "framework/errors.h"
#include "tracker/tracker.h"

namespace cv {

namespace {

constexpr Uint32 kSweepMs = 1000;
// Bigger than any valid registration, so a longer one shows up as truncated.
constexpr std::size_t kDatagramBuffer = 2048;
// Datagrams handled per readiness event, so a flood cannot starve the listings.
constexpr int kDatagramsPerEvent = 64;

int OpenSocket(int type, const std::string& bind, Uint16 port, Uint16& boundPort) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (::inet_pton(AF_INET, bind.c_str(), &sa.sin_addr) != 1) UError::Raise(errClassNetwork, errBadAddress);
  int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) UError::RaiseLastSystem();
  if (type == SOCK_STREAM) {
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 64) != 0)) {
    const int code = errno;
    ::close(fd);
    UError::RaiseSystem(code);
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  boundPort = ntohs(sa.sin_port);
  return fd;
}

std::string AddressText(const std::array<Uint8, 4>& a, Uint16 port) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], port);
  return text;
}

}  // namespace

struct CTrackerService::SClient {
  enum class EState { Greeting, Sending, Draining };
  CTrackerService* owner = nullptr;
  int fd = -1;
  EState state = EState::Greeting;
  Uint8 greeting[kTrackerGreetingSize] = {};
  std::size_t have = 0;
  Bytes out;
  std::size_t sent = 0;
  Int64 started = 0;
};

CTrackerService::CTrackerService() = default;

CTrackerService::~CTrackerService() { Stop(); }

void CTrackerService::Start(const STrackerOptions& options) {
  Stop();
  std::set<std::string> passwords = LoadTrackerPasswords(options.dir);
  if (options.password) passwords.insert(*options.password);
  list_.SetPasswords(std::move(passwords));
  udp_ = OpenSocket(SOCK_DGRAM, options.bind, options.udpPort, udpPort_);
  try {
    listener_ = OpenSocket(SOCK_STREAM, options.bind, options.tcpPort, tcpPort_);
    UEventLoop::Binding().Watch(udp_, ILoopBinding::evRead, &CTrackerService::UdpReady, this);
    UEventLoop::Binding().Watch(listener_, ILoopBinding::evRead, &CTrackerService::ListenReady, this);
    sweep_.reset(UTimer::StartNew(&CTrackerService::Tick, this, kSweepMs, true));
  } catch (...) {
    Stop();
    throw;
  }
}

void CTrackerService::Stop() {
  sweep_.reset();
  while (!clients_.empty()) CloseClient(clients_.begin()->first);
  for (int* fd : {&udp_, &listener_}) {
    if (*fd >= 0) {
      UEventLoop::Binding().Watch(*fd, 0, nullptr, nullptr);
      ::close(*fd);
      *fd = -1;
    }
  }
  udpPort_ = tcpPort_ = 0;
}

void CTrackerService::UdpReady(void* context, int, Uint32) { static_cast<CTrackerService*>(context)->ReadDatagrams(); }

void CTrackerService::ListenReady(void* context, int, Uint32) {
  static_cast<CTrackerService*>(context)->AcceptClients();
}

void CTrackerService::ClientReady(void* context, int, Uint32 events) {
  auto* client = static_cast<SClient*>(context);
  client->owner->ServeClient(*client, events);
}

void CTrackerService::Tick(void* context, void*, Uint32 id, const void*, Uint32) {
  if (id == msg_Timer) static_cast<CTrackerService*>(context)->Sweep();
}

void CTrackerService::ReadDatagrams() {
  Uint8 buf[kDatagramBuffer];
  for (int i = 0; i < kDatagramsPerEvent; ++i) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n =
        ::recvfrom(udp_, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) return;  // nothing more waiting (or a transient error the next event retries)
    std::array<Uint8, 4> address{};
    std::memcpy(address.data(), &from.sin_addr.s_addr, 4);
    if (std::size_t(n) > kTrackerRegistrationMaxSize) {
      std::fprintf(stderr, "corvane-tracker: oversized datagram from %s ignored\n",
                   AddressText(address, ntohs(from.sin_port)).c_str());
      continue;
    }
    auto reg = ParseTrackerRegistration(ByteView(buf, std::size_t(n)));
    if (!reg) {
      std::fprintf(stderr, "corvane-tracker: malformed registration from %s ignored\n",
                   AddressText(address, ntohs(from.sin_port)).c_str());
      continue;
    }
    const auto result = list_.Register(address, *reg, UClock::Milliseconds());
    const std::string who = AddressText(address, reg->port);
    switch (result) {
      case CTrackerList::EResult::Added:
        std::fprintf(stderr, "corvane-tracker: listed %s (%zu servers)\n", who.c_str(), list_.Size());
        break;
      case CTrackerList::EResult::Updated:
        break;
      case CTrackerList::EResult::BadPassword:
        std::fprintf(stderr, "corvane-tracker: wrong password from %s\n", who.c_str());
        break;
      case CTrackerList::EResult::Full:
        std::fprintf(stderr, "corvane-tracker: list full, %s not listed\n", who.c_str());
        break;
    }
  }
}

void CTrackerService::AcceptClients() {
  for (;;) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (clients_.size() >= kTrackerMaxClients) {
      ::close(fd);
      continue;
    }
    auto client = std::make_unique<SClient>();
    client->owner = this;
    client->fd = fd;
    client->started = UClock::Milliseconds();
    try {
      UEventLoop::Binding().Watch(fd, ILoopBinding::evRead, &CTrackerService::ClientReady, client.get());
    } catch (const SError&) {
      ::close(fd);
      continue;
    }
    clients_.emplace(fd, std::move(client));
  }
}

void CTrackerService::ServeClient(SClient& c, Uint32 events) {
  const int fd = c.fd;
  if (events & ILoopBinding::evError) return CloseClient(fd);

  if (c.state == SClient::EState::Greeting) {
    const ssize_t n = ::recv(fd, c.greeting + c.have, kTrackerGreetingSize - c.have, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return CloseClient(fd);
    if (n < 0) return;
    c.have += std::size_t(n);
    if (c.have < kTrackerGreetingSize) return;
    if (!IsTrackerGreeting(ByteView(c.greeting, kTrackerGreetingSize))) return CloseClient(fd);
    const auto greeting = EncodeTrackerGreeting();
    c.out.assign(greeting.begin(), greeting.end());
    c.out += EncodeTrackerListing(list_.Servers(UClock::Milliseconds()));
    c.state = SClient::EState::Sending;
    events |= ILoopBinding::evWrite;  // try at once; the socket is most likely writable
  }

  if (c.state == SClient::EState::Sending && (events & ILoopBinding::evWrite)) {
    while (c.sent < c.out.size()) {
      const ssize_t n = ::send(fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
        return CloseClient(fd);
      }
      c.sent += std::size_t(n);
    }
    if (c.sent < c.out.size()) {
      UEventLoop::Binding().Watch(fd, ILoopBinding::evWrite, &CTrackerService::ClientReady, &c);
      return;
    }
    // Everything queued: close our side and wait for the client to close its own, so
    // that the last bytes are not lost to a reset.
    ::shutdown(fd, SHUT_WR);
    c.state = SClient::EState::Draining;
    c.out.clear();
    UEventLoop::Binding().Watch(fd, ILoopBinding::evRead, &CTrackerService::ClientReady, &c);
    return;
  }

  if (c.state == SClient::EState::Draining && (events & (ILoopBinding::evRead | ILoopBinding::evHangup))) {
    Uint8 sink[512];
    const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return CloseClient(fd);
  }
}

void CTrackerService::CloseClient(int fd) {
  auto it = clients_.find(fd);
  if (it == clients_.end()) return;
  UEventLoop::Binding().Watch(fd, 0, nullptr, nullptr);
  ::close(fd);
  clients_.erase(it);
}

void CTrackerService::Sweep() {
  const Int64 now = UClock::Milliseconds();
  const std::size_t gone = list_.Expire(now);
  if (gone) std::fprintf(stderr, "corvane-tracker: %zu servers expired (%zu listed)\n", gone, list_.Size());
  std::vector<int> late;
  for (const auto& [fd, c] : clients_)
    if (now - c->started >= kTrackerClientTimeoutMs) late.push_back(fd);
  for (int fd : late) CloseClient(fd);
}

}  // namespace cv
