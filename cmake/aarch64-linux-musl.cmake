# 64-bit ARM, static against musl: the executable `make arm64` builds.
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-linux-gnu.cmake)
set(ZOLT_MUSL_TRIPLET aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
