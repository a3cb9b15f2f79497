#include "installer/read_ahead.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pack/payload_writer.h"
#include "payload/crc16.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::BuiltPayload;
using testing::TestFile;

// "f7" and the like. (Appending keeps GCC 12's -Wrestrict quiet about
// operator+ on a literal in optimised builds.)
std::string numbered(const char* prefix, int number) {
  std::string name(prefix);
  name += std::to_string(number);
  return name;
}

std::string noise(std::size_t n, std::uint32_t variant) {
  std::mt19937 random(variant);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(random() % 7 + 'a');  // compressible, not trivially
  return s;
}

// The records of `payload` in a file, behind a few bytes that are not
// theirs; reading ahead over it from the first record.
constexpr std::uint64_t kRecordsAt = 7;

int open_records(const testing::ScopedTempDir& dir, const BuiltPayload& payload) {
  std::string path = dir.path + "/records";
  std::FILE* out = std::fopen(path.c_str(), "wb");
  std::fwrite("leading", 1, kRecordsAt, out);
  std::fwrite(payload.records.data(), 1, payload.records.size(), out);
  std::fclose(out);
  return ::open(path.c_str(), O_RDONLY);
}

struct Reading {
  testing::ScopedTempDir dir;
  std::unique_ptr<std::uint8_t, decltype(&std::free)> table{crc16_make_table(), &std::free};
  int fd = -1;
  ReadAheadHandle reader;
  int starts_over = 0;  // records whose contents started over while collected

  explicit Reading(const BuiltPayload& payload, int readers = kReadersPerProcessor, PieceTable pieces = {}) {
    fd = open_records(dir, payload);
    reader = read_ahead_start(table.get(), PayloadSource{fd, kRecordsAt}, payload.header.file_count, readers,
                              std::move(pieces));
  }
  ~Reading() {
    reader.reset();
    ::close(fd);
  }
  ReadRecord* next() { return read_ahead_next(reader.get()); }
  void release(ReadRecord* item) { read_ahead_release(reader.get(), item); }
  // Takes the record's contents as the writer does, a ready stretch at a
  // time, giving the room back as it goes; the fault once finished, and the
  // decode calls counted in `calls`.
  RecordCheck collect(ReadRecord* item, std::string* contents, std::uint32_t* calls_counted = nullptr) {
    std::uint32_t calls = 0;
    std::uint64_t written = 0;
    for (bool done = false;;) {
      for (;;) {
        const std::span<const std::uint8_t> bytes = read_ahead_ready_bytes(item, written, calls);
        if (bytes.empty()) break;
        contents->append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        written += bytes.size();
      }
      read_ahead_consumed(reader.get(), item, written);
      if (calls_counted != nullptr) *calls_counted = calls;
      if (done) return contents_fault_of(item);
      if (read_ahead_wait(reader.get(), item, calls, &calls, &done) == WaitResult::kStartOver) {
        contents->clear();
        written = 0;
        ++starts_over;
        read_ahead_start_over(reader.get(), item);
      }
    }
  }
  // Waits until `reached` holds for the reading's counts, and says whether
  // it did within a minute (a state never reached fails the test).
  template <typename Reached>
  bool wait_until(Reached reached) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!reached(read_ahead_counts(reader.get()))) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
  }
  // Waits until every reader thread waits: they went as far ahead as the
  // ring and the slots let them, and nothing changes until the writer acts.
  bool wait_until_readers_rest() {
    return wait_until([](const ReadAheadCounts& c) { return c.threads_waiting == c.threads; });
  }
};

// The ways of reading: the writer in turn (no thread), and 1, 2 or 4 readers.
class ReadAheadModes : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(NoneOneTwoFour, ReadAheadModes, ::testing::Values(0, 1, 2, 4));
// The ways with reader threads.
class ReadAheadThreads : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(OneTwoFour, ReadAheadThreads, ::testing::Values(1, 2, 4));

TEST(ReadAhead, ThreadsAsAUserAsksForThem) {
  struct Case {
    const char* text;
    int readers;
  };
  const Case cases[] = {{nullptr, kReadersPerProcessor}, {"", kReadersPerProcessor}, {"0", 0}, {"1", 1},
                        {"4", 4},  {"5", kReadersPerProcessor}, {"12", kReadersPerProcessor},
                        {"-1", kReadersPerProcessor}, {"two", kReadersPerProcessor}};
  for (const Case& c : cases) EXPECT_EQ(reader_threads_from(c.text), c.readers) << (c.text ? c.text : "(unset)");
}

