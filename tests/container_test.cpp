// zolt as a container's first process: it stays as the container's init, reaps, and stops
// without cutting an answer; every process writes its log entries to the container's output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include "harness.h"
#include "log/logger.h"

namespace {

using namespace harness;

// The entries of a log or of the stream, each with its own lines, in sorted order: processes
// write the file and the stream one after the other, so their orders may differ.
std::vector<std::string> entries(const std::string& text) {
    std::vector<std::string> found;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(at, end - at);
        const bool starts = line.starts_with(" INFO: ") || line.starts_with("ERROR: ") ||
                            line.starts_with("FORBIDDEN: ") || line.starts_with("NOT FOUND: ");
        if (starts || found.empty()) {
            found.push_back(line);
        } else {
            found.back() += line;
        }
        at = end;
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Entries made after the start: where an emulator cannot install the sandbox, the start also
// notes each layer that is missing.
size_t after_start_notes(const std::vector<std::string>& found) {
    return static_cast<size_t>(std::count_if(found.begin(), found.end(), [](const std::string& e) {
        return !e.starts_with("ERROR: system call:") || e.find(" continuing pid=") == e.npos;
    }));
}

// The file's entries as the stream carries them: a long one cut, with its mark.
std::vector<std::string> as_streamed(const std::vector<std::string>& logged) {
    std::vector<std::string> streamed;
    for (const std::string& entry : logged) {
        char piece[PIPE_BUF];
        streamed.emplace_back(piece, logger_stream_piece(piece, entry.data(), entry.size()));
    }
    std::sort(streamed.begin(), streamed.end());
    return streamed;
}

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
    EXPECT_EQ(entries(ended.out), entries(read_file(zolt.top() / "zolt.log")));
    EXPECT_EQ(ended.err, "");
}

// A site mounted read-only: no zolt.log, and every entry, the start's first, on the output.
TEST(Container, AReadOnlySiteLosesNoEntryFromTheOutput) {
    container zolt([](const std::string& top) { write_file(top + "/a.gif", "GIF"); },
                   [](const std::string& top) {
                       if (unshare(CLONE_NEWNS) != 0 ||
                           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                           mount(top.c_str(), top.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                           mount(nullptr, top.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                                 nullptr) != 0)
                           _exit(94);
                   });
    EXPECT_EQ(exchange(zolt.port(), "GET /a.gif HTTP/1.1\r\n\r\n").substr(0, 15),
              "HTTP/1.1 200 OK");
    EXPECT_EQ(exchange(zolt.port(), "GET /notes.txt HTTP/1.1\r\n\r\n").substr(0, 12),
              "HTTP/1.1 403");
    ASSERT_EQ(kill(zolt.init(), SIGTERM), 0);
    const run_result ended = zolt.wait_for_end(5s);
    EXPECT_EQ(ended.status, 0);
    EXPECT_TRUE(ended.out.starts_with(" INFO: zolt starting:" + std::to_string(zolt.port()) + ":"))
        << ended.out;
    EXPECT_EQ(after_start_notes(entries(ended.out)), 6u) << ended.out;
    for (const std::string entry :
         {" INFO: request:GET /a.gif HTTP/1.1****:1\n", " INFO: SEND:a.gif:1\n",
          " INFO: Header:", "FORBIDDEN: file extension type not supported:GET /notes.txt\n"}) {
        EXPECT_NE(ended.out.find(entry), std::string::npos) << entry;
    }
    EXPECT_FALSE(std::ifstream(zolt.top() / "zolt.log").good());
}

// Many clients at once, some with request lines longer than a pipe takes in one piece: the
// output holds the log's entries, each whole or cut with its mark, none mixed with another.
TEST(Container, UnderLoadTheOutputHoldsTheLogsEntriesEachWholeOrMarkedCut) {
    container zolt([](const std::string& top) { write_file(top + "/a.gif", "GIF"); });
    const size_t count = slow_machine() ? 400 : 20000;
    std::vector<std::string> requests;
    for (size_t i = 0; i < count; ++i) {
        if (i % 500 == 0) {
            requests.push_back("GET /a.gif HTTP/1.1\r\n\r\n");
        } else if (i % 50 == 0) {
            requests.push_back("GET /" + std::string(5000 + i % 7, 'l') + ".gif HTTP/1.1\r\n\r\n");
        } else {
            requests.push_back("GET /missing-" + std::to_string(i) + ".gif HTTP/1.1\r\n\r\n");
        }
    }
    // In rounds of a thousand, as many as a minute allows (fewer on a slow or sanitized build).
    std::atomic<bool> done = false;
    std::vector<std::string> answers;
    std::thread clients([&] {
        const auto end = std::chrono::steady_clock::now() + 60s;
        for (size_t first = 0; first < count && std::chrono::steady_clock::now() < end;
             first += 1000) {
            const std::vector<std::string> round(
                requests.begin() + static_cast<long>(first),
                requests.begin() + static_cast<long>(std::min(count, first + 1000)));
            for (std::string& answer : flood(zolt.port(), round, 64, 60s))
                answers.push_back(std::move(answer));
        }
        done = true;
    });
    pollfd output{zolt.output_descriptor(), POLLIN, 0};
    while (!done) {
        poll(&output, 1, 100);
        zolt.output();
    }
    clients.join();
    for (const std::string& answer : answers)
        ASSERT_EQ(answer.substr(0, 9), "HTTP/1.1 ") << answer.substr(0, 100);
    ASSERT_EQ(kill(zolt.init(), SIGTERM), 0);
    const run_result ended = zolt.wait_for_end(30s);
    EXPECT_EQ(ended.status, 0);
    const std::vector<std::string> logged = entries(read_file(zolt.top() / "zolt.log"));
    const size_t sent = answers.size();
    EXPECT_EQ(after_start_notes(logged), 1 + 2 * sent + (sent + 499) / 500);
    const std::vector<std::string> shown = entries(ended.out);
    EXPECT_TRUE(shown == as_streamed(logged)) << shown.size() << " entries shown";
    EXPECT_NE(ended.out.find("ll [cut: "), std::string::npos);
}

// The log cleared, renamed, and replaced by a link to a file outside: the output loses no
// entry and shows nothing of the link's target.
TEST(Container, TheOutputFollowsNoChangeMadeToTheLogFile) {
    temp_dir outside;
    write_file(outside / "secret.txt", "SECRET\n");
    container zolt;
    const std::string log = zolt.top() / "zolt.log";
    const std::function<void()> changes[] = {
        [] {},
        [&] { truncate(log.c_str(), 0); },
        [&] { rename(log.c_str(), (log + ".1").c_str()); },
        [&] { symlink((outside / "secret.txt").c_str(), log.c_str()); },
    };
    int number = 0;
    for (const auto& change : changes) {
        change();
        for (int i = 0; i < 5; ++i) {
            const std::string name = "/missing-" + std::to_string(++number) + ".gif";
            EXPECT_EQ(exchange(zolt.port(), "GET " + name + " HTTP/1.1\r\n\r\n").substr(0, 12),
                      "HTTP/1.1 404");
        }
    }
    ASSERT_EQ(kill(zolt.init(), SIGTERM), 0);
    const run_result ended = zolt.wait_for_end(5s);
    EXPECT_EQ(ended.status, 0);
    EXPECT_EQ(after_start_notes(entries(ended.out)), 1u + 2 * 20) << ended.out;
    for (int n = 1; n <= number; ++n) {
        EXPECT_NE(ended.out.find("NOT FOUND: failed to open file:missing-" + std::to_string(n) +
                                 ".gif\n"),
                  std::string::npos)
            << n;
    }
    EXPECT_EQ(ended.out.find("SECRET"), std::string::npos);
}

// An output nobody reads fills up: its entries are lost from it, and nothing else.
TEST(Container, AnOutputNobodyReadsWedgesNothing) {
    container zolt;
    // One page (64 KiB on some kernels), which requests of about 500 bytes of entries fill.
    const int capacity = fcntl(zolt.output_descriptor(), F_SETPIPE_SZ, 4096);
    ASSERT_GE(capacity, 4096);
    const size_t count = static_cast<size_t>(capacity) / 250;
    const std::string request = "GET /missing-" + std::string(200, 'm') + ".gif HTTP/1.1\r\n\r\n";
    for (const std::string& answer : flood(zolt.port(), std::vector<std::string>(count, request)))
        EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 404");
    ASSERT_EQ(kill(zolt.init(), SIGTERM), 0);
    EXPECT_EQ(zolt.wait_for_end(2s).status, 0);
    EXPECT_EQ(after_start_notes(entries(read_file(zolt.top() / "zolt.log"))), 1 + 2 * count);
}

// A listener that ends unasked ends the container with its status once the answers in flight
// are done, also where zolt was started with SIGCHLD ignored; a second stop request ends
// everything at once.
TEST(Container, EndsWithTheListenersStatusOrAtOnceOnASecondStop) {
    for (const bool second_stop : {false, true}) {
        container zolt(big_file, [](const std::string&) { signal(SIGCHLD, SIG_IGN); });
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
