# Cross build for 64-bit Windows with mingw-w64; tests run under wine.
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The "-posix" flavour: the win32-threads one has no std::thread/std::mutex in GCC 12.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the executables then need only KERNEL32.dll and msvcrt.dll,
# which every wine prefix and every Windows install has.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest and gtest_discover_tests run the test programs through this.
find_program(NERVLANE_WINE wine)
if(NERVLANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NERVLANE_WINE})
endif()
