// Whole-program installation against its peers, in the same run.
//
// Builds an installer with telo-pack from the benchmark corpus (app/ in slot
// 0, jre/ in slot 1; made with shared/bench/make_corpus.sh when missing), a
// tar archive of the same tree with gzip -6, and then times, each into a
// fresh directory on the same file system:
//   telo-installer   typed answers, cancelled at the first question after extraction
//   telo-pack extract  the same installer, without the wizard
//   tar -xzf         the archive
//   cp -a            the tree itself
// Every input is read once beforehand, so all three read from the page cache.
// Peak memory of the installer (its own ru_maxrss) is set against the bound
// the extraction promises: the largest record's stored_size + size + 4 MiB.
// With --arch NAME (repeatable) the same payload is also packed in front of
// that architecture's installer (telo-pack build --arch) and timed in the
// same rounds: the other x86 builds run here as they are (i386: libc6-i386).
//
//   bench/install_bench.sh [CORPUS]          (configures, builds and runs)
//   build/bench/install_bench [CORPUS] [--rounds N] [--work DIR] [--pack TELO_PACK] [--arch NAME]...

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "payload/format.h"

namespace telo {
namespace {

namespace fs = std::filesystem;

struct ChildRun {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system, the child's waited-for children included
  long max_rss_kib = 0;
  int exit_status = -1;
};

// Runs argv with `input` on standard input and standard error into
// `error_file` (or /dev/null); times it from fork to reaping.
ChildRun run_child(const std::vector<std::string>& argv, const std::string& input = "",
                   const std::string& error_file = "/dev/null") {
  int in[2];
  if (::pipe(in) != 0) std::exit(3);
  auto start = std::chrono::steady_clock::now();
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(in[0], 0);
    ::close(in[0]);
    ::close(in[1]);
    int quiet = ::open("/dev/null", O_WRONLY);
    int err = ::open(error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(quiet, 1);
    ::dup2(err, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    _exit(127);
  }
  ::close(in[0]);
  // The answers are a few bytes: they fit the pipe at once.
  if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) std::perror("write");
  ::close(in[1]);
  int status = 0;
  struct rusage usage {};
  ::wait4(child, &status, 0, &usage);
  ChildRun run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.max_rss_kib = usage.ru_maxrss;
  auto seconds_of = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  run.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

ChildRun run_shell(const std::string& command) { return run_child({"/bin/sh", "-c", command}); }

std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "install_bench: %s\n", message.c_str());
  std::exit(1);
}

struct TreeSize {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};

TreeSize tree_size(const fs::path& root) {
  TreeSize size;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    size.files += 1;
    size.bytes += entry.file_size();
  }
  return size;
}

// Reads every file once so that no contender pays for the disk.
void warm_page_cache(const fs::path& path) {
  run_shell("find " + quote(path.string()) + " -type f -exec cat {} + > /dev/null 2>&1");
}

struct PayloadFacts {
  std::uint32_t records = 0;
  std::uint64_t stored_bytes = 0;
  std::uint64_t largest_record = 0;  // stored_size + size of the largest record
};

// Walks the records of an installer's payload: the first block at a multiple
// of 1024 that starts with the marker, then one record after another.
PayloadFacts read_payload_facts(const std::string& installer) {
  std::ifstream in(installer, std::ios::binary);
  char marker[kMarkerLength + 1];
  make_payload_marker(marker);
  PayloadHeader header{};
  for (std::uint64_t offset = kPayloadAlignment;; offset += kPayloadAlignment) {
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in.read(reinterpret_cast<char*>(&header), sizeof header)) fail("no payload in " + installer);
    if (std::memcmp(header.marker, marker, kMarkerLength) == 0) break;
  }
  PayloadFacts facts;
  facts.records = header.file_count;
  std::uint8_t fixed[kRecordFixedSize];
  for (std::uint32_t i = 0; i < header.file_count; ++i) {
    std::streamoff start = in.tellg();
    if (!in.read(reinterpret_cast<char*>(fixed), sizeof fixed)) fail("payload cut short");
    FileRecord record = decode_record_header(fixed);
    facts.stored_bytes += record.stored_size;
    facts.largest_record =
        std::max<std::uint64_t>(facts.largest_record, std::uint64_t{record.stored_size} + record.size);
    in.seekg(start + record.header_length + record.stored_size);
  }
  return facts;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Options {
  fs::path corpus = "/tmp/telo-bench/corpus";
  fs::path work = "/tmp/telo-bench/work";
  std::string pack;  // telo-pack to build the installer with
  int rounds = 5;
  std::vector<std::string> archs;  // more installers, timed beside this build's
};

