#include "console/directory_dialog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console/error_stream.h"
#include "console/prompt.h"

namespace telo {

namespace {

constexpr std::size_t kMaxTypedLength = 4094;     // characters kept from a typed line
constexpr std::size_t kMaxJoinedLength = 4093;    // working directory + relative answer
constexpr std::size_t kWorkingDirectoryRoom = 4095;
constexpr double kBytesPerMebibyte = 1024.0 * 1024.0;

struct Candidate {
  char path[kDialogPathSize] = {};
  bool too_long = false;
};

enum class Verdict { kGoOn, kStartOver, kCancel };

// Reads one line into the candidate, keeping its first 4094 characters.
// False when the input ends before the line does: the user is gone, so
// the dialog is cancelled rather than acting on half a path.
bool read_directory_line(Candidate* candidate) {
  if (output_lost()) return false;
  std::size_t length = 0;
  for (;;) {
    int c = read_input_char();
    if (c < 0) return false;
    if (c == '\n') break;
    if (length < kMaxTypedLength)
      candidate->path[length++] = static_cast<char>(c);
    else
      candidate->too_long = true;
  }
  candidate->path[length] = '\0';
  return true;
}

void print_dialog_header(const DirectoryRequest& request) {
  say("\n\nPlease select a directory for installation of\n");
  say("    %s  %s\n", request.product_name, request.version);
  say("requiring approximately %.3f MiByte of space.\n",
      request.required_bytes / kBytesPerMebibyte);
}

bool ends_with_slash(const char* text) {
  std::size_t length = std::strlen(text);
  return length > 0 && text[length - 1] == '/';
}

// Something that is not a directory stands at `path` (links followed).
bool exists_as_non_directory(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

Verdict refuse(const char* reason) {
  say("%s", reason);
  return ask_ok_cancel("Select a different directory!", 0) == RESULT_CANCEL ? Verdict::kCancel
                                                                             : Verdict::kStartOver;
}

Verdict warn(const char* reason) {
  say("%s", reason);
  switch (ask_yes_no_cancel("Select a different directory?", 0)) {
    case RESULT_CANCEL: return Verdict::kCancel;
    case RESULT_YES: return Verdict::kStartOver;
    default: return Verdict::kGoOn;
  }
}

constexpr const char* kTooLong = "\n\nDirectory path is too long.\n";

// A relative answer is taken from the working directory. When that cannot
// be learned the answer stays relative and the later checks see it as typed.
Verdict make_absolute(Candidate* candidate) {
  char cwd[kDialogPathSize];
  if (::getcwd(cwd, kWorkingDirectoryRoom) == nullptr || cwd[0] == '\0') return Verdict::kGoOn;
  std::size_t cwd_length = std::strlen(cwd);
  std::size_t typed_length = std::strlen(candidate->path);
  if (cwd_length + typed_length > kMaxJoinedLength) return refuse(kTooLong);
  // The length check above keeps the joined path within the buffer.
  const char* separator = ends_with_slash(cwd) ? "" : "/";
  std::size_t separator_length = std::strlen(separator);
  std::memmove(candidate->path + cwd_length + separator_length, candidate->path, typed_length + 1);
  std::memcpy(candidate->path, cwd, cwd_length);
  std::memcpy(candidate->path + cwd_length, separator, separator_length);
  return Verdict::kGoOn;
}

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The checks in their fixed order; each either refuses, warns or passes.
Verdict check_candidate(Candidate* candidate) {
  const char* path = candidate->path;
  if (std::strpbrk(path, " \t") != nullptr)
    return refuse("\n\nInstallation into a directory path containing spaces is not recommended.\n");
  if (path[0] != '/') {
    if (Verdict v = make_absolute(candidate); v != Verdict::kGoOn) return v;
  }
  if (candidate->too_long) return refuse(kTooLong);
  if (std::strcmp(path, "/") == 0 || std::strcmp(path, "/.") == 0 || std::strcmp(path, "/..") == 0) {
    if (Verdict v = warn("\n\nInstallation into the root directory is not recommended.\n");
        v != Verdict::kGoOn)
      return v;
  }
  if (exists_as_non_directory(path)) return refuse("\n\nThe directory already exists as a file.\n");
  if (std::strstr(path, "/bin/") != nullptr) {
    if (Verdict v = warn("\n\nInstalling into a 'bin' directory is not recommended.\n"); v != Verdict::kGoOn)
      return v;
  }
  if (!starts_with(path, "/usr/") && !starts_with(path, "/home/")) {
    return warn(
        "\n\nInstalling anywhere other than under '/usr' or '/home' directories is not "
        "recommended.\n");
  }
  return Verdict::kGoOn;
}

// The first pass offers slot 0. False when the user declined it (type one).
// Sets *outcome to RESULT_CANCEL when the user cancelled.
bool offer_default(const char* directory, Candidate* candidate, int* outcome) {
  std::memcpy(candidate->path, directory, kDialogPathSize);
  candidate->path[kDialogPathSize - 1] = '\0';
  say("\n\nDefault directory: %s.\n", candidate->path);
  *outcome = ask_yes_no_cancel("Use the default directory?", RESULT_YES);
  return *outcome == RESULT_YES;
}

}  // namespace

int select_install_directory(const DirectoryRequest& request, char (&directory)[kDialogPathSize]) {
  for (int pass = 0;; ++pass) {
    print_dialog_header(request);
    Candidate candidate;
    bool chosen = false;
    if (pass == 0 && directory[0] != '\0') {
      int outcome = 0;
      chosen = offer_default(directory, &candidate, &outcome);
      if (outcome == RESULT_CANCEL) return RESULT_CANCEL;
    }
    if (!chosen) {
      say("\n\nEnter directory >");
      if (!read_directory_line(&candidate)) return RESULT_CANCEL;
      if (candidate.path[0] == '\0') {
        say("\n\nA directory must be selected.\n");
        if (ask_ok_cancel("Select a directory?", 0) == RESULT_CANCEL) return RESULT_CANCEL;
        continue;
      }
    }
    switch (check_candidate(&candidate)) {
      case Verdict::kCancel: return RESULT_CANCEL;
      case Verdict::kStartOver: continue;
      case Verdict::kGoOn:
        std::memcpy(directory, candidate.path, kDialogPathSize);
        return RESULT_NEXT;
    }
  }
}

}  // namespace telo
