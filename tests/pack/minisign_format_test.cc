// minisign's key and signature files, read as minisign 0.11 wrote them
// (the fixture below is a throwaway key pair without a passphrase and its
// signature of "hello\n"), written back the same, and refused with a
// reason when damaged.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "pack/minisign_format.h"
#include "pack/signature.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo::testing {
namespace {

const std::string kPublicKey =
    "untrusted comment: minisign public key ABB5FA9AE68A54E6\n"
    "RWTmVIrmmvq1qyDM8LMtXYxG76wXW3oa3yAwoqk7Z+YF/FWohRd2ruYP\n";
// minisign -G -W: no scrypt, and a checksum left zero.
const std::string kSecretKey =
    "untrusted comment: minisign encrypted secret key\n"
    "RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA5lSK5pr6tavzry+/Pz+kV3r4BbWJ5gW8qcSASpAE"
    "hOSF07r2pZkXjyDM8LMtXYxG76wXW3oa3yAwoqk7Z+YF/FWohRd2ruYPAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n";
const std::string kSignature =
    "untrusted comment: signature from minisign secret key\n"
    "RUTmVIrmmvq1qyh2SExUFzFCkYfbr0jlAZTmluNyj6zjyhAmE+/OkQlZNKiDuoeeBlvVvAkpFQRI5fMymZHOdWNlpN5dOSzAaAs=\n"
    "trusted comment: timestamp:1796947663\tfile:f\thashed\n"
    "7nY1EVgYWeXp4EyEV35LMNudyYN2FN07keBZe4CSDjr36qMteruQ32QRakEKTaTyE1lUZAGGB/1rynLCjEVPBA==\n";
// minisign -S -l: the legacy kind, over the raw file.
const std::string kLegacySignature =
    "untrusted comment: signature from minisign secret key\n"
    "RWTmVIrmmvq1q3z0Ump+AyMk2ArQBwed7vKlUSo/Si0eHY8M8LbGDAFzp65KItT9fz5M77GR8//OPX+0AArwUUtrLGhyKUE7BgI=\n"
    "trusted comment: legacy\n"
    "jTmZLYpLnK7hrjvH90AfYUO1T4ivqKZ/fStZWWnGFjnZZ+giVgmenBwFyltqEKI1eewwn2951knLvEjxT6y5Aw==\n";

FileHash hash_of(const std::string& contents) {
  ScopedTempDir temp;
  write_file(temp / "f", contents);
  int fd = ::open((temp / "f").c_str(), O_RDONLY);
  FileHash hash{};
  std::string fault;
  EXPECT_TRUE(hash_file(fd, &hash, &fault)) << fault;
  ::close(fd);
  return hash;
}

class MinisignFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string fault;
    ASSERT_TRUE(start_crypto(&fault)) << fault;
    ASSERT_TRUE(parse_public_key(kPublicKey, &pub, &fault)) << fault;
    ASSERT_TRUE(parse_signature(kSignature, &signature, &fault)) << fault;
  }
  MinisignPublicKey pub;
  MinisignSignatureFile signature;
};

TEST_F(MinisignFormatTest, ReadsMinisignsFilesAndChecksItsSignature) {
  EXPECT_EQ(key_id_text(pub.key_id), "ABB5FA9AE68A54E6");  // as minisign's comment shows it
  EXPECT_EQ(signature.key_id, pub.key_id);
  EXPECT_TRUE(signature.prehashed);
  EXPECT_EQ(signature.untrusted_comment, "signature from minisign secret key");
  EXPECT_EQ(signature.trusted_comment, "timestamp:1796947663\tfile:f\thashed");
  EXPECT_EQ(check_signature(pub, signature, hash_of("hello\n")), SignatureCheck::kGood);
  EXPECT_EQ(check_signature(pub, signature, hash_of("hello!")), SignatureCheck::kFileMismatch);

  MinisignSecretKeyFile file;
  SecretKey key;
  std::string fault;
  ASSERT_TRUE(parse_secret_key(kSecretKey, &file, &fault)) << fault;
  EXPECT_FALSE(file.encrypted);
  ASSERT_TRUE(open_secret_key(file, "", &key, &fault)) << fault;
  EXPECT_EQ(public_key_of(key).key, pub.key);
  EXPECT_EQ(public_key_of(key).key_id, pub.key_id);
}

