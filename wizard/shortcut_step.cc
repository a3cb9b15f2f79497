#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "console/prompt.h"
#include "console/terminate.h"
#include "wizard/install_targets.h"
#include "sysenv/paths.h"
#include "sysenv/process.h"
#include "wizard/header_texts.h"
#include "wizard/state.h"
#include "wizard/steps.h"

namespace telo {

namespace {

// One place a desktop entry may go; `owner_set` when it is handed to a user.
struct ShortcutTarget {
  char* path = nullptr;  // malloc'd; null when the target is skipped
  bool owner_set = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

const char* entry_name() { return variant_32bit ? "TELO Imaging 32 Bit" : "TELO Imaging"; }
const char* entry_file() { return variant_32bit ? "telo32.desktop" : "telo.desktop"; }

char* build_path_or_die(const char* first, const char* second) {
  char* path = concat_strings(3, first, second, entry_file());
  if (path == nullptr) error("Memory allocation error (err=6).");
  return path;
}

// The Desktop entry of a password-database user, owned by that user.
ShortcutTarget user_desktop_target(const passwd* user) {
  ShortcutTarget target;
  if (user == nullptr) return target;
  target.path = build_path_or_die(user->pw_dir, "/Desktop/");
  target.owner_set = true;
  target.uid = user->pw_uid;
  target.gid = user->pw_gid;
  return target;
}

// When the super-user installs for a logged-in user, that user gets an entry too.
ShortcutTarget login_user_target() {
  if (getuid() != 0) return {};
  char* name = login_name();
  if (name == nullptr) return {};
  ShortcutTarget target = user_desktop_target(getpwnam(name));
  std::free(name);
  return target;
}

ShortcutTarget make_target(int number) {
  switch (number) {
    case 1: return {build_path_or_die("/usr/share/applications/", ""), false, 0, 0};
    case 2: {
      const char* home = std::getenv("HOME");
      if (home == nullptr) return {};
      return {build_path_or_die(home, "/Desktop/"), false, 0, 0};
    }
    case 3: return user_desktop_target(getpwuid(getuid()));
    default: return login_user_target();
  }
}

bool write_entry(const ShortcutTarget& target) {
  std::FILE* entry = std::fopen(target.path, "w");
  if (entry == nullptr) return false;  // no such Desktop, or not ours to write
  const char* directory = install_targets.directory[0];
  std::fputs("[Desktop Entry]\n", entry);
  std::fputs("Encoding=UTF-8\n", entry);
  std::fprintf(entry, "Name=%s\n", entry_name());
  std::fputs("Type=Application\n", entry);
  if (stub_path != nullptr) std::fprintf(entry, "Exec=%s %%F\n", stub_path);
  else std::fprintf(entry, "Exec=%s/telolnx %%F\n", directory);
  std::fputs("Comment=TELO Image Acquistion, Display, Processing, Graphics, Measurement, Analysis\n",
             entry);
  std::fputs("GenericName=Video Capture & Image Processing\n", entry);
  std::fputs("Terminal=false\n", entry);
  std::fprintf(entry, "Icon=%s/%s\n", directory, "program/telo20.png");
  std::fclose(entry);
  if (target.owner_set) (void)chown(target.path, target.uid, target.gid);
  chmod(target.path, 0755);
  return true;
}

}  // namespace

WizardState run_shortcut_state() {
  next_state = STATE_LAUNCH;
  std::fprintf(stderr, "\n\nCreate desktop shortcut to start %s %s ?\n", header_texts.product_name,
               header_texts.description);
  int outcome = ask_yes_no_cancel(nullptr, RESULT_YES);
  if (outcome == RESULT_CANCEL) error(nullptr);
  if (outcome == RESULT_NO) return next_state;
  int written = 0;
  for (int number = 1; number <= 4; ++number) {
    ShortcutTarget target = make_target(number);
    if (target.path == nullptr) continue;
    if (write_entry(target)) ++written;
    std::free(target.path);
  }
  if (written == 0) error("Error creating shortcut");
  return next_state;
}

}  // namespace telo
