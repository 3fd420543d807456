// Helpers shared by the tests: temporary top directories, running the real binary, talking
// raw bytes to a server on loopback, and waiting for a condition with a deadline.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "zolt.h"

namespace harness {

using namespace std::chrono_literals;

// The server's name and version as its answers carry them.
inline const std::string server_token = "zolt/" + std::to_string(SERVER_VERSION) + ".0";

// Whether tests may run the server as another user: only root in the initial user namespace
// can, decided by enter_private_network before it may map the developer to root in a namespace
// of its own.
bool may_switch_users();

// Moves this test process (and so every server it starts) into a network namespace of its
// own with only loopback up, so the server's all-interfaces bind stays private and every test
// starts with clean TCP state. Falls back to the host's namespace where that is not allowed.
void enter_private_network();

// A fresh directory under /tmp, removed with everything in it at the end of the test.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);

// Waits for the condition until the deadline; true if it became true.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds deadline = 10s);

struct run_result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// A slow machine: the tests run under an emulator (ZOLT_EMULATOR) or inside an emulated guest
// (ZOLT_GUEST), where every process costs much more, so loads shrink.
bool slow_machine();

// Under a user-mode emulator (qemu-user) the server runs without its sandbox, which the
// emulator cannot install, and the emulator needs threads of its own.
bool user_mode_emulator();

// Whether the kernel (or the emulator) lets a process confine its writes with Landlock.
bool landlock_available();

// Installs what a service manager's filter does to a service (systemd's @system-service with
// SystemCallErrorNumber=EPERM): seccomp(2) is answered EPERM, and every other call allowed.
// Exits with status 97 where it cannot.
void enter_service_manager_filter();

// Whether a program can be run here; a guest has neither a shell nor the host's programs.
bool have(const std::string& program);

struct command_result {
    int status;       // exit status, or -1
    std::string out;  // standard output and standard error
};

// Runs a shell command and collects what it prints.
command_result run(const std::string& command);

// The command that starts zolt: the binary, behind an emulator when ZOLT_EMULATOR is set.
std::vector<std::string> zolt_command();

// A zolt started and not yet waited for: its pid, and the read ends of its standard output
// and standard error.
struct started_zolt {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};
started_zolt start_zolt(const std::vector<std::string>& args,
                        const std::function<void()>& in_child = nullptr);

// Collects what a started zolt prints until it closes both, and waits (bounded) for it to end.
run_result finish_zolt(const started_zolt& started, std::chrono::milliseconds deadline);

// Runs zolt with the arguments and waits (bounded) for it to end.
run_result run_zolt(const std::vector<std::string>& args, std::chrono::milliseconds deadline = 20s,
                    const std::function<void()>& in_child = nullptr);

// 127.0.0.1 and the port.
sockaddr_in loopback(int port);

// The listener's pid from a start entry of the port, or "" if the line is not one.
std::string start_entry_pid(const std::string& line, const std::string& port);

// A loopback TCP port nobody listens on at the moment.
int free_port();

// Connects to 127.0.0.1:port, with the given receive buffer if not 0; -1 on failure.
int connect_to(int port, int receive_buffer = 0);

// Reads until the peer closes or the deadline passes.
std::string read_until_closed(int fd, std::chrono::milliseconds deadline = 10s);

// Sends the bytes and returns everything the server answers until it closes.
std::string exchange(int port, const std::string& request,
                     std::chrono::milliseconds deadline = 10s);

// Opens one connection per request at once (in batches the backlog can take), sends each its
// request and collects every answer until the server closes; "(no connection)" where the
// connection could not be made. Bounded by the deadline.
std::vector<std::string> flood(int port, const std::vector<std::string>& requests,
                               size_t batch = 48, std::chrono::milliseconds deadline = 120s);

// The header of a 200 answer, as sent.
std::string response_header(unsigned long long size, const std::string& type);

// A running zolt on a free port in a fresh top directory; it and its children are ended at
// the end of the test by its process group.
class server {
  public:
    explicit server(const std::function<void(const std::string& top)>& prepare = nullptr,
                    const std::function<void()>& in_child = nullptr);
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    int port() const { return port_; }
    // The entries the start wrote: the start entry, and where the sandbox could not be
    // installed, its error entry.
    size_t start_entries() const { return start_entries_; }
    pid_t pid() const { return pid_; }
    const temp_dir& top() const { return top_; }
    std::string log() const { return read_file(top_ / "zolt.log"); }
    std::vector<std::string> log_lines() const { return read_lines(top_ / "zolt.log"); }
    // Waits until the log holds at least this many lines after the start's entries.
    bool wait_for_log_lines(size_t count, std::chrono::milliseconds deadline = 10s) const;
    // Waits until no child of the listener is left.
    bool wait_for_children_gone(std::chrono::milliseconds deadline = 10s) const;
    std::string get(const std::string& request) const { return exchange(port_, request); }

  private:
    temp_dir top_;
    int port_ = 0;
    pid_t pid_ = -1;
    size_t start_entries_ = 0;
};

// zolt as the first process of a PID namespace of its own, as a container runtime starts it,
// on a free port in a fresh top directory; the test's network namespace is its own too. Ended
// with its namespace at the end of the test, unless the test waited for its end.
class container {
  public:
    // `in_child` runs in the process that becomes the namespace's first, before zolt starts.
    explicit container(const std::function<void(const std::string& top)>& prepare = nullptr,
                       const std::function<void(const std::string& top)>& in_child = nullptr);
    ~container();
    container(const container&) = delete;
    container& operator=(const container&) = delete;

    int port() const { return port_; }
    const temp_dir& top() const { return top_; }
    pid_t init() const { return init_; }  // as this test's namespace numbers them
    pid_t listener() const { return listener_; }
    // What zolt's processes have written to its standard output so far, and the read end of
    // that pipe (non-blocking).
    const std::string& output();
    int output_descriptor() const { return started_.out; }
    // Waits for the init to end: its exit status, and all it wrote.
    run_result wait_for_end(std::chrono::milliseconds deadline);

  private:
    void end_namespace();

    temp_dir top_;
    int port_ = 0;
    started_zolt started_;
    pid_t init_ = -1, listener_ = -1;
    std::string out_;
    bool ended_ = false;
};

// A user id that no process has. The per-user process limit counts every process of a user
// system-wide, so each test that runs the server unprivileged takes a user of its own: one
// derived from this test process's pid, which no other live test process shares.
uid_t unused_user_id();

// For run_zolt's in_child: become that user and group (exits with 98 if that fails).
void become_user(uid_t uid);

// While it lives, servers start from a copy of the executable in a directory every user can
// enter, so that one running as another user can reach it wherever the checkout is.
class reachable_binary {
  public:
    reachable_binary();
    ~reachable_binary();
    reachable_binary(const reachable_binary&) = delete;
    reachable_binary& operator=(const reachable_binary&) = delete;

  private:
    temp_dir dir_;
    std::string saved_;
};

// The listener serving a top directory, found without its log; -1 if there is none.
pid_t listener_in(const std::string& top);

// The processes whose parent is `pid`, zombies left out.
std::vector<pid_t> children_of(pid_t pid);

// Whether a socket of this network namespace listens on the TCP port.
bool listening_on(int port);

// Whether a child of `pid` has ended and not been reaped.
bool has_zombie_children(pid_t pid);

// Counts the processes in a process group.
int processes_in_group(pid_t group);

}  // namespace harness