Options parse_options(int argc, char** argv) {
  Options options;
#ifdef TELO_PACK_PATH
  options.pack = TELO_PACK_PATH;
#endif
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      options.rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--pack" && i + 1 < argc) {
      options.pack = argv[++i];
    } else if (arg == "--arch" && i + 1 < argc) {
      options.archs.push_back(argv[++i]);
    } else if (arg == "--work" && i + 1 < argc) {
      options.work = argv[++i];
    } else if (!arg.empty() && arg[0] != '-') {
      options.corpus = arg;
    } else {
      fail("usage: install_bench [CORPUS] [--rounds N] [--work DIR] [--pack TELO_PACK] [--arch NAME]...");
    }
  }
  return options;
}

void ensure_corpus(const fs::path& corpus) {
  if (fs::is_directory(corpus / "app")) return;
  const fs::path script = fs::path(TELO_SOURCE_DIR) / ".." / "shared" / "bench" / "make_corpus.sh";
  std::fprintf(stderr, "making the corpus in %s ...\n", corpus.c_str());
  fs::create_directories(corpus.parent_path());
  if (run_shell("bash " + quote(script.string()) + " " + quote(corpus.string()) + " >&2").exit_status != 0)
    fail("could not make the corpus with " + script.string());
}

// In front of this build's installer, or (arch given) of that architecture's.
void build_installer(const std::string& pack, const fs::path& corpus, const std::string& installer,
                     const std::string& arch = "") {
  if (pack.empty()) fail("no telo-pack in this build; name one with --pack");
  std::vector<std::string> argv = {pack, "build", "-o", installer, "--jre", (corpus / "jre").string(),
                                   (corpus / "app").string()};
  if (arch.empty()) {
    argv.insert(argv.end(), {"--stub", TELO_INSTALLER_PATH});
  } else {
    argv.insert(argv.end(), {"--arch", arch});
  }
  // The same build time for all, so that their payloads are the same bytes.
  argv.insert(argv.end(), {"--build-time", "1683063373"});
  ChildRun run = run_child(argv, "", (fs::path(installer).parent_path() / "pack.stderr").string());
  if (run.exit_status != 0) fail("telo-pack build failed" + (arch.empty() ? "" : " for --arch " + arch));
}

struct Contender {
  std::string name;
  std::vector<double> seconds;
  std::vector<double> cpu_seconds;
  long max_rss_kib = 0;
};

}  // namespace
}  // namespace telo

