# Little-endian MIPS32r2, soft float, static against musl: the executable `make mipsel`
# builds, for routers whose cores have no FPU.
include(${CMAKE_CURRENT_LIST_DIR}/mipsel-linux-gnu.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/muslsf.cmake)
