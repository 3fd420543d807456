// The complete server: the real binary started in a temporary top directory on a free port.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "harness.h"

namespace {

using namespace harness;

// The kernel enforces each process's sandbox; an emulator that cannot is logged once.
void expect_sandboxed(pid_t pid, size_t filters) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    EXPECT_NE(status.find("\nNoNewPrivs:\t1\n"), std::string::npos) << status;
    EXPECT_NE(status.find("\nSeccomp:\t2\n"), std::string::npos) << status;
    EXPECT_NE(status.find("\nSeccomp_filters:\t" + std::to_string(filters) + "\n"),
              std::string::npos)
        << status;
}

std::vector<std::string> open_descriptors(pid_t pid) {
    std::vector<std::string> descriptors;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        descriptors.push_back(entry.path().filename());
    }
    return descriptors;
}

// What a shell or a supervisor may leave open in the process it starts.
void hold_descriptor_41() {
    if (dup2(STDOUT_FILENO, 41) != 41) _exit(96);
}

TEST(Server, StartsListeningWithOnlyItsSocketOpenWhateverItInheritsAndLogsItsStart) {
    server zolt({}, hold_descriptor_41);
    const std::vector<std::string> log = zolt.log_lines();
    EXPECT_EQ(start_entry_pid(log[0], std::to_string(zolt.port())), std::to_string(zolt.pid()));
    // Each layer the kernel (or an emulator) lacks is logged once; the server goes on.
    std::vector<std::string> lacking;
    if (!landlock_available()) lacking.push_back("landlock");
    if (user_mode_emulator()) lacking.push_back("seccomp");
    ASSERT_EQ(log.size(), 1 + lacking.size());
    for (size_t i = 0; i < lacking.size(); ++i) {
        EXPECT_TRUE(std::regex_match(
            log[1 + i], std::regex("ERROR: system call:" + lacking[i] +
                                   " Errno=[0-9]+ continuing pid=" + std::to_string(zolt.pid()))))
            << log[1 + i];
    }
    EXPECT_EQ(getpgid(zolt.pid()), zolt.pid());
    // Every inherited descriptor was closed and the report pipe too: the listening socket is 0.
    EXPECT_EQ(open_descriptors(zolt.pid()), std::vector<std::string>{"0"});
    const std::string status = read_file("/proc/" + std::to_string(zolt.pid()) + "/status");
    const auto ignored = std::stoull(status.substr(status.find("SigIgn:") + 7), nullptr, 16);
    // Under qemu-user the status is the emulator's, in the host's signal numbers.
    if (user_mode_emulator()) return;
    for (int signal_number : {SIGCHLD, SIGHUP, SIGPIPE}) {
        EXPECT_TRUE(ignored & (1ULL << (signal_number - 1))) << signal_number;
    }
}

