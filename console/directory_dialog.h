#pragma once

#include <cstddef>
#include <cstdint>

namespace telo {

// Room for a directory and its terminator.
inline constexpr std::size_t kDialogPathSize = 4096;

// What the dialog tells the user about the product being installed.
struct DirectoryRequest {
  const char* product_name = "";
  const char* version = "";
  std::uint32_t required_bytes = 0;  // the space the selected slots need
};

// Asks for the installation directory. `directory` holds the default on
// entry (offered first when not empty) and the chosen directory after
// RESULT_NEXT. Returns RESULT_NEXT or RESULT_CANCEL.
int select_install_directory(const DirectoryRequest& request, char (&directory)[kDialogPathSize]);

}  // namespace telo
