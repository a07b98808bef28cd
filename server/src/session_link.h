// One client's transaction connection as the server drives it: the handshake check, the
// reassembly of requests, replies and pushes. Owns its transport.
#pragma once

#include <deque>

#include "framework/transport.h"
#include "protocol/fields.h"
#include "protocol/framing.h"
#include "server/session.h"

namespace cv {

class CMyTransactLink final : public CMyClientLink {
 public:
  enum EHandshake { HandshakeNeedMore = 0, HandshakeValid = 1, HandshakeWrongMagic = 2, HandshakeWrongVersion = 3 };

  explicit CMyTransactLink(TTransport transport) : transport_(transport) {}
  ~CMyTransactLink() override;
  CMyTransactLink(const CMyTransactLink&) = delete;
  CMyTransactLink& operator=(const CMyTransactLink&) = delete;

  TTransport Transport() const { return transport_; }
  bool IsConnected() const;
  bool IsClosing() const;
  bool HandshakeDone() const { return established_; }
  bool Refused() const { return refused_; }

  // Reads the client's 12 handshake bytes. A wrong protocol version is refused here.
  EHandshake ReadHandshake(Uint32& subProtocol, Uint16& subVersion);
  void AcceptHandshake();
  // Sends the refusal (code 1 when 0 is given) and closes gracefully.
  void RejectHandshake(Uint32 code);

  // The next complete request, in arrival order. Bad framing closes the connection.
  bool NextRequest(SReceivedTransaction& request);
  void SendReply(const STransactionHeader& request, Uint32 errorCode, UFieldData& fields);

  void Post(Uint16 type, const UFieldData& fields) override;
  bool IsEstablished() const override;
  void Disconnect() override;
  void StartDisconnect();

 private:
  void Pump();
  void SendTransaction(STransactionHeader header, const UFieldData& fields);

  TTransport transport_;
  CServerHandshakeParser handshake_;
  CTransactionReceiver receiver_;
  Bytes early_;  // bytes that came behind the handshake before it was accepted
  bool established_ = false;
  bool dead_ = false;
  bool refused_ = false;
  Uint32 lastId_ = 0;
};

}  // namespace cv
