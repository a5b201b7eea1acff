#include "core/stick_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"

std::string vx4_find_stick_file(const char *folder, const char *pattern)
{
    std::string real_folder = vx4_path(folder);
    DIR *directory = opendir(real_folder.c_str());
    if (!directory)
        return "";
    std::string best;
    while (dirent *entry = readdir(directory)) {
        if (fnmatch(pattern, entry->d_name, FNM_PERIOD) != 0 || (!best.empty() && best >= entry->d_name))
            continue;
        struct stat st;
        if (fstatat(dirfd(directory), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            best = entry->d_name;
    }
    closedir(directory);
    return best.empty() ? best : std::string(folder) + "/" + best;
}

std::string vx4_stick_file_version(const std::string &path)
{
    size_t underscore = path.rfind('_');
    size_t dot = path.rfind('.');
    if (underscore == std::string::npos || dot == std::string::npos || dot < underscore ||
        path.find('/', underscore) != std::string::npos)
        return "";
    return path.substr(underscore + 1, dot - underscore - 1);
}

int vx4_open_stick_file(const std::string &path, long long *size)
{
    int fd = vx4_open_for_reading(vx4_path(path));
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (size)
        *size = st.st_size;
    return fd;
}
