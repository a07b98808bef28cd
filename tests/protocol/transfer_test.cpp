#include "protocol/transfer.h"

#include <gtest/gtest.h>

#include <vector>

#include "framework/errors.h"

using namespace cv;

TEST(TransferHeader, EncodesAndParsesTheSixteenBytes) {
  STransferHeader h;
  h.reference = {0x11, 0x22, 0x33, 0x44};
  h.dataSize = 0x01020304;
  const auto bytes = EncodeTransferHeader(h);
  const std::vector<Uint8> expected = {'C', 'V', 'X', 'F', 0x11, 0x22, 0x33, 0x44, 1, 2, 3, 4, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<Uint8>(bytes.begin(), bytes.end()), expected);

  const auto back = ParseTransferHeader(ByteView(bytes.data(), bytes.size()));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->reference, h.reference);
  EXPECT_EQ(back->dataSize, h.dataSize);
  EXPECT_TRUE(back->IsDownload());

  auto wrong = bytes;
  wrong[3] = 'G';
  EXPECT_FALSE(ParseTransferHeader(ByteView(wrong.data(), wrong.size())).has_value());
  try {
    ParseTransferHeader(ByteView(bytes.data(), 15));
    ADD_FAILURE() << "a short header was parsed";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(errClassGeneral, errBadArgument));
  }
}

TEST(TransferHeader, CollectsAHeaderArrivingInPieces) {
  STransferHeader h;
  h.reference = MakeTransferReference(0xBEEF, 7, false);
  h.dataSize = 145;
  const auto bytes = EncodeTransferHeader(h);
  std::vector<Uint8> wire(bytes.begin(), bytes.end());
  wire.push_back(0xAA);  // the stream's first byte follows in the same segment

  CTransferHeaderReader r;
  EXPECT_EQ(r.Feed(ByteView(wire.data(), 10)), 10u);
  EXPECT_FALSE(r.Complete());
  EXPECT_FALSE(r.Header().has_value());
  EXPECT_EQ(r.Feed(ByteView(wire.data() + 10, 7)), 6u);  // takes only what the header needs
  ASSERT_TRUE(r.Complete());
  EXPECT_EQ(r.Header()->dataSize, 145u);
  EXPECT_FALSE(r.Header()->IsDownload());
  EXPECT_EQ(r.Feed(ByteView(wire.data(), 1)), 0u);

  CTransferHeaderReader bad;
  std::vector<Uint8> junk(16, 'x');
  for (std::size_t i = 0; i < 16; ++i) bad.Feed(ByteView(junk.data() + i, 1));
  EXPECT_TRUE(bad.Complete());
  EXPECT_FALSE(bad.Header().has_value());
}

TEST(TransferHeader, ReferenceCarriesItsDirection) {
  const auto down = MakeTransferReference(0x1234, 0xABCD, true);
  const auto up = MakeTransferReference(0x1234, 0xABCD, false);
  EXPECT_EQ(down, (TransferReference{0x35, 0x12, 0xCD, 0xAB}));
  EXPECT_EQ(up, (TransferReference{0x34, 0x12, 0xCD, 0xAB}));
  EXPECT_TRUE(IsDownloadReference(down));
  EXPECT_FALSE(IsDownloadReference(up));
  EXPECT_FALSE(IsDownloadReference(MakeTransferReference(0x0001, 1, false)));
}

TEST(SendPacing, GrowsByTheFixedStepsUpToTheCap) {
  // Queue empty before every send, sends one second apart.
  CSendPacing p;
  EXPECT_EQ(p.ChunkSize(), 51200u);
  std::vector<Uint32> chunks;
  for (Uint64 t = 100; t < 200; ++t) chunks.push_back(p.NextChunk(0, 0, t, Uint64(1) << 40));
  EXPECT_EQ(chunks[0], 71680u);  // only the idle growth: nothing was sent before
  EXPECT_EQ(chunks[1], 143360u);
  EXPECT_EQ(chunks[2], 215040u);
  for (std::size_t i = 1; i < chunks.size(); ++i) {
    EXPECT_EQ(chunks[i], std::min<Uint32>(chunks[i - 1] + 71680, 2097152)) << i;
  }
  EXPECT_EQ(chunks.back(), 2097152u);
  EXPECT_EQ(p.LastSend(), 199u);
}

TEST(SendPacing, SlowAndBusyLinks) {
  // Slow: sends ten seconds or more apart with data still queued keep the start size.
  CSendPacing slow;
  for (Uint64 t = 0; t < 100; t += 10) EXPECT_EQ(slow.NextChunk(1000, 1, t, 1 << 30), 51200u);

  // Idle but slow: only the idle growth.
  CSendPacing idle;
  EXPECT_EQ(idle.NextChunk(0, 0, 50, 1 << 30), 71680u);
  EXPECT_EQ(idle.NextChunk(0, 0, 60, 1 << 30), 92160u);

  // More than a chunk queued in several buffers: wait, and the state stays.
  CSendPacing busy;
  EXPECT_EQ(busy.NextChunk(60000, 2, 5, 1 << 30), 0u);
  EXPECT_EQ(busy.ChunkSize(), 51200u);
  EXPECT_EQ(busy.LastSend(), 0u);
  // ... unless it is all one buffer.
  EXPECT_EQ(busy.NextChunk(60000, 1, 5, 1 << 30), 51200u);
  // Exactly a chunk queued is not more than a chunk.
  EXPECT_EQ(busy.NextChunk(51200, 3, 6, 1 << 30), 102400u);
}

TEST(SendPacing, LastChunkIsWhatIsLeft) {
  CSendPacing p;
  EXPECT_EQ(p.NextChunk(0, 0, 20, 145), 145u);
  EXPECT_EQ(p.NextChunk(0, 0, 21, 0), 0u);
  EXPECT_EQ(p.ChunkSize(), 71680u);  // a call with nothing left changes nothing
}
