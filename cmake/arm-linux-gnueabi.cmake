# 32-bit ARM (EABI, ARMv5TE, soft float), against glibc: the tests for that target. They run
# under qemu-user on an ARMv5TE core, so an instruction of a later core fails the run, and the
# server they start runs on that core too.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZOLT_GNU_TRIPLET arm-linux-gnueabi)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm926)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)
