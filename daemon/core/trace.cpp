#include "core/trace.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "platform.h"

namespace {

constexpr size_t line_size = 512;
constexpr size_t message_limit = 494;  // tag and message, including the terminator
constexpr size_t mask_text_limit = 14;
constexpr size_t mask_file_limit = 4096;

std::mutex line_lock;
std::atomic<FILE *> trace_stream{nullptr};
std::atomic<uint32_t> trace_mask{0};
char line_buffer[line_size];
char stamp_buffer[32];

const char *const tags[32] = {
    "SUPV", "CPNG", "CPST", "ITLP", "HAPI", "PWRB", "VSIO", "FSLP", "ZMLP", "RCDR", "ISTR",
    "OSDP", "CMRA", "NVPC", "LGGR", "HTMT", "PBRF", "HSRV", nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "TMSK",
};

std::string trace_path() { return vx4_path("/media/usb99/trace"); }
std::string old_trace_path() { return vx4_path("/media/usb99/trace_old"); }
std::string mask_path() { return vx4_path("/media/usb99/trace_mask"); }
// The mask watcher runs on while the process exits and the platform layer's
// strings are destroyed: what it reads is this copy, which never is.
char watched_mask_path[4096];

// Fills stamp_buffer with " [hh:mm:ss.mmm]"; called under the line lock.
void format_stamp()
{
    struct timeval now;
    vx4_gettimeofday(&now);
    struct tm local;
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    snprintf(stamp_buffer, sizeof stamp_buffer, " [%02d:%02d:%02d.%03d]", local.tm_hour,
             local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000));
}

// Reads the first line of the mask file and scans it as hexadecimal. The
// mask is left alone when the file cannot be read or does not scan.
void read_mask_file()
{
    std::string text;
    if (vx4_read_small_file(watched_mask_path, mask_file_limit, &text) != 0)
        return;
    text = text.substr(0, std::min(text.find('\n'), mask_text_limit));
    unsigned int mask;
    if (sscanf(text.c_str(), "%X", &mask) == 1)
        trace_mask = mask;
}

// Puts the message behind the tag, cut to the line's limit. Text from
// outside (modes, register texts, file names) must never start a line of its
// own: control characters become escapes. A line end closing the message is
// the caller's own and stays.
void append_escaped(size_t at, const char *message)
{
    size_t length = strlen(message);
    bool line_end = length > 0 && message[length - 1] == '\n';
    size_t end = message_limit - 1 - (line_end ? 1 : 0);
    for (size_t i = 0; i < length - (line_end ? 1 : 0) && at < end; ++i) {
        auto c = static_cast<unsigned char>(message[i]);
        if (c >= 0x20 && c != 0x7F) {
            line_buffer[at++] = static_cast<char>(c);
            continue;
        }
        char escape[5];
        if (c == '\n' || c == '\r' || c == '\t')
            snprintf(escape, sizeof escape, "\\%c", c == '\n' ? 'n' : c == '\r' ? 'r' : 't');
        else
            snprintf(escape, sizeof escape, "\\x%02X", c);
        size_t size = strlen(escape);
        if (at + size > end)
            break;
        memcpy(line_buffer + at, escape, size);
        at += size;
    }
    if (line_end)
        line_buffer[at++] = '\n';
    line_buffer[at] = '\0';
}

void write_record(const char *what)
{
    std::lock_guard<std::mutex> hold(line_lock);
    if (!trace_stream)
        return;
    format_stamp();
    fprintf(trace_stream.load(), "%s mask 0x%08X%s\n", what, static_cast<unsigned>(trace_mask), stamp_buffer);
    fflush(trace_stream.load());
}

void apply_mask_change()
{
    trace(TRACE_MASK_WATCHER, "modified");
    read_mask_file();
    write_record("modify");
}

// The watch is on the folder, so that a file replaced by rename or swapped
// for a link is still seen, and never a link's target. It ends when the
// stick goes away; the watcher then waits for the folder to be back.
void watch_mask_file(vx4_file_watch watch)
{
    trace(TRACE_MASK_WATCHER, "monitor fd %d", watch.fd);
    trace(TRACE_MASK_WATCHER, "monitoring trace mask");
    for (;;) {
        int events = vx4_wait_file_change(&watch, -1);
        trace(TRACE_MASK_WATCHER, "notify %d", events);
        if (events < 0) {
            vx4_unwatch_file(&watch);
            while (vx4_watch_file(&watch, watched_mask_path) != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        if (events < 0 || (events & (IN_MODIFY | IN_MOVED_TO)))
            apply_mask_change();
    }
}

void start_mask_watcher()
{
    // The watch is set before init_trace returns, so that an edit made right
    // after start is never missed.
    vx4_file_watch watch;
    if (vx4_watch_file(&watch, watched_mask_path) == 0)
        std::thread(watch_mask_file, watch).detach();
}

}  // namespace

void init_trace()
{
    snprintf(watched_mask_path, sizeof watched_mask_path, "%s", mask_path().c_str());
    trace_mask = 0;
    std::string path = trace_path();
    // Renaming opens nothing: whatever is left there (a FIFO, a link) moves
    // aside without blocking or being followed.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        rename(path.c_str(), old_trace_path().c_str());
    if (lstat(watched_mask_path, &st) != 0 && errno == ENOENT)
        set_trace_mask(0);
    read_mask_file();
    start_mask_watcher();
    int fd = vx4_open_for_writing(path, false);
    FILE *stream = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!stream) {
        if (fd >= 0)
            close(fd);
        return;
    }
    trace_stream = stream;
    write_record("start");
}

void trace(int category, const char *format, ...)
{
    if (!trace_stream || !(trace_mask.load(std::memory_order_relaxed) & (1u << (category & 31))))
        return;
    std::lock_guard<std::mutex> hold(line_lock);
    format_stamp();
    const char *tag = tags[category & 31];
    size_t used = tag ? static_cast<size_t>(snprintf(line_buffer, line_size, "%s: ", tag)) : 0;
    char message[message_limit];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    append_escaped(used, message);
    strcat(line_buffer, stamp_buffer);
    strcat(line_buffer, "\n");
    FILE *stream = trace_stream.load();
    fputs(line_buffer, stream);
    fflush(stream);
}

void trace_data(int category, const char *label, const void *bytes, int count)
{
    trace(category, "%s:", label);
    if (count < 1 || !(trace_mask.load(std::memory_order_relaxed) & (1u << (category & 31))))
        return;
    const auto *data = static_cast<const unsigned char *>(bytes);
    for (int start = 0; start < count; start += 16) {
        char hex[33];
        char text[17];
        for (int i = 0; i < 16; ++i) {
            if (start + i < count) {
                unsigned char byte = data[start + i];
                snprintf(hex + 2 * i, 3, "%02X", byte);
                text[i] = byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
            } else {
                hex[2 * i] = hex[2 * i + 1] = ' ';
                text[i] = ' ';
            }
        }
        hex[32] = '\0';
        text[16] = '\0';
        trace(category, " %s %s", hex, text);
    }
}

int set_trace_mask(uint32_t mask)
{
    // Replaced whole: a link at the name is replaced, its target never written.
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(mask));
    return vx4_replace_file(watched_mask_path, text);
}

uint32_t get_trace_mask() { return trace_mask; }
