#include "whiteboard/peer_protocol.h"

#include <gtest/gtest.h>

#include <random>

#include "framework/errors.h"

namespace cv::pw {
namespace {

Bytes B(std::initializer_list<int> v) {
  Bytes out;
  for (int x : v) out.push_back(Uint8(x));
  return out;
}
Bytes T(const char* s) { return Bytes(reinterpret_cast<const Uint8*>(s), std::strlen(s)); }
ByteView V(const Bytes& b) { return ByteView(b.data(), b.size()); }

TEST(PeerHandshake, BytesAndComparison) {
  EXPECT_EQ(EncodeHandshake(EHandshake::session), B({'P', 'W', 'S', 'L', 0, 0, 0, 2}));
  EXPECT_EQ(EncodeHandshake(EHandshake::transfer), B({'P', 'W', 'S', 'P', 0, 0, 0, 1}));
  Uint8 h[8] = {'P', 'W', 'S', 'L', 0, 0, 0, 2};
  EXPECT_EQ(DecodeHandshake(h), EHandshake::session);
  h[7] = 1;  // the transfer version with the session magic
  EXPECT_EQ(DecodeHandshake(h), EHandshake::bad);
  Uint8 p[8] = {'P', 'W', 'S', 'P', 0, 0, 0, 1};
  EXPECT_EQ(DecodeHandshake(p), EHandshake::transfer);
  p[0] = 'X';
  EXPECT_EQ(DecodeHandshake(p), EHandshake::bad);
}

TEST(PeerMessages, DrawingBodiesByteForByte) {
  SDrawing rect;
  rect.type = kRect;
  rect.filled = true;
  rect.penSize = 3;
  rect.colour = {1, 2, 3};
  rect.left = 10, rect.top = -1, rect.right = 300, rect.bottom = 20;
  EXPECT_EQ(EncodeDrawing(rect), B({1, 3, 1, 2, 3, 0, 0, 10, 0xFF, 0xFF, 0x01, 0x2C, 0, 20}));

  SDrawing brush;
  brush.type = kBrush;
  brush.penSize = 5;
  brush.colour = {9, 8, 7};
  brush.points = {{1, 2}, {-3, 400}};
  EXPECT_EQ(EncodeDrawing(brush), B({5, 9, 8, 7, 0, 0, 0, 0, 0, 1, 0, 2, 0xFF, 0xFD, 0x01, 0x90}));

  SDrawing spray;
  spray.type = kSpray;
  spray.seed = 0x01020304;
  spray.colour = {4, 5, 6};
  spray.radius = 10;
  spray.flow = 12;
  spray.points = {{7, 8}};
  EXPECT_EQ(EncodeDrawing(spray), B({1, 2, 3, 4, 4, 5, 6, 0, 10, 12, 0, 0, 0, 7, 0, 8}));

  SDrawing line;
  line.type = kLine;
  line.penSize = 2;
  line.x1 = 1, line.y1 = 2, line.x2 = 3, line.y2 = 4;
  EXPECT_EQ(EncodeDrawing(line), B({2, 0, 0, 0, 0, 0, 0, 1, 0, 2, 0, 3, 0, 4}));

  SDrawing text;
  text.type = kText;
  text.colour = {1, 1, 1};
  text.left = 1, text.top = 2, text.right = 3, text.bottom = 4;
  text.fontSize = 12;
  text.style = kStyleBold | kStyleUnderline;
  text.fontName = T("Times");
  text.fontOption = 0x0102;
  text.text = T("hi");
  EXPECT_EQ(EncodeDrawing(text),
            B({1, 1, 1, 0, 0, 1, 0, 2, 0, 3, 0, 4, 12, 5, 0, 5, 'T', 'i', 'm', 'e', 's', 0, 1, 2, 0, 2, 'h', 'i'}));

  SDrawing move;
  move.type = kMoveArea;
  move.left = 1, move.top = 2, move.right = 3, move.bottom = 4, move.x1 = 5, move.y1 = 6;
  EXPECT_EQ(EncodeDrawing(move), B({0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6}));

  SDrawing fill;
  fill.type = kFill;
  fill.colour = {7, 8, 9};
  fill.x1 = 10, fill.y1 = 11;
  EXPECT_EQ(EncodeDrawing(fill), B({7, 8, 9, 0, 0, 10, 0, 11}));
}

TEST(PeerMessages, EveryDrawingTypeRoundTrips) {
  std::vector<SDrawing> ops;
  for (Uint16 type : {kBrush, kEraser, kRect, kOval, kPolygon, kLine, kSpray, kShapedBrush, kText, kMoveArea, kFill,
                      kEraseBoard, kStartPicture}) {
    SDrawing d;
    d.type = type;
    switch (type) {
      case kBrush:
      case kEraser:
      case kPolygon:
      case kSpray:
      case kShapedBrush:
        for (int i = 0; i < 400; ++i) d.points.push_back({Int16(i - 200), Int16(3 * i)});
        break;
      default:
        break;
    }
    d.colour = {10, 20, 30};
    d.penSize = type == kText ? 1 : 7;
    d.filled = type == kPolygon || type == kOval;
    d.shape = type == kShapedBrush ? 17 : 0;
    d.seed = type == kSpray ? 0xDEADBEEF : 0;
    d.radius = type == kSpray ? 3 : 10;
    d.flow = type == kSpray ? 4 : 10;
    if (type == kRect || type == kOval || type == kText || type == kMoveArea)
      d.left = -5, d.top = 6, d.right = 7, d.bottom = 8;
    if (type == kLine || type == kMoveArea || type == kFill) d.x1 = 1, d.y1 = -2;
    if (type == kLine) d.x2 = 300, d.y2 = 32767;
    if (type == kText) {
      d.fontName = T("Helvetica");
      d.fontSecond = T("x");
      d.text = Bytes(255, Uint8('a'));
      d.fontSize = 24;
      d.style = 0x0F;
      d.fontExtra = 9;
      d.fontOption = 77;
    }
    ops.push_back(d);
  }
  for (const SDrawing& d : ops) {
    const Bytes body = EncodeDrawing(d);
    SDrawing back;
    ASSERT_TRUE(DecodeDrawing(d.type, V(body), back)) << d.type;
    EXPECT_EQ(EncodeDrawing(back), body) << d.type;
    EXPECT_EQ(back.points, d.points) << d.type;
    EXPECT_EQ(back.colour, d.type == kEraser || d.type == kMoveArea || d.type >= kEraseBoard ? SRgb{} : d.colour)
        << d.type;
    if (d.type == kText) {
      EXPECT_EQ(back, d);
    }
  }
}

TEST(PeerMessages, SizeLimitsOfEachType) {
  struct SCase {
    Uint16 type;
    std::size_t size;
    bool fromHost;
    bool ok;
  } cases[] = {
      {kBrush, 7, false, false},
      {kBrush, 8, false, true},
      {kBrush, 1611, false, true},
      {kBrush, 1612, false, false},
      {kPolygon, 1612, false, false},
      {kShapedBrush, 1611, false, true},
      {kEraser, 0, false, true},
      {kEraser, 1603, false, true},
      {kEraser, 1604, false, false},
      {kRect, 13, false, false},
      {kRect, 14, false, true},
      {kOval, 13, false, false},
      {kLine, 13, false, false},
      {kLine, 14, false, true},
      {kSpray, 11, false, false},
      {kSpray, 12, false, true},
      {kSpray, 1615, false, true},
      {kSpray, 1616, false, false},
      {kMoveArea, 11, false, false},
      {kMoveArea, 12, false, true},
      {kFill, 7, false, false},
      {kFill, 8, false, true},
      {kChat, 1, false, false},
      {kChat, 2, false, true},
      {kChat, 16, true, false},
      {kChat, 17, true, true},
      {kUserName, 1, false, false},
      {kUserName, 2, false, true},
      {kUserPrivileges, 7, false, false},
      {kUserPrivileges, 8, false, true},
      {kOwnPrivileges, 7, true, false},
      {kOwnPrivileges, 8, true, true},
      {kPasteTicket, 19, true, false},
      {kPasteTicket, 20, true, true},
      {kTransferTicket, 11, false, false},
      {kTransferTicket, 12, false, true},
      {kPasteRequest, 25, false, false},
      {kPasteRequest, 26, false, true},
      {kEraseBoard, 0, false, true},
      {999, 0, false, true},
  };
  for (const auto& c : cases) {
    const Bytes body(c.size, Uint8(0));
    EXPECT_EQ(CheckBody(c.type, V(body), c.fromHost), c.ok) << "type " << c.type << " size " << c.size;
  }
}

TEST(PeerMessages, TextAndRedirectStringsMustLieInsideTheBody) {
  SDrawing text;
  text.type = kText;
  text.fontName = T("Courier");
  text.text = T("hello");
  const Bytes good = EncodeDrawing(text);
  SDrawing out;
  ASSERT_TRUE(DecodeDrawing(kText, V(good), out));
  EXPECT_EQ(out.text, T("hello"));
  // Every shorter cut of the body is refused.
  for (std::size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(DecodeDrawing(kText, ByteView(good.data(), n), out)) << n;
  // A font name length pointing beyond the body, and a text over 255 bytes.
  Bytes bad = good;
  bad[15] = 200;
  EXPECT_FALSE(DecodeDrawing(kText, V(bad), out));
  Bytes longText = good;
  const std::size_t lenAt = 15 + 1 + 7 + 1 + 2;
  WriteU16(&longText[lenAt], 256);
  longText.resize(lenAt + 2 + 256, 'x');
  EXPECT_FALSE(DecodeDrawing(kText, V(longText), out));

  const SRedirect r{T("Bob"), {}, T("10.0.0.1")};
  const Bytes red = EncodeRedirect(r);
  EXPECT_EQ(red, B({0, 0, 0, 0, 3, 'B', 'o', 'b', 0, 8, '1', '0', '.', '0', '.', '0', '.', '1'}));
  SRedirect back;
  ASSERT_TRUE(DecodeRedirect(V(red), back));
  EXPECT_EQ(back, r);
  for (std::size_t n = 0; n < red.size(); ++n) EXPECT_FALSE(DecodeRedirect(ByteView(red.data(), n), back)) << n;
  EXPECT_TRUE(CheckBody(kRedirect, V(B({0, 0, 0, 0, 0, 0, 0})), false));
}

TEST(PeerMessages, ChatLines) {
  EXPECT_EQ(FormatChatLine(V(T("Jo")), V(T("hi"))), T("\r        Jo:  hi"));
  EXPECT_EQ(FormatChatLine(V(T("Bartholomew")), V(T("hi"))), T("\rBartholome:  hi"));
  // The relayed line from Alice: 18 bytes.
  const Bytes body = EncodeChat(V(FormatChatLine(V(T("Alice")), V(T("hi")))));
  EXPECT_EQ(body, B({0, 0, '\r', ' ', ' ', ' ', ' ', ' ', 'A', 'l', 'i', 'c', 'e', ':', ' ', ' ', 'h', 'i'}));
  Bytes line, text;
  ASSERT_TRUE(DecodeChatLine(V(body), line));
  EXPECT_EQ(line, T("\r     Alice:  hi"));
  ASSERT_TRUE(DecodeChatText(V(EncodeChat(V(T("yo")))), text));
  EXPECT_EQ(text, T("yo"));
  // A chat text is cut to 255 bytes.
  ASSERT_TRUE(DecodeChatText(V(EncodeChat(V(Bytes(1000, 'z')))), text));
  EXPECT_EQ(text.size(), 255u);
}

TEST(PeerMessages, SmallMessages) {
  Uint32 id = 0, privs = 0;
  EXPECT_EQ(EncodeUserPrivileges(4, 31), B({0, 0, 0, 4, 0, 0, 0, 31}));
  ASSERT_TRUE(DecodeUserPrivileges(V(EncodeUserPrivileges(4, 31)), id, privs));
  EXPECT_EQ(id, 4u);
  EXPECT_EQ(privs, 31u);
  ASSERT_TRUE(DecodeOwnPrivileges(V(EncodeOwnPrivileges(9)), privs));
  EXPECT_EQ(privs, 9u);
  Bytes name;
  EXPECT_EQ(EncodeUserName(V(T("Ann"))), B({0, 0, 'A', 'n', 'n'}));
  ASSERT_TRUE(DecodeUserName(V(EncodeUserName(V(T("Ann")))), name));
  EXPECT_EQ(name, T("Ann"));
  EXPECT_EQ(EncodeUserLeft(), B({0, 0, 0, 0}));

  STransferTicket t{7, 0x80000000u, 3}, back;
  Uint32 tag = 0;
  EXPECT_EQ(EncodePasteTicket(t, 99), B({0, 0, 0, 7, 0x80, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 99, 0, 0, 0, 0}));
  Bytes ticket = EncodePasteTicket(t, 99);
  ASSERT_FALSE(DecodePasteTicket(ByteView(ticket.data(), 19), back, tag));
  ASSERT_TRUE(DecodePasteTicket(V(ticket), back, tag));
  EXPECT_EQ(back, t);
  EXPECT_EQ(tag, 99u);
  ASSERT_TRUE(DecodeTransferTicket(V(EncodeTransferTicket(t)), back));
  EXPECT_EQ(back, t);

  SPasteRequest req{5, 10, 20, 8, 1000, 0, 0, {1, 2, 3}}, rback;
  const Bytes rb = EncodePasteRequest(req);
  EXPECT_EQ(rb.size(), 26u + 12u);
  ASSERT_TRUE(DecodePasteRequest(V(rb), rback));
  EXPECT_EQ(rback, req);
  // An entry count that runs past the body is refused rather than read.
  Bytes lying = rb;
  WriteU32(&lying[18], 0xFFFFFFFF);
  EXPECT_FALSE(DecodePasteRequest(V(lying), rback));
}

TEST(PeerMessages, EncodersRefuseWhatDoesNotFit) {
  SDrawing d;
  d.type = kBrush;
  d.points.resize(401);
  EXPECT_THROW(EncodeDrawing(d), SError);
  d.type = kChat;
  EXPECT_THROW(EncodeDrawing(d), SError);
  EXPECT_THROW(EncodeFrame(1, 0, ByteView(Bytes(65536, 0).data(), 65536)), SError);
  EXPECT_EQ(EncodeFrame(0x01020304, 0x0506, V(B({9}))), B({1, 2, 3, 4, 5, 6, 0, 1, 9}));
}

TEST(PeerReader, HandshakeThenFramesInPiecesOfAnySize) {
  Bytes stream = EncodeHandshake(EHandshake::session);
  stream += EncodeFrame(1, kUserName, V(EncodeUserName(V(T("Zed")))));
  stream += EncodeFrame(1, kEraseBoard, {});
  const Bytes big(3000, Uint8(7));
  stream += EncodeFrame(5, 999, V(big));
  for (std::size_t piece : {std::size_t(1), std::size_t(3), std::size_t(8), std::size_t(100), stream.size()}) {
    CMyPeerReader r;
    std::vector<std::pair<Uint16, Bytes>> got;
    int handshakes = 0;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min(piece, stream.size() - at);
      std::size_t used = 0;
      while (used < n) {
        auto res = r.Feed(stream.data() + at + used, n - used);
        used += res.used;
        if (res.item == CMyPeerReader::EItem::handshake) {
          ++handshakes;
          EXPECT_EQ(res.handshake, EHandshake::session);
        } else if (res.item == CMyPeerReader::EItem::message) {
          got.push_back({res.message.type, Bytes(res.message.body.data(), res.message.body.size())});
        }
        if (res.used == 0 && res.item == CMyPeerReader::EItem::none) break;
      }
      at += n;
    }
    EXPECT_EQ(handshakes, 1);
    ASSERT_EQ(got.size(), 3u) << piece;
    EXPECT_EQ(got[0].first, kUserName);
    EXPECT_EQ(got[1].first, kEraseBoard);
    EXPECT_TRUE(got[1].second.empty());
    EXPECT_EQ(got[2].second, big);
    EXPECT_EQ(r.BodyCapacity(), 3000u);
  }
}

TEST(PeerReader, RandomBytesNeverCrashTheDecoders) {
  std::mt19937 gen(7);
  for (int i = 0; i < 3000; ++i) {
    Bytes b(gen() % 64, 0);
    for (auto& x : b) x = Uint8(gen());
    for (Uint16 type : {kBrush, kEraser, kRect, kText, kSpray, kRedirect, kPasteRequest, kChat}) {
      SDrawing d;
      if (IsDrawingType(type) && DecodeDrawing(type, V(b), d)) {
        EXPECT_NO_THROW(EncodeDrawing(d));
      }
      SRedirect r;
      DecodeRedirect(V(b), r);
      SPasteRequest p;
      DecodePasteRequest(V(b), p);
      CheckBody(type, V(b), gen() & 1);
    }
    CMyPeerReader reader(true);
    std::size_t at = 0;
    while (at < b.size()) {
      auto res = reader.Feed(b.data() + at, b.size() - at);
      at += res.used;
    }
  }
}

}  // namespace
}  // namespace cv::pw
