#pragma once

// Key pairs in minisign's files: making one, and loading either half.

#include <string>

#include "pack/minisign_format.h"
#include "pack/signature.h"

namespace telo {

struct KeygenOptions {
  std::string public_path;
  std::string secret_path;
  bool with_passphrase = true;   // else the secret key is stored as it is
  bool force = false;            // replace existing key files
  bool test_cost = false;        // scrypt's cheap "interactive" limits: for tests only
};

// Makes a key pair and writes both files (the secret one mode 0600).
// Returns 0, or 1 after reporting on standard error.
int generate_key_files(const KeygenOptions& options);

// Loads the secret key at `path`, asking for its passphrase when it has
// one. Reports on standard error when it cannot.
bool load_secret_key(const std::string& path, SecretKey* key);

// Reports on standard error when `path` holds no public key.
bool load_public_key(const std::string& path, MinisignPublicKey* key);

}  // namespace telo
