#include "tests/codec/stream_writer.h"

#include <algorithm>
#include <bit>
#include <cassert>

#include "codec/codec.h"

namespace telo::testing {

CodeSpec single_symbol_code(int symbol) {
  CodeSpec code;
  code.single = symbol;
  return code;
}

CodeSpec counted_code(std::vector<std::uint8_t> lengths) {
  CodeSpec code;
  code.lengths = std::move(lengths);
  std::uint32_t start[18] = {};
  int count[17] = {};
  for (std::uint8_t length : code.lengths) ++count[length];
  count[0] = 0;
  for (int j = 1; j <= 16; ++j) start[j + 1] = (start[j] + count[j]) << 1;
  code.codes.resize(code.lengths.size());
  for (std::size_t s = 0; s < code.lengths.size(); ++s) {
    if (code.lengths[s] != 0) code.codes[s] = start[code.lengths[s]]++;
  }
  return code;
}

CodeSpec random_code(std::mt19937& rng, const std::vector<int>& used, int alphabet) {
  assert(!used.empty());
  if (used.size() == 1) return single_symbol_code(used[0]);
  // Split leaves of a complete tree until there is one per used symbol.
  std::vector<int> depths{0};
  while (depths.size() < used.size()) {
    std::size_t pick = rng() % depths.size();
    if (rng() % 4 == 0) pick = std::max_element(depths.begin(), depths.end()) - depths.begin();
    if (depths[pick] >= 16) pick = std::min_element(depths.begin(), depths.end()) - depths.begin();
    const int depth = ++depths[pick];
    depths.push_back(depth);
  }
  std::shuffle(depths.begin(), depths.end(), rng);
  std::vector<std::uint8_t> lengths(static_cast<std::size_t>(alphabet), 0);
  for (std::size_t i = 0; i < used.size(); ++i) lengths[used[i]] = static_cast<std::uint8_t>(depths[i]);
  return counted_code(std::move(lengths));
}

void put_code(BitWriter& w, const CodeSpec& code, int symbol) {
  if (code.single >= 0) {
    assert(symbol == code.single);
    return;
  }
  assert(code.lengths[symbol] != 0);
  w.put(code.lengths[symbol], code.codes[symbol]);
}

void put_length(BitWriter& w, int length) {
  if (length <= 6) {
    w.put(3, static_cast<std::uint32_t>(length));
  } else {
    w.put(length - 3, (1u << (length - 3)) - 2);
  }
}

void put_small_code(BitWriter& w, const CodeSpec& code, int count_width, int zero_run_index) {
  if (code.single >= 0) {
    w.put(count_width, 0);
    w.put(count_width, static_cast<std::uint32_t>(code.single));
    return;
  }
  const auto& lengths = code.lengths;
  int n = static_cast<int>(lengths.size());
  while (n > 0 && lengths[n - 1] == 0) --n;
  w.put(count_width, static_cast<std::uint32_t>(n));
  int i = 0;
  while (i < n) {
    put_length(w, lengths[i++]);
    if (i == zero_run_index) {
      int zeros = 0;
      while (zeros < 3 && i + zeros < static_cast<int>(lengths.size()) && lengths[i + zeros] == 0) ++zeros;
      w.put(2, static_cast<std::uint32_t>(zeros));
      i += zeros;
    }
  }
}

std::vector<LengthToken> length_tokens(const std::vector<std::uint8_t>& symbol_lengths) {
  int n = static_cast<int>(symbol_lengths.size());
  while (n > 0 && symbol_lengths[n - 1] == 0) --n;
  std::vector<LengthToken> tokens;
  int i = 0;
  while (i < n) {
    if (symbol_lengths[i] != 0) {
      tokens.push_back({symbol_lengths[i] + 2, 0, 0});
      ++i;
      continue;
    }
    int run = 0;
    while (i + run < n && symbol_lengths[i + run] == 0) ++run;
    run = std::min(run, 531);
    if (run <= 2) {
      tokens.push_back({0, 0, 0});
      run = 1;
    } else if (run <= 18) {
      tokens.push_back({1, 4, static_cast<std::uint32_t>(run - 3)});
    } else if (run == 19) {
      tokens.push_back({1, 4, 15});
      run = 18;
    } else {
      tokens.push_back({2, 9, static_cast<std::uint32_t>(run - 20)});
    }
    i += run;
  }
  return tokens;
}

void put_symbol_code(BitWriter& w, const CodeSpec& symbols, const CodeSpec& length_code) {
  if (symbols.single >= 0) {
    w.put(9, 0);
    w.put(9, static_cast<std::uint32_t>(symbols.single));
    return;
  }
  int n = static_cast<int>(symbols.lengths.size());
  while (n > 0 && symbols.lengths[n - 1] == 0) --n;
  w.put(9, static_cast<std::uint32_t>(n));
  for (const LengthToken& token : length_tokens(symbols.lengths)) {
    put_code(w, length_code, token.symbol);
    w.put(token.extra_bits, token.extra);
  }
}

int offset_class(int offset) { return std::bit_width(static_cast<unsigned>(offset)); }

namespace {

int item_symbol(const Item& item) { return item.length == 0 ? item.literal : item.length + 253; }

std::vector<int> used_symbols(const std::vector<int>& counts) {
  std::vector<int> used;
  for (std::size_t s = 0; s < counts.size(); ++s) {
    if (counts[s] != 0) used.push_back(static_cast<int>(s));
  }
  return used;
}

}  // namespace

Block make_block(std::mt19937& rng, std::vector<Item> items) {
  Block block;
  block.size = static_cast<std::uint32_t>(items.size());
  std::vector<int> symbol_counts(kSymbolCodeSize, 0);
  std::vector<int> class_counts(kOffsetCodeSize, 0);
  for (const Item& item : items) {
    ++symbol_counts[item_symbol(item)];
    if (item.length != 0) ++class_counts[offset_class(item.offset)];
  }
  std::vector<int> used = used_symbols(symbol_counts);
  if (used.empty()) used.push_back(0);
  block.symbols = random_code(rng, used, kSymbolCodeSize);
  std::vector<int> classes = used_symbols(class_counts);
  if (classes.empty()) classes.push_back(0);
  block.offsets = random_code(rng, classes, kOffsetCodeSize);
  std::vector<int> token_counts(kLengthCodeSize, 0);
  if (block.symbols.single < 0) {
    for (const LengthToken& token : length_tokens(block.symbols.lengths)) ++token_counts[token.symbol];
  }
  std::vector<int> tokens = used_symbols(token_counts);
  if (tokens.empty()) tokens.push_back(0);
  block.length_code = random_code(rng, tokens, kLengthCodeSize);
  block.items = std::move(items);
  return block;
}

void put_block_header(BitWriter& w, const Block& block) {
  w.put(16, block.size);
  put_small_code(w, block.length_code, 5, 3);
  put_symbol_code(w, block.symbols, block.length_code);
  put_small_code(w, block.offsets, 4, 0);
}

void put_item(BitWriter& w, const Block& block, const Item& item) {
  put_code(w, block.symbols, item_symbol(item));
  if (item.length == 0) return;
  const int q = offset_class(item.offset);
  put_code(w, block.offsets, q);
  if (q > 1) w.put(q - 1, static_cast<std::uint32_t>(item.offset) - (1u << (q - 1)));
}

void put_block(BitWriter& w, const Block& block) {
  put_block_header(w, block);
  for (const Item& item : block.items) put_item(w, block, item);
}

std::vector<std::uint8_t> expand(const std::vector<Block>& blocks) {
  std::vector<std::uint8_t> out;
  for (const Block& block : blocks) {
    for (const Item& item : block.items) {
      if (item.length == 0) {
        out.push_back(item.literal);
        continue;
      }
      for (int k = 0; k < item.length; ++k) {
        const std::ptrdiff_t from = static_cast<std::ptrdiff_t>(out.size()) - item.offset - 1;
        out.push_back(from < 0 ? 0 : out[static_cast<std::size_t>(from)]);
      }
    }
  }
  return out;
}

std::vector<Item> random_items(std::mt19937& rng, int count) {
  static constexpr char kText[] = "the quick brown fox jumps over the lazy dog, ";
  std::vector<Item> items;
  for (int i = 0; i < count; ++i) {
    const unsigned roll = rng() % 16;
    if (roll < 9) {
      items.push_back(literal(roll < 7 ? static_cast<std::uint8_t>(kText[rng() % (sizeof kText - 1)])
                                       : static_cast<std::uint8_t>(rng())));
      continue;
    }
    int length = 3 + static_cast<int>(rng() % (roll == 15 ? 254 : 20));
    int offset = static_cast<int>(rng() % (roll >= 13 ? 8192 : 64));
    items.push_back(match(length, offset));
  }
  return items;
}

}  // namespace telo::testing
