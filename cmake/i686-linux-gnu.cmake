# 32-bit x86 (i686, Debian's i386 baseline), against glibc: the tests for that target.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZOLT_GNU_TRIPLET i686-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)
