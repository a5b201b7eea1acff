// vx4-api on the simulated power board: what its start-up, the command FIFO,
// the redis publisher and its stop do to the board and to redis.
#include "head_system.h"

using namespace vx4test;

namespace {

class BoardSystem : public HeadSystem {
protected:
    bool redis_number(const std::string &key, double expected) const
    {
        auto value = redis->get(key);
        return value && std::fabs(std::stod(*value) - expected) < 0.001;
    }
};

TEST_F(BoardSystem, StartsWithTheCameraRailOnRefreshesAndReleasesTheBusWhenTerminated)
{
    start();
    ASSERT_TRUE(wait_until([this] { return reads() >= 5 && !writes().empty(); }));
    EXPECT_EQ(writes().front(), (BoardWrite{0, {0x06}}));
    EXPECT_EQ(api.errors(), "start\nentering loop...\n");
    EXPECT_NE(api.output().find("WRITE: (0) 06\n"), std::string::npos);
    // Mode, bit order and chip select are checked by the simulated board on
    // every transaction (a bus error fails the test).
    for (const auto &[path, value] : std::vector<std::pair<std::string, double>>{
             {"bus.gpio.13.value", 0}, {"bus.gpio.15.value", 0}, {"bus.spi.frequency", 100000}})
        EXPECT_EQ(sim->number("/board", path), value) << path;
    api.signal(SIGTERM);
    EXPECT_EQ(api.wait_exit(5000ms), 0);
    for (const char *path : {"bus.spi.open", "bus.gpio.24.open", "bus.gpio.13.open", "bus.gpio.15.open"})
        EXPECT_EQ(sim->number("/board", path), 0) << path;
    EXPECT_EQ(sim->number("/board", "bus.gpio.24.value"), 1);
}

TEST_F(BoardSystem, FifoLinesBecomeRegisterWrites)
{
    start();
    ASSERT_TRUE(wait_until([this] { return writes().size() == 1; }));
    // One line of each kind (the matching itself is the FIFO's unit test).
    // A line longer than 1023 characters is dropped whole, a NUL inside it or not.
    std::string long_lines = std::string(1023, 'x') + "laser disable\n" + std::string(1, 'y') + std::string(1, '\0') +
                             std::string(1021, 'y') + "laser disable\n";
    fifo("pwm 300\nlow\nnothing we know\nleds_off\nlaser enable\n" + long_lines +
         "camera disable\ncamera enabled\nlaser disable\n");
    // The FIFO is read on the main loop: the API's marker is no barrier for it.
    ASSERT_TRUE(wait_until([this] { return writes().size() >= 8; })) << writes().size();
    EXPECT_EQ(writes(), (Writes{{0, {0x06}}, {1, {0x00, 255}}, {1, {0x09, 255}}, {1, {0x00, 255}},
                                {0, {0x0E}}, {0, {0x0A}}, {0, {0x0E}}, {0, {0x06}}}));
}

TEST_F(BoardSystem, PublishesReadingsToRedisEverySecondAndAStoppedRedisHoldsNeitherTheLoopNorTheRefresh)
{
    start();
    sim->post("/board/readings", R"({"pb_monitor_vin_volts": 18.25, "pb_bme280_temperature": 22.5, "pb_motor_type": 2})");
    EXPECT_TRUE(wait_until([this] {
        return redis_number("avr-voltage", 18.25) && redis_number("avr-temperature", 22.5) &&
               redis->get("vx4-motor-type") == "pan";
    }, 5000ms));
    EXPECT_EQ(*redis->get("avr-voltage"), "18.250000");

    // Each second brings the board's values again.
    sim->post("/board/readings", R"({"pb_monitor_vin_volts": 17.0, "pb_motor_type": 1})");
    redis->set("avr-temperature", "stale");
    EXPECT_TRUE(wait_until([this] {
        return redis_number("avr-voltage", 17.0) && redis->get("vx4-motor-type") == "height" &&
               redis_number("avr-temperature", 22.5);
    }, 3000ms));
    sim->post("/board/readings", R"({"pb_motor_type": 7})");
    EXPECT_TRUE(wait_until([this] { return redis->get("vx4-motor-type") == "none"; }, 3000ms));

    // A stopped redis (SIGSTOP) holds neither the loop nor the board's
    // refresh; once it goes on, the readings are published again.
    auto refreshes_in = [this](milliseconds period) {
        long long before = reads();
        std::this_thread::sleep_for(period);
        return static_cast<double>(reads() - before) / static_cast<double>(period.count());
    };
    double answering = refreshes_in(1500ms);
    redis->signal(SIGSTOP);
    double stopped = refreshes_in(2500ms);
    auto sent = std::chrono::steady_clock::now();
    fifo("laser enable\n");  // handled on the loop
    ASSERT_TRUE(wait_until([this] { return writes().back() == Writes::value_type{0, {0x0E}}; }, 2000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 400ms);
    redis->signal(SIGCONT);
    EXPECT_GE(stopped, answering * 0.8) << "refreshes per ms: " << answering << " answering, " << stopped << " stopped";
    sim->post("/board/readings", R"({"pb_monitor_vin_volts": 16.5})");
    EXPECT_TRUE(wait_until([this] { return redis_number("avr-voltage", 16.5); }, 8000ms));
}

TEST_F(BoardSystem, WithoutTheAdvancedModelNameItDrivesTheBasicBoard)
{
    start("basic");
    sim->post("/board/readings", R"({"pb_monitor_vin_volts": 12.75})");
    EXPECT_TRUE(wait_until([this] { return redis_number("avr-voltage", 12.75); }, 5000ms));
}

}  // namespace
