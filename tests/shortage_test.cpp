// Shortages of descriptors and processes pass; the listener must outlive them without
// spinning and serve again afterwards.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <future>
#include <sstream>
#include <thread>

#include "harness.h"

namespace {

using namespace harness;

constexpr char OK[] = "HTTP/1.1 200 OK";

long cpu_ticks(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

void set_soft_limit(pid_t pid, int resource, rlim_t value) {
    rlimit limit{};
    ASSERT_EQ(prlimit(pid, static_cast<__rlimit_resource>(resource), nullptr, &limit), 0);
    limit.rlim_cur = value;
    ASSERT_EQ(prlimit(pid, static_cast<__rlimit_resource>(resource), &limit, nullptr), 0);
}

std::vector<std::future<std::string>> start_clients(int port, int count) {
    std::vector<std::future<std::string>> answers;
    for (int i = 0; i < count; ++i) {
        answers.push_back(std::async(std::launch::async, [port] {
            return exchange(port, "GET /a.htm HTTP/1.1\r\n\r\n", 20s);
        }));
    }
    return answers;
}

TEST(Shortage, OutOfDescriptorsTheListenerPausesAndServesTheWaitingClientsLater) {
    server zolt([](const std::string& top) { write_file(top + "/a.htm", "a"); });
    set_soft_limit(zolt.pid(), RLIMIT_NOFILE, 1);  // only the listening socket fits
    auto answers = start_clients(zolt.port(), 5);
    const long before = cpu_ticks(zolt.pid());
    std::this_thread::sleep_for(1s);  // a measuring window, not a wait for an event
    const long spent = cpu_ticks(zolt.pid()) - before;
    EXPECT_LT(spent, sysconf(_SC_CLK_TCK) / 5) << "the listener spins on EMFILE";
    set_soft_limit(zolt.pid(), RLIMIT_NOFILE, 1024);
    for (auto& answer : answers)
        EXPECT_EQ(answer.get().substr(0, 15), OK);
}

TEST(Shortage, OutOfProcessesTheListenerLogsClosesAndGoesOn) {
    if (!may_switch_users())
        GTEST_SKIP()
            << "only root in the initial user namespace can run the server as another user";
    const reachable_binary binary;
    if (user_mode_emulator()) {
        GTEST_SKIP() << "the emulator needs threads of its own and aborts at the process limit";
    }
    // The process limit binds only unprivileged users, so the server runs as a user of its
    // own, with room for itself and two children.
    const uid_t user = unused_user_id();
    server zolt(
        [&](const std::string& top) {
            write_file(top + "/a.htm", "a");
            ASSERT_EQ(chown(top.c_str(), user, user), 0);
        },
        [&] {
            const rlimit three{3, 3};
            become_user(user);
            if (setrlimit(RLIMIT_NPROC, &three) != 0) _exit(98);
        });
    auto answers = start_clients(zolt.port(), 8);
    int served = 0, closed = 0;
    for (auto& answer : answers) {
        const std::string text = answer.get();
        served += text.rfind(OK, 0) == 0;
        closed += text.empty();
    }
    EXPECT_GE(served, 1);
    EXPECT_GE(closed, 1);
    EXPECT_EQ(served + closed, 8);
    const std::string continuing = "ERROR: system call:fork Errno=" + std::to_string(EAGAIN) +
                                   " continuing pid=" + std::to_string(zolt.pid()) + "\n";
    EXPECT_NE(zolt.log().find(continuing), std::string::npos) << zolt.log();
    // Once the children have ended the listener serves again.
    ASSERT_TRUE(zolt.wait_for_children_gone());
    EXPECT_EQ(zolt.get("GET /a.htm HTTP/1.1\r\n\r\n").substr(0, 15), OK);
}

}  // namespace
