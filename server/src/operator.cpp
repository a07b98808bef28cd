// The operator windows' behaviour; the front end draws them.
#include "server/operator.h"

#include <algorithm>
#include <charconv>

#include "framework/text.h"
#include "protocol/catalogue.h"
#include "server/application.h"

namespace cv {

namespace {

constexpr std::string_view kLabels[kStatCount] = {
    "Currently Connected:", "Downloads in progress:", "Uploads in progress:", "Connection Peak:",
    "Connection Counter:",  "Download Counter:",      "Upload Counter:",
};
// "Since:" is written as the short date with the time and its seconds.
constexpr Uint32 kSinceFlags = UDateTime::dateShort | UDateTime::timeLong;

std::string Cut(std::string_view text, std::size_t max) {
  return std::string(text.substr(0, std::min(text.size(), max)));
}

// Digits as far as they go; nothing readable is 0, too big is the largest value.
Uint32 LeadingNumber(std::string_view text, Uint32 max) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  Uint64 value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + Uint64(text[i] - '0');
    if (value > max) return max;
  }
  return Uint32(value);
}

}  // namespace

std::string_view StatLabel(EMyStat which) { return which < kStatCount ? kLabels[which] : std::string_view(); }

void CMyServerStats::ConnectionOpened(std::size_t connectedNow) {
  connections_ += 1;
  peak_ = std::max(peak_, Uint32(connectedNow));
}
void CMyServerStats::DownloadStarted() {
  downloadsNow_ += 1;
  downloads_ += 1;
}
void CMyServerStats::DownloadEnded() {
  if (downloadsNow_ > 0) downloadsNow_ -= 1;
}
void CMyServerStats::UploadStarted() {
  uploadsNow_ += 1;
  uploads_ += 1;
}
void CMyServerStats::UploadEnded() {
  if (uploadsNow_ > 0) uploadsNow_ -= 1;
}

SMyStatsValues CMyServerStats::Values(std::size_t connectedNow) const {
  const Uint32 now = Uint32(connectedNow);
  return {now, downloadsNow_, uploadsNow_, std::max(peak_, now), connections_, downloads_, uploads_};
}

std::string StatsLogLine(const SMyStatsValues& values) {
  std::string line = "Statistics:";
  for (std::size_t i = 0; i < kStatCount; ++i) {
    line += ' ';
    line += kLabels[i];
    line += ' ';
    line += std::to_string(values[i]);
    if (i + 1 < kStatCount) line += ',';
  }
  return line;
}

CMyStatsWindow::CMyStatsWindow(IMyStatsView& view, const SDateStamp& since) : view_(view) {
  view_.ShowSince(UDateTime::StampText(since, kSinceFlags));
}

void CMyStatsWindow::Refresh(const SMyStatsValues& values) {
  for (std::size_t i = 0; i < kStatCount; ++i)
    if (!drawn_ || values[i] != shown_[i]) view_.ShowValue(EMyStat(i), values[i]);
  shown_ = values;
  drawn_ = true;
}

std::size_t CMyBroadcastWindow::Send() {
  const std::string text = view_.Text();
  std::size_t sent = 0;
  for (const SClientRecord& r : app_.Sessions().Clients())
    if (r.loggedIn && r.link && r.link->IsEstablished()) ++sent;
  UFieldData fields;
  fields.AddText(fld::Data, text);
  app_.Sessions().Broadcast(trn::ServerMessage, fields);
  view_.Close();
  return sent;
}

void CMyBroadcastWindow::Cancel() { view_.Close(); }

SMyOptionsForm OptionsFormFrom(const SServerPrefs& p) {
  SMyOptionsForm f;
  f.maxDownloads = std::to_string(p.maxDownloads);
  f.port = std::to_string(p.port);
  f.playSounds = p.options & optPlaySounds;
  f.confirmQuit = p.options & optConfirmQuit;
  f.logDownloads = p.options & optLogDownloads;
  f.logUploads = p.options & optLogUploads;
  f.logConnects = p.options & optLogConnects;
  f.logAccounts = p.options & optLogAccounts;
  f.name = p.serverName;
  f.description = p.serverDescription;
  f.registerWithTrackers = p.options & optRegisterWithTrackers;
  f.trackers = p.trackers;
  return f;
}

void ApplyOptionsForm(const SMyOptionsForm& f, SServerPrefs& p) {
  p.serverName = Cut(f.name, 31);
  p.serverDescription = Cut(f.description, 127);
  p.maxDownloads = Uint16(std::max<Uint32>(1, LeadingNumber(f.maxDownloads, 0xFFFF)));
  // A port that reads as 0 would stop the server from starting: the one in use stays.
  if (const Uint32 port = LeadingNumber(f.port, 0xFFFF); port != 0) p.port = Uint16(port);
  Uint32 o = p.options & ~Uint32(optRegisterWithTrackers | optLogDownloads | optLogUploads | optLogConnects |
                                 optPlaySounds | optConfirmQuit | optLogAccounts);
  if (f.registerWithTrackers) o |= optRegisterWithTrackers;
  if (f.logDownloads) o |= optLogDownloads;
  if (f.logUploads) o |= optLogUploads;
  if (f.logConnects) o |= optLogConnects;
  if (f.playSounds) o |= optPlaySounds;
  if (f.confirmQuit) o |= optConfirmQuit;
  if (f.logAccounts) o |= optLogAccounts;
  p.options = o;
  for (std::size_t i = 0; i < kTrackerCount; ++i) {
    p.trackers[i].address = Cut(f.trackers[i].address, 255);
    p.trackers[i].password = Cut(f.trackers[i].password, 31);
  }
  ApplyTrackerOptionRule(p);
}

void CMyOptionsWindow::Open() { view_.Show(OptionsFormFrom(app_.Prefs())); }

void CMyOptionsWindow::Save() {
  ApplyOptionsForm(view_.Read(), app_.Prefs());
  app_.Log().SetOptions(app_.Prefs().options);
  app_.RestartTrackerTimer();
  try {
    app_.StoreWindowPlaces();
    SaveServerPrefs(app_.Folder(), app_.Prefs());
  } catch (const SError& e) {
    app_.Log().ErrorLog(UError::MessageText(e), UError::IdText(e));
  }
  view_.Close();
}

void CMyOptionsWindow::Cancel() { view_.Close(); }

void CMyQuitWindow::PoliteQuit() {
  const std::string message = view_.Message();
  view_.Close();
  app_.PoliteQuit(message);
  if (app_.IsQuittingPolitely()) view_.OpenQuitting();
}

void CMyQuitWindow::QuitNow() {
  view_.Close();
  app_.Quit();
}

void CMyQuitWindow::Cancel() { view_.Close(); }

void CMyQuittingWindow::QuitNow() {
  view_.Close();
  app_.Quit();
}

void CMyQuittingWindow::Cancel() {
  app_.CancelPoliteQuit();
  view_.Close();
}

void CMyMainWindow::ReloadNews() { app_.ReloadNews(); }

void CMyMainWindow::Quit() {
  if ((app_.Prefs().options & optConfirmQuit) && app_.Sessions().Count() > 0)
    view_.OpenQuit();
  else
    app_.Quit();
}

}  // namespace cv
