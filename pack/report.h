#pragma once

// Diagnostics of the packer and its inspection commands, on standard error:
// "telo-pack: error: ..." and "telo-pack: warning: ...".

namespace telo {

void pack_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void pack_warning(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace telo
