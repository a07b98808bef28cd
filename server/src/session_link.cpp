// The server end of a transaction connection.
#include "server/src/session_link.h"

#include <array>

namespace cv {

namespace {
constexpr std::size_t kReadChunk = 64 * 1024;
}

CMyTransactLink::~CMyTransactLink() { UTransport::Dispose(transport_); }

// A connection we cut ourselves counts as closed at once, whatever the socket says.
bool CMyTransactLink::IsConnected() const { return !dead_ && UTransport::IsConnected(transport_); }

bool CMyTransactLink::IsClosing() const { return UTransport::IsDisconnecting(transport_); }

bool CMyTransactLink::IsEstablished() const { return established_ && !dead_ && IsConnected(); }

void CMyTransactLink::Disconnect() {
  dead_ = true;
  UTransport::Disconnect(transport_);
}

void CMyTransactLink::StartDisconnect() { UTransport::StartDisconnect(transport_); }

CMyTransactLink::EHandshake CMyTransactLink::ReadHandshake(Uint32& subProtocol, Uint16& subVersion) {
  if (handshake_.Result() == CServerHandshakeParser::NeedMore) {
    std::array<Uint8, kClientHandshakeSize> buf{};
    while (handshake_.Result() == CServerHandshakeParser::NeedMore) {
      Uint32 n = UTransport::Receive(transport_, buf.data(), Uint32(buf.size()));
      if (n == 0) break;
      std::size_t took = handshake_.Feed(ByteView(buf.data(), n));
      early_.append(buf.data() + took, n - took);
    }
    if (handshake_.Result() == CServerHandshakeParser::WrongVersion) {
      auto refusal = MakeServerHandshake(1);
      UTransport::Send(transport_, refusal.data(), Uint32(refusal.size()));
    }
  }
  subProtocol = handshake_.SubProtocol();
  subVersion = handshake_.SubVersion();
  return EHandshake(handshake_.Result());
}

void CMyTransactLink::AcceptHandshake() {
  auto answer = MakeServerHandshake(0);
  UTransport::Send(transport_, answer.data(), Uint32(answer.size()));
  established_ = true;
  if (!early_.empty()) {
    Bytes early = std::move(early_);
    early_.clear();
    try {
      receiver_.Feed(early);
    } catch (const SError&) {
      dead_ = true;
      UTransport::Disconnect(transport_);
    }
  }
}

void CMyTransactLink::RejectHandshake(Uint32 code) {
  refused_ = true;
  auto answer = MakeServerHandshake(code == 0 ? 1 : code);
  UTransport::Send(transport_, answer.data(), Uint32(answer.size()));
  UTransport::StartDisconnect(transport_);
}

void CMyTransactLink::Pump() {
  if (!established_ || dead_) return;
  Bytes buf(kReadChunk, 0);
  for (;;) {
    Uint32 n = UTransport::Receive(transport_, buf.data(), Uint32(buf.size()));
    if (n == 0) return;
    try {
      receiver_.Feed(ByteView(buf.data(), n));
    } catch (const SError&) {
      // The stream cannot be resynchronised: the client goes.
      dead_ = true;
      UTransport::Disconnect(transport_);
      return;
    }
  }
}

bool CMyTransactLink::NextRequest(SReceivedTransaction& request) {
  Pump();
  while (receiver_.HasTransaction()) {
    SReceivedTransaction t = receiver_.Take();
    if (t.header.IsReply()) continue;  // nobody here waits for a reply
    request = std::move(t);
    return true;
  }
  return false;
}

void CMyTransactLink::SendTransaction(STransactionHeader header, const UFieldData& fields) {
  UFieldData copy(fields);
  const Bytes& block = copy.GetBlock();
  header.totalSize = Uint32(block.size());
  header.dataSize = Uint32(block.size());
  Bytes wire = EncodeTransaction(header, block);
  UTransport::Send(transport_, wire.data(), Uint32(wire.size()));
}

void CMyTransactLink::SendReply(const STransactionHeader& request, Uint32 errorCode, UFieldData& fields) {
  if (!IsEstablished()) return;
  STransactionHeader h;
  h.isReply = 1;
  h.type = 0;
  h.id = request.id;
  h.errorCode = errorCode;
  SendTransaction(h, fields);
}

void CMyTransactLink::Post(Uint16 type, const UFieldData& fields) {
  if (!IsEstablished()) return;
  lastId_ = lastId_ == 0xFFFFFFFFu ? 1 : lastId_ + 1;
  STransactionHeader h;
  h.type = type;
  h.id = lastId_;
  SendTransaction(h, fields);
}

}  // namespace cv
