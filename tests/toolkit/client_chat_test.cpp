// The client's windows with a real server: connecting through the connect window, the
// public chat and the user list, private messages and private chats, seen from a second
// client of the test's own.
#include <QLabel>
#include <QMimeData>
#include <QWindow>
#include <fstream>

#include "client_harness.h"

namespace {

using namespace cv;
using namespace cv::client;
using namespace cvtest::accounts;
using cvtest::ButtonIn;
using cvtest::ClientWindowsTest;
using cvtest::MacText;
using cvtest::RowTexts;
using cvtest::ShownWindow;
using cvtest::TestClient;

using ClientChat = ClientWindowsTest;

QListWidget* UserRows(QWidget* window) { return window->findChild<QListWidget*>(widgetNames::kUserList); }

TEST_F(ClientChat, ConnectWindowLogsInAndChatLinesGoBothWays) {
  QWidget* toolbar = Window(winToolbar);
  EXPECT_EQ(toolbar->windowTitle(), QStringLiteral("Corvane"));
  EXPECT_FALSE(ButtonIn(toolbar, QStringLiteral("Disconnect"))->isEnabled());
  EXPECT_FALSE(ButtonIn(toolbar, QStringLiteral("Post..."))->isEnabled());

  ConnectAsAlice();
  EXPECT_FALSE(Program().Windows().ConnectWindow() && Program().Windows().ConnectWindow()->isVisible());
  EXPECT_TRUE(alerts.empty()) << AlertTexts();
  EXPECT_EQ(sounds, std::vector<Int16>{kSoundLoggedIn});
  const QString server = QString::fromStdString(Address());
  QWidget* chat = Window(winChat);
  EXPECT_EQ(chat->windowTitle(), QStringLiteral("Chat (%1)").arg(server));
  EXPECT_EQ(Window(winTasks)->windowTitle(), QStringLiteral("Tasks (%1)").arg(server));
  EXPECT_EQ(Window(winNews)->windowTitle(), QStringLiteral("News (%1)").arg(server));
  EXPECT_FALSE(ButtonIn(toolbar, QStringLiteral("Connect..."))->isEnabled());
  EXPECT_TRUE(ButtonIn(toolbar, QStringLiteral("Disconnect"))->isEnabled());
  EXPECT_TRUE(ButtonIn(toolbar, QStringLiteral("Post..."))->isEnabled());

  QListWidget* users = UserRows(Window(winOnlineUsers));
  ASSERT_TRUE(users);
  EXPECT_EQ(RowTexts(users), QStringList{QStringLiteral("Alice")});

  TestClient bob;
  ConnectBob(bob);
  ASSERT_TRUE(WaitFor([&] { return users->count() == 2; }));
  EXPECT_EQ(RowTexts(users), (QStringList{QStringLiteral("Alice"), QStringLiteral("Bob")}));
  EXPECT_EQ(sounds.back(), kSoundJoin);
  // Both accounts are administrators: the flag that colours the name travels with the row.
  EXPECT_EQ(users->item(1)->data(userRoleFlags).toUInt() & userAdmin, uint(userAdmin));

  // Enter sends the line; Ctrl+Enter sends it as an action; Shift+Enter only breaks it.
  auto* entry = chat->findChild<QPlainTextEdit*>(widgetNames::kChatEntry);
  auto* text = chat->findChild<QPlainTextEdit*>(widgetNames::kChatText);
  ASSERT_TRUE(entry && text);
  QTest::keyClicks(entry, QStringLiteral("hello from the window"));
  QTest::keyClick(entry, Qt::Key_Return);
  EXPECT_TRUE(entry->toPlainText().isEmpty());
  auto line = bob.WaitPush(trn::ChatMessage);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->fields.GetText(fld::Data), "\r        Alice:  hello from the window");

