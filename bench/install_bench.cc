// Whole-program installation against its peers, in the same run.
//
// Builds an installer with telo-pack from the benchmark corpus (app/ in slot
// 0, jre/ in slot 1; made with bench/make_corpus.sh when missing),
// tar archives of the same tree with gzip -6 and zstd -19, and then times,
// each into a fresh directory on the same file system:
//   telo-installer     typed answers, cancelled at the first question after extraction
//   telo-pack extract  the same installer, without the wizard
//   tar -xf            the uncompressed tar archive
//   tar -xzf           the gzip archive
//   tar -I zstd -xf    the zstd archive
//   cp -a              the tree itself
// Every input is read once beforehand, so all read from the page cache. The
// contenders take turns, each round starting with the next one, so that none
// always meets what the one before it left (dirty pages, fresh memory).
// A second pass times the installer and tar -xzf on one core (taskset -c 0).
// The installer's threads are sampled from /proc while it runs, for the CPU
// time of its writing thread and of its readers. Peak memory of the
// installer (its own ru_maxrss) is set against the bound the extraction
// promises: the largest record's stored_size + size + 8 MiB.
// With --arch NAME (repeatable) the same payload is also packed in front of
// that architecture's installer (telo-pack build --arch) and timed in the
// same rounds: the other x86 builds run here as they are (i386: libc6-i386).
//
//   bench/install_bench.sh [CORPUS]          (configures, builds and runs)
//   build/bench/install_bench [CORPUS] [--rounds N] [--work DIR] [--pack TELO_PACK] [--arch NAME]...
//
// With --small the corpus is instead a tree of many small files (made with
// bench/make_small_tree.sh when missing), which shows the cost per file: the
// installer, telo-pack extract and tar -xf of its uncompressed tar take turns,
// first below --work (on the disk), then below --tmpfs DIR (/dev/shm by default).
//   build/bench/install_bench --small [TREE] [--rounds N] [--work DIR] [--tmpfs DIR]

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
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "payload/format.h"
#include "payload/locate.h"

namespace telo {
namespace {

namespace fs = std::filesystem;

struct ChildRun {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system, the child's waited-for children included
  long max_rss_kib = 0;
  int exit_status = -1;
  double writer_cpu_seconds = 0;  // the program's main thread, last sampled
  double reader_cpu_seconds = 0;  // its other threads together, last sampled
};

// CPU seconds of each thread of `pid`, from /proc: the main thread's and the
// sum of the others'.
void sample_threads(pid_t pid, double* main_thread, double* others) {
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  double main_seconds = 0, other_seconds = 0;
  for (const auto& task : fs::directory_iterator(tasks, error)) {
    std::ifstream stat(task.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int k = 3; k <= 15 && fields >> field; ++k) {
      if (k == 14) utime = std::stoull(field);
      if (k == 15) stime = std::stoull(field);
    }
    const double seconds = (utime + stime) / tick;
    if (task.path().filename() == std::to_string(pid)) main_seconds = seconds;
    else other_seconds += seconds;
  }
  if (main_seconds > 0 || other_seconds > 0) {
    *main_thread = main_seconds;
    *others = std::max(*others, other_seconds);
  }
}

// Runs argv with `input` on standard input and standard error into
// `error_file` (or /dev/null); times it from fork to reaping.
ChildRun run_child(const std::vector<std::string>& argv, const std::string& input = "",
                   const std::string& error_file = "/dev/null", bool sample = false) {
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
  ChildRun run;
  // Sampled until it ends: a thread's time is gone from /proc with it.
  while (sample && ::wait4(child, &status, WNOHANG, &usage) == 0) {
    sample_threads(child, &run.writer_cpu_seconds, &run.reader_cpu_seconds);
    ::usleep(2000);
  }
  if (!sample) ::wait4(child, &status, 0, &usage);
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

// Walks the records of an installer's payload: found as the installer finds
// it, then one record after another.
PayloadFacts read_payload_facts(const std::string& installer) {
  PayloadHeader header{};
  std::uint64_t offset = 0;
  const int fd = ::open(installer.c_str(), O_RDONLY | O_CLOEXEC);
  const HeaderFault found = fd >= 0 ? find_payload_header(fd, &header, &offset) : HeaderFault::kNotFound;
  if (fd >= 0) ::close(fd);
  if (found != HeaderFault::kNone) fail("no payload in " + installer);
  std::ifstream in(installer, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset + kPayloadHeaderSize));
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
  fs::path corpus = fs::path(TELO_SOURCE_DIR) / "build" / "bench-corpus";
  fs::path work = fs::path(TELO_SOURCE_DIR) / "build" / "bench-work";
  std::string pack;  // telo-pack to build the installer with
  int rounds = 5;
  std::vector<std::string> archs;  // more installers, timed beside this build's
  bool small = false;              // the tree of small files instead of the corpus
  fs::path tmpfs = "/dev/shm/telo-bench-small";
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
    } else if (arg == "--small") {
      options.small = true;
    } else if (arg == "--tmpfs" && i + 1 < argc) {
      options.tmpfs = argv[++i];
    } else if (!arg.empty() && arg[0] != '-') {
      options.corpus = arg;
    } else {
      fail("usage: install_bench [CORPUS] [--rounds N] [--work DIR] [--pack TELO_PACK] [--arch NAME]... "
           "| --small [TREE] [--rounds N] [--work DIR] [--tmpfs DIR]");
    }
  }
  if (options.small && options.corpus == Options().corpus)
    options.corpus = fs::path(TELO_SOURCE_DIR) / "build" / "bench-small-tree";
  return options;
}

