#include "supervisor/supervisor.h"

#include <fcntl.h>
#include <pthread.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "camera/visca_connection.h"
#include "core/json_file.h"
#include "core/state_files.h"
#include "core/trace.h"
#include "logger/logger.h"
#include "platform.h"
#include "power_board/heading.h"
#include "power_board/power_board.h"
#include "recorder/recorder.h"
#include "supervisor/installer.h"
#include "supervisor/supervisor_encoder.h"
#include "supervisor/supervisor_ping.h"
#include "supervisor/supervisor_redis.h"

namespace {

using namespace std::chrono_literals;

constexpr double refresh_period = 1.0;
constexpr double ping_period = 1.0;
constexpr double poll_period = 5.0;

constexpr const char *release_file = "/opt/orba/VX4_RELEASE";
constexpr const char *config_file = "/config/system.json";
constexpr const char *external_device = "/dev/usb_ext1";
constexpr const char *external_mount = "/media/usb-cpy";
constexpr const char *main_store = "/media/usb99";
constexpr const char *disk_stat = "/sys/block/sdb/stat";
constexpr const char *core_file = "/sys/devices/platform/coretemp.0/hwmon/hwmon1/temp%d_input";

// A reading outside this range is taken for a fault of the sensor or the
// link, not for the head's temperature: it never warns nor shuts down.
constexpr double plausible_low = -40.0;
constexpr double plausible_high = 250.0;
constexpr double warm_level = 80.0;
constexpr double hot_level = 88.0;
constexpr double shutdown_level = 89.0;
constexpr long kb_per_second = 513;  // recording rate of the camera's stream

// The record and the camera's answers, under the supervisor lock.
std::mutex lock;
vx4_supervisor_values record;
double camera_temperature[3];  // FPGA, lens, CPU
bool camera_temperature_valid[3];
char channel_text[2][VX4_CHANNEL_TEXT];

std::atomic<bool> initialised{false};
std::string version;  // set once at init
std::atomic<int> camera_signal{0};
std::atomic<int> ext_mounted{0};
std::atomic<int> ext_ejected{0};
std::atomic<int> eject_requested{0};
std::atomic<int> updates_found{0};
std::atomic<int> temperature_shutdown{0};
std::atomic<int> shutdown_mode{0};

// The loop's own state (touched on the loop thread only).
struct ev_loop *loop;
ev_timer refresh_timer, ping_timer, poll_timer;
std::string battery_text;
unsigned implausible_seen;  // sensors whose last reading was implausible, one bit each

// Hand-over to the shutdown thread: a request is a flag, so none is lost
// and the caller never waits for a sequence under way. (Plain POSIX
// objects: they are never destroyed, not even at exit, while the thread
// may still wait on them.)
pthread_mutex_t shutdown_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t shutdown_wake = PTHREAD_COND_INITIALIZER;
bool shutdown_pending = false;

// Hand-over to the USB thread: ejections, and mounts and unmounts the
// refresh found due (they may take long on a real stick).
pthread_mutex_t usb_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t usb_wake = PTHREAD_COND_INITIALIZER;
bool media_check_pending = false;
bool eject_pending = false;

// Files for other programs (/tmp/camera_signal and the camera's texts and
// temperatures) are written by a thread of their own, so that a slow /tmp
// never holds the loop; the latest text of each file wins. (Never
// destroyed: the thread may still run while the process exits.)
pthread_mutex_t files_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t files_wake = PTHREAD_COND_INITIALIZER;
auto &files_pending = *new std::map<std::string, std::string>;

bool plausible(double value) { return std::isfinite(value) && value >= plausible_low && value <= plausible_high; }

// The first bytes of a file (sensor files, the release), up to limit,
// without blocking. A file in a shared place is refused unless it is a
// regular file, never read through a link.
bool read_prefix(const char *absolute, size_t limit, std::string *text, bool shared = true)
{
    text->clear();
    std::string path = vx4_path(absolute);
    int fd = shared ? vx4_open_for_reading(path) : open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    text->resize(limit);
    ssize_t got = read(fd, text->data(), limit);
    close(fd);
    text->resize(got > 0 ? static_cast<size_t>(got) : 0);
    return got >= 0;
}

bool file_holds_one(const char *absolute)
{
    std::string text;
    return vx4_read_small_file(vx4_path(absolute), 8, &text) == 0 && text == "1";
}

bool device_accessible() { return access(vx4_path(external_device).c_str(), R_OK | W_OK) == 0; }

void fill_rest_values(vx4_supervisor_values *values)
{
    memset(values, 0, sizeof *values);
    vx4_copy_text(values->battery, sizeof values->battery, "unknown");
    vx4_copy_text(values->battery_level, sizeof values->battery_level, "?");
    vx4_copy_text(values->usb_used, sizeof values->usb_used, "0%");
    vx4_copy_text(values->time_remaining, sizeof values->time_remaining, "0 MIN");
    vx4_copy_text(values->emmc_time, sizeof values->emmc_time, "00:00:00");
    vx4_copy_text(values->usb_time, sizeof values->usb_time, "00:00:00");
    vx4_copy_text(values->motor_type, sizeof values->motor_type, "none");
    values->board_temperature = NAN;
    for (float &core : values->core_temperature)
        core = NAN;
    values->processor_temperature = NAN;
    values->fpga_temperature = NAN;
    values->lens_temperature = NAN;
    values->cpu_temperature = NAN;
}

// Traces a sensor's reading when it turns implausible, once.
void check_plausible(unsigned bit, const char *what, double value)
{
    unsigned mask = 1u << bit;
    if (plausible(value)) {
        implausible_seen &= ~mask;
        return;
    }
    if (!(implausible_seen & mask))
        trace(TRACE_SUPERVISOR, "implausible %s %0.1f", what, value);
    implausible_seen |= mask;
}

void wake_shutdown()
{
    pthread_mutex_lock(&shutdown_lock);
    shutdown_pending = true;
    pthread_cond_signal(&shutdown_wake);
    pthread_mutex_unlock(&shutdown_lock);
}

void wake_usb(bool eject)
{
    pthread_mutex_lock(&usb_lock);
    (eject ? eject_pending : media_check_pending) = true;
    pthread_cond_signal(&usb_wake);
    pthread_mutex_unlock(&usb_lock);
}

void publish_file(const char *absolute, const char *text)
{
    pthread_mutex_lock(&files_lock);
    files_pending[absolute] = text;
    pthread_cond_signal(&files_wake);
    pthread_mutex_unlock(&files_lock);
}

void files_thread()
{
    std::map<std::string, std::string> writing;
    for (;;) {
        pthread_mutex_lock(&files_lock);
        while (files_pending.empty())
            pthread_cond_wait(&files_wake, &files_lock);
        writing.swap(files_pending);
        pthread_mutex_unlock(&files_lock);
        for (const auto &[path, text] : writing)
            vx4_write_state_file(path.c_str(), text.c_str());
        writing.clear();
    }
}

void on_battery(vx4_redis_result result, const char *text)
{
    battery_text = result == VX4_REDIS_NO_CONTEXT ? "unknown" : text;
    std::lock_guard<std::mutex> hold(lock);
    vx4_copy_text(record.battery, sizeof record.battery, battery_text.c_str());
}

void fill_storage(vx4_supervisor_values *next)
{
    next->update_available = updates_found;
    vx4_read_state_line("/tmp/vx4_update", next->update_status, sizeof next->update_status - 1);

    next->recording = vx4_get_recorder_recording() || file_holds_one("/tmp/recording");
    next->paused = vx4_get_recorder_paused() || file_holds_one("/tmp/paused");
    next->post_processing = vx4_get_recorder_post_processing();
    next->emmc_kb = vx4_get_recorder_emmc_kb();
    next->usb_kb = vx4_get_recorder_usb_kb();

    struct statvfs fs;
    unsigned char used = 0;  // percent
    if (statvfs(vx4_path(main_store).c_str(), &fs) == 0 && fs.f_blocks > 0 && fs.f_bfree <= fs.f_blocks)
        used = static_cast<unsigned char>(100 - fs.f_bfree * 100 / fs.f_blocks);
    snprintf(next->usb_used, sizeof next->usb_used, "%u%%", used);

    const char *status = eject_requested ? "eject pending"
                         : ext_ejected   ? "ejected"
                         : ext_mounted   ? "inserted"
                                         : "removed";
    vx4_copy_text(next->ext_usb_status, sizeof next->ext_usb_status, status);

    vx4_fill_supervisor_recording_times(next);
}

void fill_board(vx4_supervisor_values *next)
{
    vx4_power_board *board = power_board_instance;
    vx4_power_board_registers registers{};
    if (board) {
        vx4_power_board_load_registers(board, &registers);
        vx4_power_board_load_battery_level(board, next->battery_level, sizeof next->battery_level);
    } else {
        vx4_copy_text(next->battery_level, sizeof next->battery_level, "?");
    }

    auto clamp = [](float g) { return std::fmax(-1.0f, std::fmin(1.0f, g)); };
    float a0 = clamp(registers.pb_imu_accelerometer_0);
    float a1 = clamp(registers.pb_imu_accelerometer_1);
    float a2 = clamp(registers.pb_imu_accelerometer_2);
    double tilt = a0 == 0 && a2 == 0 ? (a1 > 0 ? 90.0 : -90.0)
                                     : std::atan(a1 / std::sqrt(a0 * a0 + a2 * a2)) * 180.0 / M_PI;
    snprintf(next->tilt_angle, sizeof next->tilt_angle, "%.0f\xC2\xB0", tilt);
    vx4_load_heading(registers.pb_imu_magnetometer_0, registers.pb_imu_magnetometer_1,
                     registers.pb_imu_magnetometer_2, next->direction, sizeof next->direction, a0, a1, a2);

    const char *motor = vx4_power_board_motor_type_text(registers.pb_motor_type);
    vx4_copy_text(next->motor_type, sizeof next->motor_type, motor);
    if (board && registers.pb_motor_type == 1)
        vx4_power_board_load_height(board, next->height, sizeof next->height);
    next->power = registers.pb_monitor_vin_power;
    next->board_temperature = registers.pb_bme280_temperature;
}

// Core temperatures; the processor's is the mean of the plausible ones.
void fill_cores(vx4_supervisor_values *next)
{
    double sum = 0;
    int counted = 0;
    for (int core = 0; core < 4; ++core) {
        char path[96];
        snprintf(path, sizeof path, core_file, core + 2);
        std::string text;
        double value = 0;  // a missing sensor reads 0
        if (read_prefix(path, 31, &text)) {
            char *end = nullptr;
            long millidegrees = strtol(text.c_str(), &end, 10);
            bool number = end != text.c_str() && (*end == '\0' || *end == '\n');
            value = number ? millidegrees * 0.001 : NAN;
        }
        next->core_temperature[core] = static_cast<float>(value);
        char what[16];
        snprintf(what, sizeof what, "core%d temp", core);
        check_plausible(static_cast<unsigned>(1 + core), what, value);
        if (plausible(value)) {
            sum += value;
            ++counted;
        }
    }
    next->processor_temperature = counted ? static_cast<float>(sum / counted) : NAN;
}

// Cold flags and heat levels; true when the head must shut down.
bool judge_temperatures(vx4_supervisor_values *next, const double camera[3], const bool camera_valid[3])
{
    double board = next->board_temperature, processor = next->processor_temperature;
    bool minus5 = !(board >= -5) || !(processor >= -5);  // a value that is not a number counts
    bool zero = !(board >= 0) || !(processor >= 0);
    bool camera_hot = false, camera_warm = false, camera_shutdown = false;
    for (int i = 0; i < 3; ++i) {
        if (!camera_valid[i])
            continue;
        minus5 |= camera[i] < -5;
        zero |= camera[i] < 0;
        camera_shutdown |= camera[i] > shutdown_level;
        camera_hot |= camera[i] > hot_level;
        camera_warm |= camera[i] > warm_level;
    }
    next->below_minus5 = minus5;
    next->below_zero = zero;
    if (camera_shutdown)
        trace(TRACE_SUPERVISOR, "camera temp shutdown %0.1f %0.1f %0.1f", camera[0], camera[1], camera[2]);

    check_plausible(0, "board temp", board);
    double b = plausible(board) ? board : NAN;
    double p = processor;  // the mean of plausible cores only
    bool shutdown = false;
    // Only plausible readings go into the statistics.
    if (plausible(processor))
        vx4_report_logger_up_temperature(processor);
    if (plausible(board))
        vx4_report_logger_psb_temperature(board);
    if (b > shutdown_level || p > shutdown_level) {
        next->warm = next->hot = next->overheat = 1;
        trace(TRACE_SUPERVISOR, "temp shutdown %0.1f %0.1f", board, processor);
        shutdown = true;
    } else if (b > hot_level || p > hot_level || camera_hot) {
        next->warm = next->hot = 1;
    } else if (b > warm_level || p > warm_level || camera_warm) {
        next->warm = 1;
    }
    if (next->warm)
        vx4_report_logger_high_temperature_warning();  // once a second while it lasts
    return shutdown;
}

void refresh(struct ev_loop *, ev_timer *, int)
{
    vx4_supervisor_values next;
    fill_rest_values(&next);
    vx4_copy_text(next.version, sizeof next.version, version.c_str());
    vx4_copy_text(next.battery, sizeof next.battery, battery_text.c_str());
    vx4_supervisor_redis_get_async(loop, "vx4-battery", on_battery);

    fill_board(&next);
    fill_storage(&next);
    fill_cores(&next);
    double camera[3];
    bool camera_valid[3];
    {
        std::lock_guard<std::mutex> hold(lock);
        memcpy(camera, camera_temperature, sizeof camera);
        memcpy(camera_valid, camera_temperature_valid, sizeof camera_valid);
    }
    bool shutdown = judge_temperatures(&next, camera, camera_valid);
    {
        std::lock_guard<std::mutex> hold(lock);
        record = next;
    }

    // The stick: mounts and unmounts run on the USB thread.
    bool accessible = device_accessible();
    if (accessible ? (!ext_mounted && !ext_ejected) : (ext_ejected || (ext_mounted && !eject_requested)))
        wake_usb(false);

    // Announced in the trace and the record before the sequence starts.
    if (shutdown) {
        trace(TRACE_SUPERVISOR, "need shutdown");
        temperature_shutdown = 1;
        shutdown_mode = 1;
        wake_shutdown();
    }
}

void on_ping(bool answered)
{
    camera_signal = answered ? 1 : 0;
    publish_file("/tmp/camera_signal", answered ? "0" : "1");
}

void ping(struct ev_loop *, ev_timer *, int)
{
    vx4_start_camera_ping(loop, vx4_platform().camera_ping_host.c_str(), on_ping);
}

void on_encoder(const vx4_encoder_status &status)
{
    const double found[3] = {status.temperatures.fpga, status.temperatures.lens, status.temperatures.cpu};
    bool valid[3];
    static void (*const report[3])(double) = {vx4_report_logger_camera_fpga_temperature,
                                              vx4_report_logger_camera_lens_temperature,
                                              vx4_report_logger_camera_cpu_temperature};
    static void (*const report_invalid[3])() = {vx4_report_logger_invalid_camera_fpga_temperature,
                                                vx4_report_logger_invalid_camera_lens_temperature,
                                                vx4_report_logger_invalid_camera_cpu_temperature};
    for (int i = 0; i < 3; ++i) {
        valid[i] = plausible(found[i]);
        if (valid[i])
            report[i](found[i]);
        else if (!std::isnan(found[i]))
            report_invalid[i]();  // kept for the record, but not valid
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        vx4_copy_text(channel_text[0], sizeof channel_text[0], status.channel_1);
        vx4_copy_text(channel_text[1], sizeof channel_text[1], status.channel_2);
        memcpy(camera_temperature, found, sizeof camera_temperature);
        memcpy(camera_temperature_valid, valid, sizeof camera_temperature_valid);
    }
    publish_file("/tmp/channel_1_status", status.channel_1);
    publish_file("/tmp/channel_2_status", status.channel_2);
    const char *const files[3] = {"/tmp/fpga_temp", "/tmp/lens_temp", "/tmp/cpu_temp"};
    for (int i = 0; i < 3; ++i) {
        char text[32];
        snprintf(text, sizeof text, "%.2f", found[i]);
        publish_file(files[i], text);
    }
}

void poll_encoder(struct ev_loop *, ev_timer *, int)
{
    const vx4_platform_config &platform = vx4_platform();
    vx4_start_encoder_poll(loop, platform.camera_host.c_str(), platform.camera_http_port, on_encoder);
}

// The requests in flight of the stick's disk: the ninth number of its stat
// file; false when it cannot be read.
bool disk_in_flight(long *requests)
{
    std::string text;
    if (!read_prefix(disk_stat, 127, &text))
        return false;
    const char *at = text.c_str();
    for (int field = 0; field < 9; ++field) {
        char *end = nullptr;
        long value = strtol(at, &end, 10);
        if (end == at)
            return false;
        *requests = value;
        at = end;
    }
    return true;
}

void unmount_pulled()
{
    if (vx4_umount(external_mount) == 0) {
        trace(TRACE_SUPERVISOR, "usb out");
        ext_mounted = 0;
        updates_found = 0;
    } else {
        trace(TRACE_SUPERVISOR, "umount %d %d", -1, errno);
    }
}

void check_media()
{
    if (!device_accessible()) {
        ext_ejected = 0;
        if (ext_mounted && !eject_requested)
            unmount_pulled();
        return;
    }
    if (ext_mounted || ext_ejected)
        return;
    mkdir(vx4_path(external_mount).c_str(), 0755);  // the mount point, where it is missing
    if (vx4_mount(external_device, external_mount, "vfat", 0, nullptr) != 0) {
        trace(TRACE_SUPERVISOR, "mount %d %d", -1, errno);
        return;
    }
    trace(TRACE_SUPERVISOR, "usb in");
    ext_mounted = 1;
    int software = vx4_get_installer_software_update_available(nullptr, 0);
    int firmware = vx4_get_installer_firmware_update_available(nullptr, 0);
    int camera = vx4_get_installer_camera_update_available(nullptr, 0);
    trace(TRACE_SUPERVISOR, "update %d %d %d", software, firmware, camera);
    updates_found = software || firmware || camera;
    vx4_check_logger_reset();
}

void eject()
{
    trace(TRACE_SUPERVISOR, "usb eject begin");
    while (ext_mounted) {
        // A stick pulled while it waits for its I/O is gone: unmount it.
        if (!device_accessible()) {
            eject_requested = 0;
            unmount_pulled();
            continue;
        }
        long requests;
        if (disk_in_flight(&requests)) {
            trace(TRACE_SUPERVISOR, "io %ld", requests);
            if (requests == 0) {
                trace(TRACE_SUPERVISOR, "umount start");
                if (vx4_umount(external_mount) == 0) {
                    trace(TRACE_SUPERVISOR, "usb ejected");
                    ext_ejected = 1;
                    eject_requested = 0;
                    ext_mounted = 0;
                    updates_found = 0;
                    break;
                }
                trace(TRACE_SUPERVISOR, "eject umount %d %d", -1, errno);
            }
        }
        std::this_thread::sleep_for(1s);
    }
    eject_requested = 0;
    std::this_thread::sleep_for(1s);
    trace(TRACE_SUPERVISOR, "usb eject end");
}

void usb_thread()
{
    for (;;) {
        pthread_mutex_lock(&usb_lock);
        while (!eject_pending && !media_check_pending)
            pthread_cond_wait(&usb_wake, &usb_lock);
        bool ejecting = eject_pending, checking = media_check_pending;
        eject_pending = media_check_pending = false;
        pthread_mutex_unlock(&usb_lock);
        if (ejecting)
            eject();
        if (checking)
            check_media();
    }
}

// Stops a recording and waits for its post-processing, unless the head is
// too hot to wait for the copy.
void stop_recording()
{
    if (vx4_get_recorder_paused()) {
        trace(TRACE_SUPERVISOR, "resume recording");
        vx4_resume_recorder();
    }
    if (!vx4_get_recorder_recording())
        return;
    trace(TRACE_SUPERVISOR, "stop recording");
    vx4_stop_recorder();
    for (int i = 0; i < 150 && vx4_get_recorder_post_processing() == 0; ++i)
        std::this_thread::sleep_for(10ms);
    for (int i = 0; i < 14400 && vx4_get_recorder_post_processing() != 0; ++i) {
        if (temperature_shutdown) {
            trace(TRACE_SUPERVISOR, "temperature, skip post");
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
}

void shutdown_sequence()
{
    trace(TRACE_SUPERVISOR, "shutdown begin");
    stop_recording();
    vx4_power_board *board = power_board_instance;
    trace(TRACE_SUPERVISOR, "camera off");
    if (board)
        vx4_power_board_disable_camera_power(board);
    std::this_thread::sleep_for(100ms);
    trace(TRACE_SUPERVISOR, "shutdown end");
    std::this_thread::sleep_for(500ms);
    if (shutdown_mode == 2 && !temperature_shutdown) {
        trace(TRACE_SUPERVISOR, "cl reboot");
        std::this_thread::sleep_for(50ms);
        int result = vx4_reboot();
        if (result != 0)
            trace(TRACE_SUPERVISOR, "reboot fail %d", result);
        return;
    }
    if (board && vx4_power_board_get_board_type(board) != 0) {
        vx4_power_board_signal_shutdown(board);
        std::this_thread::sleep_for(500ms);
    }
    trace(TRACE_SUPERVISOR, "cl shutdown");
    std::this_thread::sleep_for(50ms);
    int result = vx4_power_off();
    if (result != 0)
        trace(TRACE_SUPERVISOR, "shutdown fail %d", result);
}

void shutdown_thread()
{
    for (;;) {
        pthread_mutex_lock(&shutdown_lock);
        while (!shutdown_pending)
            pthread_cond_wait(&shutdown_wake, &shutdown_lock);
        shutdown_pending = false;
        pthread_mutex_unlock(&shutdown_lock);
        shutdown_sequence();
    }
}

// Redis text for the load functions: "unknown" unless the server holds text.
void load_redis(const char *key, char *buffer, size_t size)
{
    std::string value;
    if (vx4_supervisor_redis_get(key, &value) != VX4_REDIS_TEXT || value.empty())
        value = "unknown";
    vx4_copy_text(buffer, size, value.c_str());
}

// The new /config/system.json: the identity keys of the old one and the
// battery. An old file that exists but cannot be read as JSON is left as it
// is (nothing is written), so its model and serial number are never lost.
int store_battery_in_config(const char *type)
{
    std::string text;
    json_object *old = nullptr;
    if (vx4_read_small_file(vx4_path(config_file), 65536, &text) == 0) {
        old = json_tokener_parse(text.c_str());
        if (!old || !json_object_is_type(old, json_type_object)) {
            json_object_put(old);
            return -1;
        }
    } else if (errno != ENOENT) {
        return -1;
    }
    json_object *config = json_object_new_object();
    for (const char *key : {"model_number", "model_name", "serial_number"}) {
        json_object *value;
        if (old && json_object_object_get_ex(old, key, &value))
            json_object_object_add(config, key, json_object_get(value));
    }
    json_object_object_add(config, "battery", json_object_new_string(type));
    int result = vx4_write_json_file(config_file, config, VX4_REPLACE_SYNC);
    json_object_put(config);
    json_object_put(old);
    return result;
}

}  // namespace

void vx4_fill_supervisor_recording_times(vx4_supervisor_values *values)
{
    auto seconds = [](int64_t kb) { return kb > 0 ? kb / kb_per_second : 0; };
    auto clock_text = [](int64_t s, char *out, size_t size) {
        snprintf(out, size, "%02d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                 static_cast<int>(s % 60));
    };
    int64_t emmc_seconds = seconds(values->emmc_kb), usb_seconds = seconds(values->usb_kb);
    clock_text(emmc_seconds, values->emmc_time, sizeof values->emmc_time);
    clock_text(usb_seconds, values->usb_time, sizeof values->usb_time);
    if (values->post_processing)
        snprintf(values->time_remaining, sizeof values->time_remaining, "%d %%", values->post_processing);
    else
        snprintf(values->time_remaining, sizeof values->time_remaining, "%d MIN",
                 static_cast<int>(std::min(emmc_seconds, usb_seconds) / 60));
}

void vx4_init_supervisor(int)
{
    if (initialised)
        return;
    std::string text;
    version = read_prefix(release_file, 255, &text, false) ? text : "";
    {
        std::lock_guard<std::mutex> hold(lock);
        fill_rest_values(&record);
        vx4_copy_text(record.version, sizeof record.version, version.c_str());
        for (int i = 0; i < 3; ++i) {
            camera_temperature[i] = NAN;
            camera_temperature_valid[i] = false;
        }
        vx4_copy_text(channel_text[0], sizeof channel_text[0], VX4_NO_STREAM);
        vx4_copy_text(channel_text[1], sizeof channel_text[1], VX4_NO_STREAM);
    }
    camera_signal = ext_mounted = ext_ejected = eject_requested = updates_found = 0;
    temperature_shutdown = shutdown_mode = 0;

    loop = ev_default_loop(0);
    ev_timer_init(&refresh_timer, refresh, refresh_period, refresh_period);
    ev_timer_init(&ping_timer, ping, ping_period, ping_period);
    ev_timer_init(&poll_timer, poll_encoder, poll_period, poll_period);
    ev_timer_start(loop, &refresh_timer);
    ev_timer_start(loop, &ping_timer);
    ev_timer_start(loop, &poll_timer);
    std::thread(shutdown_thread).detach();
    std::thread(usb_thread).detach();
    std::thread(files_thread).detach();
    initialised = true;
}

void vx4_load_supervisor_values(vx4_supervisor_values *values)
{
    if (!initialised) {
        fill_rest_values(values);
        return;
    }
    std::lock_guard<std::mutex> hold(lock);
    *values = record;
    values->camera_signal = camera_signal;
    values->fpga_temperature = static_cast<float>(camera_temperature[0]);
    values->lens_temperature = static_cast<float>(camera_temperature[1]);
    values->cpu_temperature = static_cast<float>(camera_temperature[2]);
    vx4_copy_text(values->channel_1, sizeof values->channel_1, channel_text[0]);
    vx4_copy_text(values->channel_2, sizeof values->channel_2, channel_text[1]);
}

void vx4_load_supervisor_software_version(char *buffer, size_t size)
{
    vx4_copy_text(buffer, size, initialised ? version.c_str() : "");
}

void vx4_load_supervisor_firmware_version(char *buffer, size_t size)
{
    vx4_power_board_registers registers{};
    if (vx4_power_board *board = power_board_instance)
        vx4_power_board_load_registers(board, &registers);
    if (buffer && size)
        snprintf(buffer, size, "%02d.%02d", registers.pb_board_revision, registers.pb_build_number);
}

void vx4_load_supervisor_camera_version(char *buffer, size_t size)
{
    visca_camera *camera = visca_thread_data.camera;
    if (!camera || !camera->connection) {
        vx4_copy_text(buffer, size, "");
        return;
    }
    if (buffer && size)
        snprintf(buffer, size, "%04X", static_cast<unsigned>(camera->rom_version.load()) & 0xFFFF);
}

void vx4_load_supervisor_model_name(char *buffer, size_t size) { load_redis("vx4-model-name", buffer, size); }

void vx4_load_supervisor_serial_number(char *buffer, size_t size) { load_redis("vx4-serial-number", buffer, size); }

void vx4_load_supervisor_battery_type(char *buffer, size_t size) { load_redis("vx4-battery", buffer, size); }

void vx4_load_supervisor_battery_voltage(char *buffer, size_t size)
{
    vx4_power_board_registers registers{};
    vx4_power_board *board = power_board_instance;
    if (board)
        vx4_power_board_load_registers(board, &registers);
    if (!board || !(registers.pb_status & VX4_PB_STATUS_VARIANT)) {
        vx4_copy_text(buffer, size, "? V");
        return;
    }
    if (buffer && size)
        snprintf(buffer, size, "%.1f V", static_cast<double>(registers.pb_monitor_vin_volts));
}

void vx4_load_supervisor_direction(char *buffer, size_t size)
{
    if (!initialised) {
        vx4_copy_text(buffer, size, "??");
        return;
    }
    std::lock_guard<std::mutex> hold(lock);
    vx4_copy_text(buffer, size, record.direction);
}

int vx4_set_supervisor_battery_type(const char *type)
{
    if (!type || (strcmp(type, "Dewalt") != 0 && strcmp(type, "Indipro") != 0))
        return -1;
    static std::mutex config_lock;  // one rewrite of the file at a time
    std::lock_guard<std::mutex> hold(config_lock);
    std::string reply;
    int result = vx4_supervisor_redis_set("vx4-battery", type, &reply);
    trace(TRACE_SUPERVISOR, "db reply '%s'", reply.c_str());
    trace(TRACE_SUPERVISOR, "config stored %d", store_battery_in_config(type));
    return result;
}

int vx4_request_supervisor_eject()
{
    if (!ext_mounted)
        return -1;
    eject_requested = 1;
    wake_usb(true);
    return 1;
}

int vx4_is_external_usb_mounted() { return ext_mounted && !eject_requested ? 1 : 0; }

void vx4_trigger_supervisor_shutdown(int mode)
{
    if (mode == 1)
        temperature_shutdown = 1;
    shutdown_mode = mode;
    wake_shutdown();
}
