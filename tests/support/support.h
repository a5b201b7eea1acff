// Helpers shared by the tests, and the headers most of them need: sandbox
// roots, child processes, waiting with deadlines, sockets, a private redis
// server, a small HTTP client and the simulated head.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vx4test {

using namespace std::chrono_literals;
using milliseconds = std::chrono::milliseconds;

// Paths of the programs under test, set by the build.
std::string api_program();
std::string sim_program();
std::string stream_program();

// What a careless or hostile user may leave at a file's name in a shared place.
enum class Planted { fifo, link_to_zero, link_elsewhere, folder, huge_file };
const char *planted_name(Planted kind);
constexpr Planted all_planted[] = {Planted::fifo, Planted::link_to_zero, Planted::link_elsewhere,
                                   Planted::folder, Planted::huge_file};

// A fresh folder tree standing in for the unit's root file system. Removed
// on destruction unless VX4_KEEP_TEST_ROOT is set.
class SandboxRoot {
public:
    SandboxRoot();
    ~SandboxRoot();
    SandboxRoot(const SandboxRoot &) = delete;
    SandboxRoot &operator=(const SandboxRoot &) = delete;

    const std::string &path() const { return root_; }
    // ROOT + absolute ("/media/usb99/trace" -> ROOT/media/usb99/trace).
    std::string at(const std::string &absolute) const { return root_ + absolute; }
    void make_dir(const std::string &absolute) const;
    void write(const std::string &absolute, const std::string &text) const;
    std::string read(const std::string &absolute) const;
    bool exists(const std::string &absolute) const;
    void remove(const std::string &absolute) const;
    // Replaces the file with the planted kind. A link elsewhere points at
    // /elsewhere/<name>, which holds "untouched".
    void plant(const std::string &absolute, Planted kind) const;
    // True when every file a link may point at still holds "untouched".
    bool elsewhere_untouched() const;
    // Points VX4_ROOT (and loopback peers) of this process at the root and
    // initialises the platform layer, for tests that call modules directly.
    void enter() const;

private:
    std::string root_;
};

// Polls the condition until it holds or the deadline passes.
bool wait_until(const std::function<bool()> &condition, milliseconds timeout = 5000ms,
                milliseconds period = 10ms);

int free_tcp_port();
// TCP sockets on 127.0.0.1, -1 on failure: listening on *port (0: a free
// one, written back), or connected to port; receive_buffer > 0 shrinks the
// socket's receive buffer first, to model a slow reader.
int listen_tcp(int *port, int backlog = 1);
int connect_tcp(int port, int receive_buffer = 0, int type_flags = 0);
bool send_all(int fd, const std::string &bytes);
// What arrives until the peer closes (then *closed is set), the time-out
// passes or wanted bytes have come.
std::string receive_tcp(int fd, milliseconds timeout = 5000ms, bool *closed = nullptr, size_t wanted = SIZE_MAX);
std::string read_file(const std::string &path);
std::vector<std::string> split_lines(const std::string &text);

// The daemon's trace (ROOT/media/usb99/trace): how many lines read exactly
// "TAG: text" before their time stamp, and its lines without the stamps.
long traced(const SandboxRoot &root, const std::string &line);
std::vector<std::string> trace_lines(const SandboxRoot &root);

// A child process with its output captured to files. Killed on destruction.
class Process {
public:
    Process() = default;
    Process(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
            const std::string &output_prefix);
    ~Process();
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int number) const;
    // The exit status (128 + signal when killed), or nothing on time-out.
    std::optional<int> wait_exit(milliseconds timeout = 10000ms);
    void stop();  // SIGTERM, then SIGKILL after 5 s
    std::string output() const;  // standard output so far
    std::string errors() const;  // standard error so far

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string output_prefix_;
};

// The environment that runs a program in the sandbox root with loopback
// peers only and its API on a free port.
std::map<std::string, std::string> sandbox_environment(const SandboxRoot &root);

// A private redis-server on a free loopback port, storing nothing on disk.
class RedisServer {
public:
    explicit RedisServer(const std::string &folder);
    int port() const { return port_; }
    std::optional<std::string> get(const std::string &key) const;
    void set(const std::string &key, const std::string &value) const;
    void signal(int number) const { process_.signal(number); }  // SIGSTOP, SIGCONT

private:
    int port_;
    Process process_;
};

struct HttpReply {
    int status = 0;  // 0: no reply
    std::string head;
    std::string body;
};

// One request on a new connection; reads until the server closes it.
HttpReply http_request(int port, const std::string &method, const std::string &path,
                       const std::string &body = "", milliseconds timeout = 5000ms);
// Sends raw bytes and returns everything received until close or time-out.
std::string tcp_exchange(int port, const std::string &bytes, milliseconds timeout = 5000ms);

// An owned json-c document.
struct JsonRelease {
    void operator()(json_object *object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonRelease>;
JsonPtr parse_json(const std::string &text);
// Value at a dotted path ("board.readings.vin", "motors.1.pwm" for an array
// entry), nullptr when absent.
json_object *json_at(json_object *object, const std::string &dotted);

// vx4-sim with the given module options (--name=value) and a control API on a
// free port; stopped on destruction.
class SimHead {
public:
    SimHead(const SandboxRoot &root, const std::vector<std::string> &options);
    int control_port() const { return control_port_; }
    // Control API calls; fail the test on a reply other than 200.
    JsonPtr get(const std::string &path) const;
    JsonPtr post(const std::string &path, const std::string &json_body = "{}") const;
    // A number (or boolean, as 0 or 1) or a text of a GET's reply.
    double number(const std::string &path, const std::string &dotted) const;
    std::string text(const std::string &path, const std::string &dotted) const;
    // The texts of an array in a GET's reply (none when it is absent).
    std::vector<std::string> texts(const std::string &path, const std::string &dotted) const;
    Process &process() { return process_; }

private:
    int control_port_;
    Process process_;
};

// Register number and data bytes of every write the simulated power board
// received, oldest first.
using BoardWrite = std::pair<int, std::vector<int>>;
using BoardWrites = std::vector<BoardWrite>;
BoardWrites board_writes(const SimHead &sim);
// The marker barrier: once the board's last write is the marker (a one-byte
// write to register 0x7F, which the board only records), everything queued
// before it has gone out. Waits for that; returns the writes up to it.
BoardWrites writes_up_to_marker(const SimHead &sim, int mark);
// A test of the board fails when its bus saw an error.
void expect_no_bus_errors(const SimHead &sim);

}  // namespace vx4test
