// Announcing the server to its trackers: one UDP datagram per configured tracker with
// the port, the users connected now, the server id, name, description and that
// tracker's password. Nothing is read back. The caller owns the UDP transport and the
// five-minute timer; this piece decides what goes where.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "framework/transport.h"
#include "protocol/tracker.h"
#include "server/prefs.h"

namespace cv {

// The tracker timer's period.
constexpr Uint32 kTrackerRegisterIntervalMs = 300000;

struct STrackerDatagram {
  std::size_t entry = 0;         // which of the five tracker entries
  std::string addressText;       // as the operator typed it
  SInternetNameAddress address;  // port 5499 without a colon, else taken from the text
  Bytes datagram;
};

struct STrackerPlan {
  std::vector<STrackerDatagram> datagrams;
  // Entries with an address text that is not "host" or "host:port" (port 1 to 65535);
  // sending them would fail in the transport or reach port 0, so they are left out.
  std::vector<std::size_t> unusable;
};

// True when registering makes sense: the option is on, the name is not empty and some
// entry has an address.
bool CanRegisterWithTrackers(const SServerPrefs& prefs);
// What the Options window does on Save: without a name or any tracker address the
// register option is turned off.
void ApplyTrackerOptionRule(SServerPrefs& prefs);

// The datagrams of one announcement, in entry order; none when registration is off or
// the name is empty. Texts are cut at 31, 127 and 31 bytes.
STrackerPlan PlanTrackerRegistration(const SServerPrefs& prefs, Uint16 users);

// Holds the settings between announcements and remembers when it last announced.
class CTrackerRegistration {
 public:
  // Sends one datagram; typically UTransport::SendUnit on the server's UDP transport.
  // An SError it raises drops that datagram only.
  using SendProc = std::function<void(const SInternetNameAddress& address, ByteView datagram)>;

  CTrackerRegistration() = default;
  explicit CTrackerRegistration(const SServerPrefs& prefs) { Configure(prefs); }

  // Takes the fields it needs (name, description, id, port, options, trackers).
  void Configure(const SServerPrefs& prefs);
  bool Enabled() const { return CanRegisterWithTrackers(prefs_); }

  // Sends the announcement to every usable entry and returns how many datagrams the
  // send procedure took. Does nothing (0) when disabled or without a send procedure.
  std::size_t Register(Int64 nowMs, Uint16 users, const SendProc& send);
  // True when enabled and never announced or kTrackerRegisterIntervalMs have passed.
  bool Due(Int64 nowMs) const;
  // Milliseconds of the last announcement, or -1.
  Int64 LastRegistered() const { return last_; }
  // Entries left out at the last announcement (see STrackerPlan::unusable).
  const std::vector<std::size_t>& Unusable() const { return unusable_; }

 private:
  SServerPrefs prefs_;
  Int64 last_ = -1;
  std::vector<std::size_t> unusable_;
};

}  // namespace cv
