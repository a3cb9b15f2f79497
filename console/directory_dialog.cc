#include "console/directory_dialog.h"

#include "console/outcome.h"

namespace telo {

// Not built yet: the directory in slot 0 is taken as it stands.
int select_install_directory() { return RESULT_NEXT; }

}  // namespace telo
