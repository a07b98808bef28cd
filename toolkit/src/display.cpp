// Looks for a display the way Qt's platform plugins would find one, without Qt.
#include "toolkit/display.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace cv::UDisplay {

namespace {

bool ConnectUnix(const std::string& path, bool abstract) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  const std::size_t offset = abstract ? 1 : 0;
  if (path.size() + offset >= sizeof a.sun_path) return false;
  std::memcpy(a.sun_path + offset, path.data(), path.size());
  const socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0;
  ::close(fd);
  return ok;
}

bool ConnectTcp(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo* i = found; i && !ok; i = i->ai_next) {
    int fd = ::socket(i->ai_family, i->ai_socktype | SOCK_CLOEXEC, i->ai_protocol);
    if (fd < 0) continue;
    ok = ::connect(fd, i->ai_addr, i->ai_addrlen) == 0;
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return ok;
}

// DISPLAY is [host]:number[.screen]; an empty host (or "unix") is the local socket.
bool XDisplayAnswers(std::string_view display) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string host(display.substr(0, colon));
  std::string_view rest = display.substr(colon + 1);
  int number = 0;
  std::size_t i = 0;
  for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) number = number * 10 + (rest[i] - '0');
  if (i == 0 || number > 10000) return false;
  if (host.empty() || host == "unix") {
    const std::string name = "/tmp/.X11-unix/X" + std::to_string(number);
    return ConnectUnix(name, true) || ConnectUnix(name, false);
  }
  return ConnectTcp(host, 6000 + number);
}

bool WaylandAnswers(std::string_view display) {
  std::string path(display);
  if (path.empty()) return false;
  if (path[0] != '/') {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return false;
    path = std::string(runtime) + "/" + path;
  }
  return ConnectUnix(path, false);
}

}  // namespace

bool CanOpen(std::string* why) {
  if (const char* platform = std::getenv("QT_QPA_PLATFORM"); platform && *platform) return true;
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (x && *x && XDisplayAnswers(x)) return true;
  if (wayland && *wayland && WaylandAnswers(wayland)) return true;
  if (why) {
    if ((!x || !*x) && (!wayland || !*wayland))
      *why = "no display (DISPLAY is not set)";
    else
      *why = std::string("the display ") + (x && *x ? x : wayland) + " does not answer";
  }
  return false;
}

}  // namespace cv::UDisplay
