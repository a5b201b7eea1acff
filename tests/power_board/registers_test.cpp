// The power board's wire format: status frames of both models, the frame
// check, register write encoding, and the bus layer's result texts.
#include "power_board/registers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "power_board/bus.h"

namespace {

using Frame = std::vector<uint8_t>;

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

Frame advanced_frame()
{
    Frame f(VX4_POWER_BOARD_ADVANCED_FRAME, 0);
    put(f, 0, 0x0E, 1);
    put(f, 1, 0x09, 1);
    put(f, 2, 200, 1);
    put(f, 3, static_cast<uint8_t>(-60), 1);
    put(f, 4, 1000, 2);
    put(f, 6, 2, 1);
    put(f, 7, 0x01, 1);
    put(f, 8, 123456789, 4);
    put(f, 12, 1013, 4);
    put(f, 16, 4550, 2);
    put(f, 18, static_cast<uint16_t>(-1234), 2);
    put(f, 22, static_cast<uint16_t>(-150), 2);
    put(f, 30, static_cast<uint16_t>(-981), 2);
    put(f, 34, static_cast<uint16_t>(-35), 2);
    put(f, 38, 3350, 2);
    put(f, 40, 10, 1);
    put(f, 41, 100, 2);
    put(f, 83, 7, 4);
    put(f, 87, 18250, 2);
    put(f, 101, static_cast<uint16_t>(-250), 2);
    put(f, 109, static_cast<uint32_t>(-123456), 4);
    put(f, 115, static_cast<uint16_t>(-20), 2);
    put(f, 117, 2345, 4);
    put(f, 126, 1, 1);
    put(f, 129, 0x0203, 2);
    put(f, 131, 112, 2);
    put(f, 133, 40123, 4);
    put(f, 139, 3, 2);
    seal(f, 127);
    return f;
}

vx4_power_board_registers decode(const Frame &frame, bool advanced, bool *passed = nullptr)
{
    vx4_power_board_registers registers{};
    auto check = vx4_power_board_decode_frame(frame.data(), static_cast<int>(frame.size()), advanced, &registers);
    if (passed)
        *passed = check.passed;
    return registers;
}

TEST(StatusFrame, AdvancedFieldsDecodeAtTheirOffsetsAndScales)
{
    bool passed = false;
    auto r = decode(advanced_frame(), true, &passed);
    ASSERT_TRUE(passed);
    EXPECT_EQ(r.pb_power_enable, 0x0E);
    EXPECT_EQ(r.pb_led_enable, 0x09);
    EXPECT_EQ(r.pb_led_pwm, 200);
    EXPECT_EQ(r.pb_motor_pwm, -60);
    EXPECT_EQ(r.pb_motor_duration, 1000);
    EXPECT_EQ(r.pb_motor_command, 2);
    EXPECT_EQ(r.pb_status, 0x01);
    EXPECT_EQ(r.pb_local_time, 123456789u);
    EXPECT_EQ(r.pb_bme280_pressure, 1013u);
    EXPECT_FLOAT_EQ(r.pb_bme280_humidity, 45.5f);
    EXPECT_FLOAT_EQ(r.pb_bme280_temperature, -12.34f);
    EXPECT_FLOAT_EQ(r.pb_imu_gyroscope_1, -1.5f);
    EXPECT_FLOAT_EQ(r.pb_imu_accelerometer_2, -0.981f);
    EXPECT_EQ(r.pb_imu_magnetometer_1, -35);
    EXPECT_FLOAT_EQ(r.pb_imu_temperature, 33.5f);
    EXPECT_EQ(r.pb_imu_sample_count, 10);
    EXPECT_EQ(r.pb_status_period, 100);
    EXPECT_EQ(r.pb_power_on_events, 7u);
    EXPECT_FLOAT_EQ(r.pb_monitor_vin_volts, 18.25f);
    EXPECT_FLOAT_EQ(r.pb_monitor_motor_amps, -0.25f);
    EXPECT_EQ(r.pb_encoder_count_1, -123456);
    EXPECT_EQ(r.pb_encoder_speed_1, -20);
    EXPECT_DOUBLE_EQ(r.pb_laser_distance, 2.345);
    EXPECT_EQ(r.pb_motor_type, 1);
    EXPECT_EQ(r.pb_board_revision, 3);  // the low byte only
    EXPECT_EQ(r.pb_build_number, 112);
    EXPECT_EQ(r.pb_laser_serial_number, 40123u);
    EXPECT_EQ(r.pb_laser_hardware_version, 3);
}

TEST(StatusFrame, RevisionAndBuildNeedStatusBitZero)
{
    Frame f = advanced_frame();
    f[7] = 0x00;
    seal(f, 127);
    auto advanced = decode(f, true);
    EXPECT_EQ(advanced.pb_board_revision, 1);
    EXPECT_EQ(advanced.pb_build_number, 0);

    Frame b(VX4_POWER_BOARD_BASIC_FRAME, 0);
    put(b, 58, 0x0105, 2);
    put(b, 60, 77, 2);
    auto basic = decode(b, false);
    EXPECT_EQ(basic.pb_board_revision, 1);
    EXPECT_EQ(basic.pb_build_number, 0);
    b[7] = 0x01;
    seal(b, 63);
    basic = decode(b, false);
    EXPECT_EQ(basic.pb_board_revision, 5);
    EXPECT_EQ(basic.pb_build_number, 77);
}

TEST(StatusFrame, AdvancedFrameThatDoesNotSumToZeroChangesNothing)
{
    vx4_power_board_registers registers{};
    Frame good = advanced_frame();
    ASSERT_TRUE(vx4_power_board_decode_frame(good.data(), static_cast<int>(good.size()), true, &registers).passed);
    vx4_power_board_registers before = registers;

    Frame bad(VX4_POWER_BOARD_ADVANCED_FRAME, 0x11);
    bad[0] = 0x12;  // sum of the frame: 141 * 0x11 + 1
    auto check = vx4_power_board_decode_frame(bad.data(), static_cast<int>(bad.size()), true, &registers);
    EXPECT_FALSE(check.passed);
    EXPECT_EQ(check.sum, static_cast<uint8_t>(141 * 0x11 + 1));
    EXPECT_FALSE(check.all_zero);
    EXPECT_EQ(memcmp(&registers, &before, sizeof registers), 0);

    // A frame shorter than the model's is never decoded.
    auto short_check = vx4_power_board_decode_frame(good.data(), VX4_POWER_BOARD_BASIC_FRAME, true, &registers);
    EXPECT_FALSE(short_check.passed);
    EXPECT_EQ(memcmp(&registers, &before, sizeof registers), 0);
}

TEST(StatusFrame, AllZeroFramePassesAndDecodesToZeros)
{
    vx4_power_board_registers registers{};
    Frame good = advanced_frame();
    vx4_power_board_decode_frame(good.data(), static_cast<int>(good.size()), true, &registers);

    Frame zero(VX4_POWER_BOARD_ADVANCED_FRAME, 0);
    auto check = vx4_power_board_decode_frame(zero.data(), static_cast<int>(zero.size()), true, &registers);
    EXPECT_TRUE(check.passed);
    EXPECT_TRUE(check.all_zero);
    EXPECT_EQ(registers.pb_monitor_vin_volts, 0.0f);
    EXPECT_EQ(registers.pb_power_enable, 0);
    EXPECT_EQ(registers.pb_motor_type, 0);
    EXPECT_EQ(registers.pb_board_revision, 1);
}

TEST(StatusFrame, BasicFrameIsCheckedOnlyWithStatusBitZero)
{
    vx4_power_board_registers registers{};
    registers.pb_bme280_pressure = 999;  // fields the basic frame lacks read 0 after a decode

    Frame b(VX4_POWER_BOARD_BASIC_FRAME, 0);
    put(b, 0, 0x06, 1);
    put(b, 2, 50, 1);
    put(b, 8, 12500, 2);
    put(b, 10, 2650, 2);
    put(b, 20, 0x5A, 1);  // not part of the layout, and the sum is not 0
    auto check = vx4_power_board_decode_frame(b.data(), static_cast<int>(b.size()), false, &registers);
    ASSERT_TRUE(check.passed);
    EXPECT_NE(check.sum, 0);
    EXPECT_EQ(registers.pb_power_enable, 0x06);
    EXPECT_EQ(registers.pb_led_pwm, 50);
    EXPECT_FLOAT_EQ(registers.pb_monitor_vin_volts, 12.5f);
    EXPECT_FLOAT_EQ(registers.pb_bme280_temperature, 26.5f);
    EXPECT_EQ(registers.pb_bme280_pressure, 0u);
    EXPECT_EQ(registers.pb_board_revision, 1);

    vx4_power_board_registers before = registers;
    b[7] = 0x01;
    b[8] = 0x10;
    EXPECT_FALSE(vx4_power_board_decode_frame(b.data(), static_cast<int>(b.size()), false, &registers).passed);
    EXPECT_EQ(memcmp(&registers, &before, sizeof registers), 0);
}

TEST(RegisterWrite, GoesOnTheWireBitReversed)
{
    uint8_t wire[1 + VX4_POWER_BOARD_MAX_WRITE];
    const uint8_t data[] = {0x19, 0xE8, 0x03};
    ASSERT_EQ(vx4_power_board_encode_write(3, data, 3, wire), 4);
    EXPECT_EQ(wire[0], 0xC1);
    EXPECT_EQ(wire[1], 0x98);
    EXPECT_EQ(wire[2], 0x17);
    EXPECT_EQ(wire[3], 0xC0);

    const uint8_t camera_on[] = {0x06};
    ASSERT_EQ(vx4_power_board_encode_write(0, camera_on, 1, wire), 2);
    EXPECT_EQ(wire[0], 0x01);
    EXPECT_EQ(wire[1], 0x60);
}

TEST(RegisterWrite, RefusesBadRegistersAndCounts)
{
    uint8_t wire[1 + VX4_POWER_BOARD_MAX_WRITE];
    uint8_t data[17] = {};
    EXPECT_EQ(vx4_power_board_encode_write(128, data, 1, wire), -2);
    EXPECT_EQ(vx4_power_board_encode_write(-1, data, 1, wire), -2);
    EXPECT_EQ(vx4_power_board_encode_write(1, data, 17, wire), -2);
    EXPECT_EQ(vx4_power_board_encode_write(1, data, 0, wire), -2);
    EXPECT_EQ(vx4_power_board_encode_write(127, data, 16, wire), 17);
    EXPECT_EQ(wire[0], 0xFF);
}

TEST(RegisterWrite, BitReversalIsItsOwnInverse)
{
    EXPECT_EQ(vx4_power_board_reverse_bits(0x01), 0x80);
    EXPECT_EQ(vx4_power_board_reverse_bits(0x83), 0xC1);
    for (int byte = 0; byte < 256; ++byte)
        ASSERT_EQ(vx4_power_board_reverse_bits(vx4_power_board_reverse_bits(static_cast<uint8_t>(byte))), byte);
}

TEST(BusLayer, ResultCodesHaveTheirTexts)
{
    EXPECT_STREQ(vx4_bus_result_text(MRAA_SUCCESS), "Success");
    EXPECT_STREQ(vx4_bus_result_text(MRAA_ERROR_FEATURE_NOT_SUPPORTED), "Feature not supported by hardware");
    EXPECT_STREQ(vx4_bus_result_text(MRAA_ERROR_INVALID_PARAMETER), "Invalid parameter");
    EXPECT_STREQ(vx4_bus_result_text(MRAA_ERROR_NO_DATA_AVAILABLE), "No data available");
    EXPECT_STREQ(vx4_bus_result_text(MRAA_ERROR_PLATFORM_NOT_INITIALISED), "Platform not initialized");
    EXPECT_STREQ(vx4_bus_result_text(MRAA_ERROR_UART_OW_DATA_ERROR), "UART OW: Bus error");
    EXPECT_STREQ(vx4_bus_result_text(15), "Unspecified error");
    EXPECT_STREQ(vx4_bus_result_text(MRAA_ERROR_UNSPECIFIED), "Unspecified error");
    EXPECT_STREQ(vx4_bus_result_text(-1), "Unspecified error");
}

}  // namespace
