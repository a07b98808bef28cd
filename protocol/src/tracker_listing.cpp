// The tracker listing exchange: greeting, framed messages and server-record batches.
#include <algorithm>

#include "framework/errors.h"
#include "protocol/tracker.h"

namespace cv {

namespace {

constexpr std::size_t kCountedMax = 255;

}  // namespace

std::array<Uint8, kTrackerGreetingSize> EncodeTrackerGreeting() {
  std::array<Uint8, kTrackerGreetingSize> g{};
  WriteU32(g.data(), kTrackerMagic);
  WriteU16(g.data() + 4, kTrackerVersion);
  return g;
}

void CheckTrackerGreeting(ByteView bytes) {
  if (bytes.size() < kTrackerGreetingSize) UError::Raise(errClassGeneral, errBadArgument);
  if (ReadU32(bytes.data()) != kTrackerMagic) UError::Raise(errClassGeneral, errBadFormat);
  if (ReadU16(bytes.data() + 4) != kTrackerVersion) UError::Raise(errClassGeneral, errBadVersion);
}

bool IsTrackerGreeting(ByteView bytes) {
  if (bytes.size() < kTrackerGreetingSize) UError::Raise(errClassGeneral, errBadArgument);
  return ReadU32(bytes.data()) == kTrackerMagic && ReadU16(bytes.data() + 4) == kTrackerVersion;
}

bool ParseTrackerBatch(ByteView data, Uint16& total, std::vector<STrackerServer>& out) {
  if (data.size() < kTrackerBatchHeaderSize) return false;
  total = ReadU16(data.data());
  std::size_t at = kTrackerBatchHeaderSize;
  const std::size_t end = data.size();
  while (end - at >= kTrackerRecordMinSize) {
    const Uint8* r = data.data() + at;
    const std::size_t nameLen = r[10];
    // The description's length byte must follow the name inside the data.
    if (at + 11 + nameLen >= end) break;
    const std::size_t descLen = r[11 + nameLen];
    const std::size_t recordEnd = at + 12 + nameLen + descLen;
    if (recordEnd > end) break;
    STrackerServer s;
    std::copy(r, r + 4, s.address.begin());
    s.port = ReadU16(r + 4);
    s.users = ReadU16(r + 6);
    s.name.assign(reinterpret_cast<const char*>(r + 11), nameLen);
    s.description.assign(reinterpret_cast<const char*>(r + 12 + nameLen), descLen);
    out.push_back(std::move(s));
    at = recordEnd;
  }
  return true;
}

// ---- CTrackerListReader ----

void CTrackerListReader::Fail(Int16 cls, Int16 id) {
  failClass_ = cls;
  failId_ = id;
  UError::Raise(cls, id);
}

std::size_t CTrackerListReader::Feed(ByteView bytes) {
  if (failClass_) UError::Raise(failClass_, failId_);
  std::size_t used = 0;
  while (!complete_) {
    if (buf_.size() < want_) {
      const std::size_t take = std::min(want_ - buf_.size(), bytes.size() - used);
      if (seen_ + take > kTrackerMaxListingBytes) Fail(errClassGeneral, errBadFormat);
      buf_.append(bytes.data() + used, take);
      used += take;
      seen_ += take;
      if (buf_.size() < want_) break;
    }
    if (!greeted_) {
      if (ReadU32(buf_.data()) != kTrackerMagic) Fail(errClassGeneral, errBadFormat);
      if (ReadU16(buf_.data() + 4) != kTrackerVersion) Fail(errClassGeneral, errBadVersion);
      greeted_ = true;
      buf_.clear();
      want_ = kTrackerMessageHeaderSize;
    } else if (!inData_) {
      messageType_ = ReadU16(buf_.data());
      want_ = ReadU16(buf_.data() + 2);
      buf_.clear();
      inData_ = true;
      // An empty message is complete as soon as its header is; the loop handles it.
    } else {
      MessageDone();
    }
  }
  return used;
}

void CTrackerListReader::MessageDone() {
  if (messageType_ == trkServerList) {
    const std::size_t before = servers_.size();
    Uint16 total = 0;
    if (ParseTrackerBatch(buf_, total, servers_)) {
      count_ += servers_.size() - before;
      total_ = total;
      if (count_ >= total_) complete_ = true;
    }
  }
  buf_.clear();
  inData_ = false;
  want_ = kTrackerMessageHeaderSize;
}

void CTrackerListReader::Closed() const {
  if (!complete_) UError::Raise(errClassNetwork, 102);
}

// ---- Tracker side ----

Bytes EncodeTrackerRecord(const STrackerServer& server) {
  Bytes out;
  out.reserve(kTrackerRecordMinSize + server.name.size() + server.description.size());
  AppendBytes(out, server.address.data(), 4);
  AppendU16(out, server.port);
  AppendU16(out, server.users);
  AppendU16(out, 0);
  AppendCounted(out, server.name);
  AppendCounted(out, server.description);
  return out;
}

Bytes EncodeTrackerMessage(Uint16 type, ByteView data) {
  if (data.size() > kTrackerMaxMessageData) UError::Raise(errClassGeneral, errFieldTooLarge);
  Bytes out;
  out.reserve(kTrackerMessageHeaderSize + data.size());
  AppendU16(out, type);
  AppendU16(out, Uint16(data.size()));
  out.append(data.data(), data.size());
  return out;
}

Bytes EncodeTrackerListing(std::span<const STrackerServer> servers, std::size_t maxData) {
  // The largest record (two 255-byte texts) must fit into a batch.
  constexpr std::size_t kLargestRecord = kTrackerRecordMinSize + 2 * kCountedMax;
  maxData = std::clamp(maxData, kTrackerBatchHeaderSize + kLargestRecord, kTrackerMaxMessageData);
  if (servers.size() > 0xFFFF) servers = servers.first(0xFFFF);
  const Uint16 total = Uint16(servers.size());

  Bytes out;
  Bytes batch;
  Uint16 inBatch = 0;
  auto flush = [&] {
    Bytes data;
    AppendU16(data, total);
    AppendU16(data, inBatch);
    data += batch;
    out += EncodeTrackerMessage(trkServerList, data);
    batch.clear();
    inBatch = 0;
  };
  for (const STrackerServer& s : servers) {
    Bytes rec = EncodeTrackerRecord(s);
    if (kTrackerBatchHeaderSize + batch.size() + rec.size() > maxData) flush();
    batch += rec;
    ++inBatch;
  }
  if (inBatch > 0 || out.empty()) flush();
  return out;
}

}  // namespace cv
