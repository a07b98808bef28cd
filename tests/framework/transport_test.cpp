#include "framework/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "framework/clock.h"
#include "framework/events.h"

using namespace cv;

namespace {

constexpr int kWaitMs = 20000;  // an upper bound only; every wait ends on an event

// One transport and the notifications it received, in order.
struct Peer {
  TTransport t = nullptr;
  std::vector<Uint32> events;
  std::function<void(Uint32)> on;

  Peer() = default;
  Peer(const Peer&) = delete;
  ~Peer() { UTransport::Dispose(t); }

  static void Proc(void* context, void* object, Uint32 id, const void*, Uint32) {
    auto* p = static_cast<Peer*>(context);
    EXPECT_EQ(object, p->t);
    p->events.push_back(id);
    if (p->on) p->on(id);
  }
  void Attach(TTransport transport) {
    t = transport;
    UTransport::SetMessageHandler(t, Proc, this);
  }
  bool Got(Uint32 id) const { return std::find(events.begin(), events.end(), id) != events.end(); }
};

Uint16 ListenOn(Peer& listener) {
  listener.Attach(UTransport::New(kTransportTCP));
  SInternetAddress any = SInternetAddress::Any(0);
  UTransport::Listen(listener.t, &any, sizeof any);
  return UTransport::GetLocalAddress(listener.t).port;
}

bool RunUntil(const std::function<bool()>& done) { return UEventLoop::RunUntilFor(done, kWaitMs); }

Uint8 PatternByte(Uint64 offset) { return static_cast<Uint8>((offset * 7 + (offset >> 16)) % 251); }

// A plain blocking socket for the far end when the test needs it to misbehave.
struct RawListener {
  int fd = -1;
  Uint16 port = 0;
  RawListener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(::listen(fd, 4), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
  ~RawListener() { ::close(fd); }
  int Accept() { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
};

// Connects client to raw; the far end's socket, or -1.
int ConnectToRaw(RawListener& raw, Peer& client) {
  client.Attach(UTransport::New(kTransportTCP));
  SInternetAddress target = SInternetAddress::Loopback(raw.port);
  UTransport::StartConnect(client.t, &target, sizeof target);
  if (!RunUntil([&] { return client.Got(msg_ConnectionEstablished); })) return -1;
  return raw.Accept();
}

// Connects client to a new listener whose first accepted connection becomes server.
void ConnectPair(Peer& listener, Peer& client, Peer& server) {
  const Uint16 port = ListenOn(listener);
  listener.on = [&](Uint32) {
    if (!server.t) server.Attach(UTransport::Accept(listener.t));
  };
  client.Attach(UTransport::New(kTransportTCP));
  SInternetAddress target = SInternetAddress::Loopback(port);
  UTransport::StartConnect(client.t, &target, sizeof target);
  ASSERT_TRUE(RunUntil([&] { return client.Got(msg_ConnectionEstablished) && server.t; }));
}

// Appends whatever arrives on peer to got.
void CollectInto(Peer& peer, std::string& got) {
  peer.on = [&peer, &got](Uint32 id) {
    if (id != msg_DataArrived) return;
    char buf[65536];
    while (Uint32 n = UTransport::Receive(peer.t, buf, sizeof buf)) got.append(buf, n);
  };
}

class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    UTransport::Init();
    UMessageSys::Clear();
    UClock::SetTestOffset(0);
  }
  void TearDown() override {
    UTransport::SetMaxUnsentSize(8u << 20);
    UMessageSys::Clear();
    UClock::SetTestOffset(0);
  }
};

TEST_F(Transport, BulkTransferWithNotificationsInOrder) {
  constexpr Uint64 kTotal = 50ull << 20;
  constexpr Uint32 kChunk = 1u << 20;
  Peer listener, client, server;
  const Uint16 port = ListenOn(listener);

  SInternetAddress peerAddress{};
  Uint32 peerSize = sizeof peerAddress;
  listener.on = [&](Uint32 id) {
    if (id != msg_ConnectionRequest || server.t) return;
    server.Attach(UTransport::Accept(listener.t, &peerAddress, &peerSize));
  };

  Uint64 sent = 0;
  auto pump = [&] {
    while (sent < kTotal && UTransport::IsReadyToSend(client.t)) {
      void* buffer = UTransport::NewBuffer(kChunk);
      auto* bytes = static_cast<Uint8*>(buffer);
      for (Uint32 i = 0; i < kChunk; ++i) bytes[i] = PatternByte(sent + i);
      UTransport::SendBuffer(client.t, buffer);
      sent += kChunk;
    }
    if (sent < kTotal)
      UTransport::NotifyReadyToSend(client.t);
    else
      UTransport::StartDisconnect(client.t);
  };
  client.on = [&](Uint32 id) {
    if (id == msg_ConnectionEstablished || id == msg_ReadyToSend) pump();
  };

  Uint64 received = 0;
  bool corrupt = false;
  server.on = [&](Uint32 id) {
    if (id != msg_DataArrived) return;
    void* data;
    Uint32 size;
    while (UTransport::ReceiveBuffer(server.t, data, size)) {
      const auto* bytes = static_cast<const Uint8*>(data);
      for (Uint32 i = 0; i < size && !corrupt; i += 4093) corrupt = bytes[i] != PatternByte(received + i);
      received += size;
      UTransport::DisposeBuffer(data);
    }
  };

  client.Attach(UTransport::New(kTransportTCP));
  SInternetAddress target = SInternetAddress::Loopback(port);
  UTransport::StartConnect(client.t, &target, sizeof target);
  EXPECT_EQ(UTransport::GetConnectStatus(client.t), kConnectInProgress);

  ASSERT_TRUE(RunUntil([&] { return server.Got(msg_ConnectionClosed); }));
  EXPECT_EQ(received, kTotal);
  EXPECT_FALSE(corrupt);
  EXPECT_EQ(UTransport::GetUnsentSize(client.t), 0u);

  // Listener: one request. Server: data, then one close, last.
  EXPECT_EQ(listener.events, (std::vector<Uint32>{msg_ConnectionRequest}));
  ASSERT_GE(server.events.size(), 2u);
  EXPECT_EQ(server.events.back(), msg_ConnectionClosed);
  EXPECT_EQ(std::count(server.events.begin(), server.events.end(), msg_ConnectionClosed), 1);
  for (std::size_t i = 0; i + 1 < server.events.size(); ++i) EXPECT_EQ(server.events[i], msg_DataArrived);
  EXPECT_FALSE(UTransport::IsConnected(server.t));
  EXPECT_EQ(UTransport::GetCloseError(server.t).errClass, 0);

  // Client: established first, then only ready-to-send; a local close posts nothing.
  ASSERT_FALSE(client.events.empty());
  EXPECT_EQ(client.events.front(), msg_ConnectionEstablished);
  for (std::size_t i = 1; i < client.events.size(); ++i) EXPECT_EQ(client.events[i], msg_ReadyToSend);

  EXPECT_EQ(peerSize, 12u);
  EXPECT_EQ(peerAddress.type, kAddressInternet);
  EXPECT_EQ(peerAddress.host[0], 127);
  char text[32];
  Uint32 n = UTransport::GetRemoteAddressText(server.t, text, sizeof text);
  EXPECT_EQ(std::string(text, n), "127.0.0.1");
  EXPECT_EQ(UTransport::GetRemoteAddressText(server.t, text, 3), 3u);

  // Nothing else pending.
  EXPECT_EQ(UTransport::Accept(listener.t), nullptr);
}

TEST_F(Transport, SendsKeepOrderBehindQueuedBytes) {
  Peer listener, client, server;
  ASSERT_NO_FATAL_FAILURE(ConnectPair(listener, client, server));

  // Far more than the socket takes at once, in several calls: order must hold.
  std::string expected;
  for (int i = 0; i < 40; ++i) {
    std::string piece(100000 + i, static_cast<char>('A' + i % 26));
    expected += piece;
    UTransport::Send(client.t, piece.data(), static_cast<Uint32>(piece.size()));
  }
  EXPECT_GT(UTransport::GetUnsentSize(client.t), 0u);
  EXPECT_FALSE(UTransport::IsReadyToSend(client.t));
  UTransport::NotifyReadyToSend(client.t);

  std::string got;
  CollectInto(server, got);
  ASSERT_TRUE(RunUntil([&] { return got.size() == expected.size(); }));
  EXPECT_TRUE(got == expected);
  EXPECT_TRUE(client.Got(msg_ReadyToSend));
  EXPECT_LE(UTransport::GetUnsentSize(client.t), expected.size());
}

// An unnamed file in memory holding PatternByte(0 .. size - 1).
int PatternFile(Uint32 size) {
  const int fd = ::memfd_create("pattern", MFD_CLOEXEC);
  std::vector<Uint8> bytes(size);
  for (Uint32 i = 0; i < size; ++i) bytes[i] = PatternByte(i);
  EXPECT_EQ(::pwrite(fd, bytes.data(), size, 0), ssize_t(size));
  return fd;
}

std::string PatternText(Uint64 from, Uint64 count) {
  std::string s(count, '\0');
  for (Uint64 i = 0; i < count; ++i) s[i] = char(PatternByte(from + i));
  return s;
}

int OpenDescriptors() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd) n += ::fcntl(fd, F_GETFD) != -1;
  return n;
}