TEST_F(MinisignFormatTest, WritesFilesAsMinisignDoes) {
  EXPECT_EQ(format_public_key(pub), kPublicKey);
  EXPECT_EQ(format_signature(signature), kSignature);
  MinisignSignatureFile legacy;
  std::string fault;
  ASSERT_TRUE(parse_signature(kLegacySignature, &legacy, &fault)) << fault;
  EXPECT_FALSE(legacy.prehashed);
  EXPECT_EQ(format_signature(legacy), kLegacySignature);
  EXPECT_EQ(check_signature(pub, legacy, hash_of("hello\n")), SignatureCheck::kLegacy);
  // Line ends written on another system are read the same.
  MinisignSignatureFile crlf;
  std::string text;
  for (char c : kSignature) {
    if (c == '\n') text += '\r';
    text += c;
  }
  ASSERT_TRUE(parse_signature(text, &crlf, &fault)) << fault;
  EXPECT_EQ(format_signature(crlf), kSignature);
}

struct DamageCase {
  const char* what;
  std::string text;
  const char* fault;
};

std::string with_line(const std::string& text, std::size_t index, const std::string& line) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t i = 0; start < text.size(); ++i) {
    std::size_t end = text.find('\n', start);
    out += (i == index ? line : text.substr(start, end - start)) + "\n";
    start = end + 1;
  }
  return out;
}

TEST_F(MinisignFormatTest, DamagedFilesAreRefusedWithTheirReason) {
  const std::string pub_line = "RWTmVIrmmvq1qyDM8LMtXYxG76wXW3oa3yAwoqk7Z+YF/FWohRd2ruYP";
  const DamageCase public_cases[] = {
      {"no comment", with_line(kPublicKey, 0, "minisign public key"), "should start \"untrusted comment: \""},
      {"one line", kPublicKey.substr(0, kPublicKey.find('\n') + 1), "it has 1 lines where 2 belong"},
      {"not base64", with_line(kPublicKey, 1, pub_line.substr(0, 20) + "!" + pub_line.substr(21)), "not valid base64"},
      {"short", with_line(kPublicKey, 1, pub_line.substr(0, 52)), "holds 39 bytes where 42 belong"},
      {"unpadded", with_line(kPublicKey, 1, pub_line + "AB"), "not valid base64"},
      {"an algorithm", with_line(kPublicKey, 1, "SW" + pub_line.substr(2)), "its algorithm is \"Id\""},
  };
  for (const DamageCase& c : public_cases) {
    MinisignPublicKey key;
    std::string fault;
    EXPECT_FALSE(parse_public_key(c.text, &key, &fault)) << c.what;
    EXPECT_NE(fault.find(c.fault), std::string::npos) << c.what << ": " << fault;
  }
  const DamageCase signature_cases[] = {
      {"no trusted comment", with_line(kSignature, 2, "timestamp:1"), "should start \"trusted comment: \""},
      {"three lines", kSignature.substr(0, kSignature.rfind('\n', kSignature.size() - 2) + 1),
       "it has 3 lines where 4 belong"},
      {"global signature short", with_line(kSignature, 3, "7nY1EVgYWeXp4EyE"), "holds 12 bytes where 64 belong"},
      {"comment too long", with_line(kSignature, 0, "untrusted comment: " + std::string(9000, 'x')),
       "longer than 8192"},
  };
  for (const DamageCase& c : signature_cases) {
    MinisignSignatureFile parsed;
    std::string fault;
    EXPECT_FALSE(parse_signature(c.text, &parsed, &fault)) << c.what;
    EXPECT_NE(fault.find(c.fault), std::string::npos) << c.what << ": " << fault;
  }
}

