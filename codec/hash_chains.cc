#include "codec/hash_chains.h"

#include <cstring>

namespace telo {

void hash_chains_reset(HashChains& hc) {
  std::memset(hc.head, 0, sizeof hc.head);
  std::memset(hc.prev, 0, sizeof hc.prev);
}

namespace {
void rebase(std::uint32_t* entries, int count, std::uint32_t shift) {
  for (int i = 0; i < count; ++i) {
    entries[i] = entries[i] >= shift + kWindowSize ? entries[i] - shift : 0;
  }
}
}  // namespace

void hash_chains_rebase(HashChains& hc, std::uint32_t shift) {
  rebase(hc.head, 1 << kHashChainBits, shift);
  rebase(hc.prev, kWindowSize, shift);
}

}  // namespace telo
