// The bounded formatter. Output goes through one writer that drops everything past
// the capacity, so no conversion can overrun, however wide or precise it asks to be.
#include <climits>
#include <cstring>

#include "framework/text.h"

namespace cv::UText {

namespace {

class Writer {
 public:
  Writer(Uint8* out, std::size_t capacity) : out_(out), cap_(capacity) {}

  bool Full() const { return len_ >= cap_; }
  std::size_t Length() const { return len_; }

  void Put(Uint8 c) {
    if (len_ < cap_) out_[len_++] = c;
  }
  void Put(const void* p, std::size_t n) {
    const std::size_t room = cap_ - len_;
    if (n > room) n = room;
    if (n) std::memcpy(out_ + len_, p, n);
    len_ += n;
  }
  void Repeat(Uint8 c, std::size_t n) {
    const std::size_t room = cap_ - len_;
    if (n > room) n = room;
    if (n) std::memset(out_ + len_, c, n);
    len_ += n;
  }

 private:
  Uint8* out_;
  std::size_t cap_;
  std::size_t len_ = 0;
};

// Widths and precisions beyond this are cut; the output is bounded by capacity anyway.
constexpr int kMaxField = 1 << 24;

int ParseDigits(const char*& p) {
  int v = 0;
  while (*p >= '0' && *p <= '9') {
    if (v < kMaxField) v = v * 10 + (*p - '0');
    ++p;
  }
  return v > kMaxField ? kMaxField : v;
}

struct Conversion {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;  // -1: not given
  bool half = false;
};

void Pad(Writer& w, std::size_t n) { w.Repeat(' ', n); }

void EmitText(Writer& w, const Conversion& s, const Uint8* text, std::size_t n) {
  const std::size_t width = std::size_t(s.width);
  const std::size_t pad = width > n ? width - n : 0;
  if (!s.left) Pad(w, pad);
  w.Put(text, n);
  if (s.left) Pad(w, pad);
}

void EmitNumber(Writer& w, const Conversion& s, char conv, Uint32 magnitude, bool negative) {
  // Digits, least significant first.
  char digits[16];
  int nd = 0;
  const bool upper = conv == 'X' || conv == 'p';
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  const unsigned base = (conv == 'o') ? 8 : (conv == 'x' || conv == 'X' || conv == 'p') ? 16 : 10;
  for (Uint32 v = magnitude; v; v /= base) digits[nd++] = set[v % base];

  const bool isSigned = conv == 'd' || conv == 'i';
  char sign = 0;
  if (isSigned) {
    if (negative)
      sign = '-';
    else if (s.plus)
      sign = '+';
    else if (s.space)
      sign = ' ';
  }
  const char* prefix = "";
  if (s.alt && conv == 'x') prefix = "0x";
  if (s.alt && conv == 'X') prefix = "0X";
  const std::size_t prefixLen = std::strlen(prefix);

  long precision = s.precision;
  if (conv == 'p') precision = 8;
  if (precision < 0) {
    precision = 1;
    if (s.zero && !s.left) {
      long p = long(s.width) - (sign ? 1 : 0) - long(prefixLen);
      if (p > precision) precision = p;
    }
  }
  std::size_t zeros = precision > nd ? std::size_t(precision - nd) : 0;
  // The alternate octal form starts with a 0 unless the digits already do.
  if (s.alt && conv == 'o' && zeros == 0 && (nd == 0 || digits[nd - 1] != '0')) zeros = 1;

  const std::size_t total = (sign ? 1 : 0) + prefixLen + zeros + std::size_t(nd);
  const std::size_t width = std::size_t(s.width);
  const std::size_t pad = width > total ? width - total : 0;
  if (!s.left) Pad(w, pad);
  if (sign) w.Put(Uint8(sign));
  w.Put(prefix, prefixLen);
  w.Repeat('0', zeros);
  for (int i = nd - 1; i >= 0 && !w.Full(); --i) w.Put(Uint8(digits[i]));
  if (s.left) Pad(w, pad);
}

}  // namespace

std::size_t FormatArgs(void* buffer, std::size_t capacity, const char* tmpl, va_list args) {
  if (!buffer || !capacity || !tmpl) return 0;
  Writer w(static_cast<Uint8*>(buffer), capacity);
  va_list ap;
  va_copy(ap, args);
  const char* p = tmpl;
  while (*p && !w.Full()) {
    if (*p != '%') {
      const char* run = p;
      while (*p && *p != '%') ++p;
      w.Put(run, std::size_t(p - run));
      continue;
    }
    ++p;
    Conversion s;
    for (;; ++p) {
      if (*p == '-')
        s.left = true;
      else if (*p == '+')
        s.plus = true;
      else if (*p == ' ')
        s.space = true;
      else if (*p == '#')
        s.alt = true;
      else if (*p == '0')
        s.zero = true;
      else
        break;
    }
    if (*p == '*') {
      ++p;
      int v = va_arg(ap, int);
      if (v < 0) {
        s.left = true;
        v = (v == INT_MIN) ? kMaxField : -v;
      }
      s.width = v > kMaxField ? kMaxField : v;
    } else {
      s.width = ParseDigits(p);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        ++p;
        const int v = va_arg(ap, int);
        s.precision = v < 0 ? -1 : (v > kMaxField ? kMaxField : v);
      } else {
        s.precision = ParseDigits(p);
      }
    }
    for (;; ++p) {
      if (*p == 'h')
        s.half = true;
      else if (*p == 'l')
        s.half = false;
      else if (*p != 'L')
        break;
    }
    const char conv = *p;
    if (conv == '\0') break;
    ++p;
    switch (conv) {
      case 'd':
      case 'i': {
        Int32 v = va_arg(ap, int);
        if (s.half) v = Int16(v);
        const bool neg = v < 0;
        const Uint32 mag = neg ? Uint32(0) - Uint32(v) : Uint32(v);
        EmitNumber(w, s, conv, mag, neg);
        break;
      }
      case 'u':
      case 'o':
      case 'x':
      case 'X':
      case 'p': {
        Uint32 v = va_arg(ap, unsigned int);
        if (s.half && conv != 'p') v = Uint16(v);
        EmitNumber(w, s, conv, v, false);
        break;
      }
      case 'c': {
        const Uint8 c = Uint8(va_arg(ap, int));
        EmitText(w, s, &c, 1);
        break;
      }
      case 's': {
        const Uint8* text;
        std::size_t n;
        if (s.alt) {
          text = static_cast<const Uint8*>(va_arg(ap, const void*));
          n = text ? text[0] : 0;
          if (text) ++text;
        } else {
          text = static_cast<const Uint8*>(va_arg(ap, const void*));
          if (!text) {
            n = 0;
          } else if (s.precision >= 0) {
            // Never read past the cap: the string need not be terminated within it.
            const void* end = std::memchr(text, 0, std::size_t(s.precision));
            n = end ? std::size_t(static_cast<const Uint8*>(end) - text) : std::size_t(s.precision);
          } else {
            n = std::strlen(reinterpret_cast<const char*>(text));
          }
        }
        if (s.precision >= 0 && n > std::size_t(s.precision)) n = std::size_t(s.precision);
        EmitText(w, s, text, n);
        break;
      }
      case 'n': {
        void* target = va_arg(ap, void*);
        if (target) {
          if (s.half) {
            const Uint16 v = Uint16(w.Length());
            std::memcpy(target, &v, sizeof v);
          } else {
            const Uint32 v = Uint32(w.Length());
            std::memcpy(target, &v, sizeof v);
          }
        }
        break;
      }
      case '%':
        w.Put('%');
        break;
      default:
        va_end(ap);
        return w.Length();
    }
  }
  va_end(ap);
  return w.Length();
}

std::size_t Format(void* buffer, std::size_t capacity, const char* tmpl, ...) {
  va_list ap;
  va_start(ap, tmpl);
  const std::size_t n = FormatArgs(buffer, capacity, tmpl, ap);
  va_end(ap);
  return n;
}

std::string FmtArgs(std::size_t capacity, const char* tmpl, va_list args) {
  std::string out(capacity, '\0');
  out.resize(FormatArgs(out.data(), capacity, tmpl, args));
  return out;
}

std::string Fmt(const char* tmpl, ...) {
  va_list ap;
  va_start(ap, tmpl);
  std::string out = FmtArgs(kFmtCapacity, tmpl, ap);
  va_end(ap);
  return out;
}

std::string FmtN(std::size_t capacity, const char* tmpl, ...) {
  va_list ap;
  va_start(ap, tmpl);
  std::string out = FmtArgs(capacity, tmpl, ap);
  va_end(ap);
  return out;
}

}  // namespace cv::UText
