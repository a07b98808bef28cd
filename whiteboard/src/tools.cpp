#include "whiteboard/tools.h"

#include <cctype>

#include "whiteboard/board.h"

namespace cv::pw {

std::optional<Uint8> ToolForKey(char key) {
  static constexpr char kKeys[] = "PEROYLSBTMIK";
  const char k = char(std::toupper(static_cast<unsigned char>(key)));
  for (Uint8 i = 0; i < 12; ++i)
    if (kKeys[i] == k) return i;
  return std::nullopt;
}

void CMyStrokeSegmenter::Begin(SPoint p) {
  points_.assign(1, p);
  fresh_ = true;
  active_ = true;
}

std::optional<std::vector<SPoint>> CMyStrokeSegmenter::Add(SPoint p) {
  if (!active_) return std::nullopt;
  points_.push_back(p);
  fresh_ = false;
  if (points_.size() < segment_) return std::nullopt;
  std::vector<SPoint> out;
  out.swap(points_);
  points_.assign(1, out.back());
  return out;
}

std::optional<std::vector<SPoint>> CMyStrokeSegmenter::Flush() {
  if (!active_) return std::nullopt;
  if (points_.size() < 2 && !fresh_) return std::nullopt;
  fresh_ = false;
  std::vector<SPoint> out;
  out.swap(points_);
  points_.assign(1, out.back());
  return out;
}

std::optional<std::vector<SPoint>> CMyStrokeSegmenter::End() {
  auto rest = Flush();
  active_ = false;
  points_.clear();
  return rest;
}

SDrawing StrokeOperation(const SMyToolState& s, std::vector<SPoint> points, URandom& rng) {
  SDrawing d;
  d.colour = s.colour;
  d.penSize = s.penSize;
  d.points = std::move(points);
  switch (s.tool) {
    case kToolEraser:
      d.type = kEraser;
      break;
    case kToolPolygon:
      d.type = kPolygon;
      d.filled = s.filled;
      break;
    case kToolSpray:
      d.type = kSpray;
      d.seed = Uint32(rng.Next());
      d.radius = s.sprayRadius;
      d.flow = s.sprayFlow;
      break;
    case kToolShapedBrush:
      d.type = kShapedBrush;
      d.shape = s.shape;
      break;
    default:
      d.type = kBrush;
      break;
  }
  return d;
}

SDrawing DragOperation(const SMyToolState& s, SPoint a, SPoint b) {
  SDrawing d;
  d.colour = s.colour;
  d.penSize = s.penSize;
  d.filled = s.filled;
  if (s.tool == kToolLine) {
    d.type = kLine;
    d.x1 = a.x;
    d.y1 = a.y;
    d.x2 = b.x;
    d.y2 = b.y;
    return d;
  }
  d.type = s.tool == kToolOval ? kOval : kRect;
  d.left = std::min(a.x, b.x);
  d.top = std::min(a.y, b.y);
  d.right = std::max(a.x, b.x);
  d.bottom = std::max(a.y, b.y);
  return d;
}

SDrawing TextOperation(const SMyToolState& s, SPoint at, Bytes text) {
  SDrawing d;
  d.type = kText;
  d.colour = s.colour;
  d.left = at.x;
  d.top = at.y;
  d.right = Int16(kBoardSize - 1);
  d.bottom = Int16(kBoardSize - 1);
  d.fontSize = s.fontSize;
  d.style = s.style;
  d.fontName = s.fontName;
  if (text.size() > kMaxChatText) text.resize(kMaxChatText);
  d.text = std::move(text);
  return d;
}

SDrawing MoveOperation(Int16 l, Int16 t, Int16 r, Int16 b, SPoint dest) {
  SDrawing d;
  d.type = kMoveArea;
  d.left = l;
  d.top = t;
  d.right = r;
  d.bottom = b;
  d.x1 = dest.x;
  d.y1 = dest.y;
  return d;
}

SDrawing FillOperation(const SMyToolState& s, SPoint at) {
  SDrawing d;
  d.type = kFill;
  d.colour = s.colour;
  d.x1 = at.x;
  d.y1 = at.y;
  return d;
}

std::vector<SDrawing> GridOperations(const SMyToolState& s) {
  static constexpr Int16 kLines[4][4] = {
      {30, 120, 370, 120}, {30, 280, 370, 280}, {120, 30, 120, 370}, {280, 30, 280, 370}};
  std::vector<SDrawing> out;
  for (const auto& l : kLines) {
    SDrawing d;
    d.type = kLine;
    d.colour = s.colour;
    d.penSize = Uint8(s.penSize < 255 ? s.penSize + 1 : 255);
    d.x1 = l[0];
    d.y1 = l[1];
    d.x2 = l[2];
    d.y2 = l[3];
    out.push_back(d);
  }
  return out;
}

SDrawing CutOperation(Int16 l, Int16 t, Int16 r, Int16 b) {
  SDrawing d;
  d.type = kRect;
  d.filled = true;
  d.penSize = 1;
  d.colour = RgbOf(kBackground);
  d.left = l;
  d.top = t;
  d.right = r;
  d.bottom = b;
  return d;
}

const char* RefusalFor(Uint8 tool, Uint32 own) {
  if (tool == kToolPicker) return nullptr;
  if (!(own & kCanDraw)) return "draw";
  return nullptr;
}

}  // namespace cv::pw
