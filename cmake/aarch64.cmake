# 64-bit ARM, run under qemu-aarch64-static.
set(TELO_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TELO_EMULATOR_NAME qemu-aarch64-static)
# -L: the loader and C library come from the cross compiler's tree (the
# host has none of this architecture's).
set(TELO_EMULATOR_ARGS -L /usr/${TELO_TRIPLE})
include(${CMAKE_CURRENT_LIST_DIR}/cross_linux.cmake)
