// Transaction connections over real loopback sockets and the real loop: both ends in
// this process, or one end played by a raw transport that writes exact bytes.
#include "protocol/transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "framework/clock.h"
#include "framework/errors.h"
#include "framework/events.h"
#include "framework/transport.h"
#include "protocol/catalogue.h"

using namespace cv;

namespace {

constexpr int kWaitMs = 5000;

bool RunUntil(const std::function<bool()>& done) { return UEventLoop::RunUntilFor(done, kWaitMs); }

// Records the notification ids an owner receives.
struct Owner {
  std::vector<Uint32> seen;
  static void Proc(void* context, void*, Uint32 id, const void*, Uint32) {
    static_cast<Owner*>(context)->seen.push_back(id);
  }
  bool Saw(Uint32 id) const { return std::find(seen.begin(), seen.end(), id) != seen.end(); }
};

// A peer that reads and writes raw bytes.
struct RawPeer {
  TransportPtr t;
  Bytes got;
  bool closed = false;
  static void Proc(void* context, void*, Uint32 id, const void*, Uint32) {
    auto* p = static_cast<RawPeer*>(context);
    if (id == msg_DataArrived) {
      Uint8 buf[4096];
      while (Uint32 n = UTransport::Receive(p->t.get(), buf, sizeof buf)) p->got.append(buf, n);
    }
    if (id == msg_ConnectionClosed) p->closed = true;
  }
  void Adopt(TTransport transport) {
    t.reset(transport);
    UTransport::SetMessageHandler(t.get(), &Proc, this);
  }
  void Send(const Bytes& b) { UTransport::Send(t.get(), b.data(), Uint32(b.size())); }
};

Bytes Frame(Uint16 type, Uint32 id, bool reply, const Bytes& data, Uint32 total = 0) {
  STransactionHeader h;
  h.isReply = reply;
  h.type = type;
  h.id = id;
  h.totalSize = total ? total : Uint32(data.size());
  h.dataSize = Uint32(data.size());
  return EncodeTransaction(h, data);
}

class Transactions : public ::testing::Test {
 protected:
  void SetUp() override {
    UTransport::Init();
    UMessageSys::Clear();
    UClock::SetTestOffset(0);
    // Hold the clock still so that only Advance moves it, however slow the machine is:
    // checks one millisecond before a deadline must not race real time.
    const std::int64_t base = UClock::Milliseconds();
    UClock::SetSource([base] { return base; });
    listener_.reset(UTransaction::NewConnection());
    const SInternetAddress any = SInternetAddress::Any(0);
    UTransport::Listen(UTransaction::GetTransport(listener_.get()), &any, sizeof any);
    port_ = UTransport::GetLocalAddress(UTransaction::GetTransport(listener_.get())).port;
  }
  void TearDown() override {
    server_.reset();
    client_.reset();
    listener_.reset();
    UMessageSys::Clear();
    UClock::SetTestOffset(0);
    UClock::SetSource(nullptr);
  }

  SInternetAddress Here() const { return SInternetAddress::Loopback(port_); }

  // A client connection that has started connecting to our listener.
  void StartClient() {
    client_.reset(UTransaction::NewConnection());
    UTransaction::SetMessageHandler(client_.get(), &Owner::Proc, &clientOwner_);
    UTransaction::SetProtocol(client_.get(), FourCC("CRVN"), 2);
    const SInternetAddress a = Here();
    UTransaction::StartConnect(client_.get(), &a, sizeof a);
  }

  bool AcceptServer() {
    if (!server_) {
      server_.reset(UTransaction::AcceptConnection(listener_.get()));
      if (server_) UTransaction::SetMessageHandler(server_.get(), &Owner::Proc, &serverOwner_);
    }
    return server_ != nullptr;
  }

  // Both ends established, the way the client and the server drive them.
  void Establish() {
    StartClient();
    ASSERT_TRUE(RunUntil([&] {
      if (AcceptServer() && !UTransaction::IsEstablished(server_.get())) {
        Uint32 code = 0;
        Uint16 version = 0;
        if (UTransaction::ReadHandshake(server_.get(), &code, &version) == kHandshakeValid) {
          EXPECT_EQ(code, FourCC("CRVN"));
          EXPECT_EQ(version, 2);
          UTransaction::AcceptHandshake(server_.get());
        }
      }
      return UTransaction::Connect(client_.get()) == kTransactEstablished;
    }));
  }

