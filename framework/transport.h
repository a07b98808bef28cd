// Transport: the framework's only network layer.
//
// A TTransport wraps one non-blocking IPv4 socket (TCP stream or UDP datagram). Sends
// never block: what the network does not take at once waits in the transport's unsent
// queue and goes out as the socket becomes writable. What happens on the socket is
// reported as queued messages (msg_DataArrived ... msg_ConnectionFailed) to the handler
// the owner set, with the transport as the message's object; owners react to them one
// at a time on the loop thread and may dispose of the transport from inside a handler.
//
// Host names are looked up on a helper thread whose answer comes back through the loop.
// Buffers from NewBuffer/ReceiveBuffer carry a small header in front of their data, so
// they move between received, filled and queued without copying.
#pragma once

#include <memory>
#include <string_view>

#include "framework/events.h"
#include "framework/types.h"

namespace cv {

// Notifications, posted at priority 0 with no data; object = the transport.
enum : Uint32 {
  msg_DataArrived = 100,            // the socket has data to read
  msg_ReadyToSend = 102,            // asked for by NotifyReadyToSend; the queue holds at most one buffer
  msg_ConnectionClosed = 103,       // the peer closed or reset (connected flag already cleared)
  msg_ConnectionRequest = 104,      // a listener has a connection to accept
  msg_ConnectionEstablished = 105,  // an asynchronous connect succeeded
  msg_ConnectionFailed = 106,       // the lookup or connect failed; GetConnectStatus raises why
};

enum : Uint16 {
  kTransportTCP = 1,
  kTransportUDP = 2,
};

enum : Uint16 {
  kAddressInternet = 2,
  kAddressInternetName = 42,
};

// Results of GetConnectStatus.
enum : Uint16 {
  kConnectInProgress = 1,
  kConnectDone = 3,
};

// Type 2: port in host byte order, IPv4 address in network byte order. 12 bytes.
struct SInternetAddress {
  Uint16 type = kAddressInternet;
  Uint16 port = 0;
  Uint8 host[4] = {0, 0, 0, 0};
  Uint8 reserved[4] = {0, 0, 0, 0};

  static SInternetAddress Loopback(Uint16 port) { return SInternetAddress{kAddressInternet, port, {127, 0, 0, 1}, {}}; }
  static SInternetAddress Any(Uint16 port) { return SInternetAddress{kAddressInternet, port, {0, 0, 0, 0}, {}}; }
};
static_assert(sizeof(SInternetAddress) == 12);

// Type 42: a dotted IPv4 address or host name, optionally ":port". Port 0 means the
// port is taken from the text; otherwise a port in the text is ignored. The record is
// 5 + length bytes (Size()).
struct SInternetNameAddress {
  Uint16 type = kAddressInternetName;
  Uint16 port = 0;
  Uint8 length = 0;
  Uint8 text[255] = {};

