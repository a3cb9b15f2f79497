// The payload codec against zlib, on the same data in the same run.
//
// Data sets are gathered from this machine when the program starts (nothing
// is committed): English text, C headers, HTML, ELF executables, ELF shared
// libraries and random bytes, 4 MiB each (cut from concatenated files).
// Decoding is measured the way the extractor calls it (8192-byte calls into
// one output buffer) against one inflate() over the whole stream;
// compressing against compress2 at levels 6 and 9. Rates are MB/s of
// uncompressed data; the "stored" counters are the compressed sizes.
//
// Decoding is also measured on the real payload's biggest files when the
// benchmark corpus is there (bench/make_corpus.sh DIR, then
// TELO_BENCH_CORPUS=DIR, default build/bench-corpus): the first 16 MiB of the
// Java runtime's "modules" file and the JVM shared library.
//
// Compressing is measured at each level (fast, reference, best) against
// compress2 at levels 1, 6 and 9.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTELO_TESTS=OFF
//   cmake --build build-bench --target codec_bench
//   build-bench/bench/codec_bench --benchmark_counters_tabular=true
//
// With --table the program prints one table instead: every data set, then
// every file of the corpus (when it is there), cut into 2 MiB pieces as the
// packer cuts them, compressed one piece at a time on this thread by each
// level and by zlib -1/-6/-9 in turn, so that every method sees the same
// machine at the same moments (the data sets three times over and files of
// up to 256 KiB five times, keeping each method's fastest round). It reports sizes, MB/s and their ratios, and
// checks that every stream decodes back. zlib -9's size is taken with the
// gzip wrapper (gzip -9 less the file name it stores).
//   build-bench/bench/codec_bench --table [--no-corpus]

#include <zlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "codec/codec.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kSetSize = 4u << 20;

bool is_elf(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  char magic[4] = {};
  file.read(magic, 4);
  return file && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

// Concatenates the matching regular files under `root` (in path order) until
// kSetSize bytes are gathered.
Bytes gather(const fs::path& root, bool recursive, const std::function<bool(const fs::path&)>& take) {
  std::vector<fs::path> paths;
  std::error_code error;
  auto consider = [&](const fs::directory_entry& entry) {
    if (entry.is_regular_file(error) && !entry.is_symlink(error) && take(entry.path())) {
      paths.push_back(entry.path());
    }
  };
  if (recursive) {
    for (const auto& entry : fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, error)) consider(entry);
  } else {
    for (const auto& entry : fs::directory_iterator(root, error)) consider(entry);
  }
  std::sort(paths.begin(), paths.end());
  Bytes data;
  for (const fs::path& path : paths) {
    std::ifstream file(path, std::ios::binary);
    data.insert(data.end(), std::istreambuf_iterator<char>(file), {});
    if (data.size() >= kSetSize) break;
  }
  if (data.size() > kSetSize) data.resize(kSetSize);
  return data;
}

bool has_extension(const fs::path& path, std::initializer_list<const char*> extensions) {
  const std::string ext = path.extension().string();
  return std::any_of(extensions.begin(), extensions.end(), [&](const char* e) { return ext == e; });
}

const std::map<std::string, Bytes>& data_sets() {
  static const std::map<std::string, Bytes> sets = [] {
    std::map<std::string, Bytes> made;
    made["text"] = gather("/usr/share/doc", true, [](const fs::path& p) {
      return p.filename() == "copyright" || has_extension(p, {".txt", ".md", ".rst"});
    });
    made["source"] = gather("/usr/include", true, [](const fs::path& p) { return has_extension(p, {".h"}); });
    made["html"] = gather("/usr/share/doc", true, [](const fs::path& p) { return has_extension(p, {".html"}); });
    made["elf_exe"] = gather("/usr/bin", false, [](const fs::path& p) { return is_elf(p); });
    made["elf_lib"] = gather("/usr/lib/x86_64-linux-gnu", false, [](const fs::path& p) {
      return p.filename().string().find(".so") != std::string::npos && is_elf(p);
    });
    Bytes random(kSetSize);
    std::mt19937_64 rng(42);
    for (auto& byte : random) byte = static_cast<std::uint8_t>(rng());
    made["random"] = std::move(random);
    return made;
  }();
  return sets;
}

