// The simulated power board seen from its bus socket, the way a faulty
// driver would drive it: it must tell framing and bit order faults apart
// from good transactions, and run motors for the time they are given.
#include <sys/un.h>

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
    EXPECT_EQ(sim->number("/board", "power_off_requests"), 1);
    EXPECT_EQ(sim->number("/board", "readings.pb_power_enable"), 0x02);
    EXPECT_EQ(sim->number("/board", "leds.enable"), 0);

    EXPECT_EQ(ask("SPI MODE 0"), "OK");
    transaction("0140");
    EXPECT_EQ(errors().back(),
              "transaction with the controller in mode 0, MSB first (the board needs mode 2, MSB first)");
    EXPECT_EQ(ask("GPIO 7 INIT"), "ERR 7");
    EXPECT_EQ(ask("SPI XFER zz"), "ERR 4");
    // Readings must fit their fields.
    for (const char *refused : {R"({"pb_motor_type": 300})", R"({"pb_nothing": 1})",
                                R"({"pb_monitor_vin_volts": 12.0, "pb_imu_temperature": "warm"})"})
        EXPECT_EQ(http_request(sim->control_port(), "POST", "/board/readings", refused).status, 400) << refused;
    EXPECT_EQ(sim->number("/board", "readings.pb_monitor_vin_volts"), 19.8);
}

TEST_F(SimBoardBus, MotorsRunForTheirDurationOrUntilStopped)
{
    transaction("C1" "4C" "5F" "00");  // reg 3: PWM 50, 250 ms
    transaction("6180");               // reg 6: run motor 1
    EXPECT_EQ(sim->number("/board", "motors.0.running"), 1);
    EXPECT_EQ(sim->number("/board", "motors.0.pwm"), 50);
    EXPECT_LE(sim->number("/board", "motors.0.remaining_ms"), 250);
    EXPECT_TRUE(wait_until([&] { return sim->number("/board", "motors.0.running") == 0; }, 3000ms));
    transaction("6140");  // run motor 2
    transaction("61FF");  // stop
    EXPECT_EQ(sim->number("/board", "motors.1.running"), 0);
    EXPECT_EQ(sim->number("/board", "readings.pb_motor_command"), 0xFF);
    EXPECT_TRUE(errors().empty());
}

}  // namespace
