#include "server/listener.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "http/web.h"
#include "log/logger.h"
#include "server/init.h"
#include "server/sandbox.h"

namespace {

constexpr int LISTEN_BACKLOG = 64;
constexpr int MAX_PORT = 60000;
constexpr char READY = '\0';

sockaddr_in serv_addr;

// The listener reports to the waiting foreground through a pipe: one READY byte once it
// listens, or its failure entry. The foreground waits for that word (an end without one is a
// failure too), and prints the failure unless the log stream has shown it already.
int wait_for_listener(int report, bool print_failure) {
    char line[LOG_LINE_SIZE];
    size_t size = 0;
    while (size < sizeof line) {
        const ssize_t got = read(report, line + size, sizeof line - size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        size += static_cast<size_t>(got);
    }
    if (size > 0 && line[0] == READY) return 0;
    if (print_failure) write_all(STDOUT_FILENO, line, size);
    return EXIT_FAILED;
}

// Before listening, a failure is told to the foreground with the line the log gets.
[[noreturn]] void fail_before_listening_and_exit(int report, const char* text1, const char* text2) {
    const int saved_errno = errno;
    char line[LOG_LINE_SIZE];
    write_all(report, line, logger_format(line, LOG_ERROR, text1, text2, 0));
    errno = saved_errno;
    logger_error_and_exit(text1, text2);
}

// Closes descriptors first to last: in one call from kernel 5.9 on, and before it one by one up
// to the descriptor limit.
void close_descriptors(unsigned first, unsigned last) {
    if (first > last || syscall(__NR_close_range, first, last, 0) == 0) return;
    rlimit limit{};
    const rlim_t open_max = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    for (unsigned descriptor = first; descriptor <= last && descriptor < open_max; ++descriptor)
        close(static_cast<int>(descriptor));
}

// Nothing the starting process held (a shell's or a supervisor's pipe, a socket, an open file)
// stays open in the listener or reaches a child: every descriptor but the report pipe and a
// container's log stream is closed. The results of the close and process-group calls are not
// examined: neither can fail in a way the server could act on.
void become_background_service(int report, int stream) {
    set_service_signals();
    const auto kept = std::minmax(report, stream);
    unsigned next = 0;
    for (const int descriptor : {kept.first, kept.second}) {
        if (descriptor < 0 || static_cast<unsigned>(descriptor) < next) continue;
        if (descriptor > 0) close_descriptors(next, static_cast<unsigned>(descriptor) - 1);
        next = static_cast<unsigned>(descriptor) + 1;
    }
    close_descriptors(next, ~0u);
    setpgrp();
}

int open_listening_socket(int report, const char* port_text) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) fail_before_listening_and_exit(report, "system call", "socket");
    const int port = parse_port(port_text);
    if (port == 0) {
        fail_before_listening_and_exit(report, "Invalid port number (try 1->60000)", port_text);
    }
    // A restart binds at once while connections of the previous server linger in TIME_WAIT; a
    // second server beside a listening one is still refused. Should the option not take, the
    // bind says so.
    const int reuse = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    serv_addr.sin_family = AF_INET;
    serv_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    serv_addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(listener, reinterpret_cast<sockaddr*>(&serv_addr), sizeof serv_addr) < 0) {
        fail_before_listening_and_exit(report, "system call", "bind");
    }
    if (listen(listener, LISTEN_BACKLOG) < 0)
        fail_before_listening_and_exit(report, "system call", "listen");
    return listener;
}

// A shortage passes; pausing keeps the listener from spinning on it meanwhile.
void pause_after_shortage() {
    const timespec pause{0, 100 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

// Accepts and forks until a failure that is not a passing shortage ends the server.
[[noreturn]] void serve_connections_and_exit(int listener, fork_ban ban) {
    int number = 1;
    for (;;) {
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0) {
            switch (classify_accept_error(errno)) {
                case accept_failure::retry:
                    continue;
                case accept_failure::pause:
                    logger_continuing("system call", "accept");
                    pause_after_shortage();
                    continue;
                case accept_failure::fatal:
                    logger_error_and_exit("system call", "accept");
            }
        }
        const pid_t child = fork();
        if (child == 0) {
            close(listener);
            // Where this fails the listener's own sandbox failed too, and said so at start.
            ban_forks(ban);
            web(client, number);
        }
        if (child < 0) {
            logger_continuing("system call", "fork");
            close(client);  // unanswered: there is no child to serve it
            pause_after_shortage();
            continue;
        }
        close(client);  // the child has its own copy
        number = next_connection_number(number);
    }
}

// Without a listener, the foreground tells the failed call in the log's error format.
int print_start_failure(const char* call) {
    char line[LOG_LINE_SIZE];
    write_all(STDOUT_FILENO, line, logger_format(line, LOG_ERROR, "system call", call, 0));
    return EXIT_FAILED;
}

// The listener's life: detach, log the start, listen, enter the sandbox, tell the foreground,
// then serve until a fatal failure ends it.
[[noreturn]] void run_listener_and_exit(int report, int stream, const char* port_text) {
    become_background_service(report, stream);
    logger_also_to(stream);
    logger_info("zolt starting", port_text, getpid());
    const int listener = open_listening_socket(report, port_text);
    if (!confine_writes_to_working_directory()) logger_continuing("system call", "landlock");
    const fork_ban ban = choose_fork_ban();
    if (!enter_sandbox(sandbox_role::listener)) logger_continuing("system call", "seccomp");
    const char ready = READY;
    write_all(report, &ready, 1);
    close(report);
    serve_connections_and_exit(listener, ban);
}

}  // namespace

void set_service_signals() {
    signal(SIGCHLD, SIG_IGN);  // finished children are reaped by the system
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);  // a write to a vanished client fails instead of ending the child
}

int parse_port(const char* port_text) {
    const long value = strtol(port_text, nullptr, 10);
    return value >= 1 && value <= MAX_PORT ? static_cast<int>(value) : 0;
}

int next_connection_number(int number) {
    return number == std::numeric_limits<int>::max() ? 1 : number + 1;
}

accept_failure classify_accept_error(int error_number) {
    switch (error_number) {
        case ECONNABORTED:
        case EINTR:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case EAGAIN:
            return accept_failure::retry;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return accept_failure::pause;
        default:
            return accept_failure::fatal;
    }
}

// Start-up in two processes. The foreground returns its exit status once the listener has
// said whether it listens; as a container's first process it stays as the container's init
// once the listener listens, and never returns, nor does the listener.
int start_server(const char* port_text) {
    const bool container_init = is_container_init();
    init_start init{};
    if (container_init) init = prepare_container_init();
    int report[2];
    if (pipe(report) < 0) return print_start_failure("pipe");
    report[1] = keep_above_low_descriptors(report[1]);
    const pid_t listener_pid = fork();
    if (listener_pid < 0) return print_start_failure("fork");
    if (listener_pid == 0) {
        if (container_init) restore_started_mask(init);
        close(report[0]);
        run_listener_and_exit(report[1], init.output, port_text);
    }
    close(report[1]);
    const int status = wait_for_listener(report[0], init.output < 0);
    if (!container_init || status != 0) return status;
    run_container_init_and_exit(listener_pid, init);
}
