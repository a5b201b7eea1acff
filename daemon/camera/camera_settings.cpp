#include "camera/camera_settings.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>
#include <thread>

#include "camera/visca_commands.h"
#include "camera/visca_connection.h"
#include "core/settings.h"
#include "core/trace.h"

namespace {

using namespace std::chrono_literals;

// ---- options ----

using camera_command = int (*)(visca_camera *camera);

constexpr const char *switch_texts[] = {"off", "on"};
constexpr const char *sensitivity_texts[] = {"normal", "high"};
constexpr const char *ir_filter_texts[] = {"off", "on", "auto"};
constexpr const char *defog_texts[] = {"off", "low", "mid", "high"};

struct camera_option {
    int item;  // in the settings store
    std::span<const char *const> texts;
    // Written by the API thread, read by the camera settings thread.
    std::atomic<int32_t> value{0};
};

camera_option invert_image{NV_CAMERA_INVERT_IMAGE, switch_texts};
camera_option image_stabilizer{NV_CAMERA_STABILIZE_IMAGE, switch_texts};
camera_option sensitivity{NV_CAMERA_SENSITIVITY, sensitivity_texts};
camera_option ir_filter{NV_CAMERA_IR_FILTER, ir_filter_texts};
camera_option defog{NV_CAMERA_DEFOG, defog_texts};

void load_option(const camera_option &option, char *text, size_t size)
{
    if (size == 0)
        return;
    int32_t value = option.value;
    // A stored value no text stands for reads as the first.
    const char *shown = value >= 0 && static_cast<size_t>(value) < option.texts.size() ? option.texts[value]
                                                                                       : option.texts[0];
    snprintf(text, size, "%s", shown);
}

int index_of(const camera_option &option, const char *text)
{
    for (size_t i = 0; text && i < option.texts.size(); ++i)
        if (strcmp(text, option.texts[i]) == 0)
            return static_cast<int>(i);
    return -1;
}

void store(camera_option &option, int32_t value)
{
    option.value = value;
    vx4_write_nv(option.item, &value, sizeof value);
}

int send_invert_image(visca_camera *camera, int32_t value)
{
    return value == 1 ? visca_camera_picture_flip_on(camera) : visca_camera_picture_flip_off(camera);
}

int send_image_stabilizer(visca_camera *camera, int32_t value)
{
    return value == 1 ? visca_camera_stabilizer_on(camera) : visca_camera_stabilizer_off(camera);
}

int send_sensitivity(visca_camera *camera, int32_t value)
{
    return value == 1 ? visca_camera_high_sensitivity_on(camera) : visca_camera_high_sensitivity_off(camera);
}

int send_defog(visca_camera *camera, int32_t value)
{
    return value >= 1 && value <= 3 ? visca_camera_defog_level(camera, value) : visca_camera_defog_off(camera);
}

// Setters of the options the camera takes at once.
int set_option(camera_option &option, const char *text, int (*send)(visca_camera *, int32_t))
{
    int value = index_of(option, text);
    if (value < 0)
        return -1;
    if (value == option.value)
        return 0;
    visca_camera *camera = visca_thread_data.camera;
    if (!camera)
        return -1;
    // Not sent when the link is down: the options go again once it is back.
    send(camera, value);
    store(option, value);
    return 0;
}

// ---- the camera settings thread ----

struct settings_requests {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t condition = PTHREAD_COND_INITIALIZER;  // on the monotonic clock once vx4_init_camera ran
    bool power_up = false;
    bool controller_defaults = false;
    bool ir_filter = false;
};

settings_requests requests;
int power_up_wait_seconds = 90;
// The link whose camera has been given the options (settings thread only).
uint32_t applied_connects = 0;

bool camera_connected() { return visca_connection_is_connected(visca_thread_data.connection) != 0; }

// Retries until the camera takes the command: a missing camera is waited
// for in 250 ms steps, a refusal (link down, queue full) in 5 ms steps.
template <typename Send>
void queue_with_retry(Send send)
{
    for (;;) {
        visca_camera *camera = visca_thread_data.camera;
        if (!camera) {
            std::this_thread::sleep_for(250ms);
            continue;
        }
        if (send(camera) == 0)
            return;
        std::this_thread::sleep_for(5ms);
    }
}

void queue_with_retry(camera_command command)
{
    queue_with_retry([command](visca_camera *camera) { return command(camera); });
}

void apply_ir_filter()
{
    int32_t value = ir_filter.value;
    trace(TRACE_CAMERA, "ir filter %d", value);
    switch (value) {
    case 0:
        trace(TRACE_CAMERA, "auto icr off");
        queue_with_retry(visca_camera_auto_icr_off);
        trace(TRACE_CAMERA, "icr off");
        queue_with_retry(visca_camera_icr_off);
        break;
    case 1:
        trace(TRACE_CAMERA, "auto icr off");
        queue_with_retry(visca_camera_auto_icr_off);
        trace(TRACE_CAMERA, "icr on");
        queue_with_retry(visca_camera_icr_on);
        break;
    case 2:
        trace(TRACE_CAMERA, "icr off");
        queue_with_retry(visca_camera_icr_off);
        trace(TRACE_CAMERA, "auto icr on");
        queue_with_retry(visca_camera_auto_icr_on);
        break;
    default:
        break;
    }
}

void apply_option(const char *message, const camera_option &option, int (*send)(visca_camera *, int32_t))
{
    int32_t value = option.value;
    trace(TRACE_CAMERA, message, value);
    queue_with_retry([send, value](visca_camera *camera) { return send(camera, value); });
}

// The five options, as the camera module forgets them at power-up.
void apply_options()
{
    applied_connects = visca_thread_data.connects;
    apply_option("invert image %d", invert_image, send_invert_image);
    apply_option("stabilize image %d", image_stabilizer, send_image_stabilizer);
    apply_option("sensitivity %d", sensitivity, send_sensitivity);
    apply_ir_filter();
    apply_option("defog %d", defog, send_defog);
}

void zoom_to_wide_and_settle()
{
    trace(TRACE_CAMERA, "zoom direct %d", 0);
    queue_with_retry([](visca_camera *camera) { return visca_camera_zoom_direct(camera, 0); });
    int previous = 0;
    for (;;) {
        visca_camera *camera = visca_thread_data.camera;
        if (!camera)
            return;
        int zoom = camera->zoom_position;
        trace(TRACE_CAMERA, "zoom actual %d", zoom);
        if (zoom == 0 || zoom == previous) {
            trace(TRACE_CAMERA, "zoom done");
            return;
        }
        previous = zoom;
        std::this_thread::sleep_for(250ms);
    }
}

void auto_focus_and_exposure()
{
    trace(TRACE_CAMERA, "auto focus");
    queue_with_retry(visca_camera_auto_focus);
    trace(TRACE_CAMERA, "auto exposure");
    queue_with_retry(visca_camera_exposure_mode_auto);
}

void power_up()
{
    trace(TRACE_CAMERA, "power up defaults");
    for (int count = 1; !camera_connected(); ++count) {
        trace(TRACE_CAMERA, "power up wait %d", count);
        if (count >= power_up_wait_seconds)
            return;
        std::this_thread::sleep_for(1s);
    }
    trace(TRACE_CAMERA, "power up set");
    zoom_to_wide_and_settle();
    auto_focus_and_exposure();
    apply_options();
}

// A link made since the options were last given: the camera may have been
// power cycled meanwhile, or an option changed while it was away.
bool options_outdated() { return camera_connected() && visca_thread_data.connects != applied_connects; }

void wait_for_request()
{
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += 250000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    pthread_cond_timedwait(&requests.condition, &requests.mutex, &until);
}

// Runs the requests one after the other. The mutex is released while a
// sequence runs, so that a setter never waits for the camera.
void *settings_thread(void *)
{
    pthread_mutex_lock(&requests.mutex);
    for (;;) {
        if (!requests.power_up && !requests.controller_defaults && !requests.ir_filter && !options_outdated())
            wait_for_request();
        bool run_power_up = requests.power_up;
        bool run_defaults = requests.controller_defaults;
        bool run_ir_filter = requests.ir_filter;
        requests.power_up = requests.controller_defaults = requests.ir_filter = false;
        pthread_mutex_unlock(&requests.mutex);
        if (run_power_up)
            power_up();
        if (run_defaults) {
            zoom_to_wide_and_settle();
            auto_focus_and_exposure();
        }
        if (run_ir_filter)
            apply_ir_filter();
        if (options_outdated()) {
            trace(TRACE_CAMERA, "reconnect set");
            apply_options();
        }
        pthread_mutex_lock(&requests.mutex);
    }
    return nullptr;
}

void request(bool settings_requests::*flag)
{
    pthread_mutex_lock(&requests.mutex);
    requests.*flag = true;
    pthread_cond_signal(&requests.condition);
    pthread_mutex_unlock(&requests.mutex);
}

int32_t read_option(int item)
{
    int32_t value = 0;
    vx4_read_nv(item, &value, sizeof value);
    return value;
}

// ---- zoom magnification ----

struct zoom_step {
    float magnification;
    int position;
};

// From the tele end (digital zoom) to the wide end, then the end marker.
constexpr zoom_step zoom_steps[] = {
    {360, 31424}, {330, 31232}, {300, 31104}, {270, 30912}, {240, 30720}, {210, 30400}, {180, 30016},
    {150, 29440}, {120, 28672}, {90, 27264},  {60, 24576},  {30, 16384},  {29, 16348},  {28, 16310},
    {27, 16266},  {26, 16215},  {25, 16158},  {24, 16092},  {23, 16016},  {22, 15929},  {21, 15828},
    {20, 15712},  {19, 15580},  {18, 15430},  {17, 15260},  {16, 15069},  {15, 14858},  {14, 14624},
    {13, 14368},  {12, 14089},  {11, 13783},  {10, 13446},  {9, 13069},   {8, 12641},   {7, 12141},
    {6, 11539},   {5, 10781},   {4, 9768},    {3, 8291},    {2, 5793},    {1, 0},       {0, -1},
};

float magnification_at(int zoom)
{
    if (zoom >= zoom_steps[0].position)
        return zoom_steps[0].magnification;
    for (size_t i = 1; zoom_steps[i].position >= 0; ++i) {
        const zoom_step &step = zoom_steps[i];
        if (step.position > zoom)
            continue;
        // The optical wide range is interpolated; the tele and digital
        // steps are shown as they stand.
        if (step.magnification >= 10)
            return step.magnification;
        const zoom_step &previous = zoom_steps[i - 1];
        return step.magnification + (previous.magnification - step.magnification) *
                                        static_cast<float>(zoom - step.position) /
                                        static_cast<float>(previous.position - step.position);
    }
    return 0;
}

}  // namespace

