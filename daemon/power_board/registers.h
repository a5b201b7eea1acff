// The power board's wire format: the status frame of each model, the frame
// check, and the encoding of register writes. Bytes travel least significant
// bit first while the controller shifts most significant bit first, so every
// byte but the read command is bit-reversed in software.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int VX4_POWER_BOARD_ADVANCED_FRAME = 141;
constexpr int VX4_POWER_BOARD_BASIC_FRAME = 64;
constexpr uint8_t VX4_POWER_BOARD_ADVANCED_READ = 0x88;
constexpr uint8_t VX4_POWER_BOARD_BASIC_READ = 0x00;
constexpr int VX4_POWER_BOARD_MAX_REGISTER = 127;
constexpr int VX4_POWER_BOARD_MAX_WRITE = 16;

// pb_status bits.
constexpr uint8_t VX4_PB_STATUS_VARIANT = 0x01;
constexpr uint8_t VX4_PB_STATUS_SHUTDOWN = 0x02;
constexpr uint8_t VX4_PB_STATUS_TILT_OVERCURRENT = 0x04;
constexpr uint8_t VX4_PB_STATUS_MOTOR2_OVERCURRENT = 0x08;
constexpr uint8_t VX4_PB_STATUS_SHUTDOWN_SUPPRESSED = 0x20;

// Write registers.
constexpr int VX4_PB_REGISTER_POWER = 0;
constexpr int VX4_PB_REGISTER_LEDS = 1;
constexpr int VX4_PB_REGISTER_MOTOR = 3;
constexpr int VX4_PB_REGISTER_MOTOR_COMMAND = 6;

// The decoded status frame. Field names are the readings' API keys; scaled
// fields hold the scaled value.
struct vx4_power_board_registers {
    uint8_t pb_power_enable;
    uint8_t pb_led_enable;
    uint8_t pb_led_pwm;
    int8_t pb_motor_pwm;
    uint16_t pb_motor_duration;
    uint8_t pb_motor_command;
    uint8_t pb_status;
    uint32_t pb_local_time;
    uint32_t pb_bme280_pressure;
    float pb_bme280_humidity;
    float pb_bme280_temperature;
    float pb_imu_gyroscope_0;
    float pb_imu_gyroscope_1;
    float pb_imu_gyroscope_2;
    float pb_imu_accelerometer_0;
    float pb_imu_accelerometer_1;
    float pb_imu_accelerometer_2;
    int16_t pb_imu_magnetometer_0;
    int16_t pb_imu_magnetometer_1;
    int16_t pb_imu_magnetometer_2;
    float pb_imu_temperature;
    uint8_t pb_imu_sample_count;
    uint16_t pb_status_period;
    uint32_t pb_board_time;
    uint32_t pb_up_time;
    uint32_t pb_motor_time;
    uint32_t pb_camera_time;
    uint32_t pb_laser_time;
    uint32_t pb_led_time;
    uint32_t pb_over_temperature_events;
    uint32_t pb_under_temperature_events;
    uint32_t pb_over_voltage_events;
    uint32_t pb_under_voltage_events;
    uint32_t pb_power_on_events;
    float pb_monitor_vin_volts;
    float pb_monitor_vin_amps;
    float pb_monitor_vin_power;
    float pb_monitor_camera_volts;
    float pb_monitor_camera_amps;
    float pb_monitor_camera_power;
    float pb_monitor_motor_volts;
    float pb_monitor_motor_amps;
    float pb_monitor_motor_power;
    int32_t pb_encoder_count_0;
    int32_t pb_encoder_count_1;
    int16_t pb_encoder_speed_0;
    int16_t pb_encoder_speed_1;
    double pb_laser_distance;
    uint16_t pb_laser_quality;
    uint16_t pb_laser_error_code;
    uint8_t pb_laser_sample_count;
    uint8_t pb_motor_type;
    uint16_t pb_checksum;
    uint16_t pb_board_revision;
    uint16_t pb_build_number;
    uint32_t pb_laser_serial_number;
    uint16_t pb_laser_software_version;
    uint16_t pb_laser_hardware_version;
};
static_assert(sizeof(vx4_power_board_registers) <= 200, "the decoded block is 200 bytes");

uint8_t vx4_power_board_reverse_bits(uint8_t byte);

// Frame length of a model.
int vx4_power_board_frame_length(bool advanced);

struct vx4_power_board_frame_check {
    bool passed;    // the frame may be decoded
    uint8_t sum;    // 8-bit sum of every byte
    bool all_zero;  // every byte was zero
};

// Checks a received frame (already bit-reversed) of the model's length. The
// sum must be 0 for the advanced model, and for the basic model when status
// bit 0 is set.
vx4_power_board_frame_check vx4_power_board_check_frame(const uint8_t *frame, int length, bool advanced);

// Checks the frame and, when it passes, decodes every field into registers
// (a basic frame leaves the fields it lacks at 0). A frame that fails, or is
// shorter than the model's, leaves registers untouched.
vx4_power_board_frame_check vx4_power_board_decode_frame(const uint8_t *frame, int length, bool advanced,
                                                         vx4_power_board_registers *registers);

// The bytes of a register write as they go on the wire: the command byte,
// then the data. Returns their number, or -2 for a register above 127 or a
// count outside 1 to 16.
int vx4_power_board_encode_write(int reg, const uint8_t *data, int count,
                                 uint8_t wire[1 + VX4_POWER_BOARD_MAX_WRITE]);
