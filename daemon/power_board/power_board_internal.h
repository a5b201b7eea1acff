// The power board object itself: for the board's own files, main (which
// owns it on its stack) and tests. Every other module goes through
// power_board.h.
#pragma once

#include <ev.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "power_board/bus.h"
#include "power_board/power_board.h"
#include "power_board/registers.h"

// Called by the firmware update when it has ended.
using vx4_power_board_update_done = void (*)();

enum vx4_power_board_record_type {
    VX4_PB_RECORD_STOP = 1,
    VX4_PB_RECORD_REFRESH = 2,
    VX4_PB_RECORD_WRITE = 3,
    VX4_PB_RECORD_UPDATE = 4,
    VX4_PB_RECORD_SHUTDOWN = 5,
};

enum vx4_power_board_service_state {
    VX4_PB_STOPPED = 0,
    VX4_PB_INITIALISING = 1,
    VX4_PB_RUNNING = 2,
    VX4_PB_STOPPING = 3,
    VX4_PB_FAILED = 255,
};

// One register write. Each data byte is merged with the register's current
// value when the write goes out: sent = (current & keep) | data. With keep
// all zero (raw writes) the data go out as given; rail and light writes keep
// the bits they do not change, so writes queued in quick succession build on
// each other instead of on a read-back that is not yet up to date.
struct vx4_power_board_write {
    int reg;
    int count;
    uint8_t data[VX4_POWER_BOARD_MAX_WRITE];
    uint8_t keep[VX4_POWER_BOARD_MAX_WRITE];
};

struct vx4_power_board_record {
    vx4_power_board_record *next;
    int type;
    bool queued;  // preallocated records: in the queue now (never appended twice)
    vx4_power_board_write write;       // type 3
    vx4_power_board_update_done done;  // type 4
};

enum vx4_homing_state {
    VX4_HOMING_NOT_HOMED = 0,
    VX4_HOMING_STARTED = 1,   // drive started toward the retracted end
    VX4_HOMING_MOVING = 2,    // current seen: the drive is moving
    VX4_HOMING_SETTLING = 3,  // stopped at the end, waiting for the encoder to settle
    VX4_HOMING_HOMED = 4,
};

enum vx4_move_state {
    VX4_MOVE_REQUESTED = 0,
    VX4_MOVE_OUT_FAST = 1,
    VX4_MOVE_OUT_SLOW = 2,
    VX4_MOVE_IN_FAST = 3,
    VX4_MOVE_IN_SLOW = 4,
    VX4_MOVE_CHECKING = 5,  // resting past the target, checking it stays there
    VX4_MOVE_IDLE = 6,
};

enum vx4_battery_level {
    VX4_BATTERY_UNKNOWN = 0,  // before the first evaluation
    VX4_BATTERY_25 = 1,
    VX4_BATTERY_50 = 2,
    VX4_BATTERY_75 = 3,
    VX4_BATTERY_100 = 4,
};

// The mast of the advanced model (height motor), evaluated in each refresh
// on the service thread.
struct vx4_power_board_mast {
    // Service thread only.
    int motor_type_seen;
    int stable_count;
    int motor_type_accepted;
    int upper_limit;
    int lower_limit;
    int target;
    int direction;  // +1 out, -1 in
    int slow_point;
    int fast_point;
    int consecutive_count;
    int resample_count;
    int keep_alive_count;
    int sample_count;
    int no_movement_count;
    int previous_encoder;

    // Atomic: set or read by the callers' threads as well.
    std::atomic<int> homing_state;  // vx4_homing_state
    std::atomic<int> homing_requested;
    std::atomic<int> home_reference;    // encoder at the retracted end
    std::atomic<int> current_position;  // last accepted encoder value
    std::atomic<int> move_state;        // vx4_move_state
    std::atomic<int> cancel_request;
    std::atomic<int> preset;
    std::atomic<int> extension;
};

constexpr int VX4_PB_VOLTAGE_RING = 64;
constexpr int VX4_PB_SAMPLE_DELAY = 150;  // refreshes ignored before pressure and humidity averaging
constexpr size_t VX4_PB_UPDATE_TEXT = 17;

struct vx4_power_board {
    // Set at init, then only read.
    vx4_application *application;
    vx4_power_board_events events;
    bool advanced;
    int frame_length;

    // Service thread only.
    mraa_gpio_context chip_select;  // GPIO 24
    mraa_gpio_context boot_reset;   // GPIO 13
    mraa_gpio_context boot_select;  // GPIO 15
    mraa_spi_context spi;
    uint8_t current_power;  // the writable registers as the board holds them
    uint8_t current_leds[2];
    int shutdown_latch;
    float voltage_ring[VX4_PB_VOLTAGE_RING];
    int ring_index;
    float ring_sum;
    int averaging_countdown;
    float battery_thresholds[4];
    int pressure_delay;
    uint64_t pressure_sum;
    int pressure_count;
    int humidity_delay;
    double humidity_sum;
    int humidity_count;
    unsigned motor_writes_done;  // register-3 writes performed
    vx4_power_board_mast mast;

