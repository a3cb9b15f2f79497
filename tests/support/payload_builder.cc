#include "tests/support/payload_builder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <span>
#include <stdexcept>

#include "codec/codec.h"
#include "payload/crc16.h"
#include "pack/payload_writer.h"
#include "pack/stream.h"
#include "payload/header_fields.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo::testing {

namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::uint8_t> compress(const std::string& input) {
  Decompressor* context = nullptr;
  if (decompressor_create(&context) != 0) throw std::runtime_error("codec context");
  std::vector<std::uint8_t> in(input.begin(), input.end());
  std::vector<std::uint8_t> out(input.size() + input.size() / 2 + 64);
  ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), static_cast<std::uint32_t>(in.size())};
  ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(),
                         static_cast<std::uint32_t>(out.size())};
  int result = codec_compress(context, &source, &destination);
  decompressor_destroy(&context);
  if (result != 1) throw std::runtime_error("compression failed");
  out.resize(destination.consumed);
  return out;
}

// The input coded piece by piece and joined into one stream; where each
// piece starts goes to `points`.
std::vector<std::uint8_t> compress_in_pieces(const std::string& input, std::uint32_t piece_size,
                                             std::vector<PiecePoint>* points) {
  Decompressor* context = nullptr;
  if (decompressor_create(&context) != 0) throw std::runtime_error("codec context");
  const std::span<const std::uint8_t> all = bytes_of(input);
  std::vector<std::uint8_t> out;
  StreamJoiner joiner;
  std::uint64_t bits = 0;
  for (std::size_t at = 0; at < all.size(); at += piece_size) {
    CompressedPiece piece;
    compress_piece(context, CompressionLevel::kFast, all.subspan(at, std::min<std::size_t>(piece_size, all.size() - at)),
                   &piece);
    if (!piece.fits) throw std::runtime_error("a piece that does not shrink");
    points->push_back({bits, static_cast<std::uint32_t>(at)});
    join_piece(&joiner, piece, &out);
    bits += piece.bit_count;
  }
  finish_stream(&joiner, &out);
  decompressor_destroy(&context);
  return out;
}

}  // namespace

std::vector<std::uint8_t> BuiltPayload::bytes() const {
  const auto* first = reinterpret_cast<const std::uint8_t*>(&header);
  std::vector<std::uint8_t> all(first, first + sizeof header);
  all.resize(sizeof header + records.size());
  std::copy(records.begin(), records.end(), all.begin() + sizeof header);
  return all;
}

BuiltPayload build_payload(const std::vector<TestFile>& files, const PayloadTexts& texts) {
  BuiltPayload payload;
  payload.header = new_payload_header();
  set_header_text(payload.header.product_name, texts.product_name);
  set_header_text(payload.header.version, texts.version);
  set_header_text(payload.header.description, texts.description);
  set_header_text(payload.header.hardware_family, texts.hardware_family);
  set_header_text(payload.header.java_runtime, texts.java_runtime);
  payload.header.build_time = texts.build_time;
  for (const TestFile& file : files) {
    FileRecord record;
    record.method = file.method;
    record.target_slot = file.slot;
    record.record_offset = static_cast<std::uint32_t>(payload.records.size());
    std::vector<std::uint8_t> stored;
    if (file.zeros != 0) {
      record.mtime = file.mtime;
      record.mode = file.mode;
      record.method = METHOD_COMPRESSED;
      record.size = file.zeros;
      record.data_crc = 0;  // the CRC of zeros alone
      stored = compress("");
      record.stored_size = static_cast<std::uint32_t>(stored.size());
      record.stored_crc = crc16(stored);
    } else if (file.method != METHOD_REMOVE) {
      record.mtime = file.mtime;
      record.mode = file.mode;
      record.size = static_cast<std::uint32_t>(file.contents.size());
      record.data_crc = crc16(bytes_of(file.contents));
      RecordPieces cut{static_cast<std::uint32_t>(payload.record_starts.size()), {}};
      if (file.method == METHOD_STORED)
        stored.assign(file.contents.begin(), file.contents.end());
      else if (file.piece_size != 0 && !file.contents.empty())
        stored = compress_in_pieces(file.contents, file.piece_size, &cut.pieces);
      else
        stored = compress(file.contents);
      if (cut.pieces.size() >= 2) payload.pieces.push_back(cut);
      record.stored_size = static_cast<std::uint32_t>(stored.size());
      record.stored_crc = crc16(stored);
    }
    std::vector<std::uint8_t> header = make_record_header(record, file.path);
    record.header_length = static_cast<std::uint32_t>(header.size());
    count_record(payload.header, record);
    payload.record_starts.push_back(payload.records.size());
    payload.records.insert(payload.records.end(), header.begin(), header.end());
    payload.records.insert(payload.records.end(), stored.begin(), stored.end());
  }
  seal_payload_header(payload.header);
  return payload;
}

void reseal(BuiltPayload& payload) { seal_payload_header(payload.header); }

std::uint64_t installer_image_size() {
  struct stat info {};
  if (::stat(TELO_INSTALLER_PATH, &info) != 0) throw std::runtime_error("no installer binary");
  return static_cast<std::uint64_t>(info.st_size);
}

void write_installer(const std::string& path, const std::vector<std::uint8_t>& payload,
                     std::uint64_t payload_offset) {
  std::string image = read_file(TELO_INSTALLER_PATH);
  if (payload_offset == 0) payload_offset = payload_offset_after(image.size());
  if (payload_offset < image.size()) throw std::runtime_error("payload offset inside the image");
  image.resize(payload_offset, '\0');
  image.append(reinterpret_cast<const char*>(payload.data()), payload.size());
  write_file(path, image);
  ::chmod(path.c_str(), 0755);
}

}  // namespace telo::testing
