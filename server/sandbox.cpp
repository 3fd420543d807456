#include "server/sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <span>

#include "server/syscalls.h"

namespace {

// A call allowed outright (argument -1), or only when the argument's bits under `mask` are
// `value` (the low 32 bits, which hold every flag checked here). A call marked `absent` is
// answered ENOSYS instead, as a kernel without it would, so that libc falls back to another.
struct allowed_call {
    int number;
    int argument = -1;
    uint32_t mask = 0;
    uint32_t value = 0;
    bool absent = false;
};

// An open may read, or append to the log the way the logger opens it: create and append,
// write-only. Nothing may be opened to write in place, truncated or read back and written.
constexpr uint32_t OPEN_MODE = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND;
constexpr uint32_t OPEN_READ = O_RDONLY;
constexpr uint32_t OPEN_LOG = O_WRONLY | O_CREAT | O_APPEND;

// A new process may share nothing with its parent and enter no new namespace.
constexpr uint32_t CLONE_SHARING = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND |
                                   CLONE_THREAD | CLONE_NEWNS | CLONE_NEWUSER | CLONE_NEWPID |
                                   CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS | CLONE_NEWCGROUP;

// What every role does: read and write what it holds open, open a file to read it (musl sets
// close-on-exec with F_SETFD after an open), measure it (each libc and target with calls of its
// own), read the clock, return from a signal, and exit.
constexpr allowed_call every_role_calls[] = {
    {__NR_read},
    {__NR_write},
    {__NR_close},
    {__NR_open, 1, OPEN_MODE, OPEN_READ},
    {__NR_openat, 2, OPEN_MODE, OPEN_READ},
    {__NR_fcntl, 1, ~0u, F_SETFD},
    {__NR_fcntl64, 1, ~0u, F_SETFD},
    {__NR_fstat},
    {__NR_fstat64},
    {__NR_newfstatat},
    {__NR_fstatat64},
    {__NR_statx},
    {__NR_clock_gettime},
    {__NR_clock_gettime64},
    {__NR_restart_syscall},
    {__NR_rt_sigreturn},
    {__NR_sigreturn},
    {__NR_exit},
    {__NR_exit_group},
};

// Serving one request: the log appended, the file sent, the socket's time-outs and
// non-blocking switch (FIONBIO, which unlike F_SETFL cannot take O_APPEND off the log), the
// shutdown, the pause. Each libc and target sends and sleeps with calls of its own.
constexpr allowed_call child_calls[] = {
    SOCKET_CALL(shutdown, SYS_SHUTDOWN),
    SOCKET_CALL(setsockopt, SYS_SETSOCKOPT),
    SOCKET_CALL(sendto, SYS_SENDTO),
    SOCKET_CALL(send, SYS_SEND),
    {__NR_sendfile},
    {__NR_sendfile64},
    {__NR_poll},
    {__NR_ppoll},
    {__NR_ppoll_time64},
    {__NR_open, 1, OPEN_MODE, OPEN_LOG},
    {__NR_openat, 2, OPEN_MODE, OPEN_LOG},
    {__NR_ioctl, 1, ~0u, FIONBIO},
    {__NR_nanosleep},
    {__NR_clock_nanosleep},
    {__NR_clock_nanosleep_time64},
};

// The connection loop: accept, fork (and what libc does around it), the process id for the
// error entries, and the child's own filter or its process limit. A child inherits this
// filter, so it holds every child call too.
constexpr allowed_call listener_calls[] = {
    SOCKET_CALL(accept, SYS_ACCEPT),
    SOCKET_CALL(accept4, SYS_ACCEPT4),
    {__NR_fork},
    {__NR_clone, CLONE_FLAGS_ARGUMENT, CLONE_SHARING, 0},
    {__NR_clone3, -1, 0, 0, true},  // its flags are in memory, out of a filter's reach
    {__NR_rt_sigprocmask},
    {__NR_set_robust_list},
    {__NR_gettid},
    {__NR_getpid},
    {__NR_prctl, 0, ~0u, PR_SET_NO_NEW_PRIVS},
    {__NR_seccomp, 0, ~0u, SECCOMP_SET_MODE_FILTER},
    {__NR_prctl, 0, ~0u, PR_SET_SECCOMP},
    {__NR_setrlimit, 0, ~0u, RLIMIT_NPROC},  // a child's process limit, and no other
};

// The container's init: waiting for its children and for signals, and passing stop requests
// on. Nothing inherits this filter: the listener is forked before it is installed.
constexpr allowed_call init_calls[] = {
    {__NR_rt_sigtimedwait}, {__NR_rt_sigtimedwait_time64}, {__NR_wait4}, {__NR_waitid}, {__NR_kill},
};

#ifdef ZOLT_SANITIZE
// The sanitizer runtime checks its signal stack around every call it watches, and maps memory
// and reads its own maps to report a fault: only the sanitizer build allows these.
constexpr allowed_call sanitizer_calls[] = {
    {__NR_sigaltstack}, {__NR_mmap},         {__NR_mmap2},        {__NR_munmap},
    {__NR_mprotect},    {__NR_madvise},      {__NR_rt_sigaction}, {__NR_rt_sigprocmask},
    {__NR_futex},       {__NR_futex_time64}, {__NR_sched_yield},  {__NR_gettid},
    {__NR_getpid},      {__NR_readlink},     {__NR_readlinkat},   {__NR_getrlimit},
    {__NR_ugetrlimit},  {__NR_prlimit64},
};
#else
constexpr std::array<allowed_call, 0> sanitizer_calls{};
#endif

// Jump targets written while the program is built, resolved once its length is known.
constexpr uint8_t TO_ALLOW = 0xff;
constexpr uint8_t TO_KILL = 0xfe;
constexpr uint8_t TO_ABSENT = 0xfd;

// The kernel widens each argument to 64 bits; the low half, which holds every flag checked
// here, is the second word of it on a big-endian target.
constexpr uint32_t argument_offset(int argument) {
    constexpr size_t low_half = std::endian::native == std::endian::big ? 4 : 0;
    return static_cast<uint32_t>(offsetof(seccomp_data, args) + 8 * argument + low_half);
}
// Checked here against the kernel's layout, for the byte order of the target being built: no
// big-endian kernel runs the tests.
constexpr bool loads_low_half() {
    seccomp_data data{};
    data.args[2] = 0x1111111122222222;
    const auto bytes = std::bit_cast<std::array<uint8_t, sizeof data>>(data);
    std::array<uint8_t, 4> word{};
    std::copy_n(bytes.begin() + argument_offset(2), 4, word.begin());
    return std::bit_cast<uint32_t>(word) == 0x22222222;
}
static_assert(loads_low_half());

constexpr size_t MAX_FILTER = 255;  // jumps reach at most 255 instructions ahead
constexpr size_t MAX_CALLS = 128;

// The allowed calls of one filter, sorted by number.
struct call_list {
    std::array<allowed_call, MAX_CALLS> calls{};
    size_t size = 0;

