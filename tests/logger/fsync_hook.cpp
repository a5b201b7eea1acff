// fsync for the logger's test programs: the real call, behind a hook.
#include <dlfcn.h>

#include <cerrno>
#include <climits>
#include <mutex>

#include "logger_fixture.h"

namespace {

std::mutex hook_lock;
std::function<int(const std::string &)> fsync_hook;

}  // namespace

void vx4test::set_fsync_hook(std::function<int(const std::string &path)> hook)
{
    std::lock_guard<std::mutex> hold(hook_lock);
    fsync_hook = std::move(hook);
}

extern "C" int fsync(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    char target[PATH_MAX] = "";
    ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    std::string path(target, length > 0 ? static_cast<size_t>(length) : 0);
    std::function<int(const std::string &)> hook;
    {
        std::lock_guard<std::mutex> hold(hook_lock);
        hook = fsync_hook;
    }
    if (hook && hook(path) < 0) {  // called unlocked: a hook may wait for the test
        errno = EIO;
        return -1;
    }
    return real(fd);
}
