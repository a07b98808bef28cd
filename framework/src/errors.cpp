#include "framework/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace cv::UError {

namespace {

struct SystemMapping {
  Int32 code;
  Int16 cls;
  Int16 id;
};

// errno values mapped to (class, id); sorted by code and searched by halving.
constexpr SystemMapping kSystemMap[] = {
    {EPERM, errClassFiles, errAccessDenied},
    {ENOENT, errClassFiles, errFileNotFound},
    {EIO, errClassFiles, 106},
    {ENXIO, errClassFiles, 105},
    {EBADF, errClassGeneral, errBadArgument},
    {EAGAIN, errClassNetwork, errConnectionLost},
    {ENOMEM, errClassMemory, errNoMemory},
    {EACCES, errClassFiles, errAccessDenied},
    {EBUSY, errClassFiles, errFileInUse},
    {EEXIST, errClassFiles, errNameExists},
    {EXDEV, errClassFiles, errNotSameDisk},
    {ENODEV, errClassFiles, 105},
    {ENOTDIR, errClassFiles, errPathNotFound},
    {EISDIR, errClassFiles, errAccessDenied},
    {EINVAL, errClassGeneral, errBadArgument},
    {ENFILE, errClassMemory, errNoMemory},
    {EMFILE, errClassMemory, errNoMemory},
    {ETXTBSY, errClassFiles, errFileInUse},
    {EFBIG, errClassFiles, errDiskFull},
    {ENOSPC, errClassFiles, errDiskFull},
    {EROFS, errClassFiles, 111},
    {EPIPE, errClassNetwork, errConnectionLost},
    {ENAMETOOLONG, errClassFiles, errInvalidName},
    {ENOSYS, errClassFiles, errNotSupported},
    {ENOTEMPTY, errClassFiles, errNameExists},
    {ELOOP, errClassFiles, errInvalidName},
    {ENOTSOCK, errClassGeneral, errBadArgument},
    {EPROTONOSUPPORT, errClassNetwork, errBadProtocol},
    {EOPNOTSUPP, errClassFiles, errNotSupported},
    {EAFNOSUPPORT, errClassNetwork, errBadProtocol},
    {EADDRINUSE, errClassNetwork, errAddressInUse},
    {EADDRNOTAVAIL, errClassNetwork, errAddressInUse},
    {ENETDOWN, errClassNetwork, errUnreachable},
    {ENETUNREACH, errClassNetwork, errUnreachable},
    {ENETRESET, errClassNetwork, errUnreachable},
    {ECONNABORTED, errClassNetwork, errConnectionLost},
    {ECONNRESET, errClassNetwork, errConnectionLost},
    {ENOBUFS, errClassNetwork, errConnectionLost},
    {EISCONN, errClassNetwork, errConnectionLost},
    {ENOTCONN, errClassNetwork, errConnectionLost},
    {ESHUTDOWN, errClassNetwork, errConnectionLost},
    {ETIMEDOUT, errClassNetwork, errTimedOut},
    {ECONNREFUSED, errClassNetwork, errRefused},
    {EHOSTDOWN, errClassNetwork, errTimedOut},
    {EHOSTUNREACH, errClassNetwork, errUnreachable},
    {EDQUOT, errClassFiles, errDiskFull},
};
static_assert(std::is_sorted(std::begin(kSystemMap), std::end(kSystemMap),
                             [](const auto& a, const auto& b) { return a.code < b.code; }),
              "the errno table is searched by halving");

}  // namespace

SError FromSystem(Int32 code) {
  SError e(errClassGeneral, errUnknown);
  e.systemCode = code;
  const auto* it = std::lower_bound(std::begin(kSystemMap), std::end(kSystemMap), code,
                                    [](const SystemMapping& m, Int32 c) { return m.code < c; });
  if (it != std::end(kSystemMap) && it->code == code) {
    e.errClass = it->cls;
    e.id = it->id;
  }
  return e;
}

void Raise(Int16 cls, Int16 id) { throw SError(cls, id); }

void RaiseFull(Int16 cls, Int16 id, const char* source, Uint32 line, bool /*reserved*/, bool silent) {
  SError e(cls, id);
  e.source = source ? source : "";
  e.line = line;
  if (silent) e.flags |= SError::flagSilent;
  throw e;
}

void RaiseSystem(Int32 code, const char* source, Uint32 line) {
  SError e = FromSystem(code);
  e.source = source ? source : "";
  e.line = line;
  throw e;
}

void RaiseLastSystem(const char* source, Uint32 line) { RaiseSystem(errno, source, line); }

void Trace(const char* text) {
  static const bool enabled = std::getenv("CORVANE_TRACE") != nullptr;
  if (enabled && text) std::fprintf(stderr, "trace: %s\n", text);
}

}  // namespace cv::UError
