#include "pack/output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "pack/report.h"

namespace telo {

namespace {

// The temporary file that an interrupt must remove; one build per process.
char interrupted_temp_path[4096];
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_temp_and_die(int signal_number) {
  if (interrupted_temp_path[0] != '\0') ::unlink(interrupted_temp_path);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void arm_cleanup(const std::string& temp_path) {
  if (temp_path.size() >= sizeof interrupted_temp_path) return;
  std::memcpy(interrupted_temp_path, temp_path.c_str(), temp_path.size() + 1);
  for (int signal_number : kCleanupSignals) ::signal(signal_number, remove_temp_and_die);
}

void disarm_cleanup() {
  for (int signal_number : kCleanupSignals) ::signal(signal_number, SIG_DFL);
  interrupted_temp_path[0] = '\0';
}

std::string temp_name_beside(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return dir + "." + base + ".partial-XXXXXX";
}

}  // namespace

PackOutput::~PackOutput() {
  if (fd >= 0) ::close(fd);
  if (!committed && !temp_path.empty()) {
    ::unlink(temp_path.c_str());
    disarm_cleanup();
  }
}

bool open_pack_output(const std::string& path, PackOutput* output) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    pack_error("%s: is a directory", path.c_str());
    return false;
  }
  std::string name = temp_name_beside(path);
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  // An interrupt between creating the file and arming its removal would
  // leave it behind: the signals wait until both are done.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int signal_number : kCleanupSignals) sigaddset(&blocked, signal_number);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
  const int create_errno = errno;
  if (fd >= 0) {
    output->path = path;
    output->temp_path = buffer.data();
    output->fd = fd;
    arm_cleanup(output->temp_path);
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (fd < 0) {
    pack_error("%s: cannot create a temporary file beside it: %s", path.c_str(), std::strerror(create_errno));
    return false;
  }
  return true;
}

bool write_pack_output(PackOutput* output, std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pwrite(output->fd, data.data() + done, data.size() - done,
                         static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      pack_error("%s: %s", output->temp_path.c_str(), n < 0 ? std::strerror(errno) : "short write");
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool commit_pack_output(PackOutput* output, std::uint64_t length) {
  const char* temp = output->temp_path.c_str();
  if (::ftruncate(output->fd, static_cast<off_t>(length)) != 0 || ::fchmod(output->fd, static_cast<mode_t>(output->mode)) != 0 ||
      ::fsync(output->fd) != 0) {
    pack_error("%s: %s", temp, std::strerror(errno));
    return false;
  }
  int fd = output->fd;
  output->fd = -1;
  if (::close(fd) != 0) {
    pack_error("%s: %s", temp, std::strerror(errno));
    return false;
  }
  if (::rename(temp, output->path.c_str()) != 0) {
    pack_error("%s: cannot rename %s into place: %s", output->path.c_str(), temp, std::strerror(errno));
    return false;
  }
  output->committed = true;
  disarm_cleanup();
  return true;
}

}  // namespace telo
