// File objects: building them from a base and names, resolving kinds, names and dates.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "framework/errors.h"
#include "framework/filesys.h"
#include "framework/src/filesys_internal.h"

namespace cv {
namespace fsi {

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    err_ = o.err_;
    o.fd_ = -1;
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

void RaiseBeneath(int err, Uint32 line) {
  if (err == EXDEV || err == ELOOP) UError::RaiseFull(errClassFiles, errAccessDenied, "UFileSys", line, false, false);
  UError::RaiseSystem(err, "UFileSys", line);
}

namespace {

std::atomic<bool> gNoOpenat2{false};

// Lexically inside: path equals root or continues it after a separator.
bool IsWithin(std::string_view root, std::string_view path) {
  if (root == "/") return !path.empty() && path[0] == '/';
  if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || path[root.size()] == '/';
}

// For kernels without openat2: canonicalise and compare. Open races are possible here,
// which is why this is only the fallback.
Fd OpenBeneathFallback(const std::string& root, const std::string& rel, int flags) {
  char real[PATH_MAX];
  char realRoot[PATH_MAX];
  if (!::realpath(root.c_str(), realRoot)) return Fd(-1, errno);
  if (!::realpath(Join(root, rel).c_str(), real)) return Fd(-1, errno);
  if (!IsWithin(realRoot, real)) return Fd(-1, EXDEV);
  const int fd = ::open(real, flags | O_CLOEXEC);
  return fd >= 0 ? Fd(fd) : Fd(-1, errno);
}

}  // namespace

void SetBeneathFallback(bool on) { gNoOpenat2.store(on); }

Fd OpenBeneath(const std::string& root, const std::string& rel, int flags) {
  if (gNoOpenat2.load(std::memory_order_relaxed)) return OpenBeneathFallback(root, rel, flags);
  const int rootFd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return Fd(-1, errno);
  Fd rootOwner(rootFd);
  open_how how{};
  how.flags = Uint64(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const char* p = rel.empty() ? "." : rel.c_str();
  for (int attempt = 0; attempt < 8; ++attempt) {
    const long fd = ::syscall(SYS_openat2, rootFd, p, &how, sizeof how);
    if (fd >= 0) return Fd(int(fd));
    const int err = errno;
    if (err == EAGAIN || err == EINTR) continue;  // a rename raced the lookup; try again
    if (err == ENOSYS || err == EPERM) {
      // EPERM: sandboxes that filter unknown calls. A real refusal on the item shows again below.
      gNoOpenat2.store(true, std::memory_order_relaxed);
      return OpenBeneathFallback(root, rel, flags);
    }
    return Fd(-1, err);
  }
  return Fd(-1, EAGAIN);
}

std::string Join(const std::string& root, const std::string& rel) {
  if (rel.empty()) return root;
  if (root == "/") return "/" + rel;
  return root + "/" + rel;
}

std::string_view ParentRel(std::string_view rel) {
  const auto slash = rel.rfind('/');
  return slash == std::string_view::npos ? std::string_view{} : rel.substr(0, slash);
}

std::string_view LeafOf(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string AppendRel(std::string_view rel, std::string_view name) {
  std::string out(rel);
  if (!out.empty()) out += '/';
  out += name;
  return out;
}

bool EndsWithLnk(std::string_view name) {
  if (name.size() < 4) return false;
  const auto tail = name.substr(name.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'l' && (tail[2] | 0x20) == 'n' && (tail[3] | 0x20) == 'k';
}

bool IsSafeComponent(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (char c : name)
    if (c == '/' || c == '\0') return false;
  return true;
}

std::string PathOfFd(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::string buf(PATH_MAX, '\0');
  const ssize_t n = ::readlink(link, buf.data(), buf.size());
  if (n <= 0 || size_t(n) >= buf.size() || buf[0] != '/') return {};
  buf.resize(size_t(n));
  return buf;
}

SInspect Inspect(const std::string& root, const std::string& rel) {
  SInspect out;
  struct stat st {};
  if (rel.empty()) {
    if (::stat(root.c_str(), &st) != 0) {
      const int err = errno;
      if (err != ENOENT && err != ENOTDIR) UError::RaiseSystem(err, "UFileSys", __LINE__);
      struct stat up {};
      const std::string parent = root.substr(0, std::max<size_t>(1, root.rfind('/')));
      out.kind = (::stat(parent.c_str(), &up) == 0 && S_ISDIR(up.st_mode)) ? fsKindMissing : fsKindNoFolder;
      return out;
    }
  } else {
    const Fd parent = OpenBeneath(root, std::string(ParentRel(rel)), O_PATH | O_DIRECTORY);
    if (!parent.ok()) {
      if (parent.err() == ENOENT || parent.err() == ENOTDIR) return out;  // fsKindNoFolder
      if (parent.err() == EXDEV || parent.err() == ELOOP) {
        out.escapes = true;
        return out;
      }
      UError::RaiseSystem(parent.err(), "UFileSys", __LINE__);
    }
    const std::string leaf(LeafOf(rel));
    if (::fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) {
        out.kind = fsKindMissing;
        return out;
      }
      UError::RaiseSystem(errno, "UFileSys", __LINE__);
    }
    if (S_ISLNK(st.st_mode)) {
      const Fd target = OpenBeneath(root, rel, O_PATH);
      if (!target.ok()) {
        if (target.err() == ENOENT || target.err() == ENOTDIR) {
          out.kind = fsKindMissing;  // a dangling link: the name is taken but names nothing
          return out;
        }
        if (target.err() == EXDEV || target.err() == ELOOP) {
          out.escapes = true;
          return out;
        }
        UError::RaiseSystem(target.err(), "UFileSys", __LINE__);
      }
      if (::fstat(target.get(), &st) != 0) UError::RaiseSystem(errno, "UFileSys", __LINE__);
    }
  }
  if (S_ISDIR(st.st_mode)) {
    out.kind = fsKindFolder;
  } else if (!S_ISREG(st.st_mode)) {
    out.special = true;
    out.kind = fsKindFile;
  } else if (!rel.empty() && EndsWithLnk(LeafOf(rel))) {
    switch (ReadAlias(root, rel, out.targetRel, out.targetKind)) {
      case EAliasResult::Ok:
        out.kind = out.targetKind == fsKindFolder ? fsKindFolderAlias : fsKindFileAlias;
        break;
      case EAliasResult::Escapes:
        out.kind = fsKindBrokenAlias;
        out.escapes = true;
        break;
      case EAliasResult::Broken:
        out.kind = fsKindBrokenAlias;
        break;
    }
  } else {
    out.kind = fsKindFile;
  }
  return out;
}

bool StatBeneath(const std::string& root, const std::string& rel, struct stat& st) {
  const Fd fd = OpenBeneath(root, rel, O_PATH);
  if (!fd.ok()) {
    errno = fd.err();
    return false;
  }
  return ::fstat(fd.get(), &st) == 0;
}

SDateStamp StampFromTime(Int64 seconds, Int64 nanos) {
  // Years 1 to 9999; anything else cannot be written as a stamp.
  constexpr Int64 kFirst = -62135596800LL;
  constexpr Int64 kLast = 253402300799LL;
  if (seconds < kFirst || seconds > kLast) return SDateStamp{1997, 0, 0};
  return StampFromUnix(seconds, Uint16(nanos / 1000000));
}

void DatesOfFd(int fd, SDateStamp& created, SDateStamp& modified) {
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME | STATX_MTIME, &sx) != 0) {
    UError::RaiseSystem(errno, "UFileSys", __LINE__);
  }
  modified = StampFromTime(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
  // Hosts without birth times: the modification time is the best we know.
  created = (sx.stx_mask & STATX_BTIME) ? StampFromTime(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec) : modified;
}

Uint32 CountEntries(int dirFd) {
  const int dup = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dup < 0) UError::RaiseSystem(errno, "UFileSys", __LINE__);
  DIR* dir = ::fdopendir(dup);
  if (!dir) {
    const int err = errno;
    ::close(dup);
    UError::RaiseSystem(err, "UFileSys", __LINE__);
  }
  Uint32 n = 0;
  while (const dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (n != 0xFFFFFFFFu) ++n;
  }
  ::closedir(dir);
  return n;
}

}  // namespace fsi

namespace UFileSys {
namespace {

using namespace fsi;

std::mutex gFolderLock;
std::string gAppFolder;

std::string Canonical(const std::string& path) {
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real)) return real;
  return path;
}

std::string AppFolder() {
  std::lock_guard lock(gFolderLock);
  if (gAppFolder.empty()) {
    std::string exe(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    if (n > 0) {
      exe.resize(size_t(n));
      const auto slash = exe.rfind('/');
      gAppFolder = slash == 0 ? "/" : exe.substr(0, slash);
    } else {
      char cwd[PATH_MAX];
      gAppFolder = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    }
    gAppFolder = Canonical(gAppFolder);
  }
  return gAppFolder;
}

std::string TempFolder() {
  const char* t = std::getenv("TMPDIR");
  struct stat st {};
  if (t && t[0] == '/' && ::stat(t, &st) == 0 && S_ISDIR(st.st_mode)) return Canonical(t);
  return Canonical("/tmp");
}

// The user's settings folder, made on first use; the program's folder when there is none.
std::string UserDataFolder() {
  std::string base;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && x[0] == '/') {
    base = x;
  } else if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
    base = std::string(h) + "/.config";
  } else {
    return AppFolder();
  }
  ::mkdir(base.c_str(), 0700);
  const std::string folder = base + "/corvane";
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return AppFolder();
  return Canonical(folder);
}

