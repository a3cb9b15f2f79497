// The contents checksum against zlib's crc32 (itself folded with carry-less
// multiplication where the processor allows), on the same 8 MiB of random
// bytes in the same run, in the 8192-byte pieces the extractor checks.
//
//   build-bench/bench/crc_bench

#include <zlib.h>

#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "payload/crc16_sliced.h"

namespace {

constexpr std::size_t kBytes = 8u << 20;
constexpr std::size_t kPiece = 8192;

const std::vector<std::uint8_t>& data() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> v(kBytes);
    std::mt19937_64 random(7);
    for (auto& b : v) b = static_cast<std::uint8_t>(random());
    return v;
  }();
  return bytes;
}

template <typename Routine>
void run_pieces(benchmark::State& state, Routine routine) {
  const auto& bytes = data();
  for (auto _ : state) {
    unsigned long crc = 0;
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) crc = routine(crc, bytes.data() + at, kPiece);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void crc16_tables(benchmark::State& state) {
  run_pieces(state, [](unsigned long c, const std::uint8_t* p, std::size_t n) {
    return static_cast<unsigned long>(telo::crc16_by_tables(static_cast<std::uint16_t>(c), p, n));
  });
}
void crc16_folded(benchmark::State& state) {
  if (!telo::crc16_folding_supported()) state.SkipWithError("no carry-less multiplication here");
  run_pieces(state, [](unsigned long c, const std::uint8_t* p, std::size_t n) {
    return static_cast<unsigned long>(telo::crc16_folded(static_cast<std::uint16_t>(c), p, n));
  });
}
void zlib_crc32(benchmark::State& state) {
  run_pieces(state, [](unsigned long c, const std::uint8_t* p, std::size_t n) {
    return crc32(c, p, static_cast<uInt>(n));
  });
}

BENCHMARK(crc16_tables);
BENCHMARK(crc16_folded);
BENCHMARK(zlib_crc32);

}  // namespace

BENCHMARK_MAIN();
