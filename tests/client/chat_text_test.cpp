// The chat's pure pieces: scrambling, line preparation, user entries, titles and the
// hidden command window's texts.
#include <gtest/gtest.h>

#include <set>

#include "client/chat_text.h"
#include "framework/random.h"
#include "framework/text.h"
#include "protocol/catalogue.h"
#include "protocol/fields.h"

using namespace cv;
using namespace cv::client;

namespace {

Bytes UserField(Uint16 id, Uint16 icon, Uint16 flags, Uint16 length, std::string_view name) {
  Bytes b;
  AppendU16(b, id);
  AppendU16(b, icon);
  AppendU16(b, flags);
  AppendU16(b, length);
  AppendBytes(b, name.data(), name.size());
  return b;
}

ByteView View(const Bytes& b) { return ByteView(b.data(), b.size()); }

}  // namespace

// ---- Scrambling

TEST(ChatScramble, ShuffleHandCheckedCases) {
  struct Case {
    std::string_view alphabet;
    Uint8 a, b, c;
    std::string_view expected;
  } cases[] = {
      // a=1, c=3: the first take jumps from 'e' by 101*3/102 = 2 to 'o'; afterwards every
      // attempt runs from 'u' past the end onto the taken place 3, so the rest come out
      // in order as the first non-zero bytes.
      {"aeiou", 1, 2, 3, "oaeiu"},
      // c=0 never moves after the first step: i, u, then wrap to b=1 (e), then o; 'a'
      // is never reached again and comes from the fallback.
      {"aeiou", 2, 1, 0, "iueoa"},
      // Key 000 stays on the first place: the identity.
      {"0123456789", 0, 0, 0, "0123456789"},
      // Digits above 9 are held to 9: wrapping to b=9, beyond the alphabet, finds
      // nothing, so after i and u the rest come from the fallback.
      {"aeiou", 2, 200, 0, "iuaeo"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CMyChatScrambler::Shuffle(c.alphabet, c.a, c.b, c.c), c.expected)
        << c.alphabet << " " << int(c.a) << int(c.b) << int(c.c);
}

TEST(ChatScramble, KeyBuildsPermutationWithinEachAlphabet) {
  const std::string_view alphabets[] = {"bcdfghjklmnpqrstvwxyz", "BCDFGHJKLMNPQRSTVWXYZ", "aeiou", "0123456789"};
  for (std::string_view key : {"000", "123", "999", "507", "314"}) {
    auto s = CMyChatScrambler::FromKey(key);
    ASSERT_TRUE(s) << key;
    std::set<Uint8> images;
    for (int i = 0; i < 256; ++i) {
      images.insert(s->Encode(Uint8(i)));
      EXPECT_EQ(s->Decode(s->Encode(Uint8(i))), i) << key;
    }
    EXPECT_EQ(images.size(), 256u) << key;
    for (std::string_view alphabet : alphabets) {
      const std::string order =
          CMyChatScrambler::Shuffle(alphabet, Uint8(key[0] - '0'), Uint8(key[1] - '0'), Uint8(key[2] - '0'));
      ASSERT_EQ(order.size(), alphabet.size());
      for (std::size_t j = 0; j < alphabet.size(); ++j) EXPECT_EQ(s->Encode(Uint8(alphabet[j])), Uint8(order[j]));
    }
    // Everything outside the four alphabets maps to itself.
    for (char c : std::string_view(" .,:\"'\r\xCA\xA5!A")) EXPECT_EQ(s->Encode(Uint8(c)), Uint8(c)) << key;
  }
  const auto k123 = CMyChatScrambler::FromKey("123");
  EXPECT_EQ(k123->Encode('a'), 'o');
  EXPECT_EQ(k123->Encode('e'), 'a');
  EXPECT_EQ(k123->Decode('o'), 'a');
}

TEST(ChatScramble, OnlyThreeDigitsMakeAKey) {
  for (std::string_view bad : {"", "12", "1234", "12a", " 12", "-12", "1.2"})
    EXPECT_FALSE(CMyChatScrambler::FromKey(bad)) << bad;
}

TEST(ChatScramble, QuotedTextStaysAsTyped) {
  const auto s = CMyChatScrambler::FromKey("123");
  std::string text = "say \"hello\" to bob \"and";
  s->EncodeRange(text, 0, text.size());
  std::string expected = "say ";
  for (char& c : expected) c = char(s->Encode(Uint8(c)));
  EXPECT_EQ(text.substr(0, 4), expected);
  EXPECT_EQ(text.substr(4, 7), "\"hello\"");
  EXPECT_NE(text.substr(11, 8), " to bob ");
  // After an opening mark without a closing one nothing more is mapped.
  EXPECT_EQ(text.substr(19), "\"and");
  s->DecodeRange(text, 0, text.size());
  EXPECT_EQ(text, "say \"hello\" to bob \"and");
}

TEST(ChatScramble, SentLineDecodesOnReceipt) {
  const auto s = CMyChatScrambler::FromKey("271");
  std::string typed = "meet at \"Gate 4\" 9pm\r";
  ASSERT_EQ(PrepareChatText(typed, &*s), EChatPrepared::Ready);
  ASSERT_EQ(typed.back(), kScrambleMarker);
  EXPECT_NE(typed.substr(0, 4), "meet");
  // The server puts its prefix in front; the receiver decodes after the first colon.
  const std::string line = "\r        alice:  " + typed;
  EXPECT_EQ(s->DecodeLine(line), "\r        alice\xA5  meet at \"Gate 4\" 9pm\xCA");
  // Without the marker, or without a colon, a line is shown as it came.
  EXPECT_EQ(s->DecodeLine("\r        alice:  plain"), "\r        alice:  plain");
  EXPECT_EQ(s->DecodeLine("\r *** alice waves\xCA"), "\r *** alice waves\xCA");
  EXPECT_EQ(s->DecodeLine(""), "");
}

// ---- Sending

TEST(ChatSend, PreparationRules) {
  struct Case {
    std::string typed;
    EChatPrepared result;
    std::string sent;
  } cases[] = {
      {std::string(2048, 'a'), EChatPrepared::Ready, std::string(2048, 'a')},
      {std::string(2049, 'a'), EChatPrepared::TooLong, ""},
      // The limit holds before the trailing carriage return is dropped.
      {std::string(2048, 'a') + "\r", EChatPrepared::TooLong, ""},
      {"hello\r", EChatPrepared::Ready, "hello"},
      {"hello\r\r", EChatPrepared::Ready, "hello\r"},
      {"\r", EChatPrepared::Ready, ""},
      {"a\rb", EChatPrepared::Ready, "a\rb"},
      {std::string("a\x01\x1b\x7f"
                   "b\0c",
                   7),
       EChatPrepared::Ready, "a   b c"},
      {"t\tl\nv\vf\f", EChatPrepared::Ready, "t\tl\nv\vf\f"},
      {"caf\x8E \xD2x\xD3", EChatPrepared::Ready, "caf\x8E \xD2x\xD3"},
  };
  for (Case& c : cases) {
    std::string text = c.typed;
    ASSERT_EQ(PrepareChatText(text, nullptr), c.result) << c.typed.size();
    if (c.result == EChatPrepared::Ready) {
      EXPECT_EQ(text, c.sent);
    }
  }
}

TEST(ChatSend, ScrambledLineKeepsItsMarkerAndLosesTheReturn) {
  const auto s = CMyChatScrambler::FromKey("000");  // the identity tables
  std::string text = "hi\x02\r";
  ASSERT_EQ(PrepareChatText(text, &*s), EChatPrepared::Ready);
  EXPECT_EQ(text, "hi \xCA");
}

TEST(ChatSend, SillyTexts) {
  EXPECT_EQ(SillyText(1), "doze frogz are gunna pay");
  EXPECT_EQ(SillyText(2), "pork pork");
  EXPECT_EQ(SillyText(3), "pork pork pork");
  EXPECT_EQ(SillyText(4), "pork pork pork pork");
  EXPECT_EQ(SillyText(5), "pork");
}

// ---- User entries

TEST(ChatUsers, UserFieldParsing) {
  auto ok = ParseUserEntry(View(UserField(7, 128, 2, 5, "alice")));
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, (SUserEntry{7, 128, 2, "alice"}));

  auto noIcon = ParseUserEntry(View(UserField(8, 0, 1, 3, "bob")));
  ASSERT_TRUE(noIcon);
  EXPECT_EQ(noIcon->icon, 414);

  // Long names are cut to 63 bytes; a field beyond 264 bytes is read no further.
  const std::string longName(300, 'n');
  auto longOne = ParseUserEntry(View(UserField(9, 1, 0, 300, longName)));
  ASSERT_TRUE(longOne);
  EXPECT_EQ(longOne->name, std::string(63, 'n'));

  auto empty = ParseUserEntry(View(UserField(10, 1, 0, 0, "")));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->name, "");

  // Bytes after the announced name are ignored.
  auto trailing = ParseUserEntry(View(UserField(11, 1, 0, 2, "abXYZ")));
  ASSERT_TRUE(trailing);
  EXPECT_EQ(trailing->name, "ab");

  const Bytes head = UserField(7, 1, 0, 5, "alice");
  for (std::size_t cut = 0; cut < head.size(); ++cut)
    EXPECT_FALSE(ParseUserEntry(ByteView(head.data(), cut))) << "cut at " << cut;
  EXPECT_FALSE(ParseUserEntry(View(UserField(0, 1, 0, 5, "alice")))) << "user id 0";
  EXPECT_FALSE(ParseUserEntry(View(UserField(7, 1, 0, 0xFFFF, "abc")))) << "length beyond the field";
}

