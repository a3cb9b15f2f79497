// Packing a realistic file set with telo-pack at each level (fast and
// best on 1 and 2 threads, the default reference level too), beside
// `tar | gzip -6`, `tar | gzip -9` and `tar | zstd -19` of the same files,
// in the same run.
//
//   pack_bench --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true
//
// Machines are shared: interleaved repetitions meet the same load, the
// summary keeps each program's fastest run, and the programs run at the
// highest scheduling priority when allowed (as root), so that a thread
// count is measured against the cores and not against other people's work.
// The file set is $TELO_BENCH_CORPUS (a folder with app/ and jre/), or is
// made once into build/bench-corpus by bench/make_corpus.sh.
// Each program is timed by the wall clock and by the CPU time its process
// tree used; a summary compares them at the end.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace telo {
namespace {

namespace fs = std::filesystem;

struct Figures {
  double seconds = 0;      // best wall time
  double cpu_seconds = 0;  // CPU time of that run's process tree
  std::uint64_t output_size = 0;
};

std::string corpus_dir;
std::string work_dir;
std::uint64_t input_bytes = 0;
std::map<std::string, Figures> best;

double child_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t child = 0;
  if (::posix_spawn(&child, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string find_corpus() {
  if (const char* given = std::getenv("TELO_BENCH_CORPUS")) return given;
  std::string dir = std::string(TELO_SOURCE_DIR) + "/build/bench-corpus";
  if (fs::exists(dir + "/app") && fs::exists(dir + "/jre")) return dir;
  std::string script = std::string(TELO_SOURCE_DIR) + "/bench/make_corpus.sh";
  if (const char* other = std::getenv("TELO_CORPUS_SCRIPT")) script = other;
  std::fprintf(stderr, "making the file set with %s ...\n", script.c_str());
  fs::remove_all(dir);
  if (run({"/bin/bash", script, dir}) != 0) {
    std::fprintf(stderr, "cannot make the file set\n");
    std::exit(1);
  }
  return dir;
}

std::uint64_t tree_bytes(const std::string& dir) {
  std::uint64_t total = 0;
  for (const auto& item : fs::recursive_directory_iterator(dir))
    if (item.is_regular_file()) total += item.file_size();
  return total;
}

// Runs `argv` once per iteration and keeps the best figures under `name`.
void time_program(benchmark::State& state, const std::string& name, const std::vector<std::string>& argv,
                  const std::string& output) {
  for (auto _ : state) {
    fs::remove(output);
    double cpu_before = child_cpu_seconds();
    auto start = std::chrono::steady_clock::now();
    int status = run(argv);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = child_cpu_seconds() - cpu_before;
    if (status != 0) {
      state.SkipWithError((name + " failed").c_str());
      return;
    }
    state.SetIterationTime(seconds);
    Figures& figures = best[name];
    if (figures.seconds == 0 || seconds < figures.seconds) figures = {seconds, cpu, fs::file_size(output)};
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(input_bytes) * state.iterations());
  state.counters["output_MB"] = static_cast<double>(best[name].output_size) / 1e6;
  state.counters["cpu_s"] = best[name].cpu_seconds;
}

constexpr const char* kLevels[] = {"fast", "reference", "best"};

// Arguments: the level (an index into kLevels) and the number of jobs.
void BM_TeloPack(benchmark::State& state) {
  const std::string level = kLevels[state.range(0)];
  const std::string jobs = std::to_string(state.range(1));
  const std::string output = work_dir + "/setup.bin";
  time_program(state, "telo-pack " + level + " -j" + jobs,
               {TELO_PACK_PATH, "build", "-o", output, corpus_dir + "/app", "--jre", corpus_dir + "/jre", "--level",
                level, "--jobs", jobs, "--build-time", "1"},
               output);
}
BENCHMARK(BM_TeloPack)
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Args({2, 1})
    ->Args({2, 2})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

void BM_TarGzip(benchmark::State& state) {
  std::string level = std::to_string(state.range(0));
  std::string output = work_dir + "/corpus.tar.gz";
  time_program(state, "tar | gzip -" + level,
               {"/bin/sh", "-c", "tar -cf - -C \"$0\" app jre | gzip -" + level + " > \"$1\"", corpus_dir, output},
               output);
}
BENCHMARK(BM_TarGzip)->Arg(6)->Arg(9)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_TarZstd(benchmark::State& state) {
  const std::string output = work_dir + "/corpus.tar.zst";
  time_program(state, "tar | zstd -19",
               {"/bin/sh", "-c", "tar -cf - -C \"$0\" app jre | zstd -q -19 -T1 > \"$1\"", corpus_dir, output}, output);
}
BENCHMARK(BM_TarZstd)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void print_summary() {
  std::printf("\nfile set: %s, %.1f MB\n", corpus_dir.c_str(), input_bytes / 1e6);
  std::printf("%-20s %10s %10s %12s %14s\n", "program", "MB/s", "cpu s", "output MB", "vs gzip -9");
  double gzip9 = static_cast<double>(best["tar | gzip -9"].output_size);
  for (const auto& [name, f] : best)
    std::printf("%-20s %10.2f %10.2f %12.2f %13.1f%%\n", name.c_str(), input_bytes / 1e6 / f.seconds, f.cpu_seconds,
                f.output_size / 1e6, gzip9 > 0 ? 100.0 * f.output_size / gzip9 : 0.0);
  const Figures& reference = best["telo-pack reference -j1"];
  for (const char* level : kLevels) {
    const Figures& one = best[std::string("telo-pack ") + level + " -j1"];
    const Figures& two = best[std::string("telo-pack ") + level + " -j2"];
    if (one.seconds <= 0 || two.seconds <= 0 || reference.output_size == 0) continue;
    std::printf("%-9s size %.3fx reference, %.3fx gzip -9; 2 jobs %.2fx faster than 1\n", level,
                static_cast<double>(one.output_size) / reference.output_size,
                gzip9 > 0 ? one.output_size / gzip9 : 0.0, one.seconds / two.seconds);
  }
}

}  // namespace
}  // namespace telo

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // With autogroup scheduling a process's nice value only counts within its
  // session's group; the group's own value weighs it against the others.
  bool raised = ::setpriority(PRIO_PROCESS, 0, -20) == 0;
  if (std::FILE* group = std::fopen("/proc/self/autogroup", "w")) {
    raised = std::fputs("-20", group) >= 0 && raised;
    raised = std::fclose(group) == 0 && raised;
  }
  std::fprintf(stderr, "scheduling priority %s\n", raised ? "raised to nice -20" : "unchanged (not permitted)");
  telo::corpus_dir = telo::find_corpus();
  telo::input_bytes = telo::tree_bytes(telo::corpus_dir);
  char pattern[] = "/tmp/telo-pack-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  telo::work_dir = pattern;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  telo::print_summary();
  std::filesystem::remove_all(telo::work_dir);
  return 0;
}
