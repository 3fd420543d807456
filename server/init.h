// zolt as a container's first process (process id 1, which alone selects this role). When the
// first process of a PID namespace ends, the kernel ends every other process in it, so there
// the foreground does not end once the listener listens: it stays as the container's init.
#pragma once

#include <signal.h>
#include <sys/types.h>

// True where the foreground is its PID namespace's first process.
bool is_container_init();

// What the init holds from before the listener is forked: the signal mask zolt was started
// with, which the listener takes back at once, and the log, read from where it ended then.
struct init_start {
    sigset_t started_with;
    int log = -1;
};

// Before the fork: holds back the stop signals and SIGCHLD, so that none is lost while the
// listener starts, and notes where the log ends.
init_start prepare_container_init();

// In the listener, at once: the signal mask zolt was started with.
void restore_started_mask(const init_start& start);

// The init's life once the listener listens: reaps every process that ends and is its child,
// copies what the log gains to standard output, and passes stop requests on. The first
// SIGTERM, SIGINT or SIGQUIT ends the listener alone, so every connection already accepted is
// answered to its end; a second ends every process at once. Ends the process with 0 after a
// stop, the listener's own status (3, or 128 + its signal) where it ended unasked, and 128 +
// the signal after a second stop request.
[[noreturn]] void run_container_init_and_exit(pid_t listener, init_start start);
