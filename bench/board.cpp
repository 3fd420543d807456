// The board's figures, measured inside a test guest (tools/run-guest, when ZOLT_FIGURES=1 is
// given) or on a board itself: the release executable's size, the system memory each held
// connection costs, and zolt's rate of sequential connections against the ceiling responder
// (bench/responder.c, lingering one second as zolt does) on the same kernel. libc alone.
// Usage: board ZOLT RESPONDER
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int HELD_CONNECTIONS = 256;  // enough to outweigh the kernel's own caches
constexpr int ZOLT_PORT = 8181;
constexpr int CEILING_PORT = 8182;
constexpr const char* TOP = "/tmp/board";

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

pid_t start(const char* const argv[]) {
    const pid_t child = fork();
    if (child == 0) {
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

bool wait_until_listening(int port) {
    for (const double deadline = now() + 10; now() < deadline; usleep(10000)) {
        const int fd = connect_to(port);
        if (fd >= 0) return close(fd) == 0;
    }
    return false;
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

// Connections held open without a request, each keeping a child of its own waiting: the
// system's free memory before and while they are held, over their number.
long memory_per_held_connection() {
    const int idle = processes_named("zolt");
    const long before = settled_memory_free_kib();
    int held[HELD_CONNECTIONS];
    for (int& fd : held)
        fd = connect_to(ZOLT_PORT);
    wait_for_processes("zolt", idle + HELD_CONNECTIONS);
    const long during = settled_memory_free_kib();
    for (int fd : held)
        close(fd);
    wait_for_processes("zolt", idle);
    return (before - during) / HELD_CONNECTIONS;
}

// The listener's pid, from its start entry (" INFO: zolt starting:PORT:PID").
pid_t listener_pid() {
    char path[64], entry[128] = "";
    snprintf(path, sizeof path, "%s/zolt.log", TOP);
    FILE* log = fopen(path, "r");
    if (log == nullptr) return -1;
    const bool read = fgets(entry, sizeof entry, log) != nullptr;
    fclose(log);
    const char* pid = strrchr(entry, ':');
    return read && pid != nullptr ? atoi(pid + 1) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: board ZOLT RESPONDER\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as it is measured
    struct stat executable;
    if (stat(argv[1], &executable) == 0)
        printf("zolt-guest: executable: %lld bytes\n", static_cast<long long>(executable.st_size));
    // The same 1 KiB answer as the responder's.
    mkdir(TOP, 0755);
    char page[1024];
    memset(page, 'x', sizeof page);
    const int file = open("/tmp/board/index.html", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0 || write(file, page, sizeof page) != sizeof page) return 1;
    close(file);

    char zolt_port[16], ceiling_port[16];
    snprintf(zolt_port, sizeof zolt_port, "%d", ZOLT_PORT);
    snprintf(ceiling_port, sizeof ceiling_port, "%d", CEILING_PORT);
    const char* const zolt[] = {argv[1], zolt_port, TOP, nullptr};
    int status = -1;
    if (waitpid(start(zolt), &status, 0) < 0 || status != 0) {
        printf("zolt-guest: zolt did not start for the board's figures\n");
        return 1;
    }
    const char* const responder[] = {argv[2], ceiling_port, "1", nullptr};
    const pid_t ceiling = start(responder);
    if (!wait_until_listening(CEILING_PORT)) {
        printf("zolt-guest: the responder did not start\n");
        return 1;
    }

    const long first = memory_per_held_connection(), second = memory_per_held_connection(),
               third = memory_per_held_connection();
    printf(
        "zolt-guest: memory per held connection: %ld, %ld, %ld KiB (%d connections, three "
        "times)\n",
        first, second, third, HELD_CONNECTIONS);
    const double zolt_rate = connection_rate(ZOLT_PORT, 3);
    const double ceiling_rate = connection_rate(CEILING_PORT, 3);
    printf(
        "zolt-guest: connections per second, one at a time: zolt %.0f, ceiling responder "
        "%.0f, ratio %.2f\n",
        zolt_rate, ceiling_rate, zolt_rate / ceiling_rate);
    // zolt's listener leads a process group of its own, with its lingering children; the
    // responder's children end by themselves within their second.
    const pid_t listener = listener_pid();
    if (listener > 0) kill(-listener, SIGKILL);
    kill(ceiling, SIGKILL);
    waitpid(ceiling, &status, 0);
    return 0;
}
