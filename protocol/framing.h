// Transaction framing and the "TRTP" handshake as pure, incremental state machines:
// they take the bytes of a stream in pieces of any size and never touch a socket.
// The transaction connection (protocol/transaction.h) drives them; the fuzz targets
// drive them directly.
//
// Transaction header, 20 bytes, big-endian: flags (1, sent as 0), is-reply (1), type (2),
// id (4), error code (4), total size (4, data bytes of all parts), data size (4, data
// bytes following this header). The data is a field list.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <vector>

#include "framework/types.h"

namespace cv {

inline constexpr std::size_t kTransactionHeaderSize = 20;

// Largest transaction (all parts) accepted from a peer, and largest sent. Room for the
// longest lists this system produces (a folder list of 15,000 entries with 255-byte names,
// or some 70,000 with ordinary names; a user list of tens of thousands), while a hostile
// peer cannot make one connection hold more than that. It also stays well inside the
// transport's unsent-queue limit, so a maximal reply to a slow reader is not cut off.
// Memory grows only with bytes that really arrived, never from a length in a header.
inline constexpr Uint32 kMaxTransactionSize = 4u * 1024 * 1024;
// Transactions that may be half received at once (multi-part transactions interleaved by
// id; senders in this system never split one), and the sum of their announced sizes.
inline constexpr std::size_t kMaxPartialTransactions = 16;
inline constexpr Uint64 kMaxPartialBytes = 2ull * kMaxTransactionSize;

struct STransactionHeader {
  Uint8 flags = 0;
  Uint8 isReply = 0;  // any non-zero value counts as a reply
  Uint16 type = 0;
  Uint32 id = 0;
  Uint32 errorCode = 0;
  Uint32 totalSize = 0;
  Uint32 dataSize = 0;

  bool IsReply() const { return isReply != 0; }
  void Write(Uint8* out) const;  // 20 bytes
  static STransactionHeader Read(const Uint8* in);
  bool operator==(const STransactionHeader&) const = default;
};

// Header and data in one buffer, as the connection hands it to the transport.
Bytes EncodeTransaction(const STransactionHeader& header, ByteView data);

struct SReceivedTransaction {
  STransactionHeader header;  // of the last part; totalSize = dataSize = data.size()
  Bytes data;
};

// Reassembles transactions from a byte stream. Parts with the same id and direction are
// joined; a transaction is yielded once its total size has arrived, in completion order.
// Bad framing (a size above the maximum, a part larger than what remains of its total,
// too many half-received transactions) raises (8, 107) and the receiver stays failed:
// the stream cannot be resynchronised, so the connection must be closed.
class CTransactionReceiver {
 public:
  void Feed(ByteView bytes);
  void Feed(const void* data, std::size_t size) { Feed(ByteView(static_cast<const Uint8*>(data), size)); }

  bool HasTransaction() const { return !complete_.empty(); }
  std::size_t CompleteCount() const { return complete_.size(); }
  // Oldest completed transaction; call only when HasTransaction().
  SReceivedTransaction Take();

  bool Failed() const { return failed_; }

  // The part being read now (after its header arrived, before its last byte).
  bool PartInProgress() const { return current_ != kNone; }
  const STransactionHeader& CurrentHeader() const { return header_; }
  // Data bytes of the current transaction received so far (earlier parts included), and
  // its total as its first part announced it.
  Uint32 CurrentReceived() const;
  Uint32 CurrentTotal() const;

  // Bytes that would finish the header or part being read (a reading hint, never 0).
  std::size_t BytesWanted() const;

 private:
  struct SAssembly {
    STransactionHeader header;
    Bytes data;
  };
  static constexpr std::size_t kNone = ~std::size_t(0);

  [[noreturn]] void Fail();
  void StartPart();
  void FinishPart();

  std::array<Uint8, kTransactionHeaderSize> headerBytes_{};
  std::size_t headerHave_ = 0;
  STransactionHeader header_{};
  std::size_t current_ = kNone;  // index into partial_ of the part being read
  Uint32 partLeft_ = 0;
  std::vector<SAssembly> partial_;
  std::deque<SReceivedTransaction> complete_;
  bool failed_ = false;
};

// Handshake, client to server: "TRTP", sub-protocol code, protocol version 1, sub-version.
inline constexpr Uint32 kHandshakeMagic = FourCC("TRTP");
inline constexpr Uint16 kProtocolVersion = 1;
inline constexpr std::size_t kClientHandshakeSize = 12;
inline constexpr std::size_t kServerHandshakeSize = 8;

std::array<Uint8, kClientHandshakeSize> MakeClientHandshake(Uint32 subProtocol, Uint16 subVersion,
                                                            Uint16 version = kProtocolVersion);
// "TRTP" and the error code: 0 accepted, non-zero refused.
std::array<Uint8, kServerHandshakeSize> MakeServerHandshake(Uint32 errorCode);

// Server side: reads the client's 12 handshake bytes.
class CServerHandshakeParser {
 public:
  enum EResult { NeedMore = 0, Valid = 1, WrongMagic = 2, WrongVersion = 3 };

  // Takes at most the bytes still missing; returns how many it took. Bytes beyond the
  // handshake belong to the transaction stream.
  std::size_t Feed(ByteView bytes);
  EResult Result() const { return result_; }
  std::size_t Missing() const { return record_.Missing(); }
  Uint32 SubProtocol() const { return subProtocol_; }
  Uint16 Version() const { return version_; }
  Uint16 SubVersion() const { return subVersion_; }

 private:
  TFixedRecord<kClientHandshakeSize> record_;
  EResult result_ = NeedMore;
  Uint32 subProtocol_ = 0;
  Uint16 version_ = 0;
  Uint16 subVersion_ = 0;
};

// Client side: reads the server's 8-byte answer.
class CClientHandshakeParser {
 public:
  enum EResult { NeedMore = 0, Accepted = 1, Refused = 2, WrongMagic = 3 };

  std::size_t Feed(ByteView bytes);
  EResult Result() const { return result_; }
  std::size_t Missing() const { return record_.Missing(); }
  Uint32 ErrorCode() const { return errorCode_; }

 private:
  TFixedRecord<kServerHandshakeSize> record_;
  EResult result_ = NeedMore;
  Uint32 errorCode_ = 0;
};

}  // namespace cv
