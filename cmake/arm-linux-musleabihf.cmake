# 32-bit ARM (EABI, hard float), static against musl: the executable `make arm` builds.
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-gnueabihf.cmake)
set(ZOLT_MUSL_TRIPLET arm-linux-musleabihf)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
