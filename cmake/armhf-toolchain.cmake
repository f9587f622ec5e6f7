# Cross build for 32-bit ARM Linux boards (hard-float) with Debian's
# crossbuild-essential-armhf and multiarch armhf libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# g++ notes that GCC 7.1 changed how some arguments are passed on ARM: it only
# matters when linking with code built by GCC 6 or older, which nothing is.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Libraries and headers come from the armhf multiarch directories only;
# programs (qemu, cmake's helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests of the armhf build run under user-mode emulation. The armhf root it
# loads libraries from is QEMU_LD_PREFIX (the test preset names the cross
# libraries), so the same build can run on another release's libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
