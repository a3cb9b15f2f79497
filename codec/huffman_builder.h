#pragma once

// Huffman codes of the compressor: a tree built with a binary heap, depths
// limited to 16 bits, and canonical code words that the decoder's table
// builder reproduces from the lengths alone.

#include <cstdint>

namespace telo {

// The arrays one code is built in. `freq` has room for the 2m - 1 nodes of
// the tree (symbols first, then the nodes made), the child arrays likewise.
struct HuffmanArrays {
  int symbol_count = 0;            // m
  std::uint16_t* freq = nullptr;
  std::uint8_t* lengths = nullptr;
  std::uint16_t* codes = nullptr;
  std::uint16_t* left_child = nullptr;
  std::uint16_t* right_child = nullptr;
};

// Builds the code for the symbols of nonzero frequency and returns the root:
// a node number >= m when at least two symbols occur, otherwise the single
// symbol (or 0 when none occurs), whose length stays 0 and code word is 0.
int tree_build(const HuffmanArrays& code);

}  // namespace telo
