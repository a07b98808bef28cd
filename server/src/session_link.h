// One client's transaction connection as the server's sessions see it. Owns it.
#pragma once

#include "protocol/transaction.h"
#include "server/session.h"

namespace cv {

class CMyTransactLink final : public CMyClientLink {
 public:
  explicit CMyTransactLink(TTransactConnection connection) : connection_(connection) {}
  ~CMyTransactLink() override;
  CMyTransactLink(const CMyTransactLink&) = delete;
  CMyTransactLink& operator=(const CMyTransactLink&) = delete;

  TTransactConnection Connection() const { return connection_; }
  // False once the peer closed, the framing broke or we cut the connection.
  bool IsConnected() const;
  bool IsClosing() const;
  bool HandshakeDone() const { return UTransaction::IsEstablished(connection_); }
  bool Refused() const { return refused_; }

  // Sends the refusal and closes gracefully.
  void RejectHandshake(Uint32 code);
  void StartDisconnect();

  void Post(Uint16 type, UFieldData& fields) override;
  bool IsEstablished() const override;
  void Disconnect() override;

 private:
  TTransactConnection connection_;
  bool cut_ = false;
  bool refused_ = false;
};

}  // namespace cv
