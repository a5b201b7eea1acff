#include "recorder/recorder_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform.h"

namespace {

constexpr size_t copy_piece = 8u << 20;
constexpr size_t buffer_piece = 1u << 20;

// Opens what lstat showed to be a regular file (or nothing, when creating),
// and checks the descriptor again.
int open_regular(const std::string &path, int flags)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
        return -1;
    }
    int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

bool vx4_is_single_name(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    return true;
}

std::string vx4_recorder_path(const char *folder, std::string_view name)
{
    std::string path = vx4_path(folder);
    path += '/';
    path += name;
    return path;
}

int vx4_recorder_create(const std::string &path) { return open_regular(path, O_WRONLY | O_CREAT | O_EXCL); }

int vx4_recorder_open_for_update(const std::string &path) { return open_regular(path, O_RDWR); }

bool vx4_recorder_read_line(const std::string &path, size_t max_characters, std::string *line)
{
    int fd = vx4_open_for_reading(path);
    if (fd < 0)
        return false;
    std::string text(max_characters + 1, '\0');
    ssize_t got;
    size_t used = 0;
    while (used < text.size() && ((got = read(fd, &text[used], text.size() - used)) > 0 || (got < 0 && errno == EINTR)))
        if (got > 0)
            used += static_cast<size_t>(got);
    close(fd);
    text.resize(used);
    size_t end = text.find('\n');
    *line = text.substr(0, end == std::string::npos ? max_characters : end);
    return true;
}

int64_t vx4_recorder_file_size(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

int vx4_recorder_free_kb(const char *folder, int64_t *kb)
{
    if (vx4_platform_sandboxed()) {
        std::string override_text;
        if (vx4_read_small_file(vx4_path(std::string("/sandbox/free_kb") + folder), 64, &override_text) == 0) {
            char *end = nullptr;
            long long value = strtoll(override_text.c_str(), &end, 10);
            if (end != override_text.c_str() && value >= 0) {
                *kb = value;
                return 0;
            }
        }
    }
    struct statvfs st;
    if (statvfs(vx4_path(folder).c_str(), &st) != 0) {
        *kb = 0;
        return -1;
    }
    *kb = static_cast<int64_t>(st.f_frsize >> 10) * static_cast<int64_t>(st.f_bavail);
    return 0;
}

int64_t vx4_recorder_copy(int from, int to, int64_t length, const std::function<void(int64_t)> &progress)
{
    int64_t done = 0;
    bool in_kernel = true;
    std::vector<char> buffer;
    while (done < length) {
        size_t want = static_cast<size_t>(std::min<int64_t>(length - done, in_kernel ? copy_piece : buffer_piece));
        if (in_kernel) {
            loff_t in_offset = done;
            loff_t out_offset = done;
            ssize_t moved = copy_file_range(from, &in_offset, to, &out_offset, want, 0);
            if (moved < 0 && errno == EINTR)
                continue;
            if (moved < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                in_kernel = false;  // another file system or an old kernel: copy through a buffer
                continue;
            }
            if (moved <= 0)
                break;
            done += moved;
        } else {
            if (buffer.empty())
                buffer.resize(buffer_piece);
            ssize_t got = pread(from, buffer.data(), want, done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            size_t put = 0;
            while (put < static_cast<size_t>(got)) {
                ssize_t wrote = pwrite(to, buffer.data() + put, static_cast<size_t>(got) - put,
                                       done + static_cast<int64_t>(put));
                if (wrote < 0 && errno == EINTR)
                    continue;
                if (wrote <= 0)
                    return done + static_cast<int64_t>(put);
                put += static_cast<size_t>(wrote);
            }
            done += got;
        }
        // The disk starts on each piece while the next is copied, so that
        // the caller's final flush finds little left to write.
        int64_t piece = static_cast<int64_t>(copy_piece);
        int64_t last = (done - 1) / piece * piece;
        sync_file_range(to, last, done - last, SYNC_FILE_RANGE_WRITE);
        if (progress)
            progress(done);
    }
    return done;
}
