// The power board's status frames of both models and the bus layer's result
// texts. Register writes on the wire are the board tests' (the simulated
// board decodes them).
#include "power_board/registers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "power_board/bus.h"

namespace {

using Frame = std::vector<uint8_t>;
using Registers = vx4_power_board_registers;

void put(Frame &frame, int at, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        frame[static_cast<size_t>(at + i)] = static_cast<uint8_t>(value >> (8 * i));
}

// Makes the 8-bit sum of the frame 0 by adjusting the byte at at.
void seal(Frame &frame, int at)
{
    uint8_t sum = 0;
    frame[static_cast<size_t>(at)] = 0;
    for (uint8_t byte : frame)
        sum = static_cast<uint8_t>(sum + byte);
    frame[static_cast<size_t>(at)] = static_cast<uint8_t>(-sum);
}

// A field of the advanced frame: where it lies, the raw value put there and
// the value it decodes to.
struct Field {
    const char *name;
    int at, size;
    uint32_t raw;
    std::function<double(const Registers &)> get;
    double value;
};
#define FIELD(name, at, size, raw, value) \
    Field { #name, at, size, static_cast<uint32_t>(raw), [](const Registers &r) { return double(r.name); }, value }

const Field fields[] = {
    FIELD(pb_power_enable, 0, 1, 0x0E, 0x0E), FIELD(pb_led_enable, 1, 1, 0x09, 0x09), FIELD(pb_led_pwm, 2, 1, 200, 200),
    FIELD(pb_motor_pwm, 3, 1, -60, -60), FIELD(pb_motor_duration, 4, 2, 1000, 1000),
    FIELD(pb_motor_command, 6, 1, 2, 2), FIELD(pb_status, 7, 1, 0x01, 0x01),
    FIELD(pb_local_time, 8, 4, 123456789, 123456789), FIELD(pb_bme280_pressure, 12, 4, 1013, 1013),
    FIELD(pb_bme280_humidity, 16, 2, 4550, 45.5), FIELD(pb_bme280_temperature, 18, 2, -1234, -12.34),
    FIELD(pb_imu_gyroscope_1, 22, 2, -150, -1.5), FIELD(pb_imu_accelerometer_2, 30, 2, -981, -0.981),
    FIELD(pb_imu_magnetometer_1, 34, 2, -35, -35), FIELD(pb_imu_temperature, 38, 2, 3350, 33.5),
    FIELD(pb_imu_sample_count, 40, 1, 10, 10), FIELD(pb_status_period, 41, 2, 100, 100),
    FIELD(pb_power_on_events, 83, 4, 7, 7), FIELD(pb_monitor_vin_volts, 87, 2, 18250, 18.25),
    FIELD(pb_monitor_motor_amps, 101, 2, -250, -0.25), FIELD(pb_encoder_count_1, 109, 4, -123456, -123456),
    FIELD(pb_encoder_speed_1, 115, 2, -20, -20), FIELD(pb_laser_distance, 117, 4, 2345, 2.345),
    FIELD(pb_motor_type, 126, 1, 1, 1), FIELD(pb_board_revision, 129, 2, 0x0203, 3),  // the low byte only
    FIELD(pb_build_number, 131, 2, 112, 112), FIELD(pb_laser_serial_number, 133, 4, 40123, 40123),
    FIELD(pb_laser_hardware_version, 139, 2, 3, 3),
};

Frame advanced_frame()
{
    Frame f(VX4_POWER_BOARD_ADVANCED_FRAME, 0);
    for (const Field &field : fields)
        put(f, field.at, field.raw, field.size);
    seal(f, 127);
    return f;
}

vx4_power_board_frame_check decode(const Frame &frame, bool advanced, Registers *registers)
{
    return vx4_power_board_decode_frame(frame.data(), static_cast<int>(frame.size()), advanced, registers);
}

TEST(StatusFrame, AdvancedFieldsDecodeAtTheirOffsetsAndScales)
{
    Registers r{};
    ASSERT_TRUE(decode(advanced_frame(), true, &r).passed);
    for (const Field &field : fields)
        EXPECT_NEAR(field.get(r), field.value, 1e-6 * std::max(1.0, std::fabs(field.value))) << field.name;
    // Revision and build come only with status bit 0.
    Frame f = advanced_frame();
    f[7] = 0x00;
    seal(f, 127);
    decode(f, true, &r);
    EXPECT_EQ(r.pb_board_revision, 1);
    EXPECT_EQ(r.pb_build_number, 0);
}

// Which frames pass the check, and that one that fails leaves the registers
// untouched, is the frame fuzzer's check, from its seeds on.
TEST(StatusFrame, BasicFieldsDecodeAndFieldsItLacksReadZero)
{
    Registers registers{};
    registers.pb_bme280_pressure = 999;
    Frame b(VX4_POWER_BOARD_BASIC_FRAME, 0);
    put(b, 0, 0x06, 1);
    put(b, 2, 50, 1);
    put(b, 8, 12500, 2);
    put(b, 10, 2650, 2);
    put(b, 58, 0x0105, 2);
    put(b, 60, 77, 2);
    ASSERT_TRUE(decode(b, false, &registers).passed);
    EXPECT_EQ(registers.pb_power_enable, 0x06);
    EXPECT_EQ(registers.pb_led_pwm, 50);
    EXPECT_FLOAT_EQ(registers.pb_monitor_vin_volts, 12.5f);
    EXPECT_FLOAT_EQ(registers.pb_bme280_temperature, 26.5f);
    EXPECT_EQ(registers.pb_bme280_pressure, 0u);
    EXPECT_EQ(registers.pb_board_revision, 1);
    EXPECT_EQ(registers.pb_build_number, 0);
    b[7] = 0x01;  // status bit 0, which also asks for the frame check
    seal(b, 63);
    ASSERT_TRUE(decode(b, false, &registers).passed);
    EXPECT_EQ(registers.pb_board_revision, 5);
    EXPECT_EQ(registers.pb_build_number, 77);
}

TEST(BusLayer, ResultCodesHaveTheirTextsAndOthersAreUnspecified)
{
    EXPECT_STREQ(vx4_bus_result_text(MRAA_ERROR_NO_DATA_AVAILABLE), "No data available");
    EXPECT_STREQ(vx4_bus_result_text(MRAA_ERROR_UART_OW_DATA_ERROR), "UART OW: Bus error");
    for (int code : {15, static_cast<int>(MRAA_ERROR_UNSPECIFIED), -1})
        EXPECT_STREQ(vx4_bus_result_text(code), "Unspecified error") << code;
}

}  // namespace
