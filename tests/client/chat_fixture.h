// Recording implementations of the chat views, and one client program as the front end
// composes it (the application, the news and then the chat service). Shared by the
// client tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "client/chat.h"
#include "client/chat_views.h"
#include "client_fixture.h"

namespace cvtest {

using namespace cv;
using namespace cv::client;

// A UserNameWithInfo field as a server writes it; length may disagree with the name.
inline Bytes UserEntryBytes(Uint16 id, Uint16 icon, Uint16 flags, Uint16 length, std::string_view name) {
  Bytes b;
  AppendU16(b, id);
  AppendU16(b, icon);
  AppendU16(b, flags);
  AppendU16(b, length);
  AppendBytes(b, name.data(), name.size());
  return b;
}

// ---- Recording chat views

template <class Base>
class RecText : public Base {
 public:
  void AppendText(std::string_view t) override { text += t; }
  void ClearText() override { text.clear(); }
  bool IsTextEmpty() override { return text.empty(); }
  void ScrollToEnd() override { ++scrolls; }
  bool IsMinimised() override { return minimised; }
  std::string EntryText() override { return entry; }
  void ClearEntry() override { entry.clear(); }
  void SetChatStyle(const SMyChatStyle& s) override { style = s; }

  std::string text, entry;
  int scrolls = 0;
  bool minimised = false;
  SMyChatStyle style;
};

template <class Base>
class RecRows : public Base {
 public:
  void InsertUser(std::size_t i, const SUserEntry& e) override {
    if (i > users.size()) return ADD_FAILURE() << "insert at " << i;
    users.insert(users.begin() + std::ptrdiff_t(i), e);
  }
  void ChangeUser(std::size_t i, const SUserEntry& e) override {
    if (i >= users.size()) return ADD_FAILURE() << "change at " << i;
    users[i] = e;
  }
  void RemoveUser(std::size_t i) override {
    if (i >= users.size()) return ADD_FAILURE() << "remove at " << i;
    users.erase(users.begin() + std::ptrdiff_t(i));
  }
  void ClearUsers() override { users.clear(); }

  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& u : users) out.push_back(u.name);
    return out;
  }
  const SUserEntry* Named(std::string_view name) const {
    for (const auto& u : users)
      if (u.name == name) return &u;
    return nullptr;
  }

  std::vector<SUserEntry> users;
};

class RecUserList : public RecRows<IMyUserListView> {
 public:
  void EnableButtons(bool a, bool b, bool c, bool d) override { buttons = {a, b, c, d}; }
  std::array<bool, 4> buttons{};
};

class RecPublicChat : public RecText<IMyPublicChatView> {};

// Views that come and go keep themselves in their factory's list while they live.
template <class T>
class Listed {
 public:
  Listed(std::vector<T*>& list, T* self) : list_(list), self_(self) { list_.push_back(self_); }
  ~Listed() { std::erase(list_, self_); }
  Listed(const Listed&) = delete;
  Listed& operator=(const Listed&) = delete;

 private:
  std::vector<T*>& list_;
  T* self_;
};

class RecChatWin : public RecRows<RecText<IMyChatWinView>> {
 public:
  RecChatWin(CMyChatWin& c, std::vector<RecChatWin*>& list) : controller(c), listed_(list, this) {}
  void SetTitle(std::string_view t) override { title = t; }
  void SetSubject(std::string_view s) override { subject = s; }
  void Show() override { ++shown; }
  CMyChatWin& controller;
  std::string title, subject;
  int shown = 0;

 private:
  Listed<RecChatWin> listed_;
};

class RecPrivMsg : public IMyPrivMsgView {
 public:
  RecPrivMsg(CMyPrivMsgWin& c, std::string_view s, std::string_view t, bool back, std::vector<RecPrivMsg*>& list)
      : controller(c), sender(s), text(t), atBack(back), listed_(list, this) {}
  CMyPrivMsgWin& controller;
  std::string sender, text;
  bool atBack;

 private:
  Listed<RecPrivMsg> listed_;
};