TEST_F(MinisignFormatTest, SecretKeyWithAWrongChecksumIsDamaged) {
  MinisignSecretKeyFile file;
  SecretKey key;
  std::string fault;
  ASSERT_TRUE(parse_secret_key(kSecretKey, &file, &fault)) << fault;
  file.keynum_sk[kKeynumSkSize - 1] = 1;
  EXPECT_FALSE(open_secret_key(file, "", &key, &fault));
  EXPECT_EQ(fault, "the key is damaged (its checksum does not match)");
}

// Sealing and opening are one XOR with scrypt's output: the right
// passphrase gives the key back, any other is told by the checksum, and a
// sealed file reads back as written.
TEST_F(MinisignFormatTest, SealedKeyOpensOnlyWithItsPassphrase) {
  SecretKey key, opened;
  generate_secret_key(&key);
  MinisignSecretKeyFile sealed, read_back;
  std::string fault;
  ASSERT_TRUE(seal_secret_key(key, "pass phrase", interactive_scrypt_cost(), &sealed, &fault)) << fault;
  ASSERT_TRUE(parse_secret_key(format_secret_key(sealed), &read_back, &fault)) << fault;
  EXPECT_TRUE(read_back.encrypted);
  EXPECT_EQ(read_back.kdf_salt, sealed.kdf_salt);
  EXPECT_EQ(read_back.kdf_opslimit, interactive_scrypt_cost().opslimit);
  EXPECT_EQ(read_back.kdf_memlimit, interactive_scrypt_cost().memlimit);
  EXPECT_EQ(read_back.keynum_sk, sealed.keynum_sk);
  EXPECT_FALSE(std::equal(key.key.begin(), key.key.end(), sealed.keynum_sk.begin() + 8));

  ASSERT_TRUE(open_secret_key(read_back, "pass phrase", &opened, &fault)) << fault;
  EXPECT_EQ(opened.key, key.key);
  EXPECT_EQ(opened.key_id, key.key_id);
  for (const char* wrong : {"", "pass phrasE", "pass phrase "}) {
    EXPECT_FALSE(open_secret_key(read_back, wrong, &opened, &fault)) << wrong;
    EXPECT_EQ(fault, "wrong passphrase for this key (its checksum does not match)");
  }

  // A cost beyond any sane key is refused before scrypt would take it.
  read_back.kdf_memlimit = std::uint64_t{64} << 30;
  EXPECT_FALSE(parse_secret_key(format_secret_key(read_back), &sealed, &fault));
  EXPECT_NE(fault.find("scrypt cost"), std::string::npos) << fault;
}

// Each way a signature can fail is told apart, from the two signatures and
// the two key ids alone.
TEST_F(MinisignFormatTest, SignatureChecksTellEachFaultApart) {
  SecretKey mine, other;
  generate_secret_key(&mine);
  generate_secret_key(&other);
  const FileHash hash = hash_of("installer bytes");
  const MinisignSignatureFile good = sign_hash(mine, hash, "u", "timestamp:1\tfile:x\thashed");
  const MinisignPublicKey my_key = public_key_of(mine);

  MinisignSignatureFile changed_comment = good, changed_id = good;
  changed_comment.trusted_comment += " ";
  changed_id.key_id[3] ^= 1;
  MinisignPublicKey same_id_other_key = public_key_of(other);
  same_id_other_key.key_id = my_key.key_id;
  FileHash other_hash = hash;
  other_hash[63] ^= 1;

  EXPECT_EQ(check_signature(my_key, good, hash), SignatureCheck::kGood);
  EXPECT_EQ(check_signature(my_key, good, other_hash), SignatureCheck::kFileMismatch);
  EXPECT_EQ(check_signature(public_key_of(other), good, hash), SignatureCheck::kOtherKey);
  EXPECT_EQ(check_signature(same_id_other_key, good, hash), SignatureCheck::kFileMismatch);
  EXPECT_EQ(check_signature(my_key, changed_id, hash), SignatureCheck::kKeyIdMismatch);
  EXPECT_EQ(check_signature(my_key, changed_comment, hash), SignatureCheck::kCommentMismatch);
}

}  // namespace
}  // namespace telo::testing
