#include "protocol/framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/errors.h"
#include "protocol/fields.h"

using namespace cv;

namespace {

Bytes Frame(Uint16 type, Uint32 id, bool reply, const Bytes& data, Uint32 total = 0, Uint32 error = 0) {
  STransactionHeader h;
  h.isReply = reply ? 1 : 0;
  h.type = type;
  h.id = id;
  h.errorCode = error;
  h.totalSize = total ? total : Uint32(data.size());
  h.dataSize = Uint32(data.size());
  return EncodeTransaction(h, data);
}

Bytes ChatList(const std::string& line, Uint32 seq) {
  UFieldData f;
  f.AddText(101, line);
  f.AddInteger(114, seq);
  return f.TakeBlock();
}

std::vector<SReceivedTransaction> Drain(CTransactionReceiver& r) {
  std::vector<SReceivedTransaction> out;
  while (r.HasTransaction()) out.push_back(r.Take());
  return out;
}

bool RaisesBadProtocol(CTransactionReceiver& r, const Bytes& bytes) {
  try {
    r.Feed(bytes);
  } catch (const SError& e) {
    return e.Is(errClassNetwork, errBadProtocol);
  }
  return false;
}

}  // namespace

TEST(Framing, HeaderLayout) {
  UFieldData empty;
  const Bytes wire = Frame(101, 1, false, empty.TakeBlock());
  const Bytes expect = {0, 0, 0, 101, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0};
  EXPECT_EQ(wire, expect);
  STransactionHeader h = STransactionHeader::Read(wire.data());
  EXPECT_EQ(h.type, 101);
  EXPECT_EQ(h.totalSize, 2u);
  EXPECT_FALSE(h.IsReply());
  Bytes r = wire;
  r[1] = 7;  // any non-zero is-reply byte counts as a reply
  EXPECT_TRUE(STransactionHeader::Read(r.data()).IsReply());
}

TEST(Framing, SplitAtEveryByteBoundaryReassemblesTheSame) {
  Bytes stream = Frame(105, 9, false, ChatList("hello there", 77));
  stream += Frame(0, 4, true, ChatList("reply", 1), 0, 1);
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    for (std::size_t cut2 = cut; cut2 <= stream.size(); cut2 += 7) {
      CTransactionReceiver r;
      r.Feed(ByteView(stream.data(), cut));
      r.Feed(ByteView(stream.data() + cut, cut2 - cut));
      r.Feed(ByteView(stream.data() + cut2, stream.size() - cut2));
      auto got = Drain(r);
      ASSERT_EQ(got.size(), 2u) << cut << "/" << cut2;
      EXPECT_EQ(got[0].header.type, 105);
      EXPECT_EQ(got[0].header.id, 9u);
      EXPECT_EQ(UFieldData(got[0].data).GetText(101), "hello there");
      EXPECT_TRUE(got[1].header.IsReply());
      EXPECT_EQ(got[1].header.errorCode, 1u);
      EXPECT_EQ(UFieldData(got[1].data).GetText(101), "reply");
    }
  }
  // One byte at a time.
  CTransactionReceiver r;
  for (Uint8 b : stream) r.Feed(ByteView(&b, 1));
  EXPECT_EQ(Drain(r).size(), 2u);
}

TEST(Framing, HeaderInTwoSegmentsIsReadOnlyWhenWhole) {
  const Bytes t = Frame(300, 2, false, ChatList("x", 1));
  CTransactionReceiver r;
  r.Feed(ByteView(t.data(), 12));
  EXPECT_FALSE(r.PartInProgress());
  EXPECT_EQ(r.BytesWanted(), 8u);
  r.Feed(ByteView(t.data() + 12, 8));
  EXPECT_TRUE(r.PartInProgress());
  EXPECT_EQ(r.CurrentHeader().type, 300);
  EXPECT_EQ(r.BytesWanted(), t.size() - 20);
  r.Feed(ByteView(t.data() + 20, t.size() - 20));
  EXPECT_EQ(Drain(r).size(), 1u);
}

