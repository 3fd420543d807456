// Each target's system call numbering, apart from the policy (server/sandbox.cpp), which names
// calls only: the filter's architecture, the calls a target lacks, and the quirks of some. The
// numbers themselves come from the target's own headers, so a filter always compares the
// numbers the kernel it runs on sees for that architecture.
#pragma once

#include <linux/audit.h>
#include <linux/net.h>
#include <stdint.h>
#include <sys/syscall.h>

#include <bit>

// A call the target does not have is -1 and left out of its filters: aarch64 has no open,
// poll or fork, x86-64 no send, and only the 32-bit targets have the *64 and *_time64 variants.
#ifndef __NR_open
#define __NR_open -1
#endif
#ifndef __NR_poll
#define __NR_poll -1
#endif
#ifndef __NR_fork
#define __NR_fork -1
#endif
#ifndef __NR_send
#define __NR_send -1
#endif
#ifndef __NR_sendfile64
#define __NR_sendfile64 -1
#endif
#ifndef __NR_fcntl64
#define __NR_fcntl64 -1
#endif
#ifndef __NR_fstat64
#define __NR_fstat64 -1
#endif
#ifndef __NR_fstatat64
#define __NR_fstatat64 -1
#endif
#ifndef __NR_newfstatat
#define __NR_newfstatat -1
#endif
#ifndef __NR_nanosleep
#define __NR_nanosleep -1
#endif
#if !defined(__NR_clock_nanosleep) && defined(__NR_clock_nanosleep_time32)
#define __NR_clock_nanosleep __NR_clock_nanosleep_time32  // musl's name on 32-bit targets
#endif
#ifndef __NR_clock_nanosleep_time64
#define __NR_clock_nanosleep_time64 -1
#endif
#if !defined(__NR_clock_gettime) && defined(__NR_clock_gettime32)
#define __NR_clock_gettime __NR_clock_gettime32  // musl's name on 32-bit targets
#endif
#ifndef __NR_clock_gettime64
#define __NR_clock_gettime64 -1
#endif
#ifndef __NR_ppoll_time64
#define __NR_ppoll_time64 -1
#endif
#ifndef __NR_sigreturn
#define __NR_sigreturn -1
#endif
#ifndef __NR_accept
#define __NR_accept -1
#endif
#ifndef __NR_mmap2
#define __NR_mmap2 -1
#endif
#ifndef __NR_futex_time64
#define __NR_futex_time64 -1
#endif
#ifndef __NR_readlink
#define __NR_readlink -1
#endif
#ifndef __NR_getrlimit
#define __NR_getrlimit -1
#endif
#ifndef __NR_ugetrlimit
#define __NR_ugetrlimit -1
#endif
#ifndef __NR_clone3
#define __NR_clone3 -1
#endif
#ifndef __NR_rt_sigtimedwait_time64
#define __NR_rt_sigtimedwait_time64 -1
#endif
#ifndef __NR_socketcall
#define __NR_socketcall -1
#endif

#if defined(__x86_64__)
inline constexpr uint32_t ARCHITECTURE = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
// Also under a 64-bit x86 kernel, which sees i386's own numbers.
inline constexpr uint32_t ARCHITECTURE = AUDIT_ARCH_I386;
#elif defined(__arm__)
inline constexpr uint32_t ARCHITECTURE = AUDIT_ARCH_ARM;
#elif defined(__aarch64__)
inline constexpr uint32_t ARCHITECTURE = AUDIT_ARCH_AARCH64;
#elif defined(__mips__) && _MIPS_SIM == _ABIO32
// MIPS o32, either byte order, also under a 64-bit MIPS kernel: its calls are numbered from
// 4000, and the filters see those numbers. A fifth or sixth argument travels on the user
// stack, not in a register, but every argument a filter checks is among the first three.
inline constexpr uint32_t ARCHITECTURE =
    std::endian::native == std::endian::big ? AUDIT_ARCH_MIPS : AUDIT_ARCH_MIPSEL;
#elif defined(__riscv) && __riscv_xlen == 64
inline constexpr uint32_t ARCHITECTURE = AUDIT_ARCH_RISCV64;
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline constexpr uint32_t ARCHITECTURE = AUDIT_ARCH_PPC64LE;
#elif defined(__s390x__)
inline constexpr uint32_t ARCHITECTURE = AUDIT_ARCH_S390X;
#else
#error "no seccomp architecture for this target: add its audit constant here"
#endif

// clone's flags are its first argument, but on s390, which passes the new stack first.
#if defined(__s390x__)
inline constexpr int CLONE_FLAGS_ARGUMENT = 1;
#else
inline constexpr int CLONE_FLAGS_ARGUMENT = 0;
#endif

// Where the kernel multiplexes the socket calls (i386, s390x, powerpc, MIPS o32), libc may make
// each one as socketcall(SYS_..., arguments) instead of by its own number: a socket call is
// allowed both ways, its socketcall form by the first argument.
// clang-format off
#define SOCKET_CALL(name, multiplexed) {__NR_##name}, {__NR_socketcall, 0, ~0u, multiplexed}
// clang-format on
