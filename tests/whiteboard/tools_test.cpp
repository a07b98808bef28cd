#include "whiteboard/tools.h"

#include <gtest/gtest.h>

#include "whiteboard/board.h"

namespace cv::pw {
namespace {

std::vector<SPoint> Line(int n) {
  std::vector<SPoint> p;
  for (int i = 0; i < n; ++i) p.push_back({Int16(i), Int16(2 * i)});
  return p;
}

std::vector<std::vector<SPoint>> Cut(std::size_t segment, const std::vector<SPoint>& pts,
                                     const std::vector<std::size_t>& ticksAfter = {}) {
  CMyStrokeSegmenter s(segment);
  std::vector<std::vector<SPoint>> out;
  s.Begin(pts[0]);
  for (std::size_t i = 1; i < pts.size(); ++i) {
    if (auto seg = s.Add(pts[i])) out.push_back(*seg);
    for (std::size_t t : ticksAfter)
      if (t == i)
        if (auto seg = s.Flush()) out.push_back(*seg);
  }
  if (auto seg = s.End()) out.push_back(*seg);
  return out;
}

TEST(StrokeSegments, SlowConnectionCutsAt20PointsAndJoins) {
  const auto pts = Line(45);
  const auto segs = Cut(kSlowSegment, pts);
  ASSERT_EQ(segs.size(), 3u);
  EXPECT_EQ(segs[0].size(), 20u);
  EXPECT_EQ(segs[1].size(), 20u);
  EXPECT_EQ(segs[2].size(), 7u);
  EXPECT_EQ(segs[1].front(), segs[0].back());
  EXPECT_EQ(segs[2].front(), segs[1].back());
  EXPECT_EQ(segs[2].back(), pts.back());
}

TEST(StrokeSegments, FastConnectionTimerAndSinglePoint) {
  const auto fast = Cut(kFastSegment, Line(13));
  ASSERT_EQ(fast.size(), 2u);
  EXPECT_EQ(fast[0].size(), 7u);
  EXPECT_EQ(fast[1].size(), 7u);
  // The timer sends what was collected so far; a tick with nothing new sends nothing.
  const auto ticked = Cut(kSlowSegment, Line(10), {4, 4, 9});
  ASSERT_EQ(ticked.size(), 2u);
  EXPECT_EQ(ticked[0].size(), 5u);
  EXPECT_EQ(ticked[1].size(), 6u);
  // A click without a move is one point.
  const auto click = Cut(kSlowSegment, Line(1));
  ASSERT_EQ(click.size(), 1u);
  EXPECT_EQ(click[0].size(), 1u);
}

TEST(StrokeSegments, SegmentsDrawTheSameAsTheWholeStroke) {
  SMyToolState st;
  st.penSize = 3;
  URandom rng(1);
  const auto pts = Line(45);
  CMyBoard whole, pieces;
  whole.Apply(StrokeOperation(st, pts, rng));
  for (const auto& seg : Cut(kFastSegment, pts)) pieces.Apply(StrokeOperation(st, seg, rng));
  EXPECT_TRUE(whole == pieces);
}

TEST(Tools, KeysOperationsAndRefusals) {
  EXPECT_EQ(ToolForKey('p'), kToolBrush);
  EXPECT_EQ(ToolForKey('K'), kToolFill);
  EXPECT_EQ(ToolForKey('M'), kToolSelection);
  EXPECT_EQ(ToolForKey('I'), kToolPicker);
  EXPECT_FALSE(ToolForKey('Q'));

  SMyToolState st;
  st.penSize = 4;
  st.colour = {1, 2, 3};
  const auto grid = GridOperations(st);
  ASSERT_EQ(grid.size(), 4u);
  EXPECT_EQ(grid[2].x1, 120);
  EXPECT_EQ(grid[2].y2, 370);
  for (const auto& g : grid) {
    EXPECT_EQ(g.type, kLine);
    EXPECT_EQ(g.penSize, 5);
  }
  const SDrawing cut = CutOperation(1, 2, 3, 4);
  EXPECT_EQ(cut.type, kRect);
  EXPECT_TRUE(cut.filled);
  EXPECT_EQ(PixelOf(cut.colour), kBackground);

  st.tool = kToolOval;
  const SDrawing oval = DragOperation(st, {50, 10}, {20, 40});
  EXPECT_EQ(oval.type, kOval);
  EXPECT_EQ(oval.left, 20);
  EXPECT_EQ(oval.bottom, 40);

  st.tool = kToolSpray;
  URandom rng(5);
  const SDrawing a = StrokeOperation(st, Line(3), rng), b = StrokeOperation(st, Line(3), rng);
  EXPECT_EQ(a.type, kSpray);
  EXPECT_NE(a.seed, b.seed);

  EXPECT_STREQ(RefusalFor(kToolBrush, kAllPrivileges & ~kCanDraw), "draw");
  EXPECT_EQ(RefusalFor(kToolBrush, kCanDraw), nullptr);
  EXPECT_EQ(RefusalFor(kToolPicker, 0), nullptr);
}

}  // namespace
}  // namespace cv::pw
