// The whiteboard's peer protocol: the 8-byte handshakes, the message frame and the
// body of every message, as encoders and checked decoders. Nothing here touches a
// socket; CMyPeerReader turns bytes in pieces of any size into handshakes and frames.
//
// Every decoder checks the body against what arrived and against the fixed limits of
// its type; a body that fails them returns false and the caller ends that connection.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "framework/types.h"

namespace cv::pw {

// Handshakes, each sent once in both directions at the start of a connection.
inline constexpr Uint32 kSessionMagic = FourCC("PWSL");
inline constexpr Uint32 kSessionVersion = 2;
inline constexpr Uint32 kTransferMagic = FourCC("PWSP");
inline constexpr Uint32 kTransferVersion = 1;
inline constexpr std::size_t kHandshakeSize = 8;
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr Uint16 kDefaultPort = 2007;

enum class EHandshake { session, transfer, bad };
Bytes EncodeHandshake(EHandshake kind);
EHandshake DecodeHandshake(const Uint8 (&bytes)[kHandshakeSize]);

// Message types.
enum : Uint16 {
  kBrush = 0,
  kEraser = 1,
  kRect = 2,
  kOval = 3,
  kPolygon = 4,
  kLine = 5,
  kSpray = 6,
  kShapedBrush = 7,
  kText = 8,
  kMoveArea = 9,
  kFill = 11,
  kEraseBoard = 20,
  kStartPicture = 22,
  kChat = 24,
  kUserName = 25,
  kUserLeft = 26,
  kUserPrivileges = 30,
  kOwnPrivileges = 31,
  kRedirect = 40,
  kGuestElsewhere = 41,
  kPasteRequest = 50,
  kPasteTicket = 51,
  kTransferTicket = 60,
};

// Ids: the host is 1, guests get 2 and up; a guest's own entry in its own list is 0.
inline constexpr Uint32 kSelfId = 0;
inline constexpr Uint32 kHostId = 1;
inline constexpr Uint32 kFirstGuestId = 2;

// Privilege bits of a user.
enum : Uint32 {
  kCanDraw = 1,
  kCanViewBoard = 2,
  kCanPaste = 4,
  kCanWriteChat = 8,
  kCanViewChat = 16,
  kCanChangePrivileges = 32,
  kAllPrivileges = 63,
  kDefaultGuestPrivileges = 31,
};

// The six privilege check boxes of the user info and options windows, in their order
// on screen, with the bit each one stands for.
struct SPrivilegeBox {
  const char* label;
  Uint32 bit;
};
extern const SPrivilegeBox kPrivilegeBoxes[6];

inline bool IsDrawingType(Uint16 type) {
  return type <= kMoveArea || type == kFill || type == kEraseBoard || type == kStartPicture;
}

inline constexpr std::size_t kMaxPoints = 400;
inline constexpr std::size_t kMaxChatText = 255;
inline constexpr std::size_t kMaxBody = 65535;

struct SPoint {
  Int16 x = 0;
  Int16 y = 0;
  bool operator==(const SPoint&) const = default;
};

struct SRgb {
  Uint8 r = 0, g = 0, b = 0;
  bool operator==(const SRgb&) const = default;
};

// One drawing operation, whatever its type; each type uses the fields its body has.
struct SDrawing {
  Uint16 type = kBrush;
  SRgb colour;
  Uint8 penSize = 1;
  bool filled = false;
  Uint8 shape = 0;                                 // shaped brush, 0-17
  Uint32 seed = 0;                                 // spray
  Uint8 radius = 10, flow = 10;                    // spray
  Int16 left = 0, top = 0, right = 0, bottom = 0;  // rect, oval, text, move source
  Int16 x1 = 0, y1 = 0, x2 = 0, y2 = 0;            // line; fill point (x1, y1); move destination (x1, y1)
  Uint8 fontSize = 12, style = 0, fontExtra = 0;
  Uint16 fontOption = 0;
  Bytes fontName, fontSecond, text;  // text
  std::vector<SPoint> points;

