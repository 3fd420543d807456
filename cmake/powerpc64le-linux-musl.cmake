# 64-bit little-endian POWER for Debian's ppc64el baseline, static against Debian's musl: the
# executable `make ppc64le` builds.
include(${CMAKE_CURRENT_LIST_DIR}/powerpc64le-linux-gnu.cmake)
set(ZOLT_MUSL_TRIPLET powerpc64le-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
