// Client sessions: one record per accepted connection, the online user list, and the
// dispatch of each complete request to the handler for its type.
//
// The session table knows nothing about sockets. Each record talks to its client
// through a CMyClientLink (the application gives every record one over its transaction
// connection), and a handler answers through an SReply that the caller sends. So the
// rules (who may ask what before login, idle marking, broadcasts, account handlers) run
// the same on a real loop and in a table of cases.
#pragma once

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/errors.h"
#include "framework/types.h"
#include "protocol/fields.h"
#include "protocol/privileges.h"
#include "server/accounts.h"
#include "server/admission.h"
#include "server/serverlog.h"

namespace cv {

// Seconds a user may stay silent before being shown as idle.
constexpr Uint32 kIdleSeconds = 600;
constexpr std::size_t kUserNameMax = 31;
// Error reply texts are cut to this many bytes, or kErrorTextWithCauseMax with a cause.
constexpr std::size_t kErrorTextMax = 255;
constexpr std::size_t kErrorTextWithCauseMax = 1024;

// User flags as clients see them.
enum : Uint16 { userFlagIdle = 1, userFlagAdmin = 2 };

inline constexpr std::string_view kUnknownTypeText = "Unknown transaction type!";
inline constexpr std::string_view kNotAvailableText = "This server does not offer that service yet.";

// The record's way to its client.
class CMyClientLink {
 public:
  virtual ~CMyClientLink() = default;
  // A request that expects no reply. The list is only read (its block may be built).
  virtual void Post(Uint16 type, UFieldData& fields) = 0;
  // Established: the handshake was accepted and the connection is still up.
  virtual bool IsEstablished() const = 0;
  // Abortive close; the record goes once the close has been noticed.
  virtual void Disconnect() = 0;
};

struct SClientRecord {
  std::unique_ptr<CMyClientLink> link;
  SPrivilegeSet access;
  Uint32 address = 0;  // IPv4, host order
  std::string addressText;
  Uint16 userId = 0;
  Int16 icon = 0;
  std::string name;
  std::string accountName;
  std::string login;
  Uint32 lastActivity = 0;
  Uint32 quotaWindowStart = 0;
  Uint32 chatFloodWindowStart = 0;
  Uint32 userInfoWindowStart = 0;
  Uint16 quotaCount = 0;
  Uint16 chatUnits = 0;
  Uint16 userInfoCount = 0;
  bool loggedIn = false;
  bool idle = false;

  // Bit 0 idle, bit 1 administrator (holds CanDisconnectUsers).
  Uint16 UserFlags() const;
  // The subject of log lines about this client.
  std::string Subject() const { return name.empty() ? addressText : name; }
  SLogActor Actor() const { return SLogActor{addressText, login, name}; }
};

// A reply under construction; the caller sends it when wanted is set.
struct SReply {
  bool wanted = true;
  Uint32 errorCode = 0;
  UFieldData fields;
  // Runs once the reply has gone out (what a request causes beyond its answer).
  std::function<void()> after;

  // Error code 1 with the text in field 100, cut to 255 bytes.
  void Error(std::string_view text);
  // The text, a CR and the cause ("description CR detail"); 1024 bytes at most.
  void ErrorWithCause(std::string_view text, std::string_view cause);
};

// What the session table asks of its owner.
struct SSessionHooks {
  // Sound numbers: 128 connected, 129 left, 130 error or refusal.
  std::function<void(Int16 sound)> playSound;
  // The error's description, a CR and its detail (for error replies with a cause).
  std::function<std::string(const SError&)> describeError;
  // Post a wake-up so that a closed connection is noticed promptly.
  std::function<void()> wake;
  // Statistics changed (connections, peak).
  std::function<void()> statsChanged;
  // The client information text's lines about a user's downloads or uploads.
  std::function<std::string(Uint16 userId, bool downloads)> transfersText;
};

// A handler for one transaction type that a server module (chat, news, files, transfers)
// plugs into the session table. It fills reply (or clears reply.wanted for posted types).
using TServiceHandler =
    std::function<void(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now)>;

class CMySessions {
 public:
  CMySessions(CMyAccountStore& accounts, CMyServerLog& log);

