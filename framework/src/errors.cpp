#include "framework/errors.h"

#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

#include "framework/resources.h"
#include "framework/text.h"

namespace cv::UError {

namespace {

struct SystemMapping {
  Int32 code;
  Int16 cls;
  Int16 id;
};

// errno values (and the negative host-lookup codes of getaddrinfo) mapped to
// (class, id); sorted by code and searched by halving.
constexpr SystemMapping kSystemMap[] = {
    {EAI_NODATA, errClassNetwork, errBadAddress},
    {EAI_FAIL, errClassNetwork, errBadAddress},
    {EAI_AGAIN, errClassNetwork, errBadAddress},
    {EAI_NONAME, errClassNetwork, errBadAddress},
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
    {ESPIPE, errClassFiles, errNotSupported},
    {EROFS, errClassFiles, 111},
    {EMLINK, errClassFiles, errNotSupported},
    {EPIPE, errClassNetwork, errConnectionLost},
    {ERANGE, errClassGeneral, errBadIndex},
    {ENAMETOOLONG, errClassFiles, errInvalidName},
    {ENOSYS, errClassFiles, errNotSupported},
    {ENOTEMPTY, errClassFiles, errNameExists},
    {ELOOP, errClassFiles, errInvalidName},
    {EOVERFLOW, errClassGeneral, errBadIndex},
    {EILSEQ, errClassFiles, errInvalidName},
    {ENOTSOCK, errClassGeneral, errBadArgument},
    {EDESTADDRREQ, errClassNetwork, errBadAddress},
    {EPROTOTYPE, errClassNetwork, errBadProtocol},
    {ENOPROTOOPT, errClassNetwork, errBadProtocol},
    {EPROTONOSUPPORT, errClassNetwork, errBadProtocol},
    {ESOCKTNOSUPPORT, errClassNetwork, errBadProtocol},
    {EOPNOTSUPP, errClassFiles, errNotSupported},
    {EPFNOSUPPORT, errClassNetwork, errBadProtocol},
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
    {ETOOMANYREFS, errClassNetwork, errConnectionLost},
    {ETIMEDOUT, errClassNetwork, errTimedOut},
    {ECONNREFUSED, errClassNetwork, errRefused},
    {EHOSTDOWN, errClassNetwork, errTimedOut},
    {EHOSTUNREACH, errClassNetwork, errUnreachable},
    {ESTALE, errClassFiles, errFileNotFound},
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

namespace {

constexpr char kUnknownText[] = "An unknown error has occured.";
constexpr char kNoMemoryText[] = "Not enough memory.  Try closing windows.";
constexpr Uint32 kListMagic = FourCC("IVA1");
constexpr Uint32 kMaxListItems = 1u << 24;

std::mutex gSinkLock;
AlertSink gSink;

void DefaultSink(std::string_view title, std::string_view text) {
  std::string utf8 = UText::MacRomanToUtf8(text);
  for (char& c : utf8)
    if (c == '\r') c = '\n';
  std::fprintf(stderr, "%s: %s\n", std::string(title).c_str(), utf8.c_str());
}

}  // namespace

bool FindListItem(ByteView list, Uint32 itemId, std::string_view& text) {
  if (itemId == 0 || list.size() < 24 || ReadU32(list.data()) != kListMagic) return false;
  const Uint32 count = ReadU32(list.data() + 12);
  if (count == 0 || count >= kMaxListItems) return false;
  const std::size_t entriesEnd = 16 + 8 * (std::size_t(count) + 1);
  if (entriesEnd > list.size()) return false;
  const Uint8* entries = list.data() + 16;
  // Halving search over the sorted ids of entries 0..count-1.
  std::size_t lo = 0, hi = count;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const Uint32 id = ReadU32(entries + 8 * mid);
    if (id < itemId)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo >= count || ReadU32(entries + 8 * lo) != itemId) return false;
  const Uint64 begin = ReadU32(entries + 8 * lo + 4);
  const Uint64 end = ReadU32(entries + 8 * (lo + 1) + 4);
  const Uint64 area = list.size() - entriesEnd;
  if (begin > end || end > area) return false;
  text = std::string_view(reinterpret_cast<const char*>(list.data() + entriesEnd + begin), std::size_t(end - begin));
  return true;
}

Bytes MakeItemList(std::vector<std::pair<Uint32, std::string>> items) {
  std::map<Uint32, std::string> sorted;
  for (auto& [id, text] : items)
    if (id) sorted[id] = std::move(text);
  Bytes out;
  AppendU32(out, kListMagic);
  out.append(8, 0);
  AppendU32(out, Uint32(sorted.size()));
  std::string area;
  for (const auto& [id, text] : sorted) {
    AppendU32(out, id);
    AppendU32(out, Uint32(area.size()));
    area += text;
  }
  AppendU32(out, 0);
  AppendU32(out, Uint32(area.size()));
  AppendBytes(out, area.data(), area.size());
  return out;
}

std::size_t GetMessageText(const SError& error, void* buffer, std::size_t capacity) {
  if (!buffer || !capacity) return 0;
  const Uint32 cls = Uint32(Uint16(error.errClass));
  if (error.id > 0) {
    if (TRezFile f = URez::FindFile(rezErrorTexts, cls)) {
      if (const Bytes* list = URez::LoadItem(f, rezErrorTexts, cls, true)) {
        std::string_view text;
        std::size_t n = 0;
        const bool found = FindListItem(ByteView(list->data(), list->size()), Uint32(error.id), text);
        if (found) {
          n = std::min(text.size(), capacity);
          std::memcpy(buffer, text.data(), n);
        }
        URez::ReleaseItem(f, rezErrorTexts, cls);
        if (found) return n;
      }
    }
  }
  const bool noMemory = error.Is(errClassMemory, errNoMemory);
  return UText::Format(buffer, capacity, "%s", noMemory ? kNoMemoryText : kUnknownText);
}

std::size_t GetIdText(const SError& error, void* buffer, std::size_t capacity) {
  const bool hasSource = error.source && *error.source;
  if (error.systemCode && hasSource)
    return UText::Format(buffer, capacity, "ID %hi/%hi [%li] @ %s #%lu", int(error.errClass), int(error.id),
                         int(error.systemCode), error.source, unsigned(error.line));
  if (error.systemCode)
    return UText::Format(buffer, capacity, "ID %hi/%hi [%li]", int(error.errClass), int(error.id),
                         int(error.systemCode));
  if (hasSource)
    return UText::Format(buffer, capacity, "ID %hi/%hi @ %s #%lu", int(error.errClass), int(error.id), error.source,
                         unsigned(error.line));
  return UText::Format(buffer, capacity, "ID %hi/%hi", int(error.errClass), int(error.id));
}

std::string MessageText(const SError& error) {
  char buf[1024];
  return std::string(buf, GetMessageText(error, buf, sizeof buf));
}

std::string IdText(const SError& error) {
  char buf[256];
  return std::string(buf, GetIdText(error, buf, sizeof buf));
}

std::string AlertText(const SError& error) {
  char buf[255 + 2 + 128];
  std::size_t n = GetMessageText(error, buf, 255);
  buf[n++] = '\r';
  buf[n++] = '\r';
  n += GetIdText(error, buf + n, 128);
  return std::string(buf, n);
}

void Alert(const SError& error) {
  if (error.IsSilent()) return;
  const std::string text = AlertText(error);
  AlertSink sink;
  {
    std::lock_guard<std::mutex> lock(gSinkLock);
    sink = gSink;
  }
  if (sink)
    sink("ERROR", text);
  else
    DefaultSink("ERROR", text);
}

void SetAlertSink(AlertSink sink) {
  std::lock_guard<std::mutex> lock(gSinkLock);
  gSink = std::move(sink);
}

}  // namespace cv::UError
