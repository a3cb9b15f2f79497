#pragma once

// The payload's stream codec: LZ77 over an 8192-byte window with static
// canonical Huffman codes, in blocks that each carry their own code tables.

#include <cstdint>

namespace telo {

inline constexpr int CODEC_ERR_MISUSE = -1;
inline constexpr int CODEC_ERR_NO_MEMORY = -2;
inline constexpr int CODEC_ERR_BAD_TABLE = -10;

inline constexpr int DECODE_NEW = 0;
inline constexpr int DECODE_RUNNING = 1;
inline constexpr int DECODE_FAILED = 9;

inline constexpr int kWindowSize = 8192;       // history a match can reach
inline constexpr int kChunkLimit = 8192;       // most bytes one decode call produces
inline constexpr int kSymbolCodeSize = 510;    // 256 literals + match lengths 3..256
inline constexpr int kLengthCodeSize = 19;     // code-length code
inline constexpr int kOffsetCodeSize = 14;     // offset classes 0..13
inline constexpr int kMaxCodeLength = 16;
inline constexpr int kSymbolTableBits = 12;
inline constexpr int kSmallTableBits = 8;
inline constexpr int kTreeNodes = 2 * kSymbolCodeSize - 1;  // 1019

// A caller-owned description of a memory region the codec reads or writes.
struct ByteWindow {
  std::uint8_t* pos = nullptr;       // next byte to take or to write
  std::uint8_t* end = nullptr;       // one past the region
  std::uint32_t consumed = 0;        // bytes taken (source) or written (compressor output)
  std::uint8_t* start = nullptr;     // kept by the caller
  std::uint32_t length = 0;          // kept by the caller
};

struct Decompressor;  // defined in codec/context.h

// Allocates a context into *slot. CODEC_ERR_MISUSE for a null or occupied
// slot, CODEC_ERR_NO_MEMORY when an allocation fails (slot left empty).
int decompressor_create(Decompressor** slot);

// Produces min(room, 8192) bytes at destination->pos. Every call but the
// last of a stream must give at least 8192 bytes of room. Returns 0 or
// CODEC_ERR_BAD_TABLE (then every later call returns it at once).
int decompressor_decode(Decompressor* context, ByteWindow* source, ByteWindow* destination);

// How many bits of the stream the symbols decoded so far have used, counted
// from the stream's first byte (`source` as the decode calls left it). Past
// its end a stream reads as zero bits; a count beyond 8 times its length
// means the symbols ran past the end, so the stream was cut short. The
// bits read ahead do not count.
std::uint64_t decompressor_bits_used(const Decompressor* context, const ByteWindow* source);

// Makes the context ready for a new stream, as if just created, without
// allocating: one context serves a whole run of records.
void decompressor_reset(Decompressor* context);

// Makes the context ready for a stream that begins `bit_offset` bits into
// the source the decode calls are given (counted from its first byte, most
// significant bit first), with history reading as zeros as at a stream's
// start: a packed file's piece, whose matches never reach before it, decodes
// on its own this way. Bits and bytes used are still counted from the
// source's first byte; an offset past its end reads zeros.
void decompressor_start_at(Decompressor* context, std::uint64_t bit_offset);

// True when the symbols decoded so far end a block and no match is left to
// copy, so that the next call begins with a block header: where a piece
// decoded on its own ends, the stream decoded from its start stands there too.
bool decompressor_between_blocks(const Decompressor* context);

// Frees the context in *slot (if any) and empties the slot.
void decompressor_destroy(Decompressor** slot);

// Codes the whole source as one stream into destination. Returns 1 when it
// fits, 0 when the destination filled up, or an error code already in the context.
int codec_compress(Decompressor* context, ByteWindow* source, ByteWindow* destination);

// How hard the compressor works. Every level writes the one stream format,
// and the same bytes every time for the same input.
//   kFast       hash chains and lazy matching, blocks ended where the data changes
//   kReference  codec_compress: the trie compressor, byte for byte
//   kBest       near-optimal parsing with prices from code lengths, blocks cut by cost
enum class CompressionLevel { kFast, kReference, kBest };

// codec_compress at the given level, with the same contract: 1 fits, 0 the
// destination filled up, or an error code (CODEC_ERR_NO_MEMORY when the
// level's work memory cannot be had; nothing is then advanced). The work
// memory is allocated by a level's first call and kept until destroy. The
// stream's blocks end where its last symbol ends, and codec_pad_bits tells
// its pad bits as after codec_compress, so streams join bit to bit.
int codec_compress_level(Decompressor* context, CompressionLevel level, ByteWindow* source,
                         ByteWindow* destination);

// The zero bits (0 to 7) that pad the last byte of the stream the last
// codec_compress or codec_compress_level call wrote whole: its symbols end
// that many bits before its end, where a following stream may join.
int codec_pad_bits(const Decompressor* context);

}  // namespace telo
