// telo-pack: builds installers from directory trees and lists, verifies and
// extracts existing ones. Only the command line lives here; the work is done
// in payload/. Exit status: 0 success, 1 bad input or I/O failure, 2 usage.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pack/inspect.h"
#include "pack/inspect_json.h"
#include "pack/build.h"
#include "pack/extract.h"
#include "pack/raw_stream.h"
#include "pack/program_arch.h"
#include "pack/stub_lookup.h"
#include "pack/key_files.h"
#include "pack/signing.h"
#include "pack/stream.h"

namespace telo {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr unsigned kMaxJobs = 256;

using Args = std::span<const std::string_view>;

struct Subcommand {
  std::string_view name;
  std::string_view usage;   // the arguments after the name
  std::string_view help;    // what it does, and its options
  int (*run)(Args args);
};

const Subcommand* find_subcommand(std::string_view name);

int usage_error(std::string_view command, const std::string& problem) {
  const Subcommand* sub = find_subcommand(command);
  std::fprintf(stderr, "telo-pack %.*s: %s\n", static_cast<int>(command.size()), command.data(), problem.c_str());
  if (sub != nullptr)
    std::fprintf(stderr, "usage: telo-pack %.*s %.*s\n(see telo-pack %.*s --help)\n", static_cast<int>(command.size()),
                 command.data(), static_cast<int>(sub->usage.size()), sub->usage.data(),
                 static_cast<int>(command.size()), command.data());
  return kExitUsage;
}

bool wants_help(Args args) {
  for (std::string_view arg : args)
    if (arg == "--help" || arg == "-h") return true;
  return false;
}

std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t max) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > max) return std::nullopt;
  }
  return value;
}

// The folder this program lies in.
std::string packer_dir() {
  std::vector<char> self(4096);
  ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  std::string path = n > 0 ? std::string(self.data(), static_cast<std::size_t>(n)) : std::string();
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The installer built beside this program; for an installed packer, the
// one of its own architecture under PREFIX/lib/telo/.
std::string default_stub() {
  const std::string beside = packer_dir() + "/" + TELO_DEFAULT_STUB_NAME;
  std::string found, fault;
  if (::access(beside.c_str(), F_OK) != 0 && find_arch_stub(packer_dir(), TELO_PACK_ARCH, TELO_PACK_ARCH, &found, &fault))
    return found;
  return beside;
}

std::string arch_list() {
  std::string names;
  for (std::string_view name : kInstallerArchs) names += (names.empty() ? "" : ", ") + std::string(name);
  return names;
}

std::optional<std::int32_t> default_build_time() {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr || epoch[0] == '\0') return static_cast<std::int32_t>(std::time(nullptr));
  auto value = parse_number(epoch, std::numeric_limits<std::int32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<std::int32_t>(*value);
}

// Splits "--name=value" or takes the value from the next argument.
bool take_value(Args args, std::size_t* i, std::string_view name, std::string_view* value) {
  std::string_view arg = args[*i];
  if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
    *value = arg.substr(name.size() + 1);
    return true;
  }
  if (arg != name || *i + 1 >= args.size()) return false;
  *value = args[++*i];
  return true;
}

std::string* text_option(PackOptions& options, std::string_view name) {
  if (name == "-o") return &options.output;
  if (name == "--jre") return &options.jre_dir;
  if (name == "--product") return &options.product_name;
  if (name == "--version") return &options.version;
  if (name == "--description") return &options.description;
  if (name == "--hardware-family") return &options.hardware_family;
  if (name == "--stub") return &options.stub;
  return nullptr;
}

constexpr std::string_view kValueOptions[] = {"-o",          "--jre",           "--product",      "--version",
                                              "--description", "--hardware-family", "--java-runtime", "--build-time",
                                              "--stub",      "--remove",        "--jobs",         "--arch",
                                              "--level",     "--pieces"};

// The compression level a name gives; false for an unknown name.
bool parse_level(std::string_view name, CompressionLevel* level) {
  if (name == "fast") *level = CompressionLevel::kFast;
  else if (name == "reference") *level = CompressionLevel::kReference;
  else if (name == "best") *level = CompressionLevel::kBest;
  else return false;
  return true;
}

