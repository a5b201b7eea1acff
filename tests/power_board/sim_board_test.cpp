// The simulated power board seen from its bus socket, the way a faulty
// driver would drive it: it must tell framing and bit order faults apart
// from good transactions, and answer reads as the real board does.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "support.h"

using namespace vx4test;

namespace {

class SimBoardBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string path = root.path() + "/board.sock";
        sim = std::make_unique<SimHead>(root, std::vector<std::string>{"--bus=" + path});
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        for (const char *line : {"GPIO 24 INIT", "GPIO 24 DIR OUT", "GPIO 24 WRITE 1", "SPI 0 INIT", "SPI MODE 2",
                                 "SPI FREQ 100000", "SPI LSB 0"})
            ASSERT_EQ(ask(line), "OK") << line;
    }
    void TearDown() override { close(fd); }

    std::string ask(const std::string &line)
    {
        std::string request = line + "\n";
        EXPECT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
        std::string reply;
        char c;
        pollfd watch{fd, POLLIN, 0};
        while (poll(&watch, 1, 5000) == 1 && recv(fd, &c, 1, 0) == 1 && c != '\n')
            reply += c;
        return reply;
    }

    // One transaction: chip select low, the bytes, chip select high.
    std::string transaction(const std::string &hex)
    {
        EXPECT_EQ(ask("GPIO 24 WRITE 0"), "OK");
        std::string reply = ask("SPI XFER " + hex);
        EXPECT_EQ(ask("GPIO 24 WRITE 1"), "OK");
        return reply;
    }

    std::vector<std::string> errors()
    {
        auto state = sim->get("/board");
        std::vector<std::string> found;
        json_object *list = json_at(state.get(), "bus.last_errors");
        for (size_t i = 0; i < json_object_array_length(list); ++i)
            found.push_back(json_object_get_string(json_object_array_get_idx(list, i)));
        return found;
    }

    SandboxRoot root;
    std::unique_ptr<SimHead> sim;
    int fd = -1;
};

uint8_t reverse(uint8_t byte)
{
    uint8_t out = 0;
    for (int i = 0; i < 8; ++i)
        if (byte & (1 << i))
            out = static_cast<uint8_t>(out | 0x80 >> i);
    return out;
}

TEST_F(SimBoardBus, ReadsAnswerTheFrameLeastSignificantBitFirstWithAZeroSum)
{
    sim->post("/board/readings", R"({"pb_monitor_vin_volts": 18.25, "pb_status": 1})");
    std::string reply = transaction("88" + std::string(2 * 141, '0'));
    ASSERT_EQ(reply.size(), 3u + 2 * 142);
    std::vector<uint8_t> frame;
    for (size_t i = 5; i < reply.size(); i += 2)
        frame.push_back(reverse(static_cast<uint8_t>(std::stoi(reply.substr(i, 2), nullptr, 16))));
    uint8_t sum = 0;
    for (uint8_t byte : frame)
        sum = static_cast<uint8_t>(sum + byte);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(frame[7], 1);
    EXPECT_EQ(frame[87] | frame[88] << 8, 18250);
    EXPECT_TRUE(errors().empty());

    sim->post("/board/faults", R"({"bad_checksum": 1})");
    reply = transaction("88" + std::string(2 * 141, '0'));
    sum = 0;
    for (size_t i = 5; i < reply.size(); i += 2)
        sum = static_cast<uint8_t>(sum + reverse(static_cast<uint8_t>(std::stoi(reply.substr(i, 2), nullptr, 16))));
    EXPECT_NE(sum, 0);
}

TEST_F(SimBoardBus, FramingAndBitOrderFaultsAreRecordedAndNotApplied)
{
    EXPECT_EQ(ask("SPI XFER 0160"), "OK 0000");  // no chip select
    transaction("8006");                          // command byte not reversed
    transaction("0106");                          // data byte not reversed
    transaction("88" + std::string(20, '0'));     // a read cut short
    transaction("01C0");                          // reg 0 = 0x03: power-off request with bit 1
    transaction("8140");                          // reg 1 takes two bytes
    EXPECT_EQ(errors(), (std::vector<std::string>{
                            "transfer of 2 bytes without chip select",
                            "unknown command byte 0x80",
                            "write 0106 to register 0: power enable value without bit 1 or with bits 4-7",
                            "read of 10 bytes, the frame is 141",
                            "write 8140 to register 1: register 1 takes 2 bytes",
                        }));
    auto state = sim->get("/board");
    EXPECT_EQ(json_object_get_int(json_at(state.get(), "power_off_requests")), 1);
    EXPECT_EQ(json_object_get_int(json_at(state.get(), "readings.pb_power_enable")), 0x02);
    EXPECT_EQ(json_object_get_int(json_at(state.get(), "leds.enable")), 0);

    EXPECT_EQ(ask("SPI MODE 0"), "OK");
    transaction("0140");
    EXPECT_EQ(errors().back(),
              "transaction with the controller in mode 0, MSB first (the board needs mode 2, MSB first)");
    EXPECT_EQ(ask("GPIO 7 INIT"), "ERR 7");
    EXPECT_EQ(ask("SPI XFER zz"), "ERR 4");
}

TEST_F(SimBoardBus, MotorRunsLastTheirDuration)
{
    transaction("C1" "4C" "5F" "00");  // reg 3: PWM 50, 250 ms
    transaction("6180");               // reg 6: run motor 1
    auto state = sim->get("/board");
    json_object *tilt = json_object_array_get_idx(json_at(state.get(), "motors"), 0);
    EXPECT_TRUE(json_object_get_boolean(json_at(tilt, "running")));
    EXPECT_EQ(json_object_get_int(json_at(tilt, "pwm")), 50);
    EXPECT_LE(json_object_get_int(json_at(tilt, "remaining_ms")), 250);
    EXPECT_TRUE(wait_until([&] {
        auto now = sim->get("/board");
        return !json_object_get_boolean(json_at(json_object_array_get_idx(json_at(now.get(), "motors"), 0), "running"));
    }, 3000ms));

    transaction("6140");  // run motor 2
    transaction("61FF");  // stop
    state = sim->get("/board");
    EXPECT_FALSE(json_object_get_boolean(json_at(json_object_array_get_idx(json_at(state.get(), "motors"), 1), "running")));
    EXPECT_EQ(json_object_get_int(json_at(state.get(), "readings.pb_motor_command")), 0xFF);
    EXPECT_TRUE(errors().empty());
}

TEST_F(SimBoardBus, ReadingsAreCheckedAgainstTheirFields)
{
    EXPECT_EQ(http_request(sim->control_port(), "POST", "/board/readings", R"({"pb_motor_type": 300})").status, 400);
    EXPECT_EQ(http_request(sim->control_port(), "POST", "/board/readings", R"({"pb_nothing": 1})").status, 400);
    EXPECT_EQ(http_request(sim->control_port(), "POST", "/board/readings",
                           R"({"pb_monitor_vin_volts": 12.0, "pb_imu_temperature": "warm"})").status, 400);
    auto state = sim->get("/board");
    EXPECT_DOUBLE_EQ(json_object_get_double(json_at(state.get(), "readings.pb_monitor_vin_volts")), 19.8);
    EXPECT_EQ(http_request(sim->control_port(), "POST", "/board/faults", R"({"silent": 3})").status, 400);
}

}  // namespace
