# Cross build for 64-bit ARM Linux boards (the Raspberry Pi 3, 4, 5 and Zero 2
# on a 64-bit system) with Debian's crossbuild-essential-arm64 and multiarch
# arm64 libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under user-mode emulation, with the libraries of QEMU_LD_PREFIX
# and the processor of QEMU_CPU (the test preset sets both).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
