// Private parts of UFileSys shared by its sources.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

#include "framework/filesys.h"

namespace cv {

struct SFSRef {
  std::string root;  // absolute, canonical folder that this object may not leave
  std::string rel;   // the item below root, components separated by '/'; "" names root itself
  int fd = -1;       // the open file, or -1
  Uint32 access = 0;
  dev_t dev = 0;  // identity of the open file, for the sharing registry
  ino_t ino = 0;
};

namespace fsi {

// An owned descriptor; err keeps the errno of a failed open.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd, int err = 0) : fd_(fd), err_(err) {}
  Fd(Fd&& o) noexcept : fd_(o.fd_), err_(o.err_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();

  int get() const { return fd_; }
  int err() const { return err_; }
  bool ok() const { return fd_ >= 0; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }

 private:
  int fd_ = -1;
  int err_ = 0;
};

// Raises the mapped error for an errno from resolution beneath a root: leaving the root
// (EXDEV from the kernel's check, or our own) is access denied, not "another disk".
[[noreturn]] void RaiseBeneath(int err, Uint32 line);

// Opens root/rel without ever leaving root: ".." may not climb out and symbolic links are
// followed only while they stay inside. Escapes fail with EXDEV.
Fd OpenBeneath(const std::string& root, const std::string& rel, int flags);
// Uses the canonicalise-and-compare check instead of the kernel's (old kernels; tests).
void SetBeneathFallback(bool on);

std::string Join(const std::string& root, const std::string& rel);
std::string_view ParentRel(std::string_view rel);  // "" for a top-level item
std::string_view LeafOf(std::string_view path);
std::string AppendRel(std::string_view rel, std::string_view name);
bool EndsWithLnk(std::string_view name);
// A component that may be used on disk as it is: not empty, not "." or "..", no '/' or NUL,
// at most 255 bytes.
bool IsSafeComponent(std::string_view name);
// The real path of an open descriptor, or "" when the host cannot tell.
std::string PathOfFd(int fd);

// What one path below a root is.
struct SInspect {
  Int16 kind = fsKindNoFolder;
  bool escapes = false;   // a link (or alias, see below) that leads outside the root
  bool special = false;   // neither file nor folder: devices, pipes, sockets
  std::string targetRel;  // an alias that resolved: its target below the root
  Int16 targetKind = 0;   // fsKindFile or fsKindFolder
};
// Raises host errors other than "missing".
SInspect Inspect(const std::string& root, const std::string& rel);

enum class EAliasResult { Ok, Broken, Escapes };
// Reads the alias file root/lnkRel and finds its target below the root.
EAliasResult ReadAlias(const std::string& root, const std::string& lnkRel, std::string& targetRel, Int16& targetKind);

// File status following links beneath the root; false with errno when missing.
bool StatBeneath(const std::string& root, const std::string& rel, struct stat& st);
SDateStamp StampFromTime(Int64 seconds, Int64 nanos);
// Creation and modification stamps of an open descriptor.
void DatesOfFd(int fd, SDateStamp& created, SDateStamp& modified);
Uint32 CountEntries(int dirFd);

}  // namespace fsi
}  // namespace cv