// The mode asked for is the mode started: no thread, or that many.
TEST_P(ReadAheadModes, StartsTheThreadsAskedFor) {
  BuiltPayload payload = testing::build_payload({{"a", noise(1000, 1), METHOD_COMPRESSED}});
  Reading reading(payload, GetParam());
  EXPECT_EQ(read_ahead_counts(reading.reader.get()).threads, static_cast<unsigned>(GetParam()));
}

// Files of every size up to several windows, stored and compressed, in an
// order that makes the readers run ahead and the ring go round many times;
// each is taken only once the readers went as far ahead of it as they can,
// so a window handed out twice would show as wrong contents. With one
// reader it must also check what it placed while it waits for room for the
// next.
TEST_P(ReadAheadModes, EveryRecordArrivesWholeAndInOrder) {
  std::vector<TestFile> files;
  std::mt19937 random(5);
  files.push_back({"largest", noise(5000000, 1), METHOD_COMPRESSED});
  for (int i = 0; i < 120; ++i) {
    std::size_t size = random() % 4 == 0 ? random() % 900000 : random() % 3000;
    std::uint32_t method = random() % 3 == 0 ? METHOD_STORED : METHOD_COMPRESSED;
    if (size == 0) method = METHOD_STORED;
    files.push_back({numbered("f", i), noise(size, 100 + i), method});
    if (i % 40 == 0) files.push_back({numbered("gone", i), "", METHOD_REMOVE});
  }
  BuiltPayload payload = testing::build_payload(files);
  Reading reading(payload, GetParam());
  for (const TestFile& file : files) {
    ASSERT_TRUE(reading.wait_until_readers_rest()) << file.path;
    ReadRecord* item = reading.next();
    ASSERT_NE(item, nullptr) << file.path;
    ASSERT_EQ(header_fault_of(item), RecordCheck::kNone) << file.path;
    EXPECT_STREQ(record_header_of(item).rel_path, file.path.c_str());
    std::string contents;
    ASSERT_EQ(reading.collect(item, &contents), RecordCheck::kNone) << file.path;
    if (file.method != METHOD_REMOVE) {
      EXPECT_TRUE(contents == file.contents) << file.path;
    }
    reading.release(item);
  }
  EXPECT_EQ(reading.next(), nullptr);
}

// The masks of this process's other threads, read from /proc.
std::vector<std::uint64_t> other_threads_blocked_signals() {
  std::vector<std::uint64_t> masks;
  const std::string self = std::to_string(::gettid());
  DIR* tasks = ::opendir("/proc/self/task");
  while (dirent* entry = tasks != nullptr ? ::readdir(tasks) : nullptr) {
    if (entry->d_name[0] == '.' || self == entry->d_name) continue;
    std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigBlk:", 0) == 0) masks.push_back(std::stoull(line.substr(7), nullptr, 16));
  }
  if (tasks != nullptr) ::closedir(tasks);
  return masks;
}

// A signal meant for the process lands on the writer's thread, whose handler
// removes the temporary between the writer's own steps; the writer's mask is
// left as it was.
TEST(ReadAhead, ReadersLeaveSignalsToTheWritersThread) {
  sigset_t before, after;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &before);
  BuiltPayload payload = testing::build_payload({{"a", noise(1000, 1), METHOD_COMPRESSED}});
  Reading reading(payload, 2);
  ::pthread_sigmask(SIG_SETMASK, nullptr, &after);
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) EXPECT_EQ(sigismember(&before, number), sigismember(&after, number));
  // A sanitizer or an emulator may run threads of their own beside the two readers.
  int blocking = 0;
  for (std::uint64_t mask : other_threads_blocked_signals()) {
    bool all = true;
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) all = all && (mask & (1ull << (number - 1))) != 0;
    blocking += all ? 1 : 0;
  }
  EXPECT_GE(blocking, 2);
}

