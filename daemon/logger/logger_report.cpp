// The readings report, report files on the internal stick, their list, and
// the copy and delete workers.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "core/trace.h"
#include "logger/logger_internal.h"
#include "platform.h"

namespace {

constexpr const char *software_version = "03.01";
constexpr size_t report_file_limit = 256 * 1024;
constexpr int name_attempts = 3600;

std::string logs_folder() { return vx4_path("/media/usb99/ApiLogs"); }
std::string stick_folder() { return vx4_path("/media/usb-cpy"); }

// Adds key: text; false (and nothing added) when a value cannot be made.
bool add_text(json_object *object, const std::string &key, const char *text)
{
    json_object *value = json_object_new_string(text);
    if (!value)
        return false;
    if (json_object_object_add(object, key.c_str(), value) != 0) {
        json_object_put(value);
        return false;
    }
    return true;
}

bool add_format(json_object *object, const std::string &key, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

bool add_format(json_object *object, const std::string &key, const char *format, ...)
{
    char text[512];  // room for any double printed with %.1f
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return add_text(object, key, text);
}

double average(double accumulator, uint64_t count) { return count ? accumulator / static_cast<double>(count) : 0.0; }

// "%.1f °C", "%.0f %" or "%.0f mb", by what the quantity measures.
bool add_measure(json_object *object, const std::string &key, int q, double value)
{
    const char *measure = logger_quantities[q].measure;
    if (strcmp(measure, "temperature") == 0)
        return add_format(object, key, "%.1f \u00B0C", value);
    if (strcmp(measure, "humidity") == 0)
        return add_format(object, key, "%.0f %%", value);
    return add_format(object, key, "%.0f mb", value);
}

// The present or historical block of the report; both have the same keys
// behind their prefix.
template <typename quantity>
bool add_quantities(json_object *report, const char *prefix, const quantity (&quantities)[LOGGER_QUANTITY_COUNT])
{
    bool complete = true;
    for (int q = 0; q < LOGGER_QUANTITY_COUNT; ++q) {
        const quantity &s = quantities[q];
        std::string stem = std::string(prefix) + logger_quantities[q].stem;
        std::string measure = logger_quantities[q].measure;
        complete = complete && add_measure(report, stem + "_max_" + measure, q, s.max) &&
                   add_measure(report, stem + "_min_" + measure, q, s.min) &&
                   add_measure(report, stem + "_avg_" + measure, q, average(s.avg_acc, s.avg_count));
        if (logger_quantities[q].counts_invalid)
            complete = complete && add_format(report,
                                              std::string(prefix) + "invalid_" + logger_quantities[q].stem + "_" +
                                                  measure,
                                              "%u", s.invalid);
    }
    return complete;
}

bool add_warnings(json_object *report, const char *prefix, const uint32_t (&warnings)[LOGGER_WARNING_COUNT])
{
    bool complete = true;
    for (int w = 0; w < LOGGER_WARNING_COUNT; ++w)
        complete = complete &&
                   add_format(report, std::string(prefix) + logger_warning_names[w] + "_warnings", "%u", warnings[w]);
    return complete;
}

// A supervisor text, or what the supervisor gives itself when it does not know.
void load_text(void (*load)(char *, size_t), const char *unknown, char (&buffer)[80])
{
    snprintf(buffer, sizeof buffer, "%s", unknown);
    if (load)
        load(buffer, sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
}

struct tm local_time(time_t when)
{
    struct tm local{};
    localtime_r(&when, &local);
    return local;
}

// The name in a copy or delete entry: the object's "name", or the entry
// itself when it is a plain text; "" when there is none.
const char *entry_name(json_object *entry)
{
    json_object *name;
    if (json_object_is_type(entry, json_type_string))
        return json_object_get_string(entry);
    if (json_object_object_get_ex(entry, "name", &name) && json_object_is_type(name, json_type_string))
        return json_object_get_string(name);
    return "";
}

bool regular_size(const std::string &path, off_t *size)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    *size = st.st_size;
    return true;
}

// One worker thread: a request is taken only while it is idle. The lock is
// held only to hand a request over, never while the work runs, so a second
// request is refused at once instead of waiting for the first.
struct worker {
    std::mutex lock;
    std::condition_variable wake;
    bool busy = false;
    json_object *files = nullptr;
    json_object *owner = nullptr;
    const char *refusal;  // "no copy %d"
    void (*work)(json_object *files);
};

void *run_worker(void *argument)
{
    worker &w = *static_cast<worker *>(argument);
    for (;;) {
        std::unique_lock<std::mutex> hold(w.lock);
        w.wake.wait(hold, [&] { return w.files != nullptr; });
        json_object *files = w.files;
        json_object *owner = w.owner;
        w.files = w.owner = nullptr;
        hold.unlock();
        w.work(files);
        json_object_put(owner);
        hold.lock();
        w.busy = false;
    }
    return nullptr;
}

int hand_over(worker &w, json_object *files, json_object *owner, bool refused)
{
    int result = 0;
    {
        std::lock_guard<std::mutex> hold(w.lock);
        if (refused)
            result = -1;
        else if (w.busy)
            result = 1;
        else {
            w.busy = true;
            w.files = files;
            w.owner = owner;
            w.wake.notify_one();
            return 0;
        }
    }
    trace(TRACE_LOGGER, w.refusal, result);
    json_object_put(owner);
    return result;
}

// Every entry must name a file inside its store.
bool names_stay_inside(json_object *files)
{
    if (!json_object_is_type(files, json_type_array))
        return false;
    size_t count = json_object_array_length(files);
    for (size_t i = 0; i < count; ++i)
        if (!vx4_is_logger_file_name(entry_name(json_object_array_get_idx(files, i))))
            return false;
    return true;
}

// Copies source to a new destination; a copy that fails on the way is
// removed, so it is neither mistaken for a whole one nor blocks a retry.
void copy_file(const std::string &source, const std::string &destination)
{
    int in = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (in >= 0)
            close(in);
        return;
    }
    int out = open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) {
        close(in);
        return;
    }
    trace(TRACE_LOGGER, "cp start '%s'", destination.c_str());
    bool ok = true;
    char block[4096];
    for (;;) {
        ssize_t got = read(in, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ok = false;
        if (got <= 0)
            break;
        if (write(out, block, static_cast<size_t>(got)) != got) {
            ok = false;
            break;
        }
        if (got < static_cast<ssize_t>(sizeof block))
            break;
    }
    ok = fsync(out) == 0 && ok;
    ok = close(out) == 0 && ok;
    close(in);
    if (!ok)
        unlink(destination.c_str());
    trace(TRACE_LOGGER, "cp done");
}

void copy_files(json_object *files)
{
    trace(TRACE_LOGGER, "copy starting");
    size_t count = json_object_array_length(files);
    for (size_t i = 0; i < count; ++i) {
        const char *name = entry_name(json_object_array_get_idx(files, i));
        trace(TRACE_LOGGER, "copy '%s'", name);
        std::string source = logs_folder() + "/" + name;
        std::string destination = stick_folder() + "/" + name;
        trace(TRACE_LOGGER, "cp src '%s'", source.c_str());
        trace(TRACE_LOGGER, "cp dst '%s'", destination.c_str());
        struct stat st;
        if (lstat(destination.c_str(), &st) == 0) {
            trace(TRACE_LOGGER, "file '%s' exists", destination.c_str());
            continue;
        }
        copy_file(source, destination);
    }
    trace(TRACE_LOGGER, "copy end");
}

void delete_files(json_object *files)
{
    trace(TRACE_LOGGER, "delete starting");
    size_t count = json_object_array_length(files);
    for (size_t i = 0; i < count; ++i) {
        const char *name = entry_name(json_object_array_get_idx(files, i));
        trace(TRACE_LOGGER, "delete '%s'", name);
        std::string path = logs_folder() + "/" + name;
        trace(TRACE_LOGGER, "rm '%s'", path.c_str());
        if (unlink(path.c_str()) != 0 && errno == ENOENT)
            trace(TRACE_LOGGER, "file '%s' missing", path.c_str());
    }
    trace(TRACE_LOGGER, "delete end");
}

// Never destroyed: the workers wait on them until the process ends.
worker &copier = *new worker{.refusal = "no copy %d", .work = copy_files};
worker &deleter = *new worker{.refusal = "no delete %d", .work = delete_files};

std::once_flag workers_started;
int workers_result;

}  // namespace

