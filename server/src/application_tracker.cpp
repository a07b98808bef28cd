// The server's announcements to its trackers and the headless statistics line.
#include <random>

#include "framework/clock.h"
#include "server/application.h"
#include "server/src/diskio.h"
#include "server/transfers.h"

namespace cv {

namespace {

// The statistics line of a server without windows comes this often.
constexpr Uint32 kStatsLogMs = 300000;
// A tracker given on the command line lists a server without a name under this one.
constexpr std::string_view kDefaultAnnouncedName = "Corvane Server";

Int32 EntropyServerId() {
  std::random_device device;
  Int32 id = 0;
  while (id == 0) id = Int32(Uint32(device()));
  return id;
}

}  // namespace

void CMyApplication::StartTrackerAndStats() {
  // A server id is made once and kept: the framework generator starts from the same
  // seed in every process, so the first id comes from the system's entropy, saved now.
  if (!diskio::IsFile(diskio::Join(settings_.folder, kPrefsFileName))) {
    prefs_.serverId = EntropyServerId();
    try {
      SaveServerPrefs(settings_.folder, prefs_);
    } catch (const SError& e) {
      log_->ErrorLog(UError::MessageText(e), UError::IdText(e));
    }
  }
  try {
    trackerUdp_.reset(UTransport::New(kTransportUDP));
  } catch (const SError& e) {
    // Without the socket nobody is told about us; the server itself still runs.
    log_->ErrorLog(UError::MessageText(e), UError::IdText(e));
  }
  RestartTrackerTimer();
  if (settings_.headless) statsLogTimer_.reset(UTimer::StartNew(nullptr, nullptr, kStatsLogMs, true));
}

SServerPrefs CMyApplication::AnnouncedPrefs() const {
  SServerPrefs announced = prefs_;
  // Clients must reach the port actually listened on, which a command line may have changed.
  announced.port = port_;
  if (!settings_.tracker.empty()) {
    announced.trackers = {};
    announced.trackers[0].address = settings_.tracker;
    announced.options |= optRegisterWithTrackers;
    if (announced.serverName.empty()) announced.serverName = kDefaultAnnouncedName;
  }
  return announced;
}

std::size_t CMyApplication::RegisterWithTrackers() {
  if (!trackerUdp_) return 0;
  trackerRegistration_.Configure(AnnouncedPrefs());
  TTransport udp = trackerUdp_.get();
  const auto users = Uint16(std::min<std::size_t>(sessions_->Count(), 0xFFFF));
  return trackerRegistration_.Register(
      UClock::Milliseconds(), users, [udp](const SInternetNameAddress& address, ByteView datagram) {
        UTransport::SendUnit(udp, &address, address.Size(), datagram.data(), Uint32(datagram.size()));
      });
}

void CMyApplication::RestartTrackerTimer() {
  if (!trackerTimer_) trackerTimer_.reset(UTimer::New(nullptr, nullptr));
  if (!trackerUdp_ || !CanRegisterWithTrackers(AnnouncedPrefs())) {
    UTimer::Stop(trackerTimer_.get());
    return;
  }
  UTimer::Start(trackerTimer_.get(), kTrackerRegisterIntervalMs, true);
  RegisterWithTrackers();
}

SMyStatsValues CMyApplication::StatsValues() const {
  SMyStatsValues v = stats_.Values(sessions_->Count());
  // The transfer service keeps the transfer figures itself.
  if (transfers_) {
    v[statDownloads] = Uint32(transfers_->Downloads());
    v[statUploads] = Uint32(transfers_->Uploads());
    v[statDownloadCount] = transfers_->TotalDownloads();
    v[statUploadCount] = transfers_->TotalUploads();
  }
  return v;
}

bool CMyApplication::TrackerOrStatsTimer(TTimer timer) {
  if (trackerTimer_ && timer == trackerTimer_.get()) {
    RegisterWithTrackers();
    return true;
  }
  if (statsLogTimer_ && timer == statsLogTimer_.get()) {
    log_->Line("", StatsLogLine(StatsValues()));
    return true;
  }
  return false;
}

}  // namespace cv