TEST(ChatUsers, EntryFromNotification) {
  UFieldData f;
  f.AddInteger(fld::UserId, 12);
  f.AddInteger(fld::UserFlags, 3);
  f.AddText(fld::UserName, std::string(100, 'x'));
  auto e = UserEntryFromFields(f);
  ASSERT_TRUE(e);
  EXPECT_EQ(*e, (SUserEntry{12, 414, 3, std::string(63, 'x')}));

  UFieldData none;
  none.AddText(fld::UserName, "ghost");
  EXPECT_FALSE(UserEntryFromFields(none));
  UFieldData wide;
  wide.AddInteger(fld::UserId, 70000);
  EXPECT_FALSE(UserEntryFromFields(wide));
}

TEST(ChatUsers, NameColours) {
  EXPECT_EQ(NameColour(0), (SNameColour{SNameColour::Text, {}}));
  EXPECT_EQ(NameColour(userIdle), (SNameColour{SNameColour::Dimmed, {}}));
  EXPECT_EQ(NameColour(userAdmin), (SNameColour{SNameColour::Rgb, {0xDDDD, 0, 0}}));
  EXPECT_EQ(NameColour(userIdle | userAdmin), (SNameColour{SNameColour::Rgb, {0xEEEE, 0x7777, 0x7777}}));
  EXPECT_EQ(NameColour(0xFFFC), (SNameColour{SNameColour::Text, {}})) << "unknown bits change nothing";
}

