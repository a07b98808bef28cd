// Encode and decode rates of the transaction codec: a typical chat line and a
// 1,000-entry user list, built as field lists, framed, reassembled and read back.
#include <chrono>
#include <cstdio>
#include <string>

#include "protocol/catalogue.h"
#include "protocol/fields.h"
#include "protocol/framing.h"

using namespace cv;

namespace {

using Clock = std::chrono::steady_clock;

Uint64 gSink = 0;  // printed, so the work cannot be optimised away

Bytes EncodeChat(Uint32 id) {
  UFieldData f;
  f.AddText(fld::Data, "Ann:  has anyone seen the new upload in the Pictures folder yet?");
  f.AddInteger(fld::ChatId, 0x12345678);
  STransactionHeader h;
  h.type = trn::ChatMessage;
  h.id = id;
  const Bytes& block = f.GetBlock();
  h.totalSize = h.dataSize = Uint32(block.size());
  return EncodeTransaction(h, block);
}

Bytes EncodeUserList(Uint32 id) {
  UFieldData f;
  Uint8 entry[8 + 31];
  for (Uint32 i = 0; i < 1000; ++i) {
    const std::string name = "user number " + std::to_string(i);
    WriteU16(entry, Uint16(i + 1));
    WriteU16(entry + 2, Uint16(128 + i % 50));
    WriteU16(entry + 4, Uint16(i % 3));
    WriteU16(entry + 6, Uint16(name.size()));
    std::memcpy(entry + 8, name.data(), name.size());
    f.AddField(fld::UserNameWithInfo, entry, 8 + name.size());
  }
  STransactionHeader h;
  h.isReply = 1;
  h.id = id;
  const Bytes& block = f.GetBlock();
  h.totalSize = h.dataSize = Uint32(block.size());
  return EncodeTransaction(h, block);
}

// Reassembles the stream in 1,460-byte pieces (a TCP segment) and reads every field.
Uint64 Decode(const Bytes& stream) {
  CTransactionReceiver r;
  Uint64 sum = 0;
  for (std::size_t pos = 0; pos < stream.size(); pos += 1460) {
    r.Feed(ByteView(stream.data() + pos, std::min<std::size_t>(1460, stream.size() - pos)));
    while (r.HasTransaction()) {
      UFieldData f(r.Take().data);
      const std::size_t n = f.GetFieldCount();
      for (std::size_t i = 1; i <= n; ++i) sum += f.GetNthField(i).size();
      sum += f.GetInteger(fld::ChatId) + f.GetText(fld::Data).size();
    }
  }
  return sum;
}

template <typename F>
double Rate(F&& fn, Uint32 perRound) {
  // Run for about half a second; report operations per second.
  Uint64 done = 0;
  const auto start = Clock::now();
  auto now = start;
  while (now - start < std::chrono::milliseconds(500)) {
    fn();
    done += perRound;
    now = Clock::now();
  }
  return double(done) / std::chrono::duration<double>(now - start).count();
}

}  // namespace

int main() {
  // Chat line.
  Uint32 id = 0;
  const double chatEncode = Rate([&] { gSink += EncodeChat(++id).size(); }, 1);
  Bytes chats;
  for (int i = 0; i < 10000; ++i) chats += EncodeChat(Uint32(i + 1));
  const double chatDecode = Rate([&] { gSink += Decode(chats); }, 10000);

  // 1,000-entry user list.
  const double listEncode = Rate([&] { gSink += EncodeUserList(++id).size(); }, 1);
  Bytes lists;
  for (int i = 0; i < 20; ++i) lists += EncodeUserList(Uint32(i + 1));
  const double listDecode = Rate([&] { gSink += Decode(lists); }, 20);

  std::printf("chat line (%zu bytes):        encode %10.0f transactions/s   decode %10.0f transactions/s\n",
              EncodeChat(1).size(), chatEncode, chatDecode);
  std::printf("user list, 1000 (%zu bytes): encode %10.0f transactions/s   decode %10.0f transactions/s\n",
              EncodeUserList(1).size(), listEncode, listDecode);
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(gSink));
  return 0;
}