// Compresses with `context` (kept by the caller, as the packer keeps one per thread).
Bytes telo_compress_with(telo::Decompressor* context, telo::CompressionLevel level,
                         const std::uint8_t* data, std::size_t size) {
  Bytes out(size + size / 8 + 1024);
  telo::ByteWindow source{const_cast<std::uint8_t*>(data), const_cast<std::uint8_t*>(data) + size};
  telo::ByteWindow destination{out.data(), out.data() + out.size()};
  const int result = telo::codec_compress_level(context, level, &source, &destination);
  out.resize(result == 1 ? static_cast<std::size_t>(destination.pos - out.data()) : 0);
  return out;
}

Bytes telo_compress(const Bytes& input, telo::CompressionLevel level = telo::CompressionLevel::kReference) {
  telo::Decompressor* context = nullptr;
  if (telo::decompressor_create(&context) != 0) return {};
  Bytes out = telo_compress_with(context, level, input.data(), input.size());
  telo::decompressor_destroy(&context);
  return out;
}

bool telo_decode(const Bytes& stream, Bytes& out) {
  telo::Decompressor* context = nullptr;
  if (telo::decompressor_create(&context) != 0) return false;
  telo::ByteWindow source{const_cast<std::uint8_t*>(stream.data()), const_cast<std::uint8_t*>(stream.data()) + stream.size()};
  bool ok = true;
  for (std::size_t done = 0; done < out.size() && ok; done += telo::kChunkLimit) {
    const std::size_t room = std::min<std::size_t>(telo::kChunkLimit, out.size() - done);
    telo::ByteWindow destination{out.data() + done, out.data() + done + room};
    ok = telo::decompressor_decode(context, &source, &destination) == 0;
  }
  telo::decompressor_destroy(&context);
  return ok;
}

Bytes zlib_compress(const Bytes& input, int level) {
  uLongf size = compressBound(input.size());
  Bytes out(size);
  if (compress2(out.data(), &size, input.data(), input.size(), level) != Z_OK) return {};
  out.resize(size);
  return out;
}

bool zlib_inflate(const Bytes& stream, Bytes& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return result == Z_STREAM_END;
}

void report(benchmark::State& state, const Bytes& input, std::size_t stored) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
  state.counters["stored"] = static_cast<double>(stored);
  state.counters["ratio"] = static_cast<double>(stored) / static_cast<double>(input.size());
}

// The corpus files decoding is measured on, by set name; empty when the
// corpus is missing.
const std::map<std::string, Bytes>& corpus_sets() {
  static const std::map<std::string, Bytes> sets = [] {
    const char* dir = std::getenv("TELO_BENCH_CORPUS");
    const fs::path root = dir != nullptr ? fs::path(dir) : fs::path(TELO_SOURCE_DIR) / "build" / "bench-corpus";
    const std::pair<const char*, const char*> files[] = {
        {"corpus_modules", "jre/lib/modules"}, {"corpus_libjvm", "jre/lib/server/libjvm.so"}};
    std::map<std::string, Bytes> made;
    for (const auto& [name, relative] : files) {
      std::ifstream file(root / relative, std::ios::binary);
      if (!file) continue;
      Bytes data(16u << 20);
      file.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
      data.resize(static_cast<std::size_t>(file.gcount()));
      if (!data.empty()) made[name] = std::move(data);
    }
    return made;
  }();
  return sets;
}

const Bytes& input_of(const std::string& set) {
  const auto& corpus = corpus_sets();
  const auto found = corpus.find(set);
  return found != corpus.end() ? found->second : data_sets().at(set);
}

void BM_TeloDecode(benchmark::State& state, const std::string& set) {
  const Bytes& input = input_of(set);
  const Bytes stream = telo_compress(input);
  Bytes out(input.size());
  for (auto _ : state) {
    if (!telo_decode(stream, out)) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
  }
  if (out != input) state.SkipWithError("round trip differs");
  report(state, input, stream.size());
}

void BM_ZlibInflate(benchmark::State& state, const std::string& set) {
  const Bytes& input = input_of(set);
  const Bytes stream = zlib_compress(input, 6);
  Bytes out(input.size());
  for (auto _ : state) {
    if (!zlib_inflate(stream, out)) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.data());
  }
  if (out != input) state.SkipWithError("round trip differs");
  report(state, input, stream.size());
}

void BM_TeloCompress(benchmark::State& state, const std::string& set, telo::CompressionLevel level) {
  const Bytes& input = data_sets().at(set);
  Bytes stream;
  for (auto _ : state) stream = telo_compress(input, level);
  report(state, input, stream.size());
}

