#include "tests/support/namespace_sandbox.h"
#include "tests/support/target_program.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace telo::testing {

namespace {

namespace fs = std::filesystem;

// Folders of the sandbox mounted over the system's.
struct BindMount {
  const char* folder;
  const char* target;
};
constexpr BindMount kBindMounts[] = {
    {"sys/usr-local", "/usr/local"},
    {"sys/applications", "/usr/share/applications"},
    {"sys/root", "/root"},
    {"sys/home", "/home"},
};

struct Overlay {
  const char* folder;
  const char* target;
};
constexpr Overlay kOverlays[] = {{"ovl/usr-bin", "/usr/bin"}, {"ovl/etc", "/etc"}};

std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void make_dir(const std::string& path, mode_t mode, uid_t owner = 0) {
  fs::create_directories(path);
  if (chmod(path.c_str(), mode) != 0 || chown(path.c_str(), owner, owner) != 0)
    throw std::runtime_error("cannot prepare " + path);
}

void write_with_mode(const std::string& path, const std::string& contents, mode_t mode) {
  write_file(path, contents);
  if (chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot write " + path);
}

std::string export_line(const char* name, const std::optional<std::string>& value) {
  if (!value) return std::string("unset ") + name + "\n";
  return std::string("export ") + name + "=" + quote(*value) + "\n";
}

std::string setup_script(const HostSandbox& box, const SandboxRun& run) {
  std::ostringstream script;
  script << "set -e\nexec 9>&2 2>>" << quote(box.setup_log()) << "\n";
  for (const BindMount& mount : kBindMounts)
    script << "mount --bind " << quote(box.dir / mount.folder) << " " << mount.target << "\n";
  for (const Overlay& overlay : kOverlays) {
    std::string base = box.dir / overlay.folder;
    script << "mount -t overlay overlay -o " << quote("lowerdir=" + std::string(overlay.target) +
                                                      ",upperdir=" + base + "/upper,workdir=" +
                                                      base + "/work")
           << " " << overlay.target << "\n";
  }
  for (const std::string& command : box.setup_commands) script << command << "\n";
  script << "set +e\nexec 2>&9 9>&-\n";
  script << export_line("HOME", run.home) << export_line("PATH", run.path);
  if (run.as_user) {
    script << "exec /usr/bin/setpriv --reuid=" << kUserId << " --regid=" << kUserId
           << " --clear-groups -- \"$@\" " << run.redirections << "\n";
  } else {
    script << "exec \"$@\" " << run.redirections << "\n";
  }
  return script.str();
}

}  // namespace

HostSandbox::HostSandbox() {
  // Programs run as alice must reach the installer and the output folder.
  if (chmod(dir.path.c_str(), 0755) != 0) throw std::runtime_error("chmod sandbox");
  make_dir(dir / "sys/usr-local/bin", 0755);
  make_dir(dir / "sys/applications", 0755);
  make_dir(dir / "sys/root", 0700);
  make_dir(dir / "sys/home", 0755);
  make_dir(dir / "sys/home/alice/Desktop", 0755, kUserId);
  make_dir(dir / "sys/home/alice", 0755, kUserId);
  for (const Overlay& overlay : kOverlays) {
    make_dir(dir / (std::string(overlay.folder) + "/upper"), 0755);
    make_dir(dir / (std::string(overlay.folder) + "/work"), 0755);
  }
  make_dir(out_dir(), 0777);
  write_with_mode(out_dir() + "/calls", "", 0666);

  const std::string user = std::string(kUserName) + ":x:" + std::to_string(kUserId) + ":" +
                           std::to_string(kUserId);
  put_etc_file("passwd", read_file("/etc/passwd") + user + ":Alice:" + kUserHome + ":/bin/sh\n");
  put_etc_file("group", read_file("/etc/group") + std::string(kUserName) + ":x:" +
                            std::to_string(kUserId) + ":\n");

  set_machine(sandbox_machine());
  set_login_name("");
  put_recording_program("apt-get", "exit 100\n");
  put_recording_program("sudo",
                        "[ \"$1\" = -u ] || exit 1\n"
                        "uid=$(/usr/bin/id -u \"$2\") && gid=$(/usr/bin/id -g \"$2\") || exit 1\n"
                        "shift 2\n"
                        "exec /usr/bin/setpriv --reuid=\"$uid\" --regid=\"$gid\" --clear-groups -- \"$@\"\n");
  put_program("xterm", "#!/bin/sh\nexit 0\n");
}

void HostSandbox::put_program(const std::string& name, const std::string& script) {
  write_with_mode(dir / ("ovl/usr-bin/upper/" + name), script, 0755);
}

void HostSandbox::put_recording_program(const std::string& name, const std::string& tail) {
  put_program(name, "#!/bin/sh\necho \"$0 $*\" >> " + quote(out_dir() + "/calls") + "\n" + tail);
}

void HostSandbox::set_machine(const std::string& machine) {
  put_recording_program("uname", "echo " + quote(machine) + "\n");
  put_recording_program("arch", "echo " + quote(machine) + "\n");
}

void HostSandbox::set_login_name(const std::string& name) {
  put_recording_program("logname", name.empty() ? "exit 1\n" : "echo " + quote(name) + "\n");
}

void HostSandbox::put_etc_file(const std::string& relative, const std::string& contents) {
  std::string path = dir / ("ovl/etc/upper/" + relative);
  fs::create_directories(fs::path(path).parent_path());
  write_with_mode(path, contents, 0644);
}

void HostSandbox::add_setup(const std::string& command) { setup_commands.push_back(command); }

std::string HostSandbox::host_path(const std::string& path) const {
  const std::pair<std::string, std::string> kMap[] = {
      {"/usr/local", "sys/usr-local"}, {"/usr/share/applications", "sys/applications"},
      {"/root", "sys/root"},           {"/home", "sys/home"},
      {"/usr/bin", "ovl/usr-bin/upper"}, {"/bin", "ovl/usr-bin/upper"},
      {"/etc", "ovl/etc/upper"},
  };
  for (const auto& [prefix, folder] : kMap) {
    if (path == prefix || path.rfind(prefix + "/", 0) == 0)
      return dir / (folder + path.substr(prefix.size()));
  }
  throw std::runtime_error(path + " lies outside the sandbox");
}

std::string HostSandbox::calls() const { return read_file(out_dir() + "/calls"); }
std::string HostSandbox::out_dir() const { return dir / "out"; }
std::string HostSandbox::setup_log() const { return dir / "setup.log"; }

RunResult run_in_namespace(const HostSandbox& box, const std::string& installer,
                           const SandboxRun& run) {
  const std::string script = box.dir / "namespace.sh";
  write_file(script, setup_script(box, run));
  std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private",
                                   "--", "/bin/sh", script};
  std::vector<std::string> program = {installer};
  program.insert(program.end(), run.args.begin(), run.args.end());
  program = target_command(installer, program);
  argv.insert(argv.end(), program.begin(), program.end());
  RunOptions options;
  options.stdin_text = run.input;
  options.cwd = run.cwd;
  options.use_pty = run.use_pty;
  options.env = run.env;
  options.slow_nonblocking_stderr = run.slow_nonblocking_stderr;
  options.timeout_seconds = run.timeout_seconds;
  return run_program(argv, options);
}

}  // namespace telo::testing
