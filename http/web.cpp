#include "http/web.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "http/pages.h"
#include "http/request.h"
#include "log/logger.h"

namespace {

// Holds the request, then the response header, then each chunk of the file. Zero-filled in
// every child, so the bytes after what the client sent are NUL. Page-aligned, so an ordinary
// request and its header cost a child one page of memory, not two.
alignas(4096) request_buffer buffer;

constexpr time_t READ_TIMEOUT_SECONDS = 10;
constexpr time_t WRITE_TIMEOUT_SECONDS = 60;

// A silent client costs its child ten seconds, and a canned page is written under the same
// minute's bound as a response. On a socket these cannot fail for valid options, so the
// results are not examined.
void bound_client_waits(int client) {
    const timeval read_timeout{READ_TIMEOUT_SECONDS, 0};
    const timeval write_timeout{WRITE_TIMEOUT_SECONDS, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &read_timeout, sizeof read_timeout);
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &write_timeout, sizeof write_timeout);
}

// The request, waited for READ_TIMEOUT_SECONDS in all. A wait with a time-out is not restarted
// after the process was stopped and continued (SIGSTOP and SIGCONT, a cgroup freeze, a
// suspend): it fails with EINTR, and then goes on for what remains of the time.
ssize_t read_request(int client) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const ssize_t got = read(client, buffer, REQUEST_BUFFER_SIZE);
        if (got >= 0 || errno != EINTR) return got;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long passed_us =
            (now.tv_sec - start.tv_sec) * 1000000LL + (now.tv_nsec - start.tv_nsec) / 1000;
        const long long left_us = READ_TIMEOUT_SECONDS * 1000000LL - passed_us;
        if (left_us <= 0) return got;
        const timeval left{static_cast<time_t>(left_us / 1000000),
                           static_cast<suseconds_t>(left_us % 1000000)};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &left, sizeof left);
    }
}

// A response goes out on a non-blocking socket, waiting between steps for the client to take
// more: a blocking send can make a little progress in every minute and so never end, while
// this gives up after a whole minute in which the client took nothing.
bool client_takes_more(int client) {
    pollfd writable{client, POLLOUT, 0};
    for (;;) {
        const int ready = poll(&writable, 1, WRITE_TIMEOUT_SECONDS * 1000);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0 && (writable.revents & POLLOUT) != 0;
    }
}

bool send_waiting(int client, const char* data, size_t size, int flags) {
    while (size > 0) {
        const ssize_t sent = send(client, data, size, flags);
        if (sent > 0) {
            data += sent;
            size -= static_cast<size_t>(sent);
        } else if (sent < 0 && errno == EAGAIN) {
            if (!client_takes_more(client)) return false;
        } else if (sent == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

// The read/write copy, for files the kernel cannot send directly.
void copy_by_reading(int file, int client, off_t size) {
    while (size > 0) {
        const size_t want = size < REQUEST_BUFFER_SIZE ? static_cast<size_t>(size)
                                                       : static_cast<size_t>(REQUEST_BUFFER_SIZE);
        const ssize_t got = read(file, buffer, want);
        if (got <= 0) return;
        if (!send_waiting(client, buffer, static_cast<size_t>(got), 0)) return;
        size -= got;
    }
}

// Never sends more than the size announced in the header, even if the file grows meanwhile;
// a file that shrinks or fails to read ends the copy like its end. The kernel copies the file
// to the socket itself where it can.
void copy_file(int file, int client, off_t size) {
    constexpr off_t STEP = 1 << 30;
    bool sent_any = false;
    while (size > 0) {
        const ssize_t sent =
            sendfile(client, file, nullptr, static_cast<size_t>(std::min(size, STEP)));
        if (sent > 0) {
            size -= sent;
            sent_any = true;
        } else if (sent < 0 && errno == EAGAIN) {
            if (!client_takes_more(client)) return;
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            if (sent < 0 && !sent_any && (errno == EINVAL || errno == ENOSYS)) {
                copy_by_reading(file, client, size);
            }
            return;
        }
    }
}

// The header in the buffer, then the file. A header followed by file data is sent with
// MSG_MORE, so a small file leaves in the same segment as its header.
void send_response(int client, size_t header_size, int file, off_t size) {
    // Failing to switch would leave the socket blocking, bounded by its send time-out.
    int non_blocking = 1;
    ioctl(client, FIONBIO, &non_blocking);
    if (send_waiting(client, buffer, header_size, size > 0 ? MSG_MORE : 0)) {
        copy_file(file, client, size);
    }
}

// A refusal: the forbidden page to the client, its reason in the log, status 3.
[[noreturn]] void refuse_and_exit(int client, const char* reason, const char* text) {
    write_all(client, forbidden_page.data(), forbidden_page.size());
    logger_refusal_and_exit(LOG_FORBIDDEN, reason, text);
}

[[noreturn]] void not_found_and_exit(int client, const char* name) {
    write_all(client, not_found_page.data(), not_found_page.size());
    logger_refusal_and_exit(LOG_NOT_FOUND, "failed to open file", name);
}

// The end of a served connection: the client sees the end of the answer at once, and the
// pause still lets it take the last bytes before the close. Neither result is examined: the
// process ends here anyway.
[[noreturn]] void linger_and_exit(int client) {
    shutdown(client, SHUT_WR);
    sleep(1);
    close(client);
    _exit(EXIT_SERVED);
}

}  // namespace

void web(int client, int number) {
    bound_client_waits(client);
    const ssize_t got = read_request(client);
    if (got <= 0) refuse_and_exit(client, "failed to read browser request", "");
    prepare_request(buffer, got);
    logger_info("request", buffer, number);

    const verdict answer = judge_request(buffer);
    if (answer.refusal != nullptr) refuse_and_exit(client, answer.refusal, buffer);

    // Opened without blocking so a FIFO cannot hang the child; only regular files are sent.
    const char* name = file_name(buffer);
    const int file = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) not_found_and_exit(client, name);
    struct stat status;
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        refuse_and_exit(client, "not a regular file", name);
    }
    logger_info("SEND", name, number);

    format_header(buffer, status.st_size, answer.filetype, LOG_LINE_END);
    logger_header(buffer, number);
    const size_t header_size =
        format_header(buffer, status.st_size, answer.filetype, WIRE_LINE_END);
    send_response(client, header_size, file, status.st_size);
    linger_and_exit(client);
}