  // A raw peer accepted from the listener (the client side under test).
  void AcceptRaw(RawPeer& peer) {
    ASSERT_TRUE(RunUntil([&] {
      if (!peer.t) {
        if (TTransport t = UTransport::Accept(UTransaction::GetTransport(listener_.get()))) peer.Adopt(t);
      }
      UTransaction::Connect(client_.get());
      return peer.got.size() >= kClientHandshakeSize;
    }));
  }

  TransactionPtr NextRequest(Uint16 filter = 0) {
    TransactionPtr t;
    RunUntil([&] {
      t.reset(UTransaction::NextRequest(server_.get(), filter, true));
      return t != nullptr;
    });
    return t;
  }

  TransactConnectionPtr listener_, client_, server_;
  Owner clientOwner_, serverOwner_;
  Uint16 port_ = 0;
};

SError ConnectError(TTransactConnection c, const std::function<void()>& between = {}) {
  SError caught(0, 0);
  RunUntil([&] {
    if (between) between();
    try {
      UTransaction::Connect(c);
    } catch (const SError& e) {
      caught = e;
      return true;
    }
    return false;
  });
  return caught;
}

}  // namespace

TEST_F(Transactions, ClientHandshakeBytesAndServerAnswers) {
  struct Case {
    const char* what;
    Bytes answer;  // empty: the server closes without answering
    Int16 cls, id;
  } cases[] = {
      {"accepted", {0x54, 0x52, 0x54, 0x50, 0, 0, 0, 0}, 0, 0},
      {"refused", {0x54, 0x52, 0x54, 0x50, 0, 0, 0, 1}, errClassGeneral, errBadVersion},
      {"not TRTP", {'H', 'T', 'T', 'P', '/', '1', '.', '1'}, errClassGeneral, errBadFormat},
      {"closed", {}, errClassNetwork, errHandshakeLost},
  };
  for (const auto& c : cases) {
    StartClient();
    RawPeer peer;
    AcceptRaw(peer);
    EXPECT_EQ(peer.got, (Bytes{0x54, 0x52, 0x54, 0x50, 'C', 'R', 'V', 'N', 0, 1, 0, 2})) << c.what;
    if (c.answer.empty()) {
      UTransport::Disconnect(peer.t.get());
    } else {
      // In two pieces: the client must wait for all eight bytes.
      peer.Send(Bytes(c.answer.begin(), c.answer.begin() + 3));
      UEventLoop::RunUntilIdle();
      EXPECT_EQ(UTransaction::Connect(client_.get()), kTransactHandshaking) << c.what;
      peer.Send(Bytes(c.answer.begin() + 3, c.answer.end()));
    }
    if (c.cls == 0) {
      EXPECT_TRUE(RunUntil([&] { return UTransaction::Connect(client_.get()) == kTransactEstablished; })) << c.what;
      EXPECT_TRUE(UTransaction::IsEstablished(client_.get()));
    } else {
      SError e = ConnectError(client_.get());
      EXPECT_TRUE(e.Is(c.cls, c.id)) << c.what << " got " << e.errClass << "," << e.id;
      // And again on the next call.
      EXPECT_THROW(UTransaction::Connect(client_.get()), SError) << c.what;
    }
    client_.reset();
  }
}

TEST_F(Transactions, HandshakeTimesOutAfterTwentySeconds) {
  StartClient();
  RawPeer peer;
  AcceptRaw(peer);
  EXPECT_EQ(UTransaction::Connect(client_.get()), kTransactHandshaking);
  UClock::Advance(kHandshakeTimeout - 1);
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(UTransaction::Connect(client_.get()), kTransactHandshaking);
  UClock::Advance(1);
  SError e = ConnectError(client_.get());
  EXPECT_TRUE(e.Is(errClassNetwork, errNoAnswer));
  EXPECT_TRUE(clientOwner_.Saw(msg_TransactionUpdate));
}