void vx4_init_camera(int power_up_wait_s)
{
    invert_image.value = read_option(NV_CAMERA_INVERT_IMAGE);
    image_stabilizer.value = read_option(NV_CAMERA_STABILIZE_IMAGE);
    sensitivity.value = read_option(NV_CAMERA_SENSITIVITY);
    ir_filter.value = read_option(NV_CAMERA_IR_FILTER);
    defog.value = read_option(NV_CAMERA_DEFOG);
    power_up_wait_seconds = power_up_wait_s;

    // Never destroyed: the thread may wait on them while the process exits.
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&requests.condition, &attributes);
    pthread_condattr_destroy(&attributes);
    // Asked before the thread starts, so that the power-up comes first.
    requests.power_up = true;
    requests.controller_defaults = requests.ir_filter = false;

    pthread_t thread;
    int error = pthread_create(&thread, nullptr, settings_thread, nullptr);
    if (error == 0)
        pthread_detach(thread);
    else
        fprintf(stderr, "%s: pthread_create() failed at line %d: %s\n", program_invocation_name, __LINE__,
                strerror(error));
}

void vx4_set_controller_defaults() { request(&settings_requests::controller_defaults); }

void vx4_load_camera_invert_image(char *text, size_t size) { load_option(invert_image, text, size); }
void vx4_load_camera_image_stabilizer(char *text, size_t size) { load_option(image_stabilizer, text, size); }
void vx4_load_camera_sensitivity(char *text, size_t size) { load_option(sensitivity, text, size); }
void vx4_load_camera_ir_filter(char *text, size_t size) { load_option(ir_filter, text, size); }
void vx4_load_camera_defog(char *text, size_t size) { load_option(defog, text, size); }

