#include "pack/minisign_format.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

namespace telo {

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::size_t kPublicKeySize = 2 + 8 + 32;
constexpr std::size_t kSecretKeySize = 2 + 2 + 2 + 32 + 8 + 8 + kKeynumSkSize;
constexpr std::size_t kSignatureSize = 2 + 8 + 64;
// minisign's own limits on a comment line; longer ones are not its files.
constexpr std::size_t kMaxCommentLine = 8192;
// Bounds on the scrypt cost a key file may ask for: minisign's new keys ask
// 32 Mi operations and 1 GiB; far more than that is a damaged or hostile file.
constexpr std::uint64_t kMaxOpslimit = std::uint64_t{1} << 32;
constexpr std::uint64_t kMaxMemlimit = std::uint64_t{4} << 30;

// The file's lines without their line ends ("\n" or "\r\n").
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// Decodes `line` into exactly `want` bytes.
bool decode_line(std::string_view line, std::size_t want, std::vector<std::uint8_t>* out, std::string* fault) {
  // Room for any of the three kinds, so that one given for another is named by its size.
  std::vector<std::uint8_t> bytes(1024);
  std::size_t length = 0;
  const char* end = nullptr;
  if (line.size() > 4 * bytes.size() / 3) {
    *fault = "its key or signature line is too long (" + std::to_string(line.size()) + " characters)";
    return false;
  }
  if (sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != line.data() + line.size()) {
    *fault = "its key or signature line is not valid base64";
    return false;
  }
  if (length != want) {
    *fault = "its key or signature line holds " + std::to_string(length) + " bytes where " + std::to_string(want) +
             " belong";
    return false;
  }
  bytes.resize(length);
  *out = std::move(bytes);
  return true;
}

std::string encode(std::span<const std::uint8_t> bytes) {
  std::vector<char> text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL));
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  std::string line = text.data();
  // The buffer may have held a secret key without a passphrase.
  sodium_memzero(text.data(), text.size());
  return line;
}

bool take_comment(std::string_view line, std::string_view prefix, std::string* comment, std::string* fault) {
  if (line.substr(0, prefix.size()) != prefix) {
    *fault = "a line that should start \"" + std::string(prefix) + "\" does not";
    return false;
  }
  if (line.size() > kMaxCommentLine) {
    *fault = "a comment line is longer than " + std::to_string(kMaxCommentLine) + " characters";
    return false;
  }
  if (comment != nullptr) *comment = std::string(line.substr(prefix.size()));
  return true;
}

bool check_line_count(const std::vector<std::string_view>& lines, std::size_t want, std::string* fault) {
  if (lines.size() >= want) return true;
  *fault = "it has " + std::to_string(lines.size()) + " lines where " + std::to_string(want) + " belong";
  return false;
}

bool algorithm_is(const std::uint8_t* at, std::string_view name) { return std::memcmp(at, name.data(), 2) == 0; }

std::string algorithm_name(const std::uint8_t* at) {
  std::string name;
  for (int i = 0; i < 2; ++i) {
    char c = static_cast<char>(at[i]);
    if (c >= 0x21 && c <= 0x7E) {
      name += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", at[i]);
      name += hex;
    }
  }
  return name;
}

std::uint64_t load_le64(const std::uint8_t* at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

void store_le64(std::uint8_t* at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A key file: an untrusted comment line, then the key's `size` bytes in base64.
bool decode_key_file(std::string_view text, std::size_t size, std::vector<std::uint8_t>* bytes, std::string* fault) {
  std::vector<std::string_view> lines = split_lines(text);
  return check_line_count(lines, 2, fault) && take_comment(lines[0], kUntrustedPrefix, nullptr, fault) &&
         decode_line(lines[1], size, bytes, fault);
}

}  // namespace

std::string key_id_text(const KeyId& key_id) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(load_le64(key_id.data())));
  return text;
}

bool parse_public_key(std::string_view text, MinisignPublicKey* key, std::string* fault) {
  std::vector<std::uint8_t> bytes;
  if (!decode_key_file(text, kPublicKeySize, &bytes, fault)) return false;
  if (!algorithm_is(bytes.data(), "Ed")) {
    *fault = "its algorithm is \"" + algorithm_name(bytes.data()) + "\", not Ed25519 (\"Ed\")";
    return false;
  }
  std::copy_n(bytes.begin() + 2, 8, key->key_id.begin());
  std::copy_n(bytes.begin() + 10, 32, key->key.begin());
  return true;
}