TEST_F(Transactions, ServerChecksTheClientsHandshake) {
  struct Case {
    const char* what;
    Bytes hello;
    Uint16 result;
    Bytes answer;
  } cases[] = {
      {"wrong version",
       {0x54, 0x52, 0x54, 0x50, 'C', 'R', 'V', 'N', 0, 2, 0, 2},
       kHandshakeWrongVersion,
       {0x54, 0x52, 0x54, 0x50, 0, 0, 0, 1}},
      {"wrong magic", {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1'}, kHandshakeWrongMagic, {}},
      {"valid", {0x54, 0x52, 0x54, 0x50, 'X', 'Y', 'Z', 'W', 0, 1, 0, 7}, kHandshakeValid, {}},
  };
  for (const auto& c : cases) {
    RawPeer peer;
    peer.Adopt(UTransport::New(kTransportTCP));
    const SInternetAddress a = Here();
    UTransport::StartConnect(peer.t.get(), &a, sizeof a);
    ASSERT_TRUE(RunUntil([&] { return AcceptServer(); }));
    // In two pieces; nothing is decided until all twelve bytes are there.
    peer.Send(Bytes(c.hello.begin(), c.hello.begin() + 5));
    UEventLoop::RunUntilIdle();
    EXPECT_EQ(UTransaction::ReadHandshake(server_.get()), kHandshakeIncomplete) << c.what;
    peer.Send(Bytes(c.hello.begin() + 5, c.hello.end()));
    Uint16 result = 0;
    ASSERT_TRUE(RunUntil([&] {
      result = UTransaction::ReadHandshake(server_.get());
      return result != kHandshakeIncomplete;
    }));
    EXPECT_EQ(result, c.result) << c.what;
    if (!c.answer.empty()) {
      EXPECT_TRUE(RunUntil([&] { return peer.got.size() >= c.answer.size(); }));
      EXPECT_EQ(peer.got, c.answer) << c.what;
    }
    if (c.result == kHandshakeValid) {
      UTransaction::RejectHandshake(server_.get(), 0);
      EXPECT_TRUE(RunUntil([&] { return peer.got.size() >= 8; }));
      EXPECT_EQ(peer.got, (Bytes{0x54, 0x52, 0x54, 0x50, 0, 0, 0, 1}));
    }
    server_.reset();
  }
}

TEST_F(Transactions, RequestAndReplyRoundTrip) {
  Establish();
  TransactionPtr request(UTransaction::NewRequest(client_.get(), trn::GetNews));
  UFieldData none;
  UTransaction::Send(request.get(), none);
  EXPECT_FALSE(UTransaction::IsComplete(request.get()));

  TransactionPtr incoming = NextRequest();
  ASSERT_TRUE(incoming);
  EXPECT_EQ(UTransaction::GetType(incoming.get()), trn::GetNews);
  EXPECT_EQ(UTransaction::GetTotalSize(incoming.get()), 2u);
  UFieldData got;
  UTransaction::GetData(incoming.get(), got);
  EXPECT_EQ(got.GetBlock(), (Bytes{0, 0}));
  UFieldData reply;
  reply.AddText(fld::Data, "All quiet.");
  UTransaction::Send(incoming.get(), reply);
  // One reply per request.
  UFieldData again;
  EXPECT_THROW(UTransaction::Send(incoming.get(), again), SError);

  ASSERT_TRUE(RunUntil([&] { return UTransaction::IsComplete(request.get()); }));
  EXPECT_EQ(UTransaction::GetErrorCode(request.get()), 0u);
  UFieldData news;
  UTransaction::GetData(request.get(), news);
  EXPECT_EQ(news.GetText(fld::Data), "All quiet.");
}

TEST_F(Transactions, DataArrivedIsForwardedAfterThePump) {
  Establish();
  // The owner sees the notification with the transaction already filed.
  struct Probe {
    TTransactConnection c;
    TTransaction found = nullptr;
    static void Proc(void* context, void*, Uint32 id, const void*, Uint32) {
      auto* p = static_cast<Probe*>(context);
      if (id == msg_DataArrived && !p->found) {
        EXPECT_EQ(UTransport::GetReceiveSize(UTransaction::GetTransport(p->c)), 0u);
        p->found = UTransaction::NextRequest(p->c, 0, true);
      }
    }
  } probe{client_.get()};
  UTransaction::SetMessageHandler(client_.get(), &Probe::Proc, &probe);
  UFieldData line;
  line.AddText(fld::Data, "hello");
  UTransaction::Post(server_.get(), trn::ChatMessage, line);
  ASSERT_TRUE(RunUntil([&] { return probe.found != nullptr; }));
  TransactionPtr owned(probe.found);
  EXPECT_EQ(UTransaction::GetType(owned.get()), trn::ChatMessage);
}

TEST_F(Transactions, ErrorReplyCarriesCodeAndText) {
  Establish();
  TransactionPtr request(UTransaction::NewRequest(client_.get(), trn::DeleteUser));
  UFieldData args;
  args.AddText(fld::UserLogin, "\x9E");
  UTransaction::Send(request.get(), args);
  TransactionPtr incoming = NextRequest(trn::DeleteUser);
  ASSERT_TRUE(incoming);
  UFieldData reply;
  reply.AddText(fld::ErrorText, "You are not allowed to delete accounts.");
  UTransaction::SetReplyError(incoming.get(), 1);
  UTransaction::Send(incoming.get(), reply);
  ASSERT_TRUE(RunUntil([&] { return UTransaction::IsComplete(request.get()); }));
  EXPECT_EQ(UTransaction::GetErrorCode(request.get()), 1u);
  UFieldData text;
  UTransaction::GetData(request.get(), text);
  EXPECT_EQ(text.GetText(fld::ErrorText), "You are not allowed to delete accounts.");
}

TEST_F(Transactions, PipelinedRequestsAreServedInOrderAndRepliesMatchById) {
  Establish();
  constexpr int kCount = 1000;
  std::vector<TransactionPtr> requests;
  for (int i = 0; i < kCount; ++i) {
    requests.emplace_back(UTransaction::NewRequest(client_.get(), trn::SendPrivMsg));
    UFieldData f;
    f.AddInteger(fld::UserId, Uint32(i));
    f.AddText(fld::Data, "message " + std::to_string(i));
    UTransaction::Send(requests.back().get(), f);
  }
  std::vector<TransactionPtr> served;
  ASSERT_TRUE(RunUntil([&] {
    while (TTransaction t = UTransaction::NextRequest(server_.get(), 0, true)) served.emplace_back(t);
    return served.size() == kCount;
  }));
  for (int i = 0; i < kCount; ++i) {
    UFieldData f;
    UTransaction::GetData(served[i].get(), f);
    ASSERT_EQ(f.GetInteger(fld::UserId), Uint32(i));
  }
  // Answer in reverse order: the client matches by id, not by position.
  for (int i = kCount - 1; i >= 0; --i) {
    UFieldData r;
    r.AddInteger(fld::UserId, Uint32(i) + 100000);
    UTransaction::Send(served[i].get(), r);
  }
  ASSERT_TRUE(RunUntil([&] {
    return std::all_of(requests.begin(), requests.end(), [](auto& t) { return UTransaction::IsComplete(t.get()); });
  }));
  for (int i = 0; i < kCount; ++i) {
    UFieldData f;
    UTransaction::GetData(requests[i].get(), f);
    ASSERT_EQ(f.GetInteger(fld::UserId), Uint32(i) + 100000);
  }
}

TEST_F(Transactions, UnansweredRequestTimesOut) {
  Establish();
  TransactionPtr request(UTransaction::NewRequest(client_.get(), trn::GetOnlineUsers));
  UTransaction::SetTimeout(request.get(), 1000);
  UFieldData none;
  UTransaction::Send(request.get(), none);
  ASSERT_TRUE(NextRequest());  // taken, never answered
  UClock::Advance(999);
  UEventLoop::RunUntilIdle();
  EXPECT_FALSE(UTransaction::IsComplete(request.get()));
  clientOwner_.seen.clear();
  UClock::Advance(1);
  ASSERT_TRUE(RunUntil([&] { return clientOwner_.Saw(msg_TransactionUpdate); }));
  try {
    UTransaction::IsComplete(request.get());
    FAIL() << "expected a time-out";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(errClassNetwork, errNoAnswer));
  }
}

TEST_F(Transactions, AnsweredRequestDoesNotTimeOutLater) {
  Establish();
  TransactionPtr request(UTransaction::NewRequest(client_.get(), trn::GetNews));
  UTransaction::SetTimeout(request.get(), 1000);
  UFieldData none;
  UTransaction::Send(request.get(), none);
  TransactionPtr incoming = NextRequest();
  ASSERT_TRUE(incoming);
  UTransaction::Send(incoming.get(), none);
  ASSERT_TRUE(RunUntil([&] { return UTransaction::IsComplete(request.get()); }));
  UClock::Advance(5000);
  UEventLoop::RunUntilIdle();
  EXPECT_TRUE(UTransaction::IsComplete(request.get()));
}

TEST_F(Transactions, PostsFiltersAndIdWrap) {
  Establish();
  UTransaction::SetLastId(client_.get(), 0xFFFFFFFE);
  UFieldData chat;
  chat.AddText(fld::Data, "hi");
  EXPECT_EQ(UTransaction::Post(client_.get(), trn::SendChat, chat), 0xFFFFFFFFu);
  UFieldData info;
  info.AddText(fld::UserName, "Ann");
  EXPECT_EQ(UTransaction::Post(client_.get(), trn::SetClientUserInfo, info), 1u);
  TransactionPtr r(UTransaction::NewRequest(client_.get(), trn::GetNews));
  EXPECT_EQ(UTransaction::GetId(r.get()), 2u);

  TransactionPtr second = NextRequest(trn::SetClientUserInfo);
  ASSERT_TRUE(second);
  EXPECT_EQ(UTransaction::GetId(second.get()), 1u);
  TransactionPtr first = NextRequest();
  ASSERT_TRUE(first);
  EXPECT_EQ(UTransaction::GetType(first.get()), trn::SendChat);
  EXPECT_EQ(UTransaction::NextRequest(server_.get(), 0, true), nullptr);
}

TEST_F(Transactions, StrayRepliesAreDroppedAndTheStreamGoesOn) {
  StartClient();
  RawPeer peer;
  AcceptRaw(peer);
  peer.Send(Bytes{0x54, 0x52, 0x54, 0x50, 0, 0, 0, 0});
  ASSERT_TRUE(RunUntil([&] { return UTransaction::Connect(client_.get()) == kTransactEstablished; }));

  TransactionPtr request(UTransaction::NewRequest(client_.get(), trn::GetNews));
  const Uint32 id = UTransaction::GetId(request.get());
  request.reset();  // a reply to it will find nobody

  UFieldData push;
  push.AddText(fld::Data, "server notice");
  Bytes stream = Frame(0, id, true, push.GetBlock());
  stream += Frame(0, 4242, true, push.GetBlock());
  stream += Frame(trn::ServerMessage, 7, false, push.GetBlock());
  peer.Send(stream);
  TransactionPtr got;
  ASSERT_TRUE(RunUntil([&] {
    got.reset(UTransaction::NextRequest(client_.get(), 0, true));
    return got != nullptr;
  }));
  EXPECT_EQ(UTransaction::GetType(got.get()), trn::ServerMessage);
  EXPECT_FALSE(UTransaction::IsDead(client_.get()));
}

TEST_F(Transactions, BadFramesCloseTheConnectionAndTellTheOwner) {
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"total above the maximum", Frame(104, 1, false, Bytes{0, 0}, 0xFFFFFFFF)},
      {"part larger than its total", Frame(104, 1, false, Bytes{0, 0, 0, 0}, 2)},
  };
  for (const auto& c : cases) {
    StartClient();
    clientOwner_.seen.clear();
    RawPeer peer;
    AcceptRaw(peer);
    peer.Send(Bytes{0x54, 0x52, 0x54, 0x50, 0, 0, 0, 0});
    ASSERT_TRUE(RunUntil([&] { return UTransaction::Connect(client_.get()) == kTransactEstablished; }));
    peer.Send(c.bytes);
    ASSERT_TRUE(RunUntil([&] { return clientOwner_.Saw(msg_ConnectionClosed); })) << c.what;
    EXPECT_TRUE(UTransaction::IsDead(client_.get())) << c.what;
    EXPECT_FALSE(UTransaction::IsEstablished(client_.get())) << c.what;
    EXPECT_TRUE(RunUntil([&] { return peer.closed; })) << c.what;
    client_.reset();
  }
}