// The root an object made from this base may not leave and the base's own place below it:
// a special folder is its own root; an object passes on the root it has.
void RootOf(const SFSBase& base, SFSRef& out) {
  out.rel.clear();
  if (!base.isRef) {
    switch (base.special) {
      case EFSBase::SystemRoot:
        out.root = "/";
        return;
      case EFSBase::AppFolder:
      case EFSBase::AppFolder2:
        out.root = AppFolder();
        return;
      case EFSBase::UserData:
        out.root = UserDataFolder();
        return;
      case EFSBase::Temp:
        out.root = TempFolder();
        return;
    }
    out.root = "/";
    return;
  }
  const SFSRef& ref = Require(base.ref);
  out.root = ref.root;
  out.rel = ref.rel;
}

std::string NameRule(std::string_view name) {
  std::string out(name);
  if (!out.empty() && out[0] == '.') out[0] = '-';
  for (char& c : out)
    if (c == '\\') c = '-';
  return out;
}

enum class EBuild { Ok, Invalid, Missing };

// Applies the resolve flags to a built path; returns the object or none.
TFSRef Finish(SFSRef&& r, EBuild build, Uint32 flags, Int16* kindOut) {
  if (kindOut) *kindOut = fsKindNoFolder;
  const bool soft = (flags & (fsSoftFolder | fsSoftExists)) != 0;
  if (build == EBuild::Invalid) {
    if (soft) return nullptr;
    UError::RaiseFull(errClassFiles, errInvalidName, "UFileSys::New", __LINE__, false, false);
  }
  if (Join(r.root, r.rel).size() > kFSMaxPath) {
    if (soft) return nullptr;
    UError::RaiseFull(errClassFiles, errFolderNotFound, "UFileSys::New", __LINE__, false, false);
  }
  SInspect info;
  if (build == EBuild::Ok) info = Inspect(r.root, r.rel);
  Int16 kind = info.kind;
  const bool follow = (flags & fsFollowAlias) != 0;
  if (info.special || (info.escapes && (kind != fsKindBrokenAlias || follow))) {
    if (soft) return nullptr;
    UError::RaiseFull(errClassFiles, errAccessDenied, "UFileSys::New", __LINE__, false, false);
  }
  if (follow && (kind == fsKindFileAlias || kind == fsKindFolderAlias)) {
    r.rel = info.targetRel;
    kind = info.targetKind;
  } else if (follow && kind == fsKindBrokenAlias) {
    if (kindOut) *kindOut = kind;
    if (flags & fsSoftExists) return nullptr;
    UError::RaiseFull(errClassFiles, errAliasBroken, "UFileSys::New", __LINE__, false, false);
  }
  if (kindOut) *kindOut = kind;
  if (kind >= fsKindFile) {
    if (flags & fsSoftNotExists) return nullptr;
    if (flags & fsMustNotExist) UError::Raise(errClassFiles, errNameExists);
    const bool isFile = kind == fsKindFile || kind == fsKindFileAlias;
    const bool isFolder = kind == fsKindFolder || kind == fsKindFolderAlias;
    if ((flags & fsSoftFile) && !isFile) return nullptr;
    if ((flags & fsSoftIsFolder) && !isFolder) return nullptr;
    if ((flags & fsMustBeFile) && !isFile) UError::Raise(errClassFiles, errNotAFile);
    if ((flags & fsMustBeFolder) && !isFolder) UError::Raise(errClassFiles, errNotAFolder);
  } else {
    if ((flags & fsSoftFolder) && kind == fsKindNoFolder) return nullptr;
    if (flags & fsSoftExists) return nullptr;
    if (flags & fsMustExist) {
      if (flags & (fsSoftFile | fsMustBeFile)) UError::Raise(errClassFiles, errFileNotFound);
      if (flags & (fsSoftIsFolder | fsMustBeFolder)) UError::Raise(errClassFiles, errFolderNotFound);
      UError::Raise(errClassFiles, errPathNotFound);
    }
  }
  return new SFSRef(std::move(r));
}

}  // namespace

