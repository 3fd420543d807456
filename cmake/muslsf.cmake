# MIPS32r2 with soft float, static against the musl tools/musl-from-source built for the byte
# order CMAKE_SYSTEM_PROCESSOR names (mips or mipsel): included by the *-linux-muslsf files.
#
# The cross compiler's libgcc and start and end objects are Debian's hard-float ones. zolt and
# musl take only 64-bit integer division and shifts from libgcc, which use no FPU, and the
# linker would warn at each of these objects that it is marked hard float: its mismatch
# warnings are off for this link. CI checks instead that the executable is MIPS32r2, soft float,
# and holds no FPU instruction.
set(ZOLT_MUSL_PREFIX ${CMAKE_CURRENT_LIST_DIR}/../build-musl/${CMAKE_SYSTEM_PROCESSOR})
set(ZOLT_TARGET_FLAGS "-march=mips32r2 -msoft-float")
set(ZOLT_TARGET_LINK_FLAGS "-Wl,--no-warn-mismatch")
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
