// zolt as a container's first process (process id 1, which alone selects this role). When the
// first process of a PID namespace ends, the kernel ends every other process in it, so there
// the foreground does not end once the listener listens: it stays as the container's init.
// The container's output is its log: the listener and every connection's process write each
// entry there themselves (log/logger.h), and the init only reaps and passes signals on.
#pragma once

#include <signal.h>
#include <sys/types.h>

// True where the foreground is its PID namespace's first process.
bool is_container_init();

// What the init holds from before the listener is forked: the signal mask zolt was started
// with, which the listener takes back at once, and the container's output for the log stream
// (-1 where there is none).
struct init_start {
    sigset_t started_with;
    int output = -1;
};

// Before the fork: holds back the stop signals and SIGCHLD, so that none is lost while the
// listener starts, and takes SIGCHLD back from an inherited SIG_IGN, under which the kernel
// would reap the listener unseen. Opens the container's output for the log stream, as a
// description of zolt's own, non-blocking, above the descriptors the listener closes: a pipe,
// FIFO or terminal anew through /proc (setting O_NONBLOCK on the inherited one would change it
// for the runtime or terminal that holds it too), a file as it is (a file never blocks its
// writer). Any other output, or one that cannot be opened again, gets no stream, and the
// output gets "ERROR: system call:log stream Errno=N continuing pid=1" once.
init_start prepare_container_init();

// In the listener, at once: the signal mask zolt was started with.
void restore_started_mask(const init_start& start);

// The init's life once the listener listens: reaps every process that ends and is its child,
// and passes stop requests on. The first SIGTERM, SIGINT or SIGQUIT ends the listener alone, so
// every connection already accepted is answered to its end; a second ends every process at
// once. Ends the process with 0 after a stop, the listener's own status (3, or 128 + its
// signal) where it ended unasked, and 128 + the signal after a second stop request.
[[noreturn]] void run_container_init_and_exit(pid_t listener, init_start start);
