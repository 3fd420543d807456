# 64-bit RISC-V (RV64GC, lp64d), against glibc: the tests for that target.
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(ZOLT_GNU_TRIPLET riscv64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)
