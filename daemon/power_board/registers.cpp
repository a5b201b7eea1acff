#include "power_board/registers.h"

#include <cstring>

namespace {

// Little-endian field readers over a received frame.
uint16_t u16(const uint8_t *frame, int at)
{
    return static_cast<uint16_t>(frame[at] | frame[at + 1] << 8);
}

int16_t i16(const uint8_t *frame, int at) { return static_cast<int16_t>(u16(frame, at)); }

uint32_t u32(const uint8_t *frame, int at)
{
    return static_cast<uint32_t>(frame[at]) | static_cast<uint32_t>(frame[at + 1]) << 8 |
           static_cast<uint32_t>(frame[at + 2]) << 16 | static_cast<uint32_t>(frame[at + 3]) << 24;
}

int32_t i32(const uint8_t *frame, int at) { return static_cast<int32_t>(u32(frame, at)); }

// Board revision and build number are present only on the board variant
// that sets status bit 0.
void decode_identity(const uint8_t *frame, int revision_at, vx4_power_board_registers *r)
{
    bool present = r->pb_status & VX4_PB_STATUS_VARIANT;
    r->pb_board_revision = present ? frame[revision_at] : 1;
    r->pb_build_number = present ? u16(frame, revision_at + 2) : 0;
}

void decode_advanced(const uint8_t *f, vx4_power_board_registers *r)
{
    r->pb_power_enable = f[0];
    r->pb_led_enable = f[1];
    r->pb_led_pwm = f[2];
    r->pb_motor_pwm = static_cast<int8_t>(f[3]);
    r->pb_motor_duration = u16(f, 4);
    r->pb_motor_command = f[6];
    r->pb_status = f[7];
    r->pb_local_time = u32(f, 8);
    r->pb_bme280_pressure = u32(f, 12);
    r->pb_bme280_humidity = u16(f, 16) * 0.01f;
    r->pb_bme280_temperature = i16(f, 18) * 0.01f;
    r->pb_imu_gyroscope_0 = i16(f, 20) * 0.01f;
    r->pb_imu_gyroscope_1 = i16(f, 22) * 0.01f;
    r->pb_imu_gyroscope_2 = i16(f, 24) * 0.01f;
    r->pb_imu_accelerometer_0 = i16(f, 26) * 0.001f;
    r->pb_imu_accelerometer_1 = i16(f, 28) * 0.001f;
    r->pb_imu_accelerometer_2 = i16(f, 30) * 0.001f;
    r->pb_imu_magnetometer_0 = i16(f, 32);
    r->pb_imu_magnetometer_1 = i16(f, 34);
    r->pb_imu_magnetometer_2 = i16(f, 36);
    r->pb_imu_temperature = i16(f, 38) * 0.01f;
    r->pb_imu_sample_count = f[40];
    r->pb_status_period = u16(f, 41);
    r->pb_board_time = u32(f, 43);
    r->pb_up_time = u32(f, 47);
    r->pb_motor_time = u32(f, 51);
    r->pb_camera_time = u32(f, 55);
    r->pb_laser_time = u32(f, 59);
    r->pb_led_time = u32(f, 63);
    r->pb_over_temperature_events = u32(f, 67);
    r->pb_under_temperature_events = u32(f, 71);
    r->pb_over_voltage_events = u32(f, 75);
    r->pb_under_voltage_events = u32(f, 79);
    r->pb_power_on_events = u32(f, 83);
    r->pb_monitor_vin_volts = u16(f, 87) * 0.001f;
    r->pb_monitor_vin_amps = i16(f, 89) * 0.001f;
    r->pb_monitor_vin_power = i16(f, 91) * 0.001f;
    r->pb_monitor_camera_volts = u16(f, 93) * 0.001f;
    r->pb_monitor_camera_amps = i16(f, 95) * 0.001f;
    r->pb_monitor_camera_power = i16(f, 97) * 0.001f;
    r->pb_monitor_motor_volts = u16(f, 99) * 0.001f;
    r->pb_monitor_motor_amps = i16(f, 101) * 0.001f;
    r->pb_monitor_motor_power = i16(f, 103) * 0.001f;
    r->pb_encoder_count_0 = i32(f, 105);
    r->pb_encoder_count_1 = i32(f, 109);
    r->pb_encoder_speed_0 = i16(f, 113);
    r->pb_encoder_speed_1 = i16(f, 115);
    r->pb_laser_distance = u32(f, 117) * 0.001;
    r->pb_laser_quality = u16(f, 121);
    r->pb_laser_error_code = u16(f, 123);
    r->pb_laser_sample_count = f[125];
    r->pb_motor_type = f[126];
    r->pb_checksum = u16(f, 127);
    decode_identity(f, 129, r);
    r->pb_laser_serial_number = u32(f, 133);
    r->pb_laser_software_version = u16(f, 137);
    r->pb_laser_hardware_version = u16(f, 139);
}

void decode_basic(const uint8_t *f, vx4_power_board_registers *r)
{
    memset(r, 0, sizeof *r);
    r->pb_power_enable = f[0];
    r->pb_led_enable = f[1];
    r->pb_led_pwm = f[2];
    r->pb_status = f[7];
    r->pb_monitor_vin_volts = u16(f, 8) * 0.001f;
    r->pb_bme280_temperature = u16(f, 10) * 0.01f;
    decode_identity(f, 58, r);
}

}  // namespace

uint8_t vx4_power_board_reverse_bits(uint8_t byte)
{
    byte = static_cast<uint8_t>((byte & 0xF0) >> 4 | (byte & 0x0F) << 4);
    byte = static_cast<uint8_t>((byte & 0xCC) >> 2 | (byte & 0x33) << 2);
    return static_cast<uint8_t>((byte & 0xAA) >> 1 | (byte & 0x55) << 1);
}

int vx4_power_board_frame_length(bool advanced)
{
    return advanced ? VX4_POWER_BOARD_ADVANCED_FRAME : VX4_POWER_BOARD_BASIC_FRAME;
}

vx4_power_board_frame_check vx4_power_board_check_frame(const uint8_t *frame, int length, bool advanced)
{
    vx4_power_board_frame_check check{false, 0, true};
    if (length < vx4_power_board_frame_length(advanced))
        return check;
    for (int i = 0; i < length; ++i) {
        check.sum = static_cast<uint8_t>(check.sum + frame[i]);
        check.all_zero = check.all_zero && frame[i] == 0;
    }
    bool checked = advanced || (frame[7] & VX4_PB_STATUS_VARIANT);
    check.passed = !checked || check.sum == 0;
    return check;
}

vx4_power_board_frame_check vx4_power_board_decode_frame(const uint8_t *frame, int length, bool advanced,
                                                         vx4_power_board_registers *registers)
{
    vx4_power_board_frame_check check = vx4_power_board_check_frame(frame, length, advanced);
    if (check.passed) {
        if (advanced)
            decode_advanced(frame, registers);
        else
            decode_basic(frame, registers);
    }
    return check;
}

int vx4_power_board_encode_write(int reg, const uint8_t *data, int count, uint8_t wire[1 + VX4_POWER_BOARD_MAX_WRITE])
{
    if (reg < 0 || reg > VX4_POWER_BOARD_MAX_REGISTER || count < 1 || count > VX4_POWER_BOARD_MAX_WRITE)
        return -2;
    wire[0] = vx4_power_board_reverse_bits(static_cast<uint8_t>(0x80 | reg));
    for (int i = 0; i < count; ++i)
        wire[1 + i] = vx4_power_board_reverse_bits(data[i]);
    return 1 + count;
}
