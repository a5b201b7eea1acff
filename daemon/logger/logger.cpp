// Statistics and their persistence.
#include <ev.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "core/trace.h"
#include "logger/logger_internal.h"
#include "platform.h"

const logger_quantity_info logger_quantities[LOGGER_QUANTITY_COUNT] = {
    {"up", "temperature", false},
    {"camera_cpu", "temperature", true},
    {"camera_fpga", "temperature", true},
    {"camera_lens", "temperature", true},
    {"psb", "temperature", false},
    {"internal", "humidity", false},
    {"internal", "pressure", false},
};

const char *const logger_warning_names[LOGGER_WARNING_COUNT] = {
    "height_motor", "tilt_motor", "pan_motor", "high_temperature", "high_pressure", "high_humidity",
};

namespace {

constexpr uint32_t counter_limit = 65535;
constexpr uint64_t history_average_limit = 4294967295u;
constexpr size_t history_file_limit = 64 * 1024;

struct period_accumulator {
    uint64_t count;
    double sum, min, max;
};

// Stores are serialised by store_lock, taken before logger_lock; the file
// write itself happens with only store_lock held, so that reports (the board's
// service thread reports every 100 ms) never wait for the flash.
std::mutex store_lock;
std::mutex logger_lock;
period_accumulator periods[LOGGER_QUANTITY_COUNT];
logger_present present;
logger_history history;
int last_file;  // the file written last, 0 or 1
vx4_logger_callbacks callbacks;

std::once_flag started;
ev_timer minute_timer;

std::string folder() { return vx4_path("/home/vx4/logger"); }
const char *file_name(int index) { return index ? "log1.json" : "log0.json"; }

// The keys of one quantity in the stored record.
struct quantity_keys {
    std::string max, min, acc, count, invalid;
};

const quantity_keys &keys_of(int q)
{
    static const auto table = [] {
        std::array<quantity_keys, LOGGER_QUANTITY_COUNT> keys;
        for (int i = 0; i < LOGGER_QUANTITY_COUNT; ++i) {
            std::string stem = logger_quantities[i].stem;
            std::string measure = logger_quantities[i].measure;
            keys[i] = {stem + "_max_" + measure, stem + "_min_" + measure, stem + "_avg_" + measure + "_acc",
                       stem + "_avg_" + measure + "_count", "invalid_" + stem + "_" + measure + "_count"};
        }
        return keys;
    }();
    return table[q];
}

std::string warning_key(int w) { return std::string(logger_warning_names[w]) + "_warnings"; }

void count_up(uint32_t &counter)
{
    if (counter < counter_limit)
        counter++;
}

void report_sample(int q, double sample)
{
    if (!std::isfinite(sample))
        return;
    std::lock_guard<std::mutex> hold(logger_lock);
    period_accumulator &p = periods[q];
    if (p.count > 0) {
        p.max = std::max(p.max, sample);
        p.min = std::min(p.min, sample);
    } else {
        p.max = p.min = sample;
    }
    p.sum += sample;
    p.count++;
}

void report_warning(int w)
{
    std::lock_guard<std::mutex> hold(logger_lock);
    count_up(present.warnings[w]);
    count_up(history.warnings[w]);
}

void report_invalid(int q)
{
    std::lock_guard<std::mutex> hold(logger_lock);
    count_up(present.quantities[q].invalid);
    count_up(history.quantities[q].invalid);
}

// Folds a minute's samples into one set. Max and min are taken over when the
// set has none yet; past the count's limit the average decays towards new means.
template <typename quantity>
void merge_minute(quantity &set, const period_accumulator &p, double mean, uint64_t limit)
{
    set.max = set.avg_count > 0 ? std::max(set.max, p.max) : p.max;
    set.min = set.avg_count > 0 ? std::min(set.min, p.min) : p.min;
    if (set.avg_count < limit) {
        set.avg_acc += mean;
        set.avg_count++;
    } else {
        set.avg_acc = set.avg_acc - set.avg_acc / static_cast<double>(set.avg_count) + mean;
    }
}

// Folds the minute into both sets; under the logger lock.
void fold_minute_locked()
{
    count_up(present.minutes);
    if (present.minutes == 3) {
        history.total_runtime += 3;
        count_up(history.session_count);
    } else if (present.minutes > 3) {
        history.total_runtime += 1;
    }
    for (int q = 0; q < LOGGER_QUANTITY_COUNT; ++q) {
        period_accumulator &p = periods[q];
        if (p.count == 0)
            continue;
        double mean = p.sum / static_cast<double>(p.count);
        merge_minute(present.quantities[q], p, mean, counter_limit);
        merge_minute(history.quantities[q], p, mean, history_average_limit);
        p.sum = 0;
        p.count = 0;
    }
}

// A store in three steps: the text is made under the logger lock, written
// without it, and its ids committed under it again. store_lock is held
// throughout, so no other store or reset can come in between.
struct pending_store {
    std::string text;
    int file;
    uint32_t id;
};

bool prepare_store_locked(pending_store *store)
{
    json_object *document = logger_build_history(history);
    const char *text =
        document ? json_object_to_json_string_ext(document, JSON_C_TO_STRING_NOSLASHESCAPE) : nullptr;
    if (!text) {
        json_object_put(document);
        trace(TRACE_LOGGER, "storage error");
        return false;
    }
    store->text = text;
    json_object_put(document);
    store->file = last_file == 1 ? 0 : 1;
    store->id = history.current_id + 1;
    return true;
}

void commit_store_locked(const pending_store &store, int result)
{
    if (result != 0) {
        // Nothing changes: the next store writes the same file with the same id.
        trace(TRACE_LOGGER, "storage failure %d", result);
        return;
    }
    trace(TRACE_LOGGER, "stored %u to file %d", store.id, store.file);
    history.previous_id = static_cast<int32_t>(history.current_id);
    history.current_id = store.id;
    last_file = store.file;
}

// With store_lock held and the logger lock released.
void write_store(const pending_store &store)
{
    int result = logger_replace_file(folder(), file_name(store.file), store.text);
    std::lock_guard<std::mutex> hold(logger_lock);
    commit_store_locked(store, result);
}

void zero_history_locked()
{
    trace(TRACE_LOGGER, "reset historical");
    history = logger_history{};
    history.previous_id = -1;
}

bool load_file(int index, logger_history *record)
{
    std::string text;
    return vx4_read_small_file(folder() + "/" + file_name(index), history_file_limit, &text) == 0 &&
           logger_parse_history(text.data(), text.size(), record);
}

// Under both locks.
bool load_history_locked()
{
    logger_history file0{}, file1{};
    bool valid0 = load_file(0, &file0);
    bool valid1 = load_file(1, &file1);
    if (valid0 && valid1)
        last_file = static_cast<int64_t>(file1.previous_id) == static_cast<int64_t>(file0.current_id) ? 1 : 0;
    else if (valid0 || valid1)
        last_file = valid1 ? 1 : 0;
    else
        return false;
    history = last_file ? file1 : file0;
    trace(TRACE_LOGGER, "start %u from file %d", history.current_id, last_file);
    return true;
}

void fold_minute()
{
    std::lock_guard<std::mutex> hold(logger_lock);
    fold_minute_locked();
}

void store_now()
{
    std::lock_guard<std::mutex> store_hold(store_lock);
    pending_store store;
    bool ready;
    {
        std::lock_guard<std::mutex> hold(logger_lock);
        ready = prepare_store_locked(&store);
    }
    if (ready)
        write_store(store);
}

// The minute's store, handed from the main loop to the writer thread. Requests
// that come while it writes make one more store, with the newest record.
struct store_request {
    std::mutex lock;
    std::condition_variable wake;
    bool pending = false;
};
store_request &writer = *new store_request;  // never destroyed: the writer waits on it for ever

void *run_writer(void *)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(writer.lock);
            writer.wake.wait(hold, [] { return writer.pending; });
            writer.pending = false;
        }
        store_now();
    }
    return nullptr;
}