void SetBeneathFallbackForTesting(bool on) { fsi::SetBeneathFallback(on); }

void SetAppFolder(std::string_view hostPath) {
  std::string p = Canonical(std::string(hostPath));
  std::lock_guard lock(gFolderLock);
  gAppFolder = std::move(p);
}

TFSRef New(SFSBase base, std::optional<std::string_view> folderText, std::optional<std::string_view> name, Uint32 flags,
           Int16* kindOut) {
  SFSRef r;
  RootOf(base, r);
  EBuild build = EBuild::Ok;
  if (folderText) {
    std::string_view t = *folderText;
    if (!t.empty() && t.front() == '\r') t.remove_prefix(1);
    if (!t.empty() && t.back() == '\r') t.remove_suffix(1);
    while (!t.empty()) {
      const auto cr = t.find('\r');
      std::string part(t.substr(0, cr));
      for (char& c : part)
        if (c == '\\') c = '-';
      if (!IsSafeComponent(part)) build = EBuild::Invalid;
      r.rel = AppendRel(r.rel, part);
      if (cr == std::string_view::npos) break;
      t.remove_prefix(cr + 1);
      if (t.empty()) build = EBuild::Invalid;  // "a\r\r": an empty component
    }
  }
  if (name) {
    const std::string n = NameRule(*name);
    if (!IsSafeComponent(n)) build = EBuild::Invalid;
    r.rel = AppendRel(r.rel, n);
  }
  return Finish(std::move(r), build, flags, kindOut);
}