void BM_ZlibDeflate(benchmark::State& state, const std::string& set, int level) {
  const Bytes& input = data_sets().at(set);
  Bytes stream;
  for (auto _ : state) stream = zlib_compress(input, level);
  report(state, input, stream.size());
}

const char* const kSets[] = {"text", "source", "html", "elf_exe", "elf_lib", "random"};

int register_all() {
  std::vector<std::string> decode_sets(std::begin(kSets), std::end(kSets));
  for (const auto& [name, data] : corpus_sets()) decode_sets.push_back(name);
  for (const std::string& name : decode_sets) {
    benchmark::RegisterBenchmark(("decode/telo/" + name).c_str(), BM_TeloDecode, name)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("decode/zlib/" + name).c_str(), BM_ZlibInflate, name)->Unit(benchmark::kMillisecond);
  }
  for (const char* set : kSets) {
    const std::string name(set);
    const std::pair<const char*, telo::CompressionLevel> levels[] = {
        {"fast", telo::CompressionLevel::kFast},
        {"reference", telo::CompressionLevel::kReference},
        {"best", telo::CompressionLevel::kBest}};
    for (const auto& [level_name, level] : levels) {
      benchmark::RegisterBenchmark(("compress/telo_" + std::string(level_name) + "/" + name).c_str(),
                                   BM_TeloCompress, name, level)->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark(("compress/zlib1/" + name).c_str(), BM_ZlibDeflate, name, 1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("compress/zlib6/" + name).c_str(), BM_ZlibDeflate, name, 6)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("compress/zlib9/" + name).c_str(), BM_ZlibDeflate, name, 9)->Unit(benchmark::kMillisecond);
  }
  return 0;
}

// ---- --table: every level and zlib on the data sets and the corpus ----

struct Tally {
  std::uint64_t in = 0;
  std::uint64_t out = 0;
  double seconds = 0;
};

constexpr int kMethods = 6;
const char* const kMethodNames[kMethods] = {"fast", "reference", "best", "zlib-1", "zlib-6", "zlib-9"};
constexpr int kZlibLevel[kMethods] = {0, 0, 0, 1, 6, 9};
constexpr telo::CompressionLevel kTeloLevel[3] = {
    telo::CompressionLevel::kFast, telo::CompressionLevel::kReference, telo::CompressionLevel::kBest};
constexpr std::size_t kPiece = 2u << 20;  // the packer's piece size
constexpr std::size_t kGzipFraming = 18 - 6;  // gzip's header and trailer for zlib's
constexpr std::size_t kSmallFile = 256u << 10;

struct TableRun {
  telo::Decompressor* contexts[3] = {};
  std::map<std::string, std::array<Tally, kMethods>> sets;
  std::vector<std::string> order;
  bool failed = false;
};

bool decodes_back(const Bytes& stream, const std::uint8_t* data, std::size_t size) {
  Bytes out(size);
  return telo_decode(stream, out) && std::memcmp(out.data(), data, size) == 0;
}

// Codes one piece with every method in turn, `rounds` times over, and adds
// each method's fastest round to the set's tallies: other work on the
// machine only ever slows a round down.
void table_piece(TableRun& run, const std::string& set, const std::uint8_t* data, std::size_t size,
                 int rounds) {
  if (run.sets.find(set) == run.sets.end()) run.order.push_back(set);
  auto& tallies = run.sets[set];
  double fastest[kMethods];
  std::size_t stored[kMethods] = {};
  for (int round = 0; round < rounds; ++round) {
    for (int m = 0; m < kMethods; ++m) {
      const auto start = std::chrono::steady_clock::now();
      Bytes stream;
      if (m < 3) {
        stream = telo_compress_with(run.contexts[m], kTeloLevel[m], data, size);
        stored[m] = stream.size();
      } else {
        uLongf bound = compressBound(size);
        stream.resize(bound);
        stored[m] = compress2(stream.data(), &bound, data, size, kZlibLevel[m]) == Z_OK ? bound : 0;
      }
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      fastest[m] = round == 0 ? seconds : std::min(fastest[m], seconds);
      if (round > 0) continue;
      if (stored[m] == 0 || (m < 3 && !decodes_back(stream, data, size))) {
        std::fprintf(stderr, "%s: %s failed on a piece of %zu bytes\n", set.c_str(), kMethodNames[m], size);
        run.failed = true;
      }
    }
  }
  for (int m = 0; m < kMethods; ++m) {
    tallies[m].in += size;
    tallies[m].out += stored[m] + (m == 5 ? kGzipFraming : 0);
    tallies[m].seconds += fastest[m];
  }
}

