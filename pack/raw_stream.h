#pragma once

// One raw stream of the payload codec in a file, without any record around
// it: for tests, and for anyone who needs the format.

#include <cstdint>
#include <string>

#include "codec/codec.h"

namespace telo {

// Codes the whole of `input` (less than 4 GiB) as one stream into `output`.
// Returns 0, or 1 after reporting the failure on standard error.
int compress_file(const std::string& input, const std::string& output,
                  CompressionLevel level = CompressionLevel::kReference);

// Decodes `size` bytes from the stream in `input` into `output`, in the
// installer's pieces of 8192 bytes. Returns 0, or 1 after reporting.
int decompress_file(const std::string& input, const std::string& output, std::uint32_t size);

}  // namespace telo
