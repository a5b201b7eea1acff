// Safe access to files in shared or removable places (see platform.h).
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

constexpr int open_flags = O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0) {
            int saved = errno;
            close(fd_);
            errno = saved;
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

int refuse(int error)
{
    errno = error;
    return -1;
}

// -1 (ELOOP, EINVAL) unless the mode is a regular file's.
int require_regular(mode_t mode)
{
    if (S_ISLNK(mode))
        return refuse(ELOOP);
    return S_ISREG(mode) ? 0 : refuse(EINVAL);
}

// Looks at the name before opening it, so that a device or FIFO is never
// opened at all; the descriptor is checked again after the open.
int check_name(const std::string &path, bool missing_ok)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return missing_ok && errno == ENOENT ? 0 : -1;
    return require_regular(st.st_mode);
}

int check_descriptor(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    return require_regular(st.st_mode);
}

int write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t written = write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return -1;
        text.remove_prefix(static_cast<size_t>(written));
    }
    return 0;
}


}  // namespace

int vx4_open_for_reading(const std::string &path)
{
    if (check_name(path, false) != 0)
        return -1;
    Descriptor fd(open(path.c_str(), O_RDONLY | open_flags));
    if (fd.get() < 0 || check_descriptor(fd.get()) != 0)
        return -1;
    return fd.release();
}

int vx4_read_small_file(const std::string &path, size_t max_size, std::string *text)
{
    Descriptor fd(vx4_open_for_reading(path));
    if (fd.get() < 0)
        return -1;
    // Read as it comes, so that a generous bound costs no more than the file.
    std::string data;
    char piece[16384];
    for (;;) {
        ssize_t got = read(fd.get(), piece, sizeof piece);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        if (data.size() + static_cast<size_t>(got) > max_size)
            return refuse(EFBIG);
        data.append(piece, static_cast<size_t>(got));
    }
    *text = std::move(data);
    return 0;
}

int vx4_open_for_writing(const std::string &path, bool append, mode_t mode)
{
    if (check_name(path, true) != 0)
        return -1;
    Descriptor fd(open(path.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : 0) | open_flags, mode));
    if (fd.get() < 0 || check_descriptor(fd.get()) != 0)
        return -1;
    // Truncated only once it is known to be a regular file.
    if (!append && ftruncate(fd.get(), 0) != 0)
        return -1;
    return fd.release();
}

int vx4_append_file(const std::string &path, std::string_view text, mode_t mode)
{
    Descriptor fd(vx4_open_for_writing(path, true, mode));
    if (fd.get() < 0)
        return -1;
    return write_all(fd.get(), text);
}

int vx4_replace_file(const std::string &path, std::string_view text, int flags, mode_t mode)
{
    std::string folder = vx4_folder_of(path);
    std::string name = path.substr(path.rfind('/') + 1);
    // A hidden name, so that listings of the folder never show the new file.
    std::string temporary = folder + "/." + name + ".XXXXXX";
    Descriptor fd(mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return -1;
    bool sync = flags & VX4_REPLACE_SYNC;
    int result = fchmod(fd.get(), mode) == 0 && write_all(fd.get(), text) == 0 &&
                         (!sync || fsync(fd.get()) == 0) && close(fd.release()) == 0 &&
                         rename(temporary.c_str(), path.c_str()) == 0
                     ? 0
                     : -1;
    if (result != 0) {
        int saved = errno;
        unlink(temporary.c_str());
        errno = saved;
        return -1;
    }
    // The rename itself reaches the disk only with its folder.
    return sync ? vx4_sync_folder(folder) : 0;
}

int vx4_open_fifo_writer(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISFIFO(st.st_mode))
        return refuse(S_ISLNK(st.st_mode) ? ELOOP : EINVAL);
    // Without a reader a non-blocking open fails with ENXIO instead of waiting.
    Descriptor fd(open(path.c_str(), O_WRONLY | open_flags));
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        return -1;
    if (!S_ISFIFO(st.st_mode))
        return refuse(EINVAL);
    return fd.release();
}

int vx4_watch_file(vx4_file_watch *watch, const std::string &path)
{
    Descriptor fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (fd.get() < 0)
        return -1;
    int folder = inotify_add_watch(fd.get(), vx4_folder_of(path).c_str(),
                                   IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                       IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (folder < 0)
        return -1;
    watch->fd = fd.release();
    watch->name = path.substr(path.rfind('/') + 1);
    return 0;
}

int vx4_wait_file_change(vx4_file_watch *watch, int timeout_ms)
{
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    constexpr uint32_t file_events = IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM;
    constexpr uint32_t folder_gone = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
    for (;;) {
        int wait = -1;
        if (timeout_ms >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
            wait = static_cast<int>(std::max<long long>(0, left.count()));
        }
        pollfd ready = {watch->fd, POLLIN, 0};
        int polled = poll(&ready, 1, wait);
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            return polled;
        alignas(inotify_event) char buffer[4096 + sizeof(inotify_event) + NAME_MAX + 1];
        ssize_t got = read(watch->fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return -1;
        uint32_t seen = 0;
        bool ended = false;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & folder_gone)
                ended = true;
            else if (event->len && watch->name == event->name)
                seen |= event->mask & file_events;
        }
        if (ended)
            return -1;
        if (seen)
            return static_cast<int>(seen);
    }
}

void vx4_unwatch_file(vx4_file_watch *watch)
{
    if (watch->fd >= 0)
        close(watch->fd);
    watch->fd = -1;
}

void vx4_copy_text(char *buffer, size_t size, std::string_view text)
{
    if (!buffer || size == 0)
        return;
    text = text.substr(0, text.find('\0'));
    size_t length = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

std::string vx4_folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int vx4_sync_folder(const std::string &folder)
{
    Descriptor directory(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory.get() >= 0 && fsync(directory.get()) == 0 ? 0 : -1;
}
