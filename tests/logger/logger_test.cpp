// Statistics and their two history files.
#include <sys/wait.h>

#include <array>
#include <future>
#include <random>

#include "logger_fixture.h"

using namespace vx4test;

namespace {

std::string record(long previous_id, long current_id, long runtime, const std::string &more = "", int valid = 1)
{
    return "{\"previous_id\":" + std::to_string(previous_id) + ",\"current_id\":" + std::to_string(current_id) +
           ",\"total_runtime\":" + std::to_string(runtime) + more + ",\"values_valid\":" + std::to_string(valid) + "}";
}

// Max, min and average accumulator of a quantity.
std::vector<double> span(const auto &quantity) { return {quantity.max, quantity.min, quantity.avg_acc}; }

}  // namespace

TEST_F(LoggerTest, RuntimeAndASessionCountFromTheThirdMinuteOfARunOn)
{
    // Runs of five, two and three minutes: minutes, runtime and sessions after each minute.
    const std::vector<std::vector<std::array<uint64_t, 3>>> runs = {
        {{1, 0, 0}, {2, 0, 0}, {3, 3, 1}, {4, 4, 1}, {5, 5, 1}}, {{1, 5, 1}, {2, 5, 1}}, {{1, 5, 1}, {2, 5, 1}, {3, 8, 2}}};
    for (const auto &run : runs) {
        start();
        for (const auto &[minutes, runtime, sessions] : run) {
            vx4_roll_up_logger();
            EXPECT_EQ(present().minutes, minutes);
            EXPECT_EQ(history().total_runtime, runtime) << minutes;
            EXPECT_EQ(history().session_count, sessions) << minutes;
        }
    }
}

