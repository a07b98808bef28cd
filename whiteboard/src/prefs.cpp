#include "whiteboard/prefs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "framework/errors.h"

namespace cv::pw {

namespace {

constexpr Uint32 kPrefsMagic = FourCC("PWSL");

class CReader {
 public:
  explicit CReader(ByteView b) : b_(b) {}
  bool Ok() const { return ok_; }
  Uint8 U8() {
    if (!Need(1)) return 0;
    return b_[pos_++];
  }
  Uint16 U16() {
    if (!Need(2)) return 0;
    pos_ += 2;
    return ReadU16(b_.data() + pos_ - 2);
  }
  Int16 I16() { return Int16(U16()); }
  Uint32 U32() {
    if (!Need(4)) return 0;
    pos_ += 4;
    return ReadU32(b_.data() + pos_ - 4);
  }
  Bytes Counted() {
    const Uint8 n = U8();
    if (!Need(n)) return {};
    pos_ += n;
    return Bytes(b_.data() + pos_ - n, n);
  }
  void Skip(std::size_t n) {
    if (Need(n)) pos_ += n;
  }

 private:
  bool Need(std::size_t n) {
    if (!ok_ || b_.size() - pos_ < n) ok_ = false;
    return ok_;
  }
  ByteView b_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

void AppendI16(Bytes& out, Int16 v) { AppendU16(out, Uint16(v)); }
void AppendColour(Bytes& out, const SColour16& c) {
  AppendU16(out, c.r);
  AppendU16(out, c.g);
  AppendU16(out, c.b);
}

std::string PathOf(const std::string& folder, const char* name) {
  std::string p = folder.empty() ? std::string(".") : folder;
  if (p.back() != '/') p += '/';
  return p + name;
}

}  // namespace

Bytes EncodePrefs(const SMyPrefs& p) {
  Bytes out;
  AppendU32(out, kPrefsMagic);
  AppendU16(out, kPrefsVersion);
  out.append(6, Uint8(0));
  for (const SPos& w : {p.toolsWindow, p.boardWindow, p.paletteWindow, p.connectionsWindow}) {
    AppendI16(out, w.left);
    AppendI16(out, w.top);
  }
  for (Int16 v : {p.chatWindow.left, p.chatWindow.top, p.chatWindow.right, p.chatWindow.bottom}) AppendI16(out, v);
  AppendU16(out, p.toolOption);
  AppendU16(out, p.penSize);
  AppendU8(out, p.currentTool);
  AppendU8(out, p.chatShown ? 1 : 0);
  AppendU16(out, 0);
  AppendU32(out, p.maxConnections);
  AppendColour(out, p.chatText);
  AppendColour(out, p.chatBackground);
  AppendU8(out, p.chatFontSize);
  AppendCounted(out, p.name.data(), p.name.size());
  AppendU8(out, p.fastConnection ? 1 : 0);
  AppendU8(out, p.playSounds ? 1 : 0);
  AppendU8(out, p.useFirewall ? 1 : 0);
  AppendCounted(out, p.firewall.data(), p.firewall.size());
  out.append(3, Uint8(0));  // three empty strings kept for older readers
  AppendU8(out, p.askBeforeErasing ? 1 : 0);
  AppendU8(out, p.askBeforeRedirecting ? 1 : 0);
  AppendU32(out, p.defaultPrivileges);
  AppendU8(out, p.redirectPolicy);
  return out;
}

bool DecodePrefs(ByteView data, SMyPrefs& out) {
  out = SMyPrefs{};
  if (data.size() >= kPrefsMaxSize || data.size() < 6) return false;
  CReader r(data);
  if (r.U32() != kPrefsMagic) return false;
  const Uint16 version = r.U16();
  if (version != 6 && version != 7) return false;
  SMyPrefs p;
  r.Skip(6);
  for (SPos* w : {&p.toolsWindow, &p.boardWindow, &p.paletteWindow, &p.connectionsWindow}) {
    w->left = r.I16();
    w->top = r.I16();
  }
  for (Int16* v : {&p.chatWindow.left, &p.chatWindow.top, &p.chatWindow.right, &p.chatWindow.bottom}) *v = r.I16();
  p.toolOption = r.U16();
  p.penSize = std::clamp<Uint16>(r.U16(), 1, 255);
  p.currentTool = r.U8();
  p.chatShown = r.U8() != 0;
  r.Skip(2);
  p.maxConnections = r.U32();
  for (SColour16* c : {&p.chatText, &p.chatBackground}) {
    c->r = r.U16();
    c->g = r.U16();
    c->b = r.U16();
  }
  p.chatFontSize = r.U8();
  Bytes name = r.Counted();
  if (!name.empty()) p.name = std::move(name);
  p.fastConnection = r.U8() != 0;
  p.playSounds = r.U8() != 0;
  p.useFirewall = r.U8() != 0;
  p.firewall = r.Counted();
  for (int i = 0; i < 3; ++i) r.Counted();
  if (version == 7) {
    p.askBeforeErasing = r.U8() != 0;
    p.askBeforeRedirecting = r.U8() != 0;
    p.defaultPrivileges = r.U32() & kAllPrivileges;
    p.redirectPolicy = r.U8();
    if (p.redirectPolicy > kRedirectDeny) p.redirectPolicy = kRedirectAsk;
  }
  // A file cut short is not trusted at all.
  if (!r.Ok()) return false;
  out = std::move(p);
  return true;
}

SMyPrefs ReadPrefs(const std::string& folder) {
  SMyPrefs p;
  const std::string path = PathOf(folder, kPrefsFileName);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return p;
  struct stat st {};
  Bytes data;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < Int64(kPrefsMaxSize)) {
    Uint8 buf[kPrefsMaxSize];
    std::size_t got = 0;
    for (;;) {
      const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += std::size_t(n);
      if (got == sizeof buf) break;
    }
    data.assign(buf, got);
  }
  ::close(fd);
  DecodePrefs(data, p);
  return p;
}

void WritePrefs(const std::string& folder, const SMyPrefs& p) {
  const Bytes data = EncodePrefs(p);
  const std::string path = PathOf(folder, kPrefsFileName);
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) UError::RaiseLastSystem("WritePrefs", __LINE__);
  std::size_t done = 0;
  int failure = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n < 0 ? errno : ENOSPC;
      break;
    }
    done += std::size_t(n);
  }
  if (!failure && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && !failure) failure = errno;
  if (!failure && ::rename(temp.c_str(), path.c_str()) != 0) failure = errno;
  if (failure) {
    ::unlink(temp.c_str());
    UError::RaiseSystem(failure, "WritePrefs", __LINE__);
  }
}

}  // namespace cv::pw