TFSRef NewRoot(SFSBase base, std::optional<std::string_view> folderText, std::optional<std::string_view> name,
               Uint32 flags, Int16* kindOut) {
  TFSRefPtr made(New(base, folderText, name, flags, kindOut));
  if (!made) return nullptr;
  SFSRef& r = *made;
  if (!r.rel.empty()) {
    // The real place of the item, found beneath the old root, becomes the new root.
    const Fd fd = OpenBeneath(r.root, r.rel, O_PATH);
    std::string real = fd.ok() ? PathOfFd(fd.get()) : std::string();
    if (!fd.ok() && (fd.err() == EXDEV || fd.err() == ELOOP)) RaiseBeneath(fd.err(), __LINE__);
    r.root = real.empty() ? Join(r.root, r.rel) : std::move(real);
    r.rel.clear();
  }
  return made.release();
}

TFSRef NewFromPath(SFSBase base, const void* path, std::size_t pathSize, std::optional<std::string_view> name,
                   Uint32 flags, Int16* kindOut) {
  SFSRef r;
  RootOf(base, r);
  EBuild build = EBuild::Ok;
  const auto* p = static_cast<const Uint8*>(path);
  if (!p) pathSize = 0;
  // Collect the components first: the last one is the item when no name is given.
  std::vector<std::string> parts;
  if (pathSize >= 6) {
    const Uint16 count = ReadU16(p);
    std::size_t pos = 2;
    for (Uint16 i = 0; i < count && pos + 3 <= pathSize; ++i) {
      const std::size_t len = p[pos + 2];
      pos += 3;
      if (len == 0 || pos + len > pathSize) break;
      std::string part(reinterpret_cast<const char*>(p + pos), len);
      pos += len;
      if (part == ".." || part == ".") continue;
      for (char& c : part)
        if (c == '\\') c = '-';
      parts.push_back(std::move(part));
    }
  }
  const std::size_t followUpTo = name ? parts.size() : (parts.empty() ? 0 : parts.size() - 1);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (!IsSafeComponent(parts[i])) build = EBuild::Invalid;
    r.rel = AppendRel(r.rel, parts[i]);
    if (build != EBuild::Ok || i >= followUpTo || !EndsWithLnk(parts[i])) continue;
    if (Join(r.root, r.rel).size() > kFSMaxPath) break;  // Finish refuses it
    const SInspect info = Inspect(r.root, r.rel);
    if (info.kind == fsKindFolderAlias && !info.escapes) {
      r.rel = info.targetRel;
    } else if (info.kind == fsKindFileAlias || info.kind == fsKindBrokenAlias || info.escapes || info.special) {
      build = EBuild::Missing;  // the path goes through an alias that is not a folder
    }
  }
  if (name) {
    const std::string n = NameRule(*name);
    if (!IsSafeComponent(n)) build = EBuild::Invalid;
    r.rel = AppendRel(r.rel, n);
  }
  return Finish(std::move(r), build, flags, kindOut);
}