TEST_F(Transactions, RequestRightBehindTheHandshakeIsServed) {
  RawPeer peer;
  peer.Adopt(UTransport::New(kTransportTCP));
  const SInternetAddress a = Here();
  UTransport::StartConnect(peer.t.get(), &a, sizeof a);
  ASSERT_TRUE(RunUntil([&] { return AcceptServer(); }));
  UFieldData none;
  Bytes hello = {0x54, 0x52, 0x54, 0x50, 'C', 'R', 'V', 'N', 0, 1, 0, 2};
  peer.Send(hello + Frame(trn::GetNews, 1, false, none.GetBlock()));
  ASSERT_TRUE(RunUntil([&] { return UTransaction::ReadHandshake(server_.get()) == kHandshakeValid; }));
  UTransaction::AcceptHandshake(server_.get());
  TransactionPtr t = NextRequest();
  ASSERT_TRUE(t);
  EXPECT_EQ(UTransaction::GetType(t.get()), trn::GetNews);
  UTransaction::Send(t.get(), none);
  ASSERT_TRUE(RunUntil([&] { return peer.got.size() >= 8 + 22; }));
  EXPECT_EQ(peer.got.substr(8), Frame(0, 1, true, Bytes{0, 0}));
}

TEST_F(Transactions, HandlesOutliveTheirConnection) {
  Establish();
  TransactionPtr request(UTransaction::NewRequest(client_.get(), trn::GetNews));
  client_.reset();
  EXPECT_THROW(UTransaction::IsComplete(request.get()), SError);
  UFieldData none;
  EXPECT_THROW(UTransaction::Send(request.get(), none), SError);
  request.reset();  // disposing is always fine
  EXPECT_THROW(UTransaction::NewRequest(nullptr, 101), SError);
}

