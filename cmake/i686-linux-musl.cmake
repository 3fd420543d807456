# 32-bit x86 for Debian's i386 baseline (i686), static against Debian's musl: the executable
# `make i386` builds. It runs on 32-bit and 64-bit x86 kernels alike.
include(${CMAKE_CURRENT_LIST_DIR}/i686-linux-gnu.cmake)
set(ZOLT_MUSL_TRIPLET i386-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
