# A cross build against the target's glibc with Debian's cross compiler: the tests for that
# target. The including toolchain file names CMAKE_SYSTEM_PROCESSOR, ZOLT_GNU_TRIPLET and the
# qemu-user emulator first. Everything is linked statically, so it runs under the emulator
# without a sysroot and on a real ARM kernel from an initramfs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZOLT_GNU_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZOLT_GNU_TRIPLET}-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_FIND_ROOT_PATH /usr/${ZOLT_GNU_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
