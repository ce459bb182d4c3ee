# Cross build for the board: 32-bit ARMv7 with hard float (Debian armhf),
# with Debian's g++-arm-linux-gnueabihf.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-linux-gnueabihf.cmake
#
# When qemu-arm is installed, the test programs run under it, so that ctest
# works in the cross build as in a native one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(GLIMMER_CROSS_TRIPLE arm-linux-gnueabihf)
set(GLIMMER_CROSS_SYSROOT /usr/${GLIMMER_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${GLIMMER_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${GLIMMER_CROSS_TRIPLE}-g++)

# Libraries and headers come from the target's tree only; build tools from
# the host.
set(CMAKE_FIND_ROOT_PATH ${GLIMMER_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(GLIMMER_QEMU_ARM qemu-arm)
    if(GLIMMER_QEMU_ARM)
        # -L: where the emulated program finds its dynamic loader and libc.
        set(CMAKE_CROSSCOMPILING_EMULATOR ${GLIMMER_QEMU_ARM} -L ${GLIMMER_CROSS_SYSROOT})
    endif()
endif()
