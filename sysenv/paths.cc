#include "sysenv/paths.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>


namespace telo {

namespace {

constexpr const char* kPreviousStubPath = "/usr/local/bin/telo";
constexpr int kStubLineCapacity = 5119;  // longer lines are read in pieces of 5118
constexpr std::size_t kMinDirectoryLength = 2;
constexpr std::size_t kMaxDirectoryLength = kPathBufferSize - 1;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool ends_token(char c) { return c == '\0' || c == ' ' || c == '\t' || c == '\n'; }

// The installation directory named by a stub line's "exec DIR/telolnx ..." word,
// copied into `directory`; false when the line names none.
bool parse_exec_line(const char* line, char (&directory)[kPathBufferSize]) {
  const char* exec = std::strstr(line, "exec ");
  if (exec == nullptr) return false;
  const char* start = exec + 4;
  while (is_blank(*start)) ++start;
  std::size_t length = 0;
  while (!ends_token(start[length])) ++length;

  static constexpr char kProgram[] = "/telolnx";
  static constexpr std::size_t kProgramLength = sizeof kProgram - 1;
  const char* found = nullptr;
  for (std::size_t i = 0; i + kProgramLength <= length && found == nullptr; ++i) {
    if (std::memcmp(start + i, kProgram, kProgramLength) == 0) found = start + i;
  }
  if (found != nullptr && found + kProgramLength == start + length) length -= kProgramLength;

  if (length < kMinDirectoryLength || length > kMaxDirectoryLength || start[0] != '/') return false;
  std::memcpy(directory, start, length);
  directory[length] = '\0';
  return true;
}

}  // namespace

char* concat_strings(int count, ...) {
  std::size_t total = 0;
  std::va_list args;
  va_start(args, count);
  for (int i = 0; i < count; ++i) {
    if (const char* text = va_arg(args, const char*)) total += std::strlen(text);
  }
  va_end(args);

  auto* joined = static_cast<char*>(std::malloc(total + 1));
  if (joined == nullptr) return nullptr;
  char* end = joined;
  va_start(args, count);
  for (int i = 0; i < count; ++i) {
    // A null argument is skipped, not the end of the list.
    if (const char* text = va_arg(args, const char*)) {
      std::size_t length = std::strlen(text);
      std::memcpy(end, text, length);
      end += length;
    }
  }
  va_end(args);
  *end = '\0';
  return joined;
}

int is_directory(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return -1;
  return S_ISDIR(info.st_mode) ? 1 : 0;
}

int ends_with_slash(const char* text) {
  std::size_t length = std::strlen(text);
  return length > 0 && text[length - 1] == '/' ? 1 : 0;
}

const char* find_in_path(const char* directory) {
  const char* value = std::getenv("PATH");
  if (value == nullptr || value[0] == '\0' || directory[0] == '\0') return nullptr;
  std::size_t length = std::strlen(directory);
  for (const char* hit = std::strstr(value, directory); hit != nullptr;
       hit = std::strstr(hit + 1, directory)) {
    bool starts_element = hit == value || hit[-1] == ':';
    bool ends_element = hit[length] == '\0' || hit[length] == ':';
    if (starts_element && ends_element) return directory;
    if (hit[1] == '\0') break;
  }
  return nullptr;
}

int read_previous_install_dir_from(const char* stub_file, char (&directory)[kPathBufferSize]) {
  UniqueFile stub(std::fopen(stub_file, "r"));
  if (!stub) return 0;
  char line[kStubLineCapacity];
  char found_directory[kPathBufferSize];
  int found = 0;
  // fgets hands a longer line over in pieces; each is searched like a line of its own.
  while (std::fgets(line, sizeof line, stub.get()) != nullptr) {
    if (!parse_exec_line(line, found_directory)) continue;
    std::memcpy(directory, found_directory, sizeof directory);  // the last accepted line wins
    found = 1;
  }
  return found;
}

int read_previous_install_dir(char (&directory)[kPathBufferSize]) {
  return read_previous_install_dir_from(kPreviousStubPath, directory);
}

}  // namespace telo
