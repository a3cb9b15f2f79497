#pragma once

// The plain decoder: the stream format decoded the simple way, a 16-bit bit
// buffer refilled one byte at a time, tables with overflow trees and a byte
// by byte match copy. The installer uses the fast decoder
// (decompressor_decode); this one is its yardstick in tests and fuzzing, and
// both must agree on every call: the bytes produced, the destination's pos,
// the source's pos and consumed, and the result.

#include "codec/codec.h"

namespace telo {

// Same contract as decompressor_decode, on a context from decompressor_create.
int reference_decode(Decompressor* context, ByteWindow* source, ByteWindow* destination);

}  // namespace telo
