// The whiteboard's options and the "Paintwave Prefs" file that keeps them between runs.
// A missing, oversized, truncated or foreign file gives the initial values; the file is
// always written whole, through a temporary file renamed over the old one.
#pragma once

#include <string>

#include "framework/types.h"
#include "whiteboard/peer_protocol.h"

namespace cv::pw {

inline constexpr const char* kPrefsFileName = "Paintwave Prefs";
inline constexpr Uint16 kPrefsVersion = 7;
inline constexpr std::size_t kPrefsMaxSize = 1111;  // larger files are not ours

enum : Uint8 { kRedirectAsk = 0, kRedirectAllow = 1, kRedirectDeny = 2 };

struct SPos {
  Int16 left = 0, top = 0;
  bool operator==(const SPos&) const = default;
};
struct SFrame {
  Int16 left = 0, top = 0, right = 0, bottom = 0;
  bool operator==(const SFrame&) const = default;
};
struct SColour16 {
  Uint16 r = 0, g = 0, b = 0;
  bool operator==(const SColour16&) const = default;
};

struct SMyPrefs {
  SPos toolsWindow{4, 40}, boardWindow{80, 40}, paletteWindow{4, 300}, connectionsWindow{490, 40};
  SFrame chatWindow{80, 460, 480, 600};
  Uint16 toolOption = 0;
  Uint16 penSize = 1;
  Uint8 currentTool = 0;
  bool chatShown = true;
  Uint32 maxConnections = 4;
  SColour16 chatText{0, 0, 0};
  SColour16 chatBackground{0xFFFF, 0xFFFF, 0xFFFF};
  Uint8 chatFontSize = 10;
  Bytes name = Bytes(reinterpret_cast<const Uint8*>("(unnamed)"), 9);
  bool fastConnection = false;
  bool playSounds = true;
  bool useFirewall = false;
  Bytes firewall;
  // version 7
  bool askBeforeErasing = true;
  bool askBeforeRedirecting = true;
  Uint32 defaultPrivileges = kDefaultGuestPrivileges;
  Uint8 redirectPolicy = kRedirectAsk;

  bool operator==(const SMyPrefs&) const = default;
};

// The file's bytes for these options (version 7).
Bytes EncodePrefs(const SMyPrefs& p);
// Options from a file's bytes; false (and the initial values) when they are not a
// valid version 6 or 7 file.
bool DecodePrefs(ByteView data, SMyPrefs& out);

// "Paintwave Prefs" in folder: read gives the initial values when the file is missing
// or invalid; write raises a files-class SError when the folder cannot take it.
SMyPrefs ReadPrefs(const std::string& folder);
void WritePrefs(const std::string& folder, const SMyPrefs& p);

}  // namespace cv::pw
