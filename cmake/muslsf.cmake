# MIPS32r2 with soft float, static against the musl tools/soft-float-musl built for the byte
# order CMAKE_SYSTEM_PROCESSOR names (mips or mipsel): included by the *-linux-muslsf files.
#
# The cross compiler's libgcc is Debian's hard-float one. zolt and musl take only its 64-bit
# integer division and shifts, which use no FPU, and the linker would warn that their objects
# are marked hard float: that one warning is off. CI checks instead that the executable is
# soft float and holds no FPU instruction.
set(ZOLT_MUSL_PREFIX ${CMAKE_CURRENT_LIST_DIR}/../build-musl/${CMAKE_SYSTEM_PROCESSOR})
set(ZOLT_TARGET_FLAGS "-march=mips32r2 -msoft-float")
set(ZOLT_TARGET_LINK_FLAGS "-Wl,--no-warn-mismatch")
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
