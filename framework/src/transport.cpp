// Transport over non-blocking POSIX sockets watched by the loop binding.
//
// Readiness is turned into notifications the way the owners expect: one
// msg_DataArrived (or msg_ConnectionRequest) and then silence until the owner reads
// (or accepts), so an owner that pauses reading does not make the loop spin; the
// close is reported only once everything that arrived before it has been read.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "framework/src/loop_state.h"
#include "framework/transport.h"

namespace cv {

namespace {

constexpr Int32 kConnecting = 0xFFFF;
constexpr int kListenBacklog = SOMAXCONN;  // many clients may arrive at once
constexpr Uint32 kAcceptBackoffMs = 100;
constexpr int kMaxIov = 64;

std::atomic<Uint32> gSendBufferSize{65536};
std::atomic<Uint32> gMaxUnsent{8u << 20};
std::atomic<Uint32> gConnectTimeout{30000};

struct BufferHeader {
  BufferHeader* next;
  Uint32 sent;
  Uint32 size;
  // A file range (SendFile) carries no data: size bytes of file from fileOffset go out
  // as the socket takes them. -1 for a buffer of bytes.
  int file;
  Uint64 fileOffset;
};
static_assert(sizeof(BufferHeader) == 32, "buffer data stays 16-byte aligned");

BufferHeader* HeaderOf(void* data) {
  return reinterpret_cast<BufferHeader*>(static_cast<Uint8*>(data) - sizeof(BufferHeader));
}
const BufferHeader* HeaderOf(const void* data) {
  return reinterpret_cast<const BufferHeader*>(static_cast<const Uint8*>(data) - sizeof(BufferHeader));
}
Uint8* DataOf(BufferHeader* h) { return reinterpret_cast<Uint8*>(h + 1); }

struct LookupRequest {
  std::string host;
  Uint16 port = 0;
};

// What an address record turned into.
struct SConverted {
  enum { kInvalid, kLiteral, kName } kind = kInvalid;
  sockaddr_in address{};
  std::string host;
  Uint16 port = 0;
};

}  // namespace

struct TTransportRec {
  int fd = -1;
  bool stream = true;
  TMessageProc handler = nullptr;
  void* context = nullptr;

  BufferHeader* head = nullptr;
  BufferHeader* tail = nullptr;
  Uint32 buffers = 0;
  Uint64 unsent = 0;

  std::shared_ptr<LookupRequest> connectLookup;
  std::shared_ptr<LookupRequest> datagramLookup;
  Bytes datagram;
  Uint16 datagramPort = 0;

  Int32 status = 0;
  bool lookupFailed = false;  // status holds a name-lookup code, not an errno
  bool connected = false;
  bool established = false;  // connected once; the socket can carry data
  bool readyWanted = false;
  bool closeWhenDrained = false;
  bool listening = false;
  bool readArmed = true;   // reads are watched
  bool notified = false;   // a read notification went out and the owner has not read since
  bool writeIdle = false;  // the queue emptied and a write event came: stop watching writes
  bool parked = false;     // hung up while the owner was not reading: unwatched until it reads
  bool ended = false;      // the read side is finished (closed by the peer or locally)
  bool shutDown = false;   // shut down locally; nothing more goes out
  bool broken = false;     // a send failed for good
  Uint32 watching = 0;