void ensure_corpus(const fs::path& corpus, bool small) {
  if (fs::is_directory(small ? corpus : corpus / "app")) return;
  const fs::path script = fs::path(TELO_SOURCE_DIR) / "bench" / (small ? "make_small_tree.sh" : "make_corpus.sh");
  std::fprintf(stderr, "making the corpus in %s ...\n", corpus.c_str());
  fs::create_directories(corpus.parent_path());
  if (run_shell("bash " + quote(script.string()) + " " + quote(corpus.string()) + " >&2").exit_status != 0)
    fail("could not make the corpus with " + script.string());
}

// In front of this build's installer, or (arch given) of that architecture's.
// The application is `app`; `jre`, when given, goes into slot 1.
void build_installer(const std::string& pack, const fs::path& app, const fs::path& jre,
                     const std::string& installer, const std::string& arch = "") {
  if (pack.empty()) fail("no telo-pack in this build; name one with --pack");
  std::vector<std::string> argv = {pack, "build", "-o", installer, app.string()};
  if (!jre.empty()) argv.insert(argv.end(), {"--jre", jre.string()});
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

using RunInto = std::function<ChildRun(const fs::path& out)>;

// One program timed in turns with the others.
struct Contender {
  std::string name;
  RunInto run;
  std::vector<double> seconds;
  std::vector<double> cpu_seconds;
  std::vector<double> writer_cpu_seconds;
  std::vector<double> reader_cpu_seconds;
  long max_rss_kib = 0;
};

Contender contender(std::string name, RunInto run) {
  Contender c;
  c.name = std::move(name);
  c.run = std::move(run);
  return c;
}

// Times every contender `rounds` times, each round starting one further on,
// each run into a fresh directory below `outputs`. Outputs stay until the
// end: a file system slows down creating files right where it has just
// deleted many, which would blur the comparison.
void run_rounds(std::vector<Contender>& contenders, int rounds, const fs::path& outputs) {
  fs::remove_all(outputs);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < contenders.size(); ++k) {
      const std::size_t index = (static_cast<std::size_t>(round) + k) % contenders.size();
      Contender& c = contenders[index];
      run_shell("sync");
      const fs::path out = outputs / (std::to_string(index) + "-" + std::to_string(round));
      const ChildRun run = c.run(out);
      c.seconds.push_back(run.seconds);
      c.cpu_seconds.push_back(run.cpu_seconds);
      c.writer_cpu_seconds.push_back(run.writer_cpu_seconds);
      c.reader_cpu_seconds.push_back(run.reader_cpu_seconds);
      c.max_rss_kib = std::max(c.max_rss_kib, run.max_rss_kib);
    }
  }
  fs::remove_all(outputs);
}

void print_table(const std::vector<Contender>& contenders, double corpus_bytes) {
  std::printf("%-26s %9s %8s %9s %9s %9s %13s\n", "", "median s", "MB/s", "vs first", "cpu s", "vs first",
              "peak RSS MiB");
  const double base = median(contenders.front().seconds);
  const double base_cpu = median(contenders.front().cpu_seconds);
  for (const Contender& c : contenders) {
    const double s = median(c.seconds);
    const double cpu = median(c.cpu_seconds);
    std::printf("%-26s %9.3f %8.1f %9.2f %9.3f %9.2f %13.1f\n", c.name.c_str(), s, corpus_bytes / 1e6 / s, s / base,
                cpu, cpu / base_cpu, c.max_rss_kib / 1024.0);
  }
}

