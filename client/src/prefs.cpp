// "Corvane Prefs": one fixed record in the host's byte order (little-endian).
#include "client/prefs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "framework/errors.h"
#include "framework/filesys.h"

namespace cv::client {

namespace {

constexpr std::size_t kOffVisibility = 2;
constexpr std::size_t kOffRects = 4;  // 16 bytes per window slot
constexpr std::size_t kOffSounds = 180;
constexpr std::size_t kOffIcon = 184;
constexpr std::size_t kOffFiller = 186;
constexpr std::size_t kOffCheck = 192;
constexpr std::size_t kCheckedBytes = 8;
constexpr std::size_t kOffUploaded = 196;
constexpr std::size_t kOffDownloaded = 200;
constexpr std::size_t kOffOnline = 204;
constexpr std::size_t kOffChatBytes = 208;
constexpr std::size_t kOffOptions = 212;
constexpr std::size_t kOffName = 216;
constexpr std::size_t kOffTracker = 248;
constexpr std::size_t kOffFontSize = 376;
constexpr std::size_t kOffTextColour = 378;
constexpr std::size_t kOffBackColour = 384;
constexpr std::size_t kOffFirewall = 390;

void PutU16(Uint8* p, Uint16 v) {
  p[0] = Uint8(v);
  p[1] = Uint8(v >> 8);
}
void PutU32(Uint8* p, Uint32 v) {
  for (int i = 0; i < 4; ++i) p[i] = Uint8(v >> (8 * i));
}
Uint16 GetU16(const Uint8* p) { return Uint16(p[0] | (p[1] << 8)); }
Uint32 GetU32(const Uint8* p) {
  return Uint32(p[0]) | (Uint32(p[1]) << 8) | (Uint32(p[2]) << 16) | (Uint32(p[3]) << 24);
}

void PutCounted(Uint8* p, std::string_view text, std::size_t room) {
  const std::size_t n = std::min(text.size(), room);
  p[0] = Uint8(n);
  std::memcpy(p + 1, text.data(), n);
}
// A length byte beyond the room is cut to it, so a damaged file never reads further.
std::string GetCounted(const Uint8* p, std::size_t room) {
  const std::size_t n = std::min<std::size_t>(p[0], room);
  return std::string(reinterpret_cast<const char*>(p + 1), n);
}

void PutColour(Uint8* p, const SMyColour& c) {
  PutU16(p, c.red);
  PutU16(p + 2, c.green);
  PutU16(p + 4, c.blue);
}
SMyColour GetColour(const Uint8* p) { return SMyColour{GetU16(p), GetU16(p + 2), GetU16(p + 4)}; }

std::size_t RectOffset(std::size_t slot) { return kOffRects + 16 * slot; }

}  // namespace

Bytes EncodeClientPrefs(const SMyClientPrefs& prefs, URandom& random) {
  Bytes out(kPrefsSize, 0);
  Uint8* p = out.data();
  PutU16(p, kPrefsVersion);
  p[kOffVisibility] = prefs.visibility;
  for (EMyWindow w : kFixedWindows) {
    const SMyRect& r = prefs.rects[w];
    Uint8* q = p + RectOffset(w);
    PutU32(q, Uint32(r.left));
    PutU32(q + 4, Uint32(r.top));
    PutU32(q + 8, Uint32(r.right));
    PutU32(q + 12, Uint32(r.bottom));
  }
  PutU32(p + kOffSounds, prefs.soundFlags);
  PutU16(p + kOffIcon, Uint16(~prefs.iconId));
  for (std::size_t i = 0; i < 6; ++i) p[kOffFiller + i] = Uint8(random.Next() >> 16);
  PutU32(p + kOffCheck, Crc32(p + kOffIcon, kCheckedBytes, 0xFFFFFFFF));
  PutU32(p + kOffUploaded, prefs.uploaded);
  PutU32(p + kOffDownloaded, prefs.downloaded);
  PutU32(p + kOffOnline, prefs.onlineSeconds);
  PutU32(p + kOffChatBytes, prefs.chatBytes);
  p[kOffOptions] = prefs.options;
  PutCounted(p + kOffName, prefs.userName, kUserNameMax);
  PutCounted(p + kOffTracker, prefs.tracker, kStoredAddressMax);
  PutU16(p + kOffFontSize, prefs.chatFontSize);
  PutColour(p + kOffTextColour, prefs.chatTextColour);
  PutColour(p + kOffBackColour, prefs.chatBackColour);
  PutCounted(p + kOffFirewall, prefs.firewall, kStoredAddressMax);
  return out;
}

bool DecodeClientPrefs(ByteView data, SMyClientPrefs& out) {
  if (data.size() < kPrefsSize) return false;
  const Uint8* p = data.data();
  if (GetU16(p) != kPrefsVersion) return false;
  SMyClientPrefs prefs;
  prefs.visibility = p[kOffVisibility];
  for (EMyWindow w : kFixedWindows) {
    const Uint8* q = p + RectOffset(w);
    prefs.rects[w] = SMyRect{Int32(GetU32(q)), Int32(GetU32(q + 4)), Int32(GetU32(q + 8)), Int32(GetU32(q + 12))};
  }
  prefs.soundFlags = GetU32(p + kOffSounds);
  const bool iconChecked = Crc32(p + kOffIcon, kCheckedBytes, 0xFFFFFFFF) == GetU32(p + kOffCheck);
  prefs.iconId = iconChecked ? Uint16(~GetU16(p + kOffIcon)) : kDefaultIconId;
  prefs.uploaded = GetU32(p + kOffUploaded);
  prefs.downloaded = GetU32(p + kOffDownloaded);
  prefs.onlineSeconds = GetU32(p + kOffOnline);
  prefs.chatBytes = GetU32(p + kOffChatBytes);
  prefs.options = p[kOffOptions];
  prefs.userName = GetCounted(p + kOffName, kUserNameMax);
  prefs.tracker = GetCounted(p + kOffTracker, kStoredAddressMax);
  if (prefs.tracker.empty()) prefs.tracker = std::string(kDefaultTracker);
  prefs.chatFontSize = std::clamp(GetU16(p + kOffFontSize), kMinChatFontSize, kMaxChatFontSize);
  prefs.chatTextColour = GetColour(p + kOffTextColour);
  prefs.chatBackColour = GetColour(p + kOffBackColour);
  prefs.firewall = GetCounted(p + kOffFirewall, kStoredAddressMax);
  out = std::move(prefs);
  return true;
}

SMyClientPrefs LoadClientPrefs(const std::string& folder) {
  SMyClientPrefs prefs;
  const std::string path = (std::filesystem::path(folder) / std::string(kPrefsFileName)).string();
  // Non-blocking open: a FIFO or device put in the file's place must not stall the start.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return prefs;
  struct stat st {};
  Bytes data;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    Uint8 buf[kPrefsSize];
    std::size_t got = 0;
    while (got < sizeof buf) {
      const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += std::size_t(n);
    }
    data.assign(buf, got);
  }
  ::close(fd);
  DecodeClientPrefs(data, prefs);
  return prefs;
}