TEST(ChatUsers, ListKeepsOneEntryPerIdInArrivalOrder) {
  CMyUserList list;
  EXPECT_EQ(list.Put({5, 1, 0, "e"}).result, CMyUserList::EPut::Added);
  EXPECT_EQ(list.Put({3, 1, 0, "c"}).result, CMyUserList::EPut::Added);
  EXPECT_EQ(list.Put({9, 1, 0, "i"}).result, CMyUserList::EPut::Added);
  auto put = list.Put({3, 2, 1, "c2"});
  EXPECT_EQ(put.result, CMyUserList::EPut::Updated);
  EXPECT_EQ(put.index, 1u);
  EXPECT_EQ(put.oldName, "c");
  ASSERT_EQ(list.Size(), 3u);
  EXPECT_EQ(list.Entries()[1], (SUserEntry{3, 2, 1, "c2"}));

  std::size_t at = 99;
  auto removed = list.Remove(5, &at);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->name, "e");
  EXPECT_EQ(at, 0u);
  EXPECT_FALSE(list.Remove(5));
  // Later entries are still found after the removal moved them.
  ASSERT_TRUE(list.Find(9));
  EXPECT_EQ(list.Find(9)->name, "i");
  EXPECT_EQ(list.Put({9, 1, 0, "i2"}).index, 1u);
  list.Clear();
  EXPECT_EQ(list.Size(), 0u);
  EXPECT_FALSE(list.Find(3));
}

TEST(ChatUsers, ListHoldsEveryPossibleId) {
  CMyUserList list;
  for (Uint32 id = 1; id <= 0xFFFF; ++id) ASSERT_EQ(list.Put({Uint16(id), 1, 0, ""}).result, CMyUserList::EPut::Added);
  EXPECT_EQ(list.Size(), kUserListMax);
  EXPECT_EQ(list.Put({Uint16(77), 2, 0, "again"}).result, CMyUserList::EPut::Updated);
  EXPECT_EQ(list.Size(), kUserListMax);
}

