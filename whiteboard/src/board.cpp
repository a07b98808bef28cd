#include "whiteboard/board.h"

#include <algorithm>
#include <cmath>

#include "framework/random.h"
#include "whiteboard/src/font.h"

namespace cv::pw {

namespace {

constexpr int kEraserPen = 16;

// Whether pixel (x, y) has its centre inside the ellipse inscribed in the rectangle
// from (l, t) to (r, b), both corners included (l <= r, t <= b).
bool InEllipse(int l, int t, int r, int b, int x, int y) {
  const __int128 a = r - l + 1, bb = b - t + 1;
  const __int128 dx = 2 * x - l - r, dy = 2 * y - t - b;
  return dx * dx * bb * bb + dy * dy * a * a <= a * a * bb * bb;
}

void Order(int& lo, int& hi) {
  if (lo > hi) std::swap(lo, hi);
}

}  // namespace

CMyBoard::CMyBoard() : pixels_(kBoardSize * kBoardSize, kBackground) {}

Uint32 CMyBoard::Pixel(int x, int y) const {
  if (unsigned(x) >= unsigned(kBoardSize) || unsigned(y) >= unsigned(kBoardSize)) return kBackground;
  return pixels_[y * kBoardSize + x];
}

void CMyBoard::Touch(int l, int t, int r, int b) {
  if (touched_.Empty()) {
    touched_ = {l, t, r, b};
    return;
  }
  touched_.left = std::min(touched_.left, l);
  touched_.top = std::min(touched_.top, t);
  touched_.right = std::max(touched_.right, r);
  touched_.bottom = std::max(touched_.bottom, b);
}

void CMyBoard::FillBox(int l, int t, int r, int b, Uint32 c) {
  l = std::max(l, 0);
  t = std::max(t, 0);
  r = std::min(r, kBoardSize);
  b = std::min(b, kBoardSize);
  if (r <= l || b <= t) return;
  for (int y = t; y < b; ++y) std::fill(&pixels_[y * kBoardSize + l], &pixels_[y * kBoardSize + r], c);
  Touch(l, t, r, b);
}

void CMyBoard::Clear(Uint32 colour) { FillBox(0, 0, kBoardSize, kBoardSize, colour); }

void CMyBoard::SetStartPicture(std::vector<Uint32> pixels, int width, int height) {
  if (width <= 0 || height <= 0 || pixels.size() != std::size_t(width) * std::size_t(height)) {
    start_.clear();
    startW_ = startH_ = 0;
    return;
  }
  start_ = std::move(pixels);
  startW_ = width;
  startH_ = height;
}

void CMyBoard::Line(int x1, int y1, int x2, int y2, int pen, Uint32 c) {
  pen = std::max(pen, 1);
  const int off = pen / 2;
  const int dx = x2 - x1, dy = y2 - y1;
  const bool xMajor = std::abs(dx) >= std::abs(dy);
  const int steps = std::max(std::abs(dx), std::abs(dy));
  const Int64 amaj = xMajor ? std::abs(dx) : std::abs(dy), amin = xMajor ? std::abs(dy) : std::abs(dx);
  const int smaj = (xMajor ? dx : dy) < 0 ? -1 : 1, smin = (xMajor ? dy : dx) < 0 ? -1 : 1;
  const int m1 = xMajor ? x1 : y1, n1 = xMajor ? y1 : x1;

  // Only the steps whose pen square can reach the board along the major axis.
  const int lo = off - pen + 1, hi = kBoardSize + off - 1;
  int kmin = smaj > 0 ? lo - m1 : m1 - hi, kmax = smaj > 0 ? hi - m1 : m1 - lo;
  kmin = std::max(kmin, 0);
  kmax = std::min(kmax, steps);
  bool first = true;
  int px = 0, py = 0;
  for (int k = kmin; k <= kmax; ++k) {
    const int m = m1 + smaj * k;
    const int n = steps ? n1 + smin * int((2 * k * amin + amaj) / (2 * amaj)) : n1;
    const int x = xMajor ? m : n, y = xMajor ? n : m;
    if (first) {
      FillBox(x - off, y - off, x - off + pen, y - off + pen, c);
      first = false;
    } else {
      // The square moved by at most one pixel each way: only its leading column and
      // row are new.
      if (x != px) {
        const int col = x > px ? x - off + pen - 1 : x - off;
        FillBox(col, y - off, col + 1, y - off + pen, c);
      }
      if (y != py) {
        const int row = y > py ? y - off + pen - 1 : y - off;
        FillBox(x - off, row, x - off + pen, row + 1, c);
      }
    }
    px = x;
    py = y;
  }
}

void CMyBoard::Polyline(const std::vector<SPoint>& pts, int pen, Uint32 c) {
  if (pts.size() == 1) Line(pts[0].x, pts[0].y, pts[0].x, pts[0].y, pen, c);
  for (std::size_t i = 1; i < pts.size(); ++i) Line(pts[i - 1].x, pts[i - 1].y, pts[i].x, pts[i].y, pen, c);
}

void CMyBoard::Rectangle(int l, int t, int r, int b, bool filled, int pen, Uint32 c) {
  Order(l, r);
  Order(t, b);
  pen = std::max(pen, 1);
  if (filled || 2 * pen >= r - l + 1 || 2 * pen >= b - t + 1) {
    FillBox(l, t, r + 1, b + 1, c);
    return;
  }
  FillBox(l, t, r + 1, t + pen, c);
  FillBox(l, b - pen + 1, r + 1, b + 1, c);
  FillBox(l, t + pen, l + pen, b - pen + 1, c);
  FillBox(r - pen + 1, t + pen, r + 1, b - pen + 1, c);
}

void CMyBoard::Oval(int l, int t, int r, int b, bool filled, int pen, Uint32 c) {
  Order(l, r);
  Order(t, b);
  pen = std::max(pen, 1);
  const int il = l + pen, it = t + pen, ir = r - pen, ib = b - pen;
  const bool hollow = !filled && ir >= il && ib >= it;
  for (int y = std::max(t, 0); y <= std::min(b, kBoardSize - 1); ++y) {
    for (int x = std::max(l, 0); x <= std::min(r, kBoardSize - 1); ++x) {
      if (!InEllipse(l, t, r, b, x, y)) continue;
      if (hollow && x >= il && x <= ir && y >= it && y <= ib && InEllipse(il, it, ir, ib, x, y)) continue;
      Plot(x, y, c);
    }
  }
}

void CMyBoard::FillPolygon(const std::vector<SPoint>& pts, Uint32 c) {
  if (pts.size() < 3) return;
  int ymin = pts[0].y, ymax = pts[0].y;
  for (const SPoint& p : pts) {
    ymin = std::min<int>(ymin, p.y);
    ymax = std::max<int>(ymax, p.y);
  }
  std::vector<double> xs;
  for (int y = std::max(ymin, 0); y <= std::min(ymax, kBoardSize - 1); ++y) {
    const double yc = y + 0.5;
    xs.clear();
    for (std::size_t i = 0; i < pts.size(); ++i) {
      const SPoint& a = pts[i];
      const SPoint& b = pts[(i + 1) % pts.size()];
      if ((a.y <= yc) == (b.y <= yc)) continue;
      xs.push_back(a.x + (yc - a.y) * double(b.x - a.x) / double(b.y - a.y));
    }
    std::sort(xs.begin(), xs.end());
    for (std::size_t i = 0; i + 1 < xs.size(); i += 2) {
      const double from = std::ceil(xs[i] - 0.5), to = std::ceil(xs[i + 1] - 0.5);
      const int x0 = int(std::max(from, 0.0)), x1 = int(std::min(to, double(kBoardSize)));
      if (x1 > x0) FillBox(x0, y, x1, y + 1, c);
    }
  }
}

void CMyBoard::Spray(Uint32 seed, int radius, int flow, const std::vector<SPoint>& pts, Uint32 c) {
  if (radius < 1) return;  // the circle inscribed in an empty square holds no pixel
  URandom rng;
  for (std::size_t i = 0; i < pts.size(); ++i) {
    const int px = pts[i].x, py = pts[i].y;
    rng.SetState(Int32(Uint32(i + 1) * 300u + seed));
    for (int d = 0; d < flow; ++d) {
      const int x = px + rng.Draw(-radius, radius);
      const int y = py + rng.Draw(-radius, radius);
      if (InEllipse(px - radius + 1, py - radius + 1, px + radius, py + radius, x, y)) Plot(x, y, c);
    }
  }
}

void CMyBoard::Stamp(int shape, int x, int y, Uint32 c) {
  if (shape < 0 || shape > 17) return;
  static constexpr int kHalf[3] = {9, 5, 3};
  const int h = kHalf[shape / 6];
  switch (shape % 6) {
    case 0:
      FillBox(x - h, y - h, x + h + 1, y + h + 1, c);
      break;
    case 1:
      Oval(x - h, y - h, x + h, y + h, true, 1, c);
      break;
    case 2:
      Line(x + h, y - h, x - h, y + h, 2, c);
      break;
    case 3:
      Line(x - h, y - h, x + h, y + h, 2, c);
      break;
    case 4:
      Line(x, y - h, x, y + h, 2, c);
      break;
    case 5:
      Line(x - h, y, x + h, y, 2, c);
      break;
  }
}

void CMyBoard::Text(const SDrawing& d) {
  int l = d.left, t = d.top, r = d.right, b = d.bottom;
  Order(l, r);
  Order(t, b);
  const Uint32 c = PixelOf(d.colour);
  const int s = std::max(1, d.fontSize / 12);
  const bool bold = d.style & kStyleBold, italic = d.style & kStyleItalic;
  const bool underline = d.style & kStyleUnderline, outline = d.style & kStyleOutline;
  const int advance = 6 * s + (bold ? 1 : 0) + (outline ? 2 : 0);
  const int lineHeight = 9 * s + (outline ? 2 : 0);
  auto plot = [&](int x, int y) {
    if (x >= l && x <= r && y >= t && y <= b) Plot(x, y, c);
  };

  // A glyph cell with a one-pixel margin for the outline style.
  const int cellW = 5 * s + 2 * s + 3, cellH = 7 * s + 2;
  std::vector<Uint8> cell(std::size_t(cellW) * cellH);
  int cx = l, cy = t + 2;
  for (Uint8 ch : d.text) {
    if (ch == '\r' || ch == '\n') {
      cx = l;
      cy += lineHeight;
      continue;
    }
    if (cx > l && cx + 5 * s > r + 1) {
      cx = l;
      cy += lineHeight;
    }
    if (cy > b) break;
    std::fill(cell.begin(), cell.end(), Uint8(0));
    const Uint8* rows = GlyphRows(ch);
    for (int row = 0; row < 7; ++row) {
      const int shift = italic ? (6 - row) * s / 3 : 0;
      for (int col = 0; col < 5; ++col) {
        if (!(rows[row] & (0x10 >> col))) continue;
        for (int yy = 0; yy < s; ++yy)
          for (int xx = 0; xx < s + (bold ? 1 : 0); ++xx)
            cell[std::size_t(1 + row * s + yy) * cellW + 1 + shift + col * s + xx] = 1;
      }
    }
    for (int y = 0; y < cellH; ++y) {
      for (int x = 0; x < cellW; ++x) {
        bool on = cell[std::size_t(y) * cellW + x];
        if (outline) {
          bool near = false;
          for (int ny = std::max(0, y - 1); ny <= std::min(cellH - 1, y + 1) && !near; ++ny)
            for (int nx = std::max(0, x - 1); nx <= std::min(cellW - 1, x + 1); ++nx)
              if (cell[std::size_t(ny) * cellW + nx]) near = true;
          on = near && !on;
        }
        if (on) plot(cx + x - (outline ? 0 : 1), cy + y - (outline ? 0 : 1));
      }
    }
    if (underline)
      for (int yy = 0; yy < s; ++yy)
        for (int x = 0; x < advance; ++x) plot(cx + x, cy + 8 * s + yy);
    cx += advance;
  }
}

void CMyBoard::MoveArea(int l, int t, int r, int b, int destLeft, int destTop) {
  const int w = r - l, h = b - t;
  if (w <= 0 || h <= 0) return;
  const std::vector<Uint32> before = pixels_;
  auto old = [&](int x, int y) {
    if (unsigned(x) >= unsigned(kBoardSize) || unsigned(y) >= unsigned(kBoardSize)) return kBackground;
    return before[y * kBoardSize + x];
  };
  const int dl = std::max(destLeft, 0), dt = std::max(destTop, 0);
  const int dr = int(std::min<Int64>(Int64(destLeft) + w, kBoardSize));
  const int db = int(std::min<Int64>(Int64(destTop) + h, kBoardSize));
  for (int y = dt; y < db; ++y)
    for (int x = dl; x < dr; ++x) pixels_[y * kBoardSize + x] = old(l + x - destLeft, t + y - destTop);
  if (dr > dl && db > dt) Touch(dl, dt, dr, db);
  // What is left of the source takes the background.
  const int sl = std::max(l, 0), st = std::max(t, 0), sr = std::min(r, kBoardSize), sb = std::min(b, kBoardSize);
  for (int y = st; y < sb; ++y)
    for (int x = sl; x < sr; ++x)
      if (x < destLeft || x >= destLeft + w || y < destTop || y >= destTop + h) Plot(x, y, kBackground);
}

void CMyBoard::FloodFill(int x, int y, Uint32 c) {
  if (unsigned(x) >= unsigned(kBoardSize) || unsigned(y) >= unsigned(kBoardSize)) return;
  const Uint32 target = pixels_[y * kBoardSize + x];
  if (target == c) return;
  std::vector<int> stack{y * kBoardSize + x};
  pixels_[y * kBoardSize + x] = c;
  int minX = x, maxX = x, minY = y, maxY = y;
  while (!stack.empty()) {
    const int i = stack.back();
    stack.pop_back();
    const int px = i % kBoardSize, py = i / kBoardSize;
    minX = std::min(minX, px);
    maxX = std::max(maxX, px);
    minY = std::min(minY, py);
    maxY = std::max(maxY, py);
    const int next[4][2] = {{px - 1, py}, {px + 1, py}, {px, py - 1}, {px, py + 1}};
    for (const auto& n : next) {
      if (unsigned(n[0]) >= unsigned(kBoardSize) || unsigned(n[1]) >= unsigned(kBoardSize)) continue;
      const int j = n[1] * kBoardSize + n[0];
      if (pixels_[j] != target) continue;
      pixels_[j] = c;
      stack.push_back(j);
    }
  }
  Touch(minX, minY, maxX + 1, maxY + 1);
}

SArea CMyBoard::Apply(const SDrawing& d) {
  touched_ = {};
  const Uint32 c = PixelOf(d.colour);
  switch (d.type) {
    case kBrush:
      Polyline(d.points, d.penSize, c);
      break;
    case kEraser:
      Polyline(d.points, kEraserPen, kBackground);
      break;
    case kRect:
      Rectangle(d.left, d.top, d.right, d.bottom, d.filled, d.penSize, c);
      break;
    case kOval:
      Oval(d.left, d.top, d.right, d.bottom, d.filled, d.penSize, c);
      break;
    case kPolygon:
      if (d.filled)
        FillPolygon(d.points, c);
      else
        Polyline(d.points, d.penSize, c);
      break;
    case kLine:
      Line(d.x1, d.y1, d.x2, d.y2, d.penSize, c);
      break;
    case kSpray:
      Spray(d.seed, d.radius, d.flow, d.points, c);
      break;
    case kShapedBrush:
      for (const SPoint& p : d.points) Stamp(d.shape, p.x, p.y, c);
      break;
    case kText:
      Text(d);
      break;
    case kMoveArea:
      MoveArea(d.left, d.top, d.right, d.bottom, d.x1, d.y1);
      break;
    case kFill:
      FloodFill(d.x1, d.y1, c);
      break;
    case kEraseBoard:
      Clear(kBackground);
      break;
    case kStartPicture:
      if (start_.empty()) {
        Clear(kBackground);
        break;
      }
      for (int y = 0; y < kBoardSize; ++y)
        for (int x = 0; x < kBoardSize; ++x)
          pixels_[y * kBoardSize + x] =
              start_[std::size_t(y * startH_ / kBoardSize) * startW_ + x * startW_ / kBoardSize];
      Touch(0, 0, kBoardSize, kBoardSize);
      break;
    default:
      break;
  }
  return touched_;
}

}  // namespace cv::pw