  QTest::keyClicks(entry, QStringLiteral("waves"));
  QTest::keyClick(entry, Qt::Key_Return, Qt::ControlModifier);
  line = bob.WaitPush(trn::ChatMessage);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->fields.GetText(fld::Data), "\r *** Alice waves");

  // A line break typed with Shift+Enter stays in the entry and goes as a carriage return;
  // a character that Mac OS Roman has travels as its byte.
  QTest::keyClicks(entry, QStringLiteral("two"));
  QTest::keyClick(entry, Qt::Key_Return, Qt::ShiftModifier);
  QTest::keyClicks(entry, QStringLiteral("lin"));
  entry->insertPlainText(QString::fromUtf8("\u00E9s"));
  EXPECT_EQ(entry->toPlainText(), QString::fromUtf8("two\nlin\u00E9s"));
  QTest::keyClick(entry, Qt::Key_Enter);
  line = bob.WaitPush(trn::ChatMessage);
  ASSERT_TRUE(line);
  // The server starts each line of it with the name.
  EXPECT_EQ(line->fields.GetText(fld::Data), "\r        Alice:  two\r        Alice:  lin\x8Es");

  // Bob's line shows in the window as received.
  UFieldData f;
  f.AddText(fld::Data, "hi Alice, caf\x8E is open");
  bob.Post(trn::SendChat, f);
  ASSERT_TRUE(WaitFor([&] { return text->toPlainText().contains(QStringLiteral("hi Alice")); }));
  EXPECT_TRUE(text->toPlainText().contains(QString::fromUtf8("Bob:  hi Alice, caf\u00E9 is open")))
      << text->toPlainText().toStdString();
  // The window's own lines came back from the server too; the first has lost its return.
  EXPECT_TRUE(text->toPlainText().startsWith(QStringLiteral("        Alice:  hello from the window\n")))
      << text->toPlainText().toStdString();

  SaveScreenshot(chat, "client-chat");
  SaveScreenshot(Window(winOnlineUsers), "client-online-users");
  SaveScreenshot(toolbar, "client-toolbar");

  // Bob leaves: his row goes.
  bob.Close();
  ASSERT_TRUE(WaitFor([&] { return users->count() == 1; }));

  // Disconnect from the toolbar: titles and buttons back, the list empty.
  QTest::mouseClick(ButtonIn(toolbar, QStringLiteral("Disconnect")), Qt::LeftButton);
  EXPECT_FALSE(App().IsConnected());
  EXPECT_EQ(chat->windowTitle(), QStringLiteral("Chat"));
  EXPECT_EQ(users->count(), 0);
  EXPECT_TRUE(ButtonIn(toolbar, QStringLiteral("Connect..."))->isEnabled());
}

TEST_F(ClientChat, WrongPasswordShowsTheServersTextWithoutBlocking) {
  OpenConnectAndType(Address(), kAliceLogin, "not the password");
  ASSERT_TRUE(WaitFor([&] { return !alerts.empty() && !App().Connection(); })) << AlertTexts();
  ASSERT_EQ(alerts.size(), 1u) << AlertTexts();
  EXPECT_EQ(alerts[0].title, "Server Message");
  EXPECT_EQ(alerts[0].message, "Incorrect login.");
  EXPECT_FALSE(App().IsConnected());

  // Nothing listens there: the network error is an alert too, and the connect ends.
  alerts.clear();
  TestClient probe;
  OpenConnectAndType("127.0.0.1:1", "", "");
  ASSERT_TRUE(WaitFor([&] { return !alerts.empty(); })) << AlertTexts();
  EXPECT_TRUE(WaitFor([&] { return App().Tasks().empty(); }));
  EXPECT_FALSE(App().IsConnected());
}

