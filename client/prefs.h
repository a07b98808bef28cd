// The client's settings, window places and usage statistics, and the "Corvane Prefs"
// file that keeps them between runs: one 646-byte record in the host's byte order
// (little-endian), read at start-up and written whole when the options are saved and
// when the program quits. A missing, short or foreign file gives the defaults.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "framework/random.h"
#include "framework/transport.h"
#include "framework/types.h"

namespace cv::client {

inline constexpr std::string_view kPrefsFileName = "Corvane Prefs";
inline constexpr std::size_t kPrefsSize = 646;
inline constexpr Uint16 kPrefsVersion = 6;

inline constexpr Uint16 kDefaultIconId = 414;
inline constexpr Uint16 kDefaultTrackerPort = 5498;
inline constexpr Uint16 kDefaultFirewallPort = 1080;
// The tracker a fresh installation asks: one on this machine until the user names another.
inline constexpr std::string_view kDefaultTracker = "localhost";
inline constexpr std::string_view kDefaultUserName = "unnamed";
inline constexpr std::size_t kUserNameMax = 31;
inline constexpr std::size_t kStoredAddressMax = 127;  // tracker and firewall texts in the file
inline constexpr Uint16 kMinChatFontSize = 4;
inline constexpr Uint16 kMaxChatFontSize = 50;

// The fixed windows; the values are their visibility bits in the file.
enum EMyWindow : Uint8 {
  winToolbar = 0,
  winTasks = 1,
  winNews = 2,
  winChat = 3,
  winOnlineUsers = 5,
  winTracker = 6,
};
inline constexpr EMyWindow kFixedWindows[] = {winToolbar, winTasks, winNews, winChat, winOnlineUsers, winTracker};
inline constexpr std::size_t kWindowSlots = 7;  // indexed by EMyWindow; slot 4 is unused

// Sound options: bit 0 switches every sound on or off, the others one sound each.
enum EMySound : Uint32 {
  sndOn = 1u << 0,
  sndChat = 1u << 1,
  sndNews = 1u << 2,
  sndTransferDone = 1u << 3,
  sndPrivateMessage = 1u << 4,
  sndJoin = 1u << 5,
  sndLeave = 1u << 6,
  sndLoggedIn = 1u << 7,
  sndError = 1u << 8,
  sndChatInvitation = 1u << 9,
};
inline constexpr Uint32 kAllSounds = 0x3FF;

// Sound resources.
enum : Int16 {
  kSoundNews = 128,
  kSoundChat = 129,
  kSoundJoin = 130,
  kSoundLeave = 131,
  kSoundPrivateMessage = 132,
  kSoundLoggedIn = 133,
  kSoundError = 134,
  kSoundTransferDone = 135,
  kSoundChatInvitation = 136,
};

// Option bits.
enum : Uint8 {
  optPrivateMessagesAtBack = 0x01,  // "Show Private Messages at Back"
  optQueueTransfers = 0x02,         // "Queue File Transfers"
  optShowJoinLeave = 0x04,          // "Show Join/Leave in Chat"
};

struct SMyRect {
  Int32 left = 0, top = 0, right = 0, bottom = 0;
  // A stored rectangle is used only when it has an area.
  bool Usable() const { return left < right && top < bottom; }
  bool operator==(const SMyRect&) const = default;
};

struct SMyColour {
  Uint16 red = 0, green = 0, blue = 0;
  bool operator==(const SMyColour&) const = default;
};

struct SMyClientPrefs {
  // Bits by EMyWindow: toolbar, tasks, news, chat and online users shown.
  Uint8 visibility = (1u << winToolbar) | (1u << winTasks) | (1u << winNews) | (1u << winChat) | (1u << winOnlineUsers);
  std::array<SMyRect, kWindowSlots> rects{};  // zero: the window's default place
  Uint32 soundFlags = kAllSounds;
  Uint16 iconId = kDefaultIconId;
  Uint32 uploaded = 0;
  Uint32 downloaded = 0;
  Uint32 onlineSeconds = 0;
  Uint32 chatBytes = 0;
  Uint8 options = 0;
  std::string userName = std::string(kDefaultUserName);  // up to 31 bytes
  std::string tracker = std::string(kDefaultTracker);    // address text, may hold ":port"
  Uint16 chatFontSize = 12;
  SMyColour chatTextColour{0, 0, 0};
  SMyColour chatBackColour{0xFFFF, 0xFFFF, 0xFFFF};
  std::string firewall;  // empty: no firewall

  bool IsVisible(EMyWindow w) const { return (visibility >> w) & 1u; }
  void SetVisible(EMyWindow w, bool on) {
    visibility = on ? Uint8(visibility | (1u << w)) : Uint8(visibility & ~(1u << w));
  }
  bool SoundOn(Uint32 flag) const { return (soundFlags & sndOn) && (soundFlags & flag); }
  bool operator==(const SMyClientPrefs&) const = default;
};

// The 646-byte record; texts are cut to their room, the icon is written complemented
// with six random filler bytes and the check value over those eight bytes.
Bytes EncodeClientPrefs(const SMyClientPrefs& prefs, URandom& random);
// False (out untouched) for fewer than 646 bytes or a version other than 6. A check
// value that does not match keeps every field but gives icon 414; an empty tracker
// text gives the built-in tracker; counted texts are never read past their room.
bool DecodeClientPrefs(ByteView data, SMyClientPrefs& out);

// "Corvane Prefs" in folder; anything wrong with it gives the defaults, silently.
SMyClientPrefs LoadClientPrefs(const std::string& folder);
// Writes "Corvane Prefs" in folder whole and atomically; raises the file system's error.
void SaveClientPrefs(const std::string& folder, const SMyClientPrefs& prefs, URandom& random);

// The address records the texts stand for: without a colon the default port, with
// one port 0 (the port comes from the text).
SInternetNameAddress TrackerAddress(const SMyClientPrefs& prefs);
SInternetNameAddress FirewallAddress(const SMyClientPrefs& prefs);

}  // namespace cv::client
