# 32-bit ARM, hard-float (ARMv7), run under qemu-arm-static.
set(TELO_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(TELO_EMULATOR_NAME qemu-arm-static)
# -L: the loader and C library come from the cross compiler's tree (the
# host has none of this architecture's).
set(TELO_EMULATOR_ARGS -L /usr/${TELO_TRIPLE})
include(${CMAKE_CURRENT_LIST_DIR}/cross_linux.cmake)