// --pieces: off, N MiB or NK KiB, a whole number of 8 KiB from 1 to 64 MiB.
bool parse_pieces(std::string_view text, std::optional<std::uint32_t>* pieces) {
  if (text == "off") {
    *pieces = 0;
    return true;
  }
  const bool kib = text.ends_with('K');
  if (kib) text.remove_suffix(1);
  auto number = parse_number(text, kMaxPackPieceSize);
  if (!number) return false;
  const std::uint64_t bytes = *number << (kib ? 10 : 20);
  if (bytes < kMinPackPieceSize || bytes > kMaxPackPieceSize || bytes % kChunkLimit != 0) return false;
  *pieces = static_cast<std::uint32_t>(bytes);
  return true;
}

// One option with a value; false with `problem` set when it is not usable.
bool apply_value(PackOptions& options, std::string_view name, std::string_view value, std::string* problem) {
  if (std::string* field = text_option(options, name)) {
    *field = std::string(value);
  } else if (name == "--java-runtime") {
    options.java_runtime = std::string(value);
  } else if (name == "--remove") {
    options.removals.emplace_back(value);
  } else if (name == "--build-time") {
    auto seconds = parse_number(value, std::numeric_limits<std::int32_t>::max());
    if (!seconds) *problem = "--build-time wants seconds since 1970 (0 to 2147483647)";
    options.build_time = static_cast<std::int32_t>(seconds.value_or(0));
  } else if (name == "--jobs") {
    auto jobs = parse_number(value, kMaxJobs);
    if (!jobs || *jobs == 0) *problem = "--jobs wants a number of threads from 1 to 256";
    options.jobs = static_cast<unsigned>(jobs.value_or(1));
  } else if (name == "--level") {
    if (!parse_level(value, &options.level)) *problem = "--level wants fast, reference or best";
  } else if (name == "--pieces") {
    if (!parse_pieces(value, &options.pieces))
      *problem = "--pieces wants off, or a size from 1 to 64 MiB: N (MiB) or NK (KiB, a multiple of 8)";
  }
  return problem->empty();
}

// The key is opened before the build, so that a wrong passphrase costs
// nothing and a long build never ends waiting at a prompt.
int build_and_sign(const PackOptions& options, std::optional<std::string_view> secret_key) {
  SecretKey key;
  if (secret_key && !load_secret_key(std::string(*secret_key), &key)) return kExitFailure;
  int status = build_installer(options);
  if (status != kExitOk || !secret_key) return status;
  return write_installer_signature(key, options.output) ? kExitOk : kExitFailure;
}

int run_build(Args args) {
  PackOptions options;
  options.jobs = std::max(1u, std::thread::hardware_concurrency());
  bool build_time_given = false;
  std::optional<std::string_view> arch, secret_key;
  std::vector<std::string_view> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i], value;
    std::string problem;
    if (arg == "--store") {
      options.store_only = true;
      continue;
    }
    if (take_value(args, &i, "--sign", &value)) {
      secret_key = value;
      continue;
    }
    bool matched = false;
    for (std::string_view name : kValueOptions) {
      if (!take_value(args, &i, name, &value)) continue;
      matched = true;
      if (name == "--arch") {
        arch = value;
        break;
      }
      if (!apply_value(options, name, value, &problem)) return usage_error("build", problem);
      build_time_given = build_time_given || name == "--build-time";
      break;
    }
    if (matched) continue;
    if (!arg.empty() && arg[0] == '-') return usage_error("build", "unknown option or missing value: " + std::string(arg));
    positional.push_back(arg);
  }
  if (positional.size() != 1) return usage_error("build", "wants exactly one APPDIR");
  if (options.output.empty()) return usage_error("build", "wants -o OUT");
  options.app_dir = std::string(positional[0]);
  if (!build_time_given) {
    auto now = default_build_time();
    if (!now) {
      std::fprintf(stderr, "telo-pack: error: SOURCE_DATE_EPOCH is not a number of seconds from 0 to 2147483647\n");
      return kExitFailure;
    }
    options.build_time = *now;
  }
  if (arch) {
    if (!is_installer_arch(*arch)) return usage_error("build", "--arch wants one of " + arch_list());
    if (!options.stub.empty()) return usage_error("build", "--arch and --stub both name the installer program");
    std::string fault;
    if (!find_arch_stub(packer_dir(), *arch, TELO_PACK_ARCH, &options.stub, &fault)) {
      std::fprintf(stderr, "telo-pack: error: %s\n", fault.c_str());
      return kExitFailure;
    }
  }
  if (options.stub.empty()) options.stub = default_stub();
  options.show_progress = ::isatty(STDERR_FILENO) == 1;
  return build_and_sign(options, secret_key);
}

