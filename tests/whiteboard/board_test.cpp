#include "whiteboard/board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

namespace cv::pw {
namespace {

constexpr SRgb kBlack{0, 0, 0};
constexpr SRgb kRed{255, 0, 0};

// The pixels of a small region as text: '#' for the colour, '.' for the background,
// '?' for anything else; rows separated by '|'.
std::string Region(const CMyBoard& b, int w, int h, Uint32 ink = 0) {
  std::string s;
  for (int y = 0; y < h; ++y) {
    if (y) s += '|';
    for (int x = 0; x < w; ++x) {
      const Uint32 p = b.Pixel(x, y);
      s += p == kBackground ? '.' : p == ink ? '#' : '?';
    }
  }
  return s;
}

int CountNot(const CMyBoard& b, Uint32 colour) {
  int n = 0;
  for (Uint32 p : b.Pixels()) n += p != colour;
  return n;
}

SDrawing Op(Uint16 type) {
  SDrawing d;
  d.type = type;
  d.colour = kBlack;
  return d;
}
SDrawing Points(Uint16 type, std::vector<SPoint> pts, Uint8 pen = 1) {
  SDrawing d = Op(type);
  d.points = std::move(pts);
  d.penSize = pen;
  return d;
}
SDrawing Box(Uint16 type, int l, int t, int r, int b, bool filled, Uint8 pen = 1) {
  SDrawing d = Op(type);
  d.left = Int16(l);
  d.top = Int16(t);
  d.right = Int16(r);
  d.bottom = Int16(b);
  d.filled = filled;
  d.penSize = pen;
  return d;
}
SDrawing LineOp(int x1, int y1, int x2, int y2, Uint8 pen) {
  SDrawing d = Op(kLine);
  d.x1 = Int16(x1);
  d.y1 = Int16(y1);
  d.x2 = Int16(x2);
  d.y2 = Int16(y2);
  d.penSize = pen;
  return d;
}
SDrawing Shaped(int shape, std::vector<SPoint> pts) {
  SDrawing d = Points(kShapedBrush, std::move(pts));
  d.shape = Uint8(shape);
  return d;
}

struct SPixelCase {
  const char* name;
  SDrawing op;
  int w, h;
  std::string expected;
};

TEST(BoardPixels, EachToolDrawsItsPixels) {
  const SPixelCase cases[] = {
      {"line pen 1 rounds half up", LineOp(2, 2, 6, 4, 1), 8, 5, "........|........|..#.....|...##...|.....##."},
      {"line backwards", LineOp(6, 1, 1, 1, 1), 8, 2, "........|.######."},
      {"line pen 2 hangs up-left", LineOp(2, 2, 4, 2, 2), 6, 4, "......|.####.|.####.|......"},
      {"brush single point pen 3", Points(kBrush, {{3, 3}}, 3), 6, 6, "......|......|..###.|..###.|..###.|......"},
      {"brush through three points", Points(kBrush, {{0, 0}, {3, 0}, {3, 2}}), 5, 3, "####.|...#.|...#."},
      {"rectangle outline both corners", Box(kRect, 1, 1, 5, 4, false), 7, 6,
       ".......|.#####.|.#...#.|.#...#.|.#####.|......."},
      {"rectangle outline pen 2", Box(kRect, 0, 0, 5, 5, false, 2), 6, 6, "######|######|##..##|##..##|######|######"},
      {"rectangle corners given backwards", Box(kRect, 3, 2, 1, 1, true), 5, 3, ".....|.###.|.###."},
      {"oval filled 5x5", Box(kOval, 0, 0, 4, 4, true), 5, 5, ".###.|#####|#####|#####|.###."},
      {"oval outline 7x7", Box(kOval, 0, 0, 6, 6, false), 7, 7,
       "..###..|.#...#.|#.....#|#.....#|#.....#|.#...#.|..###.."},
      {"polygon filled triangle",
       [] {
         SDrawing d = Points(kPolygon, {{0, 0}, {6, 0}, {0, 6}});
         d.filled = true;
         return d;
       }(),
       7, 6, "#####..|####...|###....|##.....|#......|......."},
      {"polygon outline is an open line", Points(kPolygon, {{0, 0}, {2, 0}, {2, 2}}), 4, 3, "###.|..#.|..#."},
      {"shaped square h3", Shaped(12, {{3, 3}}), 8, 8,
       "#######.|#######.|#######.|#######.|#######.|#######.|#######.|........"},
      {"shaped circle h3", Shaped(13, {{3, 3}}), 7, 7, "..###..|.#####.|#######|#######|#######|.#####.|..###.."},
      {"shaped horizontal h3 pen 2", Shaped(17, {{5, 2}}), 10, 3, "..........|.########.|.########."},
      {"shaped vertical h3 pen 2", Shaped(16, {{1, 3}}), 3, 8, "##.|##.|##.|##.|##.|##.|##.|..."},
      {"shaped diagonal h3 pen 2", Shaped(15, {{3, 3}}), 7, 7,
       "##.....|###....|.###...|..###..|...###.|....###|.....##"},
      {"shape out of range draws nothing", Shaped(18, {{3, 3}}), 4, 4, "....|....|....|...."},
      {"text I in the board font",
       [] {
         SDrawing d = Box(kText, 0, 0, 20, 20, false);
         d.text = Bytes(reinterpret_cast<const Uint8*>("I"), 1);
         return d;
       }(),
       6, 10, "......|......|.###..|..#...|..#...|..#...|..#...|..#...|.###..|......"},
      {"text clipped to its rectangle",
       [] {
         SDrawing d = Box(kText, 0, 0, 2, 4, false);
         d.text = Bytes(reinterpret_cast<const Uint8*>("I"), 1);
         return d;
       }(),
       6, 7, "......|......|.##...|..#...|..#...|......|......"},
  };
  for (const auto& c : cases) {
    CMyBoard b;
    const SArea changed = b.Apply(c.op);
    EXPECT_EQ(Region(b, c.w, c.h), c.expected) << c.name;
    // Nothing outside the region, and every change inside the reported area.
    int outside = 0;
    for (int y = 0; y < kBoardSize; ++y)
      for (int x = 0; x < kBoardSize; ++x) {
        if (b.Pixel(x, y) == kBackground) continue;
        outside += x >= c.w || y >= c.h;
        EXPECT_TRUE(x >= changed.left && x < changed.right && y >= changed.top && y < changed.bottom) << c.name;
      }
    EXPECT_EQ(outside, 0) << c.name;
  }
}

TEST(BoardPixels, FilledRectangleIncludesBothCorners) {
  CMyBoard b;
  b.Apply(Box(kRect, 10, 10, 20, 20, true));
  EXPECT_EQ(CountNot(b, kBackground), 121);
  EXPECT_NE(b.Pixel(10, 10), kBackground);
  EXPECT_NE(b.Pixel(20, 20), kBackground);
  EXPECT_EQ(b.Pixel(21, 20), kBackground);
}

TEST(BoardPixels, EraserIsASixteenPixelPenInTheBackground) {
  CMyBoard b;
  b.Clear(0);
  b.Apply(Points(kEraser, {{20, 20}}));
  EXPECT_EQ(CountNot(b, 0), 256);
  EXPECT_EQ(b.Pixel(12, 12), kBackground);
  EXPECT_EQ(b.Pixel(27, 27), kBackground);
  EXPECT_EQ(b.Pixel(28, 27), 0u);
  EXPECT_EQ(b.Pixel(11, 20), 0u);
}

TEST(BoardPixels, MoveAreaLeavesTheRestOfTheSourceInTheBackground) {
  CMyBoard b;
  b.Apply(Box(kRect, 0, 0, 49, 49, true));
  SDrawing move = Op(kMoveArea);
  move.left = 0, move.top = 0, move.right = 50, move.bottom = 50, move.x1 = 25, move.y1 = 25;
  const SArea changed = b.Apply(move);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x) {
      const bool inCopy = x >= 25 && x < 75 && y >= 25 && y < 75;
      ASSERT_EQ(b.Pixel(x, y) != kBackground, inCopy) << x << "," << y;
    }
  EXPECT_EQ(changed, (SArea{0, 0, 75, 75}));
}

TEST(BoardPixels, MoveAreaCopiesThePictureNotTheResult) {
  // Overlapping move to the right: every source pixel is read before it is overwritten.
  CMyBoard b;
  for (int x = 0; x < 10; ++x)
    b.Apply([&] {
      SDrawing d = Box(kRect, x, 0, x, 0, true);
      d.colour = SRgb{Uint8(x), 0, 0};
      return d;
    }());
  SDrawing move = Op(kMoveArea);
  move.left = 0, move.top = 0, move.right = 10, move.bottom = 1, move.x1 = 3, move.y1 = 0;
  b.Apply(move);
  for (int x = 0; x < 3; ++x) EXPECT_EQ(b.Pixel(x, 0), kBackground);
  for (int x = 3; x < 13; ++x) EXPECT_EQ(b.Pixel(x, 0), Uint32(x - 3) << 16);
}

TEST(BoardPixels, FloodFillStopsAtOtherColours) {
  CMyBoard b;
  b.Apply(Box(kRect, 0, 0, 6, 6, false));
  SDrawing fill = Op(kFill);
  fill.colour = kRed;
  fill.x1 = 3, fill.y1 = 3;
  const SArea changed = b.Apply(fill);
  EXPECT_EQ(Region(b, 8, 8, PixelOf(kRed)), "???????.|?#####?.|?#####?.|?#####?.|?#####?.|?#####?.|???????.|........");
  EXPECT_EQ(changed, (SArea{1, 1, 6, 6}));
  // Filling the background outside reaches the whole rest of the board.
  fill.x1 = 100, fill.y1 = 100;
  b.Apply(fill);
  EXPECT_EQ(CountNot(b, PixelOf(kRed)), 24);
  // Outside the board nothing happens.
  fill.x1 = -1;
  EXPECT_TRUE(b.Apply(fill).Empty());
}

TEST(BoardPixels, EraseAndStartPicture) {
  CMyBoard b;
  b.Apply(Box(kRect, 0, 0, 399, 399, true));
  b.Apply(Op(kEraseBoard));
  EXPECT_EQ(CountNot(b, kBackground), 0);
  // A 2 x 2 start picture is scaled into the whole board.
  b.SetStartPicture({1, 2, 3, 4}, 2, 2);
  b.Apply(Op(kStartPicture));
  EXPECT_EQ(b.Pixel(0, 0), 1u);
  EXPECT_EQ(b.Pixel(199, 199), 1u);
  EXPECT_EQ(b.Pixel(200, 0), 2u);
  EXPECT_EQ(b.Pixel(0, 200), 3u);
  EXPECT_EQ(b.Pixel(399, 399), 4u);
}

TEST(BoardPixels, HostileCoordinatesAreClippedAndCheap) {
  CMyBoard b;
  const auto start = std::chrono::steady_clock::now();
  // Pen 255 lines across the whole coordinate range, many times over.
  SDrawing d = Points(kBrush, {}, 255);
  for (int i = 0; i < 400; ++i)
    d.points.push_back(SPoint{Int16(i % 2 ? -32768 : 32767), Int16(i % 2 ? 32767 : -32768)});
  b.Apply(d);
  b.Apply(Box(kOval, -32768, -32768, 32767, 32767, false, 255));
  b.Apply(Box(kRect, -32768, -32768, 32767, 32767, false, 255));
  SDrawing move = Op(kMoveArea);
  move.left = -32768, move.top = -32768, move.right = 32767, move.bottom = 32767, move.x1 = 32767, move.y1 = -32768;
  b.Apply(move);
  SDrawing poly = Points(kPolygon, {{-32768, -32768}, {32767, 0}, {-32768, 32767}});
  poly.filled = true;
  b.Apply(poly);
  SDrawing text = Box(kText, -32768, -32768, 32767, 32767, false);
  text.fontSize = 255;
  text.style = 0x0F;
  text.text = Bytes(255, Uint8('W'));
  b.Apply(text);
  // Not a timing assertion on speed, only a guard against a runaway loop.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(Spray, DotsFollowTheSharedGeneratorFromTheSeed) {
  // The generator written out here from its definition: each point i (from 1) starts
  // at state i * 300 + seed, and x then y take one draw each in -r..r.
  auto expected = [](Uint32 seed, int r, int flow, std::vector<SPoint> pts) {
    std::set<std::pair<int, int>> dots;
    for (std::size_t i = 0; i < pts.size(); ++i) {
      Uint32 state = Uint32(i + 1) * 300u + seed;
      auto draw = [&] {
        state = state * 1103515245u + 12345u;
        return int(-r + ((double(Int32(state)) + 2147483647.0) / 4294967295.0) * (2 * r + 1));
      };
      for (int k = 0; k < flow; ++k) {
        const int dx = draw(), dy = draw();
        // inside the circle inscribed in (x - r + 1, y - r + 1) .. (x + r, y + r), whose
        // centre lies half a pixel right of and below the point's pixel
        if ((dx - 0.5) * (dx - 0.5) + (dy - 0.5) * (dy - 0.5) <= double(r) * r)
          dots.insert({pts[i].x + dx, pts[i].y + dy});
      }
    }
    return dots;
  };
  struct SCase {
    Uint32 seed;
    int r, flow;
    std::vector<SPoint> pts;
  } cases[] = {
      {0, 10, 10, {{100, 100}}}, {12345, 5, 30, {{50, 60}, {52, 61}, {300, 10}}}, {0xFFFFFFFF, 20, 50, {{0, 0}}}};
  for (const auto& c : cases) {
    CMyBoard a, b;
    SDrawing d = Points(kSpray, c.pts);
    d.seed = c.seed;
    d.radius = Uint8(c.r);
    d.flow = Uint8(c.flow);
    a.Apply(d);
    b.Apply(d);
    EXPECT_TRUE(a == b);
    std::set<std::pair<int, int>> got;
    for (int y = 0; y < kBoardSize; ++y)
      for (int x = 0; x < kBoardSize; ++x)
        if (a.Pixel(x, y) != kBackground) got.insert({x, y});
    auto want = expected(c.seed, c.r, c.flow, c.pts);
    std::erase_if(want, [](auto& p) { return p.first < 0 || p.second < 0 || p.first >= 400 || p.second >= 400; });
    EXPECT_EQ(got, want) << "seed " << c.seed;
    EXPECT_FALSE(got.empty());
  }
}

TEST(Spray, OnePointStaysInsideItsCircle) {
  CMyBoard b;
  SDrawing d = Points(kSpray, {{100, 100}});
  d.seed = 0, d.radius = 10, d.flow = 10;
  b.Apply(d);
  const int n = CountNot(b, kBackground);
  EXPECT_GE(n, 1);
  EXPECT_LE(n, 10);
  for (int y = 0; y < kBoardSize; ++y)
    for (int x = 0; x < kBoardSize; ++x)
      if (b.Pixel(x, y) != kBackground) {
        EXPECT_LE((x - 100.5) * (x - 100.5) + (y - 100.5) * (y - 100.5), 100.0);
      }
  // Radius 0 has no circle to draw in.
  CMyBoard z;
  d.radius = 0;
  EXPECT_TRUE(z.Apply(d).Empty());
}

}  // namespace
}  // namespace cv::pw
