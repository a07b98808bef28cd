#include "protocol/framing.h"

#include <algorithm>

#include "framework/errors.h"

namespace cv {

void STransactionHeader::Write(Uint8* out) const {
  out[0] = flags;
  out[1] = isReply;
  WriteU16(out + 2, type);
  WriteU32(out + 4, id);
  WriteU32(out + 8, errorCode);
  WriteU32(out + 12, totalSize);
  WriteU32(out + 16, dataSize);
}

STransactionHeader STransactionHeader::Read(const Uint8* in) {
  STransactionHeader h;
  h.flags = in[0];
  h.isReply = in[1];
  h.type = ReadU16(in + 2);
  h.id = ReadU32(in + 4);
  h.errorCode = ReadU32(in + 8);
  h.totalSize = ReadU32(in + 12);
  h.dataSize = ReadU32(in + 16);
  return h;
}

Bytes EncodeTransaction(const STransactionHeader& header, ByteView data) {
  Bytes out(kTransactionHeaderSize + data.size(), 0);
  header.Write(out.data());
  if (!data.empty()) std::memcpy(out.data() + kTransactionHeaderSize, data.data(), data.size());
  return out;
}

// ---------------------------------------------------------------------------------------

void CTransactionReceiver::Fail() {
  failed_ = true;
  current_ = kNone;
  partial_.clear();
  UError::Raise(errClassNetwork, errBadProtocol);
}

Uint32 CTransactionReceiver::CurrentReceived() const {
  return current_ == kNone ? 0 : Uint32(partial_[current_].data.size());
}

Uint32 CTransactionReceiver::CurrentTotal() const {
  return current_ == kNone ? 0 : partial_[current_].header.totalSize;
}

std::size_t CTransactionReceiver::BytesWanted() const {
  if (current_ != kNone) return partLeft_;
  return kTransactionHeaderSize - headerHave_;
}

SReceivedTransaction CTransactionReceiver::Take() {
  if (complete_.empty()) UError::Raise(errClassGeneral, errBadState);
  SReceivedTransaction t = std::move(complete_.front());
  complete_.pop_front();
  return t;
}

void CTransactionReceiver::StartPart() {
  header_ = STransactionHeader::Read(headerBytes_.data());
  headerHave_ = 0;
  if (header_.totalSize > kMaxTransactionSize || header_.dataSize > kMaxTransactionSize) Fail();
  // A part without data carries nothing to file: read the next header in its place.
  if (header_.dataSize == 0) return;

  auto it = std::find_if(partial_.begin(), partial_.end(), [&](const SAssembly& a) {
    return a.header.id == header_.id && a.header.IsReply() == header_.IsReply();
  });
  if (it == partial_.end()) {
    if (header_.dataSize > header_.totalSize) Fail();
    if (partial_.size() >= kMaxPartialTransactions) Fail();
    Uint64 announced = header_.totalSize;
    for (const auto& a : partial_) announced += a.header.totalSize;
    if (announced > kMaxPartialBytes) Fail();
    SAssembly a;
    a.header = header_;
    // Reserve for what is announced only up to a modest size; beyond that the block
    // grows with the bytes that actually arrive.
    a.data.reserve(std::min<Uint32>(header_.totalSize, 256 * 1024));
    partial_.push_back(std::move(a));
    current_ = partial_.size() - 1;
  } else {
    // Later parts keep the first part's total; each may only fill what is left of it.
    if (header_.dataSize > it->header.totalSize - it->data.size()) Fail();
    it->header.type = header_.type;
    it->header.errorCode = header_.errorCode;
    it->header.flags = header_.flags;
    it->header.isReply = header_.isReply;
    current_ = std::size_t(it - partial_.begin());
  }
  partLeft_ = header_.dataSize;
}

void CTransactionReceiver::FinishPart() {
  SAssembly& a = partial_[current_];
  const std::size_t index = current_;
  current_ = kNone;
  if (a.data.size() < a.header.totalSize) return;
  SReceivedTransaction t;
  t.header = a.header;
  t.header.totalSize = t.header.dataSize = Uint32(a.data.size());
  t.data = std::move(a.data);
  partial_.erase(partial_.begin() + std::ptrdiff_t(index));
  complete_.push_back(std::move(t));
}

void CTransactionReceiver::Feed(ByteView bytes) {
  if (failed_) UError::Raise(errClassNetwork, errBadProtocol);
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (current_ == kNone) {
      const std::size_t n = std::min(kTransactionHeaderSize - headerHave_, bytes.size() - pos);
      std::memcpy(headerBytes_.data() + headerHave_, bytes.data() + pos, n);
      headerHave_ += n;
      pos += n;
      if (headerHave_ == kTransactionHeaderSize) StartPart();
    } else {
      const std::size_t n = std::min<std::size_t>(partLeft_, bytes.size() - pos);
      partial_[current_].data.append(bytes.data() + pos, n);
      partLeft_ -= Uint32(n);
      pos += n;
      if (partLeft_ == 0) FinishPart();
    }
  }
}

// ---------------------------------------------------------------------------------------

std::array<Uint8, kClientHandshakeSize> MakeClientHandshake(Uint32 subProtocol, Uint16 subVersion, Uint16 version) {
  std::array<Uint8, kClientHandshakeSize> b{};
  WriteU32(b.data(), kHandshakeMagic);
  WriteU32(b.data() + 4, subProtocol);
  WriteU16(b.data() + 8, version);
  WriteU16(b.data() + 10, subVersion);
  return b;
}

std::array<Uint8, kServerHandshakeSize> MakeServerHandshake(Uint32 errorCode) {
  std::array<Uint8, kServerHandshakeSize> b{};
  WriteU32(b.data(), kHandshakeMagic);
  WriteU32(b.data() + 4, errorCode);
  return b;
}

std::size_t CServerHandshakeParser::Feed(ByteView bytes) {
  if (result_ != NeedMore) return 0;
  const std::size_t n = record_.Feed(bytes);
  if (!record_.Complete()) return n;
  const Uint8* b = record_.Data();
  if (ReadU32(b) != kHandshakeMagic) {
    result_ = WrongMagic;
    return n;
  }
  subProtocol_ = ReadU32(b + 4);
  version_ = ReadU16(b + 8);
  subVersion_ = ReadU16(b + 10);
  result_ = version_ == kProtocolVersion ? Valid : WrongVersion;
  return n;
}

std::size_t CClientHandshakeParser::Feed(ByteView bytes) {
  if (result_ != NeedMore) return 0;
  const std::size_t n = record_.Feed(bytes);
  if (!record_.Complete()) return n;
  const Uint8* b = record_.Data();
  if (ReadU32(b) != kHandshakeMagic) {
    result_ = WrongMagic;
    return n;
  }
  errorCode_ = ReadU32(b + 4);
  result_ = errorCode_ == 0 ? Accepted : Refused;
  return n;
}

}  // namespace cv
