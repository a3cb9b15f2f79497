#include "codec/hash_chains.h"

#include <cstring>

namespace telo {

void hash_chains_reset(HashChains& hc) {
  std::memset(hc.head, 0, sizeof hc.head);
  std::memset(hc.prev, 0, sizeof hc.prev);
}

void hash_chains_rebase(HashChains& hc, std::uint32_t shift) {
  rebase_coordinates(hc.head, 1 << kHashChainBits, shift);
  rebase_coordinates(hc.prev, kWindowSize, shift);
}

}  // namespace telo
