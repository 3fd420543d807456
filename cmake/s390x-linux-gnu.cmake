# IBM Z (s390x, big-endian), against glibc: the tests for that target.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ZOLT_GNU_TRIPLET s390x-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)
