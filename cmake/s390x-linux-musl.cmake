# IBM Z for Debian's s390x baseline, static against Debian's musl: the executable `make s390x`
# builds.
include(${CMAKE_CURRENT_LIST_DIR}/s390x-linux-gnu.cmake)
set(ZOLT_MUSL_TRIPLET s390x-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
