// The logger's file access, in one place: its files live on removable sticks
// and in folders other software can write, so nothing here blocks on a
// special file, follows a link when writing, or leaves a half-written file
// behind a success.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "logger/logger_internal.h"
#include "platform.h"

namespace {

bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Writes, flushes and closes; false on any failure (the descriptor is closed).
bool write_and_flush(int fd, const std::string &text)
{
    bool ok = write_all(fd, text) && fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

}  // namespace

int logger_replace_file(const std::string &folder, const std::string &name, const std::string &text)
{
    std::string temporary = folder + "/." + name + ".new";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (!write_and_flush(fd, text) || rename(temporary.c_str(), (folder + "/" + name).c_str()) != 0) {
        unlink(temporary.c_str());
        return -1;
    }
    return vx4_sync_folder(folder);
}

int logger_remove_file(const std::string &folder, const std::string &name)
{
    if (unlink((folder + "/" + name).c_str()) != 0)
        return errno == ENOENT ? 0 : -1;
    return vx4_sync_folder(folder);
}

int logger_create_file(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno == EEXIST ? 1 : -1;
    if (!write_and_flush(fd, text) || vx4_sync_folder(vx4_folder_of(path)) != 0) {
        unlink(path.c_str());
        return -1;
    }
    return 0;
}
