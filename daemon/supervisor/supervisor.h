// The supervisor watches the head as a whole. Once a second, on the event
// loop, it gathers battery, update, recorder, storage, attitude, heading and
// temperature values into the status record the status document is built
// from, raises temperature warnings and, above 89 °C, a protective
// shutdown; once a second it pings the camera module and every five seconds
// reads its encoder's stream status and temperatures, without ever making
// the loop wait. Two threads carry out the slow work: the shutdown sequence
// and the external USB stick (mount, unmount and ejection). It also answers
// version, model, serial number and battery questions, partly from redis.
#pragma once

#include <cstddef>
#include <cstdint>

struct vx4_supervisor_values {
    char version[256];       // the release file's content
    char battery[20];        // redis "vx4-battery"
    char battery_level[16];  // the power board's level text
    int update_available;    // an update was found at the last mount
    char update_status[64];  // first line of /tmp/vx4_update
    int recording;
    int paused;
    int post_processing;
    int64_t emmc_kb;  // free space, kB
    int64_t usb_kb;
    char usb_used[10];  // "%ld%%" of the main stick
    char ext_usb_status[16];  // "eject pending", "ejected", "inserted" or "removed"
    char time_remaining[16];  // "%d MIN", or "%d %%" while post-processing
    char emmc_time[16];       // "%02d:%02d:%02d"
    char usb_time[16];
    float power;
    float board_temperature;  // °C
    char motor_type[20];      // "height", "pan" or "none"
    char height[16];
    char tilt_angle[16];  // "%.0f°"
    char direction[16];
    float core_temperature[4];
    float processor_temperature;  // mean of the cores
    int below_minus5;
    int below_zero;
    int warm;      // above 80 °C
    int hot;       // above 88 °C
    int overheat;  // above 89 °C: shutdown
    // Filled in by vx4_load_supervisor_values from the camera's last answers.
    int camera_signal;  // the last ping was answered
    float fpga_temperature;  // NaN when the last poll did not deliver it
    float lens_temperature;
    float cpu_temperature;
    char channel_1[80];
    char channel_2[80];
};

// Once only (the argument has no effect): reads the release file, starts
// the status refresh, ping and encoder poll on the process's default event
// loop, and the shutdown and USB threads.
void vx4_init_supervisor(int unused);

// A copy of the status record; before initialisation a record of zeros with
// the rest texts ("unknown", "?", "00:00:00", "0%", "0 MIN", "none") and
// every temperature NaN.
void vx4_load_supervisor_values(vx4_supervisor_values *values);

// The remaining recording times of the record from its emmc_kb, usb_kb and
// post_processing: the stream takes 513 kB a second.
void vx4_fill_supervisor_recording_times(vx4_supervisor_values *values);

// Each fills the buffer with a text, cut to the buffer and terminated.
void vx4_load_supervisor_software_version(char *buffer, size_t size);
// "%02d.%02d" of the power board's revision and build number.
void vx4_load_supervisor_firmware_version(char *buffer, size_t size);
// "%04X" of the camera's ROM version; empty without a camera connection.
void vx4_load_supervisor_camera_version(char *buffer, size_t size);
// From redis, one short connection per call: "unknown" when the server
// cannot be reached or holds no text.
void vx4_load_supervisor_model_name(char *buffer, size_t size);
void vx4_load_supervisor_serial_number(char *buffer, size_t size);
void vx4_load_supervisor_battery_type(char *buffer, size_t size);
// "%.1f V" of the board's input voltage, "? V" while the board reports none.
void vx4_load_supervisor_battery_voltage(char *buffer, size_t size);
void vx4_load_supervisor_direction(char *buffer, size_t size);

// "Dewalt" or "Indipro" (else -1): stored in redis and in
// /config/system.json beside the model and serial number. 0 when redis
// took it, else -1.
int vx4_set_supervisor_battery_type(const char *type);

// Ejects the external stick once no I/O is in flight: 1, or -1 when no
// stick is mounted.
int vx4_request_supervisor_eject();
// 1 while the external stick is mounted and no eject is pending.
int vx4_is_external_usb_mounted();

// Wakes the shutdown sequence: mode 1 temperature (power off without
// waiting for post-processing), 2 reboot, 3 the power board's request;
// other modes power off. Never waits.
void vx4_trigger_supervisor_shutdown(int mode);
