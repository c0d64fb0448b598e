# Shared part of the ARM cross toolchains: Debian's cross compiler for FILTERS_TRIPLET,
# the ARM libraries from a sysroot of their own, and tests run under qemu-user.
#
# Set FILTERS_TRIPLET (e.g. aarch64-linux-gnu), FILTERS_PROCESSOR and
# FILTERS_QEMU (the qemu-user program) before including this file.
#
# FILTERS_SYSROOT (a cache entry, or the environment variable of that name
# at the first configure) is a folder holding the target's libraries and
# headers from one Debian suite, as .ci/sysroot makes it. It is not the
# machine's own multiarch folders: those need every foreign library at the
# exact version of the native one, which one lagging archive index breaks.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${FILTERS_PROCESSOR})

set(CMAKE_C_COMPILER ${FILTERS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FILTERS_TRIPLET}-g++)

set(FILTERS_SYSROOT "$ENV{FILTERS_SYSROOT}" CACHE PATH "Sysroot with the target's libraries (.ci/sysroot makes one)")
if(NOT IS_DIRECTORY "${FILTERS_SYSROOT}/usr/lib/${FILTERS_TRIPLET}")
  message(FATAL_ERROR "FILTERS_SYSROOT='${FILTERS_SYSROOT}' holds no ${FILTERS_TRIPLET} libraries: "
                      "make one with .ci/sysroot and pass it as -DFILTERS_SYSROOT=DIR")
endif()
# try_compile projects read this file again and must see the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FILTERS_SYSROOT)

set(CMAKE_SYSROOT ${FILTERS_SYSROOT})
set(CMAKE_LIBRARY_ARCHITECTURE ${FILTERS_TRIPLET})
# Libraries, headers and package configurations (GTestConfig.cmake) only from
# the sysroot; programs (qemu, python3) from the machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${FILTERS_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR} ${FILTERS_SYSROOT}/usr/lib/${FILTERS_TRIPLET}/pkgconfig:${FILTERS_SYSROOT}/usr/share/pkgconfig)

# CTest runs every test program through the emulator, which takes the ARM
# dynamic loader and libraries from the sysroot (-L). The tests start the
# filters through one program with a cleared environment, so the prefix
# travels in a one-line wrapper rather than in QEMU_LD_PREFIX.
find_program(FILTERS_QEMU_PROGRAM NAMES ${FILTERS_QEMU} ${FILTERS_QEMU}-static REQUIRED)
get_property(filters_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT filters_in_try_compile)
  set(FILTERS_EMULATOR ${CMAKE_BINARY_DIR}/${FILTERS_QEMU}-sysroot CACHE INTERNAL "The emulator with the sysroot")
  file(CONFIGURE OUTPUT ${FILTERS_EMULATOR}
       CONTENT "#!/bin/sh\nexec '${FILTERS_QEMU_PROGRAM}' -L '${FILTERS_SYSROOT}' \"$@\"\n" @ONLY)
  file(CHMOD ${FILTERS_EMULATOR} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                             WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FILTERS_EMULATOR})
endif()
