// The unflattening cursor: collects headers across calls, keeps the information
// fork, streams the data fork to its sink and skips forks it does not know.
#include <algorithm>
#include <cstring>

#include "framework/errors.h"
#include "protocol/flatten.h"

namespace cv {

CUnflattener::CUnflattener(FlatSink dataSink, Uint64 startOffset)
    : dataSink_(std::move(dataSink)), start_(startOffset) {
  if (!dataSink_) UError::Raise(errClassGeneral, errBadArgument);
}

void CUnflattener::Fail(Int16 id, const char* trace) {
  state_ = State::failed;
  if (trace) UError::Trace(trace);
  UError::Raise(errClassGeneral, id);
}

void CUnflattener::Write(ByteView bytes) {
  if (state_ == State::failed) UError::Raise(errClassGeneral, errBadState);
  const Uint8* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    std::size_t take = 0;
    switch (state_) {
      case State::header:
      case State::forkHeader: {
        const std::size_t need = (state_ == State::header ? kFlatHeaderSize : kForkHeaderSize) - have_;
        take = std::min(need, left);
        std::memcpy(buf_ + have_, p, take);
        have_ += take;
        consumed_ += take;
        if (take == need) {
          if (state_ == State::header) {
            TakeHeader();
          } else {
            TakeForkHeader();
          }
        }
        break;
      }
      case State::forkData: {
        take = std::min<std::size_t>(forkLength_ - forkPos_, left);
        const ByteView piece(p, take);
        if (forkType_ == kForkInfo) {
          const std::size_t room = kInfoForkKeep - std::min(kInfoForkKeep, info_.size());
          info_.append(p, std::min(room, take));  // beyond our room the fork is dropped
        } else if (forkType_ == kForkData || (forkType_ == kForkResource && resourceSink_)) {
          try {
            if (forkType_ == kForkData) {
              dataSink_(start_ + forkPos_, piece);
              dataReceived_ += take;
            } else {
              resourceSink_(forkPos_, piece);
            }
          } catch (...) {
            state_ = State::failed;
            throw;
          }
        }
        forkPos_ += Uint32(take);
        consumed_ += take;
        if (forkPos_ == forkLength_) EndFork();
        break;
      }
      case State::failed:
        UError::Raise(errClassGeneral, errBadState);
    }
    p += take;
    left -= take;
  }
}

void CUnflattener::TakeHeader() {
  if (ReadU32(buf_) != kFlatMagic) Fail(errBadFormat);
  if (ReadU16(buf_ + 4) != kFlatVersion) Fail(errBadVersion);
  // The fork count is not used: the stream runs until the transfer's length.
  state_ = State::forkHeader;
  have_ = 0;
}

void CUnflattener::TakeForkHeader() {
  forkType_ = ReadU32(buf_);
  const Uint32 compression = ReadU32(buf_ + 4);
  forkLength_ = ReadU32(buf_ + 12);
  forkPos_ = 0;
  if (compression != 0) Fail(errBadFormat, "UFileSys::ProcessUnflatten - unknown compression type");
  // A second copy of a fork would overwrite the first; no writer sends one.
  if (forkType_ == kForkInfo) {
    if (infoSeen_) Fail(errBadFormat);
    infoSeen_ = true;
    info_.reserve(std::min<std::size_t>(forkLength_, kInfoForkKeep));
  } else if (forkType_ == kForkData) {
    if (dataSeen_) Fail(errBadFormat);
    if (start_ > ~Uint64(0) - forkLength_) Fail(errBadFormat);
    dataSeen_ = true;
  } else if (forkType_ == kForkResource && resourceSink_) {
    if (resourceSeen_) Fail(errBadFormat);
    resourceSeen_ = true;
  }
  state_ = State::forkData;
  have_ = 0;
  if (forkLength_ == 0) EndFork();
}

void CUnflattener::EndFork() {
  if (forkType_ == kForkInfo) infoDone_ = true;
  if (forkType_ == kForkData) dataDone_ = true;
  state_ = State::forkHeader;
  have_ = 0;
}

std::optional<ByteView> CUnflattener::InfoFork() const {
  if (!infoDone_) return std::nullopt;
  return ByteView(info_.data(), info_.size());
}

std::optional<SFlatInfo> CUnflattener::Info() const {
  if (!infoDone_) return std::nullopt;
  return ParseInfoFork(ByteView(info_.data(), info_.size()));
}

void CUnflattener::Finish() const {
  if (!AtForkBoundary() || !dataDone_) UError::Raise(errClassGeneral, errBadFormat);
}

}  // namespace cv
