#include "pack/build.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "payload/format.h"
#include "payload/crc16_sliced.h"
#include "payload/header_fields.h"
#include "payload/locate.h"
#include "payload/piece_table.h"
#include "pack/jobs.h"
#include "pack/output.h"
#include "pack/report.h"
#include "pack/source_file.h"
#include "pack/tree.h"
#include "payload/record_rules.h"
#include "pack/payload_writer.h"

namespace telo {

namespace {

constexpr std::uint64_t kMaxField = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kCopyChunk = 1u << 20;

struct Progress {
  bool enabled = false;
  std::size_t files_total = 0;
  std::uint64_t bytes_total = 0;
  std::uint64_t bytes_done = 0;
  std::chrono::steady_clock::time_point last_shown{};
};

// Everything one build writes through.
struct Build {
  const PackOptions* options = nullptr;
  const std::vector<PackEntry>* entries = nullptr;
  PackOutput output;
  PieceQueue queue;
  PayloadHeader header{};
  std::uint64_t records_start = 0;   // file offset of the first record
  std::uint64_t record_pos = 0;      // offset of the next record from the first
  std::vector<RecordPieces> pieces;  // of the records coded in more than one piece, for the table
  Progress progress;
};

// The contents' CRCs go through the installer's own routine, the fastest
// this processor offers.
std::uint16_t crc_continue(std::uint16_t crc, std::span<const std::uint8_t> data) {
  return crc16_sliced(crc, data.data(), data.size());
}

void show_progress(Build& build, std::size_t files_done, bool last) {
  Progress& p = build.progress;
  if (!p.enabled) return;
  auto now = std::chrono::steady_clock::now();
  if (!last && now - p.last_shown < std::chrono::milliseconds(200)) return;
  p.last_shown = now;
  std::fprintf(stderr, "\rtelo-pack: %zu/%zu files, %llu/%llu MB", files_done, p.files_total,
               static_cast<unsigned long long>(p.bytes_done >> 20),
               static_cast<unsigned long long>(p.bytes_total >> 20));
  if (last) std::fputc('\n', stderr);
}

bool text_fits(const char* option, const std::string& text) {
  if (header_text_fits(text)) return true;
  pack_error("%s: \"%s\" is longer than the header's %zu bytes", option, text.c_str(), kTextFieldSize - 1);
  return false;
}

bool fill_header_texts(const PackOptions& options, PayloadHeader* header) {
  std::string java = options.java_runtime.value_or(
      options.jre_dir.empty() ? std::string() : java_runtime_name(options.jre_dir));
  if (!text_fits("--product", options.product_name) || !text_fits("--version", options.version) ||
      !text_fits("--description", options.description) ||
      !text_fits("--hardware-family", options.hardware_family) || !text_fits("--java-runtime", java))
    return false;
  *header = new_payload_header();
  set_header_text(header->product_name, options.product_name);
  set_header_text(header->version, options.version);
  set_header_text(header->description, options.description);
  set_header_text(header->hardware_family, options.hardware_family);
  set_header_text(header->java_runtime, java);
  header->build_time = options.build_time;
  return true;
}

// Removals come first, deepest paths before their parents, so that they
// clear what an earlier release left before this one's files are written.
bool gather_entries(const PackOptions& options, std::vector<PackEntry>* entries) {
  bool ok = true;
  for (const std::string& path : options.removals) ok = add_removal(path, *entries) && ok;
  std::sort(entries->begin(), entries->end(),
            [](const PackEntry& a, const PackEntry& b) { return a.rel_path > b.rel_path; });
  ok = scan_pack_tree(options.app_dir, "", 0, *entries) && ok;
  if (!options.jre_dir.empty()) ok = scan_pack_tree(options.jre_dir, "jre/", 1, *entries) && ok;
  for (const PackEntry& entry : *entries) {
    if (is_safe_rel_path(entry.rel_path)) continue;
    pack_error("%s: not a path the installer accepts", entry.rel_path.c_str());
    ok = false;
  }
  return ok && check_pack_entries(*entries);
}

bool read_whole_file(const std::string& path, std::vector<std::uint8_t>* bytes) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) {
    pack_error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  std::uint8_t buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
  if (std::ferror(file.get())) {
    pack_error("%s: read error", path.c_str());
    return false;
  }
  return true;
}

// The real path of `path`, whose last component need not exist yet.
std::string resolved_path(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  char real[PATH_MAX];
  if (::realpath(dir.c_str(), real) == nullptr) return path;
  std::string resolved = real;
  if (base.empty() || base == ".") return resolved;
  return resolved + (resolved == "/" ? "" : "/") + base;
}

bool lies_within(const std::string& path, const std::string& tree) {
  return path == tree || (path.size() > tree.size() && path.compare(0, tree.size(), tree) == 0 &&
                          (tree == "/" || path[tree.size()] == '/'));
}

// An output inside a tree being packed would replace an input, or be packed
// itself into the next build.
bool output_outside_inputs(const PackOptions& options) {
  const std::string output = resolved_path(options.output);
  for (const std::string& tree : {options.app_dir, options.jre_dir}) {
    if (tree.empty()) continue;
    char real[PATH_MAX];
    if (::realpath(tree.c_str(), real) == nullptr) continue;  // the scan reports it
    if (!lies_within(output, real)) continue;
    pack_error("%s: the output lies inside %s, whose files are packed; write it elsewhere",
               options.output.c_str(), tree.c_str());
    return false;
  }
  return true;
}

bool write_stub(Build& build) {
  std::vector<std::uint8_t> stub;
  if (!read_whole_file(build.options->stub, &stub)) return false;
  // A stub that already carries a payload would be found first by the installer.
  if (holds_payload_marker(stub)) {
    pack_error("%s: the stub already carries a payload; use the bare installer", build.options->stub.c_str());
    return false;
  }
  build.records_start = payload_offset_after(stub.size()) + kPayloadHeaderSize;
  return write_pack_output(&build.output, 0, stub);
}

bool report_changed(const PackEntry& entry) {
  pack_error("%s: the file changed while being packed", entry.source.c_str());
  return false;
}

bool report_read_error(const PackEntry& entry, int error) {
  pack_error("%s: %s", entry.source.c_str(), std::strerror(error));
  return false;
}

bool report_piece_fault(const PackEntry& entry, const PieceResult& piece) {
  if (piece.read_error == 0) return report_changed(entry);
  return report_read_error(entry, piece.read_error);
}

enum class StreamOutcome { kCompressed, kStore, kFailed };

// Joins the file's coded pieces into one stream written at `data_at`. Sets
// data_crc from the pieces as read, and stored_size and stored_crc when the
// stream is smaller than the file.
StreamOutcome write_compressed(Build& build, std::size_t e, std::uint64_t data_at, FileRecord* record) {
  const PackEntry& entry = (*build.entries)[e];
  std::size_t first = build.queue.first_task[e];
  const std::uint32_t piece_size = build.queue.piece_size;
  std::size_t end = first + (entry.size + piece_size - 1) / piece_size;
  StreamJoiner joiner;
  std::vector<std::uint8_t> out;
  RecordPieces starts{static_cast<std::uint32_t>(e), {}};
  std::uint64_t written = 0;
  std::uint16_t data_crc = 0, stored_crc = 0;
  bool smaller = true;
  for (std::size_t t = first; t < end; ++t) {
    PieceResult& piece = wait_for_piece(&build.queue, t);
    if (piece.read_error != 0 || piece.changed) {
      report_piece_fault(entry, piece);
      return StreamOutcome::kFailed;
    }
    data_crc = crc_continue(data_crc, piece.input);
    smaller = smaller && piece.compressed.fits;
    if (smaller) {
      const std::uint64_t bit = (written + out.size()) * 8 + static_cast<std::uint64_t>(joiner.pending_bits);
      starts.pieces.push_back({bit, static_cast<std::uint32_t>((t - first) * piece_size)});
      join_piece(&joiner, piece.compressed, &out);
    }
    if (smaller && t + 1 == end) finish_stream(&joiner, &out);
    release_piece(&build.queue, t);
    smaller = smaller && written + out.size() < entry.size;
    if (!smaller || out.empty()) continue;
    stored_crc = crc_continue(stored_crc, out);
    if (!write_pack_output(&build.output, data_at + written, out)) return StreamOutcome::kFailed;
    written += out.size();
    out.clear();
  }
  // Every piece came through one descriptor; a file still as scanned after
  // the last one was not rewritten between them.
  if (!source_file_unchanged(entry, piece_file(&build.queue, e))) {
    report_changed(entry);
    return StreamOutcome::kFailed;
  }
  record->data_crc = data_crc;
  if (!smaller) return StreamOutcome::kStore;
  record->method = METHOD_COMPRESSED;
  record->stored_size = static_cast<std::uint32_t>(written);
  record->stored_crc = stored_crc;
  if (starts.pieces.size() > 1) build.pieces.push_back(std::move(starts));
  return StreamOutcome::kCompressed;
}

// Copies the file unchanged to `data_at` from `file`, open since the scan
// was checked. When its pieces were read before (`known_crc`), the copy
// must match them.
bool write_stored(Build& build, const PackEntry& entry, const SourceFile& file, std::uint64_t data_at,
                  bool known_crc, FileRecord* record) {
  if (file.fd < 0) return file.error != 0 ? report_read_error(entry, file.error) : report_changed(entry);
  // One byte of room past the size shows a file that has grown.
  std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(kCopyChunk, entry.size + 1));
  std::uint64_t copied = 0;
  std::uint16_t crc = 0;
  ssize_t n = 0;
  while (copied <= entry.size) {
    n = ::pread(file.fd, buffer.data(), std::min<std::uint64_t>(buffer.size(), entry.size + 1 - copied),
                static_cast<off_t>(copied));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (source_read_hook != nullptr) source_read_hook(entry, copied);
    std::span<const std::uint8_t> data(buffer.data(), static_cast<std::size_t>(n));
    crc = crc_continue(crc, data);
    if (copied + data.size() <= entry.size && !write_pack_output(&build.output, data_at + copied, data))
      return false;
    copied += data.size();
  }
  if (n < 0) return report_read_error(entry, errno);
  if (copied != entry.size || (known_crc && crc != record->data_crc)) return report_changed(entry);
  if (!source_file_unchanged(entry, file)) return report_changed(entry);
  record->method = METHOD_STORED;
  record->data_crc = crc;
  record->stored_crc = crc;
  record->stored_size = record->size;
  return true;
}

