#include "tests/support/sandbox.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "tests/support/scoped_temp_dir.h"

namespace telo::testing {

namespace {

namespace fs = std::filesystem;

const std::pair<const char*, const char*> kBindMounts[] = {
    {"usr-local-bin", "/usr/local/bin"},
    {"applications", "/usr/share/applications"},
    {"root", "/root"},
    {"home", "/home"},
};

std::string recording_stand_in(const std::string& name, const std::string& log, const std::string& tail) {
  return "#!/bin/sh\necho \"" + name + " $*\" >> '" + log + "'\n" + tail;
}

// Stand-ins grouped by the folder they are laid over.
std::map<std::string, std::vector<std::pair<std::string, std::string>>> stand_ins(const SandboxOptions& box) {
  const std::string log = box.root + "/calls.log";
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> files;
  auto& bin = files["/usr/bin"];
  if (!box.machine.empty()) {
    bin.push_back({"uname", "#!/bin/sh\necho '" + box.machine + "'\n"});
    bin.push_back({"arch", "#!/bin/sh\necho '" + box.machine + "'\n"});
  }
  bin.push_back({"logname", box.login_name.empty() ? "#!/bin/sh\nexit 1\n"
                                                    : "#!/bin/sh\necho '" + box.login_name + "'\n"});
  bin.push_back({"apt-get", recording_stand_in("apt-get", log, "exit " + std::to_string(box.apt_get_status) + "\n")});
  if (box.xterm) bin.push_back({"xterm", "#!/bin/sh\nexit 0\n"});
  if (box.sudo) bin.push_back({"sudo", recording_stand_in("sudo", log, "shift 2\nexec \"$@\"\n")});
  for (const auto& [path, contents] : box.extra_files) {
    fs::path p(path);
    files[p.parent_path().string()].push_back({p.filename().string(), contents});
  }
  return files;
}

std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The script run as the namespace's first process: mounts, then exec.
std::string setup_script(const SandboxOptions& box, const std::string& layers) {
  std::ostringstream script;
  script << "set -e\n";
  for (const auto& [sub, target] : kBindMounts)
    script << "mount --bind " << quote(box.root + "/" + sub) << " " << target << "\n";
  script << "mount -t tmpfs tmpfs " << quote(layers) << "\n";
  int n = 0;
  for (const auto& [dir, files] : stand_ins(box)) {
    std::string base = layers + "/" + std::to_string(n++);
    script << "mkdir -p " << quote(base + "/upper") << " " << quote(base + "/work") << "\n";
    for (const auto& [name, contents] : files) {
      std::string file = base + "/upper/" + name;
      script << "printf '%s' " << quote(contents) << " > " << quote(file) << "\n";
      script << "chmod 755 " << quote(file) << "\n";
    }
    script << "mkdir -p " << quote(dir) << " 2>/dev/null || true\n";
    script << "mount -t overlay overlay -o lowerdir=" << dir << ",upperdir=" << base
           << "/upper,workdir=" << base << "/work " << quote(dir) << "\n";
  }
  script << "set +e\nexec \"$@\"\n";
  return script.str();
}

}  // namespace

RunResult run_in_sandbox(const std::string& installer, const std::vector<std::string>& args,
                         const SandboxOptions& box, const RunOptions& options) {
  for (const auto& [sub, target] : kBindMounts) fs::create_directories(box.root + "/" + sub);
  const std::string layers = box.root + "/.layers";
  fs::create_directories(layers);
  const std::string script = box.root + "/.sandbox.sh";
  write_file(script, setup_script(box, layers));
  std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private",
                                   "--", "/bin/sh", script, installer};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, options);
}

std::string sandbox_calls(const SandboxOptions& box) { return read_file(box.root + "/calls.log"); }

}  // namespace telo::testing
