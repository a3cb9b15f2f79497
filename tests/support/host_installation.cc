#include "tests/support/host_installation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace telo::testing {

namespace {

namespace fs = std::filesystem;

constexpr const char* kFilesInstalledScreen =
    "\n\nFiles installed!   See files:\n\n"
    "TELOINS.TXT \tUp-to-the-minute installation\n\t\tinstructions and software overview.\n"
    "TELODST.TXT \tDescribes the various files installed.\n"
    "TELORLS.TXT \tUp-to-the-minute release notes.\n"
    "PCITIPS.TXT \tPC configuration tips.\n\n"
    "TELO.HTM    \tThe full TELO Reference Manual.\n";

void own(const fs::path& path, unsigned owner) {
  if (chown(path.c_str(), owner, owner) != 0) throw std::runtime_error("chown " + path.string());
}

void seed_installation(const std::string& root, const std::vector<TestFile>& files, unsigned owner) {
  fs::create_directories(root);
  own(root, owner);
  for (const TestFile& file : files) {
    fs::path path = fs::path(root) / file.path;
    for (fs::path dir = path.parent_path(); dir.string().size() > root.size(); dir = dir.parent_path()) {
      fs::create_directories(dir);
      own(dir, owner);
    }
    write_file(path.string(), file.contents);
    chmod(path.c_str(), file.mode & 07777);
    own(path, owner);
  }
}

}  // namespace

std::string make_recording_installer(const HostSandbox& box, const std::string& install_dir,
                                     const std::vector<TestFile>& extra, const PayloadTexts& texts,
                                     unsigned owner) {
  std::string marker = box.out_dir() + "/marker";
  std::vector<TestFile> files = {
      {"telolnx",
       "#!/bin/sh\n{ echo \"uid=$(/usr/bin/id -u)\"; echo \"ppid=$PPID\"; echo \"cwd=$(pwd)\";\n"
       "  for a; do echo \"arg=$a\"; done; } > '" + marker + "'\nexit 7\n",
       METHOD_STORED, 1683000000, 0100755},
      {"program/telo20.png", "not really a picture", METHOD_STORED, 1683000000, 0100644},
  };
  files.insert(files.end(), extra.begin(), extra.end());
  std::string installer = box.dir / "telo-installer";
  write_installer(installer, build_payload(files, texts).bytes());
  if (!install_dir.empty()) seed_installation(box.host_path(install_dir), files, owner);
  return installer;
}

ApplicationRun read_application_run(const HostSandbox& box) {
  ApplicationRun run;
  std::istringstream lines(read_file(box.out_dir() + "/marker"));
  std::string line;
  while (std::getline(lines, line)) {
    run.ran = true;
    std::string::size_type equals = line.find('=');
    std::string key = line.substr(0, equals);
    std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
    if (key == "uid") run.uid = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
    else if (key == "ppid") run.parent_pid = std::strtol(value.c_str(), nullptr, 10);
    else if (key == "cwd") run.cwd = value;
    else if (key == "arg") run.args.push_back(value);
  }
  return run;
}

std::string prompt_text(const char* question, const char* choices) {
  std::string text = "\n";
  if (question != nullptr) text += std::string(question) + " ";
  return text + "[" + choices + "]: ";
}

std::string text_after_files_installed(const std::string& stderr_text, bool interactive) {
  std::string screen = kFilesInstalledScreen;
  if (interactive) screen += prompt_text(nullptr, "Back? Next? Cancel?");
  std::string::size_type at = stderr_text.rfind(screen);
  if (at == std::string::npos) return "";
  return stderr_text.substr(at + screen.size());
}

std::string text_before_files_installed(const std::string& stderr_text) {
  std::string::size_type end = stderr_text.rfind(kFilesInstalledScreen);
  if (end == std::string::npos) end = stderr_text.size();
  std::string::size_type start = 0;
  const std::string banner = "\n\n.... Installing files ....\n\n";
  const std::string offer = "\n\nDefault directory: ";
  if (std::string::size_type at = stderr_text.rfind(banner, end); at != std::string::npos) {
    start = at + banner.size();
    // Extraction ends by erasing its progress line; nothing later prints a backspace.
    std::string::size_type erased = stderr_text.rfind('\b', end);
    if (erased != std::string::npos && erased >= start) start = erased + 1;
  } else if (std::string::size_type offered = stderr_text.rfind(offer, end);
             offered != std::string::npos) {
    start = stderr_text.find('\n', offered + offer.size()) + 1;
    const std::string prompt = prompt_text("Use the default directory?", "No? Yes? Cancel?");
    if (stderr_text.compare(start, prompt.size(), prompt) == 0) start += prompt.size();
  }
  return stderr_text.substr(start, end - start);
}

}  // namespace telo::testing
