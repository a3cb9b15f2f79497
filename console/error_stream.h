#pragma once

// Standard error, where the installer says everything. A slow reader (a
// non-blocking descriptor answering EAGAIN) is waited for and interrupted
// writes are retried; a write that fails otherwise (a full disk under
// `2>log`) loses only that text. Only a reader that is gone (EPIPE) counts as
// lost output, which the next prompt answers with Cancel.

#include <cstddef>

namespace telo {

// Formats as printf does and writes the text whole; the number of bytes
// written, or -1 when the text could not be written.
[[gnu::format(printf, 1, 2)]] int say(const char* format, ...);

// Writes `length` bytes as say does.
int say_bytes(const char* bytes, std::size_t length);

// True once standard error's reader is gone.
bool output_lost();

}  // namespace telo
