// Fuzzes the best compression level: see level_roundtrip.h for what each
// input must pass.

#include <cstdint>

#include "codec/codec.h"
#include "fuzz/level_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  telo::fuzzing::level_roundtrip(telo::CompressionLevel::kBest, 256, data, size);
  return 0;
}