TEST_F(Transport, FileRangesGoOutInOrderAmongBuffersAndKeepNoDescriptor) {
  Peer listener, client, server;
  ASSERT_NO_FATAL_FAILURE(ConnectPair(listener, client, server));
  const int before = OpenDescriptors();

  // Ranges far larger than the socket takes at once, with bytes queued between them; the
  // caller's own descriptor goes at once.
  const int file = PatternFile(3u << 20);
  std::string expected = "head";
  UTransport::Send(client.t, "head", 4);
  UTransport::SendFile(client.t, file, 1000, 2u << 20);
  expected += PatternText(1000, 2u << 20);
  UTransport::Send(client.t, "mid", 3);
  expected += "mid";
  UTransport::SendFile(client.t, file, 7, 100000);
  expected += PatternText(7, 100000);
  void* tail = UTransport::NewBuffer(4);
  std::memcpy(tail, "tail", 4);
  UTransport::SendBuffer(client.t, tail);
  expected += "tail";
  ::close(file);
  EXPECT_FALSE(UTransport::IsReadyToSend(client.t));
  EXPECT_GT(UTransport::GetUnsentSize(client.t), 0u);
  EXPECT_LE(UTransport::GetUnsentSize(client.t), expected.size());
  UTransport::NotifyReadyToSend(client.t);

  std::string got;
  CollectInto(server, got);
  ASSERT_TRUE(RunUntil([&] { return got.size() >= expected.size(); }));
  EXPECT_TRUE(got == expected);
  EXPECT_TRUE(client.Got(msg_ReadyToSend));
  EXPECT_EQ(UTransport::GetUnsentSize(client.t), 0u);
  EXPECT_EQ(OpenDescriptors(), before);

  // Ranges still queued at disposal give their descriptors back as well.
  const int again = PatternFile(3u << 20);
  for (int i = 0; i < 3; ++i) UTransport::SendFile(client.t, again, 0, 2u << 20);
  ::close(again);
  UTransport::Dispose(client.t);
  client.t = nullptr;
  EXPECT_EQ(OpenDescriptors(), before - 1);
}

