#pragma once

// The one gate for checks on untrusted stream content.

#include "codec/context.h"

namespace telo {

// Records CODEC_ERR_BAD_TABLE when `bad` holds; the decode call then stops
// producing output and the stream ends in DECODE_FAILED. Returns `bad`.
inline bool stream_rejects(Decompressor& context, bool bad) {
  if (bad) context.error_code = CODEC_ERR_BAD_TABLE;
  return bad;
}

}  // namespace telo