  void SetHooks(SSessionHooks hooks) { hooks_ = std::move(hooks); }
  // The agreement sent after login; none when null.
  void SetAgreement(const std::string* agreement) { agreement_ = agreement; }

  // The admission checks for a newly accepted connection from address (host order).
  EAdmission Admit(Uint32 address, Uint32 now);
  // Appends a record for an admitted connection.
  SClientRecord& Add(std::unique_ptr<CMyClientLink> link, Uint32 address, std::string addressText, Uint32 now);
  // The leave procedure: unlinks, then tells every logged-in client (NotifyUserDelete).
  void Remove(SClientRecord& record);
  // Drops a record without telling anyone (killed before login, or a reset).
  void Drop(SClientRecord& record);
  void DropAll();

  // One complete request from the record's client. Marks it active, dispatches by type
  // (only Login before login), and fills reply; reply.wanted is clear for requests that
  // get no answer (dropped before login, or posted types).
  void HandleRequest(SClientRecord& record, Uint16 type, const UFieldData& request, SReply& reply, Uint32 now);
  // Marks records silent for more than 600 s as idle and tells everyone.
  void CheckIdle(SClientRecord& record, Uint32 now);

  // Posts to every established, logged-in client, in list order.
  void Broadcast(Uint16 type, UFieldData& fields);
  // Stores the name (cut to 31) and broadcasts NotifyUserChange.
  void SetUser(SClientRecord& record, std::string_view name);
  void AddBan(Uint32 address, Uint32 now) { admission_.Bans().Add(address, now); }
  // Serves requests of this type with handler (replacing an earlier one); logged-in
  // clients only, like every request but Login.
  void AddService(Uint16 type, TServiceHandler handler) { services_[type] = std::move(handler); }
  // Runs for every client that goes, before anybody hears that it left; tell is false for
  // drops and resets, where nobody is told.
  using TLeaveHandler = std::function<void(SClientRecord& record, bool tell)>;
  void AddLeaveHandler(TLeaveHandler handler) { leaveHandlers_.push_back(std::move(handler)); }

  std::list<SClientRecord>& Clients() { return clients_; }
  const std::list<SClientRecord>& Clients() const { return clients_; }
  SClientRecord* FindUser(Uint16 userId);
  std::size_t Count() const { return clients_.size(); }
  std::size_t Peak() const { return peak_; }
  Uint32 Accepted() const { return accepted_; }
  CMyBanList& Bans() { return admission_.Bans(); }

  // The user list entry of field 300.
  static Bytes UserListEntry(const SClientRecord& record);

 private:
  void Dispatch(SClientRecord& record, Uint16 type, const UFieldData& request, SReply& reply, Uint32 now);
  void NotifyChange(const SClientRecord& record);
  void Sound(Int16 n) {
    if (hooks_.playSound) hooks_.playSound(n);
  }

  void DoLogin(SClientRecord& record, const UFieldData& request, SReply& reply);
  void DoGetOnlineUsers(SReply& reply);
  void DoSetClientUserInfo(SClientRecord& record, const UFieldData& request, Uint32 now);
  void DoNewUser(SClientRecord& record, const UFieldData& request, SReply& reply);
  void DoDeleteUser(SClientRecord& record, const UFieldData& request, SReply& reply);
  void DoOpenUser(SClientRecord& record, const UFieldData& request, SReply& reply);
  void DoSetUser(SClientRecord& record, const UFieldData& request, SReply& reply);
  void DoDisconnectUser(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now);
  void DoGetClientInfo(SClientRecord& record, const UFieldData& request, SReply& reply);
  void AccountFailure(const SAccountReply& result, SReply& reply);

  CMyAccountStore& accounts_;
  CMyServerLog& log_;
  SSessionHooks hooks_;
  const std::string* agreement_ = nullptr;
  std::list<SClientRecord> clients_;
  std::map<Uint16, TServiceHandler> services_;
  std::vector<TLeaveHandler> leaveHandlers_;
  CMyAdmission admission_;
  Uint16 lastUserId_ = 0;
  std::size_t peak_ = 0;
  Uint32 accepted_ = 0;
};

}  // namespace cv
