# 32-bit x86. Its programs run on an x86-64 build host as they are (with
# Debian's libc6-i386), so no emulator.
set(TELO_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/cross_linux.cmake)
