// web() on a real loopback connection, in a forked child since it never returns: the bytes on
// the wire, the child's exit status and the log entries.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>

#include "harness.h"
#include "http/pages.h"
#include "http/web.h"
#include "server/listener.h"
#include "server/sandbox.h"

namespace {

using namespace harness;
using namespace std::string_literals;

// A connected loopback pair; `server_side` goes to the child that runs web().
struct connection {
    int client = -1;
    int server_side = -1;
    connection() {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), size);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        listen(listener, 1);
        client = socket(AF_INET, SOCK_STREAM, 0);
        connect(client, reinterpret_cast<sockaddr*>(&address), size);
        server_side = accept(listener, nullptr, nullptr);
        close(listener);
    }
    ~connection() {
        if (client >= 0) close(client);
        if (server_side >= 0) close(server_side);
    }
};

pid_t start_web(const temp_dir& top, connection& link, int number) {
    const pid_t child = fork();
    if (child == 0) {
        close(link.client);
        if (chdir(top.path().c_str()) != 0) _exit(99);
        set_service_signals();  // as the listener leaves them for every child
        enter_sandbox(sandbox_role::child);
        web(link.server_side, number);
    }
    close(link.server_side);
    link.server_side = -1;
    return child;
}

int wait_for_exit(pid_t child, std::chrono::milliseconds deadline = 20s) {
    int status = 0;
    if (!wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }, deadline)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct outcome {
    std::string answer;
    int status;
    std::vector<std::string> log;
    std::chrono::steady_clock::duration answered, ended;  // from the request's start
};

outcome serve(const temp_dir& top, const std::string& request, int number = 5) {
    connection link;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = start_web(top, link, number);
    send(link.client, request.data(), request.size(), MSG_NOSIGNAL);
    outcome result;
    result.answer = read_until_closed(link.client, 20s);
    result.answered = std::chrono::steady_clock::now() - start;
    result.status = wait_for_exit(child);
    result.ended = std::chrono::steady_clock::now() - start;
    result.log = read_lines(top / "zolt.log");
    return result;
}

