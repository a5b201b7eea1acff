#include "core/state_files.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"

int vx4_write_state_file(const char *absolute, const char *text)
{
    std::string path = vx4_path(absolute);
    std::string scratch = path + ".new";
    FILE *file = fopen(scratch.c_str(), "we");
    if (!file)
        return -1;
    bool written = fputs(text, file) >= 0;
    if (fclose(file) != 0 || !written || rename(scratch.c_str(), path.c_str()) != 0) {
        unlink(scratch.c_str());
        return -1;
    }
    return 0;
}

int vx4_write_state_number(const char *absolute, int value)
{
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return vx4_write_state_file(absolute, text);
}

bool vx4_read_state_line(const char *absolute, char *buffer, size_t size)
{
    FILE *file = fopen(vx4_path(absolute).c_str(), "re");
    if (!file)
        return false;
    bool got = fgets(buffer, static_cast<int>(size), file) != nullptr;
    fclose(file);
    if (got)
        buffer[strcspn(buffer, "\n")] = '\0';
    return got;
}

bool vx4_read_state_number(const char *absolute, size_t max_characters, long *value)
{
    char line[128];
    size_t size = max_characters + 1 < sizeof line ? max_characters + 1 : sizeof line;
    if (!vx4_read_state_line(absolute, line, size))
        return false;
    *value = strtol(line, nullptr, 10);
    return true;
}
