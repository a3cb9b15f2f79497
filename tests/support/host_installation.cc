#include "tests/support/host_installation.h"

#include <cstdlib>
#include <sstream>

#include "tests/support/host_texts.h"

namespace telo::testing {

std::string make_recording_installer(const HostSandbox& box, const std::vector<TestFile>& extra,
                                     const PayloadTexts& texts) {
  std::string marker = box.out_dir() + "/marker";
  std::vector<TestFile> files = {
      {"telolnx",
       "#!/bin/sh\n{ echo \"uid=$(/usr/bin/id -u)\"; echo \"ppid=$PPID\"; echo \"cwd=$(pwd)\";\n"
       "  for a; do echo \"arg=$a\"; done;\n"
       "  while read -r key value; do case $key in SigIgn:) echo \"sigign=$value\";;\n"
       "    SigBlk:) echo \"sigblk=$value\";; esac; done < /proc/$$/status; } > '" + marker + "'\nexit 7\n",
       METHOD_STORED, 1683000000, 0100755},
      {"program/telo20.png", "not really a picture", METHOD_STORED, 1683000000, 0100644},
  };
  files.insert(files.end(), extra.begin(), extra.end());
  std::string installer = box.dir / "telo-installer";
  write_installer(installer, build_payload(files, texts).bytes());
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
    else if (key == "sigign") run.ignored_signals = std::strtoull(value.c_str(), nullptr, 16);
    else if (key == "sigblk") run.blocked_signals = std::strtoull(value.c_str(), nullptr, 16);
  }
  return run;
}

std::string prompt_text(const char* question, const char* choices) {
  std::string text = "\n";
  if (question != nullptr) text += std::string(question) + " ";
  return text + "[" + choices + "]: ";
}

std::string text_after_files_installed(const std::string& stderr_text, bool interactive) {
  std::string screen = kFilesInstalled;
  if (interactive) screen += prompt_text(nullptr, "Back? Next? Cancel?");
  std::string::size_type at = stderr_text.rfind(screen);
  if (at == std::string::npos) return "";
  return stderr_text.substr(at + screen.size());
}

std::string text_before_files_installed(const std::string& stderr_text) {
  std::string::size_type end = stderr_text.rfind(kFilesInstalled);
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

std::string stub_problems(const std::string& stub) {
  std::string problems;
  RunResult syntax = run_program({"/bin/sh", "-n", stub});
  if (syntax.exit_status != 0) problems += "sh -n: " + syntax.stderr_text;
  RunResult lint = run_program({"/usr/bin/shellcheck", "--severity=error", stub});
  if (lint.exit_status != 0) problems += "shellcheck: " + lint.stdout_text + lint.stderr_text;
  return problems;
}

std::string desktop_entry_problems(const std::string& entry) {
  RunResult check = run_program({"/usr/bin/desktop-file-validate", entry});
  std::string report = check.stdout_text + check.stderr_text;
  if (check.exit_status != 0 || report.find("error:") != std::string::npos) return report;
  return "";
}

std::string default_acl(const std::string& directory) {
  RunResult listing = run_program({"/usr/bin/getfacl", "--omit-header", "--absolute-names", directory});
  std::istringstream lines(listing.stdout_text);
  std::string line, defaults;
  while (std::getline(lines, line))
    if (line.rfind("default:", 0) == 0) defaults += line + "\n";
  return defaults;
}

}  // namespace telo::testing