  TTimer connectTimer = nullptr;
  TTimer backoffTimer = nullptr;
  SError closeError{0, 0};
  // Every (handler, context) a notification went to, so that disposal removes them all
  // even when the owner changed hands meanwhile.
  std::vector<std::pair<TMessageProc, void*>> notifiedHandlers;
};

namespace {

struct TransportState {
  std::unordered_set<TTransportRec*> live;
};

TransportState& Module() {
  thread_local TransportState state;
  return state;
}

bool IsLive(TTransportRec* t) { return Module().live.count(t) != 0; }

void Notify(TTransportRec* t, Uint32 id) {
  if (!t->handler) return;
  const std::pair<TMessageProc, void*> to{t->handler, t->context};
  if (std::find(t->notifiedHandlers.begin(), t->notifiedHandlers.end(), to) == t->notifiedHandlers.end())
    t->notifiedHandlers.push_back(to);
  UMessageSys::Post(id, nullptr, 0, 0, t->handler, t->context, t);
}

void Ready(void* context, int fd, Uint32 events);

Uint32 DesiredWatch(const TTransportRec* t) {
  if (t->fd < 0 || t->parked) return 0;
  Uint32 want = 0;
  if (t->status == kConnecting) return ILoopBinding::evWrite;
  const bool readable = t->listening || !t->stream || t->established;
  if (t->handler && t->readArmed && !t->ended && readable) want |= ILoopBinding::evRead;
  // Writes stay watched for one idle event after the queue empties, so that a sender
  // that refills it at once does not pay two watch changes per round.
  const bool writing = t->head || ((t->watching & ILoopBinding::evWrite) && !t->writeIdle);
  if (writing && t->established && !t->broken && !t->shutDown) want |= ILoopBinding::evWrite;
  return want;
}

void UpdateWatch(TTransportRec* t) {
  Uint32 want = DesiredWatch(t);
  if (want == t->watching) return;
  UEventLoop::Binding().Watch(t->fd, want, Ready, t);
  t->watching = want;
}

void Rearm(TTransportRec* t) {
  t->notified = false;
  if (t->readArmed && !t->parked) return;
  t->readArmed = true;
  t->parked = false;
  UpdateWatch(t);
}

// A read that failed for good keeps its cause: the socket forgets it once reported.
void NoteReadFailure(TTransportRec* t, ssize_t n) {
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && t->closeError.errClass == 0)
    t->closeError = UError::FromSystem(errno);
}

Uint32 PendingBytes(int fd) {
  int n = 0;
  if (fd < 0 || ::ioctl(fd, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<Uint32>(n);
}

int SocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

void FreeEntry(BufferHeader* b) {
  if (b->file >= 0) ::close(b->file);
  std::free(b);
}

void DiscardQueue(TTransportRec* t) {
  BufferHeader* b = t->head;
  while (b) {
    BufferHeader* next = b->next;
    FreeEntry(b);
    b = next;
  }
  t->head = t->tail = nullptr;
  t->buffers = 0;
  t->unsent = 0;
}

void AppendBuffer(TTransportRec* t, BufferHeader* h) {
  h->next = nullptr;
  if (t->tail)
    t->tail->next = h;
  else
    t->head = h;
  t->tail = h;
  ++t->buffers;
  t->unsent += h->size - h->sent;
  t->writeIdle = false;
}

// The connection is over from the peer's side (or cut by us for cause): the owner hears
// msg_ConnectionClosed once; what arrived before stays readable.
void EndConnection(TTransportRec* t, const SError& why) {
  if (t->ended && !t->connected) return;
  const bool wasConnected = t->connected || t->established;
  t->connected = false;
  t->ended = true;
  if (why.errClass != 0) t->closeError = why;
  if (wasConnected) Notify(t, msg_ConnectionClosed);
  UpdateWatch(t);
}

void SendFailed(TTransportRec* t, int code) {
  t->broken = true;
  DiscardQueue(t);
  EndConnection(t, UError::FromSystem(code));
}

// Sends without blocking; returns the bytes taken, or -errno for a failure that ends
// the connection (would-block counts as 0).
ssize_t SendNow(TTransportRec* t, const void* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::send(t->fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN) return 0;
    return -errno;
  }
}

// Takes bytes off the queue's head after a send of n bytes.
void Account(TTransportRec* t, std::size_t n) {
  t->unsent -= n;
  while (n && t->head) {
    BufferHeader* b = t->head;
    std::size_t left = b->size - b->sent;
    if (n < left) {
      b->sent += static_cast<Uint32>(n);
      return;
    }
    n -= left;
    t->head = b->next;
    if (!t->head) t->tail = nullptr;
    --t->buffers;
    FreeEntry(b);
  }
}

// Sends from a file range; the bytes taken, 0 when the socket is full, -errno for a
// failure that ends the connection. A file that ends early fails with EIO and shuts the
// socket down: the stream it was to carry can no longer be whole, and the peer must
// not wait for the rest.
ssize_t SendFileNow(TTransportRec* t, BufferHeader* b) {
  for (;;) {
    off_t at = off_t(b->fileOffset + b->sent);
    const ssize_t n = ::sendfile(t->fd, b->file, &at, b->size - b->sent);
    if (n > 0) return n;
    if (n == 0) {
      ::shutdown(t->fd, SHUT_RDWR);
      t->shutDown = true;
      return -EIO;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN) return 0;
    return -errno;
  }
}

void Drain(TTransportRec* t) {
  while (t->head) {
    if (t->head->file >= 0) {
      BufferHeader* b = t->head;
      const ssize_t n = SendFileNow(t, b);
      if (n < 0) {
        SendFailed(t, int(-n));
        return;
      }
      if (n == 0) break;
      const bool whole = Uint32(n) == b->size - b->sent;
      Account(t, std::size_t(n));
      if (!whole) break;
      continue;
    }
    iovec iov[kMaxIov];
    int k = 0;
    std::size_t total = 0;
    for (BufferHeader* b = t->head; b && b->file < 0 && k < kMaxIov; b = b->next, ++k) {
      iov[k].iov_base = DataOf(b) + b->sent;
      iov[k].iov_len = b->size - b->sent;
      total += iov[k].iov_len;
    }
    msghdr mh{};
    mh.msg_iov = iov;
    mh.msg_iovlen = static_cast<std::size_t>(k);
    ssize_t n = ::sendmsg(t->fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN) break;
      SendFailed(t, errno);
      return;
    }
    if (n == 0) break;
    Account(t, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < total) break;
  }
  if (!t->head && t->closeWhenDrained) {
    ::shutdown(t->fd, SHUT_RDWR);
    t->closeWhenDrained = false;
    t->shutDown = true;
    t->connected = false;
    t->ended = true;
  } else if (t->handler && t->readyWanted && t->buffers <= 1) {
    t->readyWanted = false;
    Notify(t, msg_ReadyToSend);
  }
  UpdateWatch(t);
}

void FinishConnect(TTransportRec* t, int err) {
  UTimer::Stop(t->connectTimer);
  t->status = err;
  if (err == 0) {
    t->connected = true;
    t->established = true;
    t->readArmed = true;
    Notify(t, msg_ConnectionEstablished);
  } else {
    Notify(t, msg_ConnectionFailed);
  }
  UpdateWatch(t);
}

void ReadSide(TTransportRec* t, Uint32 events) {
  if (t->ended) return;
  const bool hangup = (events & (ILoopBinding::evHangup | ILoopBinding::evError)) != 0;
  if (t->notified || !t->readArmed) {
    // The owner has not read since it was told: stop watching until it does, so that
    // a paused reader (or a hang-up it has not seen yet) does not make the loop spin.
    t->readArmed = false;
    if (hangup) t->parked = true;
    UpdateWatch(t);
    return;
  }
  if (t->listening) {
    t->notified = true;
    Notify(t, msg_ConnectionRequest);
    return;
  }
  if (!t->stream || PendingBytes(t->fd) > 0) {
    t->notified = true;
    Notify(t, msg_DataArrived);
    return;
  }
  if (hangup) {
    int err = (events & ILoopBinding::evError) ? SocketError(t->fd) : 0;
    if (err) {
      t->broken = true;
      DiscardQueue(t);
    }
    EndConnection(t, err ? UError::FromSystem(err) : SError(0, 0));
  }
}

void Ready(void* context, int /*fd*/, Uint32 events) {
  auto* t = static_cast<TTransportRec*>(context);
  if (t->status == kConnecting) {
    if (events & (ILoopBinding::evWrite | ILoopBinding::evError | ILoopBinding::evHangup))
      FinishConnect(t, SocketError(t->fd));
    return;
  }
  if (events & ILoopBinding::evWrite) {
    if (t->head) {
      Drain(t);
    } else {
      t->writeIdle = true;
      UpdateWatch(t);
    }
  }
  if (events & (ILoopBinding::evRead | ILoopBinding::evHangup | ILoopBinding::evError)) ReadSide(t, events);
}

void TimerProc(void* context, void* object, Uint32 /*id*/, const void* /*data*/, Uint32 /*size*/) {
  auto* t = static_cast<TTransportRec*>(context);
  if (object == t->connectTimer) {
    if (t->status != kConnecting) return;
    // Shutting a connecting socket down abandons the attempt.
    ::shutdown(t->fd, SHUT_RDWR);
    t->status = ETIMEDOUT;
    Notify(t, msg_ConnectionFailed);
    UpdateWatch(t);
  } else if (object == t->backoffTimer) {
    t->notified = false;
    t->readArmed = true;
    UpdateWatch(t);
  }
}

bool ParseDotted(const std::string& text, in_addr& out) {
  // Four decimal parts, each 0..255; inet_pton accepts exactly that.
  return ::inet_pton(AF_INET, text.c_str(), &out) == 1;
}

SConverted Convert(const void* record, Uint32 size) {
  SConverted c;
  if (!record || size < 6) return c;
  const auto* p = static_cast<const Uint8*>(record);
  Uint16 type, port;
  std::memcpy(&type, p, 2);
  std::memcpy(&port, p + 2, 2);
  if (type == kAddressInternet) {
    if (size < 12) return c;
    c.kind = SConverted::kLiteral;
    c.address.sin_family = AF_INET;
    c.address.sin_port = htons(port);
    std::memcpy(&c.address.sin_addr, p + 4, 4);
    c.port = port;
    return c;
  }
  if (type != kAddressInternetName) return c;
  const Uint8 length = p[4];
  if (length < 1 || size < 5u + length) return c;
  std::string text(reinterpret_cast<const char*>(p + 5), length);
  text = text.c_str();  // the text ends at an embedded zero, if any
  std::size_t colon = text.find(':');
  if (port != 0) {
    if (colon != std::string::npos) text.resize(colon);
  } else {
    if (colon == std::string::npos) return c;
    const std::string digits = text.substr(colon + 1);
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || errno != 0 || value <= 0 || value > 65535) return c;
    port = static_cast<Uint16>(value);
    text.resize(colon);
  }
  if (text.empty()) return c;
  c.port = port;
  in_addr a{};
  if (ParseDotted(text, a)) {
    c.kind = SConverted::kLiteral;
    c.address.sin_family = AF_INET;
    c.address.sin_port = htons(port);
    c.address.sin_addr = a;
    return c;
  }
  c.kind = SConverted::kName;
  c.host = std::move(text);
  return c;
}

