#include "platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace {

vx4_platform_config config;
std::string program_name = "vx4";
std::atomic<long long> clock_offset_us{0};

std::mutex mount_lock;
std::set<std::string> sandbox_mounts;

const char *const search_folders[] = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                      "/usr/bin", "/sbin", "/bin"};

std::string env_text(const char *name, const char *unset)
{
    const char *value = getenv(name);
    return value && *value ? value : unset;
}

int env_port(const char *name, int unset, int *port)
{
    const char *value = getenv(name);
    if (!value || !*value) {
        *port = unset;
        return 0;
    }
    char *end = nullptr;
    errno = 0;
    long n = strtol(value, &end, 10);
    if (errno || *end || n < 1 || n > 65535) {
        fprintf(stderr, "%s: %s=\"%s\" is not a port number\n", program_name.c_str(), name, value);
        return -1;
    }
    *port = static_cast<int>(n);
    return 0;
}

bool is_executable(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

int vx4_platform_init(const char *program)
{
    if (program)
        program_name = program;
    vx4_platform_config next;
    std::string root = env_text("VX4_ROOT", "/");
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    if (root[0] != '/') {
        fprintf(stderr, "%s: VX4_ROOT=\"%s\" is not an absolute path\n", program_name.c_str(),
                root.c_str());
        return -1;
    }
    next.root = root == "/" ? "" : root;
    next.camera_host = env_text("VX4_CAMERA_HOST", VX4_UNIT_CAMERA_HOST);
    next.camera_ping_host = next.root.empty() ? next.camera_host : env_text("VX4_CAMERA_PING_HOST", next.camera_host.c_str());
    next.redis_host = env_text("VX4_REDIS_HOST", "127.0.0.1");
    next.power_board = env_text("VX4_POWER_BOARD", "spidev");
    if (env_port("VX4_CAMERA_VISCA_PORT", 1000, &next.camera_visca_port) ||
        env_port("VX4_CAMERA_HTTP_PORT", 80, &next.camera_http_port) ||
        env_port("VX4_CAMERA_RTSP_PORT", 554, &next.camera_rtsp_port) ||
        env_port("VX4_REDIS_PORT", 6379, &next.redis_port) ||
        env_port("VX4_API_PORT", 60102, &next.api_port))
        return -1;
    if (next.power_board != "spidev" && next.power_board.rfind("sim:", 0) != 0) {
        fprintf(stderr, "%s: VX4_POWER_BOARD=\"%s\" is neither spidev nor sim:PATH\n",
                program_name.c_str(), next.power_board.c_str());
        return -1;
    }
    config = next;
    clock_offset_us = 0;
    std::lock_guard<std::mutex> hold(mount_lock);
    sandbox_mounts.clear();
    return 0;
}

const vx4_platform_config &vx4_platform() { return config; }

bool vx4_platform_sandboxed() { return !config.root.empty(); }

std::string vx4_path(std::string_view absolute)
{
    std::string path = config.root;
    if (!absolute.empty() && absolute[0] != '/')
        path += '/';
    path += absolute;
    return path;
}

bool vx4_is_loopback_host(std::string_view host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    std::string text(host);
    if (text == "localhost")
        return true;
    in_addr v4;
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6;
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

std::string vx4_url_host(std::string_view url)
{
    size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return "";
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    size_t at = rest.rfind('@');
    if (at != std::string_view::npos)
        rest = rest.substr(at + 1);
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        return std::string(rest.substr(0, close == std::string_view::npos ? rest.size() : close + 1));
    }
    return std::string(rest.substr(0, rest.find(':')));
}

int vx4_require_loopback(const char *what, std::string_view host)
{
    if (!vx4_platform_sandboxed() || vx4_is_loopback_host(host))
        return 0;
    fprintf(stderr, "%s: %s %.*s is not a loopback address, refusing to start in sandbox mode\n",
            program_name.c_str(), what, static_cast<int>(host.size()), host.data());
    return -1;
}

int vx4_require_loopback_peers()
{
    if (vx4_require_loopback("VX4_CAMERA_HOST", config.camera_host) ||
        vx4_require_loopback("VX4_CAMERA_PING_HOST", config.camera_ping_host) ||
        vx4_require_loopback("VX4_REDIS_HOST", config.redis_host))
        return -1;
    return 0;
}

int vx4_gettimeofday(struct timeval *tv)
{
    if (gettimeofday(tv, nullptr) != 0)
        return -1;
    long long offset = clock_offset_us.load(std::memory_order_relaxed);
    if (offset) {
        long long us = tv->tv_sec * 1000000LL + tv->tv_usec + offset;
        tv->tv_sec = us / 1000000;
        tv->tv_usec = us % 1000000;
        if (tv->tv_usec < 0) {
            tv->tv_usec += 1000000;
            tv->tv_sec -= 1;
        }
    }
    return 0;
}

time_t vx4_time()
{
    struct timeval tv;
    vx4_gettimeofday(&tv);
    return tv.tv_sec;
}

int vx4_settimeofday(const struct timeval *tv)
{
    if (!vx4_platform_sandboxed())
        return settimeofday(tv, nullptr);
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return -1;
    clock_offset_us = (tv->tv_sec - now.tv_sec) * 1000000LL + (tv->tv_usec - now.tv_usec);
    return 0;
}

std::string vx4_program_path(std::string_view program)
{
    if (program.find('/') != std::string_view::npos)
        return program[0] == '/' ? vx4_path(program) : std::string(program);
    if (!vx4_platform_sandboxed())
        return std::string(program);  // execvp searches PATH on the real unit
    for (const char *folder : search_folders) {
        std::string candidate = vx4_path(folder) + "/" + std::string(program);
        if (is_executable(candidate))
            return candidate;
    }
    return vx4_path("/bin/") + std::string(program);  // missing: exec fails with ENOENT
}

pid_t vx4_spawn(const std::vector<std::string> &argv, const vx4_spawn_options &options)
{
    if (argv.empty()) {
        errno = EINVAL;
        return -1;
    }
    std::string path = vx4_program_path(argv[0]);
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);

    // The child reports a failed exec through this pipe, so the caller gets
    // -1 and errno instead of a child that exits 127.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (pid == 0) {
        // The parent may have died before the request took hold.
        if (options.parent_death_signal &&
            (prctl(PR_SET_PDEATHSIG, options.parent_death_signal) != 0 || getppid() != parent))
            _exit(127);
        int in = options.stdin_fd >= 0 ? options.stdin_fd : open("/dev/null", O_RDONLY);
        if (in >= 0 && in != 0)
            dup2(in, 0);
        if (options.stdout_fd >= 0 && options.stdout_fd != 1)
            dup2(options.stdout_fd, 1);
        if (options.stderr_fd >= 0 && options.stderr_fd != 2)
            dup2(options.stderr_fd, 2);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != report[1])
                close(fd);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (path.find('/') == std::string::npos)
            execvp(path.c_str(), args.data());
        else
            execv(path.c_str(), args.data());
        int error = errno;
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof error)) {
        waitpid(pid, nullptr, 0);
        errno = error;
        return -1;
    }
    return pid;
}