json_object *vx4_get_logger_current_readings()
{
    // The supervisor's texts first, without the logger lock.
    vx4_logger_callbacks sources = logger_callbacks();
    char model[80], serial[80], firmware[80], camera[80], battery[80];
    load_text(sources.load_model_name, "unknown", model);
    load_text(sources.load_serial_number, "unknown", serial);
    load_text(sources.load_firmware_version, "00.00", firmware);
    load_text(sources.load_camera_version, "", camera);
    load_text(sources.load_battery_voltage, "? V", battery);
    struct tm now = local_time(vx4_time());

    logger_present present;
    logger_history history;
    logger_snapshot(&present, &history);

    json_object *report = json_object_new_object();
    if (!report)
        return nullptr;
    double average_runtime =
        history.session_count ? static_cast<double>(history.total_runtime) / history.session_count : 0.0;
    bool complete =
        add_text(report, "present_model", model) && add_text(report, "present_serial_number", serial) &&
        add_text(report, "present_software_version", software_version) &&
        add_text(report, "present_firmware_version", firmware) && add_text(report, "present_camera_version", camera) &&
        add_text(report, "present_battery_voltage", battery) &&
        add_format(report, "present_date", "%04d-%02d-%02d", now.tm_year + 1900, now.tm_mon + 1, now.tm_mday) &&
        add_format(report, "present_time", "%02d:%02d:%02d", now.tm_hour, now.tm_min, now.tm_sec) &&
        add_format(report, "present_runtime", "%u MIN", present.minutes) &&
        add_warnings(report, "present_", present.warnings) &&
        add_quantities(report, "present_", present.quantities) &&
        add_format(report, "historical_total_runtime", "%lu MIN", static_cast<unsigned long>(history.total_runtime)) &&
        add_format(report, "historical_average_runtime", "%.0f MIN", average_runtime) &&
        add_format(report, "historical_session_count", "%u", history.session_count) &&
        add_warnings(report, "historical_", history.warnings) &&
        add_quantities(report, "historical_", history.quantities);
    if (!complete) {
        json_object_put(report);
        return nullptr;
    }
    return report;
}