// Takes --json out of `args`; true when it was there.
bool take_json_flag(std::vector<std::string_view>* args) {
  const std::size_t before = args->size();
  std::erase(*args, std::string_view("--json"));
  return args->size() != before;
}

int run_list(Args given) {
  std::vector<std::string_view> args(given.begin(), given.end());
  const bool json = take_json_flag(&args);
  if (args.size() != 1) return usage_error("list", "wants one INSTALLER");
  return json ? list_installer_json(std::string(args[0])) : list_installer(std::string(args[0]));
}

int run_verify(Args given) {
  std::vector<std::string_view> all(given.begin(), given.end());
  const bool json = take_json_flag(&all);
  Args args(all);
  std::optional<std::string_view> public_key, signature;
  std::vector<std::string_view> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view value;
    if (take_value(args, &i, "--key", &value)) {
      public_key = value;
    } else if (take_value(args, &i, "--signature", &value)) {
      signature = value;
    } else if (!args[i].empty() && args[i][0] == '-') {
      return usage_error("verify", "unknown option or missing value: " + std::string(args[i]));
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 1) return usage_error("verify", "wants one INSTALLER");
  if (signature && !public_key) return usage_error("verify", "--signature wants --key PUB to check it with");
  // The signature's report is text for people; a pipeline checks it with its own step.
  if (json && public_key) return usage_error("verify", "--json does not go with --key (verify the signature first)");
  const std::string installer(positional[0]);
  const std::string beside = signature_path_of(installer);
  if (public_key) {
    // The signature first: nothing of a payload that may be forged is read.
    int status = check_installer_signature(std::string(*public_key), installer,
                                           signature ? std::string(*signature) : beside);
    if (status != kExitOk) return status;
  } else if (!json && ::access(beside.c_str(), F_OK) == 0) {
    std::fprintf(stderr, "telo-pack: note: %s lies beside it, unchecked (give --key PUB to check it)\n",
                 beside.c_str());
  }
  return json ? verify_installer_json(installer) : verify_installer(installer);
}

int run_sign(Args args) {
  if (args.size() != 2) return usage_error("sign", "wants SEC and INSTALLER");
  return sign_installer(std::string(args[0]), std::string(args[1]));
}

int run_keygen(Args args) {
  KeygenOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view value;
    if (take_value(args, &i, "-p", &value)) {
      options.public_path = std::string(value);
    } else if (take_value(args, &i, "-s", &value)) {
      options.secret_path = std::string(value);
    } else if (args[i] == "--without-passphrase") {
      options.with_passphrase = false;
    } else if (args[i] == "--force") {
      options.force = true;
    } else if (args[i] == "--weak-kdf-for-tests") {
      options.test_cost = true;
    } else {
      return usage_error("keygen", "unknown argument or missing value: " + std::string(args[i]));
    }
  }
  if (options.public_path.empty() || options.secret_path.empty()) return usage_error("keygen", "wants -p PUB and -s SEC");
  if (options.public_path == options.secret_path) return usage_error("keygen", "PUB and SEC name the same file");
  return generate_key_files(options);
}

int run_extract(Args args) {
  if (args.size() != 2) return usage_error("extract", "wants INSTALLER and DIR");
  return extract_installer(std::string(args[0]), std::string(args[1]));
}

