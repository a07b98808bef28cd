#include "protocol/transaction.h"

#include <algorithm>
#include <list>
#include <vector>

#include "framework/errors.h"

namespace cv {

namespace {

enum ERecordKind : Uint8 {
  kOutgoingRequest = 1,
  kOutgoingReply = 2,
  kIncomingRequest = 3,
  kAwaitedReply = 4,
};

struct SRecord {
  ERecordKind kind = kOutgoingRequest;
  Uint32 id = 0;
  Uint16 type = 0;
  Uint32 errorCode = 0;
  Uint32 totalSize = 0;
  Uint32 doneSize = 0;
  Bytes data;
  bool taken = false;
  bool dataArrived = false;
};

// Bytes the pump reads in one go before it lets other work run.
constexpr std::size_t kPumpBudget = 1024 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

struct TTransactConnectionRec {
  TransportPtr transport;
  TMessageProc ownerHandler = nullptr;
  void* ownerContext = nullptr;
  Uint32 lastId = 0;
  std::list<SRecord> records;
  std::vector<TTransactionRec*> handles;  // live handles, so that disposal can detach them
  CTransactionReceiver receiver;
  CClientHandshakeParser answer;  // client: the server's answer
  CServerHandshakeParser hello;   // server: the client's handshake
  TimerPtr handshakeTimer;
  Uint32 defaultTimeout = kDefaultReplyTimeout;
  Uint32 subProtocol = 0;
  Uint16 subVersion = 0;
  bool established = false;
  bool handshakeTimedOut = false;
  bool handshakeSent = false;
  bool refusalSent = false;
  bool dead = false;
  bool pumping = false;
  SError handshakeError{0, 0};
};

struct TTransactionRec {
  TTransactConnectionRec* connection = nullptr;
  TimerPtr replyTimer;
  Uint32 timeout = kDefaultReplyTimeout;
  SRecord* outgoing = nullptr;
  SRecord* incoming = nullptr;
  bool timedOut = false;
};

namespace {

void OnTransport(void* context, void* object, Uint32 id, const void* data, Uint32 size);

TTransactConnectionRec& Conn(TTransactConnection c) { return Require(c); }

TTransactConnectionRec& LiveConn(TTransaction t) {
  TTransactionRec& rec = Require(t);
  if (!rec.connection) UError::Raise(errClassNetwork, errConnectionLost);
  return *rec.connection;
}

// Tells the owner, through the connection's own handler, to look at its work again.
void PostUpdate(TTransactConnectionRec& c, Uint32 id = msg_TransactionUpdate) {
  UMessageSys::Post(id, nullptr, 0, 0, &OnTransport, &c, c.transport.get());
}

Uint32 NextId(TTransactConnectionRec& c) {
  c.lastId = c.lastId == 0xFFFFFFFF ? 1 : c.lastId + 1;
  return c.lastId;
}

SRecord* FindRecord(TTransactConnectionRec& c, ERecordKind kind, Uint32 id) {
  for (auto& r : c.records)
    if (r.kind == kind && r.id == id) return &r;
  return nullptr;
}

void RemoveRecord(TTransactConnectionRec& c, const SRecord* r) {
  if (!r) return;
  c.records.remove_if([r](const SRecord& x) { return &x == r; });
}

TTransactionRec* HandleOfAwaited(TTransactConnectionRec& c, const SRecord* awaited) {
  for (auto* h : c.handles)
    if (h->incoming == awaited) return h;
  return nullptr;
}

void SendFrame(TTransactConnectionRec& c, const STransactionHeader& h, ByteView data) {
  const std::size_t size = kTransactionHeaderSize + data.size();
  SendBufferPtr buffer(UTransport::NewBuffer(Uint32(size)));
  auto* p = static_cast<Uint8*>(buffer.get());
  h.Write(p);
  if (!data.empty()) std::memcpy(p + kTransactionHeaderSize, data.data(), data.size());
  UTransport::SendBuffer(c.transport.get(), buffer.release());
}

// Files what the receiver completed: replies into their awaited records (a reply nobody
// waits for is dropped), requests as new incoming records in arrival order.
bool FileCompleted(TTransactConnectionRec& c) {
  bool filed = false;
  while (c.receiver.HasTransaction()) {
    SReceivedTransaction t = c.receiver.Take();
    if (t.header.IsReply()) {
      SRecord* r = FindRecord(c, kAwaitedReply, t.header.id);
      if (!r) continue;
      r->errorCode = t.header.errorCode;
      r->type = t.header.type;
      r->totalSize = t.header.totalSize;
      r->doneSize = Uint32(t.data.size());
      r->data = std::move(t.data);
      r->dataArrived = true;
      // The answer is in: a late tick must not turn it into a time-out.
      if (TTransactionRec* h = HandleOfAwaited(c, r)) UTimer::Stop(h->replyTimer.get());
    } else {
      SRecord r;
      r.kind = kIncomingRequest;
      r.id = t.header.id;
      r.type = t.header.type;
      r.errorCode = t.header.errorCode;
      r.totalSize = t.header.totalSize;
      r.doneSize = Uint32(t.data.size());
      r.data = std::move(t.data);
      r.dataArrived = true;
      c.records.push_back(std::move(r));
    }
    filed = true;
  }
  // Progress of a reply still arriving, for progress display.
  if (c.receiver.PartInProgress() && c.receiver.CurrentHeader().IsReply()) {
    if (SRecord* r = FindRecord(c, kAwaitedReply, c.receiver.CurrentHeader().id)) {
      r->totalSize = c.receiver.CurrentTotal();
      r->doneSize = c.receiver.CurrentReceived();
    }
  }
  return filed;
}

void MarkDead(TTransactConnectionRec& c) {
  c.dead = true;
  c.established = false;
  UTransport::Disconnect(c.transport.get());
  // Closing locally posts nothing; the owner must still learn that the peer is gone.
  PostUpdate(c, msg_ConnectionClosed);
}

// Returns whether anything was filed.
bool Pump(TTransactConnectionRec& c) {
  if (!c.established || c.dead || c.pumping) return false;
  c.pumping = true;
  bool filed = false;
  try {
    // One read buffer for every connection of the thread: Feed copies what it keeps, so
    // idle connections hold no 64 KiB buffer each.
    thread_local Bytes scratch(kReadChunk, 0);
    // A bounded read per pump; the transport notifies again while more is waiting.
    std::size_t done = 0;
    while (done < kPumpBudget) {
      const Uint32 n = UTransport::Receive(c.transport.get(), scratch.data(), Uint32(scratch.size()));
      if (n == 0) break;
      done += n;
      c.receiver.Feed(ByteView(scratch.data(), n));
      filed |= FileCompleted(c);
    }
  } catch (const SError&) {
    c.pumping = false;
    UError::Trace("UTransaction - bad frame from peer, connection closed");
    MarkDead(c);
    return filed;
  }
  c.pumping = false;
  return filed;
}

void OnTransport(void* context, void* object, Uint32 id, const void* data, Uint32 size) {
  auto* c = static_cast<TTransactConnectionRec*>(context);
  if (id == msg_DataArrived) Pump(*c);
  // The owner may dispose of the connection in its handler: nothing of c is used after.
  if (c->ownerHandler) c->ownerHandler(c->ownerContext, object, id, data, size);
}

void OnHandshakeTimer(void* context, void*, Uint32, const void*, Uint32) {
  auto* c = static_cast<TTransactConnectionRec*>(context);
  c->handshakeTimedOut = true;
  PostUpdate(*c);
}

void OnReplyTimer(void* context, void*, Uint32, const void*, Uint32) {
  auto* t = static_cast<TTransactionRec*>(context);
  if (!t->connection) return;
  if (t->incoming && t->incoming->dataArrived && t->incoming->doneSize >= t->incoming->totalSize) return;
  t->timedOut = true;
  PostUpdate(*t->connection);
}

TTransactConnectionRec* Wrap(TransportPtr transport) {
  auto* c = new TTransactConnectionRec;
  c->transport = std::move(transport);
  UTransport::SetMessageHandler(c->transport.get(), &OnTransport, c);
  return c;
}

void Detach(TTransactionRec& t) {
  t.replyTimer.reset();
  t.connection = nullptr;
  t.outgoing = nullptr;
  t.incoming = nullptr;
}

// Feeds the parser with what is waiting, never reading past the handshake, so that
// whatever follows it stays for the transaction pump.
template <typename Parser>
void ReadInto(TTransactConnectionRec& c, Parser& parser) {
  Uint8 buf[16];
  while (parser.Result() == Parser::NeedMore) {
    const Uint32 want = Uint32(std::min(parser.Missing(), sizeof buf));
    const Uint32 n = UTransport::Receive(c.transport.get(), buf, want);
    if (n == 0) break;
    parser.Feed(ByteView(buf, n));
  }
}

[[noreturn]] void FailHandshake(TTransactConnectionRec& c, Int16 cls, Int16 id) {
  c.handshakeTimer.reset();
  c.handshakeError = SError(cls, id);
  UError::Raise(cls, id);
}

void BecomeEstablished(TTransactConnectionRec& c) {
  c.established = true;
  // Transactions may have come right behind the handshake; file them and tell the
  // owner, since their data-arrived notification may already have been handled.
  if (UTransport::GetReceiveSize(c.transport.get()) > 0 && Pump(c)) PostUpdate(c);
}

}  // namespace

namespace UTransaction {

TTransactConnection NewConnection(Uint16 protocol) { return Wrap(TransportPtr(UTransport::New(protocol))); }

TTransactConnection AcceptConnection(TTransactConnection listener, void* address, Uint32* size) {
  if (!listener) return nullptr;
  TransportPtr t(UTransport::Accept(listener->transport.get(), address, size));
  if (!t) return nullptr;
  return Wrap(std::move(t));
}

void DisposeConnection(TTransactConnection c) {
  if (!c) return;
  UMessageSys::Flush(&OnTransport, c);
  for (auto* h : c->handles) Detach(*h);
  c->handles.clear();
  c->records.clear();
  c->handshakeTimer.reset();
  c->transport.reset();
  delete c;
}

void SetMessageHandler(TTransactConnection c, TMessageProc handler, void* context) {
  Conn(c).ownerHandler = handler;
  c->ownerContext = context;
}

TTransport GetTransport(TTransactConnection c) { return Conn(c).transport.get(); }

void SetProtocol(TTransactConnection c, Uint32 subProtocol, Uint16 subVersion) {
  Conn(c).subProtocol = subProtocol;
  c->subVersion = subVersion;
}

void StartConnect(TTransactConnection c, const void* address, Uint32 size) {
  UTransport::StartConnect(Conn(c).transport.get(), address, size);
  c->handshakeSent = false;
  c->handshakeTimedOut = false;
  c->established = false;
  c->dead = false;
  c->handshakeError = SError(0, 0);
  c->answer = CClientHandshakeParser();
  c->receiver = CTransactionReceiver();
  c->handshakeTimer.reset();
}

Uint16 Connect(TTransactConnection c) {
  TTransactConnectionRec& conn = Conn(c);
  if (conn.established) return kTransactEstablished;
  if (conn.handshakeError.errClass != 0) throw conn.handshakeError;
  if (conn.handshakeSent) {
    ReadInto(conn, conn.answer);
    switch (conn.answer.Result()) {
      case CClientHandshakeParser::WrongMagic:
        FailHandshake(conn, errClassGeneral, errBadFormat);
      case CClientHandshakeParser::Refused:
        FailHandshake(conn, errClassGeneral, errBadVersion);
      case CClientHandshakeParser::Accepted:
        conn.handshakeTimer.reset();
        BecomeEstablished(conn);
        return kTransactEstablished;
      case CClientHandshakeParser::NeedMore:
        break;
    }
    if (!UTransport::IsConnected(conn.transport.get())) FailHandshake(conn, errClassNetwork, errHandshakeLost);
    if (conn.handshakeTimedOut) FailHandshake(conn, errClassNetwork, errNoAnswer);
    return kTransactHandshaking;
  }
  if (UTransport::GetConnectStatus(conn.transport.get()) != kConnectDone) return kTransactConnecting;
  const auto hello = MakeClientHandshake(conn.subProtocol, conn.subVersion);
  conn.handshakeTimer.reset(UTimer::New(&OnHandshakeTimer, &conn));
  UTransport::Send(conn.transport.get(), hello.data(), Uint32(hello.size()));
  UTimer::Start(conn.handshakeTimer.get(), kHandshakeTimeout, false);
  conn.handshakeSent = true;
  return kTransactHandshaking;
}

bool IsConnected(TTransactConnection c) { return c && UTransport::IsConnected(c->transport.get()); }

void Disconnect(TTransactConnection c) {
  if (!c) return;
  UTransport::Disconnect(c->transport.get());
  c->established = false;
}

Uint16 ReadHandshake(TTransactConnection c, Uint32* subProtocol, Uint16* subVersion) {
  TTransactConnectionRec& conn = Conn(c);
  if (!conn.established) ReadInto(conn, conn.hello);
  switch (conn.established ? CServerHandshakeParser::Valid : conn.hello.Result()) {
    case CServerHandshakeParser::NeedMore:
      return kHandshakeIncomplete;
    case CServerHandshakeParser::WrongMagic:
      return kHandshakeWrongMagic;
    case CServerHandshakeParser::WrongVersion:
      if (!conn.refusalSent) {
        const auto no = MakeServerHandshake(1);
        UTransport::Send(conn.transport.get(), no.data(), Uint32(no.size()));
        conn.refusalSent = true;
      }
      return kHandshakeWrongVersion;
    case CServerHandshakeParser::Valid:
      break;
  }
  conn.subProtocol = conn.hello.SubProtocol();
  conn.subVersion = conn.hello.SubVersion();
  if (subProtocol) *subProtocol = conn.subProtocol;
  if (subVersion) *subVersion = conn.subVersion;
  return kHandshakeValid;
}

void AcceptHandshake(TTransactConnection c) {
  TTransactConnectionRec& conn = Conn(c);
  if (conn.established) return;
  const auto yes = MakeServerHandshake(0);
  UTransport::Send(conn.transport.get(), yes.data(), Uint32(yes.size()));
  BecomeEstablished(conn);
}

void RejectHandshake(TTransactConnection c, Uint32 errorCode) {
  TTransactConnectionRec& conn = Conn(c);
  if (conn.established) UError::Raise(errClassGeneral, errBadState);
  if (conn.refusalSent) return;
  const auto no = MakeServerHandshake(errorCode ? errorCode : 1);
  UTransport::Send(conn.transport.get(), no.data(), Uint32(no.size()));
  conn.refusalSent = true;
}

bool IsEstablished(TTransactConnection c) { return c && c->established; }
bool IsDead(TTransactConnection c) { return c && c->dead; }

void SetDefaultTimeout(TTransactConnection c, Uint32 ms) { Conn(c).defaultTimeout = ms; }
void SetLastId(TTransactConnection c, Uint32 id) { Conn(c).lastId = id; }

TTransaction NewRequest(TTransactConnection c, Uint16 type) {
  TTransactConnectionRec& conn = Conn(c);
  auto t = std::make_unique<TTransactionRec>();
  t->connection = &conn;
  t->timeout = conn.defaultTimeout;
  t->replyTimer.reset(UTimer::New(&OnReplyTimer, t.get()));
  const Uint32 id = NextId(conn);
  SRecord out;
  out.kind = kOutgoingRequest;
  out.id = id;
  out.type = type;
  SRecord in;
  in.kind = kAwaitedReply;
  in.id = id;
  conn.handles.reserve(conn.handles.size() + 1);
  conn.records.push_back(std::move(out));
  t->outgoing = &conn.records.back();
  conn.records.push_back(std::move(in));
  t->incoming = &conn.records.back();
  conn.handles.push_back(t.get());
  return t.release();
}

void SetTimeout(TTransaction t, Uint32 ms) { Require(t).timeout = ms; }

void Send(TTransaction t, UFieldData& fields) {
  TTransactConnectionRec& conn = LiveConn(t);
  SRecord& out = Require(t->outgoing);
  const Bytes& block = fields.GetBlock();
  if (block.size() > kMaxTransactionSize) {
    UError::Trace("UTransaction::Send() - transaction larger than the maximum");
    UError::Raise(errClassGeneral, errFieldTooLarge);
  }
  const Uint32 size = Uint32(block.size());
  if (out.doneSize == 0 && out.totalSize == 0) out.totalSize = size;
  // One answer per request: a second reply would confuse the peer's stream.
  if (out.doneSize >= out.totalSize || size > out.totalSize - out.doneSize) UError::Raise(errClassGeneral, errBadState);
  STransactionHeader h;
  h.isReply = out.kind == kOutgoingReply ? 1 : 0;
  h.type = out.type;
  h.id = out.id;
  h.errorCode = out.errorCode;
  h.totalSize = out.totalSize;
  h.dataSize = size;
  SendFrame(conn, h, block);
  out.doneSize += size;
  if (out.kind == kOutgoingRequest && out.doneSize >= out.totalSize && t->replyTimer)
    UTimer::Start(t->replyTimer.get(), t->timeout, false);
}

bool IsComplete(TTransaction t) {
  TTransactConnectionRec& conn = LiveConn(t);
  Pump(conn);
  const SRecord* in = t->incoming;
  if (in && in->dataArrived && in->doneSize >= in->totalSize) return true;
  if (t->timedOut) UError::Raise(errClassNetwork, errNoAnswer);
  return false;
}

Uint16 GetType(TTransaction t) { return Require(t).incoming ? t->incoming->type : 0; }
Uint32 GetErrorCode(TTransaction t) { return Require(t).incoming ? t->incoming->errorCode : 0; }
Uint32 GetTotalSize(TTransaction t) { return Require(t).incoming ? t->incoming->totalSize : 0; }
Uint32 GetReceivedSize(TTransaction t) { return Require(t).incoming ? t->incoming->doneSize : 0; }
Uint32 GetId(TTransaction t) { return Require(t).outgoing ? t->outgoing->id : (t->incoming ? t->incoming->id : 0); }

void GetData(TTransaction t, UFieldData& fields) {
  TTransactConnectionRec& conn = LiveConn(t);
  Pump(conn);
  if (t->incoming && !t->incoming->data.empty()) {
    fields.SetBlock(std::move(t->incoming->data), 0);
    t->incoming->data.clear();
  } else {
    fields.Clear();
  }
}

void SetReplyError(TTransaction t, Uint32 errorCode) {
  LiveConn(t);
  Require(t->outgoing).errorCode = errorCode;
}

void DisposeTransaction(TTransaction t) {
  if (!t) return;
  if (TTransactConnectionRec* c = t->connection) {
    RemoveRecord(*c, t->outgoing);
    RemoveRecord(*c, t->incoming);
    std::erase(c->handles, t);
  }
  t->replyTimer.reset();
  delete t;
}

Uint32 Post(TTransactConnection c, Uint16 type, UFieldData& fields) {
  TTransactConnectionRec& conn = Conn(c);
  const Bytes& block = fields.GetBlock();
  if (block.size() > kMaxTransactionSize) {
    UError::Trace("UTransaction::Post() - transaction larger than the maximum");
    UError::Raise(errClassGeneral, errFieldTooLarge);
  }
  STransactionHeader h;
  h.type = type;
  h.id = NextId(conn);
  h.totalSize = h.dataSize = Uint32(block.size());
  SendFrame(conn, h, block);
  return h.id;
}

TTransaction NextRequest(TTransactConnection c, Uint16 typeFilter, bool /*completeOnly*/) {
  TTransactConnectionRec& conn = Conn(c);
  Pump(conn);
  auto it = std::find_if(conn.records.begin(), conn.records.end(), [&](const SRecord& r) {
    return r.kind == kIncomingRequest && !r.taken && (typeFilter == 0 || r.type == typeFilter);
  });
  if (it == conn.records.end()) return nullptr;
  auto t = std::make_unique<TTransactionRec>();
  t->connection = &conn;
  t->timeout = conn.defaultTimeout;
  SRecord reply;
  reply.kind = kOutgoingReply;
  reply.id = it->id;
  conn.handles.reserve(conn.handles.size() + 1);
  it->taken = true;
  t->incoming = &*it;
  conn.records.push_back(std::move(reply));
  t->outgoing = &conn.records.back();
  conn.handles.push_back(t.get());
  return t.release();
}

void Receive(TTransactConnection c) { Pump(Conn(c)); }

}  // namespace UTransaction

}  // namespace cv
