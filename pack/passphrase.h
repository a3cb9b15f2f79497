#pragma once

// The passphrase of a secret key: typed at the terminal without echo, or,
// when standard input is not a terminal (a CI job piping it from its secret
// store), the first line of standard input. It is held in a fixed buffer
// that is wiped when it goes, so no copy is left behind in freed memory.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace telo {

struct Passphrase {
  std::array<char, 1024> bytes{};
  std::size_t size = 0;

  Passphrase() = default;
  ~Passphrase();
  Passphrase(const Passphrase&) = delete;
  Passphrase& operator=(const Passphrase&) = delete;
  std::string_view text() const { return {bytes.data(), size}; }
};

// Asks with `prompt` on standard error when standard input is a terminal;
// `confirm` asks a second time there and wants the same answer. Returns
// false with `fault` set (no line at all, a line too long, a mismatch).
bool read_passphrase(std::string_view prompt, bool confirm, Passphrase* passphrase, std::string* fault);

}  // namespace telo
