#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace harness {

namespace {

using clock = std::chrono::steady_clock;

bool write_text(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool bring_loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq request{};
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

int remove_entry(const char* path, const struct stat*, int, FTW*) {
    remove(path);
    return 0;
}

struct process {
    pid_t pid, parent, group;
    uid_t user;
    bool zombie;
};

// Every process, from /proc: its state, parent, real user and process group.
std::vector<process> all_processes() {
    std::vector<process> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const std::string status = read_file(std::string("/proc/") + entry->d_name + "/status");
        const auto field = [&](const char* name) -> std::string {
            const auto at = status.find(std::string("\n") + name + ":\t");
            return at == std::string::npos ? "" : status.substr(at + strlen(name) + 3, 12);
        };
        const std::string state = field("State"), parent = field("PPid"), user = field("Uid"),
                          group = field("NSpgid");
        if (state.empty() || parent.empty() || user.empty() || group.empty()) continue;
        found.push_back({std::stoi(entry->d_name), std::stoi(parent), std::stoi(group),
                         static_cast<uid_t>(std::stoul(user)), state[0] == 'Z'});
    }
    closedir(proc);
    return found;
}

long remaining_ms(clock::time_point end) {
    return std::max<long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count());
}

bool switching_users = false;  // decided once, before the namespace (enter_private_network)

}  // namespace

bool may_switch_users() {
    return switching_users;
}

void enter_private_network() {
    // The initial namespace maps every user id to itself.
    std::istringstream map(read_file("/proc/self/uid_map"));
    std::string inside, outside, count;
    map >> inside >> outside >> count;
    switching_users = getuid() == 0 && inside == "0" && outside == "0" && count == "4294967295";
    if (getenv("ZOLT_TEST_HOST_NETWORK") != nullptr) return;
    if (unshare(CLONE_NEWNET) != 0) {
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0 ||
            !write_text("/proc/self/setgroups", "deny") ||
            !write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            fprintf(stderr, "note: no private network namespace here; using the host's\n");
            return;
        }
    }
    if (!bring_loopback_up()) fprintf(stderr, "note: could not bring loopback up\n");
}

temp_dir::temp_dir() {
    char pattern[] = "/tmp/zolt-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    // Make everything removable again, also what a test made read-only.
    chmod(path_.c_str(), 0755);
    nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = clock::now() + deadline;
    for (;;) {
        if (condition()) return true;
        if (clock::now() >= end) return false;
        std::this_thread::sleep_for(5ms);
    }
}

bool user_mode_emulator() {
    const char* emulator = getenv("ZOLT_EMULATOR");
    return emulator != nullptr && *emulator;
}

bool landlock_available() {
    return syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) >= 1;
}

void enter_service_manager_filter() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_seccomp, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof code / sizeof code[0], code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        _exit(97);
    }
}

bool slow_machine() {
    return user_mode_emulator() || getenv("ZOLT_GUEST") != nullptr;
}

bool have(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

command_result run(const std::string& command) {
    command_result result{-1, ""};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[4096];
    while (fgets(chunk, sizeof chunk, pipe) != nullptr)
        result.out += chunk;
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> zolt_command() {
    std::vector<std::string> command;
    if (const char* emulator = getenv("ZOLT_EMULATOR"); emulator != nullptr && *emulator) {
        std::istringstream words(emulator);
        for (std::string word; words >> word;)
            command.push_back(word);
    }
    const char* binary = getenv("ZOLT_BINARY");
    command.push_back(binary != nullptr && *binary ? binary : ZOLT_BINARY_DEFAULT);
    return command;
}

started_zolt start_zolt(const std::vector<std::string>& args,
                        const std::function<void()>& in_child) {
    std::vector<std::string> command = zolt_command();
    command.insert(command.end(), args.begin(), args.end());
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        closefrom(3);  // nothing of the test's (or of make's job server) reaches the server
        if (in_child) in_child();
        std::vector<char*> argv;
        for (auto& word : command)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return {child, out[0], err[0]};
}

run_result finish_zolt(const started_zolt& started, std::chrono::milliseconds deadline) {
    run_result result;
    const auto end = clock::now() + deadline;
    pollfd fds[2] = {{started.out, POLLIN, 0}, {started.err, POLLIN, 0}};
    int open_pipes = 2;
    while (open_pipes > 0 && remaining_ms(end) > 0) {
        if (poll(fds, 2, static_cast<int>(remaining_ms(end))) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
            if (got < 0 && errno == EAGAIN) continue;
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            } else {
                (i == 0 ? result.out : result.err).append(chunk, static_cast<size_t>(got));
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int status = 0;
    if (!wait_until([&] { return waitpid(started.pid, &status, WNOHANG) == started.pid; },
                    std::chrono::milliseconds(std::max<long>(remaining_ms(end), 100)))) {
        kill(started.pid, SIGKILL);
        waitpid(started.pid, &status, 0);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

run_result run_zolt(const std::vector<std::string>& args, std::chrono::milliseconds deadline,
                    const std::function<void()>& in_child) {
    return finish_zolt(start_zolt(args, in_child), deadline);
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

std::string start_entry_pid(const std::string& line, const std::string& port) {
    const std::string prefix = " INFO: zolt starting:" + port + ":";
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "";
}

int free_port() {
    // The kernel's ephemeral range reaches past 60000, the highest port zolt takes.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                           getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
        close(fd);
        if (bound && ntohs(address.sin_port) <= 60000) return ntohs(address.sin_port);
    }
    throw std::runtime_error("no free port");
}

int connect_to(int port, int receive_buffer) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    const sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_until_closed(int fd, std::chrono::milliseconds deadline) {
    std::string answer;
    const auto end = clock::now() + deadline;
    while (remaining_ms(end) > 0) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(remaining_ms(end))) <= 0) continue;
        char chunk[65536];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) break;
        answer.append(chunk, static_cast<size_t>(got));
    }
    return answer;
}

std::string exchange(int port, const std::string& request, std::chrono::milliseconds deadline) {
    const int fd = connect_to(port);
    if (fd < 0) return "(connect failed)";
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t put = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) break;
        sent += static_cast<size_t>(put);
    }
    std::string answer = read_until_closed(fd, deadline);
    close(fd);
    return answer;
}