int vx4_set_camera_invert_image(const char *text) { return set_option(invert_image, text, send_invert_image); }

int vx4_set_camera_image_stabilizer(const char *text)
{
    return set_option(image_stabilizer, text, send_image_stabilizer);
}

int vx4_set_camera_sensitivity(const char *text) { return set_option(sensitivity, text, send_sensitivity); }

int vx4_set_camera_defog(const char *text) { return set_option(defog, text, send_defog); }

int vx4_set_camera_ir_filter(const char *text)
{
    int value = index_of(ir_filter, text);
    if (value < 0)
        return -1;
    if (value == ir_filter.value)
        return 0;
    store(ir_filter, value);
    request(&settings_requests::ir_filter);
    return 0;
}

int vx4_load_camera_zoom_values(int *zoom_position, float *magnification, char *text, int text_size)
{
    visca_camera *camera = visca_thread_data.camera;
    int zoom = camera ? camera->zoom_position.load() : -1;
    if (zoom_position)
        *zoom_position = zoom;
    if (!magnification && !text)
        return 0;
    float value = magnification_at(zoom);
    if (magnification)
        *magnification = value;
    if (text && text_size > 0) {
        char formatted[32];
        if (value == 0)
            strcpy(formatted, "?");
        else
            snprintf(formatted, sizeof formatted, value >= 9.95f ? "%.0fx" : "%.1fx", static_cast<double>(value));
        strncpy(text, formatted, static_cast<size_t>(text_size - 1));
        text[text_size - 1] = '\0';
    }
    return 0;
}
