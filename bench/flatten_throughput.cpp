// Flattening and unflattening a file held in memory, in 64 KiB pieces as the
// transfer code moves them, against plain copies of the same bytes in the same
// pieces. Usage: bench_flatten_throughput [MiB]  (default 256)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/flatten.h"

using namespace cv;

namespace {

constexpr std::size_t kPiece = 64 * 1024;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double MBps(std::size_t bytes, double s) { return double(bytes) / 1e6 / s; }

// Copies src to dst in pieces, the way the source callback and sink are asked.
void PieceCopy(const std::vector<Uint8>& src, std::vector<Uint8>& dst) {
  for (std::size_t at = 0; at < src.size(); at += kPiece)
    std::memcpy(dst.data() + at, src.data() + at, std::min(kPiece, src.size() - at));
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = 256;
  if (argc > 1) {
    const long v = std::strtol(argv[1], nullptr, 10);
    if (v <= 0 || v > 4000) {
      std::fprintf(stderr, "usage: %s [MiB, 1 to 4000]\n", argv[0]);
      return 2;
    }
    mib = std::size_t(v);
  }
  const std::size_t size = mib * 1024 * 1024;

  std::vector<Uint8> file(size);
  for (std::size_t i = 0; i < size; ++i) file[i] = Uint8(i * 131 + (i >> 12));
  std::vector<Uint8> stream;
  std::vector<Uint8> out(size, 1);

  // One copy in pieces is the floor each direction is compared with: the flattener
  // copies each byte once (source into the stream), the unflattener once (stream
  // into the sink). Every figure is the best of a few rounds, all buffers touched
  // before the first.
  constexpr int kRounds = 3;
  std::vector<Uint8> copy(size);
  PieceCopy(file, copy);
  double copyS = 1e9, flatS = 1e9, unflatS = 1e9;
  const SFlatInfo info = InfoForFile("bench.bin");
  for (int round = 0; round < kRounds; ++round) {
    auto t = std::chrono::steady_clock::now();
    PieceCopy(file, copy);
    copyS = std::min(copyS, Seconds(t));

    // Flatten: the source reads from the in-memory file; the stream is read 64 KiB
    // at a time straight into its buffer.
    CFlattener f(info, size, [&](Uint64 offset, Uint8* buf, std::size_t count) {
      if (offset >= file.size()) return std::size_t(0);
      const std::size_t n = std::min<std::size_t>(count, file.size() - std::size_t(offset));
      std::memcpy(buf, file.data() + offset, n);
      return n;
    });
    stream.resize(f.Size());
    if (round == 0) std::memset(stream.data(), 0, stream.size());
    t = std::chrono::steady_clock::now();
    std::size_t at = 0;
    while (!f.AtEnd()) at += f.Read(stream.data() + at, std::min(kPiece, stream.size() - at));
    flatS = std::min(flatS, Seconds(t));
    if (at != stream.size()) {
      std::fprintf(stderr, "stream came out short\n");
      return 1;
    }

    // Unflatten: the stream arrives in 64 KiB pieces; the sink writes at its offsets.
    std::memset(out.data(), 1, out.size());
    Uint64 received = 0;
    CUnflattener u([&](Uint64 offset, ByteView bytes) {
      if (offset + bytes.size() > out.size()) {
        std::fprintf(stderr, "sink went past the file's end\n");
        std::exit(1);
      }
      std::memcpy(out.data() + offset, bytes.data(), bytes.size());
      received += bytes.size();
    });
    t = std::chrono::steady_clock::now();
    for (std::size_t from = 0; from < stream.size(); from += kPiece)
      u.Write(stream.data() + from, std::min(kPiece, stream.size() - from));
    u.Finish();
    unflatS = std::min(unflatS, Seconds(t));
    if (received != size || out != file) {
      std::fprintf(stderr, "round trip lost or changed bytes\n");
      return 1;
    }
  }

  const double copyRate = MBps(size, copyS);
  const double flatRate = MBps(size, flatS);
  const double unflatRate = MBps(size, unflatS);
  std::printf("%zu MiB in %zu KiB pieces, stream %zu bytes\n", mib, kPiece / 1024, stream.size());
  std::printf("%-12s %10.0f MB/s  (%.3f s)\n", "memcpy", copyRate, copyS);
  std::printf("%-12s %10.0f MB/s  (%.3f s)  %.2fx memcpy time\n", "flatten", flatRate, flatS, flatS / copyS);
  std::printf("%-12s %10.0f MB/s  (%.3f s)  %.2fx memcpy time\n", "unflatten", unflatRate, unflatS, unflatS / copyS);
  return 0;
}
