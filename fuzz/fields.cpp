// Field list decoder: any bytes as a received list must read without faults, and the
// complete fields it reports must lie inside the block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "framework/errors.h"
#include "protocol/catalogue.h"
#include "protocol/fields.h"

using namespace cv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte picks the owner's prefix length.
  const std::size_t prefix = data[0] % 4;
  ++data;
  --size;
  UFieldData f(Bytes(data, size), prefix);
  const std::size_t count = f.GetFieldCount();
  std::size_t total = 0;
  Uint8 buf[300];
  for (std::size_t n = 1; n <= count; ++n) {
    const Uint16 id = f.GetNthFieldId(n);
    const ByteView v = f.GetNthField(n);
    total += 4 + v.size();
    if (v.data() < reinterpret_cast<const Uint8*>(f.GetBlock().data()) ||
        v.data() + v.size() > f.GetBlock().data() + f.GetBlock().size())
      std::abort();
    (void)f.GetNthInteger(n);
    (void)f.GetNthFieldData(n, n % 7, buf, sizeof buf);
    if (id != 0 && !f.HasField(id)) std::abort();
    f.GetPString(id, buf, 1 + n % 256);
    if (buf[0] > n % 256) std::abort();
  }
  if (size >= prefix && total > size - prefix) std::abort();
  if (f.GetNthFieldId(count + 1) != 0) std::abort();
  (void)DumpFields(f);

  // Appending keeps the complete fields and one more.
  try {
    f.AddInteger(103, size);
  } catch (const SError&) {
    if (count != UFieldData::kMaxFieldCount) std::abort();
    return 0;
  }
  UFieldData again(f.GetBlock(), prefix);
  if (again.GetFieldCount() != count + 1) std::abort();
  if (again.GetNthInteger(count + 1) != Uint32(size)) std::abort();
  return 0;
}
