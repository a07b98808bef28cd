// Generated sounds (sine tones with a soft attack and a decay) and images (shapes drawn
// with 4 x 4 supersampling, stored as PNG with a small fixed-code deflate).
#include "framework/src/resources_synth.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>

namespace cv::RezSynth {

namespace {

constexpr double kPi = 3.14159265358979323846;

// ---- WAVE ----

void AppendLE16(Bytes& b, Uint16 v) {
  b.push_back(Uint8(v));
  b.push_back(Uint8(v >> 8));
}
void AppendLE32(Bytes& b, Uint32 v) {
  AppendLE16(b, Uint16(v));
  AppendLE16(b, Uint16(v >> 16));
}

Bytes Wave(const std::vector<double>& samples, Uint32 rate) {
  Bytes b;
  const Uint32 dataSize = Uint32(samples.size() * 2);
  AppendBytes(b, "RIFF", 4);
  AppendLE32(b, 36 + dataSize);
  AppendBytes(b, "WAVEfmt ", 8);
  AppendLE32(b, 16);
  AppendLE16(b, 1);  // PCM
  AppendLE16(b, 1);  // mono
  AppendLE32(b, rate);
  AppendLE32(b, rate * 2);
  AppendLE16(b, 2);
  AppendLE16(b, 16);
  AppendBytes(b, "data", 4);
  AppendLE32(b, dataSize);
  for (double s : samples) {
    const double c = std::clamp(s, -1.0, 1.0);
    AppendLE16(b, Uint16(Int16(std::lround(c * 32000))));
  }
  return b;
}

// A tone with a 5 ms attack and an exponential decay, plus a soft octave partial.
void AddTone(std::vector<double>& out, std::size_t start, double freq, double seconds, double rate, double gain) {
  const std::size_t n = std::size_t(seconds * rate);
  if (out.size() < start + n) out.resize(start + n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = double(i) / rate;
    const double attack = std::min(1.0, t / 0.005);
    const double decay = std::exp(-t * 5.0 / seconds);
    const double v = std::sin(2 * kPi * freq * t) + 0.25 * std::sin(4 * kPi * freq * t);
    out[start + i] += gain * attack * decay * v;
  }
}

}  // namespace

Bytes Sound(const std::string& kind, const std::vector<double>& p, std::string& error) {
  constexpr double rate = 22050;
  auto arg = [&](std::size_t i, double def) { return i < p.size() ? p[i] : def; };
  std::vector<double> s;
  if (kind == "chime") {
    const double ms = arg(2, 300) / 1000;
    AddTone(s, 0, arg(0, 660), ms * 0.6, rate, 0.45);
    AddTone(s, std::size_t(ms * 0.35 * rate), arg(1, 880), ms * 0.65, rate, 0.45);
  } else if (kind == "beep") {
    AddTone(s, 0, arg(0, 880), arg(1, 150) / 1000, rate, 0.5);
  } else if (kind == "sweep") {
    const double seconds = arg(2, 250) / 1000, f1 = arg(0, 400), f2 = arg(1, 1200);
    const std::size_t n = std::size_t(seconds * rate);
    double phase = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double t = double(i) / double(n);
      phase += 2 * kPi * (f1 + (f2 - f1) * t) / rate;
      const double env = std::min(1.0, t * 40) * (1 - t);
      s.push_back(0.5 * env * std::sin(phase));
    }
  } else if (kind == "click") {
    // A decaying burst from a fixed linear congruence: the same bytes on every build.
    const std::size_t n = std::size_t(arg(0, 30) / 1000 * rate);
    Uint32 state = 12345;
    for (std::size_t i = 0; i < n; ++i) {
      state = state * 1103515245u + 12345u;
      const double noise = double(Int32(state) >> 8) / double(1 << 23);
      s.push_back(0.6 * noise * std::exp(-double(i) / double(n) * 6));
    }
  } else if (kind == "knock") {
    AddTone(s, 0, arg(0, 180), 0.09, rate, 0.7);
    AddTone(s, std::size_t(0.13 * rate), arg(0, 180) * 0.9, 0.09, rate, 0.6);
  } else {
    error = "unknown sound kind \"" + kind + "\"";
    return {};
  }
  return Wave(s, Uint32(rate));
}

