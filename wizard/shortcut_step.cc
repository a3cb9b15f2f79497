#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "console/error_stream.h"
#include "console/prompt.h"
#include "sysenv/paths.h"
#include "sysenv/process.h"
#include "wizard/entry_file.h"
#include "wizard/header_texts.h"
#include "wizard/install_targets.h"
#include "wizard/state.h"
#include "wizard/steps.h"
#include "wizard/terminate.h"

namespace telo {

namespace {

// One folder a desktop entry may go into, and the user it is for, if any.
struct ShortcutTarget {
  char* folder = nullptr;  // malloc'd; null when the target is skipped
  EntryOwner owner;
};

const char* entry_name() { return variant_32bit ? "TELO Imaging 32 Bit" : "TELO Imaging"; }
const char* entry_file() { return variant_32bit ? "telo32.desktop" : "telo.desktop"; }

char* build_folder_or_die(const char* first, const char* second) {
  char* folder = concat_strings(2, first, second);
  if (folder == nullptr) error("Memory allocation error (err=6).");
  return folder;
}

// The Desktop entry of a password-database user, owned by that user.
ShortcutTarget user_desktop_target(const passwd* user) {
  ShortcutTarget target;
  if (user == nullptr) return target;
  target.folder = build_folder_or_die(user->pw_dir, "/Desktop");
  target.owner = {true, user->pw_uid, user->pw_gid};
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
    case 1: return {build_folder_or_die("/usr/share/applications", ""), {}};
    case 2: {
      const char* home = std::getenv("HOME");
      if (home == nullptr) return {};
      return {build_folder_or_die(home, "/Desktop"), {}};
    }
    case 3: return user_desktop_target(getpwuid(getuid()));
    default: return login_user_target();
  }
}

void write_lines(int fd) {
  const char* directory = install_targets.directory[0];
  dprintf(fd, "[Desktop Entry]\n");
  dprintf(fd, "Encoding=UTF-8\n");
  dprintf(fd, "Name=%s\n", entry_name());
  dprintf(fd, "Type=Application\n");
  if (stub_path != nullptr) dprintf(fd, "Exec=%s %%F\n", stub_path);
  else dprintf(fd, "Exec=%s/telolnx %%F\n", directory);
  dprintf(fd, "Comment=TELO Image Acquistion, Display, Processing, Graphics, Measurement, Analysis\n");
  dprintf(fd, "GenericName=Video Capture & Image Processing\n");
  dprintf(fd, "Terminal=false\n");
  dprintf(fd, "Icon=%s/%s\n", directory, "program/telo20.png");
}

// A folder or file a user planted in place of the entry is left alone, and said so.
bool write_entry(const ShortcutTarget& target) {
  EntryFile entry = open_entry_file(target.folder, entry_file(), 0755, target.owner);
  switch (entry.result) {
    case EntryOpen::kOpened: break;
    case EntryOpen::kFolderRefused:
      say("Shortcut skipped: %s is a link or not a folder.\n", target.folder);
      return false;
    case EntryOpen::kFileRefused:
      say("Shortcut skipped: %s/%s is a link, a special file or not its owner's.\n", target.folder,
          entry_file());
      return false;
    case EntryOpen::kNoFolder:
    case EntryOpen::kNotWritable: return false;  // no such Desktop, or not ours to write
  }
  write_lines(entry.fd);
  close_entry_file(entry, 0755);
  return true;
}

}  // namespace

WizardState run_shortcut_state() {
  next_state = STATE_LAUNCH;
  say("\n\nCreate desktop shortcut to start %s %s ?\n", header_texts.product_name,
      header_texts.description);
  int outcome = ask_yes_no_cancel(nullptr, RESULT_YES);
  if (outcome == RESULT_CANCEL) error(nullptr);
  if (outcome == RESULT_NO) return next_state;
  int written = 0;
  for (int number = 1; number <= 4; ++number) {
    ShortcutTarget target = make_target(number);
    if (target.folder == nullptr) continue;
    if (write_entry(target)) ++written;
    std::free(target.folder);
  }
  if (written == 0) error("Error creating shortcut");
  return next_state;
}

}  // namespace telo