bool parse_secret_key(std::string_view text, MinisignSecretKeyFile* key, std::string* fault) {
  std::vector<std::uint8_t> bytes;
  if (!decode_key_file(text, kSecretKeySize, &bytes, fault)) return false;
  const std::uint8_t* at = bytes.data();
  const bool none = at[2] == 0 && at[3] == 0;
  if (!algorithm_is(at, "Ed") || !(algorithm_is(at + 2, "Sc") || none) || !algorithm_is(at + 4, "B2")) {
    *fault = "its algorithms are \"" + algorithm_name(at) + "\", \"" + algorithm_name(at + 2) + "\" and \"" +
             algorithm_name(at + 4) + "\", not Ed25519 (\"Ed\"), scrypt (\"Sc\" or none) and BLAKE2b (\"B2\")";
    sodium_memzero(bytes.data(), bytes.size());
    return false;
  }
  key->encrypted = !none;
  std::copy_n(at + 6, 32, key->kdf_salt.begin());
  key->kdf_opslimit = load_le64(at + 38);
  key->kdf_memlimit = load_le64(at + 46);
  std::copy_n(at + 54, kKeynumSkSize, key->keynum_sk.begin());
  sodium_memzero(bytes.data(), bytes.size());
  if (key->encrypted && (key->kdf_opslimit == 0 || key->kdf_opslimit > kMaxOpslimit || key->kdf_memlimit == 0 ||
                         key->kdf_memlimit > kMaxMemlimit)) {
    *fault = "its scrypt cost (" + std::to_string(key->kdf_opslimit) + " operations, " +
             std::to_string(key->kdf_memlimit) + " bytes) is out of bounds";
    return false;
  }
  return true;
}

bool parse_signature(std::string_view text, MinisignSignatureFile* signature, std::string* fault) {
  std::vector<std::string_view> lines = split_lines(text);
  std::vector<std::uint8_t> bytes, global;
  if (!check_line_count(lines, 4, fault) ||
      !take_comment(lines[0], kUntrustedPrefix, &signature->untrusted_comment, fault) ||
      !decode_line(lines[1], kSignatureSize, &bytes, fault) ||
      !take_comment(lines[2], kTrustedPrefix, &signature->trusted_comment, fault) ||
      !decode_line(lines[3], 64, &global, fault))
    return false;
  if (!algorithm_is(bytes.data(), "ED") && !algorithm_is(bytes.data(), "Ed")) {
    *fault = "its algorithm is \"" + algorithm_name(bytes.data()) + "\", not Ed25519 (\"ED\" or \"Ed\")";
    return false;
  }
  signature->prehashed = algorithm_is(bytes.data(), "ED");
  std::copy_n(bytes.begin() + 2, 8, signature->key_id.begin());
  std::copy_n(bytes.begin() + 10, 64, signature->signature.begin());
  std::copy_n(global.begin(), 64, signature->global_signature.begin());
  return true;
}

std::string format_public_key(const MinisignPublicKey& key) {
  std::vector<std::uint8_t> bytes{'E', 'd'};
  bytes.insert(bytes.end(), key.key_id.begin(), key.key_id.end());
  bytes.insert(bytes.end(), key.key.begin(), key.key.end());
  return std::string(kUntrustedPrefix) + "minisign public key " + key_id_text(key.key_id) + "\n" + encode(bytes) +
         "\n";
}

std::string format_secret_key(const MinisignSecretKeyFile& key) {
  std::array<std::uint8_t, kSecretKeySize> bytes{'E', 'd'};
  bytes[2] = key.encrypted ? 'S' : 0;
  bytes[3] = key.encrypted ? 'c' : 0;
  bytes[4] = 'B';
  bytes[5] = '2';
  std::copy(key.kdf_salt.begin(), key.kdf_salt.end(), bytes.begin() + 6);
  store_le64(bytes.data() + 38, key.kdf_opslimit);
  store_le64(bytes.data() + 46, key.kdf_memlimit);
  std::copy(key.keynum_sk.begin(), key.keynum_sk.end(), bytes.begin() + 54);
  std::string text = std::string(kUntrustedPrefix) +
                     (key.encrypted ? "minisign encrypted secret key" : "minisign secret key without a passphrase") +
                     "\n" + encode(bytes) + "\n";
  sodium_memzero(bytes.data(), bytes.size());
  return text;
}

std::string format_signature(const MinisignSignatureFile& signature) {
  std::vector<std::uint8_t> bytes{'E', signature.prehashed ? std::uint8_t{'D'} : std::uint8_t{'d'}};
  bytes.insert(bytes.end(), signature.key_id.begin(), signature.key_id.end());
  bytes.insert(bytes.end(), signature.signature.begin(), signature.signature.end());
  return std::string(kUntrustedPrefix) + signature.untrusted_comment + "\n" + encode(bytes) + "\n" +
         std::string(kTrustedPrefix) + signature.trusted_comment + "\n" + encode(signature.global_signature) + "\n";
}

}  // namespace telo
