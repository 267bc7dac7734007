# Cross-building the Windows executable on Linux with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix and mingw-w64):
#
#   cmake --preset windows && cmake --build --preset windows
#
# (the preset windows of CMakePresets.json names this file and builds into
# build-windows; ctest --preset windows runs the suite under Wine).
#
# The posix thread model gives std::thread; the top-level CMakeLists.txt links
# everything statically, so parvane-convert.exe runs on any 64-bit Windows
# without extra DLLs. Programs the build makes are run under Wine (wine64),
# when it is installed, so that ctest can run them here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PARVANE_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PARVANE_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PARVANE_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${PARVANE_MINGW_TARGET}-windres)

# Headers and libraries only from the MinGW-w64 tree; build tools from the
# host.
set(CMAKE_FIND_ROOT_PATH /usr/${PARVANE_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian installs the 64-bit loader as /usr/lib/wine/wine64, off the PATH.
find_program(PARVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(PARVANE_WINE)
  # Quiet Wine's own diagnostics, which would otherwise mix with the
  # program's console lines.
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all ${PARVANE_WINE})
endif()