TEST_F(Transport, OneSocketsSendBufferCanBeDeepenedAfterTheDefault) {
  const Uint32 setting = UTransport::GetSendBufferSize();
  ASSERT_GT(setting, 0u);
  TransportPtr t(UTransport::New(kTransportTCP));
  const Uint32 initial = UTransport::GetSendBufferSize(t.get());
  EXPECT_GE(initial, setting);
  UTransport::SetSendBufferSize(t.get(), 4 * setting);
  EXPECT_GT(UTransport::GetSendBufferSize(t.get()), initial);
  // The module's setting for new sockets stays.
  EXPECT_EQ(UTransport::GetSendBufferSize(), setting);
}

TEST_F(Transport, FileRangePastTheFilesEndCutsTheConnection) {
  RawListener raw;
  Peer client;
  int far = ConnectToRaw(raw, client);
  ASSERT_GE(far, 0);
  timeval limit{20, 0};
  ::setsockopt(far, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

  const int file = PatternFile(100000);
  UTransport::SendFile(client.t, file, 0, 200000);
  ::close(file);
  ASSERT_TRUE(RunUntil([&] { return client.Got(msg_ConnectionClosed); }));
  EXPECT_FALSE(UTransport::IsConnected(client.t));
  EXPECT_EQ(UTransport::GetCloseError(client.t).systemCode, EIO);
  EXPECT_EQ(UTransport::GetUnsentSize(client.t), 0u);
  // The far end gets what the file had, then the end of the stream rather than silence.
  std::string got;
  char buf[65536];
  ssize_t n;
  while ((n = ::recv(far, buf, sizeof buf, 0)) > 0) got.append(buf, std::size_t(n));
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(got == PatternText(0, 100000));
  ::close(far);
}

TEST_F(Transport, ReadyToSendWithEmptyQueueComesAtOnce) {
  Peer udp;
  udp.Attach(UTransport::New(kTransportUDP));
  UTransport::NotifyReadyToSend(udp.t);
  EXPECT_TRUE(UTransport::IsReadyToSend(udp.t));
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(udp.events, (std::vector<Uint32>{msg_ReadyToSend}));
}

TEST_F(Transport, RefusedConnectFails) {
  Uint16 port;
  {
    Peer closed;
    port = ListenOn(closed);
  }
  Peer client;
  client.Attach(UTransport::New(kTransportTCP));
  SInternetAddress target = SInternetAddress::Loopback(port);
  try {
    UTransport::StartConnect(client.t, &target, sizeof target);
    ASSERT_TRUE(RunUntil([&] { return client.Got(msg_ConnectionFailed); }));
    EXPECT_EQ(client.events, (std::vector<Uint32>{msg_ConnectionFailed}));
    UTransport::GetConnectStatus(client.t);
    FAIL() << "no error";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(errClassNetwork, errRefused)) << e.errClass << "/" << e.id;
  }
  EXPECT_FALSE(UTransport::IsConnected(client.t));
}

