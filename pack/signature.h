#pragma once

// The cryptography of signing, all of it libsodium's: Ed25519 keys, the
// BLAKE2b-512 hash of a whole file that a signature covers (minisign's
// prehashed "ED" signatures), the global signature over the signature and
// its trusted comment, and the scrypt sealing of secret key files.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pack/minisign_format.h"

namespace telo {

using FileHash = std::array<std::uint8_t, 64>;

// An Ed25519 secret key with its key id, wiped when it goes.
struct SecretKey {
  KeyId key_id{};
  std::array<std::uint8_t, 64> key{};  // 32 secret bytes, then the 32 bytes of the public key

  SecretKey() = default;
  ~SecretKey();
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;
};

struct ScryptCost {
  std::uint64_t opslimit = 0;
  std::uint64_t memlimit = 0;
};

// What new keys use, as minisign does: scrypt's "sensitive" limits (1 GiB).
ScryptCost sensitive_scrypt_cost();
// scrypt's "interactive" limits (16 MiB): for test keys only.
ScryptCost interactive_scrypt_cost();

// Starts libsodium; false (with `fault`) when it cannot.
bool start_crypto(std::string* fault);

void generate_secret_key(SecretKey* key);
MinisignPublicKey public_key_of(const SecretKey& key);

// The key file for `key`: sealed with scrypt(passphrase) when one is given.
bool seal_secret_key(const SecretKey& key, std::optional<std::string_view> passphrase, ScryptCost cost,
                     MinisignSecretKeyFile* file, std::string* fault);
// The key from its file; a wrong passphrase shows as a checksum that fails.
bool open_secret_key(const MinisignSecretKeyFile& file, std::string_view passphrase, SecretKey* key,
                     std::string* fault);

// BLAKE2b-512 of everything `fd` reads from its start.
bool hash_file(int fd, FileHash* hash, std::string* fault);

MinisignSignatureFile sign_hash(const SecretKey& key, const FileHash& hash, std::string untrusted_comment,
                                std::string trusted_comment);

enum class SignatureCheck {
  kGood,
  kLegacy,           // a signature over the raw file ("Ed"), which is not taken
  kOtherKey,         // another key id, and the signature does not match this key
  kKeyIdMismatch,    // the signature matches this key, but the key ids differ
  kFileMismatch,     // same key id, but the signature does not match the file
  kCommentMismatch,  // the file matches, the trusted comment does not
};

SignatureCheck check_signature(const MinisignPublicKey& key, const MinisignSignatureFile& signature,
                               const FileHash& hash);

}  // namespace telo