TFSRef Clone(TFSRef ref) {
  const SFSRef& r = Require(ref);
  auto* c = new SFSRef;
  c->root = r.root;
  c->rel = r.rel;
  return c;
}

void Dispose(TFSRef ref) {
  if (!ref) return;
  if (ref->fd >= 0) Close(ref);
  delete ref;
}

Int16 GetKind(TFSRef ref, bool followAlias) {
  SFSRef& r = Require(ref);
  const SInspect info = Inspect(r.root, r.rel);
  if (info.special || (info.escapes && info.kind != fsKindBrokenAlias)) {
    UError::RaiseFull(errClassFiles, errAccessDenied, "UFileSys::GetKind", __LINE__, false, false);
  }
  if (followAlias && (info.kind == fsKindFileAlias || info.kind == fsKindFolderAlias)) {
    r.rel = info.targetRel;
    return info.targetKind;
  }
  return info.kind;
}

std::string GetPath(TFSRef ref) {
  const SFSRef& r = Require(ref);
  return Join(r.root, r.rel);
}

std::string GetRootPath(TFSRef ref) { return Require(ref).root; }

std::string GetName(TFSRef ref) { return std::string(LeafOf(GetPath(ref))); }

std::string GetParentName(TFSRef ref) {
  const std::string path = GetPath(ref);
  std::string_view v(path);
  const auto slash = v.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return slash == 0 && v.size() > 1 ? "/" : "";
  return std::string(LeafOf(v.substr(0, slash)));
}

void GetTypeAndCreator(TFSRef ref, Uint32& type, Uint32& creator) {
  const SFSRef& r = Require(ref);
  const SInspect info = Inspect(r.root, r.rel);
  switch (info.kind) {
    case fsKindFolder:
    case fsKindFolderAlias:
      type = FourCC("fldr");
      creator = 0;
      return;
    case fsKindBrokenAlias:
      type = FourCC("alis");
      creator = 0;
      return;
    case fsKindFileAlias:
      TypeAndCreatorFromName(LeafOf(info.targetRel), type, creator);
      return;
    default:
      TypeAndCreatorFromName(LeafOf(r.rel.empty() ? std::string_view(r.root) : std::string_view(r.rel)), type, creator);
  }
}

void GetDates(TFSRef ref, SDateStamp& created, SDateStamp& modified) {
  const SFSRef& r = Require(ref);
  if (r.fd >= 0) return DatesOfFd(r.fd, created, modified);
  const Fd fd = OpenBeneath(r.root, r.rel, O_PATH);
  if (!fd.ok()) RaiseBeneath(fd.err(), __LINE__);
  DatesOfFd(fd.get(), created, modified);
}

std::string GetComment(TFSRef ref) {
  Require(ref);
  return {};
}

void SetComment(TFSRef ref, std::string_view) { Require(ref); }

Uint32 CountItems(TFSRef folder) {
  const SFSRef& r = Require(folder);
  const Fd fd = OpenBeneath(r.root, r.rel, O_RDONLY | O_DIRECTORY);
  if (!fd.ok()) RaiseBeneath(fd.err(), __LINE__);
  return CountEntries(fd.get());
}