// A fault ends the reading at its record; the records before it arrive
// intact, and the faulty one carries its reason.
TEST_P(ReadAheadModes, AFaultStopsTheReadingAtItsRecord) {
  std::vector<TestFile> files;
  for (int i = 0; i < 6; ++i) files.push_back({numbered("f", i), noise(20000, i), METHOD_COMPRESSED});
  BuiltPayload payload = testing::build_payload(files);
  payload.records[payload.record_starts[4] - 1] ^= 1;  // the last stored byte of record 3
  Reading reading(payload, GetParam());
  for (int i = 0; i < 3; ++i) {
    ReadRecord* item = reading.next();
    ASSERT_NE(item, nullptr);
    std::string contents;
    EXPECT_EQ(reading.collect(item, &contents), RecordCheck::kNone);
    reading.release(item);
  }
  ReadRecord* item = reading.next();
  ASSERT_NE(item, nullptr);
  std::string contents;
  EXPECT_EQ(reading.collect(item, &contents), RecordCheck::kStoredCrc);
  reading.release(item);
  EXPECT_EQ(reading.next(), nullptr);
}

// A damaged header is handed over as the record's fault, and nothing after
// it is read.
TEST_P(ReadAheadModes, ADamagedHeaderIsTheLastRecordHandedOver) {
  BuiltPayload payload = testing::build_payload({{"a", noise(3000, 1), METHOD_COMPRESSED},
                                                 {"b", noise(3000, 2), METHOD_STORED},
                                                 {"c", noise(3000, 3), METHOD_STORED}});
  payload.records[payload.record_starts[1] + record_offset::kMtime] ^= 1;  // b's header CRC fails
  Reading reading(payload, GetParam());
  ReadRecord* item = reading.next();
  ASSERT_NE(item, nullptr);
  std::string contents;
  EXPECT_EQ(reading.collect(item, &contents), RecordCheck::kNone);
  reading.release(item);
  item = reading.next();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(header_fault_of(item), RecordCheck::kHeaderCrc);
  EXPECT_TRUE(reading.wait_until([](const ReadAheadCounts& c) { return c.reading_done; }));
  EXPECT_EQ(read_ahead_counts(reading.reader.get()).records_held, 1);
}

// Readers read past a record while others still check it: when its check
// fails, the records already read beyond it never reach the writer.
TEST(ReadAhead, RecordsReadPastAFaultNeverReachTheWriter) {
  std::vector<TestFile> files = {{"damaged", noise(8000000, 1), METHOD_COMPRESSED}};
  for (int i = 0; i < 4; ++i) files.push_back({numbered("f", i), noise(100, i), METHOD_STORED});
  BuiltPayload payload = testing::build_payload(files);
  // The damaged file's data CRC, found only once all of it decoded; its
  // header sealed again.
  std::uint8_t* header = payload.records.data();
  header[record_offset::kDataCrc] ^= 1;
  store_u16(header + record_offset::kRecordCrc, 0);
  store_u16(header + record_offset::kRecordCrc, crc16({header, load_u32(header)}));
  Reading reading(payload, 2);
  ReadRecord* item = reading.next();
  // One reader decodes the damaged file until its window is full; the
  // other hands the later records over before the fault shows.
  ASSERT_TRUE(reading.wait_until([](const ReadAheadCounts& c) { return c.records_held == 5; }));
  std::string contents;
  EXPECT_EQ(reading.collect(item, &contents), RecordCheck::kDataCrc);
  reading.release(item);
  EXPECT_EQ(reading.next(), nullptr);
}

// The writer follows the decode calls one by one (three for 20000 bytes).
TEST_P(ReadAheadModes, DecodeCallsAreCountedForTheProgressLine) {
  BuiltPayload payload = testing::build_payload({{"three", noise(20000, 9), METHOD_COMPRESSED}});
  Reading reading(payload, GetParam());
  ReadRecord* item = reading.next();
  std::string contents;
  std::uint32_t calls = 0;
  EXPECT_EQ(reading.collect(item, &contents, &calls), RecordCheck::kNone);
  EXPECT_EQ(calls, 3u);
}

// With the writer holding back, the readers of the payload's one large file
// go exactly `window` bytes ahead and then wait; the file then comes whole.
void expect_decoded_one_window_ahead(Reading& reading, std::uint32_t window, const std::string& expected) {
  ReadRecord* item = reading.next();
  ASSERT_TRUE(reading.wait_until_readers_rest());
  std::uint32_t calls = 0;
  bool done = false;
  read_ahead_wait(reading.reader.get(), item, 0, &calls, &done);
  EXPECT_FALSE(done);
  EXPECT_EQ(calls * std::uint64_t{kDecodeCall}, window);
  std::string contents;
  EXPECT_EQ(reading.collect(item, &contents), RecordCheck::kNone);
  EXPECT_TRUE(contents == expected);
}