TEST(Framing, PipelinedBurstKeepsOrder) {
  Bytes stream;
  for (Uint32 i = 1; i <= 1000; ++i) stream += Frame(105, i, false, ChatList("line " + std::to_string(i), i));
  CTransactionReceiver r;
  // Odd-sized reads, as a socket would hand them over.
  std::size_t pos = 0, step = 1;
  while (pos < stream.size()) {
    const std::size_t n = std::min(step, stream.size() - pos);
    r.Feed(ByteView(stream.data() + pos, n));
    pos += n;
    step = step * 3 % 4099 + 1;
  }
  auto got = Drain(r);
  ASSERT_EQ(got.size(), 1000u);
  for (Uint32 i = 0; i < 1000; ++i) {
    ASSERT_EQ(got[i].header.id, i + 1);
    ASSERT_EQ(UFieldData(got[i].data).GetInteger(114), i + 1);
  }
}

TEST(Framing, MultiPartTransactionsJoinByIdAndDirection) {
  const Bytes whole = ChatList(std::string(50, 'z'), 5);
  const Uint32 total = Uint32(whole.size());
  const Bytes a(whole.begin(), whole.begin() + 10), b(whole.begin() + 10, whole.end());
  CTransactionReceiver r;
  r.Feed(Frame(0, 7, true, a, total));
  EXPECT_FALSE(r.HasTransaction());
  // A complete request with the same id in between is its own transaction.
  r.Feed(Frame(105, 7, false, ChatList("mid", 1)));
  ASSERT_EQ(r.CompleteCount(), 1u);
  EXPECT_FALSE(r.Take().header.IsReply());
  r.Feed(Frame(0, 7, true, Bytes(b.begin(), b.begin() + 5), total));
  EXPECT_FALSE(r.HasTransaction());
  r.Feed(Frame(0, 7, true, Bytes(b.begin() + 5, b.end()), total));
  auto got = Drain(r);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, whole);
  EXPECT_EQ(got[0].header.totalSize, total);
}

TEST(Framing, ProgressOfAPartialPart) {
  const Bytes t = Frame(0, 3, true, Bytes(1000, 0));
  CTransactionReceiver r;
  r.Feed(ByteView(t.data(), 20 + 300));
  ASSERT_TRUE(r.PartInProgress());
  EXPECT_EQ(r.CurrentHeader().totalSize, 1000u);
  EXPECT_EQ(r.CurrentReceived(), 300u);
  r.Feed(ByteView(t.data() + 320, t.size() - 320));
  EXPECT_FALSE(r.PartInProgress());
  EXPECT_EQ(r.CompleteCount(), 1u);
}

TEST(Framing, PartsWithoutDataAreSkipped) {
  CTransactionReceiver r;
  r.Feed(Frame(105, 1, false, Bytes{}, 0));
  r.Feed(Frame(105, 2, false, Bytes{}, 50));
  EXPECT_FALSE(r.HasTransaction());
  EXPECT_FALSE(r.PartInProgress());
  r.Feed(Frame(105, 3, false, ChatList("a", 1)));
  auto got = Drain(r);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header.id, 3u);
}

TEST(Framing, BadFramesCloseTheStream) {
  auto header = [](Uint32 total, Uint32 data) {
    STransactionHeader h;
    h.type = 101;
    h.id = 1;
    h.totalSize = total;
    h.dataSize = data;
    Bytes b(20, 0);
    h.Write(b.data());
    return b;
  };
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"total above the maximum", header(kMaxTransactionSize + 1, 2)},
      {"data above the maximum", header(kMaxTransactionSize, kMaxTransactionSize + 1)},
      {"huge sizes", header(0xFFFFFFFF, 0xFFFFFFFF)},
      {"part larger than its total", header(2, 3)},
      {"later part overruns the total", header(10, 6) + Bytes(6, 0) + header(10, 5)},
  };
  for (const auto& c : cases) {
    CTransactionReceiver r;
    EXPECT_TRUE(RaisesBadProtocol(r, c.bytes)) << c.what;
    EXPECT_TRUE(r.Failed()) << c.what;
    // A failed stream stays failed.
    EXPECT_TRUE(RaisesBadProtocol(r, Frame(101, 2, false, Bytes{0, 0}))) << c.what;
  }
  // The maximum itself is accepted (and no memory is taken for bytes that never came).
  CTransactionReceiver ok;
  ok.Feed(header(kMaxTransactionSize, kMaxTransactionSize));
  EXPECT_TRUE(ok.PartInProgress());
  EXPECT_FALSE(ok.Failed());
}

