// telo-pack verify --key: the signature is checked before anything of the
// payload, and each way it can fail is named on its own, with status 1 and
// the installer left as it was.

#include <gtest/gtest.h>

#include "pack/installer_file.h"
#include "pack/minisign_format.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/sign_fixture.h"

namespace telo::testing {
namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class SignDamageTest : public SignedInstallerTest {
 protected:
  void SetUp() override {
    SignedInstallerTest::SetUp();
    if (HasFatalFailure()) return;
    telo_keygen("release");
    RunResult result = run_pack({"sign", temp / "release.key", installer});
    ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
    image = read_file(installer);
    signature = installer + ".minisig";
  }

  // Runs verify --key and checks what any refusal must hold: status 1, the
  // message, no payload check reached, the installer untouched.
  void expect_refused(const std::string& message, const std::string& key = "release.pub",
                      const std::string& installer_path = "") {
    const std::string target = installer_path.empty() ? installer : installer_path;
    const std::string before = read_file(target);
    RunResult result = run_pack({"verify", "--key", temp / key, target});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(has(result.stderr_text, message)) << result.stderr_text;
    EXPECT_FALSE(has(result.stdout_text, "records verified")) << result.stdout_text;
    EXPECT_FALSE(has(result.stderr_text, "CRC")) << result.stderr_text;
    EXPECT_EQ(read_file(target), before);
  }

  MinisignSignatureFile parsed_signature() {
    MinisignSignatureFile parsed;
    std::string fault;
    EXPECT_TRUE(parse_signature(read_file(signature), &parsed, &fault)) << fault;
    return parsed;
  }

  std::string image;
  std::string signature;
};

TEST_F(SignDamageTest, FlippedByteAnywhereInTheInstallerIsRefused) {
  InstallerFile reader;
  std::string fault;
  ASSERT_TRUE(open_installer(installer, &reader, &fault)) << fault;
  const std::uint64_t places[] = {0, 17, reader.payload_offset + 40, reader.records_start + 100, image.size() - 1};
  for (std::uint64_t at : places) {
    SCOPED_TRACE("byte " + std::to_string(at));
    std::string damaged = image;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x01);
    write_file(installer, damaged);
    expect_refused("setup.bin: signature does not match the file");
  }
}

TEST_F(SignDamageTest, AnotherKeyIsNamedWithBothKeyIds) {
  telo_keygen("other");
  expect_refused("setup.bin.minisig: signature made with another key: key ID " +
                     key_id_in_comment(temp / "release.pub") + ", not the key ID " +
                     key_id_in_comment(temp / "other.pub"),
                 "other.pub");
}

// The signature still matches the key, but one of the files carries a
// changed key id: told apart from another key's signature.
TEST_F(SignDamageTest, ChangedKeyIdIsAMismatchNotAnotherKey) {
  const MinisignSignatureFile intact = parsed_signature();
  MinisignSignatureFile changed = intact;
  changed.key_id[0] ^= 0xFF;
  write_file(signature, format_signature(changed));
  expect_refused("setup.bin.minisig: key ID mismatch: the signature names key ID " + key_id_text(changed.key_id) +
                 ", " + temp / "release.pub" + " has key ID " + key_id_in_comment(temp / "release.pub"));

  // The same when it is the public key's id that was changed.
  write_file(signature, format_signature(intact));
  MinisignPublicKey pub;
  std::string fault;
  ASSERT_TRUE(parse_public_key(read_file(temp / "release.pub"), &pub, &fault)) << fault;
  pub.key_id[7] ^= 0x10;
  write_file(temp / "edited.pub", format_public_key(pub));
  expect_refused("key ID mismatch", "edited.pub");
}

TEST_F(SignDamageTest, ChangedTrustedCommentFailsTheGlobalSignature) {
  const std::string comment = file_line(signature, 2);
  replace_file_line(signature, 2, comment.substr(0, comment.find("\tfile:")) + "\tfile:other.bin\thashed");
  expect_refused("setup.bin.minisig: trusted comment changed: the global signature does not match it");
}

struct DamagedFileCase {
  const char* what;
  std::size_t line;
  std::string (*edit)(std::string line);
  const char* message;
};

