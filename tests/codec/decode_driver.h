#pragma once

// Runs a decoder over a stream call by call, recording what each call did.

#include <cstdint>
#include <span>
#include <vector>

#include "codec/codec.h"

namespace telo::testing {

using DecodeFunction = int (*)(Decompressor*, ByteWindow*, ByteWindow*);

struct CallRecord {
  int result = 0;
  std::size_t written = 0;      // how far the destination's pos moved
  std::size_t source_pos = 0;   // source pos after the call, from the stream's start
  std::uint32_t consumed = 0;
  bool operator==(const CallRecord&) const = default;
};

struct DecodeRun {
  std::vector<CallRecord> calls;
  std::vector<std::uint8_t> output;  // every call's room, one after the other (0xA5 where unwritten)
};

// Decodes with one call per entry of `rooms` (bytes of room for that call).
DecodeRun run_decoder(DecodeFunction decode, std::span<const std::uint8_t> stream,
                      const std::vector<std::size_t>& rooms);

// Rooms of 8192 bytes and a last one for the rest: how the extractor calls.
std::vector<std::size_t> chunked_rooms(std::size_t total);

// Decodes `total` bytes the way the extractor does; every call must return 0.
std::vector<std::uint8_t> decode_stream(std::span<const std::uint8_t> stream, std::size_t total);

}  // namespace telo::testing
