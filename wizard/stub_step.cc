#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/error_stream.h"
#include "console/prompt.h"
#include "sysenv/paths.h"
#include "sysenv/process.h"
#include "wizard/header_texts.h"
#include "wizard/host_tools.h"
#include "wizard/install_targets.h"
#include "wizard/state.h"
#include "wizard/steps.h"
#include "wizard/terminate.h"

namespace telo {

namespace {

struct SharedFolder {
  const char* name;
  mode_t mode;
};

// "tmp" keeps its sticky bit, so that users cannot delete each other's files there.
constexpr SharedFolder kSharedFolders[] = {
    {"data", 0777}, {"labels", 0777}, {"scripts", 0777},
    {"settings", 0777}, {"tmp", 01777}, {"ini", 0777},
};

// The first of the usual program directories that PATH names, so that the
// stub can be started by its bare name.
const char* choose_stub_directory() {
  static constexpr const char* kCandidates[] = {"/usr/local/bin", "/usr/bin", "/bin"};
  for (const char* candidate : kCandidates)
    if (find_in_path(candidate) != nullptr) return candidate;
  return kCandidates[0];
}

char* build_stub_path() {
  char* path = concat_strings(3, choose_stub_directory(), "/", "telo");
  if (path == nullptr) error("Memory allocation error (err=5).");
  // Installing into the stub's own name: the stub goes inside the installation.
  if (std::strcmp(path, install_targets.directory[0]) == 0) {
    char* inside = concat_strings(3, path, "/", "telo");
    std::free(path);
    if (inside == nullptr) error("Memory allocation error (err=5).");
    path = inside;
  }
  return path;
}

void set_stub_path(char* path) {
  std::free(stub_path);
  stub_path = path;
}

bool ask_shared_variant() {
  const char* product = header_texts.product_name;
  say(
      "\n\nThe stub can either:\n\n"
      "a) Execute %s with individual settings and configuration,\n"
               "and individual default storage of images, scripts and\n"
               "other data within the current (relative to where & when the\n"
               "stub was executed) directory.\n\n"
               "b) Execute %s with shared, common settings and\n"
               "configuration, and shared default storage of images,\n"
               "scripts and other data.  Use by different users (uid's)\n"
               "might require adjusting the permissions of %s's files.\n",
               product, product, product);
  static constexpr int kOutcomes[] = {RESULT_CANCEL, RESULT_SHARED, RESULT_INDIVIDUAL};
  int outcome = ask_choice(nullptr, "Individual Files? Shared Files? Cancel?", "csi", kOutcomes, 3,
                           RESULT_SHARED);
  if (outcome == RESULT_CANCEL) error(nullptr);
  return outcome == RESULT_SHARED;
}

// False when the user wants to keep the stub that is already there.
bool may_write_stub() {
  std::FILE* existing = std::fopen(stub_path, "r");
  if (existing == nullptr) return true;
  std::fclose(existing);
  say("\n\nFile %s already exists.\n", stub_path);
  int outcome = ask_yes_no_cancel("Overwrite?", RESULT_YES);
  if (outcome == RESULT_CANCEL) error(nullptr);
  return outcome != RESULT_NO;
}

void write_stub(bool shared) {
  const char* directory = install_targets.directory[0];
  std::FILE* stub = std::fopen(stub_path, "w");
  if (stub == nullptr) terminate_with_errno("Error creating stub", ".", errno);
  std::fputs("#!/bin/sh\n\n", stub);
  std::fputs("# For shared settings and configuration saved\n", stub);
  std::fprintf(stub, "# in the %s directory, include\n", directory);
  std::fprintf(stub, "#    cd %s\n", directory);
  std::fputs(
      "# For login-centric settings and configuration saved\n"
      "# in the user's home directory, include\n"
      "#    cd\n"
      "# Otherwise settings and configuration are unique to,\n"
      "# and saved within, the directory from which this\n"
      "# is executed\n"
      "#\n",
      stub);
  if (shared) std::fprintf(stub, "cd %s\n", directory);
  else std::fputs("cd\n", stub);
  std::fputs(
      "\n"
      "# Command line parameters may be image file pathnames;\n"
      "# they are automatically opened by TELO.\n",
      stub);
  // "$@" hands each image path on as one word, blanks and wildcards included.
  std::fprintf(stub, "exec %s/telolnx \"$@\"\n", directory);
  // A stub cut short (a full disk, a size limit) would start nothing: say so.
  bool failed = std::fflush(stub) != 0 || std::ferror(stub) != 0;
  int failure = errno;
  if (std::fclose(stub) != 0 && !failed) {
    failed = true;
    failure = errno;
  }
  if (failed) terminate_with_errno("Error creating stub", ".", failure);
  chmod(stub_path, 0755);
}

// Creates one shared folder with default ACL entries that let group and
// others write what is later made in it. True when created and its mode set.
bool create_shared_folder(const SharedFolder& folder) {
  char* path = install_subpath(folder.name);
  if (path == nullptr) return false;
  bool done = false;
  // A folder that exists already (perhaps from the payload) is left as it is.
  if (mkdir(path, folder.mode) == 0) {
    done = chmod(path, folder.mode) == 0;  // the umask must not narrow it
    run_command("/bin/setfacl", "/bin/setfacl", "-d", "-m", "g::rw", path);
    run_command("/bin/setfacl", "/bin/setfacl", "-d", "-m", "o::rw", path);
  }
  std::free(path);
  return done;
}

void create_shared_folders() {
  bool any_created = false;
  for (const SharedFolder& folder : kSharedFolders)
    if (create_shared_folder(folder)) any_created = true;
  if (!any_created) return;
  say(
      "\n\nNote: Subdirectories under \n   %s \n"
      "for saved images, settings, scripts, etc., \n"
      "have been pre-created and modes changed so as \n"
      "to allow shared access by ANY user (uid).\n",
      install_targets.directory[0]);
  if (ask_ok_cancel(nullptr, RESULT_NEXT) == RESULT_CANCEL) error(nullptr);
}

}  // namespace

WizardState run_stub_state() {
  next_state = STATE_SHORTCUT;
  set_stub_path(build_stub_path());
  say("\n\nCreate executable stub \n\t%s \nto start %s %s ?\n", stub_path,
      header_texts.product_name, header_texts.description);
  int outcome = ask_yes_no_cancel(nullptr, RESULT_YES);
  if (outcome == RESULT_CANCEL) error(nullptr);
  if (outcome == RESULT_NO) {
    set_stub_path(nullptr);
    return next_state;
  }
  bool shared = ask_shared_variant();
  errno = 0;
  if (may_write_stub()) {
    write_stub(shared);
    if (shared) create_shared_folders();
  }
  return next_state;
}

}  // namespace telo
