#include "core/json_file.h"

#include <cerrno>
#include <string>

#include "platform.h"

json_object *vx4_read_json_file(const char *absolute, size_t max_size)
{
    std::string text;
    if (vx4_read_small_file(vx4_path(absolute), max_size, &text) != 0)
        return nullptr;
    json_tokener *tokener = json_tokener_new();
    if (!tokener)
        return nullptr;
    // Like json-c's own file reader: the first value, whatever follows it.
    json_object *document = json_tokener_parse_ex(tokener, text.data(), static_cast<int>(text.size()));
    json_tokener_free(tokener);
    return document;
}

int vx4_write_json_file(const char *absolute, json_object *object, int flags)
{
    const char *text = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    if (!text) {
        errno = ENOMEM;
        return -1;
    }
    return vx4_replace_file(vx4_path(absolute), text, flags);
}
