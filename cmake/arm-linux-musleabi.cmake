# 32-bit ARM, static against musl: the executable `make arm` builds. ARMv5TE with soft float
# (Debian's armel), so one executable runs on every 32-bit ARM EABI core from ARMv5TE up, with
# or without an FPU: zolt does no floating-point arithmetic.
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-gnueabi.cmake)
set(ZOLT_MUSL_TRIPLET arm-linux-musleabi)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
