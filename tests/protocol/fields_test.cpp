#include "protocol/fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/errors.h"

using namespace cv;

namespace {

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(Uint8(x));
  return b;
}

Bytes Block(UFieldData& f) { return f.GetBlock(); }

}  // namespace

TEST(FieldData, EmptyListIsTwoZeroBytes) {
  UFieldData f;
  EXPECT_FALSE(f.HasBlock());
  EXPECT_EQ(f.GetFieldCount(), 0u);
  EXPECT_EQ(Block(f), B({0, 0}));
  UFieldData g;
  EXPECT_EQ(g.TakeBlock(), B({0, 0}));
}

TEST(FieldData, EncodesEveryKind) {
  // Each row: what is added, and the exact field bytes (id, size, data) that follow the count.
  struct Case {
    const char* what;
    void (*add)(UFieldData&);
    Bytes wire;
  } cases[] = {
      {"integer 0", [](UFieldData& f) { f.AddInteger(103, 0); }, B({0, 103, 0, 2, 0, 0})},
      {"integer 65535", [](UFieldData& f) { f.AddInteger(103, 65535); }, B({0, 103, 0, 2, 0xFF, 0xFF})},
      {"integer 65536", [](UFieldData& f) { f.AddInteger(103, 65536); }, B({0, 103, 0, 4, 0, 1, 0, 0})},
      {"integer -1", [](UFieldData& f) { f.AddInteger(114, Uint32(-1)); }, B({0, 114, 0, 4, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"text", [](UFieldData& f) { f.AddText(102, "Bob"); }, B({0, 102, 0, 3, 'B', 'o', 'b'})},
      {"counted string",
       [](UFieldData& f) {
         const Uint8 p[] = {2, 'h', 'i'};
         f.AddPString(101, p);
       },
       B({0, 101, 0, 2, 'h', 'i'})},
      {"raw bytes",
       [](UFieldData& f) {
         const Uint8 access[8] = {0x80, 0, 0, 0, 0, 0, 0, 1};
         f.AddField(110, access, 8);
       },
       B({0, 110, 0, 8, 0x80, 0, 0, 0, 0, 0, 0, 1})},
      {"high id", [](UFieldData& f) { f.AddInteger(0xFFFF, 7); }, B({0xFF, 0xFF, 0, 2, 0, 7})},
  };
  for (const auto& c : cases) {
    UFieldData f;
    c.add(f);
    Bytes expect = B({0, 1}) + c.wire;
    EXPECT_EQ(Block(f), expect) << c.what;
    // And the reader gets the same field back, through a received copy.
    UFieldData r(Block(f));
    ASSERT_EQ(r.GetFieldCount(), 1u) << c.what;
    EXPECT_EQ(r.GetNthFieldId(1), ReadU16(c.wire.data())) << c.what;
    EXPECT_EQ(r.GetFieldSize(ReadU16(c.wire.data())), c.wire.size() - 4) << c.what;
  }
}

TEST(FieldData, EmptyValuesAddNothing) {
  UFieldData f;
  f.AddInteger(103, 5);
  const Uint8 empty[] = {0};
  f.AddPString(102, empty);
  f.AddPString(102, nullptr);
  f.AddText(101, "");
  f.AddField(101, nullptr, 0);
  EXPECT_EQ(f.GetFieldCount(), 1u);
  EXPECT_EQ(Block(f), B({0, 1, 0, 103, 0, 2, 0, 5}));
}

TEST(FieldData, BadArgumentsRaiseAndLeaveListUnchanged) {
  UFieldData f;
  f.AddText(101, "x");
  const Bytes before = Block(f);
  try {
    f.AddInteger(0, 1);
    FAIL();
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(1, 2));
  }
  std::vector<Uint8> big(65536, 'a');
  try {
    f.AddField(101, big.data(), big.size());
    FAIL();
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(1, 10));
  }
  EXPECT_EQ(Block(f), before);
  f.AddField(101, big.data(), 65535);  // exactly the maximum is fine
  EXPECT_EQ(f.GetFieldCount(), 2u);
  EXPECT_EQ(f.GetNthField(2).size(), 65535u);
}

