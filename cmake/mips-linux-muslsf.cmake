# Big-endian MIPS32r2, soft float, static against musl: the executable `make mips` builds, for
# routers whose cores have no FPU.
include(${CMAKE_CURRENT_LIST_DIR}/mips-linux-gnu.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/muslsf.cmake)
