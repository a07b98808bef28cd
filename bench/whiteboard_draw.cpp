// Strokes per second on the board model: the work every copy does for each drawing
// message it receives.
#include <chrono>
#include <cstdio>
#include <vector>

#include "whiteboard/board.h"

using namespace cv;
using namespace cv::pw;

namespace {

double Rate(const char* name, const SDrawing& op, int rounds) {
  CMyBoard board;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) board.Apply(op);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double rate = rounds / s;
  std::printf("%-34s %10.0f ops/s  (%d in %.3f s)\n", name, rate, rounds, s);
  return rate;
}

SDrawing StrokeOf(Uint16 type, Uint8 pen, std::size_t points) {
  SDrawing d;
  d.type = type;
  d.penSize = pen;
  d.colour = {10, 20, 30};
  d.radius = 10;
  d.flow = 10;
  for (std::size_t i = 0; i < points; ++i) d.points.push_back({Int16(20 + (i * 7) % 360), Int16(20 + (i * 13) % 360)});
  return d;
}

}  // namespace

int main() {
  Rate("brush 20 points pen 1", StrokeOf(kBrush, 1, 20), 20000);
  Rate("brush 20 points pen 8", StrokeOf(kBrush, 8, 20), 20000);
  Rate("brush 400 points pen 32", StrokeOf(kBrush, 32, 400), 500);
  Rate("eraser 20 points", StrokeOf(kEraser, 1, 20), 20000);
  Rate("spray 20 points r10 flow10", StrokeOf(kSpray, 1, 20), 20000);
  SDrawing shaped = StrokeOf(kShapedBrush, 1, 20);
  shaped.shape = 1;
  Rate("shaped circle 20 points", shaped, 20000);
  SDrawing oval;
  oval.type = kOval;
  oval.left = 0, oval.top = 0, oval.right = 399, oval.bottom = 399;
  Rate("oval outline whole board", oval, 200);
  SDrawing fill;
  fill.type = kFill;
  fill.x1 = 200, fill.y1 = 200;
  CMyBoard b;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) {
    fill.colour = {Uint8(i), 0, 0};
    b.Apply(fill);
  }
  std::printf("%-34s %10.0f ops/s\n", "flood fill whole board",
              100 / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return 0;
}