// A large file decodes only as far as its window allows until the writer
// takes what is there: the decoder waits rather than holding it whole.
TEST_P(ReadAheadThreads, ALargeFileDecodesNoFurtherThanItsWindowAhead) {
  const std::string large = noise(9000000, 3);
  BuiltPayload payload = testing::build_payload({{"large", large, METHOD_COMPRESSED}});
  Reading reading(payload, GetParam());
  expect_decoded_one_window_ahead(reading, kReadAheadWindow, large);
}

// ---- Files decoded in pieces ----

PieceTable table_of(const BuiltPayload& payload) {
  PieceTable table;
  table.records = payload.pieces;
  return table;
}

// What a reading gives for one record: its fault, the calls counted when
// it finished, and its contents.
struct Outcome {
  RecordCheck fault = RecordCheck::kNone;
  std::uint32_t calls = 0;
  std::string contents;
  bool operator==(const Outcome&) const = default;
};

std::vector<Outcome> read_all(const BuiltPayload& payload, int readers, PieceTable pieces,
                              int* starts_over = nullptr) {
  Reading reading(payload, readers, std::move(pieces));
  std::vector<Outcome> outcomes;
  while (ReadRecord* item = reading.next()) {
    Outcome outcome;
    outcome.fault = header_fault_of(item);
    if (outcome.fault == RecordCheck::kNone && record_header_of(item).fields.method != METHOD_REMOVE)
      outcome.fault = reading.collect(item, &outcome.contents, &outcome.calls);
    outcomes.push_back(outcome);
    reading.release(item);
  }
  if (starts_over != nullptr) *starts_over = reading.starts_over;
  return outcomes;
}

// Files cut into pieces of several sizes, among small files and stored
// ones, come out whole and in order on every number of readers, with their
// decode calls counted as from the start of the stream.
TEST_P(ReadAheadModes, FilesInPiecesArriveWholeAndInOrder) {
  std::vector<TestFile> files;
  const std::uint32_t piece_sizes[] = {8192, 65536, 1u << 20};
  for (int i = 0; i < 9; ++i) {
    const std::size_t size = i % 3 == 2 ? 3000 : 300000 + 2400000 * (i % 4);
    TestFile file{numbered("f", i), noise(size, 40 + i), i % 5 == 4 ? METHOD_STORED : METHOD_COMPRESSED};
    file.piece_size = piece_sizes[i % 3];
    files.push_back(file);
  }
  const BuiltPayload payload = testing::build_payload(files);
  ASSERT_GE(payload.pieces.size(), 4u);
  const std::vector<Outcome> in_pieces = read_all(payload, GetParam(), table_of(payload));
  ASSERT_EQ(in_pieces.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(in_pieces[i].fault, RecordCheck::kNone) << files[i].path;
    EXPECT_TRUE(in_pieces[i].contents == files[i].contents) << files[i].path;
  }
  EXPECT_TRUE(in_pieces == read_all(payload, GetParam(), {}));
}

// The readers decode a file's pieces no further ahead of the writer than
// its window, whatever their number.
TEST_P(ReadAheadThreads, PiecesDecodeNoFurtherThanTheirWindowAhead) {
  TestFile file{"large", noise(20000000, 8), METHOD_COMPRESSED};
  file.piece_size = 1u << 20;
  const BuiltPayload payload = testing::build_payload({file});
  Reading reading(payload, GetParam(), table_of(payload));
  expect_decoded_one_window_ahead(reading, kPiecedWindow, file.contents);
}