void table_input(TableRun& run, const std::string& set, const Bytes& data, int rounds) {
  for (std::size_t at = 0; at < data.size(); at += kPiece) {
    table_piece(run, set, data.data() + at, std::min(kPiece, data.size() - at), rounds);
  }
}

// The corpus's files by path, each in the set of its first two path parts
// (app/bin, app/doc, ..., jre/lib).
void table_corpus(TableRun& run, const fs::path& root) {
  std::vector<fs::path> paths;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(root, error)) {
    if (entry.is_regular_file(error)) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) {
    const fs::path relative = fs::relative(path, root);
    auto part = relative.begin();
    std::string set = "corpus ";
    set.append(part->string());
    if (++part != relative.end() && std::next(part) != relative.end()) set.append("/").append(part->string());
    std::ifstream file(path, std::ios::binary);
    const Bytes data{std::istreambuf_iterator<char>(file), {}};
    // Small files take five rounds: a single one of a few milliseconds says
    // more about the machine's other work than about the method.
    table_input(run, set, data, data.size() <= kSmallFile ? 5 : 1);
  }
}

void print_row(const std::string& name, const std::array<Tally, kMethods>& t) {
  auto rate = [&](int m) { return t[m].seconds > 0 ? static_cast<double>(t[m].in) / 1e6 / t[m].seconds : 0.0; };
  auto size = [&](int a, int b) { return static_cast<double>(t[a].out) / static_cast<double>(t[b].out); };
  std::printf("%-22s %8.1f %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f | %6.2f %6.3f %6.3f %6.3f %6.3f | %11llu %11llu %11llu %11llu\n",
              name.c_str(), static_cast<double>(t[0].in) / 1e6, rate(0), rate(1), rate(2), rate(3), rate(4),
              rate(5), rate(0) / rate(4), size(0, 1), size(2, 1), size(2, 5), size(1, 5),
              static_cast<unsigned long long>(t[0].out), static_cast<unsigned long long>(t[1].out),
              static_cast<unsigned long long>(t[2].out), static_cast<unsigned long long>(t[5].out));
}

int run_table(int argc, char** argv) {
  bool corpus = true;
  for (int i = 1; i < argc; ++i) corpus = corpus && std::strcmp(argv[i], "--no-corpus") != 0;
  TableRun run;
  for (auto*& context : run.contexts) {
    if (telo::decompressor_create(&context) != 0) return 1;
  }
  for (const char* set : kSets) table_input(run, std::string(set), data_sets().at(set), 3);
  const char* dir = std::getenv("TELO_BENCH_CORPUS");
  const fs::path root = dir != nullptr ? fs::path(dir) : fs::path(TELO_SOURCE_DIR) / "build" / "bench-corpus";
  if (corpus && fs::is_directory(root)) table_corpus(run, root);
  for (auto*& context : run.contexts) telo::decompressor_destroy(&context);

  std::printf("%-22s %8s %7s %7s %7s %7s %7s %7s | %6s %6s %6s %6s %6s | %11s %11s %11s %11s\n", "set", "MB",
              "fast", "ref", "best", "zlib1", "zlib6", "zlib9", "f/z6", "f/ref", "b/ref", "b/gz9", "r/gz9",
              "fast B", "ref B", "best B", "gzip-9 B");
  std::printf("%-22s %8s %7s %7s %7s %7s %7s %7s | %6s %6s %6s %6s %6s |\n", "", "", "MB/s", "MB/s", "MB/s",
              "MB/s", "MB/s", "MB/s", "speed", "size", "size", "size", "size");
  std::array<Tally, kMethods> corpus_total{};
  for (const std::string& set : run.order) {
    print_row(set, run.sets[set]);
    if (set.rfind("corpus ", 0) != 0) continue;
    for (int m = 0; m < kMethods; ++m) {
      corpus_total[m].in += run.sets[set][m].in;
      corpus_total[m].out += run.sets[set][m].out;
      corpus_total[m].seconds += run.sets[set][m].seconds;
    }
  }
  if (corpus_total[0].in > 0) print_row("corpus (all)", corpus_total);
  return run.failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--table") == 0) return run_table(argc, argv);
  }
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