// ---- PNG ----

namespace {

Uint32 PngCrc(const Uint8* p, std::size_t n, Uint32 crc = 0xFFFFFFFFu) {
  static const auto table = [] {
    std::array<Uint32, 256> t{};
    for (Uint32 i = 0; i < 256; ++i) {
      Uint32 c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  for (std::size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

class BitWriter {
 public:
  void Bits(Uint32 value, int count) {  // least significant bit first
    for (int i = 0; i < count; ++i) Push((value >> i) & 1);
  }
  void Code(Uint32 code, int length) {  // Huffman codes go most significant bit first
    for (int i = length - 1; i >= 0; --i) Push((code >> i) & 1);
  }
  Bytes Finish() {
    if (nbits_) out_.push_back(cur_);
    return out_;
  }

 private:
  void Push(Uint32 bit) {
    cur_ |= Uint8(bit << nbits_);
    if (++nbits_ == 8) {
      out_.push_back(cur_);
      cur_ = 0;
      nbits_ = 0;
    }
  }
  Bytes out_;
  Uint8 cur_ = 0;
  int nbits_ = 0;
};

void Literal(BitWriter& w, int v) {
  if (v < 144)
    w.Code(0x30 + v, 8);
  else if (v < 256)
    w.Code(0x190 + (v - 144), 9);
  else if (v < 280)
    w.Code(v - 256, 7);
  else
    w.Code(0xC0 + (v - 280), 8);
}

constexpr int kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                              31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                               193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void Match(BitWriter& w, int length, int distance) {
  int li = 28;
  while (kLenBase[li] > length) --li;
  Literal(w, 257 + li);
  w.Bits(Uint32(length - kLenBase[li]), kLenExtra[li]);
  int di = 29;
  while (kDistBase[di] > distance) --di;
  w.Code(Uint32(di), 5);
  w.Bits(Uint32(distance - kDistBase[di]), kDistExtra[di]);
}

// One fixed-code block; matches are tried only at a few distances (neighbouring
// pixels and the rows above), which is what flat generated images repeat.
Bytes Deflate(const Bytes& in, std::size_t stride) {
  BitWriter w;
  w.Bits(1, 1);  // final block
  w.Bits(1, 2);  // fixed codes
  std::vector<std::size_t> candidates = {1, 2, 3, 4, 8, stride, stride * 2};
  std::size_t i = 0;
  while (i < in.size()) {
    int bestLen = 0, bestDist = 0;
    for (std::size_t d : candidates) {
      if (d == 0 || d > i || d > 32768) continue;
      int len = 0;
      while (len < 258 && i + std::size_t(len) < in.size() && in[i + std::size_t(len)] == in[i + std::size_t(len) - d])
        ++len;
      if (len > bestLen) bestLen = len, bestDist = int(d);
    }
    if (bestLen >= 3) {
      Match(w, bestLen, bestDist);
      i += std::size_t(bestLen);
    } else {
      Literal(w, in[i++]);
    }
  }
  Literal(w, 256);
  return w.Finish();
}

void Chunk(Bytes& png, const char* type, const Bytes& data) {
  AppendU32(png, Uint32(data.size()));
  Bytes typed(reinterpret_cast<const Uint8*>(type), 4);
  typed += data;
  png += typed;
  AppendU32(png, PngCrc(typed.data(), typed.size()) ^ 0xFFFFFFFFu);
}

}  // namespace

Bytes EncodePng(const std::vector<Uint8>& rgba, int width, int height) {
  const std::size_t rowBytes = std::size_t(width) * 4;
  Bytes raw;
  raw.reserve((rowBytes + 1) * std::size_t(height));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // no filter
    raw.append(rgba.data() + rowBytes * std::size_t(y), rowBytes);
  }
  Bytes z = {0x78, 0x01};
  z += Deflate(raw, rowBytes + 1);
  Uint32 a = 1, b = 0;
  for (Uint8 c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  AppendU32(z, (b << 16) | a);

  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  AppendU32(ihdr, Uint32(width));
  AppendU32(ihdr, Uint32(height));
  ihdr += Bytes{8, 6, 0, 0, 0};  // 8-bit RGBA
  Chunk(png, "IHDR", ihdr);
  Chunk(png, "IDAT", z);
  Chunk(png, "IEND", {});
  return png;
}

// ---- drawing ----

namespace {

struct Colour {
  double r, g, b, a = 1;
};

Colour FromRgb(Uint32 rgb) { return {((rgb >> 16) & 255) / 255.0, ((rgb >> 8) & 255) / 255.0, (rgb & 255) / 255.0}; }
Colour Shade(Colour c, double f) {  // f < 1 darker, > 1 towards white
  if (f <= 1) return {c.r * f, c.g * f, c.b * f, c.a};
  const double t = f - 1;
  return {c.r + (1 - c.r) * t, c.g + (1 - c.g) * t, c.b + (1 - c.b) * t, c.a};
}

using Shape = std::function<bool(double x, double y)>;

class Canvas {
 public:
  Canvas(int w, int h) : w_(w), h_(h), px_(std::size_t(w) * std::size_t(h), Colour{0, 0, 0, 0}) {}

  // Coordinates are in a 0..32 square scaled to the canvas (pictures use their own).
  void Paint(const Shape& inside, Colour c, double sx = 1, double sy = 1) {
    for (int y = 0; y < h_; ++y)
      for (int x = 0; x < w_; ++x) {
        int hits = 0;
        for (int j = 0; j < 4; ++j)
          for (int i = 0; i < 4; ++i)
            if (inside((x + (i + 0.5) / 4) / sx, (y + (j + 0.5) / 4) / sy)) ++hits;
        if (hits) Blend(px_[std::size_t(y) * std::size_t(w_) + std::size_t(x)], c, c.a * hits / 16.0);
      }
  }

  std::vector<Uint8> Rgba() const {
    std::vector<Uint8> out;
    out.reserve(px_.size() * 4);
    for (const Colour& c : px_) {
      const double a = c.a;
      auto ch = [&](double v) { return Uint8(std::lround(std::clamp(a > 0 ? v / a : 0.0, 0.0, 1.0) * 255)); };
      out.push_back(ch(c.r));
      out.push_back(ch(c.g));
      out.push_back(ch(c.b));
      out.push_back(Uint8(std::lround(std::clamp(a, 0.0, 1.0) * 255)));
    }
    return out;
  }

 private:
  // Premultiplied "over".
  static void Blend(Colour& dst, Colour src, double alpha) {
    dst.r = src.r * alpha + dst.r * (1 - alpha);
    dst.g = src.g * alpha + dst.g * (1 - alpha);
    dst.b = src.b * alpha + dst.b * (1 - alpha);
    dst.a = alpha + dst.a * (1 - alpha);
  }
  int w_, h_;
  std::vector<Colour> px_;
};

Shape Rect(double x0, double y0, double x1, double y1) {
  return [=](double x, double y) { return x >= x0 && x < x1 && y >= y0 && y < y1; };
}
Shape RoundRect(double x0, double y0, double x1, double y1, double r) {
  return [=](double x, double y) {
    if (x < x0 || x >= x1 || y < y0 || y >= y1) return false;
    const double cx = std::clamp(x, x0 + r, x1 - r), cy = std::clamp(y, y0 + r, y1 - r);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
  };
}
Shape Circle(double cx, double cy, double r) {
  return [=](double x, double y) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r; };
}
Shape Ring(double cx, double cy, double r0, double r1) {
  return [=](double x, double y) {
    const double d = (x - cx) * (x - cx) + (y - cy) * (y - cy);
    return d <= r1 * r1 && d >= r0 * r0;
  };
}
Shape Poly(std::vector<std::pair<double, double>> pts) {
  return [pts](double x, double y) {
    bool in = false;
    for (std::size_t i = 0, j = pts.size() - 1; i < pts.size(); j = i++) {
      const auto [xi, yi] = pts[i];
      const auto [xj, yj] = pts[j];
      if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) in = !in;
    }
    return in;
  };
}
Shape Line(double x0, double y0, double x1, double y1, double width) {
  return [=](double x, double y) {
    const double dx = x1 - x0, dy = y1 - y0, len2 = dx * dx + dy * dy;
    const double t = len2 > 0 ? std::clamp(((x - x0) * dx + (y - y0) * dy) / len2, 0.0, 1.0) : 0;
    const double px = x0 + t * dx - x, py = y0 + t * dy - y;
    return px * px + py * py <= width * width / 4;
  };
}
Shape Minus(Shape a, Shape b) {
  return [=](double x, double y) { return a(x, y) && !b(x, y); };
}

const Colour kInk{0.15, 0.15, 0.18};
const Colour kPaper{0.98, 0.98, 0.96};
const Colour kWhite{1, 1, 1};

void Outlined(Canvas& c, const Shape& outer, const Shape& inner, Colour fill) {
  c.Paint(outer, kInk);
  c.Paint(inner, fill);
}

void Document(Canvas& c, Colour accent, bool lines) {
  auto page = Poly({{7, 3}, {20, 3}, {26, 9}, {26, 29}, {7, 29}});
  auto inner = Poly({{8, 4}, {19.5, 4}, {25, 9.5}, {25, 28}, {8, 28}});
  Outlined(c, page, inner, kPaper);
  c.Paint(Poly({{19.5, 4}, {25, 9.5}, {19.5, 9.5}}), Shade(accent, 1.5));
  if (lines)
    for (int i = 0; i < 5; ++i) c.Paint(Rect(10, 12 + i * 3, 23, 13.2 + i * 3), accent);
}

void Folder(Canvas& c, Colour col) {
  Outlined(c, RoundRect(3, 6, 15, 12, 1.5), RoundRect(4, 7, 14, 12, 1), Shade(col, 0.85));
  Outlined(c, RoundRect(3, 9, 29, 27, 1.5), RoundRect(4, 10, 28, 26, 1), col);
}

void Person(Canvas& c, Colour col) {
  Outlined(c, Circle(16, 10.5, 6.5), Circle(16, 10.5, 5.5), Shade(col, 1.4));
  auto body = Minus(Circle(16, 31, 12.5), Rect(0, 0, 32, 18.5));
  auto bodyIn = Minus(Circle(16, 31, 11.5), Rect(0, 0, 32, 19.5));
  Outlined(c, body, bodyIn, col);
}

void Arrow(Canvas& c, Colour col, bool down) {
  auto pts = std::vector<std::pair<double, double>>{{12, 4}, {20, 4}, {20, 15}, {27, 15}, {16, 28}, {5, 15}, {12, 15}};
  if (!down)
    for (auto& p : pts) p.second = 32 - p.second;
  c.Paint(Poly(pts), kInk);
  for (auto& p : pts) {
    p.first = 16 + (p.first - 16) * 0.82;
    p.second = 16 + (p.second - 16) * 0.82;
  }
  c.Paint(Poly(pts), col);
}

using Painter = std::function<void(Canvas&, Colour)>;

const std::map<std::string, Painter>& Painters() {
  static const std::map<std::string, Painter> painters = {
      {"document", [](Canvas& c, Colour k) { Document(c, k, false); }},
      {"text", [](Canvas& c, Colour k) { Document(c, k, true); }},
      {"partial",
       [](Canvas& c, Colour k) {
         Document(c, k, false);
         Outlined(c, Rect(9, 18, 24, 23), Rect(10, 19, 23, 22), kWhite);
         c.Paint(Rect(10, 19, 16.5, 22), k);
       }},
      {"folder", [](Canvas& c, Colour k) { Folder(c, k); }},
      {"dropbox",
       [](Canvas& c, Colour k) {
         Folder(c, k);
         c.Paint(Poly({{13, 12}, {19, 12}, {19, 17}, {23, 17}, {16, 24}, {9, 17}, {13, 17}}), kInk);
       }},
      {"archive",
       [](Canvas& c, Colour k) {
         Outlined(c, RoundRect(5, 5, 27, 28, 2), RoundRect(6, 6, 26, 27, 1.5), k);
         for (int i = 0; i < 4; ++i) c.Paint(Rect(6, 9 + i * 5, 26, 10.5 + i * 5), Shade(k, 0.6));
       }},
      {"zip",
       [](Canvas& c, Colour k) {
         Outlined(c, RoundRect(6, 3, 26, 29, 2), RoundRect(7, 4, 25, 28, 1.5), k);
         for (int i = 0; i < 8; ++i) c.Paint(Rect(i % 2 ? 16 : 14, 4 + i * 2.5, i % 2 ? 18 : 16, 5.5 + i * 2.5), kInk);
         Outlined(c, RoundRect(13, 23, 19, 28, 1), RoundRect(14, 24, 18, 27, 0.8), Shade(k, 1.5));
       }},
      {"picture",
       [](Canvas& c, Colour k) {
         Outlined(c, Rect(3, 6, 29, 26), Rect(4, 7, 28, 25), Shade(k, 1.7));
         c.Paint(Circle(22, 12, 3), Colour{1, 0.8, 0.2});
         c.Paint(Poly({{4, 25}, {12, 13}, {19, 22}, {22, 18}, {28, 25}}), k);
       }},
      {"app",
       [](Canvas& c, Colour k) {
         Outlined(c, Poly({{16, 2}, {30, 16}, {16, 30}, {2, 16}}), Poly({{16, 4}, {28, 16}, {16, 28}, {4, 16}}), k);
         c.Paint(Circle(16, 16, 5), kWhite);
       }},
      {"bookmark",
       [](Canvas& c, Colour k) {
         Outlined(c, Poly({{8, 3}, {24, 3}, {24, 29}, {16, 22}, {8, 29}}),
                  Poly({{9, 4}, {23, 4}, {23, 27}, {16, 20.5}, {9, 27}}), k);
       }},
      {"segment",
       [](Canvas& c, Colour k) {
         for (int i = 2; i >= 0; --i)
           Outlined(c, Rect(5 + i * 3, 4 + i * 3, 21 + i * 3, 24 + i * 3),
                    Rect(6 + i * 3, 5 + i * 3, 20 + i * 3, 23 + i * 3), Shade(k, 1.0 + 0.25 * i));
       }},
      {"alias",
       [](Canvas& c, Colour k) {
         Document(c, k, false);
         c.Paint(Line(10, 25, 20, 15, 3), kInk);
         c.Paint(Poly({{14, 13}, {22, 13}, {22, 21}}), kInk);
       }},
      {"disk",
       [](Canvas& c, Colour k) {
         Outlined(c, RoundRect(4, 8, 28, 24, 3), RoundRect(5, 9, 27, 23, 2.5), k);
         c.Paint(Circle(22, 16, 2), Colour{0.3, 0.9, 0.3});
         c.Paint(Rect(8, 15, 17, 17), kInk);
       }},
      {"music",
       [](Canvas& c, Colour k) {
         c.Paint(Circle(10, 24, 4.5), k);
         c.Paint(Circle(23, 21, 4.5), k);
         c.Paint(Rect(13, 6, 15, 24), k);
         c.Paint(Rect(26, 4, 28, 21), k);
         c.Paint(Poly({{13, 6}, {28, 3}, {28, 8}, {13, 11}}), k);
       }},
      {"movie",
       [](Canvas& c, Colour k) {
         c.Paint(Rect(4, 5, 28, 27), kInk);
         for (int i = 0; i < 6; ++i) {
           c.Paint(Rect(5.5, 6.5 + i * 3.5, 7.5, 8.5 + i * 3.5), kWhite);
           c.Paint(Rect(24.5, 6.5 + i * 3.5, 26.5, 8.5 + i * 3.5), kWhite);
         }
         c.Paint(Rect(9, 7, 23, 15), k);
         c.Paint(Rect(9, 17, 23, 25), Shade(k, 1.4));
       }},
      {"person", [](Canvas& c, Colour k) { Person(c, k); }},
      {"newperson",
       [](Canvas& c, Colour k) {
         Person(c, k);
         c.Paint(Circle(25, 7, 6), kInk);
         c.Paint(Rect(24, 3, 26, 11), kWhite);
         c.Paint(Rect(21, 6, 29, 8), kWhite);
       }},
      {"openperson",
       [](Canvas& c, Colour k) {
         Person(c, k);
         c.Paint(Ring(24, 7, 2, 4), Colour{0.85, 0.7, 0.1});
         c.Paint(Line(24, 11, 24, 17, 2), Colour{0.85, 0.7, 0.1});
       }},
      {"download", [](Canvas& c, Colour k) { Arrow(c, k, true); }},
      {"upload", [](Canvas& c, Colour k) { Arrow(c, k, false); }},
      {"refresh",
       [](Canvas& c, Colour k) {
         c.Paint(Minus(Ring(16, 16, 7, 12), Poly({{16, 16}, {32, 4}, {32, 16}})), k);
         c.Paint(Poly({{21, 2}, {30, 11}, {19, 14}}), k);
       }},
      {"trash",
       [](Canvas& c, Colour k) {
         Outlined(c, Poly({{7, 9}, {25, 9}, {23, 29}, {9, 29}}), Poly({{8.5, 10}, {23.5, 10}, {22, 28}, {10, 28}}), k);
         c.Paint(Rect(5, 6, 27, 8.5), kInk);
         c.Paint(Rect(13, 3, 19, 6), kInk);
         for (int i = 0; i < 3; ++i) c.Paint(Rect(12 + i * 3.5, 13, 13.5 + i * 3.5, 25), Shade(k, 0.6));
       }},
      {"info",
       [](Canvas& c, Colour k) {
         Outlined(c, Circle(16, 16, 13), Circle(16, 16, 12), k);
         c.Paint(Circle(16, 9.5, 2), kWhite);
         c.Paint(RoundRect(14, 13, 18, 25, 1), kWhite);
       }},
      {"message",
       [](Canvas& c, Colour k) {
         Outlined(c, Rect(3, 8, 29, 25), Rect(4, 9, 28, 24), Shade(k, 1.6));
         c.Paint(Line(4, 9, 16, 18, 1.5), kInk);
         c.Paint(Line(28, 9, 16, 18, 1.5), kInk);
       }},
      {"chat",
       [](Canvas& c, Colour k) {
         Outlined(c, RoundRect(2, 4, 26, 20, 5), RoundRect(3, 5, 25, 19, 4), k);
         c.Paint(Poly({{7, 18}, {13, 18}, {6, 25}}), kInk);
         Outlined(c, RoundRect(12, 13, 30, 26, 4), RoundRect(13, 14, 29, 25, 3), Shade(k, 1.5));
       }},
      {"news",
       [](Canvas& c, Colour k) {
         Outlined(c, Rect(3, 5, 29, 27), Rect(4, 6, 28, 26), kPaper);
         c.Paint(Rect(6, 8, 26, 12), k);
         for (int i = 0; i < 4; ++i) {
           c.Paint(Rect(6, 15 + i * 3, 15, 16.2 + i * 3), kInk);
           c.Paint(Rect(17, 15 + i * 3, 26, 16.2 + i * 3), kInk);
         }
       }},
      {"post",
       [](Canvas& c, Colour k) {
         Document(c, Colour{0.5, 0.5, 0.5}, true);
         c.Paint(Line(12, 26, 27, 11, 5), kInk);
         c.Paint(Line(12.5, 25.5, 26.5, 11.5, 3), k);
       }},
      {"connect",
       [](Canvas& c, Colour k) {
         Outlined(c, Poly({{18, 2}, {7, 18}, {15, 18}, {12, 30}, {25, 13}, {17, 13}, {20, 2}}),
                  Poly({{18.3, 3.5}, {8.8, 17}, {16.3, 17}, {14, 26.5}, {23, 14}, {15.5, 14}, {18.6, 3.5}}), k);
       }},
      {"stop",
       [](Canvas& c, Colour k) {
         std::vector<std::pair<double, double>> oct, in;
         for (int i = 0; i < 8; ++i) {
           const double a = kPi / 8 + i * kPi / 4;
           oct.push_back({16 + 14 * std::cos(a), 16 + 14 * std::sin(a)});
           in.push_back({16 + 12.5 * std::cos(a), 16 + 12.5 * std::sin(a)});
         }
         Outlined(c, Poly(oct), Poly(in), k);
         c.Paint(Rect(9, 14, 23, 18), kWhite);
       }},
      {"start",
       [](Canvas& c, Colour k) {
         Outlined(c, Poly({{8, 4}, {27, 16}, {8, 28}}), Poly({{9.2, 6.2}, {25, 16}, {9.2, 25.8}}), k);
       }},
      {"tasks",
       [](Canvas& c, Colour k) {
         Outlined(c, Rect(5, 3, 27, 29), Rect(6, 4, 26, 28), kPaper);
         for (int i = 0; i < 4; ++i) {
           c.Paint(Rect(8, 7 + i * 5.5, 12, 11 + i * 5.5), k);
           c.Paint(Rect(14, 8.5 + i * 5.5, 24, 10 + i * 5.5), kInk);
         }
       }},
      {"options",
       [](Canvas& c, Colour k) {
         std::vector<std::pair<double, double>> gear;
         for (int i = 0; i < 32; ++i) {
           const double a = i * kPi / 16;
           const double r = (i / 2) % 2 ? 10.5 : 14;
           gear.push_back({16 + r * std::cos(a), 16 + r * std::sin(a)});
         }
         c.Paint(Minus(Poly(gear), Circle(16, 16, 4.5)), k);
       }},
      {"quit",
       [](Canvas& c, Colour k) {
         c.Paint(Minus(Ring(16, 17, 9, 12.5), Poly({{16, 17}, {9, 0}, {23, 0}})), k);
         c.Paint(RoundRect(14.2, 2, 17.8, 17, 1.5), k);
       }},
      {"tracker",
       [](Canvas& c, Colour k) {
         Outlined(c, Circle(16, 16, 13), Circle(16, 16, 12), k);
         c.Paint(Ring(16, 16, 11, 12), kInk);
         c.Paint(Minus(Circle(16, 16, 12), Minus(Circle(16, 16, 12), Rect(15.3, 0, 16.7, 32))), kInk);
         c.Paint(Minus(Circle(16, 16, 12), Minus(Circle(16, 16, 12), Rect(0, 15.3, 32, 16.7))), kInk);
         c.Paint(Ring(16, 16, 5.5, 6.7), kInk);
       }},
      {"about",
       [](Canvas& c, Colour k) {
         std::vector<std::pair<double, double>> star;
         for (int i = 0; i < 10; ++i) {
           const double a = -kPi / 2 + i * kPi / 5;
           const double r = i % 2 ? 6 : 14;
           star.push_back({16 + r * std::cos(a), 17 + r * std::sin(a)});
         }
         c.Paint(Poly(star), kInk);
         for (auto& p : star) p = {16 + (p.first - 16) * 0.85, 17 + (p.second - 17) * 0.85};
         c.Paint(Poly(star), k);
       }},
  };
  return painters;
}

// 5 x 7 capitals for the few words the pictures carry.
const std::map<char, std::array<const char*, 7>>& Glyphs() {
  static const std::map<char, std::array<const char*, 7>> glyphs = {
      {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
      {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
      {'I', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "#####"}},
      {'N', {"#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"}},
      {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
      {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "##.##", "#...#"}},
      {'V', {"#...#", "#...#", "#...#", "#...#", ".#.#.", ".#.#.", "..#.."}},
      {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
  };
  return glyphs;
}

Shape TextShape(const std::string& text, double x0, double y0, double cell) {
  return [=](double x, double y) {
    const int col = int(std::floor((x - x0) / cell)), row = int(std::floor((y - y0) / cell));
    if (col < 0 || row < 0 || row >= 7) return false;
    const std::size_t ch = std::size_t(col / 6);
    if (ch >= text.size() || col % 6 == 5) return false;
    auto it = Glyphs().find(text[ch]);
    return it != Glyphs().end() && it->second[std::size_t(row)][col % 6] == '#';
  };
}

}  // namespace

Bytes Icon(const std::string& shape, Uint32 colour, int size, std::string& error) {
  auto it = Painters().find(shape);
  if (it == Painters().end()) {
    error = "unknown icon shape \"" + shape + "\"";
    return {};
  }
  if (size != 16 && size != 32) {
    error = "icons are 16 or 32 pixels";
    return {};
  }
  if (size == 32) {
    Canvas c(32, 32);
    it->second(c, FromRgb(colour));
    return EncodePng(c.Rgba(), 32, 32);
  }
  // 16-pixel icons: draw at 32 and average 2 x 2 blocks.
  Canvas full(32, 32);
  it->second(full, FromRgb(colour));
  const std::vector<Uint8> src = full.Rgba();
  std::vector<Uint8> dst(std::size_t(size) * std::size_t(size) * 4);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      double sum[4] = {0, 0, 0, 0};
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
          const std::size_t s = (std::size_t(y * 2 + dy) * 32 + std::size_t(x * 2 + dx)) * 4;
          const double a = src[s + 3] / 255.0;
          for (int k = 0; k < 3; ++k) sum[k] += src[s + std::size_t(k)] * a;
          sum[3] += a;
        }
      const std::size_t d = (std::size_t(y) * std::size_t(size) + std::size_t(x)) * 4;
      for (int k = 0; k < 3; ++k) dst[d + std::size_t(k)] = Uint8(sum[3] > 0 ? std::lround(sum[k] / sum[3]) : 0);
      dst[d + 3] = Uint8(std::lround(sum[3] / 4 * 255));
    }
  return EncodePng(dst, size, size);
}

Bytes Picture(const std::string& kind, int width, int height, std::string& error) {
  if (kind != "start") {
    error = "unknown picture \"" + kind + "\"";
    return {};
  }
  if (width < 32 || height < 32 || width > 2048 || height > 2048) {
    error = "picture size out of range";
    return {};
  }
  // Drawn on a 400-unit square, then scaled to the requested size.
  const double sx = width / 400.0, sy = height / 400.0;
  Canvas c(width, height);
  c.Paint(Rect(0, 0, 400, 400), Colour{0.55, 0.78, 0.95}, sx, sy);
  c.Paint(Circle(320, 80, 38), Colour{1.0, 0.85, 0.3}, sx, sy);
  c.Paint(Minus(Circle(90, 420, 190), Rect(0, 400, 400, 800)), Colour{0.35, 0.65, 0.35}, sx, sy);
  c.Paint(Minus(Circle(330, 470, 230), Rect(0, 400, 400, 800)), Colour{0.25, 0.55, 0.3}, sx, sy);
  // Brush strokes: a wave across the sky.
  for (int i = 0; i < 40; ++i) {
    const double x0 = 20 + i * 9, x1 = x0 + 9;
    const double y0 = 200 + 25 * std::sin(x0 / 40), y1 = 200 + 25 * std::sin(x1 / 40);
    c.Paint(Line(x0, y0, x1, y1, 10), Colour{0.9, 0.25 + 0.015 * i, 0.35}, sx, sy);
  }
  c.Paint(TextShape("PAINTWAVE", 61, 110, 5.2), Colour{1, 1, 1, 0.95}, sx, sy);
  return EncodePng(c.Rgba(), width, height);
}

}  // namespace cv::RezSynth
