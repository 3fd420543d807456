# 64-bit ARM, against glibc: the tests for that target.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZOLT_GNU_TRIPLET aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)
