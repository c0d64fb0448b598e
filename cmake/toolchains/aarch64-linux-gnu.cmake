# Cross toolchain for 64-bit ARM (arm64) print servers: Debian's
# aarch64-linux-gnu compiler, arm64 libraries from a sysroot, tests under qemu-aarch64.
set(FILTERS_TRIPLET aarch64-linux-gnu)
set(FILTERS_PROCESSOR aarch64)
set(FILTERS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-sysroot.cmake)