int main(int argc, char** argv) {
  using namespace telo;
  Options options = parse_options(argc, argv);
  ensure_corpus(options.corpus);
  fs::create_directories(options.work);
  const std::string installer = (options.work / "telo-setup.bin").string();
  const std::string tarball = (options.work / "corpus.tar.gz").string();
  build_installer(options.pack, options.corpus, installer);
  struct ArchInstaller {
    std::string arch;
    std::string path;
  };
  std::vector<ArchInstaller> arch_installers;
  for (const std::string& arch : options.archs) {
    arch_installers.push_back({arch, (options.work / ("telo-setup-" + arch + ".bin")).string()});
    build_installer(options.pack, options.corpus, arch_installers.back().path, arch);
  }
  if (run_shell("tar -C " + quote(options.corpus.string()) + " -cf - app jre | gzip -6 > " + quote(tarball))
          .exit_status != 0)
    fail("could not make the tar archive");

  const TreeSize corpus = tree_size(options.corpus);
  const PayloadFacts facts = read_payload_facts(installer);
  warm_page_cache(options.corpus);
  warm_page_cache(installer);
  for (const ArchInstaller& other : arch_installers) warm_page_cache(other.path);
  warm_page_cache(tarball);

  Contender install{"telo-installer", {}, {}}, extract{"telo-pack extract", {}, {}},
      untar{"tar -xzf (gzip -6)", {}, {}}, copy{"cp -a", {}, {}};
  std::vector<Contender> arch_installs;
  for (const ArchInstaller& other : arch_installers) arch_installs.push_back({"telo-installer " + other.arch, {}, {}});
  const std::string errors = (options.work / "installer.stderr").string();
  // Outputs stay until the end: a file system slows down creating files
  // right where it has just deleted many, which would blur the comparison.
  const fs::path outputs = options.work / "out";
  fs::remove_all(outputs);
  auto fresh = [&](const char* who, int round) {
    run_shell("sync");
    return outputs / (std::string(who) + std::to_string(round));
  };
  auto record = [](Contender& c, const ChildRun& run) {
    c.seconds.push_back(run.seconds);
    c.cpu_seconds.push_back(run.cpu_seconds);
    c.max_rss_kib = std::max(c.max_rss_kib, run.max_rss_kib);
  };
  for (int round = 0; round < options.rounds; ++round) {
    // Welcome: Next; the default directory (from -TELO); keep it despite the
    // warning about its place; Cancel at the first question after extraction.
    fs::path out = fresh("install", round);
    ChildRun run = run_child({installer, "-TELO", out.string()}, "n\ny\nn\nc\n", errors);
    TreeSize written = tree_size(out);
    if (written.files != corpus.files || written.bytes != corpus.bytes)
      fail("the installer wrote " + std::to_string(written.files) + " files, see " + errors);
    record(install, run);

    // The other architectures' installers, right after this build's.
    for (std::size_t a = 0; a < arch_installers.size(); ++a) {
      out = fresh(("install-" + arch_installers[a].arch).c_str(), round);
      run = run_child({arch_installers[a].path, "-TELO", out.string()}, "n\ny\nn\nc\n", errors);
      written = tree_size(out);
      if (written.files != corpus.files || written.bytes != corpus.bytes)
        fail("the " + arch_installers[a].arch + " installer wrote " + std::to_string(written.files) + " files, see " +
             errors);
      record(arch_installs[a], run);
    }

    out = fresh("extract", round);
    run = run_child({options.pack, "extract", installer, out.string()});
    if (run.exit_status != 0) fail("telo-pack extract failed");
    record(extract, run);

    out = fresh("tar", round);
    fs::create_directories(out);
    run = run_child({"/bin/tar", "-xzf", tarball, "-C", out.string()});
    if (run.exit_status != 0) fail("tar failed");
    record(untar, run);

    out = fresh("cp", round);
    run = run_child({"/bin/cp", "-a", options.corpus.string(), out.string()});
    if (run.exit_status != 0) fail("cp failed");
    record(copy, run);
  }
  fs::remove_all(outputs);

  const double mb = 1e6;
  std::printf("corpus %s: %llu files, %.1f MB; payload %u records, %.1f MB stored; %d rounds\n\n",
              options.corpus.c_str(), static_cast<unsigned long long>(corpus.files), corpus.bytes / mb,
              facts.records, facts.stored_bytes / mb, options.rounds);
  std::printf("%-20s %9s %8s %9s %9s %9s %13s\n", "", "median s", "MB/s", "vs install", "cpu s",
              "vs install", "peak RSS MiB");
  const double base = median(install.seconds);
  const double base_cpu = median(install.cpu_seconds);
  std::vector<const Contender*> shown = {&install};
  for (const Contender& c : arch_installs) shown.push_back(&c);
  shown.insert(shown.end(), {&extract, &untar, &copy});
  for (const Contender* c : shown) {
    double s = median(c->seconds);
    double cpu = median(c->cpu_seconds);
    std::printf("%-20s %9.3f %8.1f %9.2f %9.3f %9.2f %13.1f\n", c->name.c_str(), s, corpus.bytes / mb / s, s / base, cpu,
                cpu / base_cpu, c->max_rss_kib / 1024.0);
  }
  std::printf("\ninstall / tar -xzf: %.2f wall, %.2f cpu (target <= 1.00)\n", base / median(untar.seconds),
              base_cpu / median(untar.cpu_seconds));
  std::printf("install / cp -a:    %.2f wall, %.2f cpu (target <= 2.00)\n", base / median(copy.seconds),
              base_cpu / median(copy.cpu_seconds));
  std::printf("extract / install:  %.2f wall, %.2f cpu (target <= 1.10)\n", median(extract.seconds) / base,
              median(extract.cpu_seconds) / base_cpu);
  const double bound_mib = facts.largest_record / 1048576.0 + 4.0;
  std::printf("installer peak RSS %.1f MiB, bound %.1f MiB (largest record stored+size %.1f MiB + 4 MiB): %s\n",
              install.max_rss_kib / 1024.0, bound_mib, facts.largest_record / 1048576.0,
              install.max_rss_kib / 1024.0 <= bound_mib ? "within" : "OVER");
  return 0;
}
