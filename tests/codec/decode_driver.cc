#include "tests/codec/decode_driver.h"

#include <gtest/gtest.h>

#include "codec/context.h"

namespace telo::testing {

DecodeRun run_decoder(DecodeFunction decode, std::span<const std::uint8_t> stream,
                      const std::vector<std::size_t>& rooms) {
  // An exact-size copy, so that a read past the stream shows under ASan.
  std::vector<std::uint8_t> input(stream.begin(), stream.end());
  std::uint8_t* const first = input.data();
  ByteWindow source;
  source.pos = first;
  source.end = first + input.size();
  DecodeRun run;
  std::size_t total = 0;
  for (std::size_t room : rooms) total += room;
  run.output.assign(total, 0xA5);
  Decompressor* context = nullptr;
  EXPECT_EQ(decompressor_create(&context), 0);
  std::size_t at = 0;
  for (std::size_t room : rooms) {
    ByteWindow destination;
    destination.pos = run.output.data() + at;
    destination.end = destination.pos + room;
    CallRecord record;
    record.result = decode(context, &source, &destination);
    record.written = static_cast<std::size_t>(destination.pos - (run.output.data() + at));
    record.source_pos = first == nullptr ? 0 : static_cast<std::size_t>(source.pos - first);
    record.consumed = source.consumed;
    run.calls.push_back(record);
    at += room;
  }
  decompressor_destroy(&context);
  return run;
}

std::vector<std::size_t> chunked_rooms(std::size_t total) {
  std::vector<std::size_t> rooms;
  for (std::size_t done = 0; done < total; done += kChunkLimit) {
    rooms.push_back(std::min<std::size_t>(kChunkLimit, total - done));
  }
  return rooms;
}

std::vector<std::uint8_t> decode_stream(std::span<const std::uint8_t> stream, std::size_t total) {
  DecodeRun run = run_decoder(decompressor_decode, stream, chunked_rooms(total));
  for (std::size_t i = 0; i < run.calls.size(); ++i) {
    EXPECT_EQ(run.calls[i].result, 0) << "call " << i;
  }
  return run.output;
}

}  // namespace telo::testing