TEST_F(Transport, HostThatDoesNotResolveFails) {
  Peer client;
  client.Attach(UTransport::New(kTransportTCP));
  SInternetNameAddress target = SInternetNameAddress::Make("nowhere.corvane.invalid", 5500);
  UTransport::StartConnect(client.t, &target, target.Size());
  EXPECT_EQ(UTransport::GetConnectStatus(client.t), kConnectInProgress);
  try {
    UTransport::StartConnect(client.t, &target, target.Size());
    FAIL() << "second connect accepted";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(errClassGeneral, errBadState));
  }
  ASSERT_TRUE(RunUntil([&] { return client.Got(msg_ConnectionFailed); }));
  try {
    UTransport::GetConnectStatus(client.t);
    FAIL() << "no error";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(errClassNetwork, errBadAddress));
  }
}

TEST_F(Transport, NameRecordsAndTheirPorts) {
  Peer listener;
  const Uint16 port = ListenOn(listener);
  int requests = 0;
  std::vector<TransportPtr> accepted;
  listener.on = [&](Uint32) {
    while (TTransport t = UTransport::Accept(listener.t)) {
      accepted.emplace_back(t);
      ++requests;
    }
  };
  const std::string portText = std::to_string(port);
  struct Case {
    std::string text;
    Uint16 recordPort;
  } good[] = {
      {"127.0.0.1:" + portText, 0},  // dotted address, port from the text, no lookup
      {"localhost:" + portText, 0},  // looked up
      {"localhost:1", port},         // the record's port wins over the text's
  };
  for (const auto& c : good) {
    Peer client;
    client.Attach(UTransport::New(kTransportTCP));
    SInternetNameAddress a = SInternetNameAddress::Make(c.text, c.recordPort);
    UTransport::StartConnect(client.t, &a, a.Size());
    ASSERT_TRUE(RunUntil([&] { return !client.events.empty(); })) << c.text;
    EXPECT_EQ(client.events, (std::vector<Uint32>{msg_ConnectionEstablished})) << c.text;
    EXPECT_EQ(UTransport::GetConnectStatus(client.t), kConnectDone);
  }
  ASSERT_TRUE(RunUntil([&] { return requests == 3; }));

  struct Bad {
    std::vector<Uint8> record;
  };
  SInternetNameAddress noPort = SInternetNameAddress::Make("localhost", 0);
  SInternetNameAddress emptyName = SInternetNameAddress::Make("", 80);
  SInternetAddress shortLiteral = SInternetAddress::Loopback(port);
  Uint16 unknownType[6] = {7, 80, 0, 0, 0, 0};
  Peer client;
  client.Attach(UTransport::New(kTransportTCP));
  auto expectBadAddress = [&](const void* record, Uint32 size) {
    try {
      UTransport::StartConnect(client.t, record, size);
      ADD_FAILURE() << "accepted";
    } catch (const SError& e) {
      EXPECT_TRUE(e.Is(errClassNetwork, errBadAddress)) << e.errClass << "/" << e.id;
    }
  };
  expectBadAddress(&noPort, noPort.Size());
  expectBadAddress(&emptyName, emptyName.Size());
  expectBadAddress(&noPort, noPort.Size() - 2);  // record shorter than its text
  expectBadAddress(&shortLiteral, 11);
  expectBadAddress(unknownType, sizeof unknownType);
  expectBadAddress(nullptr, 0);
}

