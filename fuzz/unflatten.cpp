// Feeds arbitrary bytes to the unflattening cursor in pieces of varying size, and
// to the resume record and information fork decoders. The first input byte picks
// the piece size and the second the start offset's scale, so the corpus explores
// both the parsers and their handling of split headers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "framework/errors.h"
#include "protocol/flatten.h"

using namespace cv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = std::size_t(data[0]) + 1;
  const Uint64 start = data[1] < 0xF0 ? Uint64(data[1]) * 4096 : ~Uint64(0) - data[1];
  data += 2;
  size -= 2;

  Uint64 written = 0;
  CUnflattener u(
      [&](Uint64 offset, ByteView bytes) {
        // Every data byte must land inside the fork it came with.
        if (offset < start || offset - start > 0xFFFFFFFFu || bytes.size() > 0xFFFFFFFFu) std::abort();
        written += bytes.size();
      },
      start);
  try {
    for (std::size_t at = 0; at < size; at += piece) {
      u.Write(data + at, size - at < piece ? size - at : piece);
    }
  } catch (const SError&) {
  }
  if (written != u.DataReceived() || u.DataReceived() > u.Consumed() || u.Consumed() > size) std::abort();
  if (const auto fork = u.InfoFork()) {
    if (fork->size() > kInfoForkKeep) std::abort();
  }
  try {
    u.Finish();
    (void)u.Info();
  } catch (const SError&) {
  }

  const ByteView whole(data, size);
  try {
    (void)ResumeOffset(whole);
  } catch (const SError&) {
  }
  try {
    const SFlatInfo info = ParseInfoFork(whole);
    // What decodes must encode again.
    (void)BuildInfoFork(info);
  } catch (const SError&) {
  }
  return 0;
}