// Writes the contents of a file entry: coded in pieces when it was planned
// so and that pays, else copied. The file is read through one descriptor.
bool write_contents(Build& build, std::size_t e, std::uint64_t data_at, FileRecord* record) {
  const PackEntry& entry = (*build.entries)[e];
  std::size_t first = build.queue.first_task[e];
  if (first < build.queue.tasks.size() && build.queue.tasks[first].entry == e) {
    StreamOutcome outcome = write_compressed(build, e, data_at, record);
    bool ok = outcome == StreamOutcome::kCompressed ||
              (outcome == StreamOutcome::kStore &&
               write_stored(build, entry, piece_file(&build.queue, e), data_at, true, record));
    close_piece_file(&build.queue, e);
    return ok;
  }
  SourceFile file;
  open_source_file(entry, &file);
  bool ok = write_stored(build, entry, file, data_at, false, record);
  close_source_file(&file);
  return ok;
}

bool write_record(Build& build, std::size_t e) {
  const PackEntry& entry = (*build.entries)[e];
  FileRecord record;
  record.target_slot = entry.slot;
  record.record_offset = static_cast<std::uint32_t>(build.record_pos);
  record.header_length = record_header_length(entry.rel_path.size());
  std::uint64_t data_at = build.records_start + build.record_pos + record.header_length;
  if (entry.remove) {
    record.method = METHOD_REMOVE;
  } else {
    record.size = static_cast<std::uint32_t>(entry.size);
    record.mtime = entry.mtime;
    record.mode = entry.mode;
    if (!write_contents(build, e, data_at, &record)) return false;
  }
  std::vector<std::uint8_t> header = make_record_header(record, entry.rel_path);
  if (!write_pack_output(&build.output, build.records_start + build.record_pos, header)) return false;
  count_record(build.header, record);
  build.record_pos += record.header_length + std::uint64_t{record.stored_size};
  if (build.record_pos > kMaxField) {
    pack_error("%s: the payload grows past 4 GiB here; its offsets no longer fit the record headers",
               entry.rel_path.c_str());
    return false;
  }
  return true;
}