  // Text longer than 255 bytes is cut.
  static SInternetNameAddress Make(std::string_view text, Uint16 port = 0);
  Uint32 Size() const { return 5u + length; }
};
static_assert(offsetof(SInternetNameAddress, text) == 5);

struct TTransportRec;
using TTransport = TTransportRec*;

namespace UTransport {

// Once per program at start-up: raises the descriptor limit and readies the module.
void Init();
// Raises the soft limit on open descriptors to the hard limit (a server holds one per
// client and transfer). Returns the new soft limit.
Uint64 RaiseDescriptorLimit();

// Protocol kTransportTCP or kTransportUDP; other values raise (8, 107).
TTransport New(Uint16 protocol);
// Closes the socket, cancels lookups, frees queued data and removes this transport's
// pending messages. None is ignored.
void Dispose(TTransport t);

void SetMessageHandler(TTransport t, TMessageProc handler, void* context);

// Asynchronous connect to an SInternetAddress or SInternetNameAddress record. Raises
// (1, 3) when connected or connecting, (8, 101) for an unusable record.
void StartConnect(TTransport t, const void* address, Uint32 size);
// Connecting through a SOCKS firewall is not available: raises (1, 4).
void StartConnectViaFirewall(TTransport t, const void* address, Uint32 size, const void* firewall, Uint32 firewallSize);
// kConnectDone when connected, kConnectInProgress while looking up or connecting;
// otherwise raises the error of the failed connect, or (1, 1) when none was started.
Uint16 GetConnectStatus(TTransport t);
bool IsConnected(TTransport t);

// Binds to the record's port on all interfaces (port 0: any free port); a TCP
// transport then listens. The record must be type 2 and 12 bytes, else (8, 101).
void Listen(TTransport t, const void* address, Uint32 size);
// One pending connection as a new connected transport without a handler, or none. The
// peer's address goes to *address when *size >= 12 (then *size = 12, else 0).
TTransport Accept(TTransport listener, void* address = nullptr, Uint32* size = nullptr);

// Abortive close: both directions shut down, queued data discarded.
void Disconnect(TTransport t);
// Graceful close: shuts down once the unsent queue has drained.
void StartDisconnect(TTransport t);
bool IsDisconnecting(TTransport t);

// Send buffers: data pointer with the header in front.
void* NewBuffer(Uint32 size);
void DisposeBuffer(void* data);
Uint32 GetBufferSize(const void* data);

// Takes ownership of a NewBuffer buffer and sends all of it.
void SendBuffer(TTransport t, void* data);
// Sends a copy of the bytes.
void Send(TTransport t, const void* data, Uint32 size);
// Sends count bytes of an open file from offset without reading them into memory: they
// wait in the unsent queue as one entry (a buffer for IsReadyToSend and msg_ReadyToSend)
// and go out as the socket takes them. The transport sends from its own duplicate of the
// descriptor, so the caller may close its own at once. A file that ends before
// offset + count cuts the connection (msg_ConnectionClosed, GetCloseError says why).
void SendFile(TTransport t, int file, Uint64 offset, Uint32 count);
// Reads everything waiting into a new buffer (freed with DisposeBuffer by the caller).
bool ReceiveBuffer(TTransport t, void*& data, Uint32& size);
// Reads up to capacity bytes; 0 when nothing could be read. Never raises.
Uint32 Receive(TTransport t, void* buffer, Uint32 capacity);
Uint32 GetReceiveSize(TTransport t);
Uint32 GetUnsentSize(TTransport t);

// Asks for one msg_ReadyToSend once the unsent queue holds at most one buffer.
void NotifyReadyToSend(TTransport t);
bool IsReadyToSend(TTransport t);

// One UDP datagram to the record's address; returns the bytes sent (0 when dropped).
Uint32 SendUnit(TTransport t, const void* address, Uint32 size, const void* data, Uint32 length);

// "%d.%d.%d.%d" of the peer / the local address (the host's own address when bound to
// all interfaces). Returns the length written, cut to capacity; no terminator.
Uint32 GetRemoteAddressText(TTransport t, char* text, Uint32 capacity);
Uint32 GetLocalAddressText(TTransport t, char* text, Uint32 capacity);
// The same as records (port in host order); raise the mapped error on failure.
SInternetAddress GetRemoteAddress(TTransport t);
SInternetAddress GetLocalAddress(TTransport t);

// Module settings. The send buffer size is given to every new socket (default 65,536;
// 0 leaves the system's own, self-tuning size).
void SetSendBufferSize(Uint32 bytes);
Uint32 GetSendBufferSize();
// The same for one open socket, now (a bulk sender may want more room than the
// default); the getter answers with what the system reports, 0 when it cannot tell.
void SetSendBufferSize(TTransport t, Uint32 bytes);
Uint32 GetSendBufferSize(TTransport t);
// An unsent queue that would grow beyond this many bytes means the peer has stopped
// reading: the connection is cut and the owner gets msg_ConnectionClosed (default 8 MiB).
void SetMaxUnsentSize(Uint32 bytes);
Uint32 GetMaxUnsentSize();
// A connect that has not completed after this many milliseconds fails with (8, 103)
// (default 30,000; 0: only the system's own limit).
void SetConnectTimeout(Uint32 ms);
Uint32 GetConnectTimeout();
// The error that ended this connection (peer reset, unsent queue over its limit);
// (0, 0) when it closed normally or is still open.
SError GetCloseError(TTransport t);

}  // namespace UTransport

// A transport that disposes of itself.
struct TransportDisposer {
  void operator()(TTransportRec* t) const { UTransport::Dispose(t); }
};
using TransportPtr = std::unique_ptr<TTransportRec, TransportDisposer>;

// A send buffer that disposes of itself until handed to SendBuffer (release() then).
struct SendBufferDisposer {
  void operator()(void* data) const { UTransport::DisposeBuffer(data); }
};
using SendBufferPtr = std::unique_ptr<void, SendBufferDisposer>;

}  // namespace cv
