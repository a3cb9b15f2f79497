#pragma once

namespace telo {

// Redraws the in-place progress line on standard error; a null text erases it.
void show_progress(const char* text, int files_percent, int bytes_percent);

}  // namespace telo
