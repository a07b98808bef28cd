#include "server/prefs.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "framework/errors.h"
#include "server/src/diskio.h"

namespace cv {

namespace {

constexpr std::size_t kOffStrings = 76;
// Counted strings after the fixed part; the first ten hold name and description
// among reserved entries, then address and password of each tracker.
constexpr std::size_t kStringCount = 10 + 2 * kTrackerCount;
constexpr std::size_t kIndexName = 3;
constexpr std::size_t kIndexDescription = 5;
constexpr std::size_t kIndexFirstTracker = 10;

void PutFrame(Uint8* p, const SFrame& f) {
  WriteU16(p, Uint16(f.left));
  WriteU16(p + 2, Uint16(f.top));
  WriteU16(p + 4, Uint16(f.right));
  WriteU16(p + 6, Uint16(f.bottom));
}

SFrame GetFrame(const Uint8* p) {
  return SFrame{Int16(ReadU16(p)), Int16(ReadU16(p + 2)), Int16(ReadU16(p + 4)), Int16(ReadU16(p + 6))};
}

void AppendCounted(Bytes& out, const std::string& s, std::size_t cap) {
  cv::AppendCounted(out, s.data(), std::min(s.size(), cap));
}

Int32 FreshServerId(URandom& random) {
  Int32 id = 0;
  while (id == 0) id = random.Draw(std::numeric_limits<Int32>::min(), std::numeric_limits<Int32>::max());
  return id;
}

}  // namespace

SServerPrefs DefaultServerPrefs(URandom& random) {
  SServerPrefs p;
  p.serverId = FreshServerId(random);
  p.trackers[0].address = std::string(kDefaultTrackerHost);
  return p;
}

Bytes EncodeServerPrefs(const SServerPrefs& p) {
  Bytes out(kOffStrings, 0);
  WriteU16(out.data(), kPrefsVersion);
  WriteU16(out.data() + 2, p.visibility);
  PutFrame(out.data() + 4, p.mainFrame);
  PutFrame(out.data() + 12, p.logFrame);
  PutFrame(out.data() + 20, p.statsFrame);
  WriteU32(out.data() + 60, p.options);
  WriteU16(out.data() + 64, p.port);
  WriteU16(out.data() + 66, p.maxDownloads);
  out[70] = p.aliasMayAsk;
  WriteU32(out.data() + 72, Uint32(p.serverId));
  const std::string empty;
  for (std::size_t i = 0; i < kIndexFirstTracker; ++i) {
    if (i == kIndexName)
      AppendCounted(out, p.serverName, kServerNameMax);
    else if (i == kIndexDescription)
      AppendCounted(out, p.serverDescription, kServerDescriptionMax);
    else
      AppendCounted(out, empty, 0);
  }
  for (const auto& t : p.trackers) {
    AppendCounted(out, t.address, kTrackerAddressMax);
    AppendCounted(out, t.password, kTrackerPasswordMax);
  }
  return out;
}

bool DecodeServerPrefs(ByteView data, URandom& random, SServerPrefs& prefs) {
  data = data.first(std::min(data.size(), kPrefsMaxRead));
  if (data.size() < kPrefsMinSize || ReadU16(data.data()) != kPrefsVersion) return false;
  std::array<std::string, kStringCount> strings;
  std::size_t at = kOffStrings;
  for (auto& s : strings) {
    if (at >= data.size()) return false;
    std::size_t n = data[at++];
    if (n > data.size() - at) return false;
    s.assign(reinterpret_cast<const char*>(data.data() + at), n);
    at += n;
  }
  SServerPrefs p;
  p.visibility = ReadU16(data.data() + 2);
  p.mainFrame = GetFrame(data.data() + 4);
  p.logFrame = GetFrame(data.data() + 12);
  p.statsFrame = GetFrame(data.data() + 20);
  p.options = ReadU32(data.data() + 60);
  p.port = ReadU16(data.data() + 64);
  if (p.port == 0) p.port = kDefaultServerPort;
  p.maxDownloads = ReadU16(data.data() + 66);
  p.aliasMayAsk = data[70];
  p.serverId = Int32(ReadU32(data.data() + 72));
  if (p.serverId == 0) p.serverId = FreshServerId(random);
  p.serverName = strings[kIndexName].substr(0, kServerNameMax);
  p.serverDescription = strings[kIndexDescription].substr(0, kServerDescriptionMax);
  for (std::size_t i = 0; i < kTrackerCount; ++i) {
    p.trackers[i].address = strings[kIndexFirstTracker + 2 * i];
    p.trackers[i].password = strings[kIndexFirstTracker + 2 * i + 1].substr(0, kTrackerPasswordMax);
  }
  if (p.trackers[0].address.empty()) p.trackers[0].address = std::string(kDefaultTrackerHost);
  prefs = std::move(p);
  return true;
}

SServerPrefs LoadServerPrefs(const std::string& folder, URandom& random) {
  SServerPrefs p;
  try {
    Bytes image = diskio::ReadUpTo(diskio::Join(folder, kPrefsFileName), kPrefsMaxRead);
    if (DecodeServerPrefs(image, random, p)) return p;
  } catch (const SError&) {
    // An unreadable file is treated like a missing one.
  }
  return DefaultServerPrefs(random);
}

void SaveServerPrefs(const std::string& folder, const SServerPrefs& prefs) {
  diskio::SaveWhole(diskio::Join(folder, kPrefsFileName), EncodeServerPrefs(prefs));
}

}  // namespace cv
