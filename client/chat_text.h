// The chat side's pure pieces: user list entries and their wire form, the chat lines the
// client writes itself, the preparation of a typed line for sending, the keyed chat
// scrambling, window titles and the hidden command window's words and texts. Nothing
// here needs a connection or a window, so all of it can be checked on its own.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "client/prefs.h"
#include "framework/types.h"

namespace cv {
class UFieldData;
}

namespace cv::client {

// Longest typed chat line the client sends; a longer one is refused with alert 132.
inline constexpr std::size_t kChatSendMax = 2048;
// Longest incoming chat line or message text kept (the server never sends more).
inline constexpr std::size_t kChatLineMax = 8192;
// Longest user name kept in a list entry or a window title.
inline constexpr std::size_t kUserEntryNameMax = 63;
// A UserNameWithInfo field is read up to this many bytes: the 8-byte head and a name.
inline constexpr std::size_t kUserEntryReadMax = 264;
inline constexpr std::size_t kUserEntryHead = 8;
// One entry per user id; id 0 never names a user, so this is also the most there can be.
inline constexpr std::size_t kUserListMax = 65535;
inline constexpr std::size_t kSubjectMax = 255;
// The hidden command window's two entries.
inline constexpr std::size_t kSecretEntryMax = 31;
// Ends a scrambled line, so that receivers know to decode it.
inline constexpr char kScrambleMarker = '\xCA';
// Replaces the first colon of a decoded line (a bullet in Mac OS Roman).
inline constexpr char kScrambleBullet = '\xA5';

// ---- User list entries

enum : Uint16 {
  userIdle = 0x1,
  userAdmin = 0x2,
};

struct SUserEntry {
  Uint16 id = 0;
  Uint16 icon = kDefaultIconId;  // 0 on the wire shows as the default
  Uint16 flags = 0;
  std::string name;  // at most kUserEntryNameMax bytes

  bool operator==(const SUserEntry&) const = default;
};

// A UserNameWithInfo field: id, icon, flags, name length (u16 each), name. Nothing for a
// field shorter than its head or than the name it announces, or for user id 0.
std::optional<SUserEntry> ParseUserEntry(ByteView field);
// The entry carried by a user notification: UserId, UserIconId, UserFlags, UserName.
// Nothing when the user id is absent or 0.
std::optional<SUserEntry> UserEntryFromFields(const UFieldData& fields);

// How a name is drawn in a list. Text: the system's text colour (its selected-text
// colour when the row is selected in the active window); Dimmed: the dimmed text colour;
// Rgb: the colour given.
struct SNameColour {
  enum EKind : Uint8 { Text, Dimmed, Rgb };
  EKind kind = Text;
  SMyColour rgb;

  bool operator==(const SNameColour&) const = default;
};
SNameColour NameColour(Uint16 flags);

// The users of one list in arrival order, found by id. A second entry with a known id
// replaces the first in place.
class CMyUserList {
 public:
  enum class EPut { Added, Updated, Full };
  struct SPut {
    EPut result = EPut::Full;
    std::size_t index = 0;
    std::string oldName;  // for Updated
  };

  SPut Put(SUserEntry entry);
  // The removed entry and where it was; nothing when the id is unknown.
  std::optional<SUserEntry> Remove(Uint16 id, std::size_t* index = nullptr);
  const SUserEntry* Find(Uint16 id) const;
  void Clear();

  const std::vector<SUserEntry>& Entries() const { return entries_; }
  std::size_t Size() const { return entries_.size(); }

 private:
  std::vector<SUserEntry> entries_;
  std::unordered_map<Uint16, std::size_t> index_;
};

// ---- Lines the client writes into chat windows

std::string NameChangeLine(std::string_view oldName, std::string_view newName);
std::string JoinLine(std::string_view name);
std::string LeaveLine(std::string_view name);
// What to append of a line: a window with no text yet loses the line's leading carriage
// return. Empty when nothing is left to append.
std::string_view LineToAppend(std::string_view line, bool windowTextEmpty);

// ---- Keyed chat scrambling

class CMyChatScrambler {
 public:
  // The tables for a key of exactly three decimal digits; nothing for any other text.
  static std::optional<CMyChatScrambler> FromKey(std::string_view key);

  // The bytes of an alphabet in the order the key's shuffle takes them out.
  static std::string Shuffle(std::string_view alphabet, Uint8 a, Uint8 b, Uint8 c);

  Uint8 Encode(Uint8 byte) const { return encode_[byte]; }
  Uint8 Decode(Uint8 byte) const { return decode_[byte]; }
  // Maps [begin, end) of text through the encoding (or decoding) table, leaving text
  // between double quotation marks, the marks included, as it is.
  void EncodeRange(std::string& text, std::size_t begin, std::size_t end) const;
  void DecodeRange(std::string& text, std::size_t begin, std::size_t end) const;
  // A received chat line as shown: a line that ends in the marker and holds a colon is
  // decoded from its first colon up to the marker, and that colon becomes a bullet.
  std::string DecodeLine(std::string line) const;

 private:
  CMyChatScrambler() = default;

  std::array<Uint8, 256> encode_{};
  std::array<Uint8, 256> decode_{};
};

// ---- Sending a typed line

// Every control character other than tab, line feed, vertical tab, form feed and
// carriage return becomes a space. Bytes 128-255 are text in Mac OS Roman and stay.
void ReplaceControls(std::string& text);

enum class EChatPrepared { Ready, TooLong };
// Prepares a typed line for SendChat in place: refuses more than kChatSendMax bytes,
// drops one trailing carriage return, scrambles it (with the marker at its end) when a
// scrambler is given, and turns control characters into spaces.
EChatPrepared PrepareChatText(std::string& text, const CMyChatScrambler* scrambler);

// The line silly mode sends for a draw of 1 to 5.
std::string_view SillyText(Int32 draw);

// ---- Titles

// "Private Chat", or "Private Chat:  " and the subject; a title above 64 characters is
// cut to its first 64 and "...".
std::string PrivateChatTitle(std::string_view subject);

// ---- Hidden command window

enum class ESecretCommand {
  None,  // unknown word
  SetIcon,
  Icon134,
  Icon139,
  Icon158,
  Icon410,
  SendBuffer,
  LeechRating,
  Statistics,
  Scramble,
  Silly,
  Nothing,
};

// CRC-32 of the lower-cased word as a counted string, initial value 0xFFFFFFDB.
Uint32 SecretWordHash(std::string_view word);
ESecretCommand SecretCommandFor(std::string_view word);
// The hash of each known command, for checks.
struct SSecretWord {
  Uint32 hash;
  ESecretCommand command;
};
const std::vector<SSecretWord>& SecretWords();

// The icon id of the set-icon command; nothing for a text that is no id, or an id kept
// for the fixed-icon commands (134, 139, 158, 410, 1000-1003).
std::optional<Uint16> SecretIconId(std::string_view argument);
// The send buffer size for the buffer command's argument (kilobytes): at least 16,384 bytes.
Uint32 SendBufferBytes(std::string_view argument);

// "announces a LEECH RATING of >>>> ..." for the uploaded and downloaded totals. (The
// statistics announcement is CMyApplication::StatisticsText, shared with the About window.)
std::string LeechRatingText(Uint32 uploaded, Uint32 downloaded);
// "<downloaded> downloaded|leeched, <uploaded> uploaded, <chat> chat, <time> online".
std::string StatisticsText(Uint32 downloaded, Uint32 uploaded, Uint32 chatBytes, Uint32 onlineSeconds, bool leeched);

}  // namespace cv::client
