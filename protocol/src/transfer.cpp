// Transfer header and send pacing.
#include "protocol/transfer.h"

#include <algorithm>

#include "framework/errors.h"

namespace cv {

TransferReference MakeTransferReference(Uint16 random, Uint16 serial, bool download) {
  TransferReference ref{Uint8(random), Uint8(random >> 8), Uint8(serial), Uint8(serial >> 8)};
  ref[0] = download ? Uint8(ref[0] | 1) : Uint8(ref[0] & ~1);
  return ref;
}

std::array<Uint8, kTransferHeaderSize> EncodeTransferHeader(const STransferHeader& header) {
  std::array<Uint8, kTransferHeaderSize> out{};
  WriteU32(out.data(), kTransferMagic);
  std::copy(header.reference.begin(), header.reference.end(), out.begin() + 4);
  WriteU32(out.data() + 8, header.dataSize);
  WriteU32(out.data() + 12, header.reserved);
  return out;
}

std::optional<STransferHeader> ParseTransferHeader(ByteView bytes) {
  if (bytes.size() < kTransferHeaderSize) UError::Raise(errClassGeneral, errBadArgument);
  if (ReadU32(bytes.data()) != kTransferMagic) return std::nullopt;
  STransferHeader h;
  std::copy(bytes.begin() + 4, bytes.begin() + 8, h.reference.begin());
  h.dataSize = ReadU32(bytes.data() + 8);
  h.reserved = ReadU32(bytes.data() + 12);
  return h;
}

std::optional<STransferHeader> CTransferHeaderReader::Header() const {
  if (!Complete()) return std::nullopt;
  return ParseTransferHeader(record_.View());
}

Uint32 CSendPacing::NextChunk(Uint64 queuedBytes, std::size_t queuedBuffers, Uint64 nowSeconds, Uint64 bytesLeft) {
  if (bytesLeft == 0) return 0;
  if (queuedBytes > chunk_ && queuedBuffers > 1) return 0;
  Uint64 chunk = chunk_;
  if (queuedBytes == 0) chunk += kIdleGrowth;
  // The first send has no previous one to be quick after.
  if (sent_ && nowSeconds < lastSend_ + kQuickSeconds) chunk += kQuickGrowth;
  lastSend_ = nowSeconds;
  sent_ = true;
  chunk_ = Uint32(std::min<Uint64>(chunk, kMaxChunk));
  return Uint32(std::min<Uint64>(chunk_, bytesLeft));
}

}  // namespace cv