// Resolves a host name to its first IPv4 address; returns 0 or the lookup's code.
int ResolveName(const std::string& host, in_addr& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) return rc == EAI_SYSTEM ? (errno ? errno : EAI_FAIL) : rc;
  if (!list) return EAI_NONAME;
  out = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
  ::freeaddrinfo(list);
  return 0;
}

void ConnectLookupDone(TTransportRec* t, const std::shared_ptr<LookupRequest>& req, int code, in_addr address);
void DatagramLookupDone(TTransportRec* t, const std::shared_ptr<LookupRequest>& req, int code, in_addr address);

// Runs the blocking lookup on a helper thread that posts its answer back to this loop.
// The helper never takes signals: they belong to the loop.
void StartLookup(TTransportRec* t, const std::shared_ptr<LookupRequest>& req, bool datagram) {
  std::shared_ptr<UEventLoop::CRemote> remote = UEventLoop::Remote();
  auto work = [t, req, remote, datagram] {
    in_addr address{};
    int code = ResolveName(req->host, address);
    remote->Run([t, req, code, address, datagram] {
      if (datagram)
        DatagramLookupDone(t, req, code, address);
      else
        ConnectLookupDone(t, req, code, address);
    });
  };
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &saved);
  try {
    std::thread(std::move(work)).detach();
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    UError::RaiseSystem(e.code().value());
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// Connects a socket that has its address; raise says whether an immediate failure is
// raised (a call from the owner) or reported as msg_ConnectionFailed (a lookup's end).
void IssueConnect(TTransportRec* t, const sockaddr_in& address, bool raise) {
  t->status = kConnecting;
  t->lookupFailed = false;
  int rc;
  do {
    rc = ::connect(t->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    FinishConnect(t, 0);
    return;
  }
  if (errno == EINPROGRESS) {
    if (Uint32 limit = gConnectTimeout.load()) {
      if (!t->connectTimer) t->connectTimer = UTimer::New(TimerProc, t);
      UTimer::Start(t->connectTimer, limit, false);
    }
    UpdateWatch(t);
    return;
  }
  const int code = errno;
  if (raise) {
    t->status = 0;
    UpdateWatch(t);
    UError::RaiseSystem(code);
  }
  t->status = code;
  UpdateWatch(t);
  Notify(t, msg_ConnectionFailed);
}

void ConnectLookupDone(TTransportRec* t, const std::shared_ptr<LookupRequest>& req, int code, in_addr address) {
  if (!IsLive(t) || t->connectLookup != req) return;  // disposed or cancelled meanwhile
  t->connectLookup.reset();
  if (code != 0) {
    t->status = code;
    t->lookupFailed = true;
    Notify(t, msg_ConnectionFailed);
    return;
  }
  if (t->status == kConnecting) return;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(req->port);
  sa.sin_addr = address;
  IssueConnect(t, sa, false);
}

void DatagramLookupDone(TTransportRec* t, const std::shared_ptr<LookupRequest>& req, int code, in_addr address) {
  if (!IsLive(t) || t->datagramLookup != req) return;
  t->datagramLookup.reset();
  Bytes data;
  data.swap(t->datagram);
  if (code != 0) return;  // an unresolvable datagram is dropped
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(t->datagramPort);
  sa.sin_addr = address;
  ::sendto(t->fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&sa),
           sizeof sa);
}

TTransportRec* Adopt(int fd, bool stream) {
  auto* t = new (std::nothrow) TTransportRec;
  if (!t) {
    ::close(fd);
    UError::Raise(errClassMemory, errNoMemory);
  }
  t->fd = fd;
  t->stream = stream;
  try {
    Module().live.insert(t);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    delete t;
    UError::Raise(errClassMemory, errNoMemory);
  }
  return t;
}

void ConfigureSocket(int fd, bool stream) {
  if (Uint32 size = gSendBufferSize.load()) {
    int value = static_cast<int>(size);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &value, sizeof value);
  }
  if (stream) {
    // Requests are written whole; waiting to coalesce them only adds latency.
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
}

Uint32 FormatAddress(const in_addr& a, char* text, Uint32 capacity) {
  const auto* b = reinterpret_cast<const Uint8*>(&a);
  char tmp[16];
  int n = std::snprintf(tmp, sizeof tmp, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  Uint32 len = n < 0 ? 0 : static_cast<Uint32>(n);
  if (len > capacity) len = capacity;
  if (text && len) std::memcpy(text, tmp, len);
  return text ? len : 0;
}

sockaddr_in QueryAddress(TTransportRec* t, bool peer) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int rc = peer ? ::getpeername(t->fd, reinterpret_cast<sockaddr*>(&sa), &len)
                : ::getsockname(t->fd, reinterpret_cast<sockaddr*>(&sa), &len);
  if (rc != 0) UError::RaiseLastSystem();
  return sa;
}

SInternetAddress ToRecord(const sockaddr_in& sa) {
  SInternetAddress r;
  r.port = ntohs(sa.sin_port);
  std::memcpy(r.host, &sa.sin_addr, 4);
  return r;
}

}  // namespace