std::string response_header(unsigned long long size, const std::string& type) {
    return "HTTP/1.1 200 OK\r\nServer: " + server_token +
           "\r\nContent-Length: " + std::to_string(size) +
           "\r\nConnection: close\r\nContent-Type: " + type + "\r\n\r\n";
}

pid_t listener_in(const std::string& top) {
    // Without a log to name it, the listener is the group leader working in the top directory.
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    pid_t found = -1;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        char cwd[4096];
        const std::string link = std::string("/proc/") + entry->d_name + "/cwd";
        const ssize_t size = readlink(link.c_str(), cwd, sizeof cwd - 1);
        const pid_t pid = std::stoi(entry->d_name);
        if (size > 0 && std::string(cwd, static_cast<size_t>(size)) == top && getpgid(pid) == pid) {
            found = pid;
        }
    }
    closedir(proc);
    return found;
}

std::vector<std::string> flood(int port, const std::vector<std::string>& requests, size_t batch,
                               std::chrono::milliseconds deadline) {
    struct client {
        int fd = -1;
        size_t sent = 0;
        bool done = false;
    };
    const auto end = clock::now() + deadline;
    std::vector<std::string> answers(requests.size());
    std::vector<client> clients(requests.size());
    size_t opened = 0, finished = 0;
    while (finished < requests.size() && remaining_ms(end) > 0) {
        // Keep at most `batch` connections waiting for their first answer byte.
        size_t waiting = 0;
        for (size_t i = 0; i < opened; ++i) {
            waiting += !clients[i].done && answers[i].empty();
        }
        while (opened < requests.size() && waiting < batch) {
            client& c = clients[opened];
            c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const sockaddr_in address = loopback(port);
            if (c.fd < 0 ||
                (connect(c.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
                 errno != EINPROGRESS)) {
                answers[opened] = "(no connection)";
                c.done = true;
                ++finished;
                if (c.fd >= 0) close(c.fd);
            }
            ++opened;
            ++waiting;
        }
        std::vector<pollfd> fds;
        std::vector<size_t> index;
        for (size_t i = 0; i < opened; ++i) {
            if (clients[i].done) continue;
            const bool sending = clients[i].sent < requests[i].size();
            fds.push_back({clients[i].fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0});
            index.push_back(i);
        }
        if (fds.empty()) continue;
        if (poll(fds.data(), fds.size(), 100) <= 0) continue;
        for (size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents == 0) continue;
            const size_t i = index[k];
            client& c = clients[i];
            if (c.sent < requests[i].size()) {
                const ssize_t put = send(c.fd, requests[i].data() + c.sent,
                                         requests[i].size() - c.sent, MSG_NOSIGNAL);
                if (put > 0) c.sent += static_cast<size_t>(put);
                if (put < 0 && errno != EAGAIN) c.sent = requests[i].size();
                continue;
            }
            char chunk[65536];
            const ssize_t got = read(c.fd, chunk, sizeof chunk);
            if (got > 0) {
                answers[i].append(chunk, static_cast<size_t>(got));
            } else if (got == 0 || errno != EAGAIN) {
                close(c.fd);
                c.done = true;
                ++finished;
            }
        }
    }
    for (auto& c : clients) {
        if (!c.done && c.fd >= 0) close(c.fd);
    }
    return answers;
}

uid_t unused_user_id() {
    // Zombies count too: the process limit counts them.
    const auto in_use = [](uid_t uid) {
        for (const process& p : all_processes()) {
            if (p.user == uid) return true;
        }
        return false;
    };
    // Above every system and ordinary user; pids are at most 2^22, so the steps never meet
    // another live test process's user.
    uid_t uid = 100000 + static_cast<uid_t>(getpid());
    while (in_use(uid))
        uid += 1u << 22;
    return uid;
}

void become_user(uid_t uid) {
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(98);
}

