// The first process of a test guest: a real ARM kernel booted from an initramfs that holds
// this init, the test programs and the release executable (tools/run-guest builds it). It
// mounts what the tests need, brings loopback up, prints the board's figures, runs the tests,
// prints their result on the console and powers the machine off. libc alone.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
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

namespace {

constexpr const char* UNIT_TESTS = "/tests/unit_tests";
constexpr const char* NETWORK_TESTS = "/tests/network_tests";
constexpr int SHARDS = 4;  // most tests wait on time-outs, so more shards than cores pay
constexpr const char* SHARD_COUNT = "4";
constexpr int HELD_CONNECTIONS = 256;  // enough to outweigh the kernel's own caches
constexpr int BOARD_PORT = 8181;
constexpr int CEILING_PORT = 8182;

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
            setenv("GTEST_TOTAL_SHARDS", SHARD_COUNT, 1);
            setenv("GTEST_SHARD_INDEX", shard, 1);
        }
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    return child;
}

long memory_free_kib() {
    FILE* meminfo = fopen("/proc/meminfo", "r");
    char line[256];
    long kib = -1;
    while (meminfo != nullptr && fgets(line, sizeof line, meminfo) != nullptr) {
        if (sscanf(line, "MemFree: %ld kB", &kib) == 1) break;
    }
    if (meminfo != nullptr) fclose(meminfo);
    return kib;
}

int processes_named(const char* name) {
    int count = 0;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        char path[300], comm[64] = "";
        snprintf(path, sizeof path, "/proc/%s/comm", entry->d_name);
        FILE* file = fopen(path, "r");
        if (file == nullptr) continue;
        if (fgets(comm, sizeof comm, file) != nullptr && strncmp(comm, name, strlen(name)) == 0)
            ++count;
        fclose(file);
    }
    if (proc != nullptr) closedir(proc);
    return count;
}

int connect_to(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The floor of a fork-per-connection server on this kernel: read, a fixed answer, the same
// shutdown and one-second pause as zolt, exit.
void serve_as_ceiling(int port) {
    signal(SIGCHLD, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0) {
        _exit(1);
    }
    static const char answer[] =
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
    for (;;) {
        const int client = accept(listener, nullptr, nullptr);
        if (client >= 0 && fork() == 0) {
            char request[8192];
            if (read(client, request, sizeof request) > 0 &&
                write(client, answer, sizeof answer - 1) > 0) {
                shutdown(client, SHUT_WR);
                sleep(1);
            }
            _exit(0);
        }
        if (client >= 0) close(client);
    }
}

// Sequential requests, each on a new connection, for `seconds`: requests per second.
double connection_rate(int port, double seconds) {
    const char request[] = "GET /index.html HTTP/1.1\r\n\r\n";
    int served = 0;
    const double end = now() + seconds;
    while (now() < end) {
        const int fd = connect_to(port);
        if (fd < 0) continue;
        if (write(fd, request, sizeof request - 1) > 0) {
            char chunk[4096];
            while (read(fd, chunk, sizeof chunk) > 0) {
            }
            ++served;
        }
        close(fd);
    }
    return served / seconds;
}

void wait_for_processes(const char* name, int count) {
    const double deadline = now() + 30;
    while (processes_named(name) != count && now() < deadline)
        usleep(10000);
}

// Connections held open without a request, each keeping a child of its own waiting: the
// system's free memory before and while they are held, over their number.
// Ended processes give their kernel memory back some time after they are reaped, so a reading
// taken at once would count the last round's frees against this one.
long settled_memory_free_kib() {
    const double deadline = now() + 5;
    long last = memory_free_kib();
    for (;;) {
        usleep(200000);
        const long current = memory_free_kib();
        if (labs(current - last) < 64 || now() > deadline) return current;
        last = current;
    }
}

long memory_per_held_connection() {
    const int idle = processes_named("zolt");
    const long before = settled_memory_free_kib();
    int held[HELD_CONNECTIONS];
    for (int& fd : held)
        fd = connect_to(BOARD_PORT);
    wait_for_processes("zolt", idle + HELD_CONNECTIONS);
    const long during = settled_memory_free_kib();
    for (int fd : held)
        close(fd);
    wait_for_processes("zolt", idle);
    return (before - during) / HELD_CONNECTIONS;
}

void print_board_figures(const char* zolt) {
    struct stat executable;
    if (stat(zolt, &executable) == 0) say("executable: %lld bytes", (long long)executable.st_size);
    mkdir("/tmp/board", 0755);
    const int page = open("/tmp/board/index.html", O_WRONLY | O_CREAT, 0644);
    if (page < 0 || write(page, "<p>board</p>\n", 13) != 13) say("no sample page");
    close(page);
    char port[16];
    snprintf(port, sizeof port, "%d", BOARD_PORT);
    const char* const server[] = {zolt, port, "/tmp/board", nullptr};
    if (wait_for(start(server)) != 0) {
        say("zolt did not start for the board's figures");
        return;
    }

    say("memory per held connection: %ld, %ld, %ld KiB (%d connections, three times)",
        memory_per_held_connection(), memory_per_held_connection(), memory_per_held_connection(),
        HELD_CONNECTIONS);

    const pid_t ceiling = fork();
    if (ceiling == 0) serve_as_ceiling(CEILING_PORT);
    usleep(200000);  // the ceiling is this program: it listens well within this
    const double zolt_rate = connection_rate(BOARD_PORT, 3);
    const double ceiling_rate = connection_rate(CEILING_PORT, 3);
    say("connections per second, one at a time: zolt %.0f, ceiling responder %.0f, ratio %.2f",
        zolt_rate, ceiling_rate, zolt_rate / ceiling_rate);
    kill(ceiling, SIGKILL);
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
    int statuses[SHARDS];
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
    say("kernel %s %s on %s, %ld processors", system.sysname, system.release, system.machine,
        sysconf(_SC_NPROCESSORS_ONLN));
    const double start_time = now();

    const char* zolt = getenv("ZOLT_BINARY");
    if (zolt != nullptr) print_board_figures(zolt);

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
