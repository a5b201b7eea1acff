#include "core/state_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"

namespace {
// Far above any value these files hold.
constexpr size_t state_file_limit = 4096;
}  // namespace

int vx4_write_state_file(const char *absolute, const char *text)
{
    return vx4_replace_file(vx4_path(absolute), text);
}

int vx4_write_state_number(const char *absolute, int value)
{
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return vx4_write_state_file(absolute, text);
}

bool vx4_read_state_line(const char *absolute, char *buffer, size_t size)
{
    std::string text;
    if (size == 0 || vx4_read_small_file(vx4_path(absolute), state_file_limit, &text) != 0 || text.empty())
        return false;
    size_t length = std::min({text.find('\n'), text.size(), size - 1});
    memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return true;
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