SInternetNameAddress SInternetNameAddress::Make(std::string_view text, Uint16 port) {
  SInternetNameAddress a;
  a.port = port;
  a.length = static_cast<Uint8>(text.size() > 255 ? 255 : text.size());
  std::memcpy(a.text, text.data(), a.length);
  return a;
}

namespace UTransport {

Uint64 RaiseDescriptorLimit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
  if (lim.rlim_cur < lim.rlim_max) {
    rlimit want = lim;
    want.rlim_cur = lim.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &want) == 0) lim = want;
  }
  return static_cast<Uint64>(lim.rlim_cur);
}

void Init() {
  RaiseDescriptorLimit();
  // Sends say MSG_NOSIGNAL; this covers any other write to a closed socket.
  ::signal(SIGPIPE, SIG_IGN);
  UEventLoop::Binding();
}

TTransport New(Uint16 protocol) {
  if (protocol != kTransportTCP && protocol != kTransportUDP) UError::Raise(errClassNetwork, errBadProtocol);
  const bool stream = protocol == kTransportTCP;
  int fd = ::socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) UError::RaiseLastSystem();
  ConfigureSocket(fd, stream);
  return Adopt(fd, stream);
}

void Dispose(TTransport t) {
  if (!t) return;
  Module().live.erase(t);
  if (t->fd >= 0) {
    if (t->watching) UEventLoop::Binding().Watch(t->fd, 0, nullptr, nullptr);
    ::close(t->fd);
  }
  DiscardQueue(t);
  UTimer::Dispose(t->connectTimer);
  UTimer::Dispose(t->backoffTimer);
  if (t->handler) UMessageSys::Flush(t->handler, t->context, t);
  for (const auto& [handler, context] : t->notifiedHandlers) UMessageSys::Flush(handler, context, t);
  delete t;
}

