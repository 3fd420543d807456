// The first process of a test guest: a real ARM or MIPS kernel booted from an initramfs that holds
// this init, the test programs and the release executable (tools/run-guest builds it). It
// mounts what the tests need, brings loopback up, runs the tests, reaps every process, prints
// their result on the console and powers the machine off. Given ZOLT_FIGURES=1, it first runs
// the board's figures (bench/board.cpp), which the initramfs then holds. libc alone.
#include <fcntl.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <bit>

namespace {

constexpr const char* UNIT_TESTS = "/tests/unit_tests";
constexpr const char* NETWORK_TESTS = "/tests/network_tests";
constexpr const char* BOARD_FIGURES = "/bench/board";
constexpr const char* RESPONDER = "/bench/responder";
constexpr int SHARDS = 4;  // most tests wait on time-outs, so more shards than cores pay

// Every line the host looks for starts with "zolt-guest: ".
__attribute__((format(printf, 1, 2))) void say(const char* format, ...) {
    va_list values;
    va_start(values, format);
    printf("zolt-guest: ");
    vprintf(format, values);
    printf("\n");
    fflush(stdout);
    va_end(values);
}

void mount_what_the_tests_need() {
    mkdir("/dev", 0755);
    mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
    const int console = open("/dev/console", O_RDWR);
    if (console >= 0) {
        dup2(console, 0);
        dup2(console, 1);
        dup2(console, 2);
    }
    mkdir("/proc", 0755);
    mkdir("/sys", 0755);
    mount("proc", "/proc", "proc", 0, nullptr);
    mount("sysfs", "/sys", "sysfs", 0, nullptr);
    // The initramfs itself is in memory and writable, and may hold the executable under /tmp
    // (where the tree was built): /tmp stays part of it rather than a mount hiding that.
    mkdir("/tmp", 0755);
    chmod("/tmp", 01777);
}

void bring_loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    strcpy(request.ifr_name, "lo");
    ioctl(fd, SIOCGIFFLAGS, &request);
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) say("could not bring loopback up");
    close(fd);
}

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Every orphan is this process's child: reaps them all until each of `pids` has ended, and
// gives their exit statuses (128 + signal for a signal).
void wait_for_all(const pid_t* pids, int* statuses, int count) {
    for (int left = count; left > 0;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, 0);
        if (ended < 0) return;
        for (int i = 0; i < count; ++i) {
            if (pids[i] != ended) continue;
            statuses[i] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            --left;
        }
    }
}

int wait_for(pid_t pid) {
    int status = -1;
    wait_for_all(&pid, &status, 1);
    return status;
}

// Runs argv[0]; as one of SHARDS shards of its tests if `shard` names one.
pid_t start(const char* const argv[], const char* shard = nullptr) {
    const pid_t child = fork();
    if (child == 0) {
        if (shard != nullptr) {
            char count[16];
            snprintf(count, sizeof count, "%d", SHARDS);
            setenv("GTEST_TOTAL_SHARDS", count, 1);
            setenv("GTEST_SHARD_INDEX", shard, 1);
        }
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    return child;
}

// The network tests in shards side by side, their lines on the console as they come, so a
// test that hangs is seen.
int run_network_tests() {
    pid_t shards[SHARDS];
    for (int i = 0; i < SHARDS; ++i) {
        char index[16];
        snprintf(index, sizeof index, "%d", i);
        const char* const argv[] = {NETWORK_TESTS, "--gtest_color=no", nullptr};
        shards[i] = start(argv, index);
    }
    // A shard that is never reaped counts as failed.
    int statuses[SHARDS];
    for (int& status : statuses)
        status = -1;
    wait_for_all(shards, statuses, SHARDS);
    int status = 0;
    for (int i = 0; i < SHARDS; ++i) {
        say("network tests, shard %d of %d: status %d", i + 1, SHARDS, statuses[i]);
        if (statuses[i] != 0) status = statuses[i];
    }
    return status;
}

}  // namespace

int main() {
    mount_what_the_tests_need();
    bring_loopback_up();
    setenv("PATH", "/tests", 1);
    setenv("HOME", "/tmp", 1);
    setenv("ZOLT_GUEST", "1", 1);  // the tests scale their loads down for an emulated machine
    utsname system;
    uname(&system);
    say("kernel %s %s on %s (%s-endian), %ld processors", system.sysname, system.release,
        system.machine, std::endian::native == std::endian::big ? "big" : "little",
        sysconf(_SC_NPROCESSORS_ONLN));
    const double start_time = now();

    const char* zolt = getenv("ZOLT_BINARY");
    const char* figures = getenv("ZOLT_FIGURES");
    if (zolt != nullptr && figures != nullptr && strcmp(figures, "1") == 0) {
        const char* const board[] = {BOARD_FIGURES, zolt, RESPONDER, nullptr};
        if (wait_for(start(board)) != 0) say("the board's figures failed");
    }

    const char* const unit[] = {UNIT_TESTS, "--gtest_color=no", nullptr};
    const int unit_status = wait_for(start(unit));
    say("unit tests: status %d", unit_status);
    const int network_status = run_network_tests();
    const int status = unit_status != 0 ? unit_status : network_status;
    say("tests took %.0f s", now() - start_time);
    say("status %d", status);
    sync();
    reboot(RB_POWER_OFF);
    return status;
}
