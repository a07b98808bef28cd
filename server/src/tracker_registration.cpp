// What the server sends to its trackers.
#include "server/tracker_registration.h"

#include <algorithm>

#include "framework/errors.h"

namespace cv {

namespace {

std::string Cut(const std::string& text, std::size_t max) { return text.substr(0, std::min(text.size(), max)); }

bool AnyTrackerAddress(const SServerPrefs& prefs) {
  for (const STrackerEntry& e : prefs.trackers)
    if (!e.address.empty()) return true;
  return false;
}

}  // namespace

bool CanRegisterWithTrackers(const SServerPrefs& prefs) {
  return (prefs.options & optRegisterWithTrackers) != 0 && !prefs.serverName.empty() && AnyTrackerAddress(prefs);
}

void ApplyTrackerOptionRule(SServerPrefs& prefs) {
  if (prefs.serverName.empty() || !AnyTrackerAddress(prefs)) prefs.options &= ~Uint32(optRegisterWithTrackers);
}

STrackerPlan PlanTrackerRegistration(const SServerPrefs& prefs, Uint16 users) {
  STrackerPlan plan;
  if ((prefs.options & optRegisterWithTrackers) == 0 || prefs.serverName.empty()) return plan;

  STrackerRegistration reg;
  reg.port = prefs.port;
  reg.users = users;
  reg.serverId = Uint32(prefs.serverId);
  reg.name = Cut(prefs.serverName, kServerNameMax);
  reg.description = Cut(prefs.serverDescription, kServerDescriptionMax);

  for (std::size_t i = 0; i < prefs.trackers.size(); ++i) {
    const STrackerEntry& e = prefs.trackers[i];
    if (e.address.empty()) continue;
    const std::string text = Cut(e.address, kTrackerAddressMax);
    if (!ParseTrackerAddress(text, kTrackerRegistrationPort)) {
      plan.unusable.push_back(i);
      continue;
    }
    reg.password = Cut(e.password, kTrackerPasswordMax);
    STrackerDatagram d;
    d.entry = i;
    d.addressText = text;
    d.address = TrackerNameRecord(text, kTrackerRegistrationPort);
    d.datagram = EncodeTrackerRegistration(reg);
    plan.datagrams.push_back(std::move(d));
  }
  return plan;
}

void CTrackerRegistration::Configure(const SServerPrefs& prefs) {
  prefs_.serverName = prefs.serverName;
  prefs_.serverDescription = prefs.serverDescription;
  prefs_.serverId = prefs.serverId;
  prefs_.port = prefs.port;
  prefs_.options = prefs.options;
  prefs_.trackers = prefs.trackers;
}

std::size_t CTrackerRegistration::Register(Int64 nowMs, Uint16 users, const SendProc& send) {
  if (!Enabled() || !send) return 0;
  STrackerPlan plan = PlanTrackerRegistration(prefs_, users);
  unusable_ = std::move(plan.unusable);
  last_ = nowMs;
  std::size_t sent = 0;
  for (const STrackerDatagram& d : plan.datagrams) {
    try {
      send(d.address, d.datagram);
      ++sent;
    } catch (const SError&) {
      // One tracker that cannot be reached must not keep the others from hearing.
    }
  }
  return sent;
}

bool CTrackerRegistration::Due(Int64 nowMs) const {
  return Enabled() && (last_ < 0 || nowMs - last_ >= Int64(kTrackerRegisterIntervalMs));
}

}  // namespace cv