int run_compress(Args args) {
  CompressionLevel level = CompressionLevel::kReference;
  std::vector<std::string_view> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view value;
    if (take_value(args, &i, "--level", &value)) {
      if (!parse_level(value, &level)) return usage_error("compress", "--level wants fast, reference or best");
      continue;
    }
    positional.push_back(args[i]);
  }
  if (positional.size() != 2) return usage_error("compress", "wants IN and OUT");
  return compress_file(std::string(positional[0]), std::string(positional[1]), level);
}

int run_decompress(Args args) {
  if (args.size() != 3) return usage_error("decompress", "wants IN, OUT and SIZE");
  auto size = parse_number(args[2], std::numeric_limits<std::uint32_t>::max());
  if (!size) return usage_error("decompress", "SIZE wants a number of bytes below 4 GiB");
  return decompress_file(std::string(args[0]), std::string(args[1]), static_cast<std::uint32_t>(*size));
}

constexpr Subcommand kSubcommands[] = {
    {"build", "-o OUT APPDIR [options]",
     "Builds an installer: the stub, zero padding to a multiple of 1024, then a payload with\n"
     "APPDIR's files in slot 0. Files are stored compressed unless that would not make them\n"
     "smaller. Symbolic links to files are packed as the files they point to.\n"
     "  -o OUT                  the installer to write (mode 0755; replaced only when complete)\n"
     "  --jre DIR               DIR's files below jre/ in slot 1\n"
     "  --remove PATH           a removal record for PATH below the installation directory (repeatable)\n"
     "  --product NAME          product name (default \"TELO\")\n"
     "  --version V             version (default \"V3.8\")\n"
     "  --description TEXT      description (default \"for Linux 32 bit\")\n"
     "  --hardware-family TEXT  hardware family (default empty)\n"
     "  --java-runtime NAME     private Java runtime's name (default: the last component of --jre DIR)\n"
     "  --build-time EPOCH      build stamp (default $SOURCE_DATE_EPOCH, else now)\n"
     "  --stub FILE             the installer program (default: telo-installer beside telo-pack,\n"
     "                          else PREFIX/lib/telo/ARCH/ of an installed telo-pack)\n"
     "  --arch NAME             the installer program for x86_64, i386, armhf or aarch64, from the\n"
     "                          preset build trees beside telo-pack's (build-NAME/) or, for an\n"
     "                          installed telo-pack, from PREFIX/lib/telo/NAME/\n"
     "  --store                 store every file without compressing\n"
     "  --jobs N                compressing threads (default: the number of processors)\n"
     "  --level L               fast, reference (the default) or best: speed against size;\n"
     "                          every level gives the same installer for any --jobs\n"
     "  --pieces SIZE|off       cut files into pieces of SIZE (N MiB, or NK KiB a multiple of 8;\n"
     "                          1 to 64 MiB) and list where each starts in a piece table after\n"
     "                          the last record; default 2 MiB, with a table for fast and best\n"
     "                          and none for reference; off: 2 MiB pieces, no table\n"
     "  --sign SEC              also sign OUT into OUT.minisig with the secret key SEC (asks\n"
     "                          its passphrase before building; see telo-pack sign --help);\n"
     "                          OUT itself is the same as unsigned\n",
     run_build},
    {"list", "INSTALLER [--json]",
     "Prints the payload header, the architecture of the installer's program and one line per record,\n"
     "then how many pieces each record in the piece table has.\n"
     "  --json                  print one JSON document instead: installer, program, payload_offset,\n"
     "                          header, piece_table and records (index, path, method, sizes, mode,\n"
     "                          mtime, slot, CRCs, and pieces: each piece's bit_offset and output_offset)\n",
     run_list},
    {"verify", "INSTALLER [--key PUB [--signature FILE] | --json]",
     "Checks every CRC, decodes every compressed record and checks the header's totals,\n"
     "writing nothing. The first fault is named with its record. Names the architecture of\n"
     "the installer's program.\n"
     "  --key PUB               first check the signature INSTALLER.minisig with the public key\n"
     "                          PUB (minisign's format), before anything of the payload is read:\n"
     "                          prints the key ID and trusted comment when it is good, else says\n"
     "                          whether it is missing, damaged, made with another key, or does not\n"
     "                          match the file or its trusted comment, and stops (status 1)\n"
     "  --signature FILE        the signature to check instead of INSTALLER.minisig\n"
     "  --json                  print one JSON document: what list --json prints, with result\n"
     "                          (intact or damaged) and faults, every fault found with its record\n"
     "                          (index and path, or null) and check (e.g. data_crc); it goes on past\n"
     "                          a fault wherever the records can still be followed\n"
     "A piece table after the last record is checked too: each piece, decoded from its bit offset,\n"
     "must give the whole stream's bytes from its output offset.\n"
     "Without --key, a signature beside the installer is only mentioned, not checked.\n",
     run_verify},
    {"keygen", "-p PUB -s SEC [--without-passphrase] [--force]",
     "Makes a key pair in minisign's format (Ed25519): the public key PUB to publish and the\n"
     "secret key SEC (mode 0600), sealed with a passphrase through scrypt at minisign's cost\n"
     "(1 GiB of memory for a few seconds). The passphrase is read from the terminal without\n"
     "echo, twice, or else as the first line of standard input.\n"
     "  -p PUB                  the public key file to write\n"
     "  -s SEC                  the secret key file to write\n"
     "  --without-passphrase    store the secret key unsealed: for a CI secret store only\n"
     "  --force                 replace existing key files (else they are refused)\n"
     "  --weak-kdf-for-tests    seal with scrypt's cheap interactive cost (16 MiB): for tests only,\n"
     "                          never for a release key\n",
     run_keygen},
    {"sign", "SEC INSTALLER",
     "Signs INSTALLER with the secret key SEC (minisign's format, or one from minisign -G) into\n"
     "INSTALLER.minisig beside it: an Ed25519 signature of the BLAKE2b-512 hash of the whole file,\n"
     "with a trusted comment holding the file's name and the signing time. A sealed key's\n"
     "passphrase is read from the terminal without echo, or else as the first line of standard\n"
     "input. INSTALLER itself is not changed. Check with telo-pack verify --key PUB INSTALLER\n"
     "or minisign -Vm INSTALLER -p PUB.\n",
     run_sign},
    {"extract", "INSTALLER DIR",
     "Writes the installer's files below DIR as the installer would, without the wizard.\n", run_extract},
    {"compress", "IN OUT [--level L]",
     "Codes the file IN as one raw codec stream into OUT.\n"
     "  --level L               fast, reference (the default) or best\n",
     run_compress},
    {"decompress", "IN OUT SIZE", "Decodes SIZE bytes from the raw codec stream IN into OUT.\n",
     run_decompress},
};

