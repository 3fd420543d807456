// What the kernel lets each of zolt's processes do. Once a role's filter is installed, a system
// call outside the role's list ends the process with SIGSYS, whatever the process was made to
// run.
#pragma once

enum class sandbox_role {
    listener,  // the connection loop; its children inherit its filter and add their own
    child,     // serving one request
    init,      // a container's first process: waits, passes signals on, copies the log
};

// Sets no-new-privileges and installs the role's seccomp filter. False, with errno set, where
// the kernel (or an emulator) cannot; the process then runs as before.
bool enter_sandbox(sandbox_role role);

// Lets this process, and every process it starts, change the file system only by writing and
// creating regular files beneath the working directory, and bind or connect no TCP socket
// (Landlock; reading is not restricted). False, with errno set, where the kernel has no
// Landlock (ENOSYS, or EOPNOTSUPP where it is built but not enabled); nothing changes then.
bool confine_writes_to_working_directory();

// The same, with nothing writable at all: for the container's init, which only reads the log.
bool forbid_writes();
