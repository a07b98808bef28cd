// Shared pieces of the server benchmarks: the corvane-server program run as a child
// process in a temporary folder, and a swarm of raw-socket clients on one epoll loop
// that speak the real framing and handshake.
//
// Every client binds its own loopback source address (127.1.0.1, 127.1.0.2, ...) before
// connecting. The server admits at most 5 connections per address and bans an address
// that opens more than 10 connections in a row; with one client per address neither
// rule ever applies, so the figures measure the server and not its admission limits.
// Chat flood counters are per client and bans per address, so the same trick keeps one
// sender's ban from taking others along.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/catalogue.h"
#include "protocol/fields.h"
#include "protocol/framing.h"
#include "server/accounts.h"
#include "server/application.h"

namespace cvbench {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// "--name value" as a number, or the default.
inline long Arg(int argc, char** argv, const char* name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
  return fallback;
}

// Each client holds one descriptor here and the server one more.
inline void RaiseDescriptorLimit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &r);
  }
}

// Resident set of a process in KiB (VmRSS), -1 when unreadable.
inline long ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// CPU seconds (user + system) a process has used so far, -1 when unreadable.
inline double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  // After the name: state, then 10 more fields before utime and stime.
  std::vector<std::string> f;
  std::size_t at = close + 2;
  while (at < stat.size() && f.size() < 13) {
    std::size_t end = stat.find(' ', at);
    if (end == std::string::npos) end = stat.size();
    f.push_back(stat.substr(at, end - at));
    at = end + 1;
  }
  if (f.size() < 13) return -1;
  return double(std::stoll(f[11]) + std::stoll(f[12])) / double(::sysconf(_SC_CLK_TCK));
}

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t at = std::size_t(p / 100.0 * double(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

class TempFolder {
 public:
  TempFolder() {
    char name[] = "/tmp/cvbench.XXXXXX";
    if (::mkdtemp(name)) path_ = name;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// corvane-server from the same bin folder as this benchmark, headless on a free port.
class ServerChild {
 public:
  // The server's log sits beside the temporary folder, so it goes with the server.
  ~ServerChild() {
    Stop();
    if (!errPath_.empty()) std::remove(errPath_.c_str());
  }

  bool Start(const std::string& dir) {
    const std::string bin = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "corvane-server";
    errPath_ = dir + ".err";
    std::remove(errPath_.c_str());
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      if (!std::freopen(errPath_.c_str(), "w", stderr)) ::_exit(126);
      if (!std::freopen("/dev/null", "w", stdout)) ::_exit(126);
      std::string a0 = bin, a1 = "--headless", a2 = "--dir", a3 = dir, a4 = "--port", a5 = "0";
      char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), a5.data(), nullptr};
      ::execv(bin.c_str(), argv);
      ::_exit(127);
    }
    for (int i = 0; i < 1000; ++i) {
      const std::string err = Slurp(errPath_);
      const std::size_t at = err.find(" port ");
      if (err.find("listening on") != std::string::npos && at != std::string::npos) {
        port_ = cv::Uint16(std::stoi(err.substr(at + 6)));
        return true;
      }
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        std::fprintf(stderr, "server exited:\n%s", err.c_str());
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // SIGTERM, and SIGKILL when it has not quit within 5 s.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t Pid() const { return pid_; }
  cv::Uint16 Port() const { return port_; }
  std::string Stderr() const { return Slurp(errPath_); }

 private:
  pid_t pid_ = -1;
  cv::Uint16 port_ = 0;
  std::string errPath_;
};

struct SBenchClient {
  enum EState { Connecting, Handshaking, LoggingIn, LoggedIn, Failed };
  int fd = -1;
  EState state = Connecting;
  cv::CClientHandshakeParser handshake;
  cv::CTransactionReceiver receiver;
  cv::Bytes out;
  std::size_t outAt = 0;
  bool wantWrite = true;
  cv::Uint32 lastId = 0;
  cv::Uint32 loginId = 0;
  Clock::time_point started;
  double connectMs = 0;  // from the connect to the connection's completion
  double loginMs = 0;    // from the connect to the login reply
};

// Guest logins by default (the first start creates "guest" without a password).
class CClientSwarm {
 public:
  explicit CClientSwarm(cv::Uint16 port) : port_(port), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}
  ~CClientSwarm() {
    for (SBenchClient& c : clients_)
      if (c.fd >= 0) ::close(c.fd);
    ::close(epoll_);
  }
  CClientSwarm(const CClientSwarm&) = delete;
  CClientSwarm& operator=(const CClientSwarm&) = delete;

  // Called for every transaction a logged-in client receives other than its login reply.
  std::function<void(std::size_t client, cv::SReceivedTransaction& t)> onTransaction;

  // Starts n more connections (non-blocking), each from its own source address.
  void Open(std::size_t n) {
    clients_.reserve(clients_.size() + n);
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = clients_.size();
      clients_.emplace_back();
      SBenchClient& c = clients_.back();
      c.started = Clock::now();
      c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in from{};
      from.sin_family = AF_INET;
      from.sin_addr.s_addr = htonl(0x7F010001u + cv::Uint32(i));
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(port_);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (c.fd < 0 || ::bind(c.fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
          (::connect(c.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        Fail(c);
        continue;
      }
      int one = 1;
      ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLOUT;
      ev.data.u64 = i;
      ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &ev);
    }
  }

  // Sends a request (or a post) from a client; returns its id.
  cv::Uint32 Send(std::size_t i, cv::Uint16 type, cv::UFieldData& fields) {
    SBenchClient& c = clients_[i];
    cv::Bytes data = fields.TakeBlock();
    cv::STransactionHeader h;
    h.type = type;
    h.id = ++c.lastId;
    h.totalSize = h.dataSize = cv::Uint32(data.size());
    cv::Bytes frame = cv::EncodeTransaction(h, data);
    c.out.insert(c.out.end(), frame.begin(), frame.end());
    Flush(i);
    return h.id;
  }

  // Runs the loop until done() holds or the time is up; false on time-out.
  bool RunUntil(const std::function<bool()>& done, double timeoutMs) {
    const Clock::time_point start = Clock::now();
    epoll_event events[256];
    while (!done()) {
      const double left = timeoutMs - MsSince(start);
      if (left <= 0) return false;
      int n = ::epoll_wait(epoll_, events, 256, int(std::min(left, 10.0)) + 1);
      for (int k = 0; k < n; ++k) Handle(std::size_t(events[k].data.u64), events[k].events);
    }
    return true;
  }

  // Runs until no byte arrived for quietMs (or the time is up).
  void RunUntilQuiet(double quietMs, double timeoutMs) {
    Clock::time_point last = Clock::now();
    std::size_t seen = bytesIn_;
    RunUntil(
        [&] {
          if (bytesIn_ != seen) {
            seen = bytesIn_;
            last = Clock::now();
          }
          return MsSince(last) >= quietMs;
        },
        timeoutMs);
  }

  std::size_t Size() const { return clients_.size(); }
  const SBenchClient& Client(std::size_t i) const { return clients_[i]; }
  std::size_t CountIn(SBenchClient::EState s) const {
    return std::size_t(
        std::count_if(clients_.begin(), clients_.end(), [s](const SBenchClient& c) { return c.state == s; }));
  }
  bool Settled() const { return CountIn(SBenchClient::LoggedIn) + CountIn(SBenchClient::Failed) == clients_.size(); }
  std::size_t BytesIn() const { return bytesIn_; }

 private:
  void Fail(SBenchClient& c) {
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
    c.state = SBenchClient::Failed;
  }

  void WantWrite(std::size_t i, bool want) {
    SBenchClient& c = clients_[i];
    if (c.wantWrite == want || c.fd < 0) return;
    c.wantWrite = want;
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.u64 = i;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
  }

  void Flush(std::size_t i) {
    SBenchClient& c = clients_[i];
    if (c.fd < 0 || c.state == SBenchClient::Connecting) return;
    while (c.outAt < c.out.size()) {
      ssize_t n = ::send(c.fd, c.out.data() + c.outAt, c.out.size() - c.outAt, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        Fail(c);
        return;
      }
      c.outAt += std::size_t(n);
    }
    if (c.outAt == c.out.size()) {
      c.out.clear();
      c.outAt = 0;
    }
    WantWrite(i, !c.out.empty());
  }

  void Handle(std::size_t i, cv::Uint32 events) {
    SBenchClient& c = clients_[i];
    if (c.fd < 0) return;
    if (c.state == SBenchClient::Connecting) {
      if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) return Fail(c);
      c.state = SBenchClient::Handshaking;
      c.connectMs = MsSince(c.started);
      auto hs = cv::MakeClientHandshake(cv::kSubProtocol, cv::kSubVersion);
      c.out.insert(c.out.end(), hs.begin(), hs.end());
    }
    if (events & EPOLLOUT) Flush(i);
    if (c.fd < 0 || !(events & (EPOLLIN | EPOLLERR | EPOLLHUP))) return;
    cv::Uint8 buf[65536];
    for (;;) {
      ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return Fail(c);
      if (n < 0) break;
      bytesIn_ += std::size_t(n);
      cv::ByteView rest(buf, std::size_t(n));
      if (c.state == SBenchClient::Handshaking) {
        rest = rest.subspan(c.handshake.Feed(rest));
        if (c.handshake.Result() == cv::CClientHandshakeParser::NeedMore) continue;
        if (c.handshake.Result() != cv::CClientHandshakeParser::Accepted) return Fail(c);
        c.state = SBenchClient::LoggingIn;
        cv::UFieldData f;
        f.AddText(cv::fld::UserName, "bench" + std::to_string(i));
        f.AddInteger(cv::fld::UserIconId, 128);
        c.loginId = Send(i, cv::trn::Login, f);
        if (c.fd < 0) return;
      }
      try {
        c.receiver.Feed(rest);
      } catch (const cv::SError&) {
        return Fail(c);
      }
      while (c.receiver.HasTransaction()) {
        cv::SReceivedTransaction t = c.receiver.Take();
        if (c.state == SBenchClient::LoggingIn && t.header.IsReply() && t.header.id == c.loginId) {
          if (t.header.errorCode != 0) return Fail(c);
          c.state = SBenchClient::LoggedIn;
          c.loginMs = MsSince(c.started);
          continue;
        }
        if (onTransaction) onTransaction(i, t);
      }
      if (std::size_t(n) < sizeof buf) break;
    }
  }

  cv::Uint16 port_;
  int epoll_;
  std::vector<SBenchClient> clients_;
  std::size_t bytesIn_ = 0;
};

}  // namespace cvbench