    constexpr void add(std::span<const allowed_call> more) {
        for (const allowed_call& call : more) {
            if (call.number >= 0) calls[size++] = call;
        }
    }
    // Where the calls with this one's number end.
    constexpr size_t end_of_number(size_t first) const {
        size_t end = first;
        while (end < size && calls[end].number == calls[first].number)
            ++end;
        return end;
    }
};

struct filter {
    std::array<sock_filter, MAX_FILTER> code{};
    size_t size = 0;

    constexpr size_t add(uint16_t op, uint32_t k, uint8_t jt = 0, uint8_t jf = 0) {
        code[size] = sock_filter{op, jt, jf, k};
        return size++;
    }

    // One number's rules: allowed outright, or when one of its argument checks holds.
    constexpr void allow_number(const call_list& list, size_t first, size_t end) {
        const auto number = static_cast<uint32_t>(list.calls[first].number);
        for (size_t i = first; i < end; ++i) {
            if (list.calls[i].argument < 0) {
                add(BPF_JMP | BPF_JEQ | BPF_K, number, list.calls[i].absent ? TO_ABSENT : TO_ALLOW,
                    0);
                return;
            }
        }
        const size_t test = add(BPF_JMP | BPF_JEQ | BPF_K, number);
        for (size_t i = first; i < end; ++i) {
            add(BPF_LD | BPF_W | BPF_ABS, argument_offset(list.calls[i].argument));
            add(BPF_ALU | BPF_AND | BPF_K, list.calls[i].mask);
            add(BPF_JMP | BPF_JEQ | BPF_K, list.calls[i].value, TO_ALLOW, 0);
        }
        add(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
        code[test].jf = static_cast<uint8_t>(size - test - 1);
    }

    // Each number in turn. Installing a filter is what costs, not running it: the kernel runs
    // it for every call number when it is installed, once per child, and from 5.11 on it
    // caches the answer for calls allowed without an argument check.
    constexpr void compare_in_turn(const call_list& list) {
        for (size_t i = 0; i < list.size; i = list.end_of_number(i))
            allow_number(list, i, list.end_of_number(i));
    }

    // The last three instructions kill, answer ENOSYS and allow; every placeholder jump goes
    // to one of them.
    constexpr void finish() {
        add(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
        add(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS);
        add(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
        for (size_t i = 0; i + 3 < size; ++i) {
            const auto resolve = [&](uint8_t& jump) {
                if (jump == TO_ALLOW) jump = static_cast<uint8_t>(size - 1 - (i + 1));
                if (jump == TO_ABSENT) jump = static_cast<uint8_t>(size - 2 - (i + 1));
                if (jump == TO_KILL) jump = static_cast<uint8_t>(size - 3 - (i + 1));
            };
            if (BPF_CLASS(code[i].code) == BPF_JMP) {
                resolve(code[i].jt);
                resolve(code[i].jf);
            }
        }
    }
};

// The architecture first (and on x86-64 no x32 call), then the call among the allowed ones;
// anything else ends the process.
constexpr filter make_filter(std::span<const allowed_call> own,
                             std::span<const allowed_call> inherited) {
    call_list list;
    list.add(every_role_calls);
    list.add(own);
    list.add(inherited);
    list.add(sanitizer_calls);
    std::sort(list.calls.begin(), list.calls.begin() + static_cast<long>(list.size),
              [](const allowed_call& a, const allowed_call& b) { return a.number < b.number; });
    filter program;
    program.add(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
    program.add(BPF_JMP | BPF_JEQ | BPF_K, ARCHITECTURE, 0, TO_KILL);
    program.add(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
#if defined(__x86_64__)
    program.add(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, TO_KILL, 0);  // __X32_SYSCALL_BIT
#endif
    program.compare_in_turn(list);
    program.finish();
    return program;
}

// Built at compile time; only the instructions themselves go into the executable.
template <const filter& built>
constexpr std::array<sock_filter, built.size> exactly() {
    static_assert(built.size < MAX_FILTER);
    std::array<sock_filter, built.size> code{};
    for (size_t i = 0; i < built.size; ++i)
        code[i] = built.code[i];
    return code;
}

constexpr filter listener_built = make_filter(listener_calls, child_calls);
constexpr filter child_built = make_filter(child_calls, {});
constexpr filter init_built = make_filter(init_calls, {});
constexpr auto listener_filter = exactly<listener_built>();
constexpr auto child_filter = exactly<child_built>();
constexpr auto init_filter = exactly<init_built>();

sock_fprog program_of(sandbox_role role) {
    const auto program = [](const auto& code) {
        return sock_fprog{static_cast<unsigned short>(code.size()),
                          const_cast<sock_filter*>(code.data())};
    };
    switch (role) {
        case sandbox_role::listener:
            return program(listener_filter);
        case sandbox_role::child:
            return program(child_filter);
        case sandbox_role::init:
            break;
    }
    return program(init_filter);
}

#ifdef ZOLT_NO_SANDBOX
constexpr bool BUILT_WITHOUT_SANDBOX = true;  // the benchmark's comparison build
#else
constexpr bool BUILT_WITHOUT_SANDBOX = false;
#endif

// Landlock: the rights that change the file system, by the kernel ABI that brought them (the
// later ones are defined here, as the build machine's headers may predate them), and the two
// the log needs beneath the top directory: appending, and creating it again after a rotation.
// Reading and executing are not handled, so they stay as without Landlock.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
constexpr uint64_t WRITES_SINCE_ABI_1 =
    LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_MAKE_SYM;
constexpr uint64_t LOG_WRITES = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG;

// The kernel's ruleset attributes as of ABI 4; an older kernel accepts the larger size, since
// the network field it does not know is zero there.
struct landlock_handled {
    uint64_t fs;
    uint64_t net;
};

}  // namespace

bool enter_sandbox(sandbox_role role) {
    if (BUILT_WITHOUT_SANDBOX) {
        errno = ENOSYS;
        return false;
    }
    const sock_fprog installed = program_of(role);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    // A filter would otherwise turn on the kernel's speculation mitigations for the process
    // on kernels before 5.16 (store bypass, branch predictor barriers on every switch); like
    // systemd's filters, these leave them as for any other process. Kernels before 4.17 know
    // no flags, and before 3.17 have no seccomp call; a service manager's own filter may
    // refuse the call with EPERM while it allows prctl. The same filter then goes in without
    // the flag, or through prctl.
    if (syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_SPEC_ALLOW,
                &installed) == 0) {
        return true;
    }
    if (errno == EINVAL && syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, 0, &installed) == 0) {
        return true;
    }
    return (errno == ENOSYS || errno == EPERM) &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &installed) == 0;
}

fork_ban choose_fork_ban() {
    if (getuid() == 0) return fork_ban::own_filter;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(__NR_capget, &header, sets) != 0) return fork_ban::own_filter;
    static_assert(CAP_SYS_RESOURCE < 32 && CAP_SYS_ADMIN < 32);
    const uint32_t exempt = CAP_TO_MASK(CAP_SYS_RESOURCE) | CAP_TO_MASK(CAP_SYS_ADMIN);
    return (sets[0].effective & exempt) == 0 ? fork_ban::process_limit : fork_ban::own_filter;
}

bool ban_forks(fork_ban ban) {
    if (ban == fork_ban::process_limit && !BUILT_WITHOUT_SANDBOX) {
        // The kernel's own layout, the same for every libc and for 32-bit file offsets.
        const struct { unsigned long current, maximum; } none{0, 0};
        if (syscall(__NR_setrlimit, RLIMIT_NPROC, &none) == 0) return true;
    }
    return enter_sandbox(sandbox_role::child);
}

namespace {

// What `beneath_top` allows beneath the working directory is all that may change the file
// system; with nothing allowed there, nothing may.
bool restrict_writes(uint64_t beneath_top) {
    if (BUILT_WITHOUT_SANDBOX) {
        errno = ENOSYS;
        return false;
    }
    const long abi =
        syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) return false;
    landlock_handled handled{WRITES_SINCE_ABI_1, 0};
    if (abi >= 2) handled.fs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) handled.fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 4) handled.net = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
    const int ruleset =
        static_cast<int>(syscall(__NR_landlock_create_ruleset, &handled, sizeof handled, 0));
    if (ruleset < 0) return false;
    landlock_path_beneath_attr top{beneath_top, -1};
    if (beneath_top != 0) top.parent_fd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const bool confined =
        (beneath_top == 0 ||
         (top.parent_fd >= 0 &&
          syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &top, 0) == 0)) &&
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
        syscall(__NR_landlock_restrict_self, ruleset, 0) == 0;
    const int saved_errno = errno;
    if (top.parent_fd >= 0) close(top.parent_fd);
    close(ruleset);
    errno = saved_errno;
    return confined;
}

}  // namespace

bool confine_writes_to_working_directory() {
    return restrict_writes(LOG_WRITES);
}

bool forbid_writes() {
    return restrict_writes(0);
}
