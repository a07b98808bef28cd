#include "server/src/diskio.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include "framework/errors.h"
#include "framework/filesys.h"

namespace cv::diskio {

namespace {

[[noreturn]] void RaiseErrno(int code) { UError::RaiseSystem(code, "diskio", 0); }

void WriteAll(int fd, const Uint8* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      RaiseErrno(errno);
    }
    p += w;
    n -= std::size_t(w);
  }
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = Uint8(a[i]), y = Uint8(b[i]);
    if (x >= 'A' && x <= 'Z') x = Uint8(x + 32);
    if (y >= 'A' && y <= 'Z') y = Uint8(y + 32);
    if (x != y) return false;
  }
  return true;
}

// Closes the descriptor on every path out.
struct SFd {
  int fd = -1;
  ~SFd() {
    if (fd >= 0) ::close(fd);
  }
  int Release() {
    int f = fd;
    fd = -1;
    return f;
  }
};

}  // namespace

std::string Join(const std::string& folder, std::string_view name) {
  std::string p = folder;
  if (!p.empty() && p.back() != '/') p += '/';
  p.append(name);
  return p;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0) RaiseErrno(errno);
}

Bytes ReadUpTo(const std::string& path, std::size_t max) {
  SFd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) RaiseErrno(errno);
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) RaiseErrno(errno);
  if (S_ISDIR(st.st_mode)) RaiseErrno(EISDIR);
  Bytes out(max, 0);
  std::size_t got = 0;
  while (got < max) {
    ssize_t r = ::read(f.fd, out.data() + got, max - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      RaiseErrno(errno);
    }
    if (r == 0) break;
    got += std::size_t(r);
  }
  out.resize(got);
  return out;
}

void SaveWhole(const std::string& path, ByteView data) {
  // One atomic save for the whole program: the file layer's, reached from the folder's path.
  const std::filesystem::path target = std::filesystem::absolute(path);
  std::string folderText;
  for (const auto& part : target.parent_path().relative_path()) {
    if (!folderText.empty()) folderText += '\r';
    folderText += part.string();
  }
  UFileSys::TFSRefPtr folder(
      UFileSys::New(EFSBase::SystemRoot, folderText, std::nullopt, fsMustExist | fsMustBeFolder));
  UFileSys::SaveWhole(folder.get(), target.filename().string(), data);
}

void AppendWithHeader(const std::string& path, std::string_view header, std::string_view record) {
  SFd f{::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)};
  if (f.fd < 0) RaiseErrno(errno);
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) RaiseErrno(errno);
  std::string out;
  if (st.st_size == 0) out.assign(header);
  out.append(record);
  WriteAll(f.fd, reinterpret_cast<const Uint8*>(out.data()), out.size());
  if (::close(f.Release()) != 0) RaiseErrno(errno);
}

void RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) RaiseErrno(errno);
}

void RemoveFolder(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) RaiseErrno(errno);
}

std::string FindNameIgnoringCase(const std::string& folder, std::string_view name) {
  struct stat st {};
  if (::lstat(Join(folder, name).c_str(), &st) == 0) return std::string(name);
  DIR* d = ::opendir(folder.c_str());
  if (!d) return {};
  std::string found;
  while (dirent* e = ::readdir(d)) {
    if (EqualIgnoringCase(e->d_name, name)) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

}  // namespace cv::diskio