bool write_payload(Build& build) {
  const std::vector<PackEntry>& entries = *build.entries;
  for (std::size_t e = 0; e < entries.size(); ++e) {
    if (!write_record(build, e)) return false;
    build.progress.bytes_done += entries[e].size;
    show_progress(build, e + 1, false);
  }
  show_progress(build, entries.size(), true);
  seal_payload_header(build.header);
  std::span<const std::uint8_t> block(reinterpret_cast<const std::uint8_t*>(&build.header), kPayloadHeaderSize);
  return write_pack_output(&build.output, build.records_start - kPayloadHeaderSize, block);
}

// The piece table follows the last record, where the installer never reads;
// a build with no record in pieces writes none. `length`: the bytes written.
bool write_piece_table(Build& build, std::uint64_t* length) {
  *length = 0;
  if (!writes_piece_table(*build.options) || build.pieces.empty()) return true;
  const std::vector<std::uint8_t> table = encode_piece_table(build.pieces);
  *length = table.size();
  return write_pack_output(&build.output, build.records_start + build.record_pos, table);
}

}  // namespace

std::uint32_t pack_piece_size(const PackOptions& options) {
  return options.pieces.value_or(0) != 0 ? *options.pieces : kPackPieceSize;
}

bool writes_piece_table(const PackOptions& options) {
  if (options.store_only) return false;
  if (options.pieces) return *options.pieces != 0;
  return options.level != CompressionLevel::kReference;
}

