#include "protocol/catalogue.h"

#include <gtest/gtest.h>

#include <set>

#include "protocol/fields.h"

using namespace cv;

TEST(Catalogue, EveryTransactionTypeIsListedWithItsDirection) {
  struct Case {
    Uint16 type;
    const char* name;
    EDirection dir;
    bool reply;
  } cases[] = {
      {101, "GetNews", EDirection::ClientToServer, true},
      {103, "PostNews", EDirection::ClientToServer, true},
      {107, "Login", EDirection::ClientToServer, true},
      {105, "SendChat", EDirection::ClientToServer, false},
      {304, "SetClientUserInfo", EDirection::ClientToServer, false},
      {102, "NewMessage", EDirection::ServerToClient, false},
      {104, "ServerMessage", EDirection::ServerToClient, false},
      {302, "NotifyUserDelete", EDirection::ServerToClient, false},
      {353, "SetUser", EDirection::ClientToServer, true},
  };
  for (const auto& c : cases) {
    const STransactionInfo* t = UCatalogue::FindTransaction(c.type, c.dir);
    ASSERT_NE(t, nullptr) << c.type;
    EXPECT_EQ(t->name, c.name);
    EXPECT_EQ(t->expectsReply, c.reply) << c.name;
  }
  // 113 goes both ways with different fields.
  const auto* up = UCatalogue::FindTransaction(113, EDirection::ClientToServer);
  const auto* down = UCatalogue::FindTransaction(113, EDirection::ServerToClient);
  ASSERT_TRUE(up && down);
  EXPECT_TRUE(up->request[1].repeated);
  EXPECT_EQ(down->request.size(), 3u);
  EXPECT_EQ(UCatalogue::FindTransaction(999), nullptr);
  EXPECT_EQ(UCatalogue::FindTransaction(101, EDirection::ServerToClient), nullptr);
  EXPECT_EQ(UCatalogue::TransactionName(999), "999");
}

TEST(Catalogue, ServedTypesMatchTheServersList) {
  const std::set<Uint16> served = {101, 103, 105, 107, 108, 110, 112, 113, 114, 115, 116, 120, 200, 202,
                                   203, 204, 205, 206, 207, 208, 209, 300, 303, 304, 350, 351, 352, 353};
  std::set<Uint16> fromTable;
  std::set<Uint16> serverSent;
  for (const auto& t : UCatalogue::Transactions()) {
    (t.direction == EDirection::ClientToServer ? fromTable : serverSent).insert(t.type);
    // Every field a transaction names is in the field table.
    for (const auto& u : t.request) EXPECT_NE(UCatalogue::FindField(u.id), nullptr) << t.name << " " << u.id;
    for (const auto& u : t.reply) EXPECT_NE(UCatalogue::FindField(u.id), nullptr) << t.name << " " << u.id;
    if (!t.expectsReply) {
      EXPECT_TRUE(t.reply.empty()) << t.name;
    }
  }
  EXPECT_EQ(fromTable, served);
  EXPECT_EQ(serverSent, (std::set<Uint16>{102, 104, 106, 109, 111, 113, 117, 118, 119, 301, 302}));
  for (Uint16 t : served) EXPECT_TRUE(UCatalogue::ServerServes(t)) << t;
  EXPECT_FALSE(UCatalogue::ServerServes(102));
}

TEST(Catalogue, FieldKindsAndNames) {
  EXPECT_EQ(UCatalogue::Fields().size(), 31u);
  struct Case {
    Uint16 id;
    const char* name;
    EFieldKind kind;
    Uint16 fixed;
  } cases[] = {
      {100, "ErrorText", EFieldKind::Text, 0},          {103, "UserId", EFieldKind::Integer, 0},
      {110, "UserAccess", EFieldKind::Fixed, 8},        {208, "FileCreateDate", EFieldKind::Fixed, 8},
      {213, "FileType", EFieldKind::Fixed, 4},          {202, "FilePath", EFieldKind::Record, 0},
      {300, "UserNameWithInfo", EFieldKind::Record, 0}, {101, "Data", EFieldKind::TextOrBytes, 0},
  };
  for (const auto& c : cases) {
    const SFieldInfo* f = UCatalogue::FindField(c.id);
    ASSERT_NE(f, nullptr) << c.id;
    EXPECT_EQ(f->name, c.name);
    EXPECT_EQ(f->kind, c.kind) << c.name;
    EXPECT_EQ(f->fixedSize, c.fixed) << c.name;
  }
  EXPECT_EQ(UCatalogue::FieldName(111), "111");
  EXPECT_EQ(UCatalogue::FieldName(7), "7");
}

TEST(Catalogue, DumpIsReadableAndHidesPasswords) {
  UFieldData f;
  f.AddText(fld::UserLogin, "\x9E\x9D");
  f.AddText(fld::UserPassword, "\x8F\x8F\x8F");
  f.AddText(fld::UserName, "Ann \"A\"\r");
  f.AddInteger(fld::UserIconId, 414);
  const Uint8 entry[] = {0, 5, 1, 0x9E, 0, 2, 0, 3, 'B', 'o', 'b'};
  f.AddField(fld::UserNameWithInfo, entry, sizeof entry);
  f.AddInteger(999, 7);
  const std::string text = DumpTransaction(trn::Login, false, 12, 0, f);
  EXPECT_EQ(text,
            "Login (107) request id 12, 6 fields\n"
            "  UserLogin (105): \"\\x9E\\x9D\"\n"
            "  UserPassword (106): (3 bytes, hidden)\n"
            "  UserName (102): \"Ann \\\"A\\\"\\r\"\n"
            "  UserIconId (104): 414\n"
            "  UserNameWithInfo (300): user 5 icon 414 flags 2 name \"Bob\"\n"
            "  field 999: 2 bytes 00 07\n");
}

TEST(Catalogue, DumpOfReplies) {
  UFieldData empty;
  EXPECT_EQ(DumpTransaction(0, true, 3, 0, empty, trn::GetFileList),
            "GetFileList (200) reply id 3 error 0, 0 fields\n");
  UFieldData err;
  err.AddText(fld::ErrorText, "No.");
  EXPECT_EQ(DumpTransaction(0, true, 4, 1, err), "reply id 4 error 1, 1 field\n  ErrorText (100): \"No.\"\n");
}
