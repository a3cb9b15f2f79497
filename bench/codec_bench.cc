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
// benchmark corpus is there (/work/shared/bench/make_corpus.sh DIR, then
// TELO_BENCH_CORPUS=DIR, default /tmp/pack-corpus): the first 16 MiB of the
// Java runtime's "modules" file and the JVM shared library.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTELO_TESTS=OFF
//   cmake --build build-bench --target codec_bench
//   build-bench/bench/codec_bench --benchmark_counters_tabular=true

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
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

Bytes telo_compress(const Bytes& input) {
  telo::Decompressor* context = nullptr;
  if (telo::decompressor_create(&context) != 0) return {};
  Bytes out(input.size() + input.size() / 8 + 1024);
  telo::ByteWindow source{const_cast<std::uint8_t*>(input.data()), const_cast<std::uint8_t*>(input.data()) + input.size()};
  telo::ByteWindow destination{out.data(), out.data() + out.size()};
  const int result = telo::codec_compress(context, &source, &destination);
  telo::decompressor_destroy(&context);
  out.resize(result == 1 ? static_cast<std::size_t>(destination.pos - out.data()) : 0);
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
    const fs::path root = dir != nullptr ? dir : "/tmp/pack-corpus";
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

void BM_TeloCompress(benchmark::State& state, const std::string& set) {
  const Bytes& input = data_sets().at(set);
  Bytes stream;
  for (auto _ : state) stream = telo_compress(input);
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
    benchmark::RegisterBenchmark(("compress/telo/" + name).c_str(), BM_TeloCompress, name)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("compress/zlib6/" + name).c_str(), BM_ZlibDeflate, name, 6)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("compress/zlib9/" + name).c_str(), BM_ZlibDeflate, name, 9)->Unit(benchmark::kMillisecond);
  }
  return 0;
}
const int registered = register_all();

}  // namespace

BENCHMARK_MAIN();
