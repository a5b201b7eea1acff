// The service endpoints through the API on the simulated head: the register
// dump, raw register writes, the board's refresh, forced warnings and the
// trace mask; and what every JSON route has in common.

#include <regex>

#include "core/settings.h"
#include "head_system.h"

using namespace vx4test;

namespace {

using Write = BoardWrite;

class ServiceSystem : public HeadSystem {
protected:
    void SetUp() override { root.write("/media/usb99/trace_mask", "0x00000010"); }

    bool traced(const std::string &line) const { return HeadSystem::traced("HAPI: " + line); }

    // The reads once the board has stopped reading: unchanged over 250 ms.
    long long quiet_reads() const
    {
        long long last = -1;
        EXPECT_TRUE(wait_until([&] {
            long long now = reads();
            return std::exchange(last, now) == now;
        }, 5000ms, 250ms));
        return last;
    }
};

TEST_F(ServiceSystem, ReadingsDumpEveryRegisterInItsFormatAndRegisterWritesParseHex)
{
    start();
    sim->post("/board/readings", R"({"pb_motor_pwm": -60, "pb_imu_magnetometer_0": -123, "pb_imu_accelerometer_1": 0.5,
                                     "pb_encoder_count_1": -70000, "pb_status": 5, "pb_laser_serial_number": 3000000000})");
    ASSERT_TRUE(wait_until([this] { return text("GET", "/api/power_board/readings", "pb_motor_pwm") == "-60"; }));
    JsonPtr readings = call("GET", "/api/power_board/readings");
    std::vector<std::string> keys;
    json_object_object_foreach(readings.get(), key, value) {
        EXPECT_TRUE(json_object_is_type(value, json_type_string)) << key;
        keys.push_back(key);
    }
    ASSERT_EQ(keys.size(), 58u);
    EXPECT_EQ(keys.front(), "pb_power_enable");
    EXPECT_EQ(keys[5], "pb_status");
    EXPECT_EQ(keys.back(), "pb_motor_type");
    auto reading = [&](const std::string &name) { return std::string(json_object_get_string(json_at(readings.get(), name))); };
    for (const auto &[name, text] : std::vector<std::pair<std::string, std::string>>{
             {"pb_power_enable", "0x06"}, {"pb_status", "0x05"}, {"pb_monitor_vin_volts", "19.800"},
             {"pb_bme280_temperature", "31.25"}, {"pb_bme280_humidity", "41.50"}, {"pb_imu_accelerometer_1", "0.500"},
             {"pb_imu_magnetometer_0", "-123"}, {"pb_encoder_count_1", "-70000"}, {"pb_laser_distance", "2.500"},
             {"pb_laser_serial_number", "3000000000"}, {"pb_board_revision", "3"}, {"pb_motor_type", "1"}})
        EXPECT_EQ(reading(name), text) << name;
    EXPECT_TRUE(std::regex_match(reading("pb_checksum"), std::regex("0x[0-9A-F]{4}"))) << reading("pb_checksum");

    // Zeroed frames pass the advanced board's check and read as zeros.
    EXPECT_EQ(status("PUT", "/api/power_board/zero_buffer", R"({"zero_buffer": 257})"), "OK");
    EXPECT_TRUE(wait_until([this] { return text("GET", "/api/power_board/readings", "pb_monitor_vin_volts") == "0.000"; }));
    EXPECT_EQ(status("PUT", "/api/power_board/zero_buffer", "{}"), "OK");
    EXPECT_TRUE(wait_until([this] { return text("GET", "/api/power_board/readings", "pb_monitor_vin_volts") == "19.800"; }));

    // Raw register writes: hex texts, cut to their lengths.
    EXPECT_EQ(status("POST", "/api/power_board/write", R"({"register": "1A", "data": "0102"})"), "OK");
    // A lone last digit is the high half of its byte.
    EXPECT_EQ(status("POST", "/api/power_board/write", R"({"register": "1b", "data": "ABC"})"), "OK");
    // Longer texts are cut to 2 and 32 characters.
    EXPECT_EQ(status("POST", "/api/power_board/write",
                     R"({"register": "7E55", "data": "000102030405060708090A0B0C0D0E0F1011"})"), "OK");
    ASSERT_TRUE(wait_until([this] { return writes().size() >= 4; }));
    Writes all = writes();
    EXPECT_EQ(all[1], (Write{0x1A, {1, 2}}));
    EXPECT_EQ(all[2], (Write{0x1B, {0xAB, 0xC0}}));
    EXPECT_EQ(all[3], (Write{0x7E, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}}));

    // What the board cannot take is refused, and nothing goes out.
    EXPECT_EQ(status("POST", "/api/power_board/write", R"({"register": "80", "data": "01"})"), "BAD_REQUEST");
    EXPECT_EQ(status("POST", "/api/power_board/write", R"({"register": "1A", "data": ""})"), "BAD_REQUEST");
    EXPECT_EQ(status("POST", "/api/power_board/write", "{}"), "BAD_REQUEST");
    // Texts that are not hex through and through never become register 0,
    // the power rails.
    for (const char *body : {R"({"register": "ZZ", "data": "01"})", R"({"register": "", "data": "01"})",
                             R"({"register": "-1", "data": "01"})", R"({"register": "1A", "data": "0G"})",
                             R"({"register": "1A", "data": "01 02"})", R"({"data": "01"})"})
        EXPECT_EQ(status("POST", "/api/power_board/write", body), "BAD_REQUEST") << body;
    EXPECT_EQ(status("POST", "/api/power_board/write", R"({"register": "7F", "data": "EE"})"), "OK");
    ASSERT_TRUE(wait_until([this] { return writes().size() >= 5; }));
    EXPECT_EQ(writes()[4], (Write{0x7F, {0xEE}}));
}

