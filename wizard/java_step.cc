#include "wizard/state.h"
#include "wizard/steps.h"

namespace telo {

// Not built yet: the state goes straight forward.
void run_java_state() {
  next_state = STATE_TERMINAL;
  current_state = next_state;
}

}  // namespace telo
