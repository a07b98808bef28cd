// The shared board: a 400 x 400 picture that every copy in a session keeps for itself.
// Boards stay alike because every drawing operation here is deterministic, pixel for
// pixel, on every copy; the window only shows these pixels.
//
// Pixel rules, for all copies alike:
// - A pen of size w is a w x w square whose top-left pixel is (x - w/2, y - w/2).
// - A line steps along its longer axis one pixel at a time; the other coordinate is
//   the exact value rounded half up. The pen is stamped at every step.
// - Rectangles and ovals include both corners; an outline of width w lies inside.
//   A pixel belongs to an oval when its centre lies in the inscribed ellipse.
// - A filled polygon takes the pixels whose centres lie inside (even-odd rule).
// - Text uses the board's own 5 x 7 font, scaled by the font size.
#pragma once

#include <vector>

#include "framework/types.h"
#include "whiteboard/peer_protocol.h"

namespace cv::pw {

inline constexpr int kBoardSize = 400;
// Pixels are 0x00RRGGBB.
inline constexpr Uint32 kBackground = 0xFFFFFF;

inline constexpr Uint32 PixelOf(const SRgb& c) { return (Uint32(c.r) << 16) | (Uint32(c.g) << 8) | c.b; }
inline constexpr SRgb RgbOf(Uint32 p) { return SRgb{Uint8(p >> 16), Uint8(p >> 8), Uint8(p)}; }
// The window toolkit works with 16-bit components.
inline constexpr Uint16 Widen(Uint8 v) { return Uint16(v * 257); }

// A pixel area, right and bottom exclusive; empty when right <= left or bottom <= top.
struct SArea {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool Empty() const { return right <= left || bottom <= top; }
  bool operator==(const SArea&) const = default;
};

class CMyBoard {
 public:
  CMyBoard();

  Uint32 Pixel(int x, int y) const;  // the background outside the board
  const std::vector<Uint32>& Pixels() const { return pixels_; }
  bool operator==(const CMyBoard& o) const { return pixels_ == o.pixels_; }

  // Draws one operation and returns the area whose pixels may have changed.
  SArea Apply(const SDrawing& d);

  // The picture that a start-picture operation draws, scaled into the board; without
  // one, the board is cleared to the background.
  void SetStartPicture(std::vector<Uint32> pixels, int width, int height);

  // Primitives, usable by tools and tests alike.
  void Clear(Uint32 colour);
  void Line(int x1, int y1, int x2, int y2, int pen, Uint32 colour);
  void Polyline(const std::vector<SPoint>& pts, int pen, Uint32 colour);
  void Rectangle(int l, int t, int r, int b, bool filled, int pen, Uint32 colour);
  void Oval(int l, int t, int r, int b, bool filled, int pen, Uint32 colour);
  void FillPolygon(const std::vector<SPoint>& pts, Uint32 colour);
  void Spray(Uint32 seed, int radius, int flow, const std::vector<SPoint>& pts, Uint32 colour);
  void Stamp(int shape, int x, int y, Uint32 colour);
  void Text(const SDrawing& d);
  void MoveArea(int l, int t, int r, int b, int destLeft, int destTop);
  void FloodFill(int x, int y, Uint32 colour);

 private:
  void Plot(int x, int y, Uint32 c) {
    if (unsigned(x) < unsigned(kBoardSize) && unsigned(y) < unsigned(kBoardSize)) {
      pixels_[y * kBoardSize + x] = c;
      Touch(x, y, x + 1, y + 1);
    }
  }
  void FillBox(int l, int t, int r, int b, Uint32 c);  // r, b exclusive, clipped
  void Touch(int l, int t, int r, int b);

  std::vector<Uint32> pixels_;
  std::vector<Uint32> start_;
  int startW_ = 0, startH_ = 0;
  SArea touched_;
};

}  // namespace cv::pw