int start_writer()
{
    pthread_t thread;
    int result = pthread_create(&thread, nullptr, run_writer, nullptr);
    if (result == 0)
        pthread_detach(thread);
    return result;
}

void on_minute(struct ev_loop *, ev_timer *, int) { logger_minute_tick(); }

void make_folder(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        mkdir(path.c_str(), 0755);
}

uint32_t to_u32(int64_t value)
{
    if (value < 0)
        return 0;
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

// json-c converts any type; what is not a finite number reads as 0.
double finite_double(json_object *value)
{
    double d = json_object_get_double(value);
    return std::isfinite(d) ? d : 0.0;
}

}  // namespace

bool logger_parse_history(const char *text, size_t length, logger_history *record)
{
    *record = logger_history{};
    json_tokener *tokener = json_tokener_new();
    if (!tokener)
        return false;
    json_object *document = json_tokener_parse_ex(tokener, text, static_cast<int>(std::min<size_t>(length, INT32_MAX)));
    bool whole = document && json_tokener_get_error(tokener) == json_tokener_success;
    json_tokener_free(tokener);
    json_object *value;
    bool valid = whole && json_object_is_type(document, json_type_object) &&
                 json_object_object_get_ex(document, "values_valid", &value) && json_object_get_int64(value) != 0;
    if (!valid) {
        json_object_put(document);
        return false;
    }
    auto get = [&](const std::string &key) { return json_object_object_get_ex(document, key.c_str(), &value); };
    if (get("previous_id"))
        record->previous_id = static_cast<int32_t>(json_object_get_int64(value));
    if (get("current_id"))
        record->current_id = static_cast<uint32_t>(json_object_get_int64(value));
    if (get("total_runtime"))
        record->total_runtime = json_object_get_uint64(value);
    if (get("session_count"))
        record->session_count = to_u32(json_object_get_int64(value));
    for (int w = 0; w < LOGGER_WARNING_COUNT; ++w)
        if (get(warning_key(w)))
            record->warnings[w] = to_u32(json_object_get_int64(value));
    for (int q = 0; q < LOGGER_QUANTITY_COUNT; ++q) {
        const quantity_keys &keys = keys_of(q);
        logger_history_quantity &h = record->quantities[q];
        if (get(keys.max))
            h.max = finite_double(value);
        if (get(keys.min))
            h.min = finite_double(value);
        if (get(keys.acc))
            h.avg_acc = finite_double(value);
        if (get(keys.count))
            h.avg_count = json_object_get_uint64(value);
        if (logger_quantities[q].counts_invalid && get(keys.invalid))
            h.invalid = to_u32(json_object_get_int64(value));
    }
    json_object_put(document);
    return true;
}

