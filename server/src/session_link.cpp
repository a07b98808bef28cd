// The server end of a client's transaction connection.
#include "server/src/session_link.h"

namespace cv {

CMyTransactLink::~CMyTransactLink() { UTransaction::DisposeConnection(connection_); }

// A connection we cut ourselves counts as closed at once, whatever the socket says.
bool CMyTransactLink::IsConnected() const {
  return !cut_ && !UTransaction::IsDead(connection_) && UTransaction::IsConnected(connection_);
}

bool CMyTransactLink::IsClosing() const { return UTransport::IsDisconnecting(UTransaction::GetTransport(connection_)); }

bool CMyTransactLink::IsEstablished() const { return IsConnected() && UTransaction::IsEstablished(connection_); }

void CMyTransactLink::Disconnect() {
  cut_ = true;
  UTransaction::Disconnect(connection_);
}

void CMyTransactLink::StartDisconnect() { UTransport::StartDisconnect(UTransaction::GetTransport(connection_)); }

void CMyTransactLink::RejectHandshake(Uint32 code) {
  refused_ = true;
  UTransaction::RejectHandshake(connection_, code);
  StartDisconnect();
}

void CMyTransactLink::Post(Uint16 type, UFieldData& fields) {
  if (!IsEstablished()) return;
  UTransaction::Post(connection_, type, fields);
}

}  // namespace cv
