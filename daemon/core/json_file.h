// JSON documents kept in files of shared or removable places (settings,
// statistics, records, configuration), read and written through the
// platform layer's safe helpers.
#pragma once

#include <json-c/json.h>

#include <cstddef>

// The document in the file at the unit's absolute path, or null when the
// file is missing, not a regular file, larger than max_size or not JSON. The
// caller releases it.
json_object *vx4_read_json_file(const char *absolute, size_t max_size);

// Replaces the file with the object in json-c's plain form, slashes not
// escaped; flags as vx4_replace_file takes them. 0, or -1 with errno.
int vx4_write_json_file(const char *absolute, json_object *object, int flags);
