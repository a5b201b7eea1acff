// Helpers shared by the tests: sandbox roots, child processes, waiting with
// deadlines, free ports, a private redis server and a small HTTP client.
#pragma once

#include <json-c/json.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <map>
#include <optional>
#include <string>
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
std::string read_file(const std::string &path);
std::vector<std::string> split_lines(const std::string &text);

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
// Value at a dotted path ("board.readings.vin"), nullptr when absent.
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
    Process &process() { return process_; }

private:
    int control_port_;
    Process process_;
};

// Register number and data bytes of every write the simulated power board
// received, oldest first.
using BoardWrites = std::vector<std::pair<int, std::vector<int>>>;
BoardWrites board_writes(const SimHead &sim);

}  // namespace vx4test
