#include "server/init.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "log/logger.h"
#include "server/sandbox.h"
#include "zolt.h"

namespace {

sigset_t init_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal_number : {SIGTERM, SIGINT, SIGQUIT, SIGCHLD})
        sigaddset(&signals, signal_number);
    return signals;
}

int open_output_for_stream() {
    struct stat output;
    if (fstat(STDOUT_FILENO, &output) != 0) return -1;
    int stream = -1;
    if (S_ISFIFO(output.st_mode) || S_ISCHR(output.st_mode)) {
        stream = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } else if (S_ISREG(output.st_mode)) {
        stream = dup(STDOUT_FILENO);
    }
    return stream < 0 ? -1 : keep_above_low_descriptors(stream);
}

int status_of(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

}  // namespace

bool is_container_init() {
    return getpid() == 1;
}

init_start prepare_container_init() {
    init_start start;
    signal(SIGCHLD, SIG_DFL);  // cannot fail for a valid signal
    const sigset_t held = init_signals();
    sigprocmask(SIG_BLOCK, &held, &start.started_with);  // cannot fail for a valid set
    start.output = open_output_for_stream();
    // Said once on the output itself, before anything else is written there: a pipe this user
    // may not open again (one its runtime did not hand over), or a socket.
    if (start.output < 0) logger_continuing_to(STDOUT_FILENO, "system call", "log stream");
    return start;
}

void restore_started_mask(const init_start& start) {
    sigprocmask(SIG_SETMASK, &start.started_with, nullptr);
}

void run_container_init_and_exit(pid_t listener, init_start start) {
    if (start.output >= 0) close(start.output);  // the init logs nothing
    // The listener has said at start which layers this kernel lacks; the init goes on without
    // them as it does.
    forbid_writes();
    enter_sandbox(sandbox_role::init);

    const sigset_t waited = init_signals();
    int stop_requests = 0;
    bool stopped_on_request = false;
    int listener_status = -1;  // until it has ended
    for (;;) {
        const int received = sigwaitinfo(&waited, nullptr);
        if (received == SIGTERM || received == SIGINT || received == SIGQUIT) {
            if (++stop_requests > 1) {
                kill(-1, SIGKILL);  // every process of the namespace but this one
                _exit(128 + received);
            }
            if (listener_status < 0) {
                stopped_on_request = true;
                kill(listener, SIGTERM);
            }
        }
        int wait_status = 0;
        pid_t ended;
        while ((ended = waitpid(-1, &wait_status, WNOHANG)) > 0) {
            if (ended == listener) listener_status = status_of(wait_status);
        }
        if (ended < 0 && errno == ECHILD) _exit(stopped_on_request ? 0 : listener_status);
    }
}
