// Transaction reassembler and handshake parsers: any byte stream, cut into pieces of
// any size, either yields whole transactions or fails cleanly with (8, 107).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "framework/errors.h"
#include "protocol/fields.h"
#include "protocol/framing.h"

using namespace cv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte picks the piece sizes.
  const std::size_t step = 1 + data[0] % 64;
  ++data;
  --size;

  CServerHandshakeParser hello;
  CClientHandshakeParser answer;
  std::size_t used = hello.Feed(ByteView(data, size));
  (void)answer.Feed(ByteView(data, size));
  if (used > kClientHandshakeSize) std::abort();

  CTransactionReceiver r;
  std::size_t pos = 0;
  std::size_t piece = step;
  try {
    while (pos < size) {
      const std::size_t n = piece < size - pos ? piece : size - pos;
      r.Feed(ByteView(data + pos, n));
      pos += n;
      piece = piece * 5 % 97 + 1;
      if (r.PartInProgress() && r.CurrentReceived() > r.CurrentTotal()) std::abort();
      while (r.HasTransaction()) {
        SReceivedTransaction t = r.Take();
        if (t.data.size() != t.header.totalSize || t.data.size() > kMaxTransactionSize) std::abort();
        UFieldData f(std::move(t.data));
        (void)f.GetFieldCount();
        (void)f.GetInteger(103);
      }
    }
  } catch (const SError& e) {
    if (!e.Is(errClassNetwork, errBadProtocol) || !r.Failed()) std::abort();
  }
  return 0;
}
