// The power board: rails, lights, motors and sensors behind one SPI link.
//
// One object, owned by main and reached by the rest of the daemon through
// power_board_instance. Callers on any thread append command records to its
// queue; only the service thread talks to the board. Every 100 ms a refresh
// reads the whole status frame and turns it into readings and events.
#pragma once

#include <ev.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bus.h"
#include "registers.h"

struct vx4_application;

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

// The mast of the advanced model (height motor), evaluated in each refresh
// on the service thread. The fields other threads read or set are atomic.
struct vx4_power_board_mast {
    int motor_type_seen;
    int stable_count;
    int motor_type_accepted;
    std::atomic<int> homing_state;  // 0 not homed, 1 drive started, 2 drive moving, 3 settling, 4 homed
    std::atomic<int> homing_requested;
    std::atomic<int> home_reference;   // encoder at the retracted end
    std::atomic<int> current_position;  // last accepted encoder value
    int upper_limit;
    int lower_limit;
    std::atomic<int> move_state;  // 0 requested, 1 out fast, 2 out slow, 3 in fast, 4 in slow, 5 checking, 6 idle
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
    std::atomic<int> cancel_request;
    std::atomic<int> preset;
    std::atomic<int> extension;
};

constexpr int VX4_PB_VOLTAGE_RING = 64;
constexpr int VX4_PB_SAMPLE_DELAY = 150;  // refreshes ignored before pressure and humidity averaging
constexpr size_t VX4_PB_UPDATE_TEXT = 17;

struct vx4_power_board {
    vx4_application *application;
    bool advanced;

    // Service.
    std::atomic<int> service_state;
    pthread_t thread;
    bool thread_started;
    std::atomic<int> stopping;
    std::atomic<int> refresh_pending;
    std::atomic<int> refresh_suspended;
    ev_timer refresh_timer;
    std::atomic<unsigned> refresh_count;  // refreshes evaluated so far

    // Bus.
    mraa_gpio_context chip_select;  // GPIO 24
    mraa_gpio_context boot_reset;   // GPIO 13
    mraa_gpio_context boot_select;  // GPIO 15
    mraa_spi_context spi;
    std::atomic<uint8_t> read_command;
    int frame_length;
    std::atomic<int> zero_buffer;
    std::atomic<int> all_zero;

    // Queue.
    pthread_mutex_t queue_lock;
    pthread_cond_t queue_condition;
    vx4_power_board_record *head;
    vx4_power_board_record *tail;
    vx4_power_board_record stop_record;
    vx4_power_board_record refresh_record;
    vx4_power_board_record shutdown_record;

    // Decoded registers, and the service thread's view of the writable ones.
    pthread_mutex_t register_lock;
    vx4_power_board_registers registers;
    uint8_t current_power;
    uint8_t current_leds[2];

    // Status events.
    int shutdown_latch;
    std::atomic<int> overcurrent;
    int tilt_hold;
    int motor2_hold;
    int pressure_hold;
    int humidity_hold;

    // Battery.
    float voltage_ring[VX4_PB_VOLTAGE_RING];
    int ring_index;
    float ring_sum;
    int averaging_countdown;
    float voltage_average;
    float battery_thresholds[4];
    std::atomic<int> battery_level;

    // Pressure and humidity averaging.
    int pressure_delay;
    uint64_t pressure_sum;
    int pressure_count;
    int humidity_delay;
    double humidity_sum;
    int humidity_count;

    // Laser.
    std::atomic<int> laser_mode;
    std::atomic<int> laser_trigger;
    std::atomic<int> laser_clear;
    std::atomic<int> laser_speed;
    std::atomic<double> last_valid_distance;
    std::atomic<int> invalid_count;  // refreshes since the last valid distance: the reading's age
    // The reading the operator is shown: in modes 1 and 2 from a requested
    // reading until the head moves, in mode 3 while the readings are valid.
    std::atomic<int> laser_valid;
    std::atomic<double> last_shown_distance;  // set by the laser mode, read by the refresh

    // Firmware update.
    std::atomic<int> update_active;
    vx4_power_board_update_done update_done;
    pthread_mutex_t update_lock;
    pthread_cond_t update_condition;
    pthread_t update_thread;
    bool update_thread_started;
    bool update_quit;  // under the update lock
    pthread_mutex_t update_status_lock;
    char update_progress[VX4_PB_UPDATE_TEXT];
    char update_stage[VX4_PB_UPDATE_TEXT];
    char update_detail[VX4_PB_UPDATE_TEXT];