TEST_F(LoggerTest, TheIdChainChoosesTheNewerCompleteFile)
{
    struct {
        const char *what;
        std::optional<std::string> file0, file1;
        uint32_t loaded_id;
        uint64_t loaded_runtime;
        int next_file;  // written next, with previous_id loaded_id
    } const cases[] = {
        {"file 1 follows file 0", record(7, 8, 100), record(8, 9, 200), 9, 200, 0},
        {"file 0 follows file 1", record(8, 9, 100), record(7, 8, 200), 9, 100, 1},
        {"file 1 cut mid-write", record(7, 8, 100), record(8, 9, 200).substr(0, 30), 8, 100, 1},
        {"file 0 not valid", record(7, 8, 100, "", 0), record(3, 4, 200), 4, 200, 0},
        {"only file 0", record(40, 41, 100), std::nullopt, 41, 100, 1},
        {"neither: a zero record goes to file 1", std::string("{"), std::string(R"({"current_id":5})"), 1, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        root.remove("/home/vx4/logger");
        for (int i : {0, 1})
            if (const auto &text = i ? c.file1 : c.file0)
                root.write(log_file(i), *text);
        start();
        EXPECT_EQ(history().current_id, c.loaded_id);
        EXPECT_EQ(history().total_runtime, c.loaded_runtime);
        vx4_roll_up_logger();
        auto written = stored(c.next_file);
        ASSERT_TRUE(written);
        EXPECT_EQ(written->previous_id, static_cast<int32_t>(c.loaded_id));
        EXPECT_EQ(written->current_id, c.loaded_id + 1);
        EXPECT_EQ(written->total_runtime, c.loaded_runtime);
    }
}

TEST_F(LoggerTest, AMinuteFoldsItsMeanIntoBothSetsAndAMinuteWithoutSamplesChangesNothing)
{
    // So far in the unit's life: between -5 and 50 °C over ten minutes.
    root.write(log_file(0), record(0, 1, 10, R"(,"up_max_temperature":50.0,"up_min_temperature":-5.0,)"
                                             R"("up_avg_temperature_acc":100.0,"up_avg_temperature_count":10)"));
    start();
    for (double sample : {20.0, 30.0, std::nan(""), HUGE_VAL})  // the last two are no readings
        vx4_report_logger_up_temperature(sample);
    vx4_report_logger_internal_pressure(1000.0);
    vx4_roll_up_logger();
    auto now = present().quantities[LOGGER_UP_TEMPERATURE];
    EXPECT_EQ(span(now), std::vector({30.0, 20.0, 25.0}));
    EXPECT_EQ(now.avg_count, 1u);
    auto life = stored(1)->quantities[LOGGER_UP_TEMPERATURE];
    EXPECT_EQ(span(life), std::vector({50.0, -5.0, 125.0}));
    EXPECT_EQ(life.avg_count, 11u);

    vx4_report_logger_up_temperature(10.0);
    vx4_roll_up_logger();
    now = present().quantities[LOGGER_UP_TEMPERATURE];
    EXPECT_EQ(span(now), std::vector({30.0, 10.0, 35.0}));
    EXPECT_EQ(span(present().quantities[LOGGER_INTERNAL_PRESSURE]), std::vector({1000.0, 1000.0, 1000.0}));
    EXPECT_EQ(present().quantities[LOGGER_INTERNAL_PRESSURE].avg_count, 1u);
    EXPECT_EQ(stored(0)->quantities[LOGGER_INTERNAL_PRESSURE].avg_count, 1u);
    EXPECT_EQ(stored(0)->quantities[LOGGER_PSB_TEMPERATURE].avg_count, 0u);
}

TEST_F(LoggerTest, CountersStopAtTheirLimits)
{
    root.write(log_file(0), record(0, 1, 0, R"(,"session_count":65535,"pan_motor_warnings":65535,)"
                                            R"("invalid_camera_lens_temperature_count":65535,"psb_avg_temperature_acc":)"
                                            R"(42949672950.0,"psb_avg_temperature_count":4294967295)"));
    start();
    for (int i = 0; i < 65536; ++i)
        vx4_report_logger_tilt_motor_warning();
    vx4_report_logger_pan_motor_warning();
    vx4_report_logger_invalid_camera_lens_temperature();
    vx4_report_logger_invalid_camera_cpu_temperature();
    vx4_report_logger_psb_temperature(20.0);
    for (int i = 0; i < 3; ++i)
        vx4_roll_up_logger();
    logger_history life = history();
    EXPECT_EQ(std::vector<uint32_t>({present().warnings[LOGGER_TILT_MOTOR_WARNING], life.warnings[LOGGER_TILT_MOTOR_WARNING],
                                     present().warnings[LOGGER_PAN_MOTOR_WARNING], life.warnings[LOGGER_PAN_MOTOR_WARNING],
                                     life.session_count, life.quantities[LOGGER_CAMERA_LENS_TEMPERATURE].invalid,
                                     life.quantities[LOGGER_CAMERA_CPU_TEMPERATURE].invalid}),
              std::vector<uint32_t>({65535, 65535, 1, 65535, 65535, 65535, 1}));
    // A full average count decays towards the new mean: 10 a minute so far, now 20.
    EXPECT_EQ(life.quantities[LOGGER_PSB_TEMPERATURE].avg_count, 4294967295u);
    EXPECT_DOUBLE_EQ(life.quantities[LOGGER_PSB_TEMPERATURE].avg_acc, 42949672960.0);
}

TEST_F(LoggerTest, AResetStoresAZeroRecordThatTheNextStartKeeps)
{
    // Files written last: 0, then 1. After three more stores the other one.
    for (int newest : {0, 1}) {
        SCOPED_TRACE(newest);
        root.remove("/home/vx4/logger");
        root.write(log_file(0), newest ? record(7, 8, 400) : record(9, 10, 500));
        root.write(log_file(1), newest ? record(8, 9, 500) : record(8, 9, 400));
        start();
        ASSERT_EQ(history().total_runtime, 500u);
        vx4_report_logger_height_motor_warning();
        for (int i = 0; i < 3; ++i)
            vx4_roll_up_logger();

        EXPECT_EQ(vx4_reset_logger(), 0);
        auto zero = stored(newest);  // the file other than the one written last
        ASSERT_TRUE(zero);
        EXPECT_EQ(std::vector<int64_t>({zero->previous_id, zero->current_id, static_cast<int64_t>(zero->total_runtime),
                                        zero->warnings[LOGGER_HEIGHT_MOTOR_WARNING]}),
                  std::vector<int64_t>({0, 1, 0, 0}));
        EXPECT_EQ(present().minutes, 0u);
        EXPECT_EQ(present().warnings[LOGGER_HEIGHT_MOTOR_WARNING], 0u);
        start();  // at once: the record from before the reset does not come back
        EXPECT_EQ(history().current_id, 1u);
        EXPECT_EQ(history().total_runtime, 0u);
    }
    // The minute's samples survive a reset; the marker on the stick resets too.
    vx4_report_logger_internal_humidity(60.0);
    vx4_report_logger_high_humidity_warning();
    vx4_check_logger_reset();
    EXPECT_EQ(history().warnings[LOGGER_HIGH_HUMIDITY_WARNING], 1u);
    root.write("/media/usb-cpy/vx4_log_reset.txt", "");
    vx4_check_logger_reset();
    EXPECT_EQ(history().warnings[LOGGER_HIGH_HUMIDITY_WARNING], 0u);
    vx4_roll_up_logger();
    EXPECT_EQ(history().quantities[LOGGER_INTERNAL_HUMIDITY].avg_acc, 60.0);
}

TEST_F(LoggerTest, AStoreCountsOnlyOnceTheFileAndItsFolderAreFlushed)
{
    std::vector<std::string> flushed;
    set_fsync_hook([&](const std::string &path) {
        flushed.push_back(path);
        return 0;
    });
    start();  // the first start stores a zero record in file 1
    ASSERT_EQ(flushed.size(), 2u);
    EXPECT_TRUE(flushed[0].ends_with("/home/vx4/logger/.log1.json.new")) << flushed[0];
    EXPECT_TRUE(flushed[1].ends_with("/home/vx4/logger")) << flushed[1];
    for (const char *failing : {".log0.json.new", "/home/vx4/logger"}) {
        SCOPED_TRACE(failing);
        uint32_t id = history().current_id;
        set_fsync_hook([failing](const std::string &path) { return path.ends_with(failing) ? -1 : 0; });
        vx4_roll_up_logger();
        EXPECT_EQ(history().current_id, id);
        EXPECT_FALSE(root.exists("/home/vx4/logger/.log0.json.new"));
        set_fsync_hook(nullptr);
        vx4_roll_up_logger();  // the same file again, with the same id
        EXPECT_EQ(stored(0)->current_id, id + 1);
        vx4_roll_up_logger();
    }
}

TEST_F(LoggerTest, NeitherTheMainLoopNorReportsWaitForTheMinutesFileWrite)
{
    start();
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> held{false}, reported{false};
    set_fsync_hook([&](const std::string &path) {
        if (path.ends_with(".new") && !held.exchange(true)) {
            entered.set_value();
            released.wait();
        }
        return 0;
    });
    std::thread main_loop([&] {
        logger_minute_tick();  // returns with the write still under way
        entered.get_future().wait();
        vx4_report_logger_internal_pressure(990.0);
        vx4_report_logger_tilt_motor_warning();
        json_object_put(vx4_get_logger_current_readings());
        reported = true;
    });
    bool in_time = wait_until([&] { return reported.load(); }, 3000ms);
    release.set_value();
    main_loop.join();
    EXPECT_TRUE(in_time) << "the tick or a report waited for the file write";
    EXPECT_TRUE(wait_until([&] { return stored(0) && stored(0)->current_id == 2; }));
    EXPECT_EQ(present().minutes, 1u);
}

TEST_F(LoggerTest, AKillAtAnyMomentLeavesTheLastCompleteRecord)
{
    std::mt19937 random(12345);
    uint32_t last_id = 0;
    auto newest = [&] {
        auto file0 = stored(0), file1 = stored(1);
        return std::max(file0 ? file0->current_id : 0, file1 ? file1->current_id : 0);
    };
    for (int round = 0; round < 12; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            vx4_init_logger(nullptr);
            for (;;)
                vx4_roll_up_logger();
        }
        // Killed some moment after its first store of this round.
        bool storing = wait_until([&] { return newest() > last_id; });
        usleep(std::uniform_int_distribution<useconds_t>(0, 20000)(random));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        ASSERT_TRUE(storing) << round;
        uint32_t id = newest();
        EXPECT_GT(id, last_id);
        start();
        EXPECT_EQ(history().current_id, id) << round;
        last_id = id;
    }
}
