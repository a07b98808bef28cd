#include "server/admission.h"

#include <algorithm>

namespace cv {

void CMyBanList::Add(Uint32 address, Uint32 now) {
  if (entries_.size() >= kBanListMax) entries_.pop_front();
  entries_.push_back(SBanEntry{address, now});
}

void CMyBanList::Expire(Uint32 now) {
  // Unsigned differences keep working when the seconds clock wraps.
  std::erase_if(entries_, [now](const SBanEntry& e) { return Uint32(now - e.added) > kBanSeconds; });
}

bool CMyBanList::Contains(Uint32 address) const {
  return std::any_of(entries_.begin(), entries_.end(), [address](const SBanEntry& e) { return e.address == address; });
}

bool CMyConnectFlood::Check(Uint32 address, Uint32 now) {
  if (any_ && address == last_) {
    if (runCount_ < 0xFFFF) ++runCount_;
    return runCount_ > kConnectFloodRun && Uint32(now - runStart_) < kConnectFloodSeconds;
  }
  any_ = true;
  last_ = address;
  runStart_ = now;
  runCount_ = 0;
  return false;
}

EAdmission CMyAdmission::Admit(Uint32 address, std::size_t sameAddress, Uint32 now) {
  bans_.Expire(now);
  if (bans_.Contains(address)) return EAdmission::Banned;
  if (sameAddress >= kMaxConnectionsPerAddress) return EAdmission::TooManyFromAddress;
  if (flood_.Check(address, now)) {
    bans_.Add(address, now);
    return EAdmission::Flooding;
  }
  return EAdmission::Accept;
}

bool UserInfoFloods(Uint32& windowStart, Uint16& count, Uint32 now) {
  if (Uint32(now - windowStart) > kUserInfoWindowSeconds) {
    windowStart = now;
    count = 0;
  }
  if (count > kUserInfoMaxPerWindow) return true;
  ++count;
  return false;
}

Uint16 NextUserId(Uint16& lastId) {
  ++lastId;
  if (lastId == 0) ++lastId;
  return lastId;
}

}  // namespace cv
