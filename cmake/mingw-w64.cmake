# Cross-build for 64-bit Windows with Debian's MinGW-w64 (GCC, posix threads),
# test binaries run under Wine.
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DZUNEL_BOOST_INCLUDE=<dir with a boost link> -DZUNEL_SODIUM_ROOT=<prefix>
#
# scripts/windows-test.sh prepares both directories and runs the tests.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZUNEL_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix-thread variants: std::thread and std::mutex need them.
set(CMAKE_C_COMPILER ${ZUNEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZUNEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZUNEL_MINGW_TRIPLE}-windres)
set(CMAKE_AR /usr/bin/${ZUNEL_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${ZUNEL_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries, headers and CMake packages come only from the MinGW tree (plus the
# prefixes handed in on the command line), so the host's /usr/include never
# reaches the compiler. Programs (python3, wine) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${ZUNEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and add_test() run the Windows binaries through Wine. Wine reads
# WINEPREFIX and WINEDEBUG from the environment (scripts/windows-test.sh sets them).
# A release build runs nothing it builds, so a vendor's build machine needs no Wine.
find_program(ZUNEL_WINE wine)
if(ZUNEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${ZUNEL_WINE}")
endif()

# GCC 12 reports -Wrestrict for std::string concatenations inlined at -O2 and
# above, where no overlap can happen (a known false positive of that release).
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
