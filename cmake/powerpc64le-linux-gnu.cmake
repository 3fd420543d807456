# 64-bit little-endian POWER (ELFv2), against glibc: the tests for that target.
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(ZOLT_GNU_TRIPLET powerpc64le-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)
