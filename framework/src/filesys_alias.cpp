// Aliases. This host has no shortcut files of its own, so an alias is a small file whose
// name ends in ".lnk", big-endian:
//
//   offset  size  content
//   0       4     magic 'CVal'
//   4       2     version, 1
//   6       2     flags: bit 0 set when the target was a folder when the alias was made
//   8       2     length a of the target's absolute path (1 to 4096)
//   10      a     the target's absolute path, '/'-separated, no terminator
//   10+a    2     length r of the target's path relative to the alias's own folder (0 to 16384)
//   12+a    r     that relative path ("../" steps allowed), no terminator
//
// Resolving tries the absolute path first (it survives moving the alias), then the relative
// one (it survives moving the whole tree, as when a library is copied elsewhere). Either is
// used only when it stays beneath the root of the object being resolved.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "framework/errors.h"
#include "framework/filesys.h"
#include "framework/src/filesys_internal.h"

namespace cv {
namespace fsi {
namespace {

constexpr Uint32 kAliasMagic = FourCC("CVal");
constexpr Uint16 kAliasVersion = 1;
constexpr std::size_t kMaxAbs = kFSMaxPath;
constexpr std::size_t kMaxRel = 16384;
constexpr std::size_t kMaxAliasFile = 12 + kMaxAbs + kMaxRel;

std::vector<std::string_view> SplitPath(std::string_view p) {
  std::vector<std::string_view> out;
  while (!p.empty()) {
    const auto slash = p.find('/');
    const auto part = p.substr(0, slash);
    if (!part.empty()) out.push_back(part);
    if (slash == std::string_view::npos) break;
    p.remove_prefix(slash + 1);
  }
  return out;
}

// Resolves "." and ".." without touching the disk; false when ".." climbs above the start.
bool Normalize(std::string_view start, std::string_view path, std::string& out) {
  std::vector<std::string_view> parts = SplitPath(start);
  for (auto c : SplitPath(path)) {
    if (c == ".") continue;
    if (c == "..") {
      if (parts.empty()) return false;
      parts.pop_back();
      continue;
    }
    if (c.find('\0') != std::string_view::npos) return false;
    parts.push_back(c);
  }
  out.clear();
  for (auto c : parts) {
    if (!out.empty()) out += '/';
    out += c;
  }
  return true;
}

// The part of an absolute path below root, or false when it is not below it.
bool RelativeToRoot(const std::string& root, std::string_view abs, std::string& rel) {
  if (abs.empty() || abs[0] != '/') return false;
  std::string norm;
  if (!Normalize("", abs, norm)) return false;
  std::string rootNorm;
  Normalize("", root, rootNorm);
  if (rootNorm.empty()) {
    rel = norm;
    return true;
  }
  if (norm == rootNorm) {
    rel.clear();
    return true;
  }
  if (norm.size() > rootNorm.size() && norm.compare(0, rootNorm.size(), rootNorm) == 0 &&
      norm[rootNorm.size()] == '/') {
    rel = norm.substr(rootNorm.size() + 1);
    return true;
  }
  return false;
}

enum class EProbe { Found, Missing, Escapes };

EProbe Probe(const std::string& root, const std::string& rel, Int16& kind) {
  const Fd fd = OpenBeneath(root, rel, O_PATH);
  if (!fd.ok()) return (fd.err() == EXDEV || fd.err() == ELOOP) ? EProbe::Escapes : EProbe::Missing;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return EProbe::Missing;
  if (S_ISDIR(st.st_mode)) {
    kind = fsKindFolder;
  } else if (S_ISREG(st.st_mode)) {
    kind = fsKindFile;  // an alias to an alias is not followed further
  } else {
    return EProbe::Missing;
  }
  return EProbe::Found;
}

bool ReadAll(int fd, Bytes& out, std::size_t max) {
  Uint8 buf[4096];
  while (out.size() <= max) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, size_t(n));
  }
  return false;
}

}  // namespace