std::vector<SFSListItem> List(TFSRef folder) {
  const SFSRef& r = Require(folder);
  Fd fd = OpenBeneath(r.root, r.rel, O_RDONLY | O_DIRECTORY);
  if (!fd.ok()) RaiseBeneath(fd.err(), __LINE__);
  DIR* dir = ::fdopendir(fd.get());
  if (!dir) UError::RaiseSystem(errno, "UFileSys::List", __LINE__);
  fd.release();
  std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, ::closedir);
  std::vector<SFSListItem> items;
  while (true) {
    errno = 0;
    const dirent* e = ::readdir(dir);
    if (!e) {
      if (errno != 0) UError::RaiseSystem(errno, "UFileSys::List", __LINE__);
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    SFSListItem item;
    item.name = e->d_name;
    const std::string rel = AppendRel(r.rel, item.name);
    SInspect info;
    try {
      info = Inspect(r.root, rel);
    } catch (const SError&) {
      continue;  // vanished or unreadable while we looked: leave it out
    }
    // Links that lead outside, dangling links and devices are not items of this folder.
    if (info.special || info.kind < fsKindFile || (info.escapes && info.kind != fsKindBrokenAlias)) continue;
    item.kind = info.kind;
    std::string statRel = rel;
    switch (info.kind) {
      case fsKindFolder:
      case fsKindFolderAlias:
        item.type = FourCC("fldr");
        if (info.kind == fsKindFolderAlias) statRel = info.targetRel;
        break;
      case fsKindBrokenAlias:
        item.type = FourCC("alis");
        break;
      case fsKindFileAlias:
        TypeAndCreatorFromName(LeafOf(info.targetRel), item.type, item.creator);
        statRel = info.targetRel;
        break;
      default:
        TypeAndCreatorFromName(item.name, item.type, item.creator);
    }
    const Fd itemFd = OpenBeneath(r.root, statRel, O_PATH);
    if (!itemFd.ok()) continue;
    try {
      DatesOfFd(itemFd.get(), item.created, item.modified);
      if (item.type == FourCC("fldr")) {
        item.size = CountEntries(itemFd.get());
      } else if (info.kind != fsKindBrokenAlias) {
        struct stat st {};
        if (::fstat(itemFd.get(), &st) == 0) item.size = Uint64(st.st_size);
      }
    } catch (const SError&) {
      continue;
    }
    items.push_back(std::move(item));
  }
  return items;
}

Bytes ListFolder(TFSRef folder, Uint32& count) {
  const auto items = List(folder);
  Bytes out;
  count = 0;
  for (const auto& it : items) {
    Uint8 fixed[kFSListEntryFixed] = {};
    WriteU32(fixed, it.type);
    WriteU32(fixed + 4, it.creator);
    WriteU32(fixed + 8, it.size > 0xFFFFFFFFu ? 0xFFFFFFFFu : Uint32(it.size));
    WriteStamp(fixed + 18, it.created);
    WriteStamp(fixed + 26, it.modified);
    const std::size_t n = std::min<std::size_t>(it.name.size(), 255);
    fixed[34] = Uint8(n);
    out.append(fixed, sizeof fixed);
    AppendBytes(out, it.name.data(), n);
    ++count;
  }
  return out;
}

bool ReadListEntry(ByteView block, std::size_t& offset, SFSListItem& item) {
  if (offset > block.size() || block.size() - offset < kFSListEntryFixed) return false;
  const Uint8* p = block.data() + offset;
  const std::size_t n = p[34];
  if (block.size() - offset - kFSListEntryFixed < n) return false;
  item = SFSListItem{};
  item.type = ReadU32(p);
  item.creator = ReadU32(p + 4);
  item.size = ReadU32(p + 8);
  item.created = ReadStamp(p + 18);
  item.modified = ReadStamp(p + 26);
  item.name.assign(reinterpret_cast<const char*>(p + kFSListEntryFixed), n);
  item.kind = item.type == FourCC("fldr") ? fsKindFolder : item.type == FourCC("alis") ? fsKindBrokenAlias : fsKindFile;
  offset += kFSListEntryFixed + n;
  return true;
}

bool IsLocked(TFSRef ref) {
  Require(ref);
  return false;
}

}  // namespace UFileSys
}  // namespace cv
