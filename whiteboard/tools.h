// Tools turn mouse movement into drawing operations. The board window feeds presses,
// moves and releases; the tool answers with the operations to draw locally and send.
#pragma once

#include <optional>
#include <vector>

#include "framework/random.h"
#include "whiteboard/peer_protocol.h"

namespace cv::pw {

// Tool numbers, which are also the message types they produce, and their keys.
enum : Uint8 {
  kToolBrush = 0,
  kToolEraser = 1,
  kToolRect = 2,
  kToolOval = 3,
  kToolPolygon = 4,
  kToolLine = 5,
  kToolSpray = 6,
  kToolShapedBrush = 7,
  kToolText = 8,
  kToolSelection = 9,
  kToolPicker = 10,
  kToolFill = 11,
};
// The tool a key selects ('P', 'E', ... case-insensitive), or none.
std::optional<Uint8> ToolForKey(char key);

inline constexpr std::size_t kSlowSegment = 20;
inline constexpr std::size_t kFastSegment = 7;

// Cuts a stroke into segments: a segment goes out when it holds the segment size, and
// the next one starts with its last point so segments join without gaps. Flush (on
// the 500 ms timer and on release) gives what was collected since the last segment.
class CMyStrokeSegmenter {
 public:
  explicit CMyStrokeSegmenter(std::size_t segment = kSlowSegment) : segment_(segment) {}
  void SetSegmentSize(std::size_t n) { segment_ = n < 2 ? 2 : (n > kMaxPoints ? kMaxPoints : n); }

  void Begin(SPoint p);
  // A full segment, when this point completed one.
  std::optional<std::vector<SPoint>> Add(SPoint p);
  // The points not sent yet (with the joining point), or none when nothing is new.
  std::optional<std::vector<SPoint>> Flush();
  // Flush, then the stroke is over.
  std::optional<std::vector<SPoint>> End();
  bool Active() const { return active_; }

 private:
  std::size_t segment_;
  std::vector<SPoint> points_;
  bool fresh_ = false;  // a stroke of one point still goes out once
  bool active_ = false;
};

// The current tool settings of a copy.
struct SMyToolState {
  Uint8 tool = kToolBrush;
  SRgb colour{0, 0, 0};
  Uint8 penSize = 1;
  bool filled = false;
  Uint8 shape = 0;
  Uint8 sprayRadius = 10, sprayFlow = 10;
  Uint8 fontSize = 12, style = 0;
  Bytes fontName = Bytes(reinterpret_cast<const Uint8*>("Courier"), 7);
};

// The operation of a stroke segment for the current tool (brush, eraser, polygon,
// spray, shaped brush); the spray gets its seed from rng.
SDrawing StrokeOperation(const SMyToolState& s, std::vector<SPoint> points, URandom& rng);
// Rectangle, oval and line from a press at a to a release at b.
SDrawing DragOperation(const SMyToolState& s, SPoint a, SPoint b);
SDrawing TextOperation(const SMyToolState& s, SPoint at, Bytes text);
SDrawing MoveOperation(Int16 l, Int16 t, Int16 r, Int16 b, SPoint dest);
SDrawing FillOperation(const SMyToolState& s, SPoint at);
// Alt+double-click on the line tool: four grid lines, one pen size thicker.
std::vector<SDrawing> GridOperations(const SMyToolState& s);
// Control+X on a selection: a filled rectangle in the background colour.
SDrawing CutOperation(Int16 l, Int16 t, Int16 r, Int16 b);

// The text of alert 170 when the own privileges do not allow the tool, else none.
const char* RefusalFor(Uint8 tool, Uint32 ownPrivileges);

}  // namespace cv::pw
