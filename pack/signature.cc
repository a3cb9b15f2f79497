#include "pack/signature.h"

#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <vector>

namespace telo {

namespace {

constexpr std::uint8_t kSignatureAlgorithm[2] = {'E', 'd'};

// The checksum a secret key file keeps: BLAKE2b-256 of the algorithm, key
// id and secret key, which tells a wrong passphrase from a right one.
std::array<std::uint8_t, 32> key_checksum(const KeyId& key_id, std::span<const std::uint8_t, 64> secret) {
  std::array<std::uint8_t, 32> sum{};
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, sum.size());
  crypto_generichash_update(&state, kSignatureAlgorithm, sizeof kSignatureAlgorithm);
  crypto_generichash_update(&state, key_id.data(), key_id.size());
  crypto_generichash_update(&state, secret.data(), secret.size());
  crypto_generichash_final(&state, sum.data(), sum.size());
  sodium_memzero(&state, sizeof state);
  return sum;
}

// XORs `keynum_sk` with scrypt(passphrase, salt) under the file's cost, as
// minisign does (which makes sealing and opening the same step).
bool apply_scrypt(std::string_view passphrase, const MinisignSecretKeyFile& file,
                  std::array<std::uint8_t, kKeynumSkSize>* keynum_sk, std::string* fault) {
  std::array<std::uint8_t, kKeynumSkSize> stream{};
  if (crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), passphrase.data(), passphrase.size(),
                                         file.kdf_salt.data(), file.kdf_opslimit,
                                         static_cast<std::size_t>(file.kdf_memlimit)) != 0) {
    *fault = "scrypt failed (" + std::to_string(file.kdf_memlimit >> 20) + " MiB asked: out of memory?)";
    return false;
  }
  for (std::size_t i = 0; i < stream.size(); ++i) (*keynum_sk)[i] ^= stream[i];
  sodium_memzero(stream.data(), stream.size());
  return true;
}

}  // namespace

SecretKey::~SecretKey() { sodium_memzero(key.data(), key.size()); }

ScryptCost sensitive_scrypt_cost() {
  return {crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE, crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE};
}

ScryptCost interactive_scrypt_cost() {
  return {crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_INTERACTIVE,
          crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_INTERACTIVE};
}

bool start_crypto(std::string* fault) {
  if (sodium_init() >= 0) return true;
  *fault = "libsodium cannot start";
  return false;
}

void generate_secret_key(SecretKey* key) {
  std::array<std::uint8_t, 32> public_key{};
  randombytes_buf(key->key_id.data(), key->key_id.size());
  crypto_sign_keypair(public_key.data(), key->key.data());
}

MinisignPublicKey public_key_of(const SecretKey& key) {
  MinisignPublicKey pub;
  pub.key_id = key.key_id;
  std::copy(key.key.begin() + 32, key.key.end(), pub.key.begin());
  return pub;
}

bool seal_secret_key(const SecretKey& key, std::optional<std::string_view> passphrase, ScryptCost cost,
                     MinisignSecretKeyFile* file, std::string* fault) {
  file->encrypted = passphrase.has_value();
  std::array<std::uint8_t, 32> sum = key_checksum(key.key_id, key.key);
  std::copy(key.key_id.begin(), key.key_id.end(), file->keynum_sk.begin());
  std::copy(key.key.begin(), key.key.end(), file->keynum_sk.begin() + 8);
  std::copy(sum.begin(), sum.end(), file->keynum_sk.begin() + 72);
  if (!passphrase) {
    file->kdf_salt.fill(0);
    file->kdf_opslimit = file->kdf_memlimit = 0;
    return true;
  }
  randombytes_buf(file->kdf_salt.data(), file->kdf_salt.size());
  file->kdf_opslimit = cost.opslimit;
  file->kdf_memlimit = cost.memlimit;
  return apply_scrypt(*passphrase, *file, &file->keynum_sk, fault);
}

bool open_secret_key(const MinisignSecretKeyFile& file, std::string_view passphrase, SecretKey* key,
                     std::string* fault) {
  std::array<std::uint8_t, kKeynumSkSize> keynum_sk = file.keynum_sk;
  if (file.encrypted && !apply_scrypt(passphrase, file, &keynum_sk, fault)) return false;
  std::copy_n(keynum_sk.begin(), 8, key->key_id.begin());
  std::copy_n(keynum_sk.begin() + 8, 64, key->key.begin());
  std::array<std::uint8_t, 32> sum = key_checksum(key->key_id, key->key);
  // minisign 0.11 leaves the checksum zero in keys without a passphrase.
  const bool zero_sum = std::all_of(keynum_sk.begin() + 72, keynum_sk.end(), [](std::uint8_t b) { return b == 0; });
  const bool sum_ok = sodium_memcmp(sum.data(), keynum_sk.data() + 72, sum.size()) == 0;
  sodium_memzero(keynum_sk.data(), keynum_sk.size());
  if (sum_ok || (!file.encrypted && zero_sum)) return true;
  *fault = file.encrypted ? "wrong passphrase for this key (its checksum does not match)"
                          : "the key is damaged (its checksum does not match)";
  return false;
}

bool hash_file(int fd, FileHash* hash, std::string* fault) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, hash->size());
  std::vector<std::uint8_t> buffer(1 << 16);
  for (off_t offset = 0;;) {
    ssize_t n = ::pread(fd, buffer.data(), buffer.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *fault = std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    crypto_generichash_update(&state, buffer.data(), static_cast<std::size_t>(n));
    offset += n;
  }
  crypto_generichash_final(&state, hash->data(), hash->size());
  return true;
}

MinisignSignatureFile sign_hash(const SecretKey& key, const FileHash& hash, std::string untrusted_comment,
                                std::string trusted_comment) {
  MinisignSignatureFile signature;
  signature.untrusted_comment = std::move(untrusted_comment);
  signature.trusted_comment = std::move(trusted_comment);
  signature.prehashed = true;
  signature.key_id = key.key_id;
  crypto_sign_detached(signature.signature.data(), nullptr, hash.data(), hash.size(), key.key.data());
  // The global signature binds the trusted comment to this signature.
  std::vector<std::uint8_t> global(signature.signature.begin(), signature.signature.end());
  global.insert(global.end(), signature.trusted_comment.begin(), signature.trusted_comment.end());
  crypto_sign_detached(signature.global_signature.data(), nullptr, global.data(), global.size(), key.key.data());
  return signature;
}

SignatureCheck check_signature(const MinisignPublicKey& key, const MinisignSignatureFile& signature,
                               const FileHash& hash) {
  if (!signature.prehashed) return SignatureCheck::kLegacy;
  const bool matches =
      crypto_sign_verify_detached(signature.signature.data(), hash.data(), hash.size(), key.key.data()) == 0;
  // Trying the key even when the ids differ tells another key from an id
  // that was changed in one of the two files.
  if (signature.key_id != key.key_id) return matches ? SignatureCheck::kKeyIdMismatch : SignatureCheck::kOtherKey;
  if (!matches) return SignatureCheck::kFileMismatch;
  std::vector<std::uint8_t> global(signature.signature.begin(), signature.signature.end());
  global.insert(global.end(), signature.trusted_comment.begin(), signature.trusted_comment.end());
  if (crypto_sign_verify_detached(signature.global_signature.data(), global.data(), global.size(), key.key.data()) !=
      0)
    return SignatureCheck::kCommentMismatch;
  return SignatureCheck::kGood;
}

}  // namespace telo
