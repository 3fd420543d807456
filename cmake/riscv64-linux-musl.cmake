# 64-bit RISC-V (RV64GC, lp64d), static against a musl built here from Debian's source
# (tools/musl-from-source), since Debian 12 has no riscv64 musl: the executable `make riscv64`
# builds.
include(${CMAKE_CURRENT_LIST_DIR}/riscv64-linux-gnu.cmake)
set(ZOLT_MUSL_PREFIX ${CMAKE_CURRENT_LIST_DIR}/../build-musl/riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