TEST_F(ClientChat, PrivateMessageReplyAndPrivateChatThroughTheirWindows) {
  ConnectAsAlice();
  TestClient bob;
  ConnectBob(bob);
  const Uint16 alice = UserIdOf(bob, "Alice");
  ASSERT_NE(alice, 0);

  // Bob's message opens a window titled with his name; "Reply..." opens the send window.
  UFieldData msg;
  msg.AddInteger(fld::UserId, alice);
  msg.AddText(fld::Data, "Are you there?");
  ASSERT_TRUE(bob.Request(trn::SendPrivMsg, msg));
  QWidget* received = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (received = ShownWindow(QStringLiteral("Bob"))) != nullptr; }));
  EXPECT_NE(received->findChild<QPlainTextEdit*>()->toPlainText().indexOf(QStringLiteral("Are you there?")), -1);
  QTest::mouseClick(ButtonIn(received, QStringLiteral("Reply...")), Qt::LeftButton);
  QWidget* send = ShownWindow(MacText(kSendMessageTitle));
  ASSERT_TRUE(send);
  auto* sendEntry = send->findChild<QPlainTextEdit*>();
  ASSERT_TRUE(sendEntry);
  QTest::keyClicks(sendEntry, QStringLiteral("Yes, here."));
  QTest::keyClick(sendEntry, Qt::Key_Return);
  auto reply = bob.WaitPush(trn::ServerMessage);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->fields.GetText(fld::Data), "Yes, here.");
  // Both windows have gone once the reply was sent.
  Settle();
  EXPECT_FALSE(ShownWindow(MacText(kSendMessageTitle)));
  EXPECT_FALSE(ShownWindow(QStringLiteral("Bob")));

  // Bob opens a private chat with Alice: the invitation's "Chat" joins it.
  UFieldData invite;
  invite.AddInteger(fld::UserId, alice);
  UFieldData created;
  ASSERT_TRUE(bob.Request(trn::InviteNewChat, invite, &created));
  const Uint32 chatId = created.GetInteger(fld::ChatId);
  ASSERT_NE(chatId, 0u);
  QWidget* invitation = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (invitation = ShownWindow(MacText(kChatInviteTitle))) != nullptr; }));
  QTest::mouseClick(ButtonIn(invitation, QStringLiteral("Chat")), Qt::LeftButton);
  QWidget* room = nullptr;
  ASSERT_TRUE(WaitFor([&] {
    room = ShownWindow(QStringLiteral("Private Chat"));
    return room && UserRows(room)->count() == 2;
  }));
  EXPECT_GE(room->minimumWidth(), kChatMinWidth);
  EXPECT_GE(room->minimumHeight(), kChatMinHeight);

  auto* roomEntry = room->findChild<QPlainTextEdit*>(widgetNames::kChatEntry);
  QTest::keyClicks(roomEntry, QStringLiteral("just us"));
  QTest::keyClick(roomEntry, Qt::Key_Return);
  std::optional<cvtest::SPush> line;
  ASSERT_TRUE(WaitFor([&] {
    line = bob.WaitPush(trn::ChatMessage, 50);
    return line && line->fields.GetInteger(fld::ChatId) == chatId;
  }));
  EXPECT_EQ(line->fields.GetText(fld::Data), "\r        Alice:  just us");

  // The subject view opens the subject window; "Set" retitles the room for everyone.
  QTest::mouseClick(room->findChild<QAbstractButton*>(widgetNames::kSubject), Qt::LeftButton);
  QWidget* subject = ShownWindow(MacText(kChatSubjectTitle));
  ASSERT_TRUE(subject);
  auto* subjectEntry = subject->findChild<QLineEdit*>();
  subjectEntry->clear();
  QTest::keyClicks(subjectEntry, QStringLiteral("plans"));
  QTest::mouseClick(ButtonIn(subject, QStringLiteral("Set")), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return room->windowTitle() == QStringLiteral("Private Chat:  plans"); }));
  EXPECT_TRUE(bob.WaitPush(trn::NotifyChatSubject));

  // A user dragged from a list onto the room is invited to it.
  TestClient carol;
  ConnectBob(carol, kCarolLogin, kCarolPassword, "Carol");
  const Uint16 carolId = UserIdOf(bob, "Carol");
  QListWidget* users = UserRows(Window(winOnlineUsers));
  ASSERT_TRUE(WaitFor([&] { return users->count() == 3; }));
  std::unique_ptr<QMimeData> mime(users->model()->mimeData({users->model()->index(2, 0)}));
  ASSERT_TRUE(mime);
  // Dropped on the chat text, as a user would.
  QWidget* roomText = room->findChild<QPlainTextEdit*>(widgetNames::kChatText)->viewport();
  const QPoint at = roomText->mapTo(room, roomText->rect().center());
  QDragEnterEvent enter(at, Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(room->windowHandle(), &enter);
  QDropEvent drop(QPointF(at), Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(room->windowHandle(), &drop);
  auto invited = carol.WaitPush(trn::InviteToChat);
  ASSERT_TRUE(invited);
  EXPECT_EQ(invited->fields.GetInteger(fld::ChatId), chatId);
  EXPECT_EQ(users->item(2)->data(userRoleId).toUInt(), uint(carolId));

  SaveScreenshot(room, "client-private-chat");

  // Closing the window leaves the room.
  room->close();
  auto left = bob.WaitPush(trn::NotifyChatUserDelete);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->fields.GetInteger(fld::UserId), alice);
  Settle();
  EXPECT_FALSE(ShownWindow(QStringLiteral("Private Chat:  plans")));
  EXPECT_TRUE(Program().Chat().Chats().empty());
}

