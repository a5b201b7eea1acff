#include "camera/motion_loops.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/state_files.h"
#include "core/trace.h"
#include "power_board/lights.h"

namespace {

constexpr int tick_ms = 5;

// One loop's hand-over between the API thread and the loop's thread. The
// loop's thread holds the start mutex for the whole of a movement, so a start
// made while a movement is finishing waits until it is idle again. Plain
// POSIX objects: they are never destroyed, so the process can exit while the
// thread waits on them.
struct motion_loop {
    pthread_mutex_t start_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t start_condition = PTHREAD_COND_INITIALIZER;
    pthread_mutex_t time_mutex = PTHREAD_MUTEX_INITIALIZER;
    int direction = 0;  // under the time mutex
    int remaining_ms = 0;
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

// --- intensity ---

constexpr int intensity_elapsed_cap_ms = 6000;
constexpr int intensity_step_interval_ms = 250;

motion_loop intensity_loop;

void intensity_step(int direction, int elapsed_ms)
{
    long current;
    if (!vx4_read_state_number("/tmp/intensity", 14, &current))
        return;
    int size = elapsed_ms <= 2000 ? 1 : elapsed_ms <= 4000 ? 3 : 5;
    long next = direction > 0 ? current + size : current - size;
    if (next > 100)
        next = 100;
    if (next < 0)
        next = 0;
    if (next == current)
        return;
    trace(TRACE_INTENSITY_LOOP, "adjust %ld %ld", current, next);
    vx4_set_api_led_intensity(static_cast<int>(next));
}

void *intensity_thread(void *)
{
    hold_lock start(intensity_loop.start_mutex);
    for (;;) {
        wait_for_start(intensity_loop);
        int elapsed_ms = 0;
        int since_step_ms = 0;
        trace(TRACE_INTENSITY_LOOP, "start");
        while (tick(intensity_loop)) {
            if (elapsed_ms < intensity_elapsed_cap_ms)
                elapsed_ms += tick_ms;
            since_step_ms += tick_ms;
            if (since_step_ms >= intensity_step_interval_ms) {
                // The direction may have been stopped during the sleep.
                int direction = direction_of(intensity_loop);
                if (direction != 0)
                    intensity_step(direction, elapsed_ms);
                since_step_ms = 0;
            }
        }
        trace(TRACE_INTENSITY_LOOP, "end");
    }
    return nullptr;
}

}  // namespace

void vx4_create_intensity_loop()
{
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, intensity_thread, nullptr);
    if (error == 0)
        pthread_detach(thread);
    else
        fprintf(stderr, "%s: pthread_create() failed at line %d: %s\n", program_invocation_name, __LINE__,
                strerror(error));
}

int vx4_trigger_intensity_loop(int direction, int hold_ms) { return trigger(intensity_loop, direction, hold_ms); }

void vx4_stop_intensity_loop() { stop(intensity_loop); }
