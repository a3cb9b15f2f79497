#include "pack/signing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "pack/key_files.h"
#include "pack/report.h"
#include "pack/small_file.h"

namespace telo {

namespace {

constexpr std::size_t kMaxSignatureFileSize = 64 * 1024;

// The file's name for the trusted comment, which is one line.
std::string base_name(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (char& c : name)
    if (c == '\n' || c == '\r') c = '?';
  return name;
}

bool hash_installer(const std::string& installer, FileHash* hash) {
  int fd = ::open(installer.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    pack_error("%s: %s", installer.c_str(), std::strerror(errno));
    return false;
  }
  std::string fault;
  const bool hashed = hash_file(fd, hash, &fault);
  ::close(fd);
  if (!hashed) pack_error("%s: %s", installer.c_str(), fault.c_str());
  return hashed;
}

// Reads and parses the signature file, telling a missing one from a
// damaged one.
bool load_signature(const std::string& installer, const std::string& path, MinisignSignatureFile* signature) {
  std::string text, fault;
  bool missing = false;
  if (!read_small_file(path, kMaxSignatureFileSize, &text, &fault, &missing)) {
    if (missing)
      pack_error("%s: signature missing: there is no %s", installer.c_str(), path.c_str());
    else
      pack_error("%s: cannot read the signature file: %s", path.c_str(), fault.c_str());
    return false;
  }
  if (!parse_signature(text, signature, &fault)) {
    pack_error("%s: damaged signature file: %s", path.c_str(), fault.c_str());
    return false;
  }
  return true;
}

int report_check(SignatureCheck check, const MinisignPublicKey& key, const MinisignSignatureFile& signature,
                 const std::string& public_path, const std::string& installer, const std::string& path) {
  const std::string theirs = key_id_text(signature.key_id), ours = key_id_text(key.key_id);
  switch (check) {
    case SignatureCheck::kGood:
      std::printf("%s: signature good, key ID %s\ntrusted comment: %s\n", installer.c_str(), ours.c_str(),
                  signature.trusted_comment.c_str());
      return 0;
    case SignatureCheck::kLegacy:
      pack_error("%s: a legacy signature of the raw file (\"Ed\"), which is not taken: sign with telo-pack sign "
                 "or minisign 0.10 or later",
                 path.c_str());
      break;
    case SignatureCheck::kOtherKey:
      pack_error("%s: signature made with another key: key ID %s, not the key ID %s of %s", path.c_str(),
                 theirs.c_str(), ours.c_str(), public_path.c_str());
      break;
    case SignatureCheck::kKeyIdMismatch:
      pack_error("%s: key ID mismatch: the signature names key ID %s, %s has key ID %s, yet the signature "
                 "matches that key: one of the two files had its key ID changed",
                 path.c_str(), theirs.c_str(), public_path.c_str(), ours.c_str());
      break;
    case SignatureCheck::kFileMismatch:
      pack_error("%s: signature does not match the file: it changed after it was signed, or the signature is "
                 "damaged",
                 installer.c_str());
      break;
    case SignatureCheck::kCommentMismatch:
      pack_error("%s: trusted comment changed: the global signature does not match it", path.c_str());
      break;
  }
  return 1;
}

}  // namespace

std::string signature_path_of(const std::string& installer) { return installer + ".minisig"; }

bool write_installer_signature(const SecretKey& key, const std::string& installer) {
  FileHash hash{};
  if (!hash_installer(installer, &hash)) return false;
  // minisign's own trusted comment, so that both show the same.
  const std::string trusted = "timestamp:" + std::to_string(static_cast<long long>(std::time(nullptr))) +
                              "\tfile:" + base_name(installer) + "\thashed";
  MinisignSignatureFile signature = sign_hash(key, hash, "signature from telo-pack secret key", trusted);
  const std::string path = signature_path_of(installer);
  if (!write_small_file(path, format_signature(signature), 0644)) return false;
  std::printf("%s: signed with key ID %s\n", path.c_str(), key_id_text(key.key_id).c_str());
  return true;
}

int sign_installer(const std::string& secret_path, const std::string& installer) {
  // The installer is looked at before the passphrase is asked for nothing.
  if (::access(installer.c_str(), R_OK) != 0) {
    pack_error("%s: %s", installer.c_str(), std::strerror(errno));
    return 1;
  }
  SecretKey key;
  if (!load_secret_key(secret_path, &key)) return 1;
  return write_installer_signature(key, installer) ? 0 : 1;
}

int check_installer_signature(const std::string& public_path, const std::string& installer,
                              const std::string& signature_path) {
  MinisignPublicKey key;
  MinisignSignatureFile signature;
  std::string fault;
  if (!start_crypto(&fault)) {
    pack_error("%s", fault.c_str());
    return 1;
  }
  if (!load_public_key(public_path, &key) || !load_signature(installer, signature_path, &signature)) return 1;
  FileHash hash{};
  if (!hash_installer(installer, &hash)) return 1;
  return report_check(check_signature(key, signature, hash), key, signature, public_path, installer,
                      signature_path);
}

}  // namespace telo
