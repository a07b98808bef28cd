// Changing the disk: create, delete, rename, move, open, read and write, whole-file saves.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "framework/errors.h"
#include "framework/filesys.h"
#include "framework/src/filesys_internal.h"

namespace cv::UFileSys {
namespace {

using namespace fsi;

[[noreturn]] void Fail(Int16 id, Uint32 line) { UError::RaiseFull(errClassFiles, id, "UFileSys", line, false, false); }

// Every open file of this program with its access and sharing. The host does not refuse a
// second open or deleting an open file, so this is where "file in use" comes from.
struct SOpenEntry {
  const SFSRef* ref;
  Uint32 access;
};
std::mutex gOpenLock;
std::map<std::pair<dev_t, ino_t>, std::vector<SOpenEntry>> gOpen;

Uint32 Sharing(Uint32 access) {
  if (access & fsShareNone) return 0;
  const Uint32 s = access & fsShareBoth;
  return s ? s : fsShareRead;
}

bool Conflicts(Uint32 a, Uint32 b) {
  const Uint32 sa = Sharing(a), sb = Sharing(b);
  return ((a & fsRead) && !(sb & fsShareRead)) || ((a & fsWrite) && !(sb & fsShareWrite)) ||
         ((b & fsRead) && !(sa & fsShareRead)) || ((b & fsWrite) && !(sa & fsShareWrite));
}

bool InUse(const struct stat& st) {
  std::lock_guard lock(gOpenLock);
  const auto it = gOpen.find({st.st_dev, st.st_ino});
  return it != gOpen.end() && !it->second.empty();
}

// The folder that holds the object's item, opened beneath the root, and the item's name.
struct SParent {
  Fd fd;
  std::string leaf;
};

SParent ParentOf(const SFSRef& r, int flags = O_PATH | O_DIRECTORY) {
  if (r.rel.empty()) Fail(errAccessDenied, __LINE__);  // the root itself is the caller's, not ours to change
  SParent p{OpenBeneath(r.root, std::string(ParentRel(r.rel)), flags), std::string(LeafOf(r.rel))};
  if (!p.fd.ok()) {
    if (p.fd.err() == ENOENT) Fail(errPathNotFound, __LINE__);  // the enclosing folder is missing
    RaiseBeneath(p.fd.err(), __LINE__);
  }
  return p;
}

int RenameNoReplace(int fromDir, const char* from, int toDir, const char* to) {
  if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without the flag: look first (a race may still replace, as on such hosts).
  struct stat st {};
  if (::fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::renameat(fromDir, from, toDir, to);
}

std::atomic<int> gSaveFault{0};

bool WriteAllFd(int fd, const Uint8* data, std::size_t size) {
  if (const int fault = gSaveFault.exchange(0)) {
    errno = fault;
    return false;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += size_t(n);
  }
  return true;
}

}  // namespace

void CreateFile(TFSRef ref, Uint32, Uint32) {
  const SParent p = ParentOf(Require(ref));
  const int fd = ::openat(p.fd.get(), p.leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) UError::RaiseSystem(errno, "UFileSys::CreateFile", __LINE__);
  ::close(fd);
}

void CreateFolder(TFSRef ref) {
  const SFSRef& r = Require(ref);
  if (r.rel.empty()) {
    // An object made from a base that did not exist yet: the base is the caller's own path.
    if (::mkdir(r.root.c_str(), 0777) != 0) UError::RaiseSystem(errno, "UFileSys::CreateFolder", __LINE__);
    return;
  }
  const SParent p = ParentOf(r);
  if (::mkdirat(p.fd.get(), p.leaf.c_str(), 0777) != 0) UError::RaiseSystem(errno, "UFileSys::CreateFolder", __LINE__);
}

void Delete(TFSRef ref) {
  SFSRef& r = Require(ref);
  if (r.fd >= 0) Fail(errFileInUse, __LINE__);
  SParent p;
  try {
    p = ParentOf(r);
  } catch (const SError& e) {
    if (e.Is(errClassFiles, errFileNotFound) || e.Is(errClassFiles, errPathNotFound)) return;
    throw;
  }
  struct stat st {};
  if (::fstatat(p.fd.get(), p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return;
    UError::RaiseSystem(errno, "UFileSys::Delete", __LINE__);
  }
  if (InUse(st)) Fail(errFileInUse, __LINE__);
  if (::unlinkat(p.fd.get(), p.leaf.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
    UError::RaiseSystem(errno, "UFileSys::Delete", __LINE__);
  }
}

void Rename(TFSRef ref, std::string_view newName) {
  SFSRef& r = Require(ref);
  if (!IsSafeComponent(newName)) Fail(errInvalidName, __LINE__);
  const SParent p = ParentOf(r);
  struct stat st {};
  if (::fstatat(p.fd.get(), p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    UError::RaiseSystem(errno, "UFileSys::Rename", __LINE__);
  }
  if (newName == p.leaf) return;
  if (r.fd >= 0 || InUse(st)) Fail(errFileInUse, __LINE__);
  const std::string to(newName);
  if (RenameNoReplace(p.fd.get(), p.leaf.c_str(), p.fd.get(), to.c_str()) != 0) {
    UError::RaiseSystem(errno, "UFileSys::Rename", __LINE__);
  }
  r.rel = AppendRel(ParentRel(r.rel), to);
}

void Move(TFSRef ref, TFSRef destFolder) {
  SFSRef& r = Require(ref);
  const SFSRef& d = Require(destFolder);
  const SParent p = ParentOf(r);
  struct stat st {};
  if (::fstatat(p.fd.get(), p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    UError::RaiseSystem(errno, "UFileSys::Move", __LINE__);
  }
  const Fd dest = OpenBeneath(d.root, d.rel, O_PATH | O_DIRECTORY);
  if (!dest.ok()) {
    if (dest.err() == ENOTDIR) Fail(errNotAFolder, __LINE__);
    RaiseBeneath(dest.err(), __LINE__);
  }
  if (S_ISDIR(st.st_mode)) {
    // A folder may not go into itself or below itself.
    const Fd src = OpenBeneath(r.root, r.rel, O_PATH | O_DIRECTORY | O_NOFOLLOW);
    const std::string srcPath = src.ok() ? PathOfFd(src.get()) : std::string();
    const std::string destPath = PathOfFd(dest.get());
    if (!srcPath.empty() && !destPath.empty() &&
        (destPath == srcPath ||
         (destPath.size() > srcPath.size() && destPath.compare(0, srcPath.size(), srcPath) == 0 &&
          destPath[srcPath.size()] == '/'))) {
      Fail(errIntoItself, __LINE__);
    }
  }
  if (r.fd >= 0 || InUse(st)) Fail(errFileInUse, __LINE__);
  if (RenameNoReplace(p.fd.get(), p.leaf.c_str(), dest.get(), p.leaf.c_str()) != 0) {
    if (errno == EINVAL) Fail(errIntoItself, __LINE__);
    UError::RaiseSystem(errno, "UFileSys::Move", __LINE__);
  }
  r.root = d.root;
  r.rel = AppendRel(d.rel, p.leaf);
}

void Open(TFSRef ref, Uint32 access) {
  SFSRef& r = Require(ref);
  if (r.fd >= 0) UError::RaiseFull(errClassGeneral, errBadState, "UFileSys::Open", __LINE__, false, false);
  const Uint32 rw = access & fsReadWrite;
  if (rw == 0) UError::Raise(errClassGeneral, errBadArgument);
  const int mode = rw == fsReadWrite ? O_RDWR : rw == fsWrite ? O_WRONLY : O_RDONLY;
  // Non-blocking so that a pipe put in a file's place cannot hang the program; cleared below.
  Fd fd = OpenBeneath(r.root, r.rel, mode | O_NONBLOCK | O_NOCTTY);
  if (!fd.ok()) RaiseBeneath(fd.err(), __LINE__);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) UError::RaiseSystem(errno, "UFileSys::Open", __LINE__);
  if (!S_ISREG(st.st_mode)) Fail(S_ISDIR(st.st_mode) ? Int16(errNotAFile) : Int16(errAccessDenied), __LINE__);
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  {
    std::lock_guard lock(gOpenLock);
    auto& list = gOpen[{st.st_dev, st.st_ino}];
    for (const auto& e : list)
      if (Conflicts(e.access, access)) Fail(errFileInUse, __LINE__);
    list.push_back({&r, access});
  }
  r.fd = fd.release();
  r.access = access;
  r.dev = st.st_dev;
  r.ino = st.st_ino;
}

void Close(TFSRef ref) {
  if (!ref || ref->fd < 0) return;
  {
    std::lock_guard lock(gOpenLock);
    const auto it = gOpen.find({ref->dev, ref->ino});
    if (it != gOpen.end()) {
      auto& list = it->second;
      for (auto e = list.begin(); e != list.end(); ++e) {
        if (e->ref == ref) {
          list.erase(e);
          break;
        }
      }
      if (list.empty()) gOpen.erase(it);
    }
  }
  ::close(ref->fd);
  ref->fd = -1;
  ref->access = 0;
}

bool IsOpen(TFSRef ref) { return ref && ref->fd >= 0; }

namespace {

const SFSRef& RequireOpen(TFSRef ref, const char* source) {
  const SFSRef& r = Require(ref);
  if (r.fd < 0) UError::RaiseFull(errClassGeneral, errBadState, source, __LINE__, false, false);
  return r;
}

void CheckRange(Uint64 offset, std::size_t count) {
  constexpr Uint64 kMax = Uint64(std::numeric_limits<off_t>::max());
  if (offset > kMax || count > kMax - offset) UError::Raise(errClassGeneral, errBadArgument);
}

}  // namespace

std::size_t ReadAt(TFSRef ref, Uint64 offset, void* buffer, std::size_t count) {
  const SFSRef& r = RequireOpen(ref, "UFileSys::ReadAt");
  if (count == 0) return 0;
  if (!buffer) UError::Raise(errClassGeneral, errBadArgument);
  CheckRange(offset, count);
  auto* out = static_cast<Uint8*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(r.fd, out + done, count - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) UError::RaiseSystem(errno, "UFileSys::ReadAt", __LINE__);
    if (n == 0) break;
    done += size_t(n);
  }
  return done;
}

std::size_t WriteAt(TFSRef ref, Uint64 offset, const void* data, std::size_t count) {
  const SFSRef& r = RequireOpen(ref, "UFileSys::WriteAt");
  if (count == 0) return 0;
  if (!data) UError::Raise(errClassGeneral, errBadArgument);
  CheckRange(offset, count);
  const auto* in = static_cast<const Uint8*>(data);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pwrite(r.fd, in + done, count - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) UError::RaiseSystem(errno, "UFileSys::WriteAt", __LINE__);
    if (n == 0) UError::RaiseSystem(EIO, "UFileSys::WriteAt", __LINE__);
    done += size_t(n);
  }
  return done;
}

int GetDescriptor(TFSRef ref) { return Require(ref).fd; }

Uint64 GetSize(TFSRef ref) {
  const SFSRef& r = Require(ref);
  struct stat st {};
  if (r.fd >= 0) {
    if (::fstat(r.fd, &st) != 0) UError::RaiseSystem(errno, "UFileSys::GetSize", __LINE__);
  } else if (!StatBeneath(r.root, r.rel, st)) {
    RaiseBeneath(errno, __LINE__);
  }
  return S_ISREG(st.st_mode) ? Uint64(st.st_size) : 0;
}

void SetSize(TFSRef ref, Uint64 size) {
  const SFSRef& r = RequireOpen(ref, "UFileSys::SetSize");
  if (!(r.access & fsWrite)) Fail(errAccessDenied, __LINE__);
  CheckRange(size, 0);
  if (::ftruncate(r.fd, off_t(size)) != 0) UError::RaiseSystem(errno, "UFileSys::SetSize", __LINE__);
}

Uint64 FreeSpace(TFSRef ref) {
  const SFSRef& r = Require(ref);
  struct statvfs vfs {};
  int rc;
  if (r.fd >= 0) {
    rc = ::fstatvfs(r.fd, &vfs);
  } else {
    // A missing item is asked about through the nearest folder that exists.
    std::string rel = r.rel;
    Fd fd = OpenBeneath(r.root, rel, O_RDONLY | O_DIRECTORY);
    while (!fd.ok() && !rel.empty() && (fd.err() == ENOENT || fd.err() == ENOTDIR)) {
      rel = std::string(ParentRel(rel));
      fd = OpenBeneath(r.root, rel, O_RDONLY | O_DIRECTORY);
    }
    if (!fd.ok()) RaiseBeneath(fd.err(), __LINE__);
    rc = ::fstatvfs(fd.get(), &vfs);
  }
  if (rc != 0) UError::RaiseSystem(errno, "UFileSys::FreeSpace", __LINE__);
  return Uint64(vfs.f_bavail) * Uint64(vfs.f_frsize);
}

void SetSaveFaultForTesting(int errnoValue) { gSaveFault.store(errnoValue); }

void SaveWhole(TFSRef folder, std::string_view name, ByteView bytes) {
  Require(folder);
  Int16 kind = 0;
  const TFSRefPtr target(New(folder, {}, name, 0, &kind));
  if (kind == fsKindNoFolder) Fail(errPathNotFound, __LINE__);
  if (kind == fsKindFolder) Fail(errNotAFile, __LINE__);
  const SParent p = ParentOf(*target, O_RDONLY | O_DIRECTORY);

  // Keep the old file's permissions; a new file gets the usual ones less the umask.
  struct stat old {};
  const bool hadOld = ::fstatat(p.fd.get(), p.leaf.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode);

  static std::atomic<Uint32> counter{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", long(::getpid()), unsigned(counter.fetch_add(1)));
    tmp = "." + p.leaf.substr(0, 180) + suffix;
    fd = ::openat(p.fd.get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) UError::RaiseSystem(errno, "UFileSys::SaveWhole", __LINE__);

  auto fail = [&](int err) {
    if (fd >= 0) ::close(fd);
    ::unlinkat(p.fd.get(), tmp.c_str(), 0);
    UError::RaiseSystem(err, "UFileSys::SaveWhole", __LINE__);
  };
  if (hadOld && ::fchmod(fd, old.st_mode & 07777) != 0) fail(errno);
  if (!WriteAllFd(fd, bytes.data(), bytes.size())) fail(errno);
  if (::fsync(fd) != 0) fail(errno);
  const int closing = fd;
  fd = -1;
  if (::close(closing) != 0) fail(errno);
  if (::renameat(p.fd.get(), tmp.c_str(), p.fd.get(), p.leaf.c_str()) != 0) fail(errno);
  // The rename itself must reach the disk too; folders that cannot be synced are left be.
  ::fsync(p.fd.get());
}

Bytes LoadWhole(TFSRef ref, std::size_t maxSize) {
  const SFSRef& r = Require(ref);
  const Fd fd = OpenBeneath(r.root, r.rel, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!fd.ok()) RaiseBeneath(fd.err(), __LINE__);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) UError::RaiseSystem(errno, "UFileSys::LoadWhole", __LINE__);
  if (!S_ISREG(st.st_mode)) Fail(S_ISDIR(st.st_mode) ? Int16(errNotAFile) : Int16(errAccessDenied), __LINE__);
  if (Uint64(st.st_size) > maxSize) UError::Raise(errClassGeneral, errFieldTooLarge);
  Bytes out;
  out.resize(std::size_t(st.st_size));
  std::size_t done = 0;
  while (true) {
    if (done == out.size()) {
      if (out.size() >= maxSize) break;
      out.resize(std::min(maxSize, out.size() + 4096));  // the file grew while we read
    }
    const ssize_t n = ::pread(fd.get(), out.data() + done, out.size() - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) UError::RaiseSystem(errno, "UFileSys::LoadWhole", __LINE__);
    if (n == 0) break;
    done += size_t(n);
  }
  out.resize(done);
  return out;
}

}  // namespace cv::UFileSys
