// corvane-tracker: a small tracker of our own. Servers announce themselves by UDP
// datagrams (default port 5499); clients fetch the list of servers heard from in the
// last fifteen minutes over TCP (default port 5498). It binds to 127.0.0.1 unless told
// otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "framework/events.h"
#include "framework/types.h"
#include "protocol/tracker.h"

namespace cv {

// Servers announce every five minutes; three missed announcements drop one.
constexpr Int64 kTrackerExpiryMs = 15 * 60 * 1000;
constexpr std::size_t kTrackerMaxServers = 4096;
// One machine may run a few servers; many more from one address is someone filling the list.
constexpr std::size_t kTrackerMaxServersPerAddress = 32;
constexpr std::size_t kTrackerMaxClients = 64;
// A client that has not finished its exchange by then is cut off.
constexpr Int64 kTrackerClientTimeoutMs = 15000;
// Name of the optional password file in the tracker's folder, one password a line.
inline constexpr std::string_view kTrackerPasswordFile = "Passwords";

// The servers heard from recently, keyed by address and port.
class CTrackerList {
 public:
  enum class EResult { Added, Updated, BadPassword, Full };

  // Registrations must carry one of these passwords; an empty set accepts every one.
  void SetPasswords(std::set<std::string> passwords) { passwords_ = std::move(passwords); }

  EResult Register(const std::array<Uint8, 4>& address, const STrackerRegistration& reg, Int64 nowMs);
  // Forgets servers not heard from for kTrackerExpiryMs; returns how many went.
  std::size_t Expire(Int64 nowMs);
  // The servers still fresh at nowMs, in address order.
  std::vector<STrackerServer> Servers(Int64 nowMs) const;
  std::size_t Size() const { return entries_.size(); }

 private:
  struct SEntry {
    STrackerServer server;
    Uint32 serverId = 0;
    Int64 seen = 0;
  };
  using Key = std::pair<std::array<Uint8, 4>, Uint16>;
  std::map<Key, SEntry> entries_;
  std::set<std::string> passwords_;
};

// Reads the folder's password file; none or an unreadable one gives the empty set.
std::set<std::string> LoadTrackerPasswords(const std::string& folder);

struct STrackerOptions {
  std::string bind = "127.0.0.1";
  Uint16 udpPort = kTrackerRegistrationPort;  // 0: any free port
  Uint16 tcpPort = kTrackerListingPort;       // 0: any free port
  std::optional<std::string> password;        // when set, registrations must carry it
  std::string dir;                            // folder of the password file; empty: none
  bool help = false;
  bool version = false;
};

// Reads the command line (argv[0] is skipped). False with a message for an unknown
// option, a missing value or a bad number or address.
bool ParseTrackerOptions(int argc, const char* const* argv, STrackerOptions& options, std::string& error);
std::string TrackerUsage();

// The sockets and the list, run on this thread's event loop.
class CTrackerService {
 public:
  CTrackerService();
  ~CTrackerService();
  CTrackerService(const CTrackerService&) = delete;
  CTrackerService& operator=(const CTrackerService&) = delete;

  // Binds both sockets and starts serving; raises the system's error when a socket
  // cannot be bound, (8, 101) for a bind address that is not dotted IPv4.
  void Start(const STrackerOptions& options);
  void Stop();

  // The ports actually bound (useful with port 0).
  Uint16 RegistrationPort() const { return udpPort_; }
  Uint16 ListingPort() const { return tcpPort_; }
  const CTrackerList& List() const { return list_; }
  CTrackerList& List() { return list_; }
  std::size_t ClientCount() const { return clients_.size(); }

 private:
  struct SClient;
  static void UdpReady(void* context, int fd, Uint32 events);
  static void ListenReady(void* context, int fd, Uint32 events);
  static void ClientReady(void* context, int fd, Uint32 events);
  static void Tick(void* context, void* object, Uint32 id, const void* data, Uint32 size);
  void ReadDatagrams();
  void AcceptClients();
  void ServeClient(SClient& client, Uint32 events);
  void CloseClient(int fd);
  void Sweep();

  CTrackerList list_;
  int udp_ = -1;
  int listener_ = -1;
  Uint16 udpPort_ = 0;
  Uint16 tcpPort_ = 0;
  std::map<int, std::unique_ptr<SClient>> clients_;
  TimerPtr sweep_;
};

}  // namespace cv
