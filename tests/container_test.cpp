// zolt as a container's first process: it stays as the container's init, reaps, copies its log
// to standard output, and stops without cutting an answer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

using namespace harness;

// A download that lasts; a test guest's memory (256 MiB on some boards) takes a smaller one.
size_t big() {
    return slow_machine() ? 16u << 20 : 64u << 20;
}

void big_file(const std::string& top) {
    write_file(top + "/a.gif", "GIF");
    write_file(top + "/big.tar", std::string(big(), 'z'));
}

// A client that has asked for the big file and taken its first mebibyte, then stops reading.
int download_in_flight(int port, std::string& received) {
    const int fd = connect_to(port, 16384);
    const std::string request = "GET /big.tar HTTP/1.1\r\n\r\n";
    EXPECT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    char chunk[65536];
    while (received.size() < (1u << 20)) {
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        received.append(chunk, static_cast<size_t>(got));
    }
    return fd;
}

bool whole(const std::string& received) {
    const std::string header = response_header(big(), "image/tar");
    return received.size() == header.size() + big() &&
           received.compare(0, header.size(), header) == 0;
}

bool gone(pid_t pid) {
    return kill(pid, 0) != 0 ||
           read_file("/proc/" + std::to_string(pid) + "/stat").find(") Z ") != std::string::npos;
}

TEST(Container, AsFirstProcessZoltServesCopiesItsLogAndAStopLetsEveryAnswerEnd) {
    container zolt(big_file);
    const size_t requests = slow_machine() ? 40 : 200;
    for (const std::string& answer :
         flood(zolt.port(), std::vector<std::string>(requests, "GET /a.gif HTTP/1.1\r\n\r\n"))) {
        EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK");
    }
    std::string received;
    const int download = download_in_flight(zolt.port(), received);
    ASSERT_EQ(kill(zolt.init(), SIGTERM), 0);
    // Nothing new is accepted, and every connection process left, now the init's child, is
    // reaped as it ends: the download's alone remains.
    EXPECT_TRUE(wait_until([&] { return gone(zolt.listener()); }));
    EXPECT_TRUE(wait_until(
        [&] { return children_of(zolt.init()).size() == 1 && !has_zombie_children(zolt.init()); }));
    received += read_until_closed(download, 60s);
    close(download);
    EXPECT_TRUE(whole(received)) << received.size();
    const run_result ended = zolt.wait_for_end(10s);
    EXPECT_EQ(ended.status, 0);
    EXPECT_EQ(ended.out, read_file(zolt.top() / "zolt.log"));
    EXPECT_EQ(ended.err, "");
}

// Where zolt.log cannot be made, nothing is copied, and zolt serves and stops as usual.
TEST(Container, ServesAndStopsAlsoWhereTheLogCannotBeMade) {
    container zolt([](const std::string& top) {
        write_file(top + "/a.gif", "GIF");
        ASSERT_EQ(symlink("/nonexistent/zolt.log", (top + "/zolt.log").c_str()), 0);
    });
    EXPECT_EQ(exchange(zolt.port(), "GET /a.gif HTTP/1.1\r\n\r\n").substr(0, 15),
              "HTTP/1.1 200 OK");
    ASSERT_EQ(kill(zolt.init(), SIGTERM), 0);
    const run_result ended = zolt.wait_for_end(5s);
    EXPECT_EQ(ended.status, 0);
    EXPECT_EQ(ended.out, "");
}

// A listener that ends unasked ends the container with its status once the answers in flight
// are done; a second stop request ends everything at once.
TEST(Container, EndsWithTheListenersStatusOrAtOnceOnASecondStop) {
    for (const bool second_stop : {false, true}) {
        container zolt(big_file);
        std::string received;
        const int download = download_in_flight(zolt.port(), received);
        if (second_stop) {
            ASSERT_EQ(kill(zolt.init(), SIGTERM), 0);
            EXPECT_TRUE(wait_until([&] { return gone(zolt.listener()); }));
            ASSERT_EQ(kill(zolt.init(), SIGTERM), 0);
            EXPECT_EQ(zolt.wait_for_end(5s).status, 128 + SIGTERM);
            received += read_until_closed(download, 5s);
            EXPECT_FALSE(whole(received));
        } else {
            ASSERT_EQ(kill(zolt.listener(), SIGKILL), 0);
            received += read_until_closed(download, 60s);
            EXPECT_TRUE(whole(received)) << received.size();
            EXPECT_EQ(zolt.wait_for_end(10s).status, 128 + SIGKILL);
        }
        close(download);
    }
}

}  // namespace
