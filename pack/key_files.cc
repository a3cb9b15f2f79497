#include "pack/key_files.h"

#include <sodium.h>
#include <sys/stat.h>

#include <cstdio>
#include <optional>

#include "pack/passphrase.h"
#include "pack/report.h"
#include "pack/small_file.h"

namespace telo {

namespace {

constexpr std::size_t kMaxKeyFileSize = 64 * 1024;

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

bool check_not_there(const KeygenOptions& options) {
  if (options.force) return true;
  for (const std::string* path : {&options.public_path, &options.secret_path}) {
    if (!exists(*path)) continue;
    pack_error("%s: already exists; give --force to replace it (a replaced secret key cannot sign for its old "
               "public key again)",
               path->c_str());
    return false;
  }
  return true;
}

bool ask_new_passphrase(Passphrase* passphrase) {
  std::string fault;
  if (!read_passphrase("Passphrase for the new secret key: ", true, passphrase, &fault)) {
    pack_error("%s", fault.c_str());
    return false;
  }
  if (passphrase->size == 0) {
    pack_error("an empty passphrase protects nothing: give a passphrase, or --without-passphrase for a key kept "
               "in a secret store");
    return false;
  }
  return true;
}

bool write_secret_key_file(const KeygenOptions& options, const SecretKey& key, const Passphrase& passphrase) {
  MinisignSecretKeyFile file;
  std::string fault;
  std::optional<std::string_view> sealing;
  if (options.with_passphrase) sealing = passphrase.text();
  const ScryptCost cost = options.test_cost ? interactive_scrypt_cost() : sensitive_scrypt_cost();
  if (!seal_secret_key(key, sealing, cost, &file, &fault)) {
    pack_error("%s: %s", options.secret_path.c_str(), fault.c_str());
    return false;
  }
  std::string text = format_secret_key(file);
  sodium_memzero(file.keynum_sk.data(), file.keynum_sk.size());
  const bool written = write_small_file(options.secret_path, text, 0600);
  sodium_memzero(text.data(), text.size());
  return written;
}

}  // namespace

int generate_key_files(const KeygenOptions& options) {
  std::string fault;
  if (!start_crypto(&fault)) {
    pack_error("%s", fault.c_str());
    return 1;
  }
  if (!check_not_there(options)) return 1;
  Passphrase passphrase;
  if (options.with_passphrase && !ask_new_passphrase(&passphrase)) return 1;
  SecretKey key;
  generate_secret_key(&key);
  // The secret half first: a public key without its secret one is of no use.
  if (!write_secret_key_file(options, key, passphrase)) return 1;
  const MinisignPublicKey pub = public_key_of(key);
  if (!write_small_file(options.public_path, format_public_key(pub), 0644)) return 1;
  std::printf("key ID %s\npublic key: %s (publish it; verify with telo-pack verify --key %s INSTALLER)\n"
              "secret key: %s (%s)\n",
              key_id_text(pub.key_id).c_str(), options.public_path.c_str(), options.public_path.c_str(),
              options.secret_path.c_str(),
              options.with_passphrase ? "sealed with the passphrase" : "WITHOUT a passphrase: keep it in a secret store");
  return 0;
}

bool load_secret_key(const std::string& path, SecretKey* key) {
  std::string text, fault;
  MinisignSecretKeyFile file;
  if (!start_crypto(&fault)) {
    pack_error("%s", fault.c_str());
    return false;
  }
  if (!read_small_file(path, kMaxKeyFileSize, &text, &fault)) {
    pack_error("%s: cannot read the secret key: %s", path.c_str(), fault.c_str());
    return false;
  }
  const bool parsed = parse_secret_key(text, &file, &fault);
  sodium_memzero(text.data(), text.size());
  if (!parsed) {
    pack_error("%s: not a minisign secret key: %s", path.c_str(), fault.c_str());
    return false;
  }
  Passphrase passphrase;
  if (file.encrypted) {
    const std::string prompt = "Passphrase for " + path + ": ";
    if (!read_passphrase(prompt, false, &passphrase, &fault)) {
      pack_error("%s: %s", path.c_str(), fault.c_str());
      return false;
    }
  }
  const bool opened = open_secret_key(file, passphrase.text(), key, &fault);
  sodium_memzero(file.keynum_sk.data(), file.keynum_sk.size());
  if (!opened) pack_error("%s: %s", path.c_str(), fault.c_str());
  return opened;
}

bool load_public_key(const std::string& path, MinisignPublicKey* key) {
  std::string text, fault;
  if (!read_small_file(path, kMaxKeyFileSize, &text, &fault)) {
    pack_error("%s: cannot read the public key: %s", path.c_str(), fault.c_str());
    return false;
  }
  if (!parse_public_key(text, key, &fault)) {
    pack_error("%s: not a minisign public key: %s", path.c_str(), fault.c_str());
    return false;
  }
  return true;
}

}  // namespace telo