// Welcome: Next; the default directory (from -TELO); keep it despite the
// warning about its place; Cancel at the first question after extraction.
// `front` runs the program (taskset, to keep it on one core). The tree
// written must be `expected`, in files and bytes.
RunInto installing(const std::string& program, const std::vector<std::string>& front, TreeSize expected,
                   const std::string& errors) {
  return [program, front, expected, errors](const fs::path& out) {
    std::vector<std::string> command = front;
    command.insert(command.end(), {program, "-TELO", out.string()});
    const ChildRun run = run_child(command, "n\ny\nn\nc\n", errors, true);
    const TreeSize written = tree_size(out);
    if (written.files != expected.files || written.bytes != expected.bytes)
      fail(program + " wrote " + std::to_string(written.files) + " files, see " + errors);
    return run;
  };
}

RunInto untarring(const std::vector<std::string>& tar_options, const std::vector<std::string>& front) {
  return [tar_options, front](const fs::path& out) {
    fs::create_directories(out);
    std::vector<std::string> command = front;
    command.push_back("/bin/tar");
    command.insert(command.end(), tar_options.begin(), tar_options.end());
    command.insert(command.end(), {"-C", out.string()});
    const ChildRun run = run_child(command);
    if (run.exit_status != 0) fail("tar failed");
    return run;
  };
}

RunInto extracting(const std::string& pack, const std::string& installer) {
  return [pack, installer](const fs::path& out) {
    const ChildRun run = run_child({pack, "extract", installer, out.string()}, "", "/dev/null", true);
    if (run.exit_status != 0) fail("telo-pack extract failed");
    return run;
  };
}

// The tree of small files: the installer, telo-pack extract and tar -xf of
// its uncompressed tar in turns, on the disk (below --work) and on a tmpfs.
int run_small(const Options& options) {
  ensure_corpus(options.corpus, true);
  fs::create_directories(options.work);
  const std::string installer = (options.work / "small-setup.bin").string();
  const std::string tarball = (options.work / "small.tar").string();
  build_installer(options.pack, options.corpus, "", installer);
  // The folders by name, not ".": tar -xf then makes no entry for the top.
  if (run_shell("cd " + quote(options.corpus.string()) + " && tar -cf " + quote(tarball) + " d*").exit_status != 0)
    fail("could not make the tar archive");
  const TreeSize tree = tree_size(options.corpus);
  const PayloadFacts facts = read_payload_facts(installer);
  for (const std::string& input : {installer, tarball}) warm_page_cache(input);
  const std::string errors = (options.work / "installer.stderr").string();
  std::printf("tree %s: %llu files, %.1f MB; tar %.1f MB; installer payload %u records, %.1f MB stored; %d rounds\n",
              options.corpus.c_str(), static_cast<unsigned long long>(tree.files), tree.bytes / 1e6,
              fs::file_size(tarball) / 1e6, facts.records, facts.stored_bytes / 1e6, options.rounds);
  struct Place {
    const char* name;
    fs::path outputs;
  };
  for (const Place& place : {Place{"disk", options.work / "out"}, Place{"tmpfs", options.tmpfs}}) {
    std::vector<Contender> contenders = {
        contender("tar -xf", untarring({"-xf", tarball}, {})),
        contender("telo-pack extract", extracting(options.pack, installer)),
        contender("telo-installer", installing(installer, {}, tree, errors)),
    };
    run_rounds(contenders, options.rounds, place.outputs);
    std::printf("\n%s (%s):\n", place.name, place.outputs.c_str());
    print_table(contenders, static_cast<double>(tree.bytes));
    const double tar = median(contenders[0].seconds);
    std::printf("extract / tar -xf: %.2f, installer / tar -xf: %.2f (target <= 1.50)\n",
                median(contenders[1].seconds) / tar, median(contenders[2].seconds) / tar);
  }
  return 0;
}

}  // namespace
}  // namespace telo

