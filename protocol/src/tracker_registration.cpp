// The server's registration datagram and tracker address texts.
#include <algorithm>

#include "protocol/tracker.h"

namespace cv {

namespace {

constexpr std::size_t kCountedMax = 255;

// Reads a counted string at *at; false when it runs past the end.
bool ReadCounted(ByteView data, std::size_t& at, std::string& text) {
  if (at >= data.size()) return false;
  const std::size_t n = data[at];
  if (data.size() - at - 1 < n) return false;
  text.assign(reinterpret_cast<const char*>(data.data() + at + 1), n);
  at += 1 + n;
  return true;
}

}  // namespace

Bytes EncodeTrackerRegistration(const STrackerRegistration& reg) {
  Bytes out;
  out.reserve(kTrackerRegistrationMinSize + reg.name.size() + reg.description.size() + reg.password.size());
  AppendU16(out, kTrackerRegistrationKind);
  AppendU16(out, reg.port);
  AppendU16(out, reg.users);
  AppendU16(out, 0);
  AppendU32(out, reg.serverId);
  AppendCounted(out, reg.name);
  AppendCounted(out, reg.description);
  AppendCounted(out, reg.password);
  return out;
}

std::optional<STrackerRegistration> ParseTrackerRegistration(ByteView datagram) {
  if (datagram.size() < kTrackerRegistrationMinSize) return std::nullopt;
  if (ReadU16(datagram.data()) != kTrackerRegistrationKind) return std::nullopt;
  STrackerRegistration reg;
  reg.port = ReadU16(datagram.data() + 2);
  reg.users = ReadU16(datagram.data() + 4);
  reg.serverId = ReadU32(datagram.data() + 8);
  std::size_t at = 12;
  if (!ReadCounted(datagram, at, reg.name) || !ReadCounted(datagram, at, reg.description) ||
      !ReadCounted(datagram, at, reg.password))
    return std::nullopt;
  return reg;
}

std::optional<STrackerAddress> ParseTrackerAddress(std::string_view text, Uint16 defaultPort) {
  STrackerAddress a;
  const std::size_t colon = text.find(':');
  std::string_view host = text.substr(0, colon);
  if (host.empty() || host.size() > kCountedMax) return std::nullopt;
  a.host = std::string(host);
  a.port = defaultPort;
  if (colon != std::string_view::npos) {
    const std::string_view digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    Uint32 port = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      port = port * 10 + Uint32(c - '0');
    }
    if (port == 0 || port > 0xFFFF) return std::nullopt;
    a.port = Uint16(port);
  }
  if (a.port == 0) return std::nullopt;
  return a;
}

std::string TrackerAddressText(const STrackerAddress& address) {
  return address.host + ":" + std::to_string(address.port);
}

SInternetNameAddress TrackerNameRecord(std::string_view text, Uint16 defaultPort) {
  const bool hasPort = text.find(':') != std::string_view::npos;
  return SInternetNameAddress::Make(text, hasPort ? Uint16(0) : defaultPort);
}

}  // namespace cv
