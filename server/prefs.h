// The server's settings file "Prefs": version 4, big-endian, written whole. A missing,
// short, old or damaged file gives the defaults.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "framework/random.h"
#include "framework/types.h"

namespace cv {

constexpr Uint16 kPrefsVersion = 4;
constexpr std::size_t kPrefsMinSize = 96;
constexpr std::size_t kPrefsMaxRead = 8192;
constexpr std::size_t kTrackerCount = 5;
constexpr std::size_t kServerNameMax = 31;
constexpr std::size_t kServerDescriptionMax = 127;
constexpr std::size_t kTrackerAddressMax = 255;
constexpr std::size_t kTrackerPasswordMax = 31;

constexpr Uint16 kDefaultServerPort = 5500;
constexpr Uint16 kDefaultMaxDownloads = 100;

inline constexpr std::string_view kPrefsFileName = "Prefs";
// Used for an empty first tracker address; a tracker on this machine unless the
// operator names another.
inline constexpr std::string_view kDefaultTrackerHost = "localhost";

// Option flags.
enum : Uint32 {
  optRegisterWithTrackers = 0x01,
  optLogDownloads = 0x02,
  optLogUploads = 0x04,
  optLogConnects = 0x08,
  optPlaySounds = 0x10,
  optConfirmQuit = 0x20,
  optLogAccounts = 0x40,
};
constexpr Uint32 kDefaultOptions = optPlaySounds | optConfirmQuit;

// Window visibility bits.
enum : Uint16 { visMainWindow = 1, visLogWindow = 2, visStatsWindow = 4 };

struct SFrame {
  Int16 left = 0, top = 0, right = 0, bottom = 0;
  // Stored frames are used only when they have an area.
  bool Usable() const { return left < right && top < bottom; }
  bool operator==(const SFrame&) const = default;
};

struct STrackerEntry {
  std::string address;   // host text, up to 255
  std::string password;  // up to 31
  bool operator==(const STrackerEntry&) const = default;
};

struct SServerPrefs {
  Uint16 visibility = visMainWindow | visLogWindow | visStatsWindow;
  SFrame mainFrame, logFrame, statsFrame;  // zero: default places
  Uint32 options = kDefaultOptions;
  Uint16 port = kDefaultServerPort;
  Uint16 maxDownloads = kDefaultMaxDownloads;
  Uint8 aliasMayAsk = 0;
  Int32 serverId = 0;
  std::string serverName;         // up to 31
  std::string serverDescription;  // up to 127
  std::array<STrackerEntry, kTrackerCount> trackers{};

  bool operator==(const SServerPrefs&) const = default;
};

// The defaults, with a fresh random server id and the default first tracker.
SServerPrefs DefaultServerPrefs(URandom& random);

// The file image; texts longer than their capacities are cut.
Bytes EncodeServerPrefs(const SServerPrefs& prefs);
// False (prefs untouched) when the image is shorter than 96 bytes, of another version,
// or a text runs past its end; only the first 8192 bytes count. On success a port of 0
// becomes 5500, a server id of 0 a random one, an empty first tracker the default host.
bool DecodeServerPrefs(ByteView data, URandom& random, SServerPrefs& prefs);

// Reads the folder's "Prefs"; anything wrong with it gives the defaults, silently.
SServerPrefs LoadServerPrefs(const std::string& folder, URandom& random);
// Writes the folder's "Prefs" whole and atomically; raises the file system's error. The
// caller puts the current windows and the sound setting (optPlaySounds) into prefs first.
void SaveServerPrefs(const std::string& folder, const SServerPrefs& prefs);

}  // namespace cv