TEST_F(Transactions, ReplyInSeveralReadsShowsProgressAndCompletesAtTheLastByte) {
  StartClient();
  RawPeer peer;
  AcceptRaw(peer);
  peer.Send(Bytes{0x54, 0x52, 0x54, 0x50, 0, 0, 0, 0});
  ASSERT_TRUE(RunUntil([&] { return UTransaction::Connect(client_.get()) == kTransactEstablished; }));
  TransactionPtr request(UTransaction::NewRequest(client_.get(), trn::GetNews));
  UFieldData none;
  UTransaction::Send(request.get(), none);

  UFieldData news;
  news.AddText(fld::Data, std::string(3000, 'n'));
  const Bytes reply = Frame(0, UTransaction::GetId(request.get()), true, news.GetBlock());
  Uint32 last = 0;
  for (std::size_t pos = 0; pos < reply.size(); pos += 1000) {
    peer.Send(reply.substr(pos, 1000));
    const std::size_t sent = std::min(reply.size(), pos + 1000);
    if (sent == reply.size()) break;
    ASSERT_TRUE(RunUntil([&] { return UTransaction::GetReceivedSize(request.get()) + 20 == sent || sent < 20; }));
    EXPECT_FALSE(UTransaction::IsComplete(request.get()));
    const Uint32 now = UTransaction::GetReceivedSize(request.get());
    EXPECT_GE(now, last);
    EXPECT_LE(now, UTransaction::GetTotalSize(request.get()));
    EXPECT_EQ(UTransaction::GetTotalSize(request.get()), reply.size() - 20);
    last = now;
  }
  ASSERT_TRUE(RunUntil([&] { return UTransaction::IsComplete(request.get()); }));
  EXPECT_EQ(UTransaction::GetReceivedSize(request.get()), reply.size() - 20);
  UFieldData got;
  UTransaction::GetData(request.get(), got);
  EXPECT_EQ(got.GetFieldSize(fld::Data), 3000u);
}
