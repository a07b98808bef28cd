// The public chat, private messages and private chat rooms. The server formats every
// chat line itself, so that all clients show the same text; rooms live here and are
// reached by their 32-bit ids.
#pragma once

#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/random.h"
#include "framework/types.h"
#include "server/serverlog.h"
#include "server/session.h"

namespace cv {

constexpr std::size_t kChatTextMax = 8192;
constexpr std::size_t kPrivateMessageMax = 4096;
constexpr std::size_t kChatSubjectMax = 255;
constexpr std::size_t kChatPrefixMax = 63;
// Both counters restart once their window is older than this.
constexpr Uint32 kCounterWindowSeconds = 60;
// Chat units a client may spend in one window; the line that finds more bans it.
constexpr Uint16 kChatFloodLimit = 10240;
// Every chat line costs at least this many units, however short.
constexpr Uint16 kChatLineMinUnits = 90;
// Private messages, new chats and invitations in one window; the next is refused.
constexpr Uint16 kMessageQuota = 10;
// The excerpt of a refused private message.
constexpr std::size_t kQuotaExcerptMax = 20;

inline constexpr std::string_view kNoChatText = "You are not allowed to participate in chat.";
inline constexpr std::string_view kNotConnectedText =
    "Couldn't send your message because the client is not connected to this server.";
inline constexpr std::string_view kNewChatQuotaText =
    "Cannot open new chat because it would exceed your quota.  Try again later.";
inline constexpr std::string_view kInviteQuotaText =
    "Cannot invite to chat because it would exceed your quota.  Try again later.";
inline constexpr std::string_view kChatClosedText = "Cannot join private chat because it has been closed already.";

struct SPrivateChat {
  Uint32 id = 0;
  std::vector<Uint16> members;  // user ids in the order of joining, the creator first
  std::optional<std::string> subject;

  bool HasMember(Uint16 userId) const;
};

class CMyChatService {
 public:
  // random draws the room ids (the application's generator).
  CMyChatService(CMyServerLog& log, URandom& random);
  CMyChatService(const CMyChatService&) = delete;
  CMyChatService& operator=(const CMyChatService&) = delete;

  // Plugs the handlers into the session table and follows its clients as they leave.
  void Install(CMySessions& sessions);

  // The operator's broadcast: a ServerMessage with only Data, to every logged-in client.
  void Broadcast(std::string_view text);

  // The rooms, newest first.
  const std::list<SPrivateChat>& Rooms() const { return rooms_; }
  SPrivateChat* FindRoom(Uint32 id);

  // The finished chat text for a sender and a bare text: every line with its prefix,
  // the whole cut to 8192 bytes.
  static std::string ChatLines(std::string_view userName, std::string_view text, bool action);
  // The text of the quota refusal for a private message.
  static std::string QuotaRefusal(std::string_view message, std::string_view targetName);

 private:
  void SendChat(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now);
  void SendPrivMsg(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now);
  void InviteNewChat(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now);
  void InviteToChat(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now);
  void RejectChatInvite(SClientRecord& record, const UFieldData& request, SReply& reply);
  void JoinChat(SClientRecord& record, const UFieldData& request, SReply& reply);
  void LeaveChat(SClientRecord& record, const UFieldData& request, SReply& reply);
  void SetChatSubject(SClientRecord& record, const UFieldData& request, SReply& reply);
  // Takes the client out of every room; tell says whether the rest hear of it.
  void ClientLeaving(SClientRecord& record, bool tell);

  Uint32 NewRoomId();
  void RemoveMember(std::list<SPrivateChat>::iterator room, Uint16 userId, bool tell);
  // Posts to the established client with that id; false when there is none.
  bool PostTo(Uint16 userId, Uint16 type, UFieldData& fields);
  void PostToMembers(const SPrivateChat& room, Uint16 type, UFieldData& fields, bool readersOnly);
  void SendInvitations(const SClientRecord& inviter, const SPrivateChat& room, const UFieldData& request,
                       bool skipMembers);

  CMyServerLog& log_;
  URandom& random_;
  CMySessions* sessions_ = nullptr;
  std::list<SPrivateChat> rooms_;
  Uint8 roomCounter_ = 0;
};

// The windowed counters: restarts the window once it is older than 60 seconds.
void CheckCounterWindow(Uint32& windowStart, Uint16& counter, Uint32 now);

}  // namespace cv