TEST_F(SignDamageTest, DamagedSignatureFileIsNamedWithWhatIsWrong) {
  const DamagedFileCase cases[] = {
      {"a character that is not base64", 1, [](std::string l) {
         l[10] = '*';
         return l;
       },
       "damaged signature file: its key or signature line is not valid base64"},
      {"the last group cut", 1, [](std::string l) { return l.substr(0, l.size() - 4); },
       "damaged signature file: its key or signature line holds 72 bytes where 74 belong"},
      // "RU" encodes 'E' and the top of 'D'; "SU" makes the first byte 'I'.
      {"another algorithm", 1, [](std::string l) {
         l[0] = 'S';
         return l;
       },
       "damaged signature file: its algorithm is \"ID\", not Ed25519"},
      {"the global signature cut", 3, [](std::string l) { return l.substr(0, 40); },
       "damaged signature file: its key or signature line holds 30 bytes where 64 belong"},
      {"no trusted comment prefix", 2, [](std::string l) { return l.substr(9); },
       "damaged signature file: a line that should start \"trusted comment: \" does not"},
  };
  const std::string intact = read_file(signature);
  for (const DamagedFileCase& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(signature, intact);
    replace_file_line(signature, c.line, c.edit(file_line(signature, c.line)));
    expect_refused(std::string("setup.bin.minisig: ") + c.message);
  }
  write_file(signature, intact.substr(0, intact.size() / 2));
  expect_refused("damaged signature file: it has 2 lines where 4 belong");
}

TEST_F(SignDamageTest, DamagedOrMissingPublicKeyIsNamed) {
  write_file(temp / "secret-as-public.pub", read_file(temp / "release.key"));
  expect_refused("secret-as-public.pub: not a minisign public key: its key or signature line holds 158 bytes where "
                 "42 belong",
                 "secret-as-public.pub");
  expect_refused("absent.pub: cannot read the public key: No such file or directory", "absent.pub");
}

TEST_F(SignDamageTest, MissingSignatureIsNamed) {
  ASSERT_EQ(std::remove(signature.c_str()), 0);
  expect_refused("setup.bin: signature missing: there is no " + signature);
}

// The signature is checked first: a payload that fails its checks is not
// read while the signature is missing, and is checked once it is signed.
TEST_F(SignDamageTest, PayloadIsCheckedOnlyAfterAGoodSignature) {
  std::string broken = image;
  broken[broken.size() - 1] = static_cast<char>(broken[broken.size() - 1] ^ 0x40);
  const std::string path = temp / "broken.bin";
  write_file(path, broken);
  expect_refused("broken.bin: signature missing", "release.pub", path);

  ASSERT_EQ(run_pack({"sign", temp / "release.key", path}).exit_status, 0);
  RunResult result = run_pack({"verify", "--key", temp / "release.pub", path});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(has(result.stdout_text, "signature good")) << result.stdout_text;
  EXPECT_TRUE(has(result.stderr_text, "broken.bin: record ")) << result.stderr_text;
  EXPECT_FALSE(has(result.stdout_text, "records verified")) << result.stdout_text;
}

TEST_F(SignDamageTest, SignatureNamedWithSignatureOption) {
  const std::string elsewhere = temp / "elsewhere.minisig";
  ASSERT_EQ(std::rename(signature.c_str(), elsewhere.c_str()), 0);
  RunResult result = run_pack({"verify", "--key", temp / "release.pub", "--signature", elsewhere, installer});
  EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
  EXPECT_TRUE(has(result.stdout_text, "signature good")) << result.stdout_text;
}

// Without --key, verify checks the payload as ever and only mentions a
// signature lying beside the installer.
TEST_F(SignDamageTest, WithoutKeyASignatureBesideIsOnlyMentioned) {
  RunResult result = run_pack({"verify", installer});
  EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
  EXPECT_EQ(result.stderr_text, "telo-pack: note: " + signature +
                                    " lies beside it, unchecked (give --key PUB to check it)\n");
  EXPECT_TRUE(has(result.stdout_text, "10 records verified")) << result.stdout_text;

  write_file(signature, "damaged");
  EXPECT_EQ(run_pack({"verify", installer}).exit_status, 0);
  ASSERT_EQ(std::remove(signature.c_str()), 0);
  result = run_pack({"verify", installer});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.stderr_text, "");
}

}  // namespace
}  // namespace telo::testing
