#include <cstdio>
#include <cstdlib>

#include "console/error_stream.h"
#include "console/prompt.h"
#include "sysenv/paths.h"
#include "sysenv/process.h"
#include "wizard/header_texts.h"
#include "wizard/host_tools.h"
#include "wizard/state.h"
#include "wizard/steps.h"
#include "wizard/terminate.h"

namespace telo {

namespace {

// Where the application expects to find Java, learned before anything is printed.
struct JavaSituation {
  bool private_java = false;            // jre/ or program/bin/ under the installation directory
  bool no_java_in_distribution = false;  // the payload names no Java runtime of its own
  bool arm_host = false;
  bool system_java = false;             // a java program in one of the usual places
};

constexpr const char* kJavaVendorSite = "www.java.com";

bool has_install_subdirectory(const char* name) {
  char* path = install_subpath(name);
  if (path == nullptr) return false;  // a path that cannot be built counts as not found
  bool found = is_directory(path) == 1;
  std::free(path);
  return found;
}

bool has_system_java() {
  static constexpr const char* kJavaPrograms[] = {"/usr/bin/java", "/local/bin/java", "/bin/java"};
  for (const char* program : kJavaPrograms)
    if (is_directory(program) == 0) return true;
  return false;
}

JavaSituation survey_java() {
  JavaSituation situation;
  situation.private_java = has_install_subdirectory("jre") || has_install_subdirectory("program/bin");
  situation.no_java_in_distribution = header_texts.java_runtime[0] == '\0';
  bool aarch64 = is_aarch64_host() > 0;
  bool arm7l = is_arm7l_host() > 0;
  situation.arm_host = aarch64 || arm7l;
  situation.system_java = has_system_java();
  return situation;
}

// The distribution's runtime package for this ARM host, or null on other hosts.
const char* jre_package() {
  if (is_arm7l_host() > 0) return "default-jre";
  if (is_aarch64_host() > 0) return "openjdk-8-jre";
  return nullptr;
}

void offer_jre_install() {
  say(
      "\n\nTELO software uses Java technology; this distribution doesn't include\n"
      "Java.  A Java Runtime Environment (JRE) has not been detected on\n"
      "this system. The JRE can be installed later, using system tools,\n"
      "or the JRE can be installed now (requires network access).\n\n");
  static constexpr int kOutcomes[] = {RESULT_YES, RESULT_NO};
  if (ask_choice("Install JRE?", "No? Yes?", "yn", kOutcomes, 2, RESULT_YES) != RESULT_YES) return;

  run_package_tool("update");
  if (run_package_tool("install", jre_package()) != 0) {
    say("\n\nUnable to install Java JRE; install later using system tools.\n\n");
    ask_ok();
    return;
  }
  // The packaged runtime enables an accessibility bridge that the application cannot load.
  const char* sed = choose_tool("/bin/sed", "/usr/bin/sed");
  run_command(sed, sed, "-i", "s/^assistive.technologies=/#&/",
              "/etc/java-8-openjdk/accessibility.properties");
}

void explain_separate_java(bool private_java) {
  say(
      "\n\nTELO software uses Java technology.  This distribution does not\n"
      "include Java technology, but suitable as a service pack for a\n"
      "previously installed  TELO, or for use on systems that have Java\n"
      "installed separately.\n\n");
  if (private_java) {
    say(
        "A previous TELO and Java installed for its private use has\n"
        "been found.  Install TELO, configured to use the existing\n"
        "private Java?\n");
  } else {
    say("%s%s%s", "Java is or will be installed separately, such as from \n",
        kJavaVendorSite,
        " (TELO is tested using Sun/Oracle Java, and may\n"
        "not operate properly using other Java technology).\n"
        "Install TELO, configured to use the separate Java?\n");
  }
  if (ask_ok_cancel("Proceed?", RESULT_NEXT) == RESULT_CANCEL) error(nullptr);
}

}  // namespace

WizardState run_java_state() {
  next_state = STATE_TERMINAL;
  JavaSituation situation = survey_java();
  if (situation.arm_host && situation.system_java) {
    say(
        "\n\nTELO software uses Java technology, but does not include Java.\n"
        "A Java Runtime Environment (JRE) has been detected on this system.\n\n");
    ask_ok();
  } else if (situation.arm_host) {
    offer_jre_install();
  } else if (situation.no_java_in_distribution) {
    explain_separate_java(situation.private_java);
  }
  return next_state;
}

}  // namespace telo
