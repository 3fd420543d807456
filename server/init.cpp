#include "server/init.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "server/sandbox.h"
#include "zolt.h"

namespace {

// How often an idle init looks at the log: what the log gains reaches standard output within
// this time, and the init wakes no more often than this while nothing happens.
constexpr long LOG_LOOK_NS = 250 * 1000 * 1000;

sigset_t init_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal_number : {SIGTERM, SIGINT, SIGQUIT, SIGCHLD})
        sigaddset(&signals, signal_number);
    return signals;
}

// The log as the init reads it: the open file, and which file it is, so that a rotation by
// rename is seen when zolt.log names another file.
struct followed_log {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

bool is_same_file(const followed_log& log, const struct stat& file) {
    return log.fd >= 0 && file.st_dev == log.device && file.st_ino == log.inode;
}

void copy_to_output(int fd) {
    char chunk[REQUEST_BUFFER_SIZE];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        // An output that fails (closed, or gone) loses the copy, never the server.
        if (!write_all(STDOUT_FILENO, chunk, static_cast<size_t>(got))) return;
    }
}

// Copies what the log gained, and after a rotation what the renamed file gained last, then the
// new zolt.log from its start. Only a regular file is followed.
void copy_new_entries(followed_log& log) {
    if (log.fd >= 0) copy_to_output(log.fd);
    struct stat named;
    if (stat("zolt.log", &named) != 0 || !S_ISREG(named.st_mode) || is_same_file(log, named)) {
        return;
    }
    const int fresh = open("zolt.log", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened;
    if (fresh < 0) return;
    if (fstat(fresh, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        close(fresh);
        return;
    }
    if (log.fd >= 0) {
        copy_to_output(log.fd);
        close(log.fd);
    }
    log = {fresh, opened.st_dev, opened.st_ino};
    copy_to_output(log.fd);
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
    const sigset_t held = init_signals();
    sigprocmask(SIG_BLOCK, &held, &start.started_with);  // cannot fail for a valid set
    // The start entry and all after it are copied: a log that is there already is read from
    // its end, one made by the start entry from its beginning.
    start.log = open("zolt.log", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (start.log >= 0 && lseek(start.log, 0, SEEK_END) < 0) {
        close(start.log);
        start.log = -1;
    }
    return start;
}

void restore_started_mask(const init_start& start) {
    sigprocmask(SIG_SETMASK, &start.started_with, nullptr);
}

void run_container_init_and_exit(pid_t listener, init_start start) {
    followed_log log;
    struct stat opened;
    if (start.log >= 0 && fstat(start.log, &opened) == 0 && S_ISREG(opened.st_mode)) {
        log = {start.log, opened.st_dev, opened.st_ino};
    } else if (start.log >= 0) {
        close(start.log);
    }
    signal(SIGPIPE, SIG_IGN);  // a closed output fails the copy's write instead
    // The listener has said at start which layers this kernel lacks; the init goes on without
    // them as it does.
    forbid_writes();
    enter_sandbox(sandbox_role::init);

    const sigset_t waited = init_signals();
    int stop_requests = 0;
    bool stopped_on_request = false;
    int listener_status = -1;  // until it has ended
    for (;;) {
        const timespec look{0, LOG_LOOK_NS};
        const int received = sigtimedwait(&waited, nullptr, &look);
        if (received == SIGTERM || received == SIGINT || received == SIGQUIT) {
            if (++stop_requests > 1) {
                kill(-1, SIGKILL);  // every process of the namespace but this one
                copy_new_entries(log);
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
        const bool none_left = ended < 0 && errno == ECHILD;
        copy_new_entries(log);
        if (none_left) _exit(stopped_on_request ? 0 : listener_status);
    }
}