json_object *logger_build_history(const logger_history &record)
{
    json_object *document = json_object_new_object();
    if (!document)
        return nullptr;
    bool complete = true;
    auto add = [&](const std::string &key, json_object *value) {
        complete = complete && value && json_object_object_add(document, key.c_str(), value) == 0;
        if (!complete)
            json_object_put(value);
    };
    add("previous_id", json_object_new_int64(record.current_id));
    add("current_id", json_object_new_int64(static_cast<int64_t>(record.current_id) + 1));
    add("total_runtime", json_object_new_uint64(record.total_runtime));
    add("session_count", json_object_new_int64(record.session_count));
    for (int w = 0; w < LOGGER_WARNING_COUNT; ++w)
        add(warning_key(w), json_object_new_int64(record.warnings[w]));
    for (int q = 0; q < LOGGER_QUANTITY_COUNT; ++q) {
        const quantity_keys &keys = keys_of(q);
        const logger_history_quantity &h = record.quantities[q];
        add(keys.max, json_object_new_double(h.max));
        add(keys.min, json_object_new_double(h.min));
        add(keys.acc, json_object_new_double(h.avg_acc));
        add(keys.count, json_object_new_uint64(h.avg_count));
        if (logger_quantities[q].counts_invalid)
            add(keys.invalid, json_object_new_int64(h.invalid));
    }
    add("values_valid", json_object_new_int(1));
    if (!complete) {
        json_object_put(document);
        return nullptr;
    }
    return document;
}

void logger_snapshot(logger_present *present_copy, logger_history *history_copy)
{
    std::lock_guard<std::mutex> hold(logger_lock);
    if (present_copy)
        *present_copy = present;
    if (history_copy)
        *history_copy = history;
}

vx4_logger_callbacks logger_callbacks()
{
    std::lock_guard<std::mutex> hold(logger_lock);
    return callbacks;
}

