#include "support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform.h"

namespace fs = std::filesystem;

namespace vx4test {

std::string api_program() { return VX4_API_PROGRAM; }
std::string sim_program() { return VX4_SIM_PROGRAM; }
std::string stream_program() { return VX4_STREAM_PROGRAM; }

SandboxRoot::SandboxRoot()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vx4-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        throw std::runtime_error("mkdtemp failed");
    root_ = name.data();
    for (const char *folder : {"/media/usb99", "/media/usb-cpy", "/var/run/vx4", "/home/vx4",
                               "/config", "/tmp", "/dev", "/bin", "/sbin"})
        make_dir(folder);
}

SandboxRoot::~SandboxRoot()
{
    if (!getenv("VX4_KEEP_TEST_ROOT")) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
}

void SandboxRoot::make_dir(const std::string &absolute) const { fs::create_directories(at(absolute)); }

void SandboxRoot::write(const std::string &absolute, const std::string &text) const
{
    fs::create_directories(fs::path(at(absolute)).parent_path());
    std::ofstream(at(absolute), std::ios::binary | std::ios::trunc) << text;
}

std::string SandboxRoot::read(const std::string &absolute) const { return read_file(at(absolute)); }

bool SandboxRoot::exists(const std::string &absolute) const
{
    struct stat st;
    return lstat(at(absolute).c_str(), &st) == 0;
}

void SandboxRoot::remove(const std::string &absolute) const
{
    std::error_code ignored;
    fs::remove_all(at(absolute), ignored);
}

const char *planted_name(Planted kind)
{
    return std::array{"fifo", "link_to_zero", "link_elsewhere", "folder", "huge_file"}[static_cast<size_t>(kind)];
}

void SandboxRoot::plant(const std::string &absolute, Planted kind) const
{
    remove(absolute);
    write(absolute, "{");
    std::string path = at(absolute), elsewhere = "/elsewhere/" + fs::path(absolute).filename().string();
    if (kind == Planted::link_elsewhere)
        write(elsewhere, "untouched");
    bool made = kind == Planted::huge_file ? truncate(path.c_str(), 1LL << 30) == 0  // sparse: costs no disk
                                           : unlink(path.c_str()) == 0;
    if (kind == Planted::fifo)
        made = made && mkfifo(path.c_str(), 0600) == 0;
    else if (kind == Planted::folder)
        made = made && mkdir(path.c_str(), 0755) == 0;
    else if (kind != Planted::huge_file)
        made = made && symlink(kind == Planted::link_to_zero ? "/dev/zero" : at(elsewhere).c_str(), path.c_str()) == 0;
    if (!made)
        throw std::runtime_error("cannot plant " + path);
}

bool SandboxRoot::elsewhere_untouched() const
{
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(at("/elsewhere"), error))
        if (read_file(entry.path()) != "untouched")
            return false;
    return true;
}

void SandboxRoot::enter() const
{
    setenv("VX4_ROOT", root_.c_str(), 1);
    setenv("VX4_CAMERA_HOST", "127.0.0.1", 1);
    setenv("VX4_REDIS_HOST", "127.0.0.1", 1);
    if (vx4_platform_init("vx4-test") != 0)
        throw std::runtime_error("platform init failed");
}

bool wait_until(const std::function<bool()> &condition, milliseconds timeout, milliseconds period)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(period);
    }
}

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

int listen_tcp(int *port, int backlog)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(*port);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

int free_tcp_port()
{
    int port = 0;
    int fd = listen_tcp(&port);
    if (fd < 0)
        throw std::runtime_error("no free port");
    close(fd);
    return port;
}

