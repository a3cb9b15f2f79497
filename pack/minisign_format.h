#pragma once

// Keys and signatures as minisign writes them, so that a release signed here
// verifies with minisign and the other way round. Each file is text: an
// "untrusted comment: " line, then one line of base64 (a signature adds a
// "trusted comment: " line and the base64 of its global signature).
// Only the layout lives here; the cryptography is in pack/signature.h.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace telo {

using KeyId = std::array<std::uint8_t, 8>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

inline constexpr std::size_t kKeynumSkSize = 8 + 64 + 32;  // key id, secret key, checksum

struct MinisignPublicKey {
  KeyId key_id{};
  std::array<std::uint8_t, 32> key{};
};

// A secret key file as stored: keynum_sk is still XORed with the scrypt
// output when `encrypted` holds.
struct MinisignSecretKeyFile {
  bool encrypted = false;
  std::array<std::uint8_t, 32> kdf_salt{};
  std::uint64_t kdf_opslimit = 0;
  std::uint64_t kdf_memlimit = 0;
  std::array<std::uint8_t, kKeynumSkSize> keynum_sk{};
};

struct MinisignSignatureFile {
  std::string untrusted_comment;   // without its prefix
  bool prehashed = true;           // "ED" (BLAKE2b-512 of the file); false: legacy "Ed"
  KeyId key_id{};
  Ed25519Signature signature{};
  std::string trusted_comment;     // without its prefix
  Ed25519Signature global_signature{};
};

// The key id as minisign shows it: the 8 bytes as a little-endian number
// in upper-case hex.
std::string key_id_text(const KeyId& key_id);

// Each parser returns false with `fault` saying what is wrong.
bool parse_public_key(std::string_view text, MinisignPublicKey* key, std::string* fault);
bool parse_secret_key(std::string_view text, MinisignSecretKeyFile* key, std::string* fault);
bool parse_signature(std::string_view text, MinisignSignatureFile* signature, std::string* fault);

std::string format_public_key(const MinisignPublicKey& key);
std::string format_secret_key(const MinisignSecretKeyFile& key);
std::string format_signature(const MinisignSignatureFile& signature);

}  // namespace telo
