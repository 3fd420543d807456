// The child's filter in a forked test process: the calls that serving needs pass, and what a
// compromised child would reach for ends it with SIGSYS.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>

#include "harness.h"
#include "server/sandbox.h"

namespace {

using namespace harness;

// Runs `body` in a forked process under the child's filter: its exit status, or 128 + signal.
int in_sandboxed_child(const std::function<void()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        if (!enter_sandbox(sandbox_role::child)) _exit(90);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

TEST(Sandbox, AChildMayServeAFileButNothingElse) {
    if (user_mode_emulator()) GTEST_SKIP() << "qemu-user cannot install a seccomp filter";
    temp_dir top;
    write_file(top / "a.html", "a");
    const std::string log = top / "zolt.log";
    EXPECT_EQ(in_sandboxed_child([&] {
                  const int file = open((top / "a.html").c_str(), O_RDONLY | O_NONBLOCK);
                  struct stat status;
                  char byte;
                  if (file < 0 || fstat(file, &status) != 0 || read(file, &byte, 1) != 1) _exit(1);
                  const int entry = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                  if (entry < 0 || write(entry, "x\n", 2) != 2) _exit(2);
                  const timespec pause{0, 1000};
                  if (nanosleep(&pause, nullptr) != 0 || close(file) != 0) _exit(3);
              }),
              0);
    const struct {
        const char* what;
        std::function<void()> call;
    } refused[] = {
        {"execve", [] { execl("/bin/true", "true", nullptr); }},
        {"socket", [] { socket(AF_INET, SOCK_STREAM, 0); }},
        {"fork", [] { fork(); }},
        {"open to overwrite", [&] { open((top / "a.html").c_str(), O_WRONLY | O_TRUNC); }},
        {"open to read and write", [&] { open((top / "b.html").c_str(), O_RDWR | O_CREAT, 0644); }},
        {"append taken off the log",
         [&] { fcntl(open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), F_SETFL, 0); }},
    };
    for (const auto& c : refused)
        EXPECT_EQ(in_sandboxed_child(c.call), 128 + SIGSYS) << c.what;
    EXPECT_EQ(read_file(top / "a.html"), "a");
}

}  // namespace
