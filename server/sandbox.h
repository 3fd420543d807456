// What the kernel lets each of zolt's processes do. Once a role's filter is installed, a system
// call outside the role's list ends the process with SIGSYS, whatever the process was made to
// run.
#pragma once

enum class sandbox_role {
    listener,  // the connection loop; its children inherit its filter and ban their forks
    child,     // serving one request
    init,      // a container's first process: waits and passes signals on
};

// Sets no-new-privileges and installs the role's seccomp filter. False, with errno set, where
// the kernel (or an emulator) cannot; the process then runs as before.
bool enter_sandbox(sandbox_role role);

// How a connection's process is kept from starting processes of its own. Where the kernel
// enforces a process limit on the server (its real user is not root and it holds neither
// CAP_SYS_RESOURCE nor CAP_SYS_ADMIN), a limit of 0 does it for the price of one call; the
// limit cannot be raised again without those. Elsewhere the child's own filter does it.
enum class fork_ban { own_filter, process_limit };

// Chosen once, in the listener before it enters its sandbox: what every child will do.
fork_ban choose_fork_ban();

// In each connection's process: the process limit, or the child's filter where that was
// chosen or the limit could not be set. False, with errno set, where neither could.
bool ban_forks(fork_ban ban);

// Lets this process, and every process it starts, change the file system only by writing and
// creating regular files beneath the working directory, and bind or connect no TCP socket
// (Landlock; reading is not restricted). False, with errno set, where the kernel has no
// Landlock (ENOSYS, or EOPNOTSUPP where it is built but not enabled); nothing changes then.
bool confine_writes_to_working_directory();

// The same, with nothing writable at all: for the container's init, which writes nothing.
bool forbid_writes();