void SaveClientPrefs(const std::string& folder, const SMyClientPrefs& prefs, URandom& random) {
  const Bytes data = EncodeClientPrefs(prefs, random);
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    std::filesystem::create_directories(folder, ec);
    if (ec) UError::RaiseSystem(ec.value(), "SaveClientPrefs", __LINE__);
  }
  const std::filesystem::path target = std::filesystem::canonical(folder, ec);
  if (ec) UError::RaiseSystem(ec.value(), "SaveClientPrefs", __LINE__);
  // The file layer's atomic save, reached from the folder's path.
  std::string folderText;
  for (const auto& part : target.relative_path()) {
    if (part.empty()) continue;
    if (!folderText.empty()) folderText += '\r';
    folderText += part.string();
  }
  UFileSys::TFSRefPtr ref(UFileSys::New(EFSBase::SystemRoot, folderText, std::nullopt, fsMustExist | fsMustBeFolder));
  UFileSys::SaveWhole(ref.get(), kPrefsFileName, data);
}

SInternetNameAddress TrackerAddress(const SMyClientPrefs& prefs) {
  const bool hasPort = prefs.tracker.find(':') != std::string::npos;
  return SInternetNameAddress::Make(prefs.tracker, hasPort ? 0 : kDefaultTrackerPort);
}

SInternetNameAddress FirewallAddress(const SMyClientPrefs& prefs) {
  const bool hasPort = prefs.firewall.find(':') != std::string::npos;
  return SInternetNameAddress::Make(prefs.firewall, hasPort ? 0 : kDefaultFirewallPort);
}

}  // namespace cv::client