int vx4_init_logger(const vx4_logger_callbacks *given)
{
    make_folder(vx4_path("/media/usb99/ApiLogs"));
    make_folder(folder());
    {
        std::lock_guard<std::mutex> store_hold(store_lock);
        pending_store store;
        bool fresh;
        {
            std::lock_guard<std::mutex> hold(logger_lock);
            callbacks = given ? *given : vx4_logger_callbacks{};
            present = logger_present{};
            memset(periods, 0, sizeof periods);
            last_file = 0;
            fresh = !load_history_locked();
            if (fresh)
                zero_history_locked();
            fresh = fresh && prepare_store_locked(&store);
        }
        if (fresh)
            write_store(store);
    }
    static int writer_result;
    std::call_once(started, [] {
        writer_result = start_writer();
        ev_timer_init(&minute_timer, on_minute, 60.0, 60.0);
        ev_timer_start(ev_default_loop(EVFLAG_AUTO), &minute_timer);
    });
    int workers_result = logger_start_workers();
    return workers_result ? workers_result : writer_result;
}

void vx4_report_logger_up_temperature(double sample) { report_sample(LOGGER_UP_TEMPERATURE, sample); }
void vx4_report_logger_camera_cpu_temperature(double sample) { report_sample(LOGGER_CAMERA_CPU_TEMPERATURE, sample); }
void vx4_report_logger_camera_fpga_temperature(double sample) { report_sample(LOGGER_CAMERA_FPGA_TEMPERATURE, sample); }
void vx4_report_logger_camera_lens_temperature(double sample) { report_sample(LOGGER_CAMERA_LENS_TEMPERATURE, sample); }
void vx4_report_logger_psb_temperature(double sample) { report_sample(LOGGER_PSB_TEMPERATURE, sample); }
void vx4_report_logger_internal_humidity(double sample) { report_sample(LOGGER_INTERNAL_HUMIDITY, sample); }
void vx4_report_logger_internal_pressure(double sample) { report_sample(LOGGER_INTERNAL_PRESSURE, sample); }

void vx4_report_logger_height_motor_warning() { report_warning(LOGGER_HEIGHT_MOTOR_WARNING); }
void vx4_report_logger_tilt_motor_warning() { report_warning(LOGGER_TILT_MOTOR_WARNING); }
void vx4_report_logger_pan_motor_warning() { report_warning(LOGGER_PAN_MOTOR_WARNING); }
void vx4_report_logger_high_temperature_warning() { report_warning(LOGGER_HIGH_TEMPERATURE_WARNING); }
void vx4_report_logger_high_pressure_warning() { report_warning(LOGGER_HIGH_PRESSURE_WARNING); }
void vx4_report_logger_high_humidity_warning() { report_warning(LOGGER_HIGH_HUMIDITY_WARNING); }

void vx4_report_logger_invalid_camera_cpu_temperature() { report_invalid(LOGGER_CAMERA_CPU_TEMPERATURE); }
void vx4_report_logger_invalid_camera_fpga_temperature() { report_invalid(LOGGER_CAMERA_FPGA_TEMPERATURE); }
void vx4_report_logger_invalid_camera_lens_temperature() { report_invalid(LOGGER_CAMERA_LENS_TEMPERATURE); }

void vx4_roll_up_logger()
{
    fold_minute();
    store_now();
}

void logger_minute_tick()
{
    fold_minute();
    {
        std::lock_guard<std::mutex> hold(writer.lock);
        writer.pending = true;
    }
    writer.wake.notify_one();
}

int vx4_reset_logger()
{
    std::lock_guard<std::mutex> store_hold(store_lock);
    pending_store store;
    bool ready;
    int newest;
    {
        std::lock_guard<std::mutex> hold(logger_lock);
        present = logger_present{};
        zero_history_locked();
        ready = prepare_store_locked(&store);
        newest = last_file;
    }
    if (ready) {
        // The zero record starts its ids afresh and so does not chain to the
        // file written last, which the next start would take as the newer.
        logger_remove_file(folder(), file_name(newest));
        write_store(store);
    }
    return 0;
}

void vx4_check_logger_reset()
{
    struct stat st;
    if (stat(vx4_path("/media/usb-cpy/vx4_log_reset.txt").c_str(), &st) != 0)
        return;
    trace(TRACE_LOGGER, "reset logger by usb");
    vx4_reset_logger();
}
