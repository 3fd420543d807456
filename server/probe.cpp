#include "server/probe.h"

#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string_view>

#include "server/listener.h"
#include "zolt.h"

namespace {

constexpr std::string_view PROBE_NAME = "zolt-probe";
constexpr int PROBE_SECONDS = 3;
constexpr int DEFAULT_PORT = 8181;

long long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Waits for the socket, within what is left of the probe's time.
bool ready(int fd, short events, long long deadline) {
    pollfd waited{fd, events, 0};
    const long long left = deadline - now_ms();
    return left > 0 && poll(&waited, 1, static_cast<int>(left)) == 1 &&
           (waited.revents & events) != 0;
}

// The port as given, escaped like every text in the log; the reason; one line.
int unhealthy(const char* port, std::string_view reason) {
    char line[128];
    text_builder said(line, sizeof line - 1);
    said.add("zolt-probe: 127.0.0.1:");
    said.add_escaped(port);
    said.add(" ");
    said.add(reason);
    line[said.size()] = '\n';
    write_all(STDOUT_FILENO, line, said.size() + 1);
    return 1;
}

}  // namespace

bool started_as_probe(const char* program) {
    const char* slash = strrchr(program, '/');
    return std::string_view(slash == nullptr ? program : slash + 1) == PROBE_NAME;
}

int probe_health(int argc, char** argv) {
    const char* port_text = argc > 1 ? argv[1] : "8181";
    const int port = argc > 1 ? parse_port(port_text) : DEFAULT_PORT;
    if (port == 0) return unhealthy(port_text, "is no port (1->60000)");
    const long long deadline = now_ms() + PROBE_SECONDS * 1000;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<uint16_t>(port));
    int error = 0;
    socklen_t size = sizeof error;
    if (fd < 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 &&
         errno != EINPROGRESS) ||
        !ready(fd, POLLOUT, deadline) || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
        error != 0) {
        return unhealthy(port_text, "takes no connection");
    }
    constexpr std::string_view request = "GET / HTTP/1.0\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return unhealthy(port_text, "takes no request");
    }
    // The status line is all that is judged: "HTTP/1.1 200 OK".
    constexpr std::string_view answered = "HTTP/1.1 200 ";
    char status[answered.size()];
    size_t got = 0;
    while (got < sizeof status && ready(fd, POLLIN, deadline)) {
        const ssize_t more = recv(fd, status + got, sizeof status - got, 0);
        if (more <= 0) break;
        got += static_cast<size_t>(more);
    }
    if (std::string_view(status, got) != answered)
        return unhealthy(port_text, "does not answer 200");
    return 0;  // the socket goes with the process
}