TEST_F(ClientChat, OnlineUsersButtonsMessageAndInviteTheSelectedUser) {
  QWidget* window = Window(winOnlineUsers);
  auto buttonWithIcon = [&](Int16 icon) -> QAbstractButton* {
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
      if (b->property("corvaneIcon").toInt() == icon) return b;
    return nullptr;
  };
  QAbstractButton* chatButton = buttonWithIcon(kIconPrivateChat);
  QAbstractButton* messageButton = buttonWithIcon(kIconSendMessage);
  ASSERT_TRUE(chatButton && messageButton && buttonWithIcon(kIconGetUserInfo) && buttonWithIcon(kIconDisconnectUser));
  // Not connected: nothing to act on.
  EXPECT_FALSE(chatButton->isEnabled());
  EXPECT_FALSE(messageButton->isEnabled());

  ConnectAsAlice();
  EXPECT_TRUE(chatButton->isEnabled());
  EXPECT_TRUE(messageButton->isEnabled());
  EXPECT_FALSE(buttonWithIcon(kIconGetUserInfo)->isEnabled());
  EXPECT_FALSE(buttonWithIcon(kIconDisconnectUser)->isEnabled());
  TestClient bob;
  ConnectBob(bob);
  QListWidget* users = UserRows(window);
  ASSERT_TRUE(WaitFor([&] { return users->count() == 2; }));

  // Without a selection the buttons do nothing.
  QTest::mouseClick(messageButton, Qt::LeftButton);
  EXPECT_FALSE(ShownWindow(MacText(kSendMessageTitle)));

  // A double-click on Bob opens the send window; an empty text only beeps.
  QListWidgetItem* bobRow = users->item(1);
  const QRect bobRect = users->visualItemRect(bobRow);
  QTest::mouseClick(users->viewport(), Qt::LeftButton, Qt::NoModifier, bobRect.center());
  QTest::mouseDClick(users->viewport(), Qt::LeftButton, Qt::NoModifier, bobRect.center());
  QWidget* send = ShownWindow(MacText(kSendMessageTitle));
  ASSERT_TRUE(send);
  EXPECT_TRUE(ButtonIn(send, QStringLiteral("Cancel")));
  QTest::mouseClick(ButtonIn(send, QStringLiteral("Send")), Qt::LeftButton);
  EXPECT_EQ(beeps, 1);
  EXPECT_TRUE(send->isVisible());
  QTest::keyClicks(send->findChild<QPlainTextEdit*>(), QStringLiteral("ping"));
  QTest::mouseClick(ButtonIn(send, QStringLiteral("Send")), Qt::LeftButton);
  auto message = bob.WaitPush(trn::ServerMessage);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->fields.GetText(fld::Data), "ping");
  EXPECT_EQ(message->fields.GetText(fld::UserName), "Alice");

  // The private chat button invites the selected user into a new room.
  users->setCurrentItem(bobRow);
  QTest::mouseClick(chatButton, Qt::LeftButton);
  auto invitation = bob.WaitPush(trn::InviteToChat);
  ASSERT_TRUE(invitation);
  EXPECT_EQ(invitation->fields.GetText(fld::UserName), "Alice");
  QWidget* room = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (room = ShownWindow(QStringLiteral("Private Chat"))) != nullptr; }));
  EXPECT_EQ(RowTexts(UserRows(room)), QStringList{QStringLiteral("Alice")});

  // Disconnecting closes the room.
  App().Disconnect();
  Settle();
  EXPECT_FALSE(ShownWindow(QStringLiteral("Private Chat")));
}

TEST_F(ClientChat, HiddenCommandWindowOpensWithItsKeyAndBeepsAtAnUnknownWord) {
  QWidget* chat = Window(winChat);
  QApplication::setActiveWindow(chat);
  QTest::keyClick(chat, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
  QWidget* secret = ShownWindow(MacText(kSecretTitle));
  ASSERT_TRUE(secret);
  QTest::keyClicks(secret->findChild<QLineEdit*>(QStringLiteral("word")), QStringLiteral("abracadabra"));
  QTest::mouseClick(ButtonIn(secret, QStringLiteral("Execute")), Qt::LeftButton);
  EXPECT_EQ(beeps, 1);
  secret->close();
  Settle();
  EXPECT_FALSE(ShownWindow(MacText(kSecretTitle)));
}

class ClientAgreement : public ClientWindowsTest {
 protected:
  // Administrators skip the agreement; Dave is a guest.
  void PrepareServer() override {
    std::ofstream(serverDir_ + "/Agreement.txt", std::ios::binary) << "House rules.\rBe kind.";
    ASSERT_TRUE(cvtest::AddAccount(serverDir_, "dave", "Dave", "diver", tmp_ / "add4", false));
  }
};

TEST_F(ClientAgreement, AgreeKeepsTheConnectionAndDisagreeEndsIt) {
  for (const char* button : {"Agree", "Disagree"}) {
    ConnectAsAlice("dave", "diver");
    QWidget* agreement = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (agreement = Program().Windows().AgreementWindow()) != nullptr; }));
    EXPECT_EQ(agreement->windowTitle(), QStringLiteral("Agreement"));
    EXPECT_EQ(agreement->findChild<QPlainTextEdit*>()->toPlainText(), QStringLiteral("House rules.\nBe kind."));
    bool prompt = false;
    for (QLabel* l : agreement->findChildren<QLabel*>()) prompt |= l->text() == MacText(kAgreementPrompt);
    EXPECT_TRUE(prompt);
    QTest::mouseClick(ButtonIn(agreement, QString::fromLatin1(button)), Qt::LeftButton);
    Settle();
    EXPECT_FALSE(Program().Windows().AgreementWindow());
    EXPECT_EQ(App().IsConnected(), std::string_view(button) == "Agree") << button;
    App().Disconnect();
  }
}

}  // namespace