int main(int argc, char** argv) {
  using namespace telo;
  Options options = parse_options(argc, argv);
  if (options.small) return run_small(options);
  ensure_corpus(options.corpus, false);
  fs::create_directories(options.work);
  const std::string installer = (options.work / "telo-setup.bin").string();
  const std::string plain_tarball = (options.work / "corpus.tar").string();
  const std::string gzip_tarball = (options.work / "corpus.tar.gz").string();
  const std::string zstd_tarball = (options.work / "corpus.tar.zst").string();
  build_installer(options.pack, options.corpus / "app", options.corpus / "jre", installer);
  struct ArchInstaller {
    std::string arch;
    std::string path;
  };
  std::vector<ArchInstaller> arch_installers;
  for (const std::string& arch : options.archs) {
    arch_installers.push_back({arch, (options.work / ("telo-setup-" + arch + ".bin")).string()});
    build_installer(options.pack, options.corpus / "app", options.corpus / "jre", arch_installers.back().path, arch);
  }
  const std::string tar_in = "tar -C " + quote(options.corpus.string()) + " -cf - app jre";
  if (run_shell(tar_in + " > " + quote(plain_tarball)).exit_status != 0 ||
      run_shell(tar_in + " | gzip -6 > " + quote(gzip_tarball)).exit_status != 0 ||
      run_shell(tar_in + " | zstd -q -19 -T0 > " + quote(zstd_tarball)).exit_status != 0)
    fail("could not make the tar archives (are gzip and zstd there?)");

  const TreeSize corpus = tree_size(options.corpus);
  const PayloadFacts facts = read_payload_facts(installer);
  warm_page_cache(options.corpus);
  for (const std::string& input : {installer, plain_tarball, gzip_tarball, zstd_tarball}) warm_page_cache(input);
  for (const ArchInstaller& other : arch_installers) warm_page_cache(other.path);

  const std::string errors = (options.work / "installer.stderr").string();
  std::vector<Contender> both_cores = {
      contender("telo-installer", installing(installer, {}, corpus, errors)),
      contender("telo-pack extract", extracting(options.pack, installer)),
      contender("tar -I zstd -xf (zstd -19)", untarring({"-I", "zstd", "-xf", zstd_tarball}, {})),
      contender("tar -xzf (gzip -6)", untarring({"-xzf", gzip_tarball}, {})),
      contender("tar -xf (no compression)", untarring({"-xf", plain_tarball}, {})),
      contender("cp -a",
                [&](const fs::path& out) {
                  const ChildRun run = run_child({"/bin/cp", "-a", options.corpus.string(), out.string()});
                  if (run.exit_status != 0) fail("cp failed");
                  return run;
                }),
  };
  for (const ArchInstaller& other : arch_installers)
    both_cores.push_back(contender("telo-installer " + other.arch, installing(other.path, {}, corpus, errors)));
  const std::vector<std::string> core0 = {"/usr/bin/taskset", "-c", "0"};
  std::vector<Contender> one_core = {
      contender("telo-installer, one core", installing(installer, core0, corpus, errors)),
      contender("tar -xzf, one core", untarring({"-xzf", gzip_tarball}, core0)),
  };
  run_rounds(both_cores, options.rounds, options.work / "out");
  run_rounds(one_core, options.rounds, options.work / "out");

  std::printf("corpus %s: %llu files, %.1f MB; payload %u records, %.1f MB stored; %d rounds\n\n",
              options.corpus.c_str(), static_cast<unsigned long long>(corpus.files), corpus.bytes / 1e6,
              facts.records, facts.stored_bytes / 1e6, options.rounds);
  print_table(both_cores, static_cast<double>(corpus.bytes));
  std::printf("\n");
  print_table(one_core, static_cast<double>(corpus.bytes));

  const Contender& install = both_cores[0];
  const double base = median(install.seconds);
  auto ratio = [&](const Contender& c) { return base / median(c.seconds); };
  std::printf("\ninstall / tar -I zstd -xf: %.2f (target <= 1.00)\n", ratio(both_cores[2]));
  std::printf("install / tar -xf:         %.2f\n", ratio(both_cores[4]));
  std::printf("install / cp -a:           %.2f (target <= 1.30)\n", ratio(both_cores[5]));
  std::printf("extract / install:         %.2f (target <= 1.10)\n", median(both_cores[1].seconds) / base);
  std::printf("install / tar -xzf, both on one core: %.2f (target <= 0.70)\n",
              median(one_core[0].seconds) / median(one_core[1].seconds));
  std::printf("installer threads, median CPU s: writer %.3f, readers %.3f (of %.3f in all)\n",
              median(install.writer_cpu_seconds), median(install.reader_cpu_seconds), median(install.cpu_seconds));
  const double bound_mib = facts.largest_record / 1048576.0 + 8.0;
  std::printf("installer peak RSS %.1f MiB, bound %.1f MiB (largest record stored+size %.1f MiB + 8 MiB): %s\n",
              install.max_rss_kib / 1024.0, bound_mib, facts.largest_record / 1048576.0,
              install.max_rss_kib / 1024.0 <= bound_mib ? "within" : "OVER");
  return 0;
}