// Damage anywhere in a pieced stream ends as it ends decoded from the
// start: the same fault after the same calls. With the stored CRC left as
// it was, the stored bytes fail before any call reaches the writer; with it
// sealed again over the damage, the decoder or the data CRC judges.
TEST_P(ReadAheadThreads, DamageInPiecesEndsAsFromTheStart) {
  TestFile file{"large", noise(3000000, 12), METHOD_COMPRESSED};
  file.piece_size = 262144;
  const BuiltPayload clean = testing::build_payload({file, {"after", "tail", METHOD_STORED}});
  ASSERT_EQ(clean.pieces.size(), 1u);
  FileRecord record;
  std::memcpy(&record, clean.records.data(), sizeof record);
  const std::size_t stored_at = record.header_length;
  for (bool reseal : {false, true}) {
    for (std::size_t at : {std::size_t{0}, std::size_t{record.stored_size / 3}, std::size_t{record.stored_size / 2},
                           std::size_t{record.stored_size - 2}}) {
      BuiltPayload damaged = clean;
      damaged.records[stored_at + at] ^= 0x5A;
      if (reseal) {
        const std::uint16_t crc = crc16({damaged.records.data() + stored_at, record.stored_size});
        FileRecord changed = record;
        changed.stored_crc = crc;
        const std::vector<std::uint8_t> header = make_record_header(changed, "large");
        std::copy(header.begin(), header.end(), damaged.records.begin());
      }
      const std::vector<Outcome> from_start = read_all(damaged, GetParam(), {});
      const std::vector<Outcome> in_pieces = read_all(damaged, GetParam(), table_of(damaged));
      ASSERT_FALSE(from_start.empty());
      EXPECT_NE(from_start[0].fault, RecordCheck::kNone) << at << (reseal ? " resealed" : "");
      EXPECT_EQ(in_pieces[0].fault, from_start[0].fault) << at << (reseal ? " resealed" : "");
      EXPECT_EQ(in_pieces[0].calls, from_start[0].calls) << at << (reseal ? " resealed" : "");
      EXPECT_EQ(in_pieces.size(), from_start.size());
      if (!reseal) {
        EXPECT_EQ(in_pieces[0].calls, 0u);
      }
    }
  }
}

// A table that does not match its stream costs time, never the contents:
// where the pieces fail, the file starts over decoded from its first bit,
// and every record arrives whole.
TEST_P(ReadAheadThreads, AWrongTableNeverChangesTheContents) {
  TestFile file{"large", noise(2500000, 13), METHOD_COMPRESSED};
  file.piece_size = 262144;
  const BuiltPayload payload = testing::build_payload({file, {"after", "tail", METHOD_STORED}});
  ASSERT_EQ(payload.pieces.size(), 1u);
  const RecordPieces right = payload.pieces[0];
  struct Change {
    const char* what;
    std::size_t point;
    std::int64_t bits;
    std::int64_t output;
  };
  const Change changes[] = {{"a bit early", 3, -1, 0},        {"a bit late", 3, 1, 0},
                            {"a byte late", 5, 8, 0},         {"output a call early", 4, 0, -8192},
                            {"output a call late", 4, 0, 8192}, {"last point a bit late", right.pieces.size() - 1, 1, 0}};
  for (const Change& change : changes) {
    PieceTable table = table_of(payload);
    PiecePoint& point = table.records[0].pieces.at(change.point);
    point.bit_offset = static_cast<std::uint64_t>(static_cast<std::int64_t>(point.bit_offset) + change.bits);
    point.output_offset = static_cast<std::uint32_t>(static_cast<std::int64_t>(point.output_offset) + change.output);
    int starts_over = 0;
    const std::vector<Outcome> outcomes = read_all(payload, GetParam(), std::move(table), &starts_over);
    ASSERT_EQ(outcomes.size(), 2u) << change.what;
    EXPECT_EQ(outcomes[0].fault, RecordCheck::kNone) << change.what;
    EXPECT_TRUE(outcomes[0].contents == file.contents) << change.what;
    EXPECT_EQ(outcomes[0].calls, (file.contents.size() + kDecodeCall - 1) / kDecodeCall) << change.what;
    EXPECT_EQ(outcomes[1].contents, "tail") << change.what;
    // A point moved off its seam is caught; one moved along the output
    // alone may still decode right.
    if (change.bits != 0) {
      EXPECT_EQ(starts_over, 1) << change.what;
    }
  }
}

// Stopping while a reader waits for the writer to empty a window ends it
// at once.
TEST_P(ReadAheadThreads, StopEndsAReaderThatWaitsForRoom) {
  std::vector<TestFile> files;
  for (int i = 0; i < 4; ++i) files.push_back({numbered("f", i), noise(5000000, i), METHOD_COMPRESSED});
  BuiltPayload payload = testing::build_payload(files);
  Reading reading(payload, GetParam());
  ASSERT_NE(reading.next(), nullptr);
  ASSERT_TRUE(reading.wait_until_readers_rest());
  read_ahead_stop(reading.reader.get());
  EXPECT_EQ(read_ahead_counts(reading.reader.get()).threads, 0u);
}

