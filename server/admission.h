// Who may connect and how often: the ban list, the connect-flood tracker, the limit of
// connections per address, and the flood window of user-info changes. Pure logic; the
// caller passes the seconds clock (system uptime in seconds).
#pragma once

#include <cstddef>
#include <deque>

#include "framework/types.h"

namespace cv {

constexpr std::size_t kBanListMax = 32;
constexpr Uint32 kBanSeconds = 1800;
constexpr std::size_t kMaxConnectionsPerAddress = 5;
constexpr Uint16 kConnectFloodRun = 10;      // a run count above this within...
constexpr Uint32 kConnectFloodSeconds = 30;  // ...this many seconds bans
constexpr Uint32 kUserInfoWindowSeconds = 60;
constexpr Uint16 kUserInfoMaxPerWindow = 25;

struct SBanEntry {
  Uint32 address = 0;  // IPv4, host order
  Uint32 added = 0;    // seconds
};

// Up to 32 bans, oldest first; memory only.
class CMyBanList {
 public:
  // With the list full the oldest entry makes room.
  void Add(Uint32 address, Uint32 now);
  // Drops entries added more than 1800 s before now.
  void Expire(Uint32 now);
  bool Contains(Uint32 address) const;
  std::size_t Size() const { return entries_.size(); }
  const std::deque<SBanEntry>& Entries() const { return entries_; }
  void Clear() { entries_.clear(); }

 private:
  std::deque<SBanEntry> entries_;
};

// Consecutive connections from one address: the run begins with the first connection
// from an address that differs from the previous one.
class CMyConnectFlood {
 public:
  // Records one connection; true when it floods (its address should be banned).
  bool Check(Uint32 address, Uint32 now);

 private:
  bool any_ = false;
  Uint32 last_ = 0;
  Uint32 runStart_ = 0;
  Uint16 runCount_ = 0;
};

enum class EAdmission { Accept, Banned, TooManyFromAddress, Flooding };

// The checks of a newly accepted connection, in order: expire old bans, the ban list,
// the per-address limit, the connect flood (which bans the address).
class CMyAdmission {
 public:
  // sameAddress: the number of connected clients with this address.
  EAdmission Admit(Uint32 address, std::size_t sameAddress, Uint32 now);

  CMyBanList& Bans() { return bans_; }
  const CMyBanList& Bans() const { return bans_; }

 private:
  CMyBanList bans_;
  CMyConnectFlood flood_;
};

// The per-client window of user-info changes (SetClientUserInfo): true when this request
// floods (more than 25 already in the current 60-second window).
bool UserInfoFloods(Uint32& windowStart, Uint16& count, Uint32 now);

// The next session user id: 1 to 65535, then 1 again; never 0.
Uint16 NextUserId(Uint16& lastId);

}  // namespace cv
