# 32-bit little-endian ARM (EABI, hard float), against glibc: the tests for that target.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZOLT_GNU_TRIPLET arm-linux-gnueabihf)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)