TEST_F(Transport, MisuseRaisesTheDocumentedErrors) {
  auto expectError = [](Int16 cls, Int16 id, const std::function<void()>& fn) {
    try {
      fn();
      ADD_FAILURE() << "no error for " << cls << "/" << id;
    } catch (const SError& e) {
      EXPECT_TRUE(e.Is(cls, id)) << e.errClass << "/" << e.id;
    }
  };
  TransportPtr t(UTransport::New(kTransportTCP));
  SInternetAddress a = SInternetAddress::Loopback(1);
  SInternetNameAddress fw = SInternetNameAddress::Make("firewall", 1080);
  expectError(1, 4, [&] { UTransport::StartConnectViaFirewall(t.get(), &a, sizeof a, &fw, fw.Size()); });
  expectError(8, 107, [] { UTransport::New(3); });
  expectError(1, 2, [] { UTransport::Send(nullptr, "x", 1); });
  expectError(1, 2, [&] { UTransport::Send(t.get(), nullptr, 1); });
  expectError(1, 2, [] { UTransport::NotifyReadyToSend(nullptr); });
  expectError(1, 2, [] { UTransport::SendFile(nullptr, 0, 0, 1); });
  expectError(1, 2, [&] { UTransport::SendFile(t.get(), -1, 0, 1); });
  expectError(1, 2, [] { UTransport::SetSendBufferSize(nullptr, 65536); });
  expectError(1, 1, [&] { UTransport::GetConnectStatus(t.get()); });
  expectError(8, 101, [&] { UTransport::Listen(t.get(), &fw, fw.Size()); });
  // Queries and disposal accept none.
  EXPECT_FALSE(UTransport::IsConnected(nullptr));
  EXPECT_EQ(UTransport::GetUnsentSize(nullptr), 0u);
  EXPECT_EQ(UTransport::GetSendBufferSize(nullptr), 0u);
  EXPECT_EQ(UTransport::Receive(nullptr, nullptr, 0), 0u);
  EXPECT_EQ(UTransport::Accept(nullptr), nullptr);
  UTransport::Disconnect(nullptr);
  UTransport::Dispose(nullptr);
}

