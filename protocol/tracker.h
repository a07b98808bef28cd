// Trackers: directory services that collect the servers announcing themselves and hand
// out the list. Two exchanges are fixed, and both are here without sockets:
//
// - Listing, over TCP (default port 5498): the client sends the 6-byte greeting 'CVTK' 1,
//   the tracker answers with the same greeting and then framed messages (type, length,
//   data); type 1 carries a batch of server records. CTrackerListReader takes the
//   tracker's bytes in pieces of any size and yields the records; EncodeTrackerListing
//   builds the tracker's side.
// - Registration, over UDP (default port 5499): one datagram per tracker with the
//   server's port, user count, id, name, description and that tracker's password.
//
// Every length read from the wire is checked against what arrived before it is used.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/transport.h"
#include "framework/types.h"

namespace cv {

constexpr Uint32 kTrackerMagic = FourCC("CVTK");
constexpr Uint16 kTrackerVersion = 1;
constexpr std::size_t kTrackerGreetingSize = 6;
constexpr std::size_t kTrackerMessageHeaderSize = 4;
constexpr Uint16 kTrackerListingPort = 5498;
constexpr Uint16 kTrackerRegistrationPort = 5499;

// Message types.
enum : Uint16 { trkServerList = 1 };

// A batch's data starts with the total and its record count; a record is at least
// 12 bytes (address, port, users, reserved, two empty counted strings).
constexpr std::size_t kTrackerBatchHeaderSize = 4;
constexpr std::size_t kTrackerRecordMinSize = 12;
constexpr std::size_t kTrackerMaxMessageData = 0xFFFF;
// A listing larger than this is not a list of servers; the reader gives up on it.
constexpr std::size_t kTrackerMaxListingBytes = 16u * 1024 * 1024;

struct STrackerServer {
  std::array<Uint8, 4> address{};  // IPv4, network order
  Uint16 port = 0;
  Uint16 users = 0;
  std::string name;         // counted string on the wire, at most 255 bytes
  std::string description;  // likewise

  bool operator==(const STrackerServer&) const = default;
};

// ---- Listing: client side ----

std::array<Uint8, kTrackerGreetingSize> EncodeTrackerGreeting();
// Checks the first 6 bytes of a greeting: wrong magic raises (1, 8), another version
// (1, 7); fewer than 6 bytes raises (1, 2).
void CheckTrackerGreeting(ByteView bytes);

// The records of one type-1 batch, appended to out; a truncated record ends the batch
// and those before it stay. Returns false, reading nothing, when the data is shorter
// than its 4-byte head; otherwise total gets the batch's total.
bool ParseTrackerBatch(ByteView data, Uint16& total, std::vector<STrackerServer>& out);

// Reads the tracker's side of a listing: greeting, then messages, until the records
// parsed reach the total of the last batch. Bytes may come in pieces of any size.
class CTrackerListReader {
 public:
  // Takes what it needs and returns how many bytes it took (fewer than given only once
  // the listing is complete). Raises (1, 8) for a wrong magic, (1, 7) for another
  // version, (1, 8) for a listing past kTrackerMaxListingBytes; after an error the
  // reader stays failed and raises it again.
  std::size_t Feed(ByteView bytes);
  // The connection closed: raises (8, 102) unless the listing is complete.
  void Closed() const;

  bool GreetingChecked() const { return greeted_; }
  bool Complete() const { return complete_; }
  // The total of the last batch read (0 before the first).
  Uint16 Total() const { return total_; }
  const std::vector<STrackerServer>& Servers() const { return servers_; }
  std::vector<STrackerServer> TakeServers() { return std::move(servers_); }

 private:
  void Fail(Int16 cls, Int16 id);
  void MessageDone();

  std::vector<STrackerServer> servers_;
  Bytes buf_;  // the greeting, header or message data being collected
  std::size_t want_ = kTrackerGreetingSize;
  std::size_t seen_ = 0;
  std::size_t count_ = 0;  // records parsed so far
  Uint16 messageType_ = 0;
  Uint16 total_ = 0;
  bool greeted_ = false;
  bool inData_ = false;
  bool complete_ = false;
  Int16 failClass_ = 0, failId_ = 0;
};

// ---- Listing: tracker side ----

// The greeting the tracker must check (same layout as its answer). Returns false for a
// wrong magic or version; fewer than 6 bytes raises (1, 2).
bool IsTrackerGreeting(ByteView bytes);

// One record; texts longer than 255 bytes are cut.
Bytes EncodeTrackerRecord(const STrackerServer& server);
// One framed message; data longer than 65,535 bytes raises (1, 10).
Bytes EncodeTrackerMessage(Uint16 type, ByteView data);
// The tracker's whole answer after the greeting: type-1 batches of at most maxData
// bytes of data each (at least one batch, even for no servers), every batch carrying
// the total. At most 65,535 servers are listed, the first ones given.
Bytes EncodeTrackerListing(std::span<const STrackerServer> servers, std::size_t maxData = kTrackerMaxMessageData);

// ---- Registration datagram ----

struct STrackerRegistration {
  Uint16 port = 0;   // the server's transaction port
  Uint16 users = 0;  // users connected now
  Uint32 serverId = 0;
  std::string name;
  std::string description;
  std::string password;  // this tracker's, empty when none

  bool operator==(const STrackerRegistration&) const = default;
};

constexpr Uint16 kTrackerRegistrationKind = 1;
constexpr std::size_t kTrackerRegistrationMinSize = 15;
constexpr std::size_t kTrackerRegistrationMaxSize = 12 + 3 * 256;

// Texts longer than 255 bytes are cut.
Bytes EncodeTrackerRegistration(const STrackerRegistration& reg);
// None when the datagram is too short, of another kind, or a text runs past its end.
// Bytes after the password are ignored.
std::optional<STrackerRegistration> ParseTrackerRegistration(ByteView datagram);

// ---- Tracker addresses ----

struct STrackerAddress {
  std::string host;  // dotted IPv4 address or host name
  Uint16 port = 0;
  bool operator==(const STrackerAddress&) const = default;
};

// "host" or "host:port". None for an empty host, a host over 255 bytes, or a port that
// is not a decimal number from 1 to 65535.
std::optional<STrackerAddress> ParseTrackerAddress(std::string_view text, Uint16 defaultPort);
// "host:port".
std::string TrackerAddressText(const STrackerAddress& address);
// The transport's name record for an address text: the default port when the text has
// no colon, otherwise port 0 so that the port written in the text is used. Text over
// 255 bytes is cut.
SInternetNameAddress TrackerNameRecord(std::string_view text, Uint16 defaultPort);

}  // namespace cv