class RecSendMsg : public IMySendPrivMsgView {
 public:
  RecSendMsg(CMySendPrivMsgWin& c, std::string_view r, std::vector<RecSendMsg*>& list)
      : controller(c), recipient(r), listed_(list, this) {}
  std::string Text() override { return text; }
  CMySendPrivMsgWin& controller;
  std::string recipient, text;

 private:
  Listed<RecSendMsg> listed_;
};

class RecInvite : public IMyChatInviteView {
 public:
  RecInvite(CMyChatInviteWin& c, std::string_view n, std::vector<RecInvite*>& list)
      : controller(c), inviter(n), listed_(list, this) {}
  CMyChatInviteWin& controller;
  std::string inviter;

 private:
  Listed<RecInvite> listed_;
};

class RecSubject : public IMyChatSubjectView {
 public:
  RecSubject(CMyChatSubjectWin& c, std::string_view s, std::vector<RecSubject*>& list)
      : controller(c), text(s), listed_(list, this) {}
  std::string Text() override { return text; }
  CMyChatSubjectWin& controller;
  std::string text;

 private:
  Listed<RecSubject> listed_;
};

class RecSecret : public IMySecretView {
 public:
  RecSecret(CMySecretWin& c, std::vector<RecSecret*>& list) : controller(c), listed_(list, this) {}
  std::string Word() override { return word; }
  std::string Argument() override { return argument; }
  void Show() override { ++shown; }
  CMySecretWin& controller;
  std::string word, argument;
  int shown = 0;

 private:
  Listed<RecSecret> listed_;
};

class RecChatViews : public IMyChatViews {
 public:
  IMyUserListView& UserList() override { return userList; }
  IMyPublicChatView& PublicChat() override { return publicChat; }
  std::unique_ptr<IMyChatWinView> NewChatWin(CMyChatWin& c) override {
    return std::make_unique<RecChatWin>(c, chatWins);
  }
  std::unique_ptr<IMyPrivMsgView> NewPrivMsgWin(CMyPrivMsgWin& c, std::string_view sender, std::string_view text,
                                                bool atBack) override {
    return std::make_unique<RecPrivMsg>(c, sender, text, atBack, privMsgs);
  }
  std::unique_ptr<IMySendPrivMsgView> NewSendPrivMsgWin(CMySendPrivMsgWin& c, std::string_view name) override {
    return std::make_unique<RecSendMsg>(c, name, sendWins);
  }
  std::unique_ptr<IMyChatInviteView> NewChatInviteWin(CMyChatInviteWin& c, std::string_view name) override {
    return std::make_unique<RecInvite>(c, name, invites);
  }
  std::unique_ptr<IMyChatSubjectView> NewChatSubjectWin(CMyChatSubjectWin& c, std::string_view subject) override {
    return std::make_unique<RecSubject>(c, subject, subjects);
  }
  std::unique_ptr<IMySecretView> NewSecretWin(CMySecretWin& c) override {
    return std::make_unique<RecSecret>(c, secrets);
  }

  RecUserList userList;
  RecPublicChat publicChat;
  std::vector<RecChatWin*> chatWins;
  std::vector<RecPrivMsg*> privMsgs;
  std::vector<RecSendMsg*> sendWins;
  std::vector<RecInvite*> invites;
  std::vector<RecSubject*> subjects;
  std::vector<RecSecret*> secrets;
};

// One client program as the front end composes it: the application, then the chat.
struct ChatClient {
  explicit ChatClient(const std::string& folder) : c(folder), chat(c.app, views) {
    c.app.Prefs().options |= optShowJoinLeave;
  }
  bool WaitFor(const std::function<bool()>& done) { return c.WaitFor(done); }
  std::vector<Int16>& Sounds() { return c.views.shell.sounds; }
  bool Played(Int16 sound) const {
    const auto& s = c.views.shell.sounds;
    return std::find(s.begin(), s.end(), sound) != s.end();
  }

  TestClientApp c;
  RecChatViews views;
  CMyChatClient chat;
};

}  // namespace cvtest
