# Shared by the per-architecture toolchain files: a Debian cross compiler
# named TELO_TRIPLE-g++, its target libraries under /usr/TELO_TRIPLE, and
# (for targets the build host cannot run) a user-mode emulator that CMake
# puts in front of every program it runs: test discovery, ctest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${TELO_TRIPLE}-g++)
set(CMAKE_C_COMPILER ${TELO_TRIPLE}-gcc)
set(CMAKE_FIND_ROOT_PATH /usr/${TELO_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C++ runtime goes into every program, so that a target host (or the
# emulator's loader prefix) needs only its C library.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")
if(TELO_EMULATOR_NAME)
  find_program(TELO_EMULATOR_PROGRAM ${TELO_EMULATOR_NAME} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TELO_EMULATOR_PROGRAM} ${TELO_EMULATOR_ARGS})
endif()