TEST(FieldData, FieldCountIsCappedAtItsWidth) {
  UFieldData f;
  for (int i = 0; i < 65535; ++i) f.AddInteger(103, 1);
  EXPECT_EQ(f.GetFieldCount(), 65535u);
  try {
    f.AddInteger(103, 1);
    FAIL() << "the 16-bit count would wrap";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(1, 10));
  }
  EXPECT_EQ(f.GetFieldCount(), 65535u);
}

TEST(FieldData, IntegerWidthsOnRead) {
  struct Case {
    Bytes data;
    Uint32 value;
  } cases[] = {
      {B({0x7F}), 0x7F},
      {B({0xFF}), 0xFF},
      {B({0x12, 0x34}), 0x1234},
      {B({1, 2, 3}), 0},
      {B({0xDE, 0xAD, 0xBE, 0xEF}), 0xDEADBEEF},
      {B({0, 0, 1, 0, 9, 9, 9, 9}), 256},
  };
  for (const auto& c : cases) {
    UFieldData f;
    f.AddField(107, c.data);
    EXPECT_EQ(f.GetInteger(107), c.value) << c.data.size();
    EXPECT_EQ(f.GetNthInteger(1), c.value) << c.data.size();
  }
  UFieldData f;
  EXPECT_EQ(f.GetInteger(107), 0u);
}

TEST(FieldData, LookupsByIdAndPosition) {
  UFieldData f;
  f.AddInteger(114, 99);
  f.AddText(102, "alice");
  f.AddInteger(300, 1);
  f.AddInteger(300, 2);
  f.AddInteger(300, 3);
  f.AddText(101, "hello world");
  ASSERT_EQ(f.GetFieldCount(), 6u);
  EXPECT_EQ(f.GetNthFieldId(0), 0);
  EXPECT_EQ(f.GetNthFieldId(7), 0);
  EXPECT_EQ(f.GetNthFieldId(1), 114);
  std::vector<Uint32> repeated;
  for (std::size_t n = 1; n <= f.GetFieldCount(); ++n)
    if (f.GetNthFieldId(n) == 300) repeated.push_back(f.GetNthInteger(n));
  EXPECT_EQ(repeated, (std::vector<Uint32>{1, 2, 3}));

  EXPECT_EQ(f.GetInteger(114), 99u);
  EXPECT_EQ(f.GetInteger(114), 99u);  // through the cache
  EXPECT_EQ(f.GetText(102), "alice");
  EXPECT_EQ(f.GetText(101, 5), "hello");
  EXPECT_EQ(f.GetFieldSize(999), 0u);
  EXPECT_EQ(f.GetFieldSize(0), 0u);
  EXPECT_FALSE(f.HasField(103));

  char buf[8];
  EXPECT_EQ(f.GetFieldData(101, buf, sizeof buf), 8u);
  EXPECT_EQ(std::string(buf, 8), "hello wo");
  EXPECT_EQ(f.GetNthFieldData(6, 6, buf, sizeof buf), 5u);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(f.GetNthFieldData(6, 11, buf, sizeof buf), 0u);
  EXPECT_EQ(f.GetNthFieldData(9, 0, buf, sizeof buf), 0u);

  // Adding after a lookup discards the index.
  f.AddInteger(103, 42);
  EXPECT_EQ(f.GetInteger(103), 42u);
  EXPECT_EQ(f.GetFieldCount(), 7u);
}

TEST(FieldData, GetPStringTruncatesToCapacity) {
  UFieldData f;
  std::string name(100, 'n');
  f.AddText(102, name);
  Uint8 p[64];
  f.GetPString(102, p, sizeof p);
  EXPECT_EQ(p[0], 63);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p + 1), 63), name.substr(0, 63));
  Uint8 big[300];
  f.AddText(101, std::string(300, 'x'));
  f.GetPString(101, big, sizeof big);
  EXPECT_EQ(big[0], 255);  // a counted string never holds more than 255
  f.GetPString(999, p, sizeof p);
  EXPECT_EQ(p[0], 0);
}

