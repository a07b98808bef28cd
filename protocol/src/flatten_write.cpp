// The flattening cursor: header, information fork, data fork, optional resource fork.
#include <algorithm>
#include <cstring>

#include "framework/errors.h"
#include "protocol/flatten.h"

namespace cv {

namespace {

constexpr std::size_t kForkCountAt = 22;
constexpr Uint64 kStreamMax = 0xFFFFFFFFu;  // lengths on the wire are 32 bits

void AppendForkHeader(Bytes& out, Uint32 type, Uint64 length) {
  AppendU32(out, type);
  AppendU32(out, 0);  // no compression
  AppendU32(out, 0);
  AppendU32(out, Uint32(length));
}

}  // namespace

CFlattener::CFlattener(const SFlatInfo& info, Uint64 fileSize, FlatSource dataSource, Uint64 startOffset)
    : dataSource_(std::move(dataSource)), start_(startOffset) {
  dataLength_ = startOffset < fileSize ? fileSize - startOffset : 0;
  if (dataLength_ > 0 && !dataSource_) UError::Raise(errClassGeneral, errBadArgument);
  const Bytes infoFork = BuildInfoFork(info);
  prefix_.reserve(kFlatHeaderSize + 2 * kForkHeaderSize + infoFork.size());
  AppendU32(prefix_, kFlatMagic);
  AppendU16(prefix_, kFlatVersion);
  prefix_.append(16, 0);
  AppendU16(prefix_, 2);
  AppendForkHeader(prefix_, kForkInfo, infoFork.size());
  prefix_ += infoFork;
  AppendForkHeader(prefix_, kForkData, dataLength_);
  Recompute();
}

CFlattener CFlattener::FromResume(const SFlatInfo& info, Uint64 fileSize, FlatSource dataSource, ByteView record) {
  return CFlattener(info, fileSize, std::move(dataSource), ResumeOffset(record));
}

void CFlattener::AddResourceFork(Uint64 size, FlatSource source) {
  if (pos_ != 0 || hasResource_) UError::Raise(errClassGeneral, errBadState);
  if (size > 0 && !source) UError::Raise(errClassGeneral, errBadArgument);
  const Uint64 before = resourceLength_;
  hasResource_ = true;
  resourceLength_ = size;
  try {
    Recompute();
  } catch (...) {
    hasResource_ = false;
    resourceLength_ = before;
    Recompute();
    throw;
  }
  resourceSource_ = std::move(source);
  resourceHeader_.clear();
  AppendForkHeader(resourceHeader_, kForkResource, size);
  WriteU16(prefix_.data() + kForkCountAt, 3);
}

void CFlattener::Recompute() {
  Uint64 size = prefix_.size() + dataLength_;
  if (hasResource_) size += kForkHeaderSize + resourceLength_;
  if (dataLength_ > kStreamMax || resourceLength_ > kStreamMax || size > kStreamMax) {
    UError::Raise(errClassGeneral, errFieldTooLarge);
  }
  size_ = size;
}

std::size_t CFlattener::ReadFork(Uint64 at, Uint8* buf, std::size_t count, const FlatSource& source,
                                 Uint64 fileOffset) {
  std::size_t got = 0;
  while (got < count) {
    const std::size_t n = source(fileOffset + at + got, buf + got, count - got);
    // The length is already announced, so a file that shrank cannot be sent whole.
    if (n == 0 || n > count - got) UError::Raise(errClassGeneral, errBadState);
    got += n;
  }
  return got;
}

std::size_t CFlattener::Read(Uint8* buf, std::size_t count) {
  if (count > 0 && !buf) UError::Raise(errClassGeneral, errBadArgument);
  std::size_t done = 0;
  while (done < count && pos_ < size_) {
    const std::size_t want = count - done;
    Uint8* out = buf + done;
    Uint64 at = pos_;
    std::size_t n = 0;
    if (at < prefix_.size()) {
      n = std::min<Uint64>(want, prefix_.size() - at);
      std::memcpy(out, prefix_.data() + at, n);
    } else if ((at -= prefix_.size()) < dataLength_) {
      n = ReadFork(at, out, std::min<Uint64>(want, dataLength_ - at), dataSource_, start_);
    } else if ((at -= dataLength_) < kForkHeaderSize) {
      n = std::min<Uint64>(want, kForkHeaderSize - at);
      std::memcpy(out, resourceHeader_.data() + at, n);
    } else {
      at -= kForkHeaderSize;
      n = ReadFork(at, out, std::min<Uint64>(want, resourceLength_ - at), resourceSource_, 0);
    }
    pos_ += n;
    done += n;
  }
  return done;
}

}  // namespace cv
