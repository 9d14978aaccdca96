# Cross-compiling for 64-bit Windows with Debian's mingw-w64, running the
# Windows tests under Wine.
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The -posix compilers: their C++ library has std::thread and std::mutex,
# which the window tests use to watch for message boxes. Everything is linked
# statically, so the executables need no DLL beyond the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUENVORY_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(QUENVORY_MINGW_CXX NAMES ${QUENVORY_MINGW_TRIPLE}-g++-posix ${QUENVORY_MINGW_TRIPLE}-g++
             REQUIRED)
find_program(QUENVORY_MINGW_CC NAMES ${QUENVORY_MINGW_TRIPLE}-gcc-posix ${QUENVORY_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUENVORY_MINGW_CXX})
if(QUENVORY_MINGW_CC)
  set(CMAKE_C_COMPILER ${QUENVORY_MINGW_CC})
endif()
find_program(CMAKE_RC_COMPILER NAMES ${QUENVORY_MINGW_TRIPLE}-windres windres)
find_program(CMAKE_AR NAMES ${QUENVORY_MINGW_TRIPLE}-gcc-ar ${QUENVORY_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${QUENVORY_MINGW_TRIPLE}-gcc-ranlib ${QUENVORY_MINGW_TRIPLE}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${QUENVORY_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc, libstdc++ or winpthread DLLs beside the executables.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the Windows executables through Wine, the loader the scripts
# choose.
execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-binary
                OUTPUT_VARIABLE QUENVORY_WINE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(QUENVORY_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUENVORY_WINE})
endif()
