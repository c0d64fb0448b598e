# Shared part of the ARM cross toolchains: Debian's cross compiler for FILTERS_TRIPLET,
# libraries from the multiarch folders, and tests run under qemu-user.
#
# Set FILTERS_TRIPLET (e.g. aarch64-linux-gnu), FILTERS_PROCESSOR and
# FILTERS_QEMU (the qemu-user program) before including this file.
#
# Debian installs foreign-architecture libraries beside the native ones
# (libcups2-dev:arm64 puts libcups.so in /usr/lib/aarch64-linux-gnu, its
# headers in the shared /usr/include), so the sysroot stays "/" and
# CMAKE_LIBRARY_ARCHITECTURE alone makes find_library, find_package(Cups)
# and GTest's package configuration pick the ARM copies.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${FILTERS_PROCESSOR})

set(CMAKE_C_COMPILER ${FILTERS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FILTERS_TRIPLET}-g++)

set(CMAKE_LIBRARY_ARCHITECTURE ${FILTERS_TRIPLET})
# Package configurations (GTestConfig.cmake) live in /usr/lib/<triplet>/cmake;
# nothing host-built under /usr/local may stand in for an ARM library. A host
# library found by mistake would stop the link ("file in wrong format").
set(CMAKE_PREFIX_PATH /usr)
set(CMAKE_IGNORE_PREFIX_PATH /usr/local)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${FILTERS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# CTest runs every test program through the emulator. No -L prefix: the
# multiarch libc6:<arch> puts the ARM dynamic loader at its standard path
# and its libraries where that loader looks, and a prefix would pair the
# cross package's loader with the multiarch C library.
find_program(FILTERS_QEMU_PROGRAM NAMES ${FILTERS_QEMU} ${FILTERS_QEMU}-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${FILTERS_QEMU_PROGRAM})