std::string random_bytes(size_t size) {
    std::mt19937 generator(42);
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

TEST(Web, ServesAFileWithItsExactHeaderAndThreeEntries) {
    temp_dir top;
    write_file(top / "index.html", "<p>hello</p>\n");
    const outcome result = serve(top, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", 5);
    EXPECT_EQ(result.answer, response_header(13, "text/html") + "<p>hello</p>\n");
    EXPECT_EQ(result.status, EXIT_SERVED);
    // A client reading to the end of the connection has it well before the child ends.
    EXPECT_GT(result.ended - result.answered, 500ms);
    const std::vector<std::string> expected = {
        " INFO: request:GET / HTTP/1.1**Host: x****:5",
        " INFO: SEND:index.html:5",
        " INFO: Header:HTTP/1.1 200 OK",
        "Server: " + server_token,
        "Content-Length: 13",
        "Connection: close",
        "Content-Type: text/html",
        "",
        ":5",
    };
    EXPECT_EQ(result.log, expected);
}

TEST(Web, EmptyAndMultiChunkFilesArriveWhole) {
    temp_dir top;
    mkdir((top / "sub").c_str(), 0755);
    write_file(top / "empty.gif", "");
    const std::string big = random_bytes(3 * REQUEST_BUFFER_SIZE + 123);
    write_file(top / "sub/big.tar", big);
    EXPECT_EQ(serve(top, "GET /empty.gif HTTP/1.0\r\n\r\n").answer,
              response_header(0, "image/gif"));
    const outcome result = serve(top, "get /sub/big.tar HTTP/1.1\r\n\r\n");
    EXPECT_EQ(result.status, EXIT_SERVED);
    EXPECT_TRUE(result.answer == response_header(big.size(), "image/tar") + big)
        << result.answer.size();
}

TEST(Web, EachRefusalSendsTheForbiddenPageAndLogsItsReason) {
    temp_dir top;
    write_file(top / "a.txt", "text");
    mkdir((top / "sub").c_str(), 0755);
    const struct {
        std::string request;
        std::string entry;
    } cases[] = {
        {"POST /a.html HTTP/1.1\r\n\r\n",
         "FORBIDDEN: Only simple GET operation supported:POST /a.html HTTP/1.1****"},
        {std::string(9000, 'G'), "FORBIDDEN: Only simple GET operation supported:"},
        {"GET /../a.html HTTP/1.1\r\n",
         "FORBIDDEN: Parent directory (..) path names not supported:GET /../a.html"},
        {"GET //etc/hostname.html HTTP/1.1\r\n",
         "FORBIDDEN: Absolute path names not supported:GET //etc/hostname.html"},
        {"GET /a.txt HTTP/1.1\r\n", "FORBIDDEN: file extension type not supported:GET /a.txt"},
        {"GET /sub/ HTTP/1.1\r\n", "FORBIDDEN: file extension type not supported:GET /sub/"},
        {"GET /\x1b]0;owned\x07.txt HTTP/1.1\r\n",
         "FORBIDDEN: file extension type not supported:GET /\\x1b]0;owned\\x07.txt"},
    };
    for (const auto& c : cases) {
        remove((top / "zolt.log").c_str());
        const outcome result = serve(top, c.request);
        EXPECT_EQ(result.answer, forbidden_page) << c.request;
        EXPECT_EQ(result.status, EXIT_FAILED) << c.request;
        ASSERT_EQ(result.log.size(), 2u) << c.request;
        EXPECT_EQ(result.log[0].rfind(" INFO: request:", 0), 0u);
        EXPECT_EQ(result.log[1], c.entry);
    }
}

TEST(Web, AMissingFileGetsTheNotFoundPage) {
    temp_dir top;
    const outcome result = serve(top, "GET /missing.html HTTP/1.1\r\n\r\n");
    EXPECT_EQ(result.answer, not_found_page);
    EXPECT_EQ(result.status, EXIT_FAILED);
    ASSERT_EQ(result.log.size(), 2u);
    EXPECT_EQ(result.log[1], "NOT FOUND: failed to open file:missing.html");
}

TEST(Web, OnlyRegularFilesAreServed) {
    temp_dir top;
    ASSERT_EQ(mkfifo((top / "pipe.html").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((top / "dir.gif").c_str(), 0755), 0);
    for (const std::string name : {"pipe.html", "dir.gif"}) {
        remove((top / "zolt.log").c_str());
        const outcome result = serve(top, "GET /" + name + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(result.answer, forbidden_page) << name;
        EXPECT_EQ(result.status, EXIT_FAILED) << name;
        ASSERT_EQ(result.log.size(), 2u) << name;
        EXPECT_EQ(result.log[1], "FORBIDDEN: not a regular file:" + name);
    }
}

TEST(Web, AnAbsoluteNameNeverReachesAFileOutsideTheTop) {
    temp_dir outside;
    temp_dir top;
    write_file(outside / "secret.html", "SECRET");
    const outcome result = serve(top, "GET /" + outside.path() + "/secret.html HTTP/1.1\r\n\r\n");
    EXPECT_EQ(result.answer, forbidden_page);
    EXPECT_EQ(result.answer.find("SECRET"), std::string::npos);
}

char process_state(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() ? stat[end + 2] : '?';
}

// Stops the child once it waits for its request, and lets it go on, as a cgroup freeze or a
// suspend does.
void stop_and_continue_waiting(pid_t child) {
    ASSERT_TRUE(wait_until([&] { return process_state(child) == 'S'; }));
    kill(child, SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return process_state(child) == 'T'; }));
    kill(child, SIGCONT);
}

// Being stopped and continued neither ends the wait early nor starts it again.
TEST(Web, AClientThatSendsNothingIsRefusedAfterTheReadBoundAlsoAcrossAStop) {
    temp_dir top;
    write_file(top / "a.html", "a");
    connection late;
    const pid_t served = start_web(top, late, 2);
    stop_and_continue_waiting(served);
    send(late.client, "GET /a.html HTTP/1.1\r\n\r\n", 24, MSG_NOSIGNAL);
    EXPECT_EQ(read_until_closed(late.client), response_header(1, "text/html") + "a");
    EXPECT_EQ(wait_for_exit(served), EXIT_SERVED);
    ASSERT_EQ(remove((top / "zolt.log").c_str()), 0);

    connection link;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = start_web(top, link, 1);
    stop_and_continue_waiting(child);
    const std::string answer = read_until_closed(link.client, 20s);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(answer, forbidden_page);
    EXPECT_EQ(wait_for_exit(child), EXIT_FAILED);
    EXPECT_GE(waited, 9s);
    EXPECT_LE(waited, 15s);
    EXPECT_EQ(read_lines(top / "zolt.log"),
              std::vector<std::string>{"FORBIDDEN: failed to read browser request:"});
}

TEST(Web, AClientThatClosesAtOnceStillGetsItsEntry) {
    temp_dir top;
    connection link;
    shutdown(link.client, SHUT_WR);
    const pid_t child = start_web(top, link, 1);
    EXPECT_EQ(read_until_closed(link.client), forbidden_page);
    EXPECT_EQ(wait_for_exit(child), EXIT_FAILED);
    EXPECT_EQ(read_lines(top / "zolt.log"),
              std::vector<std::string>{"FORBIDDEN: failed to read browser request:"});
}

TEST(Web, AClientThatResetsBeforeItsRefusalStillGetsItsEntry) {
    // The read takes the reset, so writing the page raises SIGPIPE: ignored, it costs the
    // page, not the entry.
    temp_dir top;
    connection link;
    const linger reset{1, 0};
    setsockopt(link.client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(link.client);
    link.client = -1;
    const pid_t child = start_web(top, link, 1);
    EXPECT_EQ(wait_for_exit(child), EXIT_FAILED);
    EXPECT_EQ(read_lines(top / "zolt.log"),
              std::vector<std::string>{"FORBIDDEN: failed to read browser request:"});
}

TEST(Web, FilesOfFourGibibytesAndMoreGetTheirExactLength) {
    temp_dir top;
    const off_t size = (4LL << 30) + 5;
    write_file(top / "huge.zip", "PK");
    ASSERT_EQ(truncate((top / "huge.zip").c_str(), size), 0);
    connection link;
    const pid_t child = start_web(top, link, 1);
    const std::string request = "GET /huge.zip HTTP/1.1\r\n\r\n";
    send(link.client, request.data(), request.size(), 0);
    std::string answer;
    const std::string expected =
        response_header(static_cast<unsigned long long>(size), "image/zip") + "PK";
    wait_until([&] {
        char chunk[4096];
        const ssize_t got = recv(link.client, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) answer.append(chunk, static_cast<size_t>(got));
        return answer.size() >= expected.size();
    });
    EXPECT_EQ(answer.substr(0, expected.size()), expected);
    close(link.client);
    link.client = -1;
    EXPECT_EQ(wait_for_exit(child, 70s), EXIT_SERVED);
}

TEST(Web, ConcurrentChildrenNeverTearEachOthersEntries) {
    temp_dir top;
    write_file(top / "a.html", "a");
    constexpr int children = 40;
    std::vector<std::unique_ptr<connection>> links;
    std::vector<pid_t> pids;
    for (int i = 0; i < children; ++i) {
        links.push_back(std::make_unique<connection>());
        pids.push_back(start_web(top, *links.back(), i + 1));
    }
    // Long requests make long entries, which two writes per entry would interleave.
    for (int i = 0; i < children; ++i) {
        const std::string request = "GET /a.html HTTP/1.1\r\nX: " + std::string(7000, 'a' + i % 26);
        send(links[static_cast<size_t>(i)]->client, request.data(), request.size(), 0);
    }
    for (auto& link : links)
        read_until_closed(link->client, 20s);
    for (pid_t pid : pids)
        EXPECT_EQ(wait_for_exit(pid), EXIT_SERVED);
    int requests = 0;
    for (const std::string& line : read_lines(top / "zolt.log")) {
        if (line.rfind(" INFO: request:", 0) != 0) continue;
        ++requests;
        const std::string prefix = " INFO: request:GET /a.html HTTP/1.1**X: ";
        ASSERT_EQ(line.rfind(prefix, 0), 0u);
        const std::string rest = line.substr(prefix.size());
        ASSERT_GT(rest.size(), 7001u);
        EXPECT_EQ(rest.substr(0, 7000), std::string(7000, rest[0]));
        EXPECT_EQ(rest[7000], ':');
        EXPECT_EQ(rest.find_first_not_of("0123456789", 7001), std::string::npos);
    }
    EXPECT_EQ(requests, children);
}

}  // namespace
