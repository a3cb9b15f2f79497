#include "codec/huffman_builder.h"

#include "codec/codec.h"

namespace telo {

namespace {

constexpr int kHeapSize = 512;  // holds every symbol of the largest code, from index 1

struct Heap {
  std::uint16_t entries[kHeapSize] = {};
  int size = 0;
};

// Sifts entry i down until its frequency is no greater than its children's.
void heap_down(Heap& heap, const std::uint16_t* freq, int i) {
  const int k = heap.entries[i];
  while (2 * i <= heap.size) {
    int j = 2 * i;
    if (j < heap.size && freq[heap.entries[j]] > freq[heap.entries[j + 1]]) ++j;
    if (freq[k] <= freq[heap.entries[j]]) break;
    heap.entries[i] = heap.entries[j];
    i = j;
  }
  heap.entries[i] = static_cast<std::uint16_t>(k);
}

// Counts the leaves of the tree by depth, deeper than 16 counting as 16.
void count_depths(const HuffmanArrays& code, int node, int depth, int* depth_count) {
  if (node < code.symbol_count) {
    ++depth_count[depth < kMaxCodeLength ? depth : kMaxCodeLength];
    return;
  }
  count_depths(code, code.left_child[node], depth + 1, depth_count);
  count_depths(code, code.right_child[node], depth + 1, depth_count);
}

// Moves leaves up from depth 16 until the lengths form a complete code again.
void limit_depths(int* depth_count) {
  std::uint32_t sum = 0;
  for (int d = 1; d <= kMaxCodeLength; ++d) {
    sum += static_cast<std::uint32_t>(depth_count[d]) << (kMaxCodeLength - d);
  }
  while (sum != (1u << kMaxCodeLength)) {
    --depth_count[kMaxCodeLength];
    for (int d = kMaxCodeLength - 1; d > 0; --d) {
      if (depth_count[d] != 0) {
        --depth_count[d];
        depth_count[d + 1] += 2;
        break;
      }
    }
    --sum;
  }
}

// Hands out the lengths: the rarest leaves (first in `order`) get the longest.
void assign_lengths(const HuffmanArrays& code, const std::uint16_t* order,
                    const int* depth_count) {
  int cursor = 0;
  for (int d = kMaxCodeLength; d > 0; --d) {
    for (int k = 0; k < depth_count[d]; ++k) {
      code.lengths[order[cursor++]] = static_cast<std::uint8_t>(d);
    }
  }
}

// Canonical code words: shorter codes first, lower symbols first within a length.
void assign_codes(const HuffmanArrays& code, const int* depth_count) {
  std::uint16_t start[kMaxCodeLength + 2] = {};
  for (int d = 1; d <= kMaxCodeLength; ++d) {
    start[d + 1] = static_cast<std::uint16_t>((start[d] + depth_count[d]) << 1);
  }
  for (int x = 0; x < code.symbol_count; ++x) {
    const int length = code.lengths[x];
    if (length != 0) code.codes[x] = start[length]++;
  }
}

}  // namespace

int tree_build(const HuffmanArrays& code) {
  const int m = code.symbol_count;
  Heap heap;
  for (int x = 0; x < m; ++x) {
    code.lengths[x] = 0;
    if (code.freq[x] != 0) heap.entries[++heap.size] = static_cast<std::uint16_t>(x);
  }
  if (heap.size < 2) {
    code.codes[heap.entries[1]] = 0;
    return heap.entries[1];
  }
  for (int i = heap.size / 2; i >= 1; --i) heap_down(heap, code.freq, i);

  // The leaf order (rarest first) is kept in the code array until the codes replace it.
  std::uint16_t* order = code.codes;
  int leaves = 0;
  int node = m;
  while (heap.size > 1) {
    const int i = heap.entries[1];
    if (i < m) order[leaves++] = static_cast<std::uint16_t>(i);
    heap.entries[1] = heap.entries[heap.size--];
    heap_down(heap, code.freq, 1);
    const int j = heap.entries[1];
    if (j < m) order[leaves++] = static_cast<std::uint16_t>(j);
    code.freq[node] = static_cast<std::uint16_t>(code.freq[i] + code.freq[j]);
    heap.entries[1] = static_cast<std::uint16_t>(node);
    heap_down(heap, code.freq, 1);
    code.left_child[node] = static_cast<std::uint16_t>(i);
    code.right_child[node] = static_cast<std::uint16_t>(j);
    ++node;
  }
  const int root = node - 1;

  int depth_count[kMaxCodeLength + 1] = {};
  count_depths(code, root, 0, depth_count);
  limit_depths(depth_count);
  // assign_lengths reads `order` before assign_codes overwrites the same array.
  assign_lengths(code, order, depth_count);
  assign_codes(code, depth_count);
  return root;
}

}  // namespace telo
