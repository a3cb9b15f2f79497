#pragma once

// The installer's own texts for the steps after "Files installed!", as the
// whole-program tests expect them byte for byte (payload texts as built by
// PayloadTexts' defaults: "TELO" "for Linux 32 bit").

#include <string>

#include "tests/support/host_installation.h"

namespace telo::testing {

// The screen that ends extraction, before its Back/Next/Cancel prompt.
inline const std::string kFilesInstalled =
    "\n\nFiles installed!   See files:\n\n"
    "TELOINS.TXT \tUp-to-the-minute installation\n\t\tinstructions and software overview.\n"
    "TELODST.TXT \tDescribes the various files installed.\n"
    "TELORLS.TXT \tUp-to-the-minute release notes.\n"
    "PCITIPS.TXT \tPC configuration tips.\n\n"
    "TELO.HTM    \tThe full TELO Reference Manual.\n";

inline std::string stub_offer(const std::string& stub) {
  return "\n\nCreate executable stub \n\t" + stub + " \nto start TELO for Linux 32 bit ?\n";
}

inline const std::string kStubVariants =
    "\n\nThe stub can either:\n\n"
    "a) Execute TELO with individual settings and configuration,\n"
    "and individual default storage of images, scripts and\n"
    "other data within the current (relative to where & when the\n"
    "stub was executed) directory.\n\n"
    "b) Execute TELO with shared, common settings and\n"
    "configuration, and shared default storage of images,\n"
    "scripts and other data.  Use by different users (uid's)\n"
    "might require adjusting the permissions of TELO's files.\n";

inline std::string shared_note(const std::string& directory) {
  return "\n\nNote: Subdirectories under \n   " + directory +
         " \nfor saved images, settings, scripts, etc., \n"
         "have been pre-created and modes changed so as \n"
         "to allow shared access by ANY user (uid).\n";
}

inline std::string stub_exists(const std::string& stub) {
  return "\n\nFile " + stub + " already exists.\n";
}

inline const std::string kShortcutOffer = "\n\nCreate desktop shortcut to start TELO for Linux 32 bit ?\n";
inline const std::string kLaunchOffer = "\n\n\n\nStart TELO for Linux 32 bit now ?\n";
inline const std::string kStarting = "\n\nStarting TELO for Linux 32 bit now ...\n\n";
inline const std::string kComplete = "\n\nInstallation complete.\n\n";
inline const std::string kTerminated = "\n\nInstallation terminated.\n";

inline const std::string kYesNo = prompt_text(nullptr, "No? Yes? Cancel?");
inline const std::string kVariantPrompt = prompt_text(nullptr, "Individual Files? Shared Files? Cancel?");
inline const std::string kOverwritePrompt = prompt_text("Overwrite?", "No? Yes? Cancel?");
inline const std::string kOkCancel = prompt_text(nullptr, "Ok? Cancel?");

// The launcher stub as written for installation directory `d`.
inline std::string expected_stub(const std::string& d, bool shared) {
  return "#!/bin/sh\n"
         "\n"
         "# For shared settings and configuration saved\n"
         "# in the " + d + " directory, include\n"
         "#    cd " + d + "\n"
         "# For login-centric settings and configuration saved\n"
         "# in the user's home directory, include\n"
         "#    cd\n"
         "# Otherwise settings and configuration are unique to,\n"
         "# and saved within, the directory from which this\n"
         "# is executed\n"
         "#\n" +
         (shared ? "cd " + d + "\n" : std::string("cd\n")) +
         "\n"
         "# Command line parameters may be image file pathnames;\n"
         "# they are automatically opened by TELO.\n"
         "exec " + d + "/telolnx \"$@\"\n";
}

// A desktop entry as written; `exec` is the program of its Exec line.
inline std::string expected_entry(const std::string& d, const std::string& exec, bool variant_32bit) {
  return std::string("[Desktop Entry]\n") +
         "Encoding=UTF-8\n"
         "Name=" + (variant_32bit ? "TELO Imaging 32 Bit" : "TELO Imaging") + "\n"
         "Type=Application\n"
         "Exec=" + exec + " %F\n"
         "Comment=TELO Image Acquistion, Display, Processing, Graphics, Measurement, Analysis\n"
         "GenericName=Video Capture & Image Processing\n"
         "Terminal=false\n"
         "Icon=" + d + "/program/telo20.png\n";
}

}  // namespace telo::testing
