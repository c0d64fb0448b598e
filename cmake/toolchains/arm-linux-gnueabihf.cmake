# Cross toolchain for 32-bit ARM hard-float (armhf) print servers: Debian's
# arm-linux-gnueabihf compiler, armhf libraries from a sysroot, tests under qemu-arm.
set(FILTERS_TRIPLET arm-linux-gnueabihf)
set(FILTERS_PROCESSOR arm)
set(FILTERS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-sysroot.cmake)