std::string java_runtime_name(std::string_view jre_dir) {
  while (jre_dir.size() > 1 && jre_dir.back() == '/') jre_dir.remove_suffix(1);
  std::size_t slash = jre_dir.rfind('/');
  return std::string(slash == std::string_view::npos ? jre_dir : jre_dir.substr(slash + 1));
}

int build_installer(const PackOptions& options) {
  // The entries outlive the build: its worker threads read them until the
  // build's queue has joined them.
  std::vector<PackEntry> entries;
  Build build;
  build.options = &options;
  if (!fill_header_texts(options, &build.header) || !output_outside_inputs(options) ||
      !gather_entries(options, &entries))
    return 1;
  build.entries = &entries;
  if (!open_pack_output(options.output, &build.output) || !write_stub(build)) return 1;
  build.progress.enabled = options.show_progress;
  build.progress.files_total = entries.size();
  for (const PackEntry& entry : entries) build.progress.bytes_total += entry.size;
  start_piece_queue(&build.queue, entries, !options.store_only, options.level, pack_piece_size(options),
                    options.jobs);
  std::uint64_t table_length = 0;
  if (!write_payload(build) || !write_piece_table(build, &table_length)) return 1;
  stop_piece_queue(&build.queue);
  std::uint64_t length = build.records_start + build.record_pos + table_length;
  return commit_pack_output(&build.output, length) ? 0 : 1;
}

}  // namespace telo