    vx4_power_board_mast mast;
    // Register-3 writes queued and performed, and how many had been performed
    // when the registers were last read back (under the register lock): the
    // read-back motor PWM and duration are current only when nothing newer
    // is on its way.
    std::atomic<unsigned> motor_writes_queued;
    unsigned motor_writes_done;
    unsigned motor_writes_seen;
};

extern vx4_power_board *power_board_instance;

// Battery thresholds t0 > t1 > t2 > t3 in volts.
extern const float vx4_power_board_indepro_thresholds[4];
extern const float vx4_power_board_dewalt_thresholds[4];

int vx4_power_board_init(vx4_power_board *board, vx4_application *application, bool advanced);
int vx4_power_board_start_service(vx4_power_board *board);
void vx4_power_board_stop_service(vx4_power_board *board);
void vx4_power_board_destroy(vx4_power_board *board);

void vx4_power_board_suspend_refresh(vx4_power_board *board);
void vx4_power_board_resume_refresh(vx4_power_board *board);
void vx4_power_board_trigger_refresh(vx4_power_board *board);

int vx4_power_board_signal_shutdown(vx4_power_board *board);

int vx4_power_board_enable_camera_power(vx4_power_board *board);
int vx4_power_board_disable_camera_power(vx4_power_board *board);
int vx4_power_board_enable_laser_power(vx4_power_board *board);
int vx4_power_board_disable_laser_power(vx4_power_board *board);
// Mask or pwm below 0 keeps the value the board holds when the write goes out.
int vx4_power_board_enable_led_power(vx4_power_board *board, int mask, int pwm);

int vx4_power_board_set_laser_mode(vx4_power_board *board, int mode);
void vx4_power_board_set_laser_speed(vx4_power_board *board, int speed);
int vx4_power_board_trigger_laser_reading(vx4_power_board *board);
int vx4_power_board_clear_laser_reading(vx4_power_board *board);
int vx4_power_board_get_laser_mode(vx4_power_board *board);
int vx4_power_board_get_laser_speed(vx4_power_board *board);
// The last valid distance in metres and its age in refreshes; returns 1 while
// the reading is shown as valid, else 0.
int vx4_power_board_load_laser_reading(vx4_power_board *board, double *metres, int *age);

int vx4_power_board_get_board_type(vx4_power_board *board);
// "25%" to "100%", or "?" before the first evaluation.
void vx4_power_board_load_battery_level(vx4_power_board *board, char *buffer, size_t size);

// Motors. Motor 1 is the tilt motor, motor 2 the second motor (pan drive or
// mast). A run lasts duration milliseconds at pwm (-100 to 100, scaled to
// 60 % on boards that report status bit 0). Refused with -1 during an
// over-current, and while the mast moves or is not homed (a command for
// motor 2 then asks for homing); -2 for another motor number.
int vx4_power_board_start_motor(vx4_power_board *board, int motor, int8_t pwm, uint16_t duration);
// Stops both motors, and cancels a mast move. -1 while homing is asked for
// and the mast moves or is not homed.
int vx4_power_board_stop_motor(vx4_power_board *board);
// Homes the mast: 0, or -1 when the board reports no height motor.
int vx4_power_board_home_height(vx4_power_board *board);
// Moves a homed, idle mast to the preset height in inches (6 homes it).
// Presets less than half an inch away, or beyond the mast's travel, are
// only remembered. Returns 0.
int vx4_power_board_set_height_preset(vx4_power_board *board, int preset);
int vx4_power_board_get_height_preset(vx4_power_board *board);
// Whether the height extension is fitted; it adds 24 inches to the shown height.
int vx4_power_board_set_height_extension(vx4_power_board *board, int flag);
int vx4_power_board_get_height_extension(vx4_power_board *board);
// The mast's height for display: "30.0 in" or "76.2 cm" by the units
// setting, "HOMING", "SETTING" during a move, or empty without a height
// motor. Cut to the buffer and always terminated in its last byte.
void vx4_power_board_load_height(vx4_power_board *board, char *buffer, size_t size);

// A raw register write: 0, -2 for a register above 127 or a count outside
// 1 to 16 (nothing queued), -1 when no memory.
int vx4_power_board_issue_write(vx4_power_board *board, int reg, const uint8_t *data, int count);
// Copies the decoded block under the register lock.
void vx4_power_board_load_registers(vx4_power_board *board, vx4_power_board_registers *registers);
uint8_t vx4_power_board_get_read_command(vx4_power_board *board);
void vx4_power_board_set_read_command(vx4_power_board *board, uint8_t command);
// Test aid: received frames are zeroed before the frame check.
void vx4_power_board_set_zero_buffer(vx4_power_board *board, int flag);

// For the board's own modules (motors, firmware update).

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
