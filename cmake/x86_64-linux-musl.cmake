# x86-64, static against musl: the release executable `make` builds.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(ZOLT_MUSL_TRIPLET x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
