# The armhf package's tool: one static executable for every 32-bit ARM Linux
# board, from the ARMv6 of the Raspberry Pi 1 and Zero up. Debian's armhf
# toolchain and libraries are ARMv7 (even its start-up code is Thumb-2, which
# an ARM1176 cannot run), so the tool is built with Debian's armel cross
# toolchain, whose libraries are ARMv5TE, for ARMv6 with VFPv2, and linked
# statically: it uses no library of the board, so the board's float ABI does
# not matter, and the package is still installed as armhf.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)
# g++ notes that GCC 7.1 changed how some arguments are passed on ARM: it only
# matters when linking with code built by GCC 6 or older, which nothing is.
set(CMAKE_C_FLAGS_INIT "-march=armv6+fp -marm -mfpu=vfp -mfloat-abi=softfp")
set(CMAKE_CXX_FLAGS_INIT
    "-march=armv6+fp -marm -mfpu=vfp -mfloat-abi=softfp -ffunction-sections -fdata-sections -Wno-psabi")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--gc-sections")
set(LIGHT_TEST_STATIC ON)
set(LIGHT_TEST_PACKAGE_ARCH armhf)

# Libraries and headers come from the armel multiarch directories only;
# programs (qemu, cmake's helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under user-mode emulation; the test preset sets the processor
# (QEMU_CPU), the ARM1176 of the Pi 1 and Zero.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
