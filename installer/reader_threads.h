#pragma once

// How many threads read the payload ahead of the one that writes it.

namespace telo {

// One per processor (up to kMostReaders), a given number (up to
// kMostReaders), or 0: the writer reads each record in turn itself.
inline constexpr int kReadersPerProcessor = -1;
inline constexpr unsigned kMostReaders = 4;

// Parses a count as a user gives it (TELO_READER_THREADS): a number from 0
// to kMostReaders; kReadersPerProcessor for anything else, or none.
int reader_threads_from(const char* text);

}  // namespace telo
