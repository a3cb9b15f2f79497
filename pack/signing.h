#pragma once

// Signatures of installers, kept beside them as INSTALLER.minisig in
// minisign's format: the installer itself is never changed, so it stays
// byte for byte what an unsigned build makes.

#include <string>

#include "pack/signature.h"

namespace telo {

std::string signature_path_of(const std::string& installer);

// Signs the whole file `installer` into INSTALLER.minisig (written beside
// and renamed into place). Reports on standard error when it cannot.
bool write_installer_signature(const SecretKey& key, const std::string& installer);

// telo-pack sign: loads the secret key (asking its passphrase) and signs.
// Returns 0, or 1 after reporting on standard error.
int sign_installer(const std::string& secret_path, const std::string& installer);

// Checks `signature_path` against `installer` with the public key at
// `public_path`, reading the installer only to hash it. Prints the key id
// and trusted comment when the signature is good and returns 0; else names
// what is wrong on standard error and returns 1.
int check_installer_signature(const std::string& public_path, const std::string& installer,
                              const std::string& signature_path);

}  // namespace telo