int connect_tcp(int port, int receive_buffer, int type_flags)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | type_flags, 0);
    if (fd >= 0 && receive_buffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address = loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

long traced(const SandboxRoot &root, const std::string &line)
{
    // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on a
    // literal joined to a temporary string.
    std::string text = "\n";
    text.append(root.read("/media/usb99/trace"));
    std::string wanted = "\n";
    wanted.append(line).append(" [");
    long found = 0;
    for (size_t at = text.find(wanted); at != std::string::npos; at = text.find(wanted, at + 1))
        ++found;
    return found;
}

std::vector<std::string> trace_lines(const SandboxRoot &root)
{
    std::vector<std::string> lines = split_lines(root.read("/media/usb99/trace"));
    for (std::string &line : lines)  // " [hh:mm:ss.mmm]"
        if (line.size() >= 15 && line.compare(line.size() - 15, 2, " [") == 0)
            line.resize(line.size() - 15);
    return lines;
}

Process::Process(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                 const std::string &output_prefix)
    : output_prefix_(output_prefix)
{
    int out = open((output_prefix + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open((output_prefix + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out, 1);
        dup2(err, 2);
        for (const auto &[name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out);
    close(err);
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
}

Process::~Process() { stop(); }

Process::Process(Process &&other) noexcept { *this = std::move(other); }

Process &Process::operator=(Process &&other) noexcept
{
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        status_ = other.status_;
        output_prefix_ = std::move(other.output_prefix_);
        other.pid_ = -1;
    }
    return *this;
}

bool Process::running()
{
    if (pid_ < 0 || status_)
        return false;
    int status;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

void Process::signal(int number) const
{
    if (pid_ > 0 && !status_)
        kill(pid_, number);
}

std::optional<int> Process::wait_exit(milliseconds timeout)
{
    wait_until([this] { return !running(); }, timeout, 5ms);
    return status_;
}

void Process::stop()
{
    if (pid_ < 0 || !running())
        return;
    signal(SIGTERM);
    if (!wait_exit(5000ms)) {
        signal(SIGKILL);
        wait_exit(5000ms);
    }
}

std::string Process::output() const { return read_file(output_prefix_ + ".out"); }
std::string Process::errors() const { return read_file(output_prefix_ + ".err"); }

std::map<std::string, std::string> sandbox_environment(const SandboxRoot &root)
{
    return {
        {"VX4_ROOT", root.path()},
        {"VX4_CAMERA_HOST", "127.0.0.1"},
        {"VX4_CAMERA_VISCA_PORT", std::to_string(free_tcp_port())},
        {"VX4_CAMERA_HTTP_PORT", std::to_string(free_tcp_port())},
        {"VX4_CAMERA_RTSP_PORT", std::to_string(free_tcp_port())},
        {"VX4_REDIS_HOST", "127.0.0.1"},
        {"VX4_REDIS_PORT", std::to_string(free_tcp_port())},
        {"VX4_API_PORT", std::to_string(free_tcp_port())},
    };
}

RedisServer::RedisServer(const std::string &folder) : port_(free_tcp_port())
{
    process_ = Process({"redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1",
                        "--save", "", "--appendonly", "no", "--dir", folder},
                       {}, folder + "/redis");
    bool up = wait_until([this] {
        return tcp_exchange(port_, "PING\r\n", 200ms).rfind("+PONG", 0) == 0;
    });
    if (!up)
        throw std::runtime_error("redis-server did not start: " + process_.output());
}

std::optional<std::string> RedisServer::get(const std::string &key) const
{
    std::string reply = tcp_exchange(port_, "GET " + key + "\r\nQUIT\r\n", 1000ms);
    if (reply.rfind("$-1", 0) == 0 || reply.empty() || reply[0] != '$')
        return std::nullopt;
    size_t start = reply.find("\r\n") + 2;
    size_t length = std::stoul(reply.substr(1));
    return reply.substr(start, length);
}

void RedisServer::set(const std::string &key, const std::string &value) const
{
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on
    // a literal joined to a temporary string.
    auto bulk = [](const std::string &text) {
        std::string part = "$";
        part.append(std::to_string(text.size())).append("\r\n").append(text).append("\r\n");
        return part;
    };
    tcp_exchange(port_, "*3\r\n" + bulk("SET") + bulk(key) + bulk(value) + "QUIT\r\n", 1000ms);
}

bool send_all(int fd, const std::string &bytes)
{
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string receive_tcp(int fd, milliseconds timeout, bool *closed, size_t wanted)
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (got.size() < wanted) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd watch{fd, POLLIN, 0};
        if (left <= 0 || poll(&watch, 1, static_cast<int>(left)) <= 0)
            break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (closed)
                *closed = true;
            break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

std::string tcp_exchange(int port, const std::string &bytes, milliseconds timeout)
{
    int fd = connect_tcp(port);
    if (fd < 0)
        return "";
    send_all(fd, bytes);
    std::string received = receive_tcp(fd, timeout);
    close(fd);
    return received;
}

HttpReply http_request(int port, const std::string &method, const std::string &path,
                       const std::string &body, milliseconds timeout)
{
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!body.empty() || method == "POST")
        request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    std::string raw = tcp_exchange(port, request, timeout);
    HttpReply reply;
    size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/", 0) != 0 || end == std::string::npos)
        return reply;
    reply.head = raw.substr(0, end);
    reply.body = raw.substr(end + 4);
    reply.status = std::atoi(raw.c_str() + raw.find(' ') + 1);
    return reply;
}

JsonPtr parse_json(const std::string &text) { return JsonPtr(json_tokener_parse(text.c_str())); }

json_object *json_at(json_object *object, const std::string &dotted)
{
    size_t start = 0;
    while (object && start <= dotted.size()) {
        size_t dot = dotted.find('.', start);
        std::string key = dotted.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        json_object *next = nullptr;
        if (json_object_is_type(object, json_type_array))
            next = json_object_array_get_idx(object, std::strtoul(key.c_str(), nullptr, 10));
        else if (!json_object_object_get_ex(object, key.c_str(), &next))
            return nullptr;
        object = next;
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    return object;
}

SimHead::SimHead(const SandboxRoot &root, const std::vector<std::string> &options)
    : control_port_(free_tcp_port())
{
    std::vector<std::string> argv = {sim_program(), "--control-port=" + std::to_string(control_port_)};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = Process(argv, {}, root.path() + "/sim");
    bool up = wait_until([this] { return http_request(control_port_, "GET", "/", "", 500ms).status == 200; });
    if (!up)
        throw std::runtime_error("vx4-sim did not start: " + process_.errors());
}

JsonPtr SimHead::get(const std::string &path) const
{
    HttpReply reply = http_request(control_port_, "GET", path);
    EXPECT_EQ(reply.status, 200) << "GET " << path << ": " << reply.body;
    return parse_json(reply.body);
}

JsonPtr SimHead::post(const std::string &path, const std::string &json_body) const
{
    HttpReply reply = http_request(control_port_, "POST", path, json_body);
    EXPECT_EQ(reply.status, 200) << "POST " << path << " " << json_body << ": " << reply.body;
    return parse_json(reply.body);
}

double SimHead::number(const std::string &path, const std::string &dotted) const
{
    return json_object_get_double(json_at(get(path).get(), dotted));
}

std::string SimHead::text(const std::string &path, const std::string &dotted) const
{
    JsonPtr reply = get(path);
    json_object *value = json_at(reply.get(), dotted);
    return value ? json_object_get_string(value) : "";
}

std::vector<std::string> SimHead::texts(const std::string &path, const std::string &dotted) const
{
    JsonPtr reply = get(path);
    json_object *array = json_at(reply.get(), dotted);
    std::vector<std::string> found;
    for (size_t i = 0; array && i < json_object_array_length(array); ++i)
        found.push_back(json_object_get_string(json_object_array_get_idx(array, i)));
    return found;
}

BoardWrites board_writes(const SimHead &sim)
{
    auto list = sim.get("/board/writes");
    BoardWrites found;
    json_object *entries = json_at(list.get(), "writes");
    for (size_t i = 0; i < json_object_array_length(entries); ++i) {
        json_object *entry = json_object_array_get_idx(entries, i);
        std::vector<int> data;
        json_object *bytes = json_at(entry, "data");
        for (size_t j = 0; j < json_object_array_length(bytes); ++j)
            data.push_back(json_object_get_int(json_object_array_get_idx(bytes, j)));
        found.emplace_back(json_object_get_int(json_at(entry, "register")), data);
    }
    return found;
}

BoardWrites writes_up_to_marker(const SimHead &sim, int mark)
{
    BoardWrites all;
    EXPECT_TRUE(wait_until([&] {
        all = board_writes(sim);
        return !all.empty() && all.back() == BoardWrite{0x7F, {mark}};
    })) << "marker " << mark;
    return all;
}

void expect_no_bus_errors(const SimHead &sim)
{
    auto state = sim.get("/board");
    EXPECT_EQ(json_object_get_int(json_at(state.get(), "bus.errors")), 0)
        << json_object_to_json_string(json_at(state.get(), "bus.last_errors"));
}

}  // namespace vx4test
