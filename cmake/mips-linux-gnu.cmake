# Big-endian MIPS32r2 (o32), against glibc: the tests for that target, under qemu-user. Debian's
# MIPS is hard float; the server the tests start is the soft-float release executable.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(ZOLT_GNU_TRIPLET mips-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)