EAliasResult ReadAlias(const std::string& root, const std::string& lnkRel, std::string& targetRel, Int16& targetKind) {
  const Fd fd = OpenBeneath(root, lnkRel, O_RDONLY | O_NONBLOCK);
  if (!fd.ok()) return (fd.err() == EXDEV || fd.err() == ELOOP) ? EAliasResult::Escapes : EAliasResult::Broken;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || Uint64(st.st_size) > kMaxAliasFile) {
    return EAliasResult::Broken;
  }
  Bytes data;
  if (!ReadAll(fd.get(), data, kMaxAliasFile)) return EAliasResult::Broken;
  if (data.size() < 12 || ReadU32(data.data()) != kAliasMagic || ReadU16(data.data() + 4) != kAliasVersion) {
    return EAliasResult::Broken;
  }
  const std::size_t absLen = ReadU16(data.data() + 8);
  if (absLen == 0 || absLen > kMaxAbs || data.size() < 12 + absLen) return EAliasResult::Broken;
  const std::size_t relLen = ReadU16(data.data() + 10 + absLen);
  if (relLen > kMaxRel || data.size() < 12 + absLen + relLen) return EAliasResult::Broken;
  const std::string_view abs(reinterpret_cast<const char*>(data.data() + 10), absLen);
  const std::string_view relFromAlias(reinterpret_cast<const char*>(data.data() + 12 + absLen), relLen);

  bool escapes = false;
  std::string candidate;
  if (RelativeToRoot(root, abs, candidate)) {
    switch (Probe(root, candidate, targetKind)) {
      case EProbe::Found:
        targetRel = candidate;
        return EAliasResult::Ok;
      case EProbe::Escapes:
        escapes = true;
        break;
      case EProbe::Missing:
        break;
    }
  } else {
    escapes = true;
  }
  if (relLen > 0) {
    if (!Normalize(ParentRel(lnkRel), relFromAlias, candidate)) {
      escapes = true;
    } else {
      switch (Probe(root, candidate, targetKind)) {
        case EProbe::Found:
          targetRel = candidate;
          return EAliasResult::Ok;
        case EProbe::Escapes:
          escapes = true;
          break;
        case EProbe::Missing:
          // The absolute path being elsewhere is only a moved tree, not an escape.
          escapes = false;
          break;
      }
    }
  }
  return escapes ? EAliasResult::Escapes : EAliasResult::Broken;
}

}  // namespace fsi

namespace UFileSys {

using namespace fsi;

void MakeAlias(TFSRef aliasRef, TFSRef target) {
  SFSRef& a = Require(aliasRef);
  const SFSRef& t = Require(target);
  if (a.rel.empty()) UError::RaiseFull(errClassFiles, errNameExists, "UFileSys::MakeAlias", __LINE__, false, false);

  // The target must exist and lie beneath the alias's own root.
  const Fd tfd = OpenBeneath(t.root, t.rel, O_PATH);
  if (!tfd.ok()) RaiseBeneath(tfd.err(), __LINE__);
  struct stat st {};
  if (::fstat(tfd.get(), &st) != 0) UError::RaiseSystem(errno, "UFileSys::MakeAlias", __LINE__);
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
    UError::RaiseFull(errClassFiles, errAccessDenied, "UFileSys::MakeAlias", __LINE__, false, false);
  }
  std::string targetAbs = PathOfFd(tfd.get());
  if (targetAbs.empty()) targetAbs = Join(t.root, t.rel);
  std::string targetRel;
  if (!RelativeToRoot(a.root, targetAbs, targetRel) || targetAbs.size() > kMaxAbs) {
    UError::RaiseFull(errClassFiles, errAccessDenied, "UFileSys::MakeAlias", __LINE__, false, false);
  }

  std::string leaf(LeafOf(a.rel));
  if (!EndsWithLnk(leaf)) leaf += ".lnk";
  if (!IsSafeComponent(leaf))
    UError::RaiseFull(errClassFiles, errInvalidName, "UFileSys::MakeAlias", __LINE__, false, false);
  const std::string parentRel(ParentRel(a.rel));

  // The way from the alias's folder to the target: up to the common folder, then down.
  const auto from = SplitPath(parentRel);
  const auto to = SplitPath(targetRel);
  std::size_t common = 0;
  while (common < from.size() && common < to.size() && from[common] == to[common]) ++common;
  std::string relPath;
  for (std::size_t i = common; i < from.size(); ++i) relPath += "../";
  for (std::size_t i = common; i < to.size(); ++i) {
    relPath += to[i];
    if (i + 1 < to.size()) relPath += '/';
  }
  if (relPath.empty()) relPath.push_back('.');
  if (relPath.size() > kMaxRel) relPath.clear();

  Bytes data;
  AppendU32(data, kAliasMagic);
  AppendU16(data, kAliasVersion);
  AppendU16(data, S_ISDIR(st.st_mode) ? 1 : 0);
  AppendU16(data, Uint16(targetAbs.size()));
  AppendBytes(data, targetAbs.data(), targetAbs.size());
  AppendU16(data, Uint16(relPath.size()));
  AppendBytes(data, relPath.data(), relPath.size());

  const Fd parent = OpenBeneath(a.root, parentRel, O_PATH | O_DIRECTORY);
  if (!parent.ok()) RaiseBeneath(parent.err(), __LINE__);
  const int fd = ::openat(parent.get(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) UError::RaiseSystem(errno, "UFileSys::MakeAlias", __LINE__);
  Fd owner(fd);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;
      ::unlinkat(parent.get(), leaf.c_str(), 0);
      UError::RaiseSystem(err, "UFileSys::MakeAlias", __LINE__);
    }
    done += size_t(n);
  }
  a.rel = AppendRel(parentRel, leaf);
}

bool ResolveAlias(TFSRef ref, std::string* targetPath, Int16* targetKind) {
  const SFSRef& r = Require(ref);
  std::string rel;
  Int16 kind = 0;
  if (r.rel.empty() || ReadAlias(r.root, r.rel, rel, kind) != EAliasResult::Ok) return false;
  if (targetPath) *targetPath = Join(r.root, rel);
  if (targetKind) *targetKind = kind;
  return true;
}

}  // namespace UFileSys
}  // namespace cv