const Subcommand* find_subcommand(std::string_view name) {
  for (const Subcommand& sub : kSubcommands)
    if (sub.name == name) return &sub;
  return nullptr;
}

void print_overview(std::FILE* to) {
  std::fputs("usage: telo-pack COMMAND ARGS...   (telo-pack COMMAND --help for details)\n\n", to);
  for (const Subcommand& sub : kSubcommands)
    std::fprintf(to, "  telo-pack %.*s %.*s\n", static_cast<int>(sub.name.size()), sub.name.data(),
                 static_cast<int>(sub.usage.size()), sub.usage.data());
}

int run(Args args) {
  if (args.empty()) {
    print_overview(stderr);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    print_overview(stdout);
    return kExitOk;
  }
  const Subcommand* sub = find_subcommand(args[0]);
  if (sub == nullptr) {
    std::fprintf(stderr, "telo-pack: unknown command \"%.*s\"\n", static_cast<int>(args[0].size()), args[0].data());
    print_overview(stderr);
    return kExitUsage;
  }
  Args rest = args.subspan(1);
  if (wants_help(rest)) {
    std::printf("usage: telo-pack %.*s %.*s\n\n%.*s", static_cast<int>(sub->name.size()), sub->name.data(),
                static_cast<int>(sub->usage.size()), sub->usage.data(), static_cast<int>(sub->help.size()),
                sub->help.data());
    return kExitOk;
  }
  return sub->run(rest);
}

}  // namespace

}  // namespace telo

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  int status = telo::run(args);
  if (std::fflush(stdout) != 0 && status == 0) status = 1;
  return status;
}