reachable_binary::reachable_binary() {
    const char* binary = getenv("ZOLT_BINARY");
    saved_ = binary != nullptr ? binary : "";
    const std::string copy = dir_ / "zolt";
    write_file(copy, read_file(zolt_command().back()));
    if (chmod(dir_.path().c_str(), 0755) != 0 || chmod(copy.c_str(), 0755) != 0)
        throw std::runtime_error("chmod " + copy);
    setenv("ZOLT_BINARY", copy.c_str(), 1);
}

reachable_binary::~reachable_binary() {
    if (saved_.empty()) {
        unsetenv("ZOLT_BINARY");
    } else {
        setenv("ZOLT_BINARY", saved_.c_str(), 1);
    }
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> children;
    for (const process& p : all_processes()) {
        if (p.parent == pid && !p.zombie) children.push_back(p.pid);
    }
    return children;
}

bool listening_on(int port) {
    char wanted[8];
    snprintf(wanted, sizeof wanted, "%04X", port);
    std::istringstream table(read_file("/proc/net/tcp"));
    std::string line;
    std::getline(table, line);  // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local.substr(local.find(':') + 1) == wanted && state == "0A") return true;
    }
    return false;
}

bool has_zombie_children(pid_t pid) {
    for (const process& p : all_processes()) {
        if (p.parent == pid && p.zombie) return true;
    }
    return false;
}

int processes_in_group(pid_t group) {
    int count = 0;
    for (const process& p : all_processes())
        count += p.group == group && !p.zombie;
    return count;
}

server::server(const std::function<void(const std::string&)>& prepare,
               const std::function<void()>& in_child) {
    if (prepare) prepare(top_.path());
    port_ = free_port();
    const run_result started = run_zolt({std::to_string(port_), top_.path()}, 20s, in_child);
    if (started.status != 0) {
        throw std::runtime_error("zolt did not start: status " + std::to_string(started.status) +
                                 ": " + started.out);
    }
    const std::vector<std::string> log = read_lines(top_ / "zolt.log");
    start_entries_ = log.size();
    const std::string pid = log.empty() ? "" : start_entry_pid(log[0], std::to_string(port_));
    pid_ = !pid.empty() ? std::stoi(pid) : listener_in(top_.path());
    if (pid_ <= 0) throw std::runtime_error("no listener found for " + top_.path());
}

server::~server() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    wait_until([&] { return processes_in_group(pid_) == 0; }, 10s);
}

namespace {

// The rest of this process runs zolt as the first process of a new PID namespace, as a
// container runtime does; this one waits for it and ends with its status.
void become_first_process_of_a_new_pid_namespace() {
    if (unshare(CLONE_NEWPID) != 0) _exit(95);
    const pid_t first = fork();
    if (first < 0) _exit(95);
    if (first == 0) return;
    signal(SIGCHLD, SIG_DFL);  // the runtime waits for its first process, whatever zolt inherits
    int status = 0;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

}  // namespace

container::container(const std::function<void(const std::string&)>& prepare,
                     const std::function<void(const std::string&)>& in_child) {
    if (prepare) prepare(top_.path());
    port_ = free_port();
    started_ = start_zolt({std::to_string(port_), top_.path()}, [&] {
        if (in_child) in_child(top_.path());
        become_first_process_of_a_new_pid_namespace();
    });
    fcntl(started_.out, F_SETFL, O_NONBLOCK);
    const bool listening = wait_until([&] { return listening_on(port_); }, 20s);
    const std::vector<pid_t> runtime = children_of(started_.pid);
    init_ = runtime.empty() ? -1 : runtime[0];
    const std::vector<pid_t> listener = children_of(init_);
    listener_ = listener.empty() ? -1 : listener[0];
    if (!listening || init_ <= 0 || listener_ <= 0) {
        const std::string said = output();
        end_namespace();  // no destructor runs for a constructor that throws
        throw std::runtime_error("zolt did not start as a first process: " + said);
    }
}

container::~container() {
    end_namespace();
}

void container::end_namespace() {
    if (ended_) return;
    if (init_ > 0) kill(init_, SIGKILL);  // the kernel ends the rest of the namespace with it
    finish_zolt(started_, 10s);
    ended_ = true;
}

const std::string& container::output() {
    char chunk[4096];
    if (ended_) return out_;
    for (ssize_t got; (got = read(started_.out, chunk, sizeof chunk)) > 0;)
        out_.append(chunk, static_cast<size_t>(got));
    return out_;
}

run_result container::wait_for_end(std::chrono::milliseconds deadline) {
    run_result ended = finish_zolt(started_, deadline);
    ended_ = true;
    out_ += ended.out;
    ended.out = out_;
    return ended;
}

bool server::wait_for_log_lines(size_t count, std::chrono::milliseconds deadline) const {
    return wait_until([&] { return log_lines().size() >= start_entries_ + count; }, deadline);
}

bool server::wait_for_children_gone(std::chrono::milliseconds deadline) const {
    return wait_until([&] { return processes_in_group(pid_) <= 1; }, deadline);
}

}  // namespace harness