// ---- Lines and titles

TEST(ChatLines, ClientWrittenLines) {
  EXPECT_EQ(NameChangeLine("al", "alan"), "\r <<< al is now known as alan >>>");
  EXPECT_EQ(JoinLine("bo"), "\r <<< bo has joined the chat >>>");
  EXPECT_EQ(LeaveLine("bo"), "\r <<< bo has left the chat >>>");
  EXPECT_EQ(LineToAppend("\rhi", true), "hi");
  EXPECT_EQ(LineToAppend("\rhi", false), "\rhi");
  EXPECT_EQ(LineToAppend("\r", true), "");
  EXPECT_EQ(LineToAppend("hi", true), "hi");
}

TEST(ChatLines, PrivateChatTitle) {
  EXPECT_EQ(PrivateChatTitle(""), "Private Chat");
  EXPECT_EQ(PrivateChatTitle("fish"), "Private Chat:  fish");
  // "Private Chat:  " is 15 characters: a subject of 49 makes 64, kept whole.
  EXPECT_EQ(PrivateChatTitle(std::string(49, 's')), "Private Chat:  " + std::string(49, 's'));
  EXPECT_EQ(PrivateChatTitle(std::string(50, 's')), "Private Chat:  " + std::string(49, 's') + "...");
  EXPECT_EQ(PrivateChatTitle(std::string(255, 's')).size(), 67u);
}

// ---- Hidden command window

TEST(ChatSecret, WordsHashToDistinctCommands) {
  struct Case {
    std::string_view word;
    ESecretCommand command;
  } cases[] = {
      {"icon", ESecretCommand::SetIcon},      {"cap", ESecretCommand::Icon134},
      {"crown", ESecretCommand::Icon139},     {"halo", ESecretCommand::Icon158},
      {"mask", ESecretCommand::Icon410},      {"sendbuf", ESecretCommand::SendBuffer},
      {"leech", ESecretCommand::LeechRating}, {"stats", ESecretCommand::Statistics},
      {"scramble", ESecretCommand::Scramble}, {"silly", ESecretCommand::Silly},
      {"idle", ESecretCommand::Nothing},      {"LeEcH", ESecretCommand::LeechRating},
      {"leech ", ESecretCommand::None},       {"", ESecretCommand::None},
      {"pork", ESecretCommand::None},
  };
  for (const Case& c : cases) EXPECT_EQ(SecretCommandFor(c.word), c.command) << c.word;

  std::set<Uint32> hashes;
  for (const SSecretWord& w : SecretWords()) hashes.insert(w.hash);
  EXPECT_EQ(hashes.size(), SecretWords().size());
  // The hash is the framework CRC of the counted string.
  const char counted[] = "\x05leech";
  EXPECT_EQ(SecretWordHash("LEECH"), Crc32(counted, 6, 0xFFFFFFDB));
}

TEST(ChatSecret, IconArgument) {
  EXPECT_EQ(SecretIconId("128"), 128);
  EXPECT_EQ(SecretIconId("0"), 0);
  EXPECT_EQ(SecretIconId("65535"), 65535);
  for (std::string_view bad : {"134", "139", "158", "410", "1000", "1003", "", "12x", "-5", "65536", "999999"})
    EXPECT_FALSE(SecretIconId(bad)) << bad;
  EXPECT_EQ(SecretIconId("1004"), 1004);
}

TEST(ChatSecret, SendBufferSize) {
  EXPECT_EQ(SendBufferBytes("64"), 65536u);
  EXPECT_EQ(SendBufferBytes("1"), 16384u);
  EXPECT_EQ(SendBufferBytes(""), 16384u);
  EXPECT_EQ(SendBufferBytes("-3"), 16384u);
  EXPECT_EQ(SendBufferBytes("99999999999"), 64u << 20);
}

TEST(ChatSecret, LeechRating) {
  struct Case {
    Uint32 up, down;
    std::string_view shown;
  } cases[] = {
      {3, 10, "3"},
      {10, 3, "-3"},
      {7, 7, "-1"},
      {0, 5, "\xB0"},
      {0, 0, "\xB0"},
      {5, 0, "-\xB0"},
      {1, 0xFFFFFFFF, "2147483647"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LeechRatingText(c.up, c.down), "announces a LEECH RATING of >>>> " + std::string(c.shown))
        << c.up << "/" << c.down;
}
