// The platform layer: everything the programs reach outside their own process
// goes through here, so that a sandbox root can stand in for the real unit.
//
// The environment is read once by vx4_platform_init. Unset variables mean the
// real unit's values. VX4_ROOT other than "/" is sandbox mode: paths and
// programs are taken from under the root, the clock is a process-wide offset,
// mounts are recorded instead of made, and only loopback peers are allowed.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// The camera module's address on the unit's own network: the default peer
// outside sandbox mode. Tests compare with this name and never contact it.
inline constexpr char VX4_UNIT_CAMERA_HOST[] = "192.168.0.127";

// Copies text into buffer, cut to size - 1 and terminated; nothing for a
// null buffer or size 0. Text ends at its first NUL, as a C string does.
void vx4_copy_text(char *buffer, size_t size, std::string_view text);

struct vx4_platform_config {
    std::string root;                 // "" for the real unit, else the sandbox root
    std::string camera_host;
    // Where the camera ping goes: the camera host, except in sandbox mode
    // when VX4_CAMERA_PING_HOST names another loopback address (tests point
    // it at one nobody answers).
    std::string camera_ping_host;
    int camera_visca_port;
    int camera_http_port;
    int camera_rtsp_port;
    std::string redis_host;
    int redis_port;
    int api_port;
    std::string power_board;          // "spidev" or "sim:PATH"
};

// Reads the environment. Returns 0, or -1 after printing why to standard
// error (a malformed variable). May be called again (tests do).
int vx4_platform_init(const char *program);
const vx4_platform_config &vx4_platform();
bool vx4_platform_sandboxed();

// An absolute path of the unit mapped into the root ("/tmp/x" -> ROOT/tmp/x).
std::string vx4_path(std::string_view absolute);

// True for 127.0.0.0/8, ::1 and "localhost".
bool vx4_is_loopback_host(std::string_view host);
// The host part of "scheme://[user@]host[:port]/..." ("" when there is none).
std::string vx4_url_host(std::string_view url);
// In sandbox mode: refuses (prints "<program>: <what> <host> is not a loopback
// address, refusing to start in sandbox mode" and returns -1) a peer that is
// not loopback. Outside the sandbox every peer is allowed.
int vx4_require_loopback(const char *what, std::string_view host);
// Checks the camera, camera ping and redis hosts of the environment.
int vx4_require_loopback_peers();

// Wall clock. In sandbox mode vx4_settimeofday moves a process-wide offset
// that every read applies; the host clock is never set.
int vx4_gettimeofday(struct timeval *tv);
time_t vx4_time();
int vx4_settimeofday(const struct timeval *tv);

// Programs. A command is an argument vector: no shell ever sees it. An
// absolute program path is taken under the root; a bare name is searched in
// the usual system folders (under the root in sandbox mode, never the host's).
std::string vx4_program_path(std::string_view program);

struct vx4_spawn_options {
    int stdin_fd = -1;    // -1: /dev/null
    int stdout_fd = -1;   // -1: inherit
    int stderr_fd = -1;   // -1: inherit
    // Sent to the child when the thread that started it ends (and so when
    // the program dies, even by SIGKILL); 0: none. A child that would
    // outlive its supervisor (a recording filling a disk) asks for this.
    int parent_death_signal = 0;
};

// Starts the program and returns its pid, or -1 (errno set; ENOENT when the
// program does not exist). The child closes every other descriptor.
pid_t vx4_spawn(const std::vector<std::string> &argv, const vx4_spawn_options &options = {});
// Runs to completion: the exit status, 128 + signal, or -1 when it could not
// be started.
int vx4_run(const std::vector<std::string> &argv);
// Starts the program with its standard output readable from the returned
// stream (standard error as well when merge_stderr). nullptr when it could not
// be started. vx4_pclose closes the stream and reaps the child.
FILE *vx4_popen_read(const std::vector<std::string> &argv, pid_t *pid, bool merge_stderr = false);
int vx4_pclose(FILE *stream, pid_t pid);

// Mounting. In sandbox mode the device must exist under the root and the
// target folder too; nothing touches the host's mount table.
int vx4_mount(const char *source, const char *target, const char *fstype, unsigned long flags,
              const void *data);
int vx4_umount(const char *target);
bool vx4_is_mounted(const char *target);

// Power. Both run the unit's own programs ("shutdown -P now", "reboot").
int vx4_power_off();
int vx4_reboot();

// Files in shared or removable places (/tmp, /media, /home/vx4, the sticks,
// /config) may be anything another program or a hostile user left there: a
// FIFO that blocks an open for ever, a link to /dev/zero or to a file the
// writer must never touch, a folder, a huge file. These helpers never block,
// never follow a symbolic link at the file's name, and accept regular files
// only. Errors are -1 with errno: ELOOP for a link, EINVAL for anything else
// that is not a regular file, EFBIG for a file over the stated size, or the
// system call's own.

// The folder part of a path ("." without one, "/" at the top).
std::string vx4_folder_of(const std::string &path);
// Flushes a folder's entries, so that files created, renamed or removed in it
// stay so after a power cut. 0, or -1.
int vx4_sync_folder(const std::string &folder);
// Opens a regular file for reading (recordings, pictures, update packages).
// Returns the descriptor (close-on-exec, non-blocking) or -1.
int vx4_open_for_reading(const std::string &path);
// Reads the whole file into text, at most max_size bytes (EFBIG when
// larger); a bound of megabytes costs no more than the file.
int vx4_read_small_file(const std::string &path, size_t max_size, std::string *text);

// Opens a regular file for writing, created with mode when missing; truncated
// unless append. Returns the descriptor (close-on-exec) or -1.
int vx4_open_for_writing(const std::string &path, bool append, mode_t mode = 0644);
// Appends the text to the file in one write.
int vx4_append_file(const std::string &path, std::string_view text, mode_t mode = 0644);

enum vx4_replace_flags {
    VX4_REPLACE_SYNC = 1,  // the file and its folder reach stable storage before the call returns
};
// Replaces the file with the text: written to a new file in the same folder,
// then renamed over the name, so a reader sees the old or the new whole file,
// a crash leaves one of them, and a link at the name is replaced, not followed.
int vx4_replace_file(const std::string &path, std::string_view text, int flags = 0, mode_t mode = 0644);

// Opens a FIFO for writing without waiting for its reader. -1 with ENXIO when
// nobody reads it yet, ENOENT when it does not exist, EINVAL when the name is
// not a FIFO.
int vx4_open_fifo_writer(const std::string &path);

// Watches one file through its folder with inotify: a file replaced by rename
// or created later is seen, and no link's target is ever watched.
struct vx4_file_watch {
    int fd = -1;  // the inotify descriptor
    std::string name;
};
int vx4_watch_file(vx4_file_watch *watch, const std::string &path);
// Waits up to timeout_ms (-1: for ever) for the file to be written (IN_MODIFY),
// replaced by rename (IN_MOVED_TO), created, removed or renamed away. Returns
// the events seen for the file (0 when the time passed) or -1 when the watch
// ended (the folder went away or was unmounted) or failed.
int vx4_wait_file_change(vx4_file_watch *watch, int timeout_ms);
void vx4_unwatch_file(vx4_file_watch *watch);

// Each program holds a lock, /var/run/vx4/<name>.lock, for its whole life,
// taken before it touches any shared file (the service units make the
// folder). Returns 0 when taken, or when the lock file itself cannot be used
// (printed; the program goes on), and -1
// after printing "<program>: <name> is already running (pid N), not starting
// a second one" when another instance holds it.
int vx4_take_instance_lock(const char *name);
