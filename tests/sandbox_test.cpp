// The filters and the write confinement in forked test processes: the calls that each role
// needs pass, and what a compromised process would reach for ends it with SIGSYS.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "harness.h"
#include "server/sandbox.h"

namespace {

using namespace harness;

// Runs `body` in a forked process in the role: the listener's filter, and for a child the
// child's on top, as a served connection's process has them; the init's alone. With a top
// directory, the process first works there with its writes confined as the role's are. Its
// exit status, or 128 + signal.
int status_of(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

int in_role(sandbox_role role, const std::function<void()>& body, const std::string& top = "") {
    const pid_t child = fork();
    if (child == 0) {
        const bool init = role == sandbox_role::init;
        if (!top.empty() && (chdir(top.c_str()) != 0 ||
                             !(init ? forbid_writes() : confine_writes_to_working_directory())))
            _exit(91);
        if (!enter_sandbox(init ? sandbox_role::init : sandbox_role::listener)) _exit(90);
        if (role == sandbox_role::child && !enter_sandbox(sandbox_role::child)) _exit(90);
        body();
        _exit(0);
    }
    return status_of(child);
}

// A served connection's process where zolt runs as an ordinary user: the listener's filter,
// and the process limit in place of the child's own.
int in_unprivileged_child(const std::function<void()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        if (may_switch_users()) become_user(unused_user_id());
        const fork_ban ban = choose_fork_ban();
        if (!enter_sandbox(sandbox_role::listener)) _exit(90);
        if (ban != fork_ban::process_limit || !ban_forks(ban)) _exit(89);
        body();
        _exit(0);
    }
    return status_of(child);
}

bool append_entry(const std::string& log) {
    const int entry = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    return entry >= 0 && write(entry, "x\n", 2) == 2;
}

TEST(Sandbox, EachRoleMayDoItsWorkButNothingElse) {
    if (user_mode_emulator()) GTEST_SKIP() << "qemu-user cannot install a seccomp filter";
    temp_dir top;
    write_file(top / "a.html", "a");
    const std::string log = top / "zolt.log";
    EXPECT_EQ(in_role(sandbox_role::child,
                      [&] {
                          const int file = open((top / "a.html").c_str(), O_RDONLY | O_NONBLOCK);
                          struct stat status;
                          char byte;
                          if (file < 0 || fstat(file, &status) != 0 || read(file, &byte, 1) != 1)
                              _exit(1);
                          if (!append_entry(log)) _exit(2);
                          const timespec pause{0, 1000};
                          if (nanosleep(&pause, nullptr) != 0 || close(file) != 0) _exit(3);
                      }),
              0);
    // A libc that tries clone3 first is told the kernel lacks it, and falls back to clone.
    EXPECT_EQ(in_role(sandbox_role::listener,
                      [&] {
                          if (syscall(__NR_clone3, nullptr, 0) != -1 || errno != ENOSYS) _exit(1);
                          const pid_t served = fork();
                          if (served == 0) _exit(0);
                          if (served < 0 || getpid() <= 0 || !append_entry(log)) _exit(2);
                      }),
              0);
    // The init waits for its children and for signals, passes signals on, and copies the log;
    // it may not even append to the log.
    EXPECT_EQ(in_role(sandbox_role::init,
                      [&] {
                          sigset_t none;
                          sigemptyset(&none);
                          const timespec look{0, 1000};
                          const int log_file = open(log.c_str(), O_RDONLY);
                          char bytes[8];
                          struct stat named;
                          if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD ||
                              kill(0, 0) != 0 || sigtimedwait(&none, nullptr, &look) != -1 ||
                              log_file < 0 || read(log_file, bytes, sizeof bytes) < 0 ||
                              stat(log.c_str(), &named) != 0 || write(STDOUT_FILENO, "", 0) != 0)
                              _exit(1);
                      }),
              0);
    EXPECT_EQ(in_role(sandbox_role::init, [&] { append_entry(log); }), 128 + SIGSYS);
    // Unprivileged, a child's fork fails for the process limit instead of ending it; root in
    // a user namespace of the developer's own has no user to become.
    const bool unprivileged = may_switch_users() || getuid() != 0;
    constexpr int FORK_REFUSED = 11;
    const struct {
        const char* what;
        bool listener_may;
        std::function<void()> call;
    } refused[] = {
        {"execve", false, [] { execl("/bin/true", "true", nullptr); }},
        {"socket", false, [] { socket(AF_INET, SOCK_STREAM, 0); }},
        {"fork", true,
         [] {
             if (fork() < 0 && errno == EAGAIN) _exit(FORK_REFUSED);
         }},
        {"open to overwrite", false, [&] { open((top / "a.html").c_str(), O_WRONLY | O_TRUNC); }},
        {"open to read and write", false,
         [&] { open((top / "b.html").c_str(), O_RDWR | O_CREAT, 0644); }},
        {"append taken off the log", false,
         [&] { fcntl(open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), F_SETFL, 0); }},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(in_role(sandbox_role::child, c.call), 128 + SIGSYS) << c.what;
        EXPECT_EQ(in_role(sandbox_role::init, c.call), 128 + SIGSYS) << c.what;
        if (!c.listener_may) {
            EXPECT_EQ(in_role(sandbox_role::listener, c.call), 128 + SIGSYS) << c.what;
        }
        if (unprivileged) {
            EXPECT_EQ(in_unprivileged_child(c.call), c.listener_may ? FORK_REFUSED : 128 + SIGSYS)
                << c.what;
        }
    }
    EXPECT_EQ(read_file(top / "a.html"), "a");
}

// Whatever the user may write, a child writes its log beneath the top directory and nothing
// outside it, but still reads anything its user may.
TEST(Sandbox, AChildWritesOnlyItsLogBeneathTheTopAndReadsAnywhere) {
    if (user_mode_emulator() || !landlock_available())
        GTEST_SKIP() << "no Landlock here (or qemu-user)";
    temp_dir top, outside;
    write_file(outside / "other.html", "o");
    const std::string log = top / "zolt.log";
    EXPECT_EQ(in_role(
                  sandbox_role::child, [&] { _exit(append_entry(log) ? 0 : 1); }, top.path()),
              0);
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);  // as a rotation does
    EXPECT_EQ(
        in_role(
            sandbox_role::child,
            [&] {
                if (!append_entry(log)) _exit(1);
                const int other = open((outside / "other.html").c_str(), O_RDONLY);
                char byte;
                if (other < 0 || read(other, &byte, 1) != 1) _exit(2);
                for (const std::string name : {"other.html", "new.log"}) {
                    if (open((outside / name).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644) >= 0 ||
                        errno != EACCES) {
                        _exit(3);
                    }
                }
            },
            top.path()),
        0);
    EXPECT_EQ(read_file(log), "x\n");
    EXPECT_EQ(read_file(outside / "other.html"), "o");
    // The container's init writes nowhere, its own top directory included, and still reads.
    const pid_t init = fork();
    if (init == 0) {
        const bool confined = chdir(top.path().c_str()) == 0 && forbid_writes() &&
                              open("zolt.log", O_WRONLY | O_APPEND) < 0 && errno == EACCES &&
                              open("zolt.log", O_RDONLY) >= 0;
        _exit(confined ? 0 : 1);
    }
    int status = -1;
    waitpid(init, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(std::ifstream(outside / "new.log").good());
}

}  // namespace
