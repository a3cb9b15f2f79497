#include "pack/raw_stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "codec/codec.h"
#include "pack/report.h"
#include "payload/record_reader.h"

namespace telo {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

bool read_input(const std::string& path, std::vector<std::uint8_t>* bytes) {
  FileHandle file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    pack_error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  std::uint8_t buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    bytes->insert(bytes->end(), buffer, buffer + n);
    if (bytes->size() > std::numeric_limits<std::uint32_t>::max()) {
      pack_error("%s: a stream holds less than 4 GiB", path.c_str());
      return false;
    }
  }
  if (std::ferror(file.get())) {
    pack_error("%s: read error", path.c_str());
    return false;
  }
  return true;
}

bool write_output(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  FileHandle file(std::fopen(path.c_str(), "wb"));
  bool ok = file && (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size());
  ok = file && std::fclose(file.release()) == 0 && ok;
  if (!ok) pack_error("%s: %s", path.c_str(), std::strerror(errno));
  return ok;
}

// Codes `input` into `stream`, giving more room until the stream fits.
bool compress_bytes(std::vector<std::uint8_t>& input, CompressionLevel level, std::vector<std::uint8_t>* stream) {
  Decompressor* context = nullptr;
  if (decompressor_create(&context) != 0) return false;
  std::size_t room = input.size() + input.size() / 8 + 1024;
  int result = 0;
  for (int attempt = 0; attempt < 4 && result == 0; ++attempt, room *= 2) {
    stream->resize(room);
    ByteWindow source{input.data(), input.data() + input.size(), 0, input.data(),
                      static_cast<std::uint32_t>(input.size())};
    ByteWindow destination{stream->data(), stream->data() + room, 0, stream->data(),
                           static_cast<std::uint32_t>(std::min<std::size_t>(room, UINT32_MAX))};
    result = codec_compress_level(context, level, &source, &destination);
    stream->resize(destination.consumed);
  }
  decompressor_destroy(&context);
  return result == 1;
}

// Decodes `size` bytes of `stream` into `out`, a piece at a time, so that
// a stream claiming gigabytes is never held whole. False after reporting a
// stream that does not decode or that is cut short.
bool decode_into(const std::string& input, std::span<const std::uint8_t> stream, std::uint32_t size,
                 std::FILE* out) {
  Decompressor* context = nullptr;
  if (decompressor_create(&context) != 0) {
    pack_error("%s: not enough memory for the decoder", input.c_str());
    return false;
  }
  StreamDecoding decoding;
  start_stream_decoding(&decoding, context, stream, size);
  std::vector<std::uint8_t> piece(kChunkLimit);
  int result = 0;
  bool written = true;
  while (result == 0 && written && next_call_size(decoding) != 0) {
    const std::uint32_t n = next_call_size(decoding);
    result = decode_next_call(&decoding, piece.data());
    written = std::fwrite(piece.data(), 1, n, out) == n;
  }
  const std::uint64_t used = decompressor_bits_used(context, &decoding.source);
  decompressor_destroy(&context);
  if (result != 0) {
    pack_error("%s: the stream does not decode (error %d)", input.c_str(), result);
    return false;
  }
  // Past its end a stream reads as zero bits, which decode to something:
  // symbols that needed those bits mean the stream was cut short.
  if (used > std::uint64_t{stream.size()} * 8) {
    pack_error("%s: the stream ends before %u bytes are decoded (its symbols need %llu bits, it holds %llu)",
               input.c_str(), size, static_cast<unsigned long long>(used),
               static_cast<unsigned long long>(stream.size() * 8));
    return false;
  }
  if (!written) pack_error("%s: %s", input.c_str(), std::strerror(errno));
  return written;
}

}  // namespace

int compress_file(const std::string& input, const std::string& output, CompressionLevel level) {
  try {
    std::vector<std::uint8_t> bytes, stream;
    if (!read_input(input, &bytes)) return 1;
    if (!compress_bytes(bytes, level, &stream)) {
      pack_error("%s: compression failed", input.c_str());
      return 1;
    }
    return write_output(output, stream) ? 0 : 1;
  } catch (const std::bad_alloc&) {
    pack_error("%s: not enough memory to compress it", input.c_str());
    return 1;
  }
}

int decompress_file(const std::string& input, const std::string& output, std::uint32_t size) {
  try {
    std::vector<std::uint8_t> stream;
    if (!read_input(input, &stream)) return 1;
    FileHandle out(std::fopen(output.c_str(), "wb"));
    if (!out) {
      pack_error("%s: %s", output.c_str(), std::strerror(errno));
      return 1;
    }
    bool ok = decode_into(input, stream, size, out.get());
    if (std::fclose(out.release()) != 0 && ok) {
      pack_error("%s: %s", output.c_str(), std::strerror(errno));
      ok = false;
    }
    if (!ok) (void)std::remove(output.c_str());  // no half output is left to mistake for a whole one
    return ok ? 0 : 1;
  } catch (const std::bad_alloc&) {
    pack_error("%s: not enough memory to decode it", input.c_str());
    (void)std::remove(output.c_str());
    return 1;
  }
}

}  // namespace telo