void SetMessageHandler(TTransport t, TMessageProc handler, void* context) {
  Require(t);
  t->handler = handler;
  t->context = context;
  UpdateWatch(t);
}

void StartConnect(TTransport t, const void* address, Uint32 size) {
  Require(t);
  if (t->connected) {
    UError::Trace("UTransport - already connected");
    UError::Raise(errClassGeneral, errBadState);
  }
  if (t->status == kConnecting || t->connectLookup) {
    UError::Trace("UTransport - already connecting");
    UError::Raise(errClassGeneral, errBadState);
  }
  SConverted c = Convert(address, size);
  if (c.kind == SConverted::kInvalid) UError::Raise(errClassNetwork, errBadAddress);
  if (c.kind == SConverted::kName) {
    auto req = std::make_shared<LookupRequest>();
    req->host = c.host;
    req->port = c.port;
    t->lookupFailed = false;
    t->status = 0;
    StartLookup(t, req, false);
    t->connectLookup = std::move(req);
    return;
  }
  IssueConnect(t, c.address, true);
}

void StartConnectViaFirewall(TTransport t, const void* /*address*/, Uint32 /*size*/, const void* /*firewall*/,
                             Uint32 /*firewallSize*/) {
  Require(t);
  UError::Raise(errClassGeneral, errNotImplemented);
}