// What happens to the installer's file while the writer is in the middle of
// a large record: a byte changed, or the file cut, at `at` bytes into the
// record's stored bytes (a fraction of them).
enum class Meddling { kChangeByte, kCut };

// What of the original the writer has been given by the end.
enum class Given { kAnything, kAPart, kAll };

struct MeddlingCase {
  const char* name;
  std::uint32_t method;
  Meddling meddling;
  double at;                 // into the stored bytes, as a fraction of them
  RecordCheck fault;         // what the writer is told
  Given given;
};

// In a child process (a signal there fails the test, not the run): reads a
// 6 MB record with one reader, meddles with the file once the writer's
// first bytes are ready (the reader is then at most a window ahead), and
// takes the rest. Exit 0 when the writer got exactly the case's fault and
// what it was to be given; 1 for another fault, 2 for other bytes.
int meddle_while_writing(const MeddlingCase& c) {
  const std::string original = noise(6000000, 21);
  BuiltPayload payload = testing::build_payload({{"large", original, c.method}});
  Reading reading(payload, 1);
  ReadRecord* item = reading.next();
  std::uint32_t calls = 0;
  bool done = false;
  read_ahead_wait(reading.reader.get(), item, 0, &calls, &done);
  const FileRecord& fields = record_header_of(item).fields;
  const std::uint64_t stored_at = kRecordsAt + fields.header_length;
  const auto into = static_cast<std::uint64_t>(c.at * fields.stored_size);
  const std::string path = reading.dir.path + "/records";
  if (c.meddling == Meddling::kCut) {
    if (::truncate(path.c_str(), static_cast<off_t>(stored_at + into)) != 0) return 3;
  } else {
    const int writable = ::open(path.c_str(), O_WRONLY);
    const std::uint8_t changed = static_cast<std::uint8_t>(payload.records[stored_at - kRecordsAt + into] ^ 0x20);
    if (::pwrite(writable, &changed, 1, static_cast<off_t>(stored_at + into)) != 1) return 3;
    ::close(writable);
  }
  std::string contents;
  if (reading.collect(item, &contents) != c.fault) return 1;
  if (c.given == Given::kAll && contents != original) return 2;
  if (c.given == Given::kAPart && original.compare(0, contents.size(), contents) != 0) return 2;
  return 0;
}

// The bytes the writer gets are the bytes checked, whatever happens to the
// file meanwhile (an installer started through the loader, or from a
// network file system): a stored file changed behind the reader fails its
// CRC, taken over the bytes the writer got, so it is never put in place; one
// cut short comes short; a compressed stream, read whole before it decodes,
// gives the file it was checked as.
TEST(ReadAhead, TheWriterGetsOnlyTheBytesCheckedWhateverHappensToTheFile) {
#if defined(__i386__) || defined(__arm__) || defined(__aarch64__)
  // Where qemu runs this program (i386 on hosts that refuse it, ARM), the
  // threadsafe style's re-execution of it fails; no thread runs yet here.
  GTEST_FLAG_SET(death_test_style, "fast");
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
  const MeddlingCase cases[] = {
      {"stored, a byte changed ahead of the reader", METHOD_STORED, Meddling::kChangeByte, 0.9,
       RecordCheck::kStoredCrc, Given::kAnything},
      {"stored, cut ahead of the reader", METHOD_STORED, Meddling::kCut, 0.6, RecordCheck::kStoredShort, Given::kAPart},
      {"compressed, a byte of its stream changed", METHOD_COMPRESSED, Meddling::kChangeByte, 0.9,
       RecordCheck::kNone, Given::kAll},
      {"compressed, its stream cut", METHOD_COMPRESSED, Meddling::kCut, 0.6, RecordCheck::kNone, Given::kAll},
  };
  for (const MeddlingCase& c : cases) {
    EXPECT_EXIT(std::exit(meddle_while_writing(c)), ::testing::ExitedWithCode(0), "") << c.name;
  }
}

}  // namespace
}  // namespace telo
