# 32-bit x86. Its programs run on an x86-64 build host as they are (with
# Debian's libc6-i386), unless the kernel refuses 32-bit programs: then,
# or when TELO_EMULATE_I386=1 asks for it, under qemu-i386-static. The
# choice is kept in the cache, so that a later reconfigure keeps it.
# qemu takes the loader and C library from the host's libc6-i386, as a
# native run would: with the cross compiler's tree (-L) it would pair that
# tree's loader with libc6-i386's C library (found through the host's
# loader cache), two builds of glibc whose first fork or new thread never
# returns.
set(TELO_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
if(DEFINED ENV{TELO_EMULATE_I386})
  set(TELO_EMULATE_I386 "$ENV{TELO_EMULATE_I386}" CACHE BOOL "Run i386 programs under qemu-i386-static" FORCE)
endif()
if(TELO_EMULATE_I386)
  set(TELO_EMULATOR_NAME qemu-i386-static)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/cross_linux.cmake)
