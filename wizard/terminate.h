#pragma once

#include <cstdio>

namespace telo {

// The program's own file, read for the payload; null until start-up opens it.
extern std::FILE* payload_file;

// When set, called once by exit_installer before anything is closed: a step
// that reads the payload on a helper thread stops that thread here.
extern void (*before_exit)();

// Prints the message (if any) and the closing line, then exits with status 1.
[[noreturn]] void error(const char* message);

// Prints "message - strerror(errnum) detail", the closing line, exits with status 1.
[[noreturn]] void terminate_with_errno(const char* message, const char* detail, int errnum);

// Closes payload_file and exits with `status` (0 for completion and quit).
[[noreturn]] void exit_installer(int status = 0);

}  // namespace telo
