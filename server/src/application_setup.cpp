// The command line, the program's folder and the accounts a fresh server starts with.
#include <unistd.h>

#include <array>
#include <climits>
#include <filesystem>
#include <random>

#include "server/application.h"

namespace cv {

namespace {

bool ParsePort(std::string_view text, Uint16& port) {
  if (text.empty() || text.size() > 5) return false;
  Uint32 v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + Uint32(c - '0');
  }
  // The transfer port is one above, so the highest port is not usable.
  if (v > 65534) return false;
  port = Uint16(v);
  return true;
}

}  // namespace

bool ParseServerCommandLine(std::span<const std::string_view> args, SServerCommandLine& out, std::string& error) {
  out = SServerCommandLine{};
  bool sawAdmin = false, sawGuest = false, sawName = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    std::string_view value;
    bool inlineValue = false;
    if (a.starts_with("--")) {
      std::size_t eq = a.find('=');
      if (eq != std::string_view::npos) {
        value = a.substr(eq + 1);
        a = a.substr(0, eq);
        inlineValue = true;
      }
    }
    auto takeValue = [&](std::string_view option) -> bool {
      if (inlineValue) return true;
      if (i + 1 >= args.size()) {
        error = "option " + std::string(option) + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      out.action = SServerCommandLine::Help;
    } else if (a == "--version") {
      if (out.action != SServerCommandLine::Help) out.action = SServerCommandLine::Version;
    } else if (a == "--headless") {
      out.headless = true;
    } else if (a == "--dir") {
      if (!takeValue(a)) return false;
      if (value.empty()) {
        error = "option --dir needs a folder";
        return false;
      }
      out.dir = std::string(value);
    } else if (a == "--port") {
      if (!takeValue(a)) return false;
      Uint16 port = 0;
      if (!ParsePort(value, port)) {
        error = "bad port \"" + std::string(value) + "\" (use 0 to 65534)";
        return false;
      }
      out.port = port;
    } else if (a == "--tracker") {
      if (!takeValue(a)) return false;
      if (value.empty() || value.size() > 255) {
        error = "option --tracker needs HOST or HOST:PORT (at most 255 characters)";
        return false;
      }
      out.tracker = std::string(value);
    } else if (a == "--add-account") {
      if (!takeValue(a)) return false;
      if (value.empty() || value.size() > kAccountLoginMax || !IsSafeAccountLogin(value)) {
        error = "bad login \"" + std::string(value) + "\" (1 to 32 characters, no \"/\")";
        return false;
      }
      if (out.action == SServerCommandLine::Run) out.action = SServerCommandLine::AddAccount;
      out.accountLogin = std::string(value);
    } else if (a == "--name") {
      if (!takeValue(a)) return false;
      if (value.size() > kAccountNameMax) {
        error = "name too long (at most 64 characters)";
        return false;
      }
      out.accountName = std::string(value);
      sawName = true;
    } else if (a == "--admin") {
      sawAdmin = true;
    } else if (a == "--guest") {
      sawGuest = true;
    } else {
      error = "unknown option \"" + std::string(args[i]) + "\"";
      return false;
    }
  }
  if (out.action == SServerCommandLine::AddAccount) {
    if (sawAdmin == sawGuest) {
      error = "--add-account needs exactly one of --admin and --guest";
      return false;
    }
    out.accountAdmin = sawAdmin;
    if (!sawName) out.accountName = out.accountLogin;
  } else if (out.action == SServerCommandLine::Run && (sawAdmin || sawGuest || sawName)) {
    error = "--name, --admin and --guest go with --add-account";
    return false;
  }
  return true;
}

std::string ServerUsageText() {
  return "usage: corvane-server [--headless] [--dir DIR] [--port PORT] [--tracker HOST:PORT]\n"
         "       corvane-server [--dir DIR] --add-account LOGIN [--name NAME] --admin|--guest\n"
         "\n"
         "  --headless          run without windows; log lines go to standard error\n"
         "  --dir DIR           folder holding Users, Files, News.txt, Agreement.txt, Prefs and\n"
         "                      the logs (default: the folder that holds the program)\n"
         "  --port PORT         transaction port; transfers use PORT+1 (default: from Prefs, 5500)\n"
         "  --tracker HOST:PORT announce this server to that tracker for this run (UDP port,\n"
         "                      default 5499), in place of the trackers in Prefs\n"
         "  --add-account LOGIN create an account, reading its password from standard input\n"
         "  --name NAME         the account's name (default: the login)\n"
         "  --admin, --guest    every privilege, or reading and sending chat, reading news and\n"
         "                      downloading files\n"
         "  --help, --version   this text, or the version\n";
}

std::string ProgramFolder() {
  std::array<char, PATH_MAX> buf{};
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return std::filesystem::current_path().string();
  return std::filesystem::path(std::string(buf.data(), std::size_t(n))).parent_path().string();
}

SPrivilegeSet AdminPrivileges() {
  SPrivilegeSet s;
  for (const SPrivilegeInfo& p : PrivilegeTable()) s.Set(p.bit);
  return s;
}

SPrivilegeSet GuestPrivileges() {
  SPrivilegeSet s;
  for (EPrivilege p : {CanReadChat, CanSendChat, CanReadNews, CanDownloadFiles}) s.Set(p);
  return s;
}

SUserData MakeAccount(std::string_view login, std::string_view name, std::string_view plainPassword,
                      const SPrivilegeSet& access) {
  SUserData u;
  u.login = std::string(login.substr(0, std::min(login.size(), kAccountLoginMax)));
  u.name = std::string(name.substr(0, std::min(name.size(), kAccountNameMax)));
  u.password = ComplementText(plainPassword.substr(0, std::min(plainPassword.size(), kAccountPasswordMax)));
  u.access = access;
  return u;
}

std::string RandomPassword() {
  static constexpr std::string_view kAlphabet = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::random_device device;
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string out;
  for (int i = 0; i < 12; ++i) out += kAlphabet[pick(device)];
  return out;
}

std::string CreateFirstAccounts(CMyAccountStore& store) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(store.Folder(), ec)) {
    (void)entry;
    return {};
  }
  std::string password = RandomPassword();
  store.Create(MakeAccount("admin", "Administrator", password, AdminPrivileges()));
  store.Create(MakeAccount(kGuestLogin, "Guest", "", GuestPrivileges()));
  return password;
}

}  // namespace cv
