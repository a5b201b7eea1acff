// How the recorder touches files, beside the platform's safe helpers. Its
// folders lie in shared or removable places (the eMMC home, the internal
// stick, the operator's stick), so a file is opened without following a link
// at its name and without blocking, and used only when it is a regular file;
// records are replaced whole by write-then-rename (vx4_replace_file). Client
// names are single names inside one folder.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The recorder's folders, as on the unit (vx4_path maps them into a sandbox).
constexpr const char VX4_RECORDER_WORK[] = "/home/vx4/ApiVideos";    // eMMC: the recording being made
constexpr const char VX4_RECORDER_STORE[] = "/media/usb99/ApiVideos";  // internal stick: finished files
constexpr const char VX4_RECORDER_VIDEOS[] = "/home/vx4/Videos";     // eMMC video folder
constexpr const char VX4_RECORDER_STICK[] = "/media/usb-cpy";        // the operator's stick
constexpr const char VX4_RECORDER_LEGACY[] = "/media/usb99/video";   // older recordings list

// Not empty, no '/', not "." or "..", no control character: a file name
// that stays inside the folder it is joined to.
bool vx4_is_single_name(std::string_view name);
// The mapped path of name inside folder (folder as on the unit).
std::string vx4_recorder_path(const char *folder, std::string_view name);

// The first line without its newline, at most max_characters. false when
// the file cannot be read.
bool vx4_recorder_read_line(const std::string &path, size_t max_characters, std::string *line);
// A new regular file (an existing name is an error, never overwritten), and
// an existing one for reading and writing in place; neither through a link.
// The descriptor or -1.
int vx4_recorder_create(const std::string &path);
int vx4_recorder_open_for_update(const std::string &path);
// Size of a regular file at path (links not followed), -1 when there is none.
int64_t vx4_recorder_file_size(const std::string &path);

// Free space of a folder in kB: fragment size >> 10 times the blocks free to
// unprivileged users. In sandbox mode a number in the file
// VX4_ROOT/sandbox/free_kb<folder> stands in for the measurement, so tests
// can make a store look nearly full. 0, or -1 with errno.
int vx4_recorder_free_kb(const char *folder, int64_t *kb);

// Copies length bytes from one descriptor's start to another's, in large
// pieces (in the kernel where it can), starting the disk on each piece
// while the next is copied, and calling progress with the bytes done after
// each piece. The bytes copied, short when a read or write failed. The
// caller still flushes the copy (fdatasync) before it counts on it.
int64_t vx4_recorder_copy(int from, int to, int64_t length, const std::function<void(int64_t)> &progress);
