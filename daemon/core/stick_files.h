// Update files offered on the external stick: the newest of a name pattern,
// its version text, and a safe open of it.
#pragma once

#include <cstddef>
#include <string>

// The last name, in byte order (glob's order in the C locale), in the unit's
// folder that matches the pattern and is a regular file (links refused), as
// a unit path ("/media/usb-cpy/camera_update_1.2.bin"); "" when none.
std::string vx4_find_stick_file(const char *folder, const char *pattern);

// The text between the last '_' and the last '.' of the file name
// ("firmware_update_1.4.hex" -> "1.4"); "" when there is none.
std::string vx4_stick_file_version(const std::string &path);

// Opens a unit path for reading through the platform's safe open (a regular
// file only, no link followed): the descriptor and the file's size, or -1.
int vx4_open_stick_file(const std::string &path, long long *size);