TEST_F(Transport, PeerResetMidSendIsReportedAsClose) {
  RawListener raw;
  Peer client;
  int far = ConnectToRaw(raw, client);
  ASSERT_GE(far, 0);

  // Keep the queue full so that the reset meets queued bytes.
  std::vector<Uint8> chunk(256 * 1024, 0x5A);
  auto fill = [&] {
    while (UTransport::IsConnected(client.t) && UTransport::IsReadyToSend(client.t))
      UTransport::Send(client.t, chunk.data(), static_cast<Uint32>(chunk.size()));
    if (UTransport::IsConnected(client.t)) UTransport::NotifyReadyToSend(client.t);
  };
  client.on = [&](Uint32 id) {
    if (id == msg_ReadyToSend) fill();
  };
  fill();
  char sink[4096];
  ASSERT_GT(::recv(far, sink, sizeof sink, 0), 0);
  linger hard{1, 0};
  ::setsockopt(far, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(far);  // unread data and zero linger: a reset

  ASSERT_TRUE(RunUntil([&] { return client.Got(msg_ConnectionClosed); }));
  EXPECT_FALSE(UTransport::IsConnected(client.t));
  EXPECT_TRUE(UTransport::GetCloseError(client.t).Is(errClassNetwork, errConnectionLost));
  EXPECT_EQ(UTransport::GetUnsentSize(client.t), 0u);
  EXPECT_EQ(std::count(client.events.begin(), client.events.end(), msg_ConnectionClosed), 1);
  // Sending on the dead connection does nothing.
  UTransport::Send(client.t, chunk.data(), 10);
  EXPECT_EQ(UTransport::GetUnsentSize(client.t), 0u);
}

TEST_F(Transport, PeerThatStopsReadingIsCutOffAtTheLimit) {
  UTransport::SetMaxUnsentSize(1u << 20);
  RawListener raw;
  Peer client;
  int far = ConnectToRaw(raw, client);  // accepted, never read
  ASSERT_GE(far, 0);

  // An owner that ignores pacing and sends on every pass; bounded at 256 MiB.
  std::vector<Uint8> chunk(64 * 1024, 0x11);
  Uint64 offered = 0;
  bool cut = RunUntil([&] {
    if (client.Got(msg_ConnectionClosed)) return true;
    if (offered < (256ull << 20)) {
      for (int i = 0; i < 16 && UTransport::IsConnected(client.t); ++i) {
        UTransport::Send(client.t, chunk.data(), static_cast<Uint32>(chunk.size()));
        offered += chunk.size();
      }
    }
    return client.Got(msg_ConnectionClosed);
  });
  ::close(far);
  ASSERT_TRUE(cut);
  EXPECT_FALSE(UTransport::IsConnected(client.t));
  EXPECT_TRUE(UTransport::GetCloseError(client.t).Is(errClassNetwork, errConnectionLost));
  EXPECT_EQ(UTransport::GetUnsentSize(client.t), 0u);
}

TEST_F(Transport, ConnectThatNeverCompletesTimesOut) {
  // A listener whose accept queue is full drops further connection attempts, so a
  // connect to it stays in progress.
  int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(lfd, 0), 0);
  socklen_t len = sizeof sa;
  ::getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    fillers.push_back(fd);
  }
  UEventLoop::RunUntilFor([] { return false; }, 50);  // let the handshakes settle

  Peer client;
  client.Attach(UTransport::New(kTransportTCP));
  SInternetAddress target = SInternetAddress::Loopback(ntohs(sa.sin_port));
  UTransport::StartConnect(client.t, &target, sizeof target);
  UEventLoop::RunUntilIdle();
  if (UTransport::GetConnectStatus(client.t) != kConnectInProgress) {
    for (int fd : fillers) ::close(fd);
    ::close(lfd);
    GTEST_SKIP() << "the system completed the connect anyway";
  }
  UClock::Advance(UTransport::GetConnectTimeout());
  ASSERT_TRUE(RunUntil([&] { return client.Got(msg_ConnectionFailed); }));
  EXPECT_EQ(client.events, (std::vector<Uint32>{msg_ConnectionFailed}));
  try {
    UTransport::GetConnectStatus(client.t);
    ADD_FAILURE() << "no error";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(errClassNetwork, errTimedOut)) << e.errClass << "/" << e.id;
  }
  for (int fd : fillers) ::close(fd);
  ::close(lfd);
}

TEST_F(Transport, PausedReaderIsToldOnceAndHearsTheCloseAfterReading) {
  RawListener raw;
  Peer client;
  int far = ConnectToRaw(raw, client);
  ASSERT_GE(far, 0);
  ASSERT_EQ(::send(far, "hello", 5, 0), 5);
  ::close(far);  // data, then the close

  ASSERT_TRUE(RunUntil([&] { return client.Got(msg_DataArrived); }));
  // The owner does not read: the loop goes quiet instead of repeating the news.
  UEventLoop::RunUntilFor([] { return false; }, 30);
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(client.events, (std::vector<Uint32>{msg_ConnectionEstablished, msg_DataArrived}));
  EXPECT_TRUE(UTransport::IsConnected(client.t));

  char buf[16];
  EXPECT_EQ(UTransport::GetReceiveSize(client.t), 5u);
  EXPECT_EQ(UTransport::Receive(client.t, buf, sizeof buf), 5u);
  ASSERT_TRUE(RunUntil([&] { return client.Got(msg_ConnectionClosed); }));
  EXPECT_EQ(client.events.back(), msg_ConnectionClosed);
  EXPECT_FALSE(UTransport::IsConnected(client.t));
}

