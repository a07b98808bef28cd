#include "protocol/fields.h"

#include <algorithm>

#include "framework/errors.h"

namespace cv {

UFieldData& UFieldData::operator=(const UFieldData& other) {
  if (this != &other) {
    block_ = other.block_;
    prefix_ = other.prefix_;
    clean_ = other.clean_;
    Forget();
  }
  return *this;
}

UFieldData::UFieldData(UFieldData&& other) noexcept
    : block_(std::move(other.block_)), prefix_(other.prefix_), clean_(other.clean_) {
  other.Clear();
}

UFieldData& UFieldData::operator=(UFieldData&& other) noexcept {
  if (this != &other) {
    block_ = std::move(other.block_);
    prefix_ = other.prefix_;
    clean_ = other.clean_;
    Forget();
    other.Clear();
  }
  return *this;
}

void UFieldData::Forget() const {
  indexed_ = false;
  offsets_.clear();
  sorted_.clear();
  cacheId_ = 0;
  cachePos_ = 0;
}

void UFieldData::Clear() {
  block_.clear();
  block_.shrink_to_fit();
  clean_ = true;
  Forget();
}

void UFieldData::SetBlock(Bytes block, std::size_t prefix) {
  block_ = std::move(block);
  prefix_ = prefix;
  clean_ = block_.empty();
  Forget();
}

const Bytes& UFieldData::GetBlock() {
  if (block_.empty()) block_.assign(prefix_ + 2, 0);
  return block_;
}

Bytes UFieldData::TakeBlock() {
  GetBlock();
  Bytes out = std::move(block_);
  Clear();
  return out;
}

void UFieldData::AddField(Uint16 id, const void* data, std::size_t size) {
  if (id == 0) UError::Raise(errClassGeneral, errBadArgument);
  if (size == 0) return;
  if (size > kMaxFieldSize) {
    UError::Trace("UFieldData::AddField() - maximum field size is 65535 bytes");
    UError::Raise(errClassGeneral, errFieldTooLarge);
  }
  if (!clean_) {
    // A received block may be truncated or carry junk after its last complete field;
    // cut it back so that the new field follows the ones a reader can see.
    BuildIndex();
    if (block_.size() < prefix_ + 2) {
      block_.resize(prefix_ + 2, 0);
      WriteU16(block_.data() + prefix_, 0);
    } else {
      block_.resize(offsets_.back());
      WriteU16(block_.data() + prefix_, Uint16(offsets_.size() - 1));
    }
    clean_ = true;
    Forget();
  }
  std::size_t count = 0;
  if (block_.size() < prefix_ + 2) {
    block_.assign(prefix_ + 2, 0);
  } else {
    count = ReadU16(block_.data() + prefix_);
  }
  if (count >= kMaxFieldCount) {
    UError::Trace("UFieldData::AddField() - maximum field count is 65535");
    UError::Raise(errClassGeneral, errFieldTooLarge);
  }
  const std::size_t at = block_.size();
  block_.resize(at + kFieldHeadSize + size);  // may throw; the list is then unchanged
  Uint8* p = block_.data() + at;
  WriteU16(p, id);
  WriteU16(p + 2, Uint16(size));
  if (data) {
    std::memcpy(p + 4, data, size);
  }
  WriteU16(block_.data() + prefix_, Uint16(count + 1));
  Forget();
}

void UFieldData::AddInteger(Uint16 id, Uint32 value) {
  Uint8 b[4];
  if (value < 65536) {
    WriteU16(b, Uint16(value));
    AddField(id, b, 2);
  } else {
    WriteU32(b, value);
    AddField(id, b, 4);
  }
}

void UFieldData::AddPString(Uint16 id, const Uint8* pstring) {
  if (!pstring) {
    if (id == 0) UError::Raise(errClassGeneral, errBadArgument);
    return;
  }
  AddField(id, pstring + 1, pstring[0]);
}

void UFieldData::BuildIndex() const {
  if (indexed_) return;
  offsets_.clear();
  sorted_.clear();
  const std::size_t size = block_.size();
  std::size_t pos = prefix_;
  std::size_t stated = 0;
  if (size >= prefix_ && size - prefix_ >= 3) {
    stated = ReadU16(block_.data() + prefix_);
    pos += 2;
  } else if (size >= prefix_ + 2) {
    pos += 2;
  }
  // Never trust the stated count for the reservation beyond what could fit.
  offsets_.reserve(std::min(stated, size / kFieldHeadSize) + 1);
  for (std::size_t n = 0; n < stated; ++n) {
    if (size - pos < kFieldHeadSize) break;
    const std::size_t fieldSize = ReadU16(block_.data() + pos + 2);
    if (size - pos - kFieldHeadSize < fieldSize) break;
    offsets_.push_back(pos);
    sorted_.emplace_back(ReadU16(block_.data() + pos), Uint16(n + 1));
    pos += kFieldHeadSize + fieldSize;
  }
  offsets_.push_back(std::min(pos, size));
  // In-place heap sort by id; which of several equal ids a lookup finds is not defined.
  auto byId = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::make_heap(sorted_.begin(), sorted_.end(), byId);
  std::sort_heap(sorted_.begin(), sorted_.end(), byId);
  indexed_ = true;
}

std::size_t UFieldData::Find(Uint16 id) const {
  if (id == 0) return 0;
  BuildIndex();
  if (sorted_.empty()) return 0;
  if (cacheId_ == id && cachePos_ != 0) return cachePos_;
  auto it = std::lower_bound(sorted_.begin(), sorted_.end(), id,
                             [](const std::pair<Uint16, Uint16>& a, Uint16 v) { return a.first < v; });
  if (it == sorted_.end() || it->first != id) return 0;
  cacheId_ = id;
  cachePos_ = it->second;
  return cachePos_;
}

std::size_t UFieldData::GetFieldCount() const {
  if (block_.empty()) return 0;
  BuildIndex();
  return offsets_.size() - 1;
}

Uint16 UFieldData::GetNthFieldId(std::size_t n) const {
  if (n == 0 || n > GetFieldCount()) return 0;
  return ReadU16(block_.data() + offsets_[n - 1]);
}

ByteView UFieldData::GetNthField(std::size_t n) const {
  if (n == 0 || n > GetFieldCount()) return {};
  const Uint8* p = block_.data() + offsets_[n - 1];
  return ByteView(p + kFieldHeadSize, ReadU16(p + 2));
}

std::size_t UFieldData::GetNthFieldData(std::size_t n, std::size_t start, void* buffer, std::size_t bufferSize) const {
  ByteView field = GetNthField(n);
  if (start >= field.size() || !buffer) return 0;
  const std::size_t count = std::min(bufferSize, field.size() - start);
  std::memcpy(buffer, field.data() + start, count);
  return count;
}

Uint32 UFieldData::GetNthInteger(std::size_t n) const { return DecodeInteger(GetNthField(n)); }

ByteView UFieldData::GetField(Uint16 id) const { return GetNthField(Find(id)); }

std::size_t UFieldData::GetFieldSize(Uint16 id) const { return GetField(id).size(); }

std::size_t UFieldData::GetFieldData(Uint16 id, void* buffer, std::size_t bufferSize) const {
  return GetNthFieldData(Find(id), 0, buffer, bufferSize);
}

Uint32 UFieldData::GetInteger(Uint16 id) const { return DecodeInteger(GetField(id)); }

void UFieldData::GetPString(Uint16 id, Uint8* pstring, std::size_t capacity) const {
  if (!pstring || capacity == 0) return;
  ByteView field = GetField(id);
  const std::size_t count = std::min({field.size(), capacity - 1, std::size_t(255)});
  if (count) std::memcpy(pstring + 1, field.data(), count);
  pstring[0] = Uint8(count);
}

std::string UFieldData::GetText(Uint16 id, std::size_t maxChars) const {
  ByteView field = GetField(id);
  const std::size_t count = std::min(field.size(), maxChars);
  return std::string(reinterpret_cast<const char*>(field.data()), count);
}

Uint32 UFieldData::DecodeInteger(ByteView data) {
  switch (data.size()) {
    case 0:
      return 0;
    case 1:
      return data[0];
    case 2:
      return ReadU16(data.data());
    case 3:
      return 0;
    default:
      return ReadU32(data.data());
  }
}

}  // namespace cv