TEST_F(ServiceSystem, SuspendedRefreshSurvivesARestartUntilResumed)
{
    start();
    ASSERT_TRUE(wait_until([this] { return reads() >= 3; }));
    EXPECT_EQ(status("POST", "/api/power_board/suspend"), "OK");
    long long count = quiet_reads();
    for (int i = 1; i <= 2; ++i) {  // each trigger is one refresh
        EXPECT_EQ(status("POST", "/api/power_board/trigger"), "OK");
        ASSERT_TRUE(wait_until([&] { return reads() == count + i; }));
    }
    EXPECT_EQ(quiet_reads(), count + 2);

    // Started suspended, the service still writes: the camera rail goes out.
    size_t written = writes().size();
    restart();
    ASSERT_TRUE(wait_until([&] { return writes().size() > written; }));
    EXPECT_EQ(quiet_reads(), count + 2);
    EXPECT_EQ(status("POST", "/api/power_board/resume"), "OK");
    EXPECT_TRUE(wait_until([&] { return reads() >= count + 7; }));
    restart();
    EXPECT_TRUE(wait_until([&] { return reads() >= count + 12; }));
}

TEST_F(ServiceSystem, DebugWarningsAreForcedOneByOneAndNotKept)
{
    start();
    const char *names[] = {"crit_temp", "high_temp", "low_temp", "high_press", "high_rh", "tilt_mtr", "pan_mtr",
                           "height_mtr"};
    // Every flag as its GET replies it: 1, 0, or ? when not a boolean.
    auto flags = [&] {
        std::string all;
        for (std::string name : names) {
            JsonPtr reply = call("GET", "/api/debug/" + name + "_warning");
            json_object *value = json_at(reply.get(), "debug_" + name + "_warning");
            all += !json_object_is_type(value, json_type_boolean) ? '?' : json_object_get_boolean(value) ? '1' : '0';
        }
        return all;
    };
    for (size_t i = 0; i < std::size(names); ++i) {
        std::string name = names[i];
        EXPECT_EQ(status("PUT", "/api/debug/" + name + "_warning", R"({"debug_)" + name + R"(_warning": true})"), "OK");
        EXPECT_EQ(flags(), std::string(i + 1, '1') + std::string(std::size(names) - 1 - i, '0')) << name;
    }
    // An absent key clears the path's own flag.
    EXPECT_EQ(status("PUT", "/api/debug/high_temp_warning", R"({"debug_low_temp_warning": true})"), "OK");
    EXPECT_EQ(flags(), "10111111");
    restart();
    EXPECT_EQ(flags(), "00000000");
}

TEST_F(ServiceSystem, ReadCommandAndTraceMaskNeedTheirKeysAndAJsonReplyClosesTheConnection)
{
    start();
    // The read command takes its low byte.
    EXPECT_EQ(status("PUT", "/api/power_board/read_command", R"({"read_command": 392})"), "OK");
    EXPECT_TRUE(traced("pb read command 1 0x88"));
    EXPECT_EQ(status("PUT", "/api/power_board/read_command", "{}"), "BAD_REQUEST");
    EXPECT_EQ(text("GET", "/api/power_board/read_command", "read_command"), "136");
    // The trace mask takes all 32 bits.
    EXPECT_EQ(text("GET", "/api/trace/mask", "trace_mask"), "16");
    EXPECT_EQ(status("PUT", "/api/trace/mask", "{}"), "BAD_REQUEST");
    EXPECT_EQ(root.read("/media/usb99/trace_mask"), "0x00000010");
    EXPECT_EQ(status("PUT", "/api/trace/mask", R"({"trace_mask": 2147483664})"), "OK");
    EXPECT_TRUE(wait_until([this] { return text("GET", "/api/trace/mask", "trace_mask") == "2147483664"; }));
    EXPECT_EQ(root.read("/media/usb99/trace_mask"), "0x80000010");
    // Two requests on one connection: the second is never answered.
    std::string both = tcp_exchange(api_port, "GET /api/led/mode HTTP/1.1\r\nHost: x\r\n\r\n"
                                              "GET /api/trace/mask HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(both.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(both.find("trace_mask"), std::string::npos);
}

}  // namespace