TEST(FieldData, MalformedReceivedBlocksKeepCompleteLeadingFields) {
  struct Case {
    const char* what;
    Bytes block;
    std::size_t count;
  } cases[] = {
      {"nothing", B({}), 0},
      {"one byte", B({5}), 0},
      {"two bytes", B({0, 3}), 0},
      {"count promises more", B({0, 3, 0, 103, 0, 2, 0, 1, 0, 104, 0, 2, 0, 9}), 2},
      {"second field head cut", B({0, 2, 0, 103, 0, 2, 0, 1, 0, 104}), 1},
      {"second field data cut", B({0, 2, 0, 103, 0, 2, 0, 1, 0, 104, 0, 9, 1, 2}), 1},
      {"field size overruns", B({0, 1, 0, 101, 0xFF, 0xFF, 'a'}), 0},
      {"count smaller than fields", B({0, 1, 0, 103, 0, 2, 0, 1, 0, 104, 0, 2, 0, 9}), 1},
      {"zero-size field read", B({0, 2, 0, 101, 0, 0, 0, 103, 0, 2, 0, 7}), 2},
      {"count ffff, nothing", B({0xFF, 0xFF, 0}), 0},
  };
  for (const auto& c : cases) {
    UFieldData f(c.block);
    EXPECT_EQ(f.GetFieldCount(), c.count) << c.what;
    EXPECT_EQ(f.GetNthFieldId(c.count + 1), 0) << c.what;
  }
  UFieldData z(B({0, 2, 0, 101, 0, 0, 0, 103, 0, 2, 0, 7}));
  EXPECT_EQ(z.GetInteger(103), 7u);
  EXPECT_EQ(z.GetText(101), "");
}

TEST(FieldData, AddingToATruncatedBlockKeepsItReadable) {
  UFieldData f(B({0, 3, 0, 103, 0, 2, 0, 1, 0, 104, 0, 9, 1}));
  ASSERT_EQ(f.GetFieldCount(), 1u);
  f.AddInteger(105, 5);
  EXPECT_EQ(f.GetBlock(), B({0, 2, 0, 103, 0, 2, 0, 1, 0, 105, 0, 2, 0, 5}));
  UFieldData g(B({7}));
  g.AddInteger(105, 5);
  EXPECT_EQ(g.GetBlock(), B({0, 1, 0, 105, 0, 2, 0, 5}));
}

TEST(FieldData, PrefixBytesBelongToTheOwner) {
  UFieldData f(B({0xAA, 0xBB, 0, 1, 0, 103, 0, 2, 0, 9}), 2);
  EXPECT_EQ(f.GetInteger(103), 9u);
  f.AddInteger(104, 3);
  EXPECT_EQ(f.GetBlock(), B({0xAA, 0xBB, 0, 2, 0, 103, 0, 2, 0, 9, 0, 104, 0, 2, 0, 3}));
  UFieldData g(Bytes{}, 3);
  EXPECT_EQ(g.GetBlock(), B({0, 0, 0, 0, 0}));
  g.AddInteger(104, 3);
  EXPECT_EQ(g.GetBlock(), B({0, 0, 0, 0, 1, 0, 104, 0, 2, 0, 3}));
}

TEST(FieldData, CopyMoveAndClear) {
  UFieldData f;
  f.AddText(102, "a");
  (void)f.GetText(102);
  UFieldData c = f;
  c.AddText(101, "b");
  EXPECT_EQ(f.GetFieldCount(), 1u);
  EXPECT_EQ(c.GetFieldCount(), 2u);
  UFieldData m = std::move(c);
  EXPECT_EQ(m.GetText(101), "b");
  EXPECT_EQ(c.GetFieldCount(), 0u);  // NOLINT: moved-from is empty by contract
  m.Clear();
  EXPECT_FALSE(m.HasBlock());
  EXPECT_EQ(m.GetText(101), "");
}
