# Cross-compiling for arm64 (aarch64) boards on a Debian x86-64 machine, with
# Debian's cross toolchain (crossbuild-essential-arm64) and the :arm64 library
# packages installed beside the native ones (multiarch, no sysroot).
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# scripts/test-arm64.sh installs all of it, builds and tests under emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries and CMake packages are then looked for in /usr/lib/aarch64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# pkg-config reads only the arm64 .pc files (and arch-independent ones), after
# the directories in ARM64_PKG_CONFIG_PATH (colon-separated, may be empty).
set(ARM64_PKG_CONFIG_PATH "" CACHE STRING "More directories of arm64 .pc files, searched first")
# try_compile reads this file again, in the same process and environment.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARM64_PKG_CONFIG_PATH)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "${ARM64_PKG_CONFIG_PATH}")

# Test discovery (gtest_discover_tests) and ctest run the arm64 binaries with
# user-mode QEMU, the arm64 loader and libraries being those under /.
find_program(QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${QEMU_AARCH64};-L;/")
endif()
