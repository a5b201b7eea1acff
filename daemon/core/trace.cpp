#include "core/trace.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <chrono>
#include <thread>

#include "platform.h"

namespace {

constexpr size_t line_size = 512;
constexpr size_t message_limit = 494;  // tag and message, including the terminator
constexpr size_t mask_text_limit = 14;
constexpr size_t event_buffer_size = 4112;

std::mutex line_lock;
std::atomic<FILE *> trace_stream{nullptr};
std::atomic<uint32_t> trace_mask{0};
char line_buffer[line_size];
char stamp_buffer[32];
int watcher_fd = -1;

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
// mask is left alone when the file cannot be opened or does not scan.
void read_mask_file()
{
    FILE *file = fopen(watched_mask_path, "r");
    if (!file)
        return;
    char text[mask_text_limit + 1] = {};
    if (fgets(text, sizeof text, file)) {
        unsigned int mask;
        if (sscanf(text, "%X", &mask) == 1)
            trace_mask = mask;
    }
    fclose(file);
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

// The watch ends when the mask file is removed or replaced (editors save by
// renaming a new file over the old one): wait for the file to be back.
void rewatch_mask_file()
{
    while (inotify_add_watch(watcher_fd, watched_mask_path, IN_MODIFY | IN_CREATE) < 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

void apply_mask_change()
{
    trace(TRACE_MASK_WATCHER, "modified");
    read_mask_file();
    write_record("modify");
}

void watch_mask_file()
{
    trace(TRACE_MASK_WATCHER, "monitor fd %d", watcher_fd);
    trace(TRACE_MASK_WATCHER, "monitoring trace mask");
    alignas(inotify_event) char events[event_buffer_size];
    for (;;) {
        ssize_t got = read(watcher_fd, events, sizeof events);
        trace(TRACE_MASK_WATCHER, "notify %d", static_cast<int>(got));
        if (got < 1)
            continue;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at);
            if (event->mask & IN_IGNORED)
                rewatch_mask_file();
            if (event->mask & (IN_MODIFY | IN_IGNORED))
                apply_mask_change();
            at += sizeof(inotify_event) + event->len;
        }
    }
}

void start_mask_watcher()
{
    watcher_fd = inotify_init1(IN_CLOEXEC);
    if (watcher_fd < 0)
        return;
    // The watch is added before init_trace returns, so that an edit made
    // right after start is never missed.
    if (inotify_add_watch(watcher_fd, mask_path().c_str(), IN_MODIFY | IN_CREATE) < 0) {
        close(watcher_fd);
        watcher_fd = -1;
        return;
    }
    std::thread(watch_mask_file).detach();
}

}  // namespace

void init_trace()
{
    snprintf(watched_mask_path, sizeof watched_mask_path, "%s", mask_path().c_str());
    trace_mask = 0;
    std::string path = trace_path();
    if (FILE *previous = fopen(path.c_str(), "r")) {
        fclose(previous);
        rename(path.c_str(), old_trace_path().c_str());
    }
    if (access(mask_path().c_str(), F_OK) != 0)
        set_trace_mask(0);
    read_mask_file();
    start_mask_watcher();
    FILE *stream = fopen(path.c_str(), "we");
    if (!stream)
        return;
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
    line_buffer[used] = '\0';
    va_list args;
    va_start(args, format);
    vsnprintf(line_buffer + used, message_limit - used, format, args);
    va_end(args);
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
    FILE *file = fopen(mask_path().c_str(), "we");
    if (!file)
        return -1;
    fprintf(file, "0x%08X", static_cast<unsigned>(mask));
    return fclose(file) == 0 ? 0 : -1;
}

uint32_t get_trace_mask() { return trace_mask; }
