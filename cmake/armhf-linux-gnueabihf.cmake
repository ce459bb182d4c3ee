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

# The target's libraries come from two trees: the cross compiler's C and C++
# runtime under /usr/arm-linux-gnueabihf, and Debian's multiarch packages
# (libdrm-dev:armhf, libsystemd-dev:armhf) under /usr/lib/arm-linux-gnueabihf
# with their headers in /usr/include. The root "/" reaches the second through
# the library architecture; the host's own libraries lie in its multiarch
# directory, which is never searched, and in the plain ones ignored here.
set(CMAKE_LIBRARY_ARCHITECTURE ${GLIMMER_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${GLIMMER_CROSS_SYSROOT} /)
set(CMAKE_SYSTEM_IGNORE_PATH /lib /usr/lib /usr/local/lib)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config describes the target's packages only: without this it answers
# with the build machine's libdrm and libsystemd.
set(ENV{PKG_CONFIG_LIBDIR}
    /usr/lib/${GLIMMER_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(GLIMMER_QEMU_ARM qemu-arm)
    if(GLIMMER_QEMU_ARM)
        # -L: where the emulated program finds its dynamic loader. That loader
        # reads the build machine's /etc/ld.so.cache, which lists the
        # multiarch libc6:armhf once a multiarch package is installed; a libc
        # of another build than the loader's crashes (fork() in the child).
        # So the loader's own libc comes first, then the multiarch libraries.
        set(CMAKE_CROSSCOMPILING_EMULATOR ${GLIMMER_QEMU_ARM} -L ${GLIMMER_CROSS_SYSROOT} -E
            LD_LIBRARY_PATH=${GLIMMER_CROSS_SYSROOT}/lib:/usr/lib/${GLIMMER_CROSS_TRIPLE}:/lib/${GLIMMER_CROSS_TRIPLE})
    endif()
endif()
