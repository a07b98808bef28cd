// Errors: every failure is an SError naming its cause by (class, id), raised as an
// exception and caught by whoever expects it; the event loop catches the rest.
// User-facing texts are looked up by class and id in the program's resource file.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/types.h"

namespace cv {

enum : Int16 {
  errClassGeneral = 1,
  errClassMemory = 3,
  errClassFiles = 4,
  errClassResources = 6,
  errClassNetwork = 8,
};

// Common ids; the full list lives with the error texts in the resource sources.
enum : Int16 {
  errUnknown = 1,           // 1,1
  errBadArgument = 2,       // 1,2
  errBadState = 3,          // 1,3
  errNotImplemented = 4,    // 1,4
  errBadVersion = 7,        // 1,7
  errBadFormat = 8,         // 1,8
  errFieldTooLarge = 10,    // 1,10
  errBadIndex = 11,         // 1,11
  errNoMemory = 101,        // 3,101
  errDiskFull = 101,        // 4,101
  errPathNotFound = 102,    // 4,102
  errFileNotFound = 103,    // 4,103
  errNotSupported = 110,    // 4,110
  errNameExists = 115,      // 4,115
  errFileInUse = 116,       // 4,116
  errAccessDenied = 117,    // 4,117
  errInvalidName = 119,     // 4,119
  errNotSameDisk = 129,     // 4,129
  errRezCannotRead = 100,   // 6,100
  errRezNotFound = 101,     // 6,101
  errConnectionLost = 100,  // 8,100
  errBadAddress = 101,      // 8,101
  errTimedOut = 103,        // 8,103
  errRefused = 104,         // 8,104
  errUnreachable = 106,     // 8,106
  errBadProtocol = 107,     // 8,107
  errNoNetworking = 109,    // 8,109
  errAddressInUse = 112,    // 8,112
};

struct SError : std::exception {
  Int16 errClass = errClassGeneral;
  Int16 id = errUnknown;
  const char* source = "";  // static text naming where it was raised; "" when not given
  Uint32 line = 0;
  Int32 systemCode = 0;  // errno behind this error, 0 when none
  Uint32 flags = 0;      // bit 1: silent

  static constexpr Uint32 flagSilent = 0x2;

  SError() = default;
  SError(Int16 cls, Int16 errId) : errClass(cls), id(errId) {}

  bool IsSilent() const { return (flags & flagSilent) != 0; }
  bool Is(Int16 cls, Int16 errId) const { return errClass == cls && id == errId; }
  const char* what() const noexcept override { return "SError"; }
};

namespace UError {

[[noreturn]] void Raise(Int16 cls, Int16 id);
[[noreturn]] void RaiseFull(Int16 cls, Int16 id, const char* source, Uint32 line, bool reserved, bool silent);
// Maps an errno value to (class, id) and raises with the code kept as system code.
[[noreturn]] void RaiseSystem(Int32 code, const char* source = "", Uint32 line = 0);
// The same with the calling thread's errno.
[[noreturn]] void RaiseLastSystem(const char* source = "", Uint32 line = 0);

// The (class, id) that an errno value maps to.
SError FromSystem(Int32 code);

// A short debugging trace ("UTransport - already connected"); never shown to users.
void Trace(const char* text);

// The error's text from the 'EMSG' item list of its class in the open resource files,
// else one of the two built-in texts. Cut to capacity; no terminator.
std::size_t GetMessageText(const SError& error, void* buffer, std::size_t capacity);
// "ID 8/104", with " [errno]" when a system code is kept and " @ source #line" when
// the source is known.
std::size_t GetIdText(const SError& error, void* buffer, std::size_t capacity);
std::string MessageText(const SError& error);
std::string IdText(const SError& error);
// What the alert shows: the message, two carriage returns, the id text.
std::string AlertText(const SError& error);

// Shows the error (title "ERROR") through the alert sink; silent errors show nothing.
void Alert(const SError& error);
// Receives every alert: title and text, both Mac OS Roman. The window toolkit installs
// a modal alert here; the default writes to stderr. Passing none restores the default.
using AlertSink = std::function<void(std::string_view title, std::string_view text)>;
void SetAlertSink(AlertSink sink);

// The text of one item of an 'IVA1' list; false when the list has no such item or is
// malformed. Item id 0 never matches.
bool FindListItem(ByteView list, Uint32 itemId, std::string_view& text);
// Builds an 'IVA1' list from (id, text) pairs; ids are sorted, duplicates keep the last.
Bytes MakeItemList(std::vector<std::pair<Uint32, std::string>> items);

}  // namespace UError

// Raises (1, 2) when an object argument is missing.
template <typename T>
inline T& Require(T* p) {
  if (!p) UError::Raise(errClassGeneral, errBadArgument);
  return *p;
}

}  // namespace cv
