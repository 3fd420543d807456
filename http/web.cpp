#include "http/web.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "http/request.h"
#include "log/logger.h"

namespace {

// Holds the request, then the response header, then each chunk of the file. Zero-filled in
// every child, so the bytes after what the client sent are NUL.
request_buffer buffer;

constexpr time_t READ_TIMEOUT_SECONDS = 10;
constexpr time_t WRITE_TIMEOUT_SECONDS = 60;

// A silent client costs its child ten seconds, and one that stops reading a minute without
// progress. On a socket these cannot fail for valid options, so the results are not examined.
void bound_client_waits(int client) {
    const timeval read_timeout{READ_TIMEOUT_SECONDS, 0};
    const timeval write_timeout{WRITE_TIMEOUT_SECONDS, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &read_timeout, sizeof read_timeout);
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &write_timeout, sizeof write_timeout);
}

// Never sends more than the size announced in the header, even if the file grows meanwhile.
// A failed read ends the copy like the end of the file.
void copy_file(int file, int client, off_t size) {
    while (size > 0) {
        const size_t want = size < REQUEST_BUFFER_SIZE ? static_cast<size_t>(size)
                                                       : static_cast<size_t>(REQUEST_BUFFER_SIZE);
        const ssize_t got = read(file, buffer, want);
        if (got <= 0) return;
        if (!write_all(client, buffer, static_cast<size_t>(got))) return;
        size -= got;
    }
}

}  // namespace

void web(int client, int number) {
    bound_client_waits(client);
    const ssize_t got = read(client, buffer, REQUEST_BUFFER_SIZE);
    if (got <= 0) logger_and_exit(LOG_FORBIDDEN, "failed to read browser request", "", client);
    prepare_request(buffer, got);
    logger(LOG_INFO, "request", buffer, number);

    const verdict answer = judge_request(buffer);
    if (answer.refusal != nullptr) logger_and_exit(LOG_FORBIDDEN, answer.refusal, buffer, client);

    // Opened without blocking so a FIFO cannot hang the child; only regular files are sent.
    const char* name = file_name(buffer);
    const int file = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) logger_and_exit(LOG_NOT_FOUND, "failed to open file", name, client);
    struct stat status;
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        logger_and_exit(LOG_FORBIDDEN, "not a regular file", name, client);
    }
    logger(LOG_INFO, "SEND", name, number);

    const int header_size =
        snprintf(buffer, sizeof buffer,
                 "HTTP/1.1 200 OK\nServer: zolt/%d.0\nContent-Length: %lld\nConnection: "
                 "close\nContent-Type: %s\n\n",
                 SERVER_VERSION, static_cast<long long>(status.st_size), answer.filetype);
    logger(LOG_INFO, "Header", buffer, number);
    if (write_all(client, buffer, static_cast<size_t>(header_size))) {
        copy_file(file, client, status.st_size);
    }

    // The pause lets the client take the last bytes before the close; the result of the
    // close is not examined since the process ends here anyway.
    sleep(1);
    close(client);
    _exit(EXIT_SERVED);
}
