#include "camera/motion_loops.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "camera/visca_commands.h"
#include "camera/visca_connection.h"
#include "core/state_files.h"
#include "core/trace.h"
#include "power_board/lights.h"

namespace {

constexpr int tick_ms = 5;

struct camera_drive;

// One loop: its own step, and the hand-over between the API thread and the
// loop's thread. The loop's thread holds the start mutex for the whole of a
// movement, so a start made while a movement is finishing waits until it is
// idle again. Plain POSIX objects: they are never destroyed, so the process
// can exit while the thread waits on them.
struct motion_loop {
    int category;  // trace
    int step_interval_ms;
    const camera_drive *drive;  // zoom and focus
    void (*begin)(motion_loop &loop, int direction);
    void (*step)(motion_loop &loop, int direction);
    void (*end)(motion_loop &loop);
    pthread_mutex_t start_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t start_condition = PTHREAD_COND_INITIALIZER;
    pthread_mutex_t time_mutex = PTHREAD_MUTEX_INITIALIZER;
    int direction = 0;  // under the time mutex
    int remaining_ms = 0;
    // The movement under way, on the loop's thread.
    int elapsed_ms = 0;  // since its start, up to 6 s
    long start_speed = 0;
};

class hold_lock {
public:
    explicit hold_lock(pthread_mutex_t &mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~hold_lock() { pthread_mutex_unlock(&mutex_); }
    hold_lock(const hold_lock &) = delete;
    hold_lock &operator=(const hold_lock &) = delete;

private:
    pthread_mutex_t &mutex_;
};

void sleep_tick()
{
    timespec left{0, tick_ms * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// The common tick: counts the hold time down; false once the movement ends.
bool tick(motion_loop &loop)
{
    {
        hold_lock hold(loop.time_mutex);
        if (loop.remaining_ms > 0) {
            loop.remaining_ms -= tick_ms;
            if (loop.remaining_ms < 1)
                loop.direction = 0;
        } else {
            loop.direction = 0;
        }
        if (loop.direction == 0)
            return false;
    }
    sleep_tick();
    return true;
}

int direction_of(motion_loop &loop)
{
    hold_lock hold(loop.time_mutex);
    return loop.direction;
}

// The loop's thread, holding the start mutex: waits for a movement.
void wait_for_start(motion_loop &loop)
{
    while (direction_of(loop) == 0)
        pthread_cond_wait(&loop.start_condition, &loop.start_mutex);
}

int trigger(motion_loop &loop, int direction, int hold_ms)
{
    if (direction == 0)
        return 0;
    {
        hold_lock hold(loop.time_mutex);
        if (loop.direction != 0) {
            if ((loop.direction > 0) != (direction > 0))
                return 0;
            // Replaced, not added.
            loop.remaining_ms = hold_ms;
            return 1;
        }
    }
    // Idle, or the movement has just ended: a new one.
    hold_lock start(loop.start_mutex);
    {
        hold_lock hold(loop.time_mutex);
        loop.direction = direction;
        loop.remaining_ms = hold_ms;
    }
    pthread_cond_signal(&loop.start_condition);
    return 1;
}

void stop(motion_loop &loop)
{
    {
        hold_lock hold(loop.time_mutex);
        loop.direction = 0;
    }
    hold_lock start(loop.start_mutex);
}

// ---- the loops' own steps ----

constexpr int elapsed_cap_ms = 6000;
constexpr int camera_step_interval_ms = 2000;
constexpr int intensity_step_interval_ms = 250;
constexpr int fastest_speed = 7;

// What a zoom or focus loop drives on the camera.
struct camera_drive {
    const char *speed_file;
    int (*up)(visca_camera *camera, int speed);
    int (*down)(visca_camera *camera, int speed);
    int (*stop)(visca_camera *camera);
};

const camera_drive zoom_drive = {"/tmp/zoom_speed", visca_camera_zoom_tele_variable,
                                 visca_camera_zoom_wide_variable, visca_camera_zoom_stop};
const camera_drive focus_drive = {"/tmp/focus_speed", visca_camera_focus_far_variable,
                                  visca_camera_focus_near_variable, visca_camera_focus_stop};

// Speeds outside what the camera knows are sent as the nearest it knows.
void drive_camera(const camera_drive &drive, int direction, long speed)
{
    visca_camera *camera = visca_thread_data.camera;
    if (!camera)
        return;
    int sent = static_cast<int>(speed < 0 ? 0 : speed > fastest_speed ? fastest_speed : speed);
    if (direction > 0)
        drive.up(camera, sent);
    else
        drive.down(camera, sent);
}

void camera_begin(motion_loop &loop, int direction)
{
    if (!vx4_read_state_number(loop.drive->speed_file, 14, &loop.start_speed))
        loop.start_speed = -1;
    trace(loop.category, "start %ld", loop.start_speed);
    drive_camera(*loop.drive, direction, loop.start_speed);
}

// One speed faster, up to the fastest; the file follows.
void camera_step(motion_loop &loop, int direction)
{
    long speed;
    if (!vx4_read_state_number(loop.drive->speed_file, 14, &speed) || speed >= fastest_speed ||
        !visca_thread_data.camera)
        return;
    trace(loop.category, "adjust %ld %ld", speed, speed + 1);
    drive_camera(*loop.drive, direction, speed + 1);
    vx4_write_state_number(loop.drive->speed_file, static_cast<int>(speed + 1));
}

// The next press starts again from the operator's speed.
void camera_end(motion_loop &loop)
{
    if (visca_camera *camera = visca_thread_data.camera)
        loop.drive->stop(camera);
    trace(loop.category, "end");
    vx4_write_state_number(loop.drive->speed_file, static_cast<int>(loop.start_speed));
}

void intensity_begin(motion_loop &loop, int) { trace(loop.category, "start"); }

void intensity_step(motion_loop &loop, int direction)
{
    long current;
    if (!vx4_read_state_number("/tmp/intensity", 14, &current))
        return;
    int size = loop.elapsed_ms <= 2000 ? 1 : loop.elapsed_ms <= 4000 ? 3 : 5;
    long next = direction > 0 ? current + size : current - size;
    if (next > 100)
        next = 100;
    if (next < 0)
        next = 0;
    if (next == current)
        return;
    trace(loop.category, "adjust %ld %ld", current, next);
    vx4_set_api_led_intensity(static_cast<int>(next));
}

void intensity_end(motion_loop &loop) { trace(loop.category, "end"); }

motion_loop zoom_loop{TRACE_ZOOM_LOOP, camera_step_interval_ms, &zoom_drive, camera_begin, camera_step, camera_end};
motion_loop focus_loop{TRACE_FOCUS_LOOP, camera_step_interval_ms, &focus_drive, camera_begin, camera_step,
                       camera_end};
motion_loop intensity_loop{TRACE_INTENSITY_LOOP, intensity_step_interval_ms, nullptr, intensity_begin,
                           intensity_step, intensity_end};

// The thread of every loop: one movement after the other.
void *loop_thread(void *argument)
{
    motion_loop &loop = *static_cast<motion_loop *>(argument);
    hold_lock start(loop.start_mutex);
    for (;;) {
        wait_for_start(loop);
        loop.elapsed_ms = 0;
        int since_step_ms = 0;
        loop.begin(loop, direction_of(loop));
        while (tick(loop)) {
            if (loop.elapsed_ms < elapsed_cap_ms)
                loop.elapsed_ms += tick_ms;
            since_step_ms += tick_ms;
            if (since_step_ms >= loop.step_interval_ms) {
                // The direction may have been stopped during the sleep.
                int direction = direction_of(loop);
                if (direction != 0)
                    loop.step(loop, direction);
                since_step_ms = 0;
            }
        }
        loop.end(loop);
    }
    return nullptr;
}

void create(motion_loop &loop)
{
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, loop_thread, &loop);
    if (error == 0)
        pthread_detach(thread);
    else
        fprintf(stderr, "%s: pthread_create() failed at line %d: %s\n", program_invocation_name, __LINE__,
                strerror(error));
}

}  // namespace

void vx4_create_zoom_loop() { create(zoom_loop); }
void vx4_create_focus_loop() { create(focus_loop); }
void vx4_create_intensity_loop() { create(intensity_loop); }

int vx4_trigger_zoom_loop(int direction, int hold_ms) { return trigger(zoom_loop, direction, hold_ms); }
int vx4_trigger_focus_loop(int direction, int hold_ms) { return trigger(focus_loop, direction, hold_ms); }
int vx4_trigger_intensity_loop(int direction, int hold_ms) { return trigger(intensity_loop, direction, hold_ms); }

void vx4_stop_zoom_loop() { stop(zoom_loop); }
void vx4_stop_focus_loop() { stop(focus_loop); }
void vx4_stop_intensity_loop() { stop(intensity_loop); }