    // Main thread (init, start, stop).
    pthread_t thread;
    bool thread_started;
    ev_timer refresh_timer;

    // Under the queue lock.
    pthread_mutex_t queue_lock;
    pthread_cond_t queue_condition;
    vx4_power_board_record *head;
    vx4_power_board_record *tail;
    vx4_power_board_record stop_record;
    vx4_power_board_record refresh_record;
    vx4_power_board_record shutdown_record;

    // Under the register lock: the decoded block (written by the service
    // thread only, so it reads it without the lock), and how many register-3
    // writes had been performed when it was read back. The read-back motor
    // PWM and duration are current only when nothing newer is on its way.
    pthread_mutex_t register_lock;
    vx4_power_board_registers registers;
    unsigned motor_writes_seen;

    // Under the update lock (hand-over to the update thread), and the update
    // status lock (its three texts).
    pthread_mutex_t update_lock;
    pthread_cond_t update_condition;
    pthread_t update_thread;
    bool update_thread_started;
    bool update_quit;
    vx4_power_board_update_done update_done;
    pthread_mutex_t update_status_lock;
    // Every wait of the update is this many times its length (tests shorten them).
    double update_time_scale;
    char update_progress[VX4_PB_UPDATE_TEXT];
    char update_stage[VX4_PB_UPDATE_TEXT];
    char update_detail[VX4_PB_UPDATE_TEXT];

    // Atomic: flags and readings shared across threads.
    std::atomic<int> service_state;  // vx4_power_board_service_state
    std::atomic<int> stopping;
    std::atomic<int> refresh_pending;
    std::atomic<int> refresh_suspended;
    std::atomic<unsigned> refresh_count;  // refreshes evaluated so far
    std::atomic<uint8_t> read_command;
    std::atomic<int> zero_buffer;
    std::atomic<int> all_zero;
    std::atomic<int> overcurrent;
    std::atomic<int> battery_level;  // vx4_battery_level
    std::atomic<int> update_active;
    std::atomic<unsigned> motor_writes_queued;
    std::atomic<int> laser_mode;  // vx4_laser_mode
    std::atomic<int> laser_trigger;
    std::atomic<int> laser_clear;
    std::atomic<int> laser_speed;
    std::atomic<double> last_valid_distance;
    std::atomic<int> invalid_count;  // refreshes since the last valid distance: the reading's age
    // The reading the operator is shown: manual and picture modes from a
    // requested reading until the head moves, auto mode while the readings
    // are valid.
    std::atomic<int> laser_valid;
    std::atomic<double> last_shown_distance;  // set by the laser mode, read by the refresh
    // Begin/end hysteresis counters of the warnings, non-zero while a warning
    // lasts: counted by the service thread, read by the status document.
    std::atomic<int> tilt_hold;
    std::atomic<int> motor2_hold;
    std::atomic<int> pressure_hold;
    std::atomic<int> humidity_hold;
};

// For the board's own modules (motors, firmware update).

// Power enable register bits; every power write sets power_write.
constexpr uint8_t power_write = 0x02;
constexpr uint8_t camera_rail = 0x04;
constexpr uint8_t laser_rail = 0x08;
// Queues a power enable write: the bits kept from the register's value, and
// the bits set.
int vx4_power_board_queue_power_write(vx4_power_board *board, uint8_t keep, uint8_t set);
// Queues writes in order under one hold of the queue lock: 0, -2 for a bad
// register or count (nothing queued), -1 when no memory (nothing queued).
int vx4_power_board_queue_writes(vx4_power_board *board, const vx4_power_board_write *writes, int count);
// Service thread only: performs one write now (dropped while an update runs).
void vx4_power_board_write_register(vx4_power_board *board, const vx4_power_board_write &write);
// Service thread only: motor type detection, homing and mast moves, once per
// refresh of the advanced model.
void vx4_power_board_refresh_mast(vx4_power_board *board);
// The firmware update thread's body.
void *vx4_power_board_update_thread(void *board);
// Appends an allocated record to the queue.
void vx4_power_board_queue_record(vx4_power_board *board, vx4_power_board_record *record);
// Update thread, at the end of an update while refreshes are still skipped:
// forgets what was learnt from the board before it restarted (latches,
// averages, battery level, motor type and homing).
void vx4_power_board_reset_board_state(vx4_power_board *board);
// Queues a refresh now, without waiting for the 100 ms timer (tests; the
// refresh still runs on the service thread). Nothing when one is pending.
void vx4_power_board_refresh_now(vx4_power_board *board);
