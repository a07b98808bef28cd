// The transfer connection's pure parts: the 16-byte header a client sends first on
// a transfer connection ('CVXF', the reference number the server handed out, the
// upload's data size, reserved), and the pacing rule by which a sender sizes the
// buffers it queues. The connection glue lives with the server and client.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "framework/types.h"

namespace cv {

constexpr Uint32 kTransferMagic = FourCC("CVXF");
constexpr std::size_t kTransferHeaderSize = 16;

// Four bytes chosen by the server and echoed unchanged by the client; the lowest
// bit of the first byte is 1 for a download, 0 for an upload.
using TransferReference = std::array<Uint8, 4>;

inline bool IsDownloadReference(const TransferReference& ref) { return (ref[0] & 1) != 0; }

// A reference from a 16-bit random number and the transfer serial, each least
// significant byte first, with the direction bit set for a download.
TransferReference MakeTransferReference(Uint16 random, Uint16 serial, bool download);

struct STransferHeader {
  TransferReference reference{};
  Uint32 dataSize = 0;  // an upload's flattened length; 0 for a download
  Uint32 reserved = 0;

  bool IsDownload() const { return IsDownloadReference(reference); }
};

std::array<Uint8, kTransferHeaderSize> EncodeTransferHeader(const STransferHeader& header);
// Reads the first 16 bytes; none when the magic is wrong. Fewer than 16 bytes
// raises (1, 2).
std::optional<STransferHeader> ParseTransferHeader(ByteView bytes);

// Collects a header that may arrive in pieces.
class CTransferHeaderReader {
 public:
  // Takes what it still needs from bytes and returns how many it took.
  std::size_t Feed(ByteView bytes) { return record_.Feed(bytes); }
  bool Complete() const { return record_.Complete(); }
  // The header once complete (none before, or when the magic is wrong).
  std::optional<STransferHeader> Header() const;

 private:
  TFixedRecord<kTransferHeaderSize> record_;
};

// The sender's chunk sizing. It starts at 51200 bytes; before a send it grows by
// 20480 when nothing is queued and by 51200 when the previous send was less than
// 10 seconds ago, and is capped at 2 MB. A sender with more than a chunk queued in
// more than one buffer waits.
class CSendPacing {
 public:
  static constexpr Uint32 kStartChunk = 51200;
  static constexpr Uint32 kIdleGrowth = 20480;
  static constexpr Uint32 kQuickGrowth = 51200;
  static constexpr Uint32 kQuickSeconds = 10;
  static constexpr Uint32 kMaxChunk = 2097152;

  // The bytes to send now (0: wait), given what is still queued on the connection
  // (bytes and buffers), the seconds since system start and the bytes left to send.
  // A non-zero answer counts as a send.
  Uint32 NextChunk(Uint64 queuedBytes, std::size_t queuedBuffers, Uint64 nowSeconds, Uint64 bytesLeft);

  Uint32 ChunkSize() const { return chunk_; }
  Uint64 LastSend() const { return lastSend_; }

 private:
  Uint32 chunk_ = kStartChunk;
  Uint64 lastSend_ = 0;
  bool sent_ = false;
};

}  // namespace cv
