#include "whiteboard/peer_protocol.h"

#include <algorithm>
#include <cstring>

#include "framework/errors.h"

namespace cv::pw {

const SPrivilegeBox kPrivilegeBoxes[6] = {
    {"Can View WhiteBoard", kCanViewBoard},
    {"Can Draw", kCanDraw},
    {"Can Paste", kCanPaste},
    {"Can View Chat", kCanViewChat},
    {"Can Participate in Chat", kCanWriteChat},
    {"Can Change Other Users' Privileges", kCanChangePrivileges},
};

namespace {

// Reads big-endian values from a body, refusing to step past its end.
class CCursor {
 public:
  explicit CCursor(ByteView b) : b_(b) {}
  std::size_t Left() const { return b_.size() - pos_; }
  bool U8(Uint8& v) {
    if (Left() < 1) return false;
    v = b_[pos_++];
    return true;
  }
  bool U16(Uint16& v) {
    if (Left() < 2) return false;
    v = ReadU16(b_.data() + pos_);
    pos_ += 2;
    return true;
  }
  bool I16(Int16& v) {
    Uint16 u;
    if (!U16(u)) return false;
    v = Int16(u);
    return true;
  }
  bool U32(Uint32& v) {
    if (Left() < 4) return false;
    v = ReadU32(b_.data() + pos_);
    pos_ += 4;
    return true;
  }
  bool Skip(std::size_t n) {
    if (Left() < n) return false;
    pos_ += n;
    return true;
  }
  bool Take(std::size_t n, Bytes& out) {
    if (Left() < n) return false;
    out.assign(b_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  bool Counted(Bytes& out) {
    Uint8 n;
    return U8(n) && Take(n, out);
  }
  void Points(std::vector<SPoint>& out) {
    out.clear();
    const std::size_t n = std::min(Left() / 4, kMaxPoints);
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      SPoint p;
      I16(p.x);
      I16(p.y);
      out.push_back(p);
    }
  }

 private:
  ByteView b_;
  std::size_t pos_ = 0;
};

void AppendI16(Bytes& out, Int16 v) { AppendU16(out, Uint16(v)); }
void AppendRgb(Bytes& out, const SRgb& c) {
  out.push_back(c.r);
  out.push_back(c.g);
  out.push_back(c.b);
}
void AppendZeros(Bytes& out, std::size_t n) { out.append(n, Uint8(0)); }
void AppendPoints(Bytes& out, const std::vector<SPoint>& pts) {
  if (pts.size() > kMaxPoints) UError::Raise(errClassGeneral, errFieldTooLarge);
  for (const SPoint& p : pts) {
    AppendI16(out, p.x);
    AppendI16(out, p.y);
  }
}
void AppendCounted(Bytes& out, const Bytes& s) {
  if (s.size() > 255) UError::Raise(errClassGeneral, errFieldTooLarge);
  out.push_back(Uint8(s.size()));
  out += s;
}
bool ReadRgb(CCursor& c, SRgb& v) { return c.U8(v.r) && c.U8(v.g) && c.U8(v.b); }
bool ReadRect(CCursor& c, SDrawing& d) { return c.I16(d.left) && c.I16(d.top) && c.I16(d.right) && c.I16(d.bottom); }

}  // namespace

Bytes EncodeHandshake(EHandshake kind) {
  Bytes out;
  if (kind == EHandshake::session) {
    AppendU32(out, kSessionMagic);
    AppendU32(out, kSessionVersion);
  } else if (kind == EHandshake::transfer) {
    AppendU32(out, kTransferMagic);
    AppendU32(out, kTransferVersion);
  } else {
    UError::Raise(errClassGeneral, errBadArgument);
  }
  return out;
}

EHandshake DecodeHandshake(const Uint8 (&b)[kHandshakeSize]) {
  const Uint32 magic = ReadU32(b), version = ReadU32(b + 4);
  if (magic == kSessionMagic && version == kSessionVersion) return EHandshake::session;
  if (magic == kTransferMagic && version == kTransferVersion) return EHandshake::transfer;
  return EHandshake::bad;
}

Bytes EncodeDrawing(const SDrawing& d) {
  Bytes out;
  switch (d.type) {
    case kBrush:
      out.push_back(d.penSize);
      AppendRgb(out, d.colour);
      AppendZeros(out, 4);
      AppendPoints(out, d.points);
      break;
    case kEraser:
      AppendPoints(out, d.points);
      break;
    case kRect:
    case kOval:
      out.push_back(d.filled ? 1 : 0);
      out.push_back(d.penSize);
      AppendRgb(out, d.colour);
      AppendZeros(out, 1);
      for (Int16 v : {d.left, d.top, d.right, d.bottom}) AppendI16(out, v);
      break;
    case kPolygon:
      out.push_back(d.filled ? 1 : 0);
      out.push_back(d.penSize);
      AppendRgb(out, d.colour);
      AppendZeros(out, 3);
      AppendPoints(out, d.points);
      break;
    case kLine:
      out.push_back(d.penSize);
      AppendRgb(out, d.colour);
      AppendZeros(out, 2);
      for (Int16 v : {d.x1, d.y1, d.x2, d.y2}) AppendI16(out, v);
      break;
    case kSpray:
      AppendU32(out, d.seed);
      AppendRgb(out, d.colour);
      AppendZeros(out, 1);
      out.push_back(d.radius);
      out.push_back(d.flow);
      AppendZeros(out, 2);
      AppendPoints(out, d.points);
      break;
    case kShapedBrush:
      out.push_back(d.shape);
      AppendRgb(out, d.colour);
      AppendZeros(out, 4);
      AppendPoints(out, d.points);
      break;
    case kText:
      if (d.text.size() > kMaxChatText) UError::Raise(errClassGeneral, errFieldTooLarge);
      AppendRgb(out, d.colour);
      AppendZeros(out, 1);
      for (Int16 v : {d.left, d.top, d.right, d.bottom}) AppendI16(out, v);
      out.push_back(d.fontSize);
      out.push_back(d.style);
      out.push_back(d.fontExtra);
      AppendCounted(out, d.fontName);
      AppendCounted(out, d.fontSecond);
      AppendU16(out, d.fontOption);
      AppendU16(out, Uint16(d.text.size()));
      out += d.text;
      break;
    case kMoveArea:
      for (Int16 v : {d.left, d.top, d.right, d.bottom, d.x1, d.y1}) AppendI16(out, v);
      break;
    case kFill:
      AppendRgb(out, d.colour);
      AppendZeros(out, 1);
      AppendI16(out, d.x1);
      AppendI16(out, d.y1);
      break;
    case kEraseBoard:
    case kStartPicture:
      break;
    default:
      UError::Raise(errClassGeneral, errBadArgument);
  }
  return out;
}

bool DecodeDrawing(Uint16 type, ByteView body, SDrawing& d) {
  if (!IsDrawingType(type) || !CheckBody(type, body, false)) return false;
  d = SDrawing{};
  d.type = type;
  CCursor c(body);
  Uint8 flag = 0;
  switch (type) {
    case kBrush:
      if (!(c.U8(d.penSize) && ReadRgb(c, d.colour) && c.Skip(4))) return false;
      c.Points(d.points);
      return true;
    case kEraser:
      c.Points(d.points);
      return true;
    case kRect:
    case kOval:
      if (!(c.U8(flag) && c.U8(d.penSize) && ReadRgb(c, d.colour) && c.Skip(1) && ReadRect(c, d))) return false;
      d.filled = flag != 0;
      return true;
    case kPolygon:
      if (!(c.U8(flag) && c.U8(d.penSize) && ReadRgb(c, d.colour) && c.Skip(3))) return false;
      d.filled = flag != 0;
      c.Points(d.points);
      return true;
    case kLine:
      return c.U8(d.penSize) && ReadRgb(c, d.colour) && c.Skip(2) && c.I16(d.x1) && c.I16(d.y1) && c.I16(d.x2) &&
             c.I16(d.y2);
    case kSpray:
      if (!(c.U32(d.seed) && ReadRgb(c, d.colour) && c.Skip(1) && c.U8(d.radius) && c.U8(d.flow) && c.Skip(2)))
        return false;
      c.Points(d.points);
      return true;
    case kShapedBrush:
      if (!(c.U8(d.shape) && ReadRgb(c, d.colour) && c.Skip(4))) return false;
      c.Points(d.points);
      return true;
    case kText: {
      Uint16 length = 0;
      if (!(ReadRgb(c, d.colour) && c.Skip(1) && ReadRect(c, d) && c.U8(d.fontSize) && c.U8(d.style) &&
            c.U8(d.fontExtra) && c.Counted(d.fontName) && c.Counted(d.fontSecond) && c.U16(d.fontOption) &&
            c.U16(length)))
        return false;
      if (length > kMaxChatText) return false;
      return c.Take(length, d.text);
    }
    case kMoveArea:
      return ReadRect(c, d) && c.I16(d.x1) && c.I16(d.y1);
    case kFill:
      return ReadRgb(c, d.colour) && c.Skip(1) && c.I16(d.x1) && c.I16(d.y1);
    case kEraseBoard:
    case kStartPicture:
      return true;
  }
  return false;
}

Bytes EncodeFrame(Uint32 sender, Uint16 type, ByteView body) {
  if (body.size() > kMaxBody) UError::Raise(errClassGeneral, errFieldTooLarge);
  Bytes out;
  out.reserve(kHeaderSize + body.size());
  AppendU32(out, sender);
  AppendU16(out, type);
  AppendU16(out, Uint16(body.size()));
  out.append(body.data(), body.size());
  return out;
}

Bytes EncodeChat(ByteView text) {
  Bytes out(2, Uint8(0));
  out.append(text.data(), std::min(text.size(), kMaxBody - 2));
  return out;
}

bool DecodeChatText(ByteView body, Bytes& text) {
  if (!CheckBody(kChat, body, false)) return false;
  // A chat text is a counted string everywhere else; longer texts are cut.
  text.assign(body.data() + 2, std::min(body.size() - 2, kMaxChatText));
  return true;
}

bool DecodeChatLine(ByteView body, Bytes& line) {
  if (!CheckBody(kChat, body, true)) return false;
  line.assign(body.data() + 2, body.size() - 2);
  return true;
}

Bytes FormatChatLine(ByteView name, ByteView text) {
  Bytes line(1, Uint8('\r'));
  const std::size_t n = std::min<std::size_t>(name.size(), 10);
  line.append(10 - n, Uint8(' '));
  line.append(name.data(), n);
  line.push_back(':');
  line.append(2, Uint8(' '));
  line.append(text.data(), std::min(text.size(), kMaxChatText));
  return line;
}

Bytes EncodeUserName(ByteView name) {
  Bytes out(2, Uint8(0));
  out.append(name.data(), std::min<std::size_t>(name.size(), 255));
  return out;
}

bool DecodeUserName(ByteView body, Bytes& name) {
  if (!CheckBody(kUserName, body, false)) return false;
  name.assign(body.data() + 2, std::min<std::size_t>(body.size() - 2, 255));
  return true;
}

Bytes EncodeUserLeft() {
  Bytes out;
  AppendU32(out, 0);
  return out;
}

Bytes EncodeUserPrivileges(Uint32 userId, Uint32 privileges) {
  Bytes out;
  AppendU32(out, userId);
  AppendU32(out, privileges);
  return out;
}

bool DecodeUserPrivileges(ByteView body, Uint32& userId, Uint32& privileges) {
  if (!CheckBody(kUserPrivileges, body, false)) return false;
  userId = ReadU32(body.data());
  privileges = ReadU32(body.data() + 4);
  return true;
}

Bytes EncodeOwnPrivileges(Uint32 privileges) { return EncodeUserPrivileges(0, privileges); }

bool DecodeOwnPrivileges(ByteView body, Uint32& privileges) {
  if (!CheckBody(kOwnPrivileges, body, true)) return false;
  privileges = ReadU32(body.data() + 4);
  return true;
}

Bytes EncodeRedirect(const SRedirect& r) {
  Bytes out;
  AppendU32(out, 0);
  AppendCounted(out, r.name);
  AppendCounted(out, r.second);
  AppendCounted(out, r.address);
  return out;
}

bool DecodeRedirect(ByteView body, SRedirect& out) {
  if (body.size() < 7) return false;
  CCursor c(body);
  return c.Skip(4) && c.Counted(out.name) && c.Counted(out.second) && c.Counted(out.address);
}

Bytes EncodeGuestElsewhere() { return EncodeUserLeft(); }

Bytes EncodePasteRequest(const SPasteRequest& r) {
  Bytes out;
  AppendU32(out, r.tag);
  AppendU16(out, r.width);
  AppendU16(out, r.height);
  AppendU16(out, r.depth);
  AppendU32(out, r.pictureSize);
  AppendU32(out, r.reserved1);
  AppendU32(out, Uint32(r.entries.size()));
  AppendU32(out, r.reserved2);
  if (kPasteRequestFixed + 4 * r.entries.size() > kMaxBody) UError::Raise(errClassGeneral, errFieldTooLarge);
  for (Uint32 e : r.entries) AppendU32(out, e);
  return out;
}

bool DecodePasteRequest(ByteView body, SPasteRequest& r) {
  if (!CheckBody(kPasteRequest, body, false)) return false;
  CCursor c(body);
  Uint32 count = 0;
  c.U32(r.tag);
  c.U16(r.width);
  c.U16(r.height);
  c.U16(r.depth);
  c.U32(r.pictureSize);
  c.U32(r.reserved1);
  c.U32(count);
  c.U32(r.reserved2);
  r.entries.assign(count, 0);  // CheckBody made sure they are all inside the body
  for (Uint32& e : r.entries) c.U32(e);
  return true;
}

Bytes EncodePasteTicket(const STransferTicket& t, Uint32 tag) {
  Bytes out;
  // 20 bytes on the wire: the four values and a reserved zero.
  for (Uint32 v : {t.transferId, t.key1, t.key2, tag, Uint32(0)}) AppendU32(out, v);
  return out;
}

bool DecodePasteTicket(ByteView body, STransferTicket& t, Uint32& tag) {
  if (!CheckBody(kPasteTicket, body, true)) return false;
  t = {ReadU32(body.data()), ReadU32(body.data() + 4), ReadU32(body.data() + 8)};
  tag = ReadU32(body.data() + 12);
  return true;
}

Bytes EncodeTransferTicket(const STransferTicket& t) {
  Bytes out;
  for (Uint32 v : {t.transferId, t.key1, t.key2}) AppendU32(out, v);
  return out;
}

bool DecodeTransferTicket(ByteView body, STransferTicket& t) {
  if (!CheckBody(kTransferTicket, body, false)) return false;
  t = {ReadU32(body.data()), ReadU32(body.data() + 4), ReadU32(body.data() + 8)};
  return true;
}

bool CheckBody(Uint16 type, ByteView body, bool fromHost) {
  const std::size_t n = body.size();
  switch (type) {
    case kBrush:
    case kPolygon:
    case kShapedBrush:
      return n >= 8 && n <= 8 + 4 * kMaxPoints + 3;
    case kEraser:
      return n <= 4 * kMaxPoints + 3;
    case kRect:
    case kOval:
    case kLine:
      return n >= 14;
    case kSpray:
      return n > 11 && n - 12 < 4 * kMaxPoints + 4;
    case kText: {
      if (n <= 20) return false;
      // font name, second string, option and text length must all be inside
      std::size_t pos = 15;
      for (int s = 0; s < 2; ++s) {
        if (pos >= n) return false;
        pos += 1 + body[pos];
      }
      if (pos + 4 > n) return false;
      const std::size_t length = ReadU16(body.data() + pos + 2);
      return length <= kMaxChatText && pos + 4 + length <= n;
    }
    case kMoveArea:
      return n > 11;
    case kFill:
      return n > 7;
    case kChat:
      return fromHost ? n >= 17 : n >= 2;
    case kUserName:
      return n >= 2;
    case kUserPrivileges:
    case kOwnPrivileges:
      return n >= 8;
    case kRedirect: {
      if (n < 7) return false;
      std::size_t pos = 4;
      for (int s = 0; s < 3; ++s) {
        if (pos >= n) return false;
        pos += 1 + body[pos];
      }
      return pos <= n;
    }
    case kPasteRequest: {
      // The fixed part holds four u32 after the three u16, so 26 bytes; the entries
      // it counts must follow in the body.
      if (n < kPasteRequestFixed) return false;
      const Uint64 count = ReadU32(body.data() + 18);
      return kPasteRequestFixed + 4 * count <= n;
    }
    case kPasteTicket:
      return n >= 20;
    case kTransferTicket:
      return n >= 12;
    default:
      return true;
  }
}

CMyPeerReader::CMyPeerReader(bool expectHandshake)
    : state_(expectHandshake ? EState::handshake : EState::header), body_(256) {}

CMyPeerReader::SResult CMyPeerReader::Feed(const Uint8* data, std::size_t size) {
  SResult r;
  while (r.used < size || (state_ == EState::body && bodyFill_ == bodyLength_)) {
    if (state_ == EState::handshake || state_ == EState::header) {
      const std::size_t want = (state_ == EState::handshake ? kHandshakeSize : kHeaderSize) - headFill_;
      const std::size_t n = std::min(want, size - r.used);
      std::memcpy(head_ + headFill_, data + r.used, n);
      headFill_ += n;
      r.used += n;
      if (n < want) return r;
      headFill_ = 0;
      if (state_ == EState::handshake) {
        state_ = EState::header;
        r.item = EItem::handshake;
        r.handshake = DecodeHandshake(head_);
        return r;
      }
      sender_ = ReadU32(head_);
      type_ = ReadU16(head_ + 4);
      bodyLength_ = ReadU16(head_ + 6);
      bodyFill_ = 0;
      if (body_.size() < bodyLength_) body_.resize(bodyLength_);
      state_ = EState::body;
      continue;
    }
    const std::size_t n = std::min(bodyLength_ - bodyFill_, size - r.used);
    if (n) std::memcpy(body_.data() + bodyFill_, data + r.used, n);
    bodyFill_ += n;
    r.used += n;
    if (bodyFill_ < bodyLength_) return r;
    state_ = EState::header;
    r.item = EItem::message;
    r.message = {sender_, type_, ByteView(body_.data(), bodyLength_)};
    return r;
  }
  return r;
}

}  // namespace cv::pw
