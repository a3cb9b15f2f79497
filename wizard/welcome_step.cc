// The welcome screen: the product and its build stamp, then the first prompt.

#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "console/error_stream.h"
#include "console/outcome.h"
#include "console/prompt.h"
#include "wizard/header_texts.h"
#include "wizard/state.h"
#include "wizard/steps.h"
#include "wizard/terminate.h"

namespace telo {

namespace {

void print_welcome_banner() {
  std::time_t build_time = payload_header.build_time;
  std::tm stamp{};
  gmtime_r(&build_time, &stamp);
  say("\n\n%s\n\n", "VORN(R) Software Installation");
  say("Thanks for purchasing VORN(R) imaging products.\n\n");
  say("Let's install  %s %s %s software!", header_texts.product_name,
      header_texts.version, header_texts.description);
  say(" (build %.2d%.2d%.2d.%.2d%.2d%.2d) ", stamp.tm_year % 100, stamp.tm_mon + 1,
      stamp.tm_mday, stamp.tm_hour, stamp.tm_min, stamp.tm_sec);
  say("!\n");
}

}  // namespace

WizardState run_welcome_state() {
  next_state = STATE_DIRECTORY;
  if (new_release_mode) usleep(2000);
  print_welcome_banner();
  if (new_release_mode) {
    static constexpr int kOutcomes[] = {RESULT_DEFAULT_AUTO, RESULT_SELECTIVE, RESULT_CANCEL};
    int outcome = ask_choice("Select default installation?", "Default-auto? Selective? Cancel?", "dsc",
                             kOutcomes, 3, RESULT_DEFAULT_AUTO);
    if (outcome == RESULT_CANCEL) error(nullptr);
    if (outcome == RESULT_DEFAULT_AUTO) auto_mode += 1;
    return next_state;
  }
  static constexpr int kOutcomes[] = {RESULT_NEXT, RESULT_CANCEL};
  return apply_outcome(ask_choice(nullptr, "Next? Cancel?", "nc", kOutcomes, 2, RESULT_NEXT));
}

}  // namespace telo