bool vx4_is_logger_file_name(const char *name)
{
    return name && *name && !strchr(name, '/') && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

int vx4_create_logger_file()
{
    json_object *report = vx4_get_logger_current_readings();
    if (!report)
        return -1;
    std::string text = json_object_to_json_string_ext(report, JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(report);
    time_t start = vx4_time();
    for (int k = 0; k < name_attempts; ++k) {
        struct tm t = local_time(start + k);
        char name[64];
        snprintf(name, sizeof name, "log_%04d-%02d-%02d-%02d-%02d-%02d.json", t.tm_year + 1900, t.tm_mon + 1,
                 t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        int result = logger_create_file(logs_folder() + "/" + name, text);
        if (result <= 0)
            return result;
        trace(TRACE_LOGGER, "start dup adjust %d", k);
    }
    return -1;
}

json_object *vx4_get_logger_file_readings(const char *name)
{
    std::string path = logs_folder() + "/" + (name ? name : "");
    struct stat st;
    if (!vx4_is_logger_file_name(name) || lstat(path.c_str(), &st) != 0)
        return json_object_new_object();
    std::string text;
    if (vx4_read_small_file(path, report_file_limit, &text) != 0)
        return nullptr;
    return json_tokener_parse(text.c_str());
}

json_object *vx4_get_logger_files()
{
    json_object *list = json_object_new_array();
    DIR *folder = opendir(logs_folder().c_str());
    if (!list || !folder) {
        if (folder)
            closedir(folder);
        return list;
    }
    while (struct dirent *entry = readdir(folder)) {
        std::string name = entry->d_name;
        off_t main_size = 0, stick_size = 0;
        if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".json") != 0 ||
            !regular_size(logs_folder() + "/" + name, &main_size))
            continue;
        bool on_stick = regular_size(stick_folder() + "/" + name, &stick_size);
        json_object *item = json_object_new_object();
        if (!item)
            break;
        char size[32] = "", percent[32] = "";
        const char *store = "Main USB";
        snprintf(size, sizeof size, "%ld", static_cast<long>(main_size));
        if (on_stick && stick_size == main_size) {
            store = "External USB";
            snprintf(percent, sizeof percent, "%.1f %%", 100.0);
        } else if (on_stick && main_size > 0) {
            snprintf(percent, sizeof percent, "%.1f %%", static_cast<double>(stick_size) * 100.0 / main_size);
        }
        if (!add_text(item, "path", "/ApiLogs") || !add_text(item, "name", name.c_str()) ||
            !add_text(item, "data_store", store) || !add_text(item, "size", size) ||
            !add_text(item, "percent_copied", percent) || json_object_array_add(list, item) != 0) {
            json_object_put(item);
            break;
        }
    }
    closedir(folder);
    return list;
}

int vx4_copy_logger_files(json_object *files, json_object *owner)
{
    vx4_logger_callbacks sources = logger_callbacks();
    bool mounted = sources.external_usb_mounted && sources.external_usb_mounted();
    return hand_over(copier, files, owner, !names_stay_inside(files) || !mounted);
}

int vx4_delete_logger_files(json_object *files, json_object *owner)
{
    return hand_over(deleter, files, owner, !names_stay_inside(files));
}

int logger_start_workers()
{
    std::call_once(workers_started, [] {
        for (worker *w : {&copier, &deleter}) {
            pthread_t thread;
            workers_result = pthread_create(&thread, nullptr, run_worker, w);
            if (workers_result == 0)
                pthread_detach(thread);
        }
    });
    return workers_result;
}
