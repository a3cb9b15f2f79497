#include "pack/raw_stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "codec/codec.h"
#include "pack/report.h"
#include "pack/installer_file.h"

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
bool compress_bytes(std::vector<std::uint8_t>& input, std::vector<std::uint8_t>* stream) {
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
    result = codec_compress(context, &source, &destination);
    stream->resize(destination.consumed);
  }
  decompressor_destroy(&context);
  return result == 1;
}

}  // namespace

int compress_file(const std::string& input, const std::string& output) {
  std::vector<std::uint8_t> bytes, stream;
  if (!read_input(input, &bytes)) return 1;
  if (!compress_bytes(bytes, &stream)) {
    pack_error("%s: compression failed", input.c_str());
    return 1;
  }
  return write_output(output, stream) ? 0 : 1;
}

int decompress_file(const std::string& input, const std::string& output, std::uint32_t size) {
  std::vector<std::uint8_t> stream, contents(size);
  if (!read_input(input, &stream)) return 1;
  int result = decode_stream(stream, contents);
  if (result != 0) {
    pack_error("%s: the stream does not decode (error %d)", input.c_str(), result);
    return 1;
  }
  return write_output(output, contents) ? 0 : 1;
}

}  // namespace telo