  bool operator==(const SDrawing&) const = default;
};

// Text style bits, in the order of the text options.
enum : Uint8 { kStyleBold = 1, kStyleItalic = 2, kStyleUnderline = 4, kStyleOutline = 8 };

// A drawing body for its type; raises (1, 2) for a type that is not a drawing and
// (1, 10) when a field does not fit (more than 400 points, strings over 255 bytes).
Bytes EncodeDrawing(const SDrawing& d);
bool DecodeDrawing(Uint16 type, ByteView body, SDrawing& out);

// Frame: sender (u32), type (u16), body length (u16), body. Raises (1, 10) for a body
// over 65,535 bytes.
Bytes EncodeFrame(Uint32 sender, Uint16 type, ByteView body);

// Chat. A guest sends its plain text; the host relays the formatted line.
Bytes EncodeChat(ByteView textOrLine);
bool DecodeChatText(ByteView body, Bytes& text);  // guest -> host
bool DecodeChatLine(ByteView body, Bytes& line);  // host -> guest
// "\r%#10.10s:  %#s": the writer's name right-justified in 10 columns (cut to 10).
Bytes FormatChatLine(ByteView name, ByteView text);

Bytes EncodeUserName(ByteView name);  // cut to 255 bytes
bool DecodeUserName(ByteView body, Bytes& name);
Bytes EncodeUserLeft();

Bytes EncodeUserPrivileges(Uint32 userId, Uint32 privileges);
bool DecodeUserPrivileges(ByteView body, Uint32& userId, Uint32& privileges);
Bytes EncodeOwnPrivileges(Uint32 privileges);
bool DecodeOwnPrivileges(ByteView body, Uint32& privileges);

struct SRedirect {
  Bytes name;     // who answered
  Bytes second;   // sent empty
  Bytes address;  // dotted address of that user's host
  bool operator==(const SRedirect&) const = default;
};
Bytes EncodeRedirect(const SRedirect& r);
bool DecodeRedirect(ByteView body, SRedirect& out);
Bytes EncodeGuestElsewhere();

// Paste request: tag, width, height, depth (u16 each), picture size, a reserved u32,
// entry count N, a reserved u32, then N 4-byte entries.
struct SPasteRequest {
  Uint32 tag = 0;
  Uint16 width = 0, height = 0, depth = 0;
  Uint32 pictureSize = 0, reserved1 = 0, reserved2 = 0;
  std::vector<Uint32> entries;
  bool operator==(const SPasteRequest&) const = default;
};
inline constexpr std::size_t kPasteRequestFixed = 26;
Bytes EncodePasteRequest(const SPasteRequest& r);
bool DecodePasteRequest(ByteView body, SPasteRequest& out);

struct STransferTicket {
  Uint32 transferId = 0, key1 = 0, key2 = 0;
  bool operator==(const STransferTicket&) const = default;
};
Bytes EncodePasteTicket(const STransferTicket& t, Uint32 tag);
bool DecodePasteTicket(ByteView body, STransferTicket& t, Uint32& tag);
Bytes EncodeTransferTicket(const STransferTicket& t);
bool DecodeTransferTicket(ByteView body, STransferTicket& t);

// The size limits a receiver checks before acting on a message; a type it does not
// know passes (and is ignored later). fromHost selects the host's form of type 24.
bool CheckBody(Uint16 type, ByteView body, bool fromHost);

struct SPeerMessage {
  Uint32 sender = 0;
  Uint16 type = 0;
  ByteView body;  // valid until the next Feed
};

// Incremental reader of one connection: optionally a handshake, then frames. Feed takes
// bytes until one item is complete and says how many it used, so the owner can switch
// to raw data (a picture transfer) right after any message.
class CMyPeerReader {
 public:
  enum class EItem { none, handshake, message };

  explicit CMyPeerReader(bool expectHandshake = true);

  struct SResult {
    std::size_t used = 0;
    EItem item = EItem::none;
    EHandshake handshake = EHandshake::bad;
    SPeerMessage message;
  };
  SResult Feed(const Uint8* data, std::size_t size);

  std::size_t BodyCapacity() const { return body_.size(); }

 private:
  enum class EState { handshake, header, body };
  EState state_;
  Uint8 head_[kHeaderSize] = {};
  std::size_t headFill_ = 0;
  std::vector<Uint8> body_;
  std::size_t bodyFill_ = 0;
  std::size_t bodyLength_ = 0;
  Uint32 sender_ = 0;
  Uint16 type_ = 0;
};

}  // namespace cv::pw
