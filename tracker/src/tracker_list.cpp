// The tracker's list of servers and its command line.
#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <fstream>

#include "tracker/tracker.h"

namespace cv {

CTrackerList::EResult CTrackerList::Register(const std::array<Uint8, 4>& address, const STrackerRegistration& reg,
                                             Int64 nowMs) {
  if (!passwords_.empty() && !passwords_.contains(reg.password)) return EResult::BadPassword;
  const Key key{address, reg.port};
  auto it = entries_.find(key);
  const bool added = it == entries_.end();
  if (added) {
    // A stale entry should not keep a fresh server out.
    if (entries_.size() >= kTrackerMaxServers) Expire(nowMs);
    if (entries_.size() >= kTrackerMaxServers) return EResult::Full;
    std::size_t fromAddress = 0;
    for (auto at = entries_.lower_bound(Key{address, 0}); at != entries_.end() && at->first.first == address; ++at)
      ++fromAddress;
    if (fromAddress >= kTrackerMaxServersPerAddress) return EResult::Full;
    it = entries_.emplace(key, SEntry{}).first;
  }
  SEntry& e = it->second;
  e.server.address = address;
  e.server.port = reg.port;
  e.server.users = reg.users;
  e.server.name = reg.name;
  e.server.description = reg.description;
  e.serverId = reg.serverId;
  e.seen = nowMs;
  return added ? EResult::Added : EResult::Updated;
}

std::size_t CTrackerList::Expire(Int64 nowMs) {
  return std::erase_if(entries_, [nowMs](const auto& kv) { return nowMs - kv.second.seen >= kTrackerExpiryMs; });
}

std::vector<STrackerServer> CTrackerList::Servers(Int64 nowMs) const {
  std::vector<STrackerServer> out;
  out.reserve(entries_.size());
  for (const auto& [key, e] : entries_)
    if (nowMs - e.seen < kTrackerExpiryMs) out.push_back(e.server);
  return out;
}

std::set<std::string> LoadTrackerPasswords(const std::string& folder) {
  std::set<std::string> out;
  if (folder.empty()) return out;
  std::ifstream in(folder + "/" + std::string(kTrackerPasswordFile), std::ios::binary);
  std::string line;
  while (out.size() < 1024 && std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (!line.empty() && line.size() <= 255) out.insert(line);
  }
  return out;
}

namespace {

bool ParsePort(std::string_view text, Uint16& port) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > 0xFFFF) return false;
  port = Uint16(value);
  return true;
}

}  // namespace

bool ParseTrackerOptions(int argc, const char* const* argv, STrackerOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    bool hasValue = false;
    if (arg.starts_with("--")) {
      if (auto eq = arg.find('='); eq != std::string_view::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        hasValue = true;
      }
    }
    auto needValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= argc) {
        error = "missing value for " + std::string(arg);
        return false;
      }
      value = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--udp-port" || arg == "--tcp-port") {
      if (!needValue()) return false;
      Uint16 port = 0;
      if (!ParsePort(value, port)) {
        error = "bad port number for " + std::string(arg) + ": " + std::string(value);
        return false;
      }
      if (arg == "--udp-port")
        options.udpPort = port;
      else
        options.tcpPort = port;
    } else if (arg == "--password") {
      if (!needValue()) return false;
      // The server sends a counted string of at most 31 bytes; a longer one could never match.
      if (value.empty() || value.size() > 31) {
        error = "--password must be 1 to 31 bytes";
        return false;
      }
      options.password = std::string(value);
    } else if (arg == "--bind") {
      if (!needValue()) return false;
      in_addr a{};
      if (::inet_pton(AF_INET, std::string(value).c_str(), &a) != 1) {
        error = "bad IPv4 address for --bind: " + std::string(value);
        return false;
      }
      options.bind = std::string(value);
    } else if (arg == "--dir") {
      if (!needValue()) return false;
      options.dir = std::string(value);
    } else {
      error = "unknown option: " + std::string(arg);
      return false;
    }
  }
  return true;
}

std::string TrackerUsage() {
  return "Usage: corvane-tracker [options]\n"
         "Lists the servers that announced themselves in the last fifteen minutes.\n"
         "\n"
         "  --udp-port N      UDP port for server registrations (default 5499; 0: any free port)\n"
         "  --tcp-port N      TCP port for server lists (default 5498; 0: any free port)\n"
         "  --password PW     registrations must carry this password\n"
         "  --bind ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
         "  --dir DIR         folder of the tracker's files; when DIR/Passwords lists\n"
         "                    passwords (one a line), registrations must carry one of them\n"
         "  --help            show this text\n"
         "  --version         show the version\n";
}

}  // namespace cv