TEST(Framing, TooManyHalfReceivedTransactions) {
  CTransactionReceiver r;
  for (Uint32 id = 1; id <= kMaxPartialTransactions; ++id) r.Feed(Frame(105, id, false, Bytes(4, 0), 100));
  EXPECT_FALSE(r.Failed());
  EXPECT_TRUE(RaisesBadProtocol(r, Frame(105, 999, false, Bytes(4, 0), 100)));

  CTransactionReceiver big;
  big.Feed(Frame(105, 1, false, Bytes(4, 0), kMaxTransactionSize));
  big.Feed(Frame(105, 2, false, Bytes(4, 0), kMaxTransactionSize));
  EXPECT_TRUE(RaisesBadProtocol(big, Frame(105, 3, false, Bytes(4, 0), kMaxTransactionSize)));
}

TEST(Handshake, ClientBytesAndServerParser) {
  const auto hello = MakeClientHandshake(FourCC("CRVN"), 2);
  const Bytes expect = {0x54, 0x52, 0x54, 0x50, 'C', 'R', 'V', 'N', 0, 1, 0, 2};
  EXPECT_EQ(Bytes(hello.begin(), hello.end()), expect);

  struct Case {
    const char* what;
    Bytes bytes;
    CServerHandshakeParser::EResult result;
  } cases[] = {
      {"valid", expect, CServerHandshakeParser::Valid},
      {"short", Bytes(expect.begin(), expect.begin() + 11), CServerHandshakeParser::NeedMore},
      {"wrong magic", Bytes{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1'},
       CServerHandshakeParser::WrongMagic},
      {"wrong version", Bytes{0x54, 0x52, 0x54, 0x50, 'C', 'R', 'V', 'N', 0, 2, 0, 2},
       CServerHandshakeParser::WrongVersion},
      {"other sub-protocol", Bytes{0x54, 0x52, 0x54, 0x50, 'X', 'Y', 'Z', 'W', 0, 1, 0, 9},
       CServerHandshakeParser::Valid},
  };
  for (const auto& c : cases) {
    // Byte by byte, so that splits do not matter.
    CServerHandshakeParser p;
    for (Uint8 b : c.bytes) EXPECT_EQ(p.Feed(ByteView(&b, 1)), 1u) << c.what;
    EXPECT_EQ(p.Result(), c.result) << c.what;
  }
  CServerHandshakeParser p;
  Bytes more = expect + Bytes{0, 0, 0, 101};
  EXPECT_EQ(p.Feed(more), 12u);  // the rest belongs to the transaction stream
  EXPECT_EQ(p.SubProtocol(), FourCC("CRVN"));
  EXPECT_EQ(p.SubVersion(), 2);
  EXPECT_EQ(p.Feed(more), 0u);
}

TEST(Handshake, ServerAnswerParser) {
  struct Case {
    Bytes bytes;
    CClientHandshakeParser::EResult result;
    Uint32 code;
  } cases[] = {
      {Bytes{0x54, 0x52, 0x54, 0x50, 0, 0, 0, 0}, CClientHandshakeParser::Accepted, 0},
      {Bytes{0x54, 0x52, 0x54, 0x50, 0, 0, 0, 1}, CClientHandshakeParser::Refused, 1},
      {Bytes{'H', 'T', 'T', 'P', 0, 0, 0, 0}, CClientHandshakeParser::WrongMagic, 0},
      {Bytes{0x54, 0x52, 0x54}, CClientHandshakeParser::NeedMore, 0},
  };
  for (const auto& c : cases) {
    CClientHandshakeParser p;
    p.Feed(ByteView(c.bytes.data(), std::min<std::size_t>(c.bytes.size(), 3)));
    if (c.bytes.size() > 3) p.Feed(ByteView(c.bytes.data() + 3, c.bytes.size() - 3));
    EXPECT_EQ(p.Result(), c.result);
    EXPECT_EQ(p.ErrorCode(), c.code);
  }
  const auto refusal = MakeServerHandshake(1);
  EXPECT_EQ(Bytes(refusal.begin(), refusal.end()), (Bytes{0x54, 0x52, 0x54, 0x50, 0, 0, 0, 1}));
}
