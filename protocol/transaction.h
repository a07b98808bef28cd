// Transaction connections: one TCP connection between client and server, carrying
// requests and replies after the "TRTP" handshake.
//
// A TTransactConnection owns its transport and installs itself as the transport's
// message handler. On every msg_DataArrived it runs the receive pump (framing.h), then
// forwards the notification unchanged to the owner's handler. Request ids come from a
// per-connection counter (1, 2, ..., 0xFFFFFFFF, 1, ...); replies are matched to the
// awaited request by id; an unanswered request times out on a framework timer, and
// msg_TransactionUpdate is posted (through the same forwarding) whenever a handshake or
// reply timer fires or the pump filed transactions outside a data-arrived notification,
// so the owner re-examines its pending work.
//
// A TTransaction is a handle that belongs to whoever created it (NewRequest,
// NextRequest) and is disposed by it. A handle that outlives its connection stays valid
// to dispose; its other operations then raise (8, 100).
//
// Bad framing from the peer (see framing.h) marks the connection dead, cuts the
// transport and posts msg_ConnectionClosed to the owner, as if the peer had closed.
#pragma once

#include <memory>

#include "framework/events.h"
#include "framework/transport.h"
#include "framework/types.h"
#include "protocol/fields.h"
#include "protocol/framing.h"

namespace cv {

// Posted by the transaction layer (object = the transport, no data).
inline constexpr Uint32 msg_TransactionUpdate = 101;

inline constexpr Uint32 kDefaultReplyTimeout = 200000;  // ms
inline constexpr Uint32 kHandshakeTimeout = 20000;      // ms

// (8, 102): the connection was lost during the handshake; (8, 111): no answer in time.
inline constexpr Int16 errHandshakeLost = 102;
inline constexpr Int16 errNoAnswer = 111;

// UTransaction::Connect results.
enum : Uint16 {
  kTransactConnecting = 1,
  kTransactHandshaking = 2,
  kTransactEstablished = 3,
};

// UTransaction::ReadHandshake results.
enum : Uint16 {
  kHandshakeIncomplete = 0,
  kHandshakeValid = 1,
  kHandshakeWrongMagic = 2,
  kHandshakeWrongVersion = 3,  // the refusal has been sent
};

struct TTransactConnectionRec;
using TTransactConnection = TTransactConnectionRec*;
struct TTransactionRec;
using TTransaction = TTransactionRec*;

namespace UTransaction {

// A connection over a new transport (kTransportTCP); default reply time-out 200000 ms.
TTransactConnection NewConnection(Uint16 protocol = kTransportTCP);
// Accepts one pending connection of a listening connection, or returns none. The peer's
// address goes to *address as for UTransport::Accept.
TTransactConnection AcceptConnection(TTransactConnection listener, void* address = nullptr, Uint32* size = nullptr);
// Drops pending notifications, frees every record and the transport. None is ignored.
void DisposeConnection(TTransactConnection c);

void SetMessageHandler(TTransactConnection c, TMessageProc handler, void* context);
TTransport GetTransport(TTransactConnection c);

// Client: the sub-protocol code and sub-version the handshake sends.
void SetProtocol(TTransactConnection c, Uint32 subProtocol, Uint16 subVersion);
// Client: starts the transport's connect and forgets any earlier handshake.
void StartConnect(TTransactConnection c, const void* address, Uint32 size);
// Client handshake step, called on each notification: kTransactConnecting,
// kTransactHandshaking or kTransactEstablished. Raises (1, 7) when the server refused,
// (1, 8) for an answer without "TRTP", (8, 102) when the transport was lost and (8, 111)
// after 20 s without an answer; a failed handshake raises the same on every later call.
Uint16 Connect(TTransactConnection c);
bool IsConnected(TTransactConnection c);
// Abortive close of the transport; the connection is no longer established.
void Disconnect(TTransactConnection c);

// Server: reads the client's 12 handshake bytes. kHandshakeValid gives the code and
// sub-version (either pointer may be none); the caller checks them and answers with
// AcceptHandshake or RejectHandshake.
Uint16 ReadHandshake(TTransactConnection c, Uint32* subProtocol = nullptr, Uint16* subVersion = nullptr);
// Sends "TRTP" 0 and marks the connection established.
void AcceptHandshake(TTransactConnection c);
// Sends "TRTP" and the code (1 when 0 is given). Raises (1, 3) once established.
void RejectHandshake(TTransactConnection c, Uint32 errorCode);
bool IsEstablished(TTransactConnection c);
// Whether a bad frame from the peer ended the connection.
bool IsDead(TTransactConnection c);

// Reply time-out given to each new request of this connection.
void SetDefaultTimeout(TTransactConnection c, Uint32 ms);
// The last id given out; the next request or post takes the one after it. For tests.
void SetLastId(TTransactConnection c, Uint32 id);

// A new request of that type under a fresh id, awaiting its reply.
TTransaction NewRequest(TTransactConnection c, Uint16 type);
void SetTimeout(TTransaction t, Uint32 ms);
// Sends the list as the request (or, for a handle from NextRequest, as the reply). The
// reply timer starts once the whole request was handed to the transport. A list above
// kMaxTransactionSize raises (1, 10); sending past a record's total raises (1, 3).
void Send(TTransaction t, UFieldData& fields);
// Pumps; true once the awaited reply has fully arrived. Raises (8, 111) when the
// request timed out.
bool IsComplete(TTransaction t);
// The incoming record's values (0 when none).
Uint16 GetType(TTransaction t);
Uint32 GetErrorCode(TTransaction t);
Uint32 GetTotalSize(TTransaction t);
Uint32 GetReceivedSize(TTransaction t);
Uint32 GetId(TTransaction t);
// Pumps, then moves the incoming data into the list (an empty list when none).
void GetData(TTransaction t, UFieldData& fields);
// Error code of the outgoing reply.
void SetReplyError(TTransaction t, Uint32 errorCode);
// Removes its records and timer. None is ignored.
void DisposeTransaction(TTransaction t);

// Sends a request that expects no reply under a fresh id; returns the id.
Uint32 Post(TTransactConnection c, Uint16 type, UFieldData& fields);
// Pumps; the first incoming request not yet handed out whose type matches (0: any), as a
// handle ready to reply; none when there is no such request. Requests are always filed
// whole, so completeOnly changes nothing.
TTransaction NextRequest(TTransactConnection c, Uint16 typeFilter = 0, bool completeOnly = true);

// The receive pump. Runs on every data-arrived notification and inside IsComplete,
// GetData and NextRequest.
void Receive(TTransactConnection c);

}  // namespace UTransaction

struct TransactConnectionDisposer {
  void operator()(TTransactConnectionRec* c) const { UTransaction::DisposeConnection(c); }
};
using TransactConnectionPtr = std::unique_ptr<TTransactConnectionRec, TransactConnectionDisposer>;

struct TransactionDisposer {
  void operator()(TTransactionRec* t) const { UTransaction::DisposeTransaction(t); }
};
using TransactionPtr = std::unique_ptr<TTransactionRec, TransactionDisposer>;

}  // namespace cv