// The listener carries its filter and a child both, on top of whatever filter the server was
// started under: a service manager's answers seccomp(2) with EPERM, and prctl installs them.
TEST(Server, BothRolesCarryTheirFiltersAlsoUnderAServiceManagersFilter) {
    if (user_mode_emulator()) GTEST_SKIP() << "qemu-user cannot install a seccomp filter";
    for (const size_t outer : {0, 1}) {
        server zolt([](const std::string& top) { write_file(top + "/a.gif", "GIF"); },
                    [outer] {
                        hold_descriptor_41();
                        if (outer == 1) enter_service_manager_filter();
                    });
        expect_sandboxed(zolt.pid(), outer + 1);
        // A served connection keeps its child for a second.
        EXPECT_EQ(zolt.get("GET /a.gif HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
        const std::vector<pid_t> children = children_of(zolt.pid());
        ASSERT_EQ(children.size(), 1u) << outer;
        expect_sandboxed(children[0], outer + 2);
        for (const std::string& descriptor : open_descriptors(children[0]))
            EXPECT_LT(std::stoi(descriptor), 32) << outer;
        // Nothing went without: a kernel without Landlock logs that alone.
        const char* without = landlock_available() ? "continuing" : "seccomp";
        EXPECT_EQ(zolt.log().find(without), std::string::npos) << zolt.log();
    }
}

TEST(Harness, EndsTheServerATestStartedAndItsChildren) {
    pid_t group = 0;
    {
        server zolt([](const std::string& top) { write_file(top + "/a.gif", "GIF"); });
        group = zolt.pid();
        // A served connection keeps its child for a second: end the server while it lingers.
        EXPECT_EQ(zolt.get("GET /a.gif HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
        EXPECT_EQ(children_of(zolt.pid()).size(), 1u);
    }
    EXPECT_EQ(processes_in_group(group), 0);
}

TEST(Server, AFailedStartIsPrintedAsItsLogEntryWithStatusThree) {
    for (const std::string port : {"0", "-1", "60001", "abc", "", "4294975477"}) {
        temp_dir top;
        const run_result result = run_zolt({port, top.path()});
        EXPECT_EQ(result.status, 3) << port;
        const std::vector<std::string> log = read_lines(top / "zolt.log");
        ASSERT_EQ(log.size(), 2u) << port;
        EXPECT_NE(start_entry_pid(log[0], port), "") << log[0];
        EXPECT_TRUE(std::regex_match(
            log[1], std::regex("ERROR: Invalid port number \\(try 1->60000\\):" + port +
                               " Errno=[0-9]+ exiting pid=" + start_entry_pid(log[0], port))))
            << log[1];
        EXPECT_EQ(result.out, log[1] + "\n");
        EXPECT_EQ(result.err, "");
    }
}

// Each served connection leaves a TIME_WAIT on the server's side, since zolt closes first; a
// restart on the port binds all the same, while a listening server still keeps a second out.
TEST(Server, ARestartAfterServingBindsAtOnceButASecondServerBesideOneIsRefused) {
    int port = 0;
    {
        server first([](const std::string& top) { write_file(top + "/a.gif", "GIF"); });
        port = first.port();
        temp_dir top;
        const run_result second = run_zolt({std::to_string(port), top.path()});
        EXPECT_EQ(second.status, 3);
        const std::vector<std::string> log = read_lines(top / "zolt.log");
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[1], "ERROR: system call:bind Errno=" + std::to_string(EADDRINUSE) +
                              " exiting pid=" + start_entry_pid(log[0], std::to_string(port)));
        EXPECT_EQ(second.out, log[1] + "\n");
        EXPECT_EQ(first.get("GET /a.gif HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
        EXPECT_TRUE(first.wait_for_children_gone());
    }
    temp_dir top;
    const run_result restarted = run_zolt({std::to_string(port), top.path()});
    EXPECT_EQ(restarted.status, 0) << restarted.out;
    const std::string pid =
        start_entry_pid(read_lines(top / "zolt.log").at(0), std::to_string(port));
    ASSERT_NE(pid, "");
    kill(-std::stoi(pid), SIGKILL);
}

TEST(Server, ServesRequestsEndToEndAndNumbersTheConnections) {
    server zolt([](const std::string& top) { write_file(top + "/index.html", "<p>x</p>"); });
    const std::string served = response_header(8, "text/html") + "<p>x</p>";
    EXPECT_EQ(zolt.get("GET / HTTP/1.1\r\n\r\n"), served);
    EXPECT_EQ(zolt.get("GET /missing.gif HTTP/1.1\r\n\r\n").substr(0, 22),
              "HTTP/1.1 404 Not Found");
    EXPECT_EQ(zolt.get("get /index.html HTTP/1.0\r\n\r\n"), served);
    const size_t start = zolt.start_entries();
    ASSERT_TRUE(zolt.wait_for_log_lines(9 + 2 + 9));
    const std::vector<std::string> all = zolt.log_lines();
    const std::vector<std::string> log(all.begin() + static_cast<long>(start) - 1, all.end());
    EXPECT_EQ(log[1], " INFO: request:GET / HTTP/1.1****:1");
    EXPECT_EQ(log[2], " INFO: SEND:index.html:1");
    EXPECT_EQ(log[9], ":1");
    EXPECT_EQ(log[10], " INFO: request:GET /missing.gif HTTP/1.1****:2");
    EXPECT_EQ(log[11], "NOT FOUND: failed to open file:missing.gif");
    EXPECT_EQ(log[12], " INFO: request:get /index.html HTTP/1.0****:3");
    EXPECT_EQ(log[20], ":3");
}

TEST(Server, ServesEveryListedTypeByteForByte) {
    const std::pair<std::string, std::string> types[] = {
        {"gif", "image/gif"}, {"jpg", "image/jpg"}, {"jpeg", "image/jpeg"}, {"png", "image/png"},
        {"ico", "image/ico"}, {"zip", "image/zip"}, {"gz", "image/gz"},     {"tar", "image/tar"},
        {"htm", "text/html"}, {"html", "text/html"}};
    // Every byte value, and more than one read or send of it.
    std::string bytes;
    for (int i = 0; i < 3 * 8096 + 7; ++i)
        bytes += static_cast<char>(i * 7 % 256);
    server zolt([&](const std::string& top) {
        for (const auto& [ext, type] : types)
            write_file(top + "/file." + ext, ext + bytes);
    });
    for (const auto& [ext, type] : types) {
        const std::string answer = zolt.get("GET /file." + ext + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(answer == response_header(ext.size() + bytes.size(), type) + ext + bytes)
            << ext;
    }
}

TEST(Server, AFileOfThreeGibibytesArrivesWithItsExactLengthAndLastBytes) {
    const long long size = (3LL << 30) + 3;
    server zolt([&](const std::string& top) {
        write_file(top + "/big.tar", "FIRST");
        ASSERT_EQ(truncate((top + "/big.tar").c_str(), size - 4), 0);
        std::ofstream(top + "/big.tar", std::ios::binary | std::ios::app) << "LAST";
    });
    const int fd = connect_to(zolt.port());
    const std::string request = "GET /big.tar HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    // Counted as it arrives: only the start and the end are kept.
    std::string start, end;
    long long received = 0;
    static char chunk[1 << 16];
    for (ssize_t got; (got = recv(fd, chunk, sizeof chunk, 0)) > 0; received += got) {
        const std::string_view piece(chunk, static_cast<size_t>(got));
        if (start.size() < 200) start += piece;
        end.append(piece.substr(piece.size() > 8 ? piece.size() - 8 : 0));
        end.erase(0, end.size() > 8 ? end.size() - 8 : 0);
    }
    close(fd);
    const std::string head = response_header(static_cast<unsigned long long>(size), "image/tar");
    EXPECT_EQ(start.substr(0, head.size() + 5), head + "FIRST");
    EXPECT_EQ(received, static_cast<long long>(head.size()) + size);
    EXPECT_EQ(end.substr(end.size() - 4), "LAST");
}

TEST(Server, ConcurrentClientsAreAllAnsweredAndTheirEntriesStayWhole) {
    server zolt([](const std::string& top) { write_file(top + "/a.gif", "GIF89a"); });
    constexpr int clients = 60;
    std::vector<std::thread> threads;
    std::vector<std::string> answers(clients);
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            const std::string filler(3000, static_cast<char>('a' + i % 26));
            answers[static_cast<size_t>(i)] =
                exchange(zolt.port(), "GET /a.gif HTTP/1.1\r\nX: " + filler + "\r\n\r\n", 20s);
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (const std::string& answer : answers)
        EXPECT_EQ(answer.substr(answer.size() - 6), "GIF89a");
    ASSERT_TRUE(zolt.wait_for_log_lines(clients * 9));
    const std::regex whole_request(
        " INFO: request:GET /a.gif HTTP/1.1\\*\\*X: ([a-z])\\1{2999}\\*{4}:[0-9]+");
    int requests = 0;
    for (const std::string& line : zolt.log_lines()) {
        if (line.rfind(" INFO: request:", 0) != 0) continue;
        ++requests;
        EXPECT_TRUE(std::regex_match(line, whole_request)) << line.substr(0, 80);
    }
    EXPECT_EQ(requests, clients);
}

TEST(Server, AClientThatResetsMidTransferCostsOnlyItsChild) {
    server zolt([](const std::string& top) {
        write_file(top + "/big.tar", std::string(8 << 20, 'x'));
        write_file(top + "/small.htm", "ok");
    });
    const int fd = connect_to(zolt.port());
    const std::string request = "GET /big.tar HTTP/1.1\r\n\r\n";
    send(fd, request.data(), request.size(), 0);
    char chunk[1024];
    ASSERT_GT(recv(fd, chunk, sizeof chunk, 0), 0);
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
    EXPECT_TRUE(zolt.wait_for_children_gone());
    EXPECT_EQ(zolt.get("GET /small.htm HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
    const std::string log = zolt.log();
    EXPECT_NE(log.find(" INFO: SEND:big.tar:1\n"), std::string::npos);
    EXPECT_NE(log.find(" INFO: SEND:small.htm:2\n"), std::string::npos);
}

}  // namespace