Uint16 GetConnectStatus(TTransport t) {
  Require(t);
  if (t->connected) return kConnectDone;
  if (t->status == kConnecting || t->connectLookup) return kConnectInProgress;
  if (t->lookupFailed) {
    SError e(errClassNetwork, errBadAddress);
    e.systemCode = t->status;
    throw e;
  }
  if (t->status != 0) UError::RaiseSystem(t->status);
  UError::Raise(errClassGeneral, errUnknown);
}

bool IsConnected(TTransport t) { return t && t->connected; }

void Listen(TTransport t, const void* address, Uint32 size) {
  Require(t);
  if (!address || size < 12) UError::Raise(errClassNetwork, errBadAddress);
  Uint16 type, port;
  std::memcpy(&type, address, 2);
  std::memcpy(&port, static_cast<const Uint8*>(address) + 2, 2);
  if (type != kAddressInternet) UError::Raise(errClassNetwork, errBadAddress);
  if (t->stream) {
    // A restarted server must get its port back while old connections linger.
    int on = 1;
    ::setsockopt(t->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(t->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) UError::RaiseLastSystem();
  if (t->stream) {
    if (::listen(t->fd, kListenBacklog) != 0) UError::RaiseLastSystem();
    t->listening = true;
  }
  t->readArmed = true;
  UpdateWatch(t);
}

TTransport Accept(TTransport listener, void* address, Uint32* size) {
  if (size && (!address || *size < 12)) *size = 0;
  if (!listener || listener->fd < 0) {
    if (size) *size = 0;
    return nullptr;
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd;
  do {
    fd = ::accept4(listener->fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int code = errno;
    if (size) *size = 0;
    if (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM) {
      // The connection stays pending; watching the listener now would only spin.
      UError::Trace("UTransport - out of descriptors, pausing accept");
      if (!listener->backoffTimer) listener->backoffTimer = UTimer::New(TimerProc, listener);
      listener->readArmed = false;
      listener->notified = false;
      UTimer::Start(listener->backoffTimer, kAcceptBackoffMs, false);
      UpdateWatch(listener);
    } else {
      Rearm(listener);
    }
    return nullptr;
  }
  Rearm(listener);
  ConfigureSocket(fd, true);
  TTransportRec* t = Adopt(fd, true);
  t->connected = true;
  t->established = true;
  if (address && size && *size >= 12) {
    SInternetAddress r = ToRecord(sa);
    std::memcpy(address, &r, sizeof r);
    *size = 12;
  }
  return t;
}

void Disconnect(TTransport t) {
  if (!t) return;
  if (t->fd >= 0) ::shutdown(t->fd, SHUT_RDWR);
  t->connectLookup.reset();
  UTimer::Stop(t->connectTimer);
  if (t->status == kConnecting) t->status = 0;
  DiscardQueue(t);
  t->connected = false;
  t->closeWhenDrained = false;
  t->readyWanted = false;
  t->ended = true;
  t->shutDown = true;
  UpdateWatch(t);
}

void StartDisconnect(TTransport t) {
  if (!t) return;
  if (!t->head) {
    Disconnect(t);
    return;
  }
  t->closeWhenDrained = true;
}

bool IsDisconnecting(TTransport t) { return t && t->closeWhenDrained; }

void* NewBuffer(Uint32 size) {
  if (size == 0) UError::Raise(errClassGeneral, errBadArgument);
  auto* h = static_cast<BufferHeader*>(std::malloc(sizeof(BufferHeader) + size));
  if (!h) UError::Raise(errClassMemory, errNoMemory);
  h->next = nullptr;
  h->sent = 0;
  h->size = size;
  h->file = -1;
  h->fileOffset = 0;
  return DataOf(h);
}

void DisposeBuffer(void* data) {
  if (data) std::free(HeaderOf(data));
}

Uint32 GetBufferSize(const void* data) { return data ? HeaderOf(data)->size : 0; }

namespace {

bool CannotSend(const TTransportRec* t) { return t->fd < 0 || t->broken || t->shutDown || t->closeWhenDrained; }

// An unsent queue beyond the limit means the peer has stopped reading: cut it off
// rather than let one connection hold the program's memory.
bool OverLimit(TTransportRec* t, Uint64 more) {
  if (!t->head || t->unsent + more <= gMaxUnsent.load()) return false;
  UError::Trace("UTransport - peer is not reading, unsent data over the limit; disconnecting");
  ::shutdown(t->fd, SHUT_RDWR);
  DiscardQueue(t);
  t->shutDown = true;
  EndConnection(t, SError(errClassNetwork, errConnectionLost));
  return true;
}

}  // namespace

void SendBuffer(TTransport t, void* data) {
  SendBufferPtr owned(data);
  Require(t);
  if (!data) UError::Raise(errClassGeneral, errBadArgument);
  BufferHeader* h = HeaderOf(data);
  if (CannotSend(t) || h->sent >= h->size) return;
  if (OverLimit(t, h->size - h->sent)) return;
  if (!t->head) {
    ssize_t n = SendNow(t, DataOf(h) + h->sent, h->size - h->sent);
    if (n < 0) {
      SendFailed(t, static_cast<int>(-n));
      return;
    }
    h->sent += static_cast<Uint32>(n);
    if (h->sent == h->size) return;
  }
  AppendBuffer(t, static_cast<BufferHeader*>(HeaderOf(owned.release())));
  UpdateWatch(t);
}

void SendFile(TTransport t, int file, Uint64 offset, Uint32 count) {
  Require(t);
  if (file < 0 || count == 0) UError::Raise(errClassGeneral, errBadArgument);
  if (CannotSend(t)) return;
  if (OverLimit(t, count)) return;
  auto* h = static_cast<BufferHeader*>(std::malloc(sizeof(BufferHeader)));
  if (!h) UError::Raise(errClassMemory, errNoMemory);
  h->next = nullptr;
  h->sent = 0;
  h->size = count;
  h->fileOffset = offset;
  h->file = ::fcntl(file, F_DUPFD_CLOEXEC, 0);
  if (h->file < 0) {
    const int code = errno;
    std::free(h);
    UError::RaiseSystem(code);
  }
  if (!t->head) {
    const ssize_t n = SendFileNow(t, h);
    if (n < 0) {
      FreeEntry(h);
      SendFailed(t, int(-n));
      return;
    }
    h->sent = Uint32(n);
    if (h->sent == h->size) {
      FreeEntry(h);
      return;
    }
  }
  AppendBuffer(t, h);
  UpdateWatch(t);
}

void Send(TTransport t, const void* data, Uint32 size) {
  Require(t);
  if (!data || size == 0) UError::Raise(errClassGeneral, errBadArgument);
  if (CannotSend(t)) return;
  if (OverLimit(t, size)) return;
  const Uint8* bytes = static_cast<const Uint8*>(data);
  Uint32 offset = 0;
  if (!t->head) {
    ssize_t n = SendNow(t, bytes, size);
    if (n < 0) {
      SendFailed(t, static_cast<int>(-n));
      return;
    }
    offset = static_cast<Uint32>(n);
    if (offset == size) return;
  }
  void* rest = NewBuffer(size - offset);
  std::memcpy(rest, bytes + offset, size - offset);
  AppendBuffer(t, HeaderOf(rest));
  UpdateWatch(t);
}

bool ReceiveBuffer(TTransport t, void*& data, Uint32& size) {
  data = nullptr;
  size = 0;
  if (!t || t->fd < 0) return false;
  Uint32 waiting = PendingBytes(t->fd);
  Rearm(t);
  if (waiting == 0) return false;
  void* buffer;
  try {
    buffer = NewBuffer(waiting);
  } catch (const SError&) {
    return false;
  }
  ssize_t n;
  do {
    n = ::recv(t->fd, buffer, waiting, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    NoteReadFailure(t, n);
    DisposeBuffer(buffer);
    return false;
  }
  HeaderOf(buffer)->size = static_cast<Uint32>(n);
  data = buffer;
  size = static_cast<Uint32>(n);
  return true;
}

Uint32 Receive(TTransport t, void* buffer, Uint32 capacity) {
  if (!t || t->fd < 0 || !buffer || capacity == 0) return 0;
  ssize_t n;
  do {
    n = ::recv(t->fd, buffer, capacity, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  NoteReadFailure(t, n);
  Rearm(t);
  return n > 0 ? static_cast<Uint32>(n) : 0;
}

Uint32 GetReceiveSize(TTransport t) { return t ? PendingBytes(t->fd) : 0; }

Uint32 GetUnsentSize(TTransport t) {
  if (!t) return 0;
  return t->unsent > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<Uint32>(t->unsent);
}

void NotifyReadyToSend(TTransport t) {
  Require(t);
  if (t->buffers <= 1) {
    t->readyWanted = false;
    Notify(t, msg_ReadyToSend);
  } else {
    t->readyWanted = true;
  }
}

bool IsReadyToSend(TTransport t) { return t && t->buffers <= 1; }

Uint32 SendUnit(TTransport t, const void* address, Uint32 size, const void* data, Uint32 length) {
  Require(t);
  if (!data || length == 0) UError::Raise(errClassGeneral, errBadArgument);
  SConverted c = Convert(address, size);
  if (c.kind == SConverted::kInvalid) UError::Raise(errClassNetwork, errBadAddress);
  if (c.kind == SConverted::kName) {
    if (!t->datagramLookup) {
      auto req = std::make_shared<LookupRequest>();
      req->host = c.host;
      req->port = c.port;
      t->datagram.assign(static_cast<const Uint8*>(data), length);
      t->datagramPort = c.port;
      try {
        StartLookup(t, req, true);
      } catch (...) {
        t->datagram.clear();
        throw;
      }
      t->datagramLookup = std::move(req);
      return 0;
    }
    in_addr a{};
    if (ResolveName(c.host, a) != 0) return 0;
    c.address.sin_family = AF_INET;
    c.address.sin_port = htons(c.port);
    c.address.sin_addr = a;
  }
  ssize_t n = ::sendto(t->fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&c.address),
                       sizeof c.address);
  return n > 0 ? static_cast<Uint32>(n) : 0;
}

Uint32 GetRemoteAddressText(TTransport t, char* text, Uint32 capacity) {
  Require(t);
  sockaddr_in sa = QueryAddress(t, true);
  return FormatAddress(sa.sin_addr, text, capacity);
}

Uint32 GetLocalAddressText(TTransport t, char* text, Uint32 capacity) {
  Require(t);
  sockaddr_in sa = QueryAddress(t, false);
  if (sa.sin_addr.s_addr == htonl(INADDR_ANY)) {
    char host[256] = {};
    in_addr own{};
    if (::gethostname(host, sizeof host - 1) == 0 && ResolveName(host, own) == 0) sa.sin_addr = own;
  }
  return FormatAddress(sa.sin_addr, text, capacity);
}

SInternetAddress GetRemoteAddress(TTransport t) { return ToRecord(QueryAddress(&Require(t), true)); }
SInternetAddress GetLocalAddress(TTransport t) { return ToRecord(QueryAddress(&Require(t), false)); }

void SetSendBufferSize(Uint32 bytes) { gSendBufferSize = bytes; }
Uint32 GetSendBufferSize() { return gSendBufferSize; }
void SetSendBufferSize(TTransport t, Uint32 bytes) {
  Require(t);
  int value = bytes > 0x7FFFFFFFu ? 0x7FFFFFFF : int(bytes);
  if (t->fd >= 0 && ::setsockopt(t->fd, SOL_SOCKET, SO_SNDBUF, &value, sizeof value) != 0) UError::RaiseLastSystem();
}
Uint32 GetSendBufferSize(TTransport t) {
  int value = 0;
  socklen_t len = sizeof value;
  if (!t || t->fd < 0 || ::getsockopt(t->fd, SOL_SOCKET, SO_SNDBUF, &value, &len) != 0 || value < 0) return 0;
  return Uint32(value);
}
void SetMaxUnsentSize(Uint32 bytes) { gMaxUnsent = bytes; }
Uint32 GetMaxUnsentSize() { return gMaxUnsent; }
void SetConnectTimeout(Uint32 ms) { gConnectTimeout = ms; }
Uint32 GetConnectTimeout() { return gConnectTimeout; }

SError GetCloseError(TTransport t) { return t ? t->closeError : SError(0, 0); }

}  // namespace UTransport

}  // namespace cv