TEST_F(Transport, DatagramsToAddressesAndNames) {
  Peer receiver, sender;
  receiver.Attach(UTransport::New(kTransportUDP));
  SInternetAddress any = SInternetAddress::Any(0);
  UTransport::Listen(receiver.t, &any, sizeof any);
  const Uint16 port = UTransport::GetLocalAddress(receiver.t).port;
  std::vector<std::string> got;
  receiver.on = [&](Uint32 id) {
    if (id != msg_DataArrived) return;
    char buf[2048];
    while (Uint32 n = UTransport::Receive(receiver.t, buf, sizeof buf)) got.emplace_back(buf, n);
  };
  sender.Attach(UTransport::New(kTransportUDP));
  SInternetAddress literal = SInternetAddress::Loopback(port);
  EXPECT_EQ(UTransport::SendUnit(sender.t, &literal, sizeof literal, "literal", 7), 7u);
  SInternetNameAddress name = SInternetNameAddress::Make("localhost", port);
  UTransport::SendUnit(sender.t, &name, name.Size(), "by-name", 7);   // looked up on the helper
  UTransport::SendUnit(sender.t, &name, name.Size(), "blocking", 8);  // a lookup is pending: resolved at once
  ASSERT_TRUE(RunUntil([&] { return got.size() == 3; }));
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"blocking", "by-name", "literal"}));
}

TEST_F(Transport, DisposingDuringLookupIgnoresTheLateAnswer) {
  for (int i = 0; i < 5; ++i) {
    TTransport t = UTransport::New(kTransportTCP);
    Peer watcher;
    UTransport::SetMessageHandler(t, Peer::Proc, &watcher);
    SInternetNameAddress a = SInternetNameAddress::Make("localhost", 9);
    UTransport::StartConnect(t, &a, a.Size());
    UTransport::Dispose(t);
    EXPECT_TRUE(watcher.events.empty());
  }
  // Let the helpers answer; nothing may reach the freed transports.
  UEventLoop::RunUntilFor([] { return false; }, 200);
  EXPECT_EQ(UMessageSys::GetCount(), 0u);
}

TEST_F(Transport, OutOfDescriptorsOnAcceptBacksOffInsteadOfSpinning) {
  Peer listener, client;
  const Uint16 port = ListenOn(listener);
  int requests = 0;
  TransportPtr accepted;
  listener.on = [&](Uint32 id) {
    if (id != msg_ConnectionRequest) return;
    ++requests;
    accepted.reset(UTransport::Accept(listener.t));
  };
  client.Attach(UTransport::New(kTransportTCP));

  // No descriptor left for the accepted socket (every one below the limit is in use).
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  int probe = ::dup(0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(probe);
  ::close(probe);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

  SInternetAddress target = SInternetAddress::Loopback(port);
  UTransport::StartConnect(client.t, &target, sizeof target);
  ASSERT_TRUE(RunUntil([&] { return requests == 1 && client.Got(msg_ConnectionEstablished); }));
  EXPECT_EQ(accepted, nullptr);
  // Idle now: the listener is not watched while backing off, so this returns at once.
  UEventLoop::RunUntilIdle();
  UEventLoop::RunUntilFor([] { return false; }, 30);
  EXPECT_EQ(requests, 1);

  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  UClock::Advance(100);
  ASSERT_TRUE(RunUntil([&] { return accepted != nullptr; }));
  EXPECT_EQ(requests, 2);
  EXPECT_TRUE(UTransport::IsConnected(accepted.get()));
}

TEST_F(Transport, DescriptorLimitIsRaisedToTheHardLimit) {
  UTransport::RaiseDescriptorLimit();
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  EXPECT_EQ(lim.rlim_cur, lim.rlim_max);
}

TEST_F(Transport, LocalAddressOfAWildcardListenerIsNotTheWildcard) {
  Peer listener;
  ListenOn(listener);
  char text[32];
  Uint32 n = UTransport::GetLocalAddressText(listener.t, text, sizeof text);
  std::string s(text, n);
  in_addr parsed{};
  EXPECT_EQ(::inet_pton(AF_INET, s.c_str(), &parsed), 1) << s;
  char host[256] = {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  if (::gethostname(host, sizeof host - 1) == 0 && ::getaddrinfo(host, nullptr, &hints, &list) == 0) {
    ::freeaddrinfo(list);
    EXPECT_NE(s, "0.0.0.0");
  }
}

}  // namespace