static int wait_status(pid_t pid)
{
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

int vx4_run(const std::vector<std::string> &argv)
{
    pid_t pid = vx4_spawn(argv);
    return pid < 0 ? -1 : wait_status(pid);
}

FILE *vx4_popen_read(const std::vector<std::string> &argv, pid_t *pid, bool merge_stderr)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return nullptr;
    vx4_spawn_options options;
    options.stdout_fd = out[1];
    if (merge_stderr)
        options.stderr_fd = out[1];
    *pid = vx4_spawn(argv, options);
    close(out[1]);
    if (*pid < 0) {
        close(out[0]);
        return nullptr;
    }
    FILE *stream = fdopen(out[0], "r");
    if (!stream) {
        close(out[0]);
        kill(*pid, SIGKILL);
        wait_status(*pid);
    }
    return stream;
}

int vx4_pclose(FILE *stream, pid_t pid)
{
    fclose(stream);
    return wait_status(pid);
}

int vx4_mount(const char *source, const char *target, const char *fstype, unsigned long flags,
              const void *data)
{
    std::string target_path = vx4_path(target);
    if (!vx4_platform_sandboxed())
        return mount(source, target_path.c_str(), fstype, flags, data);
    struct stat st;
    if (stat(vx4_path(source).c_str(), &st) != 0 || stat(target_path.c_str(), &st) != 0) {
        errno = ENOENT;
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    std::lock_guard<std::mutex> hold(mount_lock);
    if (!sandbox_mounts.insert(target_path).second) {
        errno = EBUSY;
        return -1;
    }
    return 0;
}

int vx4_umount(const char *target)
{
    std::string target_path = vx4_path(target);
    if (!vx4_platform_sandboxed())
        return umount(target_path.c_str());
    std::lock_guard<std::mutex> hold(mount_lock);
    if (sandbox_mounts.erase(target_path) == 0) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

bool vx4_is_mounted(const char *target)
{
    std::string target_path = vx4_path(target);
    if (vx4_platform_sandboxed()) {
        std::lock_guard<std::mutex> hold(mount_lock);
        return sandbox_mounts.count(target_path) != 0;
    }
    FILE *mounts = fopen("/proc/self/mounts", "r");
    if (!mounts)
        return false;
    char line[PATH_MAX * 2];
    bool found = false;
    while (!found && fgets(line, sizeof line, mounts)) {
        char *point = strchr(line, ' ');
        if (!point)
            continue;
        char *end = strchr(point + 1, ' ');
        if (end)
            *end = '\0';
        found = target_path == point + 1;
    }
    fclose(mounts);
    return found;
}

int vx4_power_off() { return vx4_run({"shutdown", "-P", "now"}); }

int vx4_reboot() { return vx4_run({"reboot"}); }

int vx4_take_instance_lock(const char *name)
{
    std::string path = vx4_path("/var/run/vx4/") + name + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A lock that cannot be used must not keep the unit from working.
        fprintf(stderr, "%s: cannot use the lock %s: %s\n", program_name.c_str(), path.c_str(),
                fd < 0 ? strerror(errno) : "not a regular file");
        if (fd >= 0)
            close(fd);
        return 0;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        char holder[24] = "";
        ssize_t got = pread(fd, holder, sizeof holder - 1, 0);
        holder[got > 0 ? got : 0] = '\0';
        holder[strcspn(holder, "\n")] = '\0';
        close(fd);
        if (error == EWOULDBLOCK) {
            fprintf(stderr, "%s: %s is already running%s%s%s, not starting a second one\n",
                    program_name.c_str(), name, *holder ? " (pid " : "", holder, *holder ? ")" : "");
            return -1;
        }
        fprintf(stderr, "%s: cannot lock %s: %s\n", program_name.c_str(), path.c_str(), strerror(error));
        return 0;
    }
    char pid[24];
    int length = snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, static_cast<size_t>(length), 0) != length)
        fprintf(stderr, "%s: cannot write %s: %s\n", program_name.c_str(), path.c_str(), strerror(errno));
    // The descriptor stays open, and the lock held, until the process ends.
    return 0;
}
