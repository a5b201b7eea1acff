// The supervisor on the application's loop in a sandbox root: the camera's
// HTTP status service and (where asked) the power board in vx4-sim, the
// redis values in a private server, the stick and the core temperatures as
// files the tests write, shutdown and reboot as recording stubs.
#include "supervisor/supervisor.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "../power_board/board_fixture.h"
#include "logger/logger.h"
#include "recorder/recorder.h"
#include "supervisor/supervisor_encoder.h"
#include "supervisor/supervisor_ping.h"

using namespace vx4test;

namespace {

class SupervisorTest : public BoardTest {
protected:
    // Starts the supervisor on the application's loop, with the simulated
    // board when asked. The camera's status service runs in a vx4-sim of
    // its own.
    void start_supervisor(bool with_board = false)
    {
        camera_port = free_tcp_port();
        camera = std::make_unique<SimHead>(root, std::vector<std::string>{"--camera-http-port=" +
                                                                          std::to_string(camera_port)});
        setenv("VX4_CAMERA_HTTP_PORT", std::to_string(camera_port).c_str(), 1);
        if (redis)
            setenv("VX4_REDIS_PORT", std::to_string(redis->port()).c_str(), 1);
        for (const char *program : {"/sbin/shutdown", "/sbin/reboot"})
            install_stub(program);
        if (with_board) {
            // Refreshing by itself, as in the daemon.
            sim = std::make_unique<SimHead>(root, std::vector<std::string>{"--bus=" + socket()});
            init(true, BoardEvents::table());
            ASSERT_EQ(vx4_power_board_start_service(&board), 0);
            power_board_instance = &board;
        } else {
            root.write("/media/usb99/trace_mask", "0xFFFFFFFF");
            root.enter();
            init_trace();
            ASSERT_EQ(vx4_application_init(&application, "vx4-test"), 0);
            loop_only = true;
        }
        ASSERT_EQ(vx4_init_logger(nullptr), 0);
        ASSERT_EQ(vx4_create_recorder(nullptr), 0);
        vx4_init_supervisor(1);
    }

    // A text of the logger's readings report.
    static std::string logger_reading(const std::string &key)
    {
        JsonPtr report(vx4_get_logger_current_readings());
        json_object *value = report ? json_at(report.get(), key) : nullptr;
        return value ? json_object_get_string(value) : "";
    }

    void TearDown() override
    {
        power_board_instance = nullptr;
        if (loop_only)
            vx4_application_destroy(&application);
        BoardTest::TearDown();
    }

    // A program that appends its name and arguments to ROOT/power.log.
    void install_stub(const char *program)
    {
        root.make_dir("/sbin");
        root.write(program, "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> '" + root.path() + "/power.log'\n");
        chmod(root.at(program).c_str(), 0755);
    }

    std::vector<std::string> power_log() const
    {
        return root.exists("/power.log") ? split_lines(root.read("/power.log")) : std::vector<std::string>{};
    }

    static vx4_supervisor_values values()
    {
        vx4_supervisor_values v;
        vx4_load_supervisor_values(&v);
        return v;
    }

    // Runs the loop until the supervisor's record satisfies the condition.
    bool wait_values(const std::function<bool(const vx4_supervisor_values &)> &condition,
                     milliseconds timeout = 5000ms)
    {
        return run_until([&] { return condition(values()); }, timeout);
    }

    void run_for(milliseconds time) { run_until([] { return false; }, time); }

    void set_cores(const std::string &text)
    {
        for (int input = 2; input <= 5; ++input)
            root.write("/sys/devices/platform/coretemp.0/hwmon/hwmon1/temp" + std::to_string(input) + "_input",
                       text);
    }

    // Where the supervisor's line is in the trace (-1: not there).
    long index_of(const std::string &line) const
    {
        auto lines = trace_lines(root);
        auto found = std::find(lines.begin(), lines.end(), "SUPV: " + line);
        return found == lines.end() ? -1 : found - lines.begin();
    }

    bool loop_only = false;  // started without the board: the application is ours to end
    int camera_port = 0;
    std::unique_ptr<SimHead> camera;
    std::unique_ptr<RedisServer> redis;
};

// --- the encoder poll and the ping, each on a loop of its own

struct PollRun {
    bool done = false;
    vx4_encoder_status status{};
};
PollRun poll_run;

PollRun poll_once(int port, milliseconds timeout = 5000ms)
{
    struct ev_loop *loop = ev_loop_new(EVFLAG_AUTO);
    poll_run = {};
    EXPECT_TRUE(vx4_start_encoder_poll(loop, "127.0.0.1", port, [](const vx4_encoder_status &status) {
        poll_run.done = true;
        poll_run.status = status;
    }));
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!poll_run.done && std::chrono::steady_clock::now() < deadline)
        ev_run(loop, EVRUN_ONCE);
    ev_loop_destroy(loop);
    EXPECT_TRUE(poll_run.done);
    return poll_run;
}

TEST_F(SupervisorTest, EncoderPollAsksSixQuestionsOnOneConnection)
{
    root.write("/media/usb99/trace_mask", "0x00000004");
    root.enter();
    init_trace();
    camera_port = free_tcp_port();
    camera = std::make_unique<SimHead>(root, std::vector<std::string>{"--camera-http-port=" + std::to_string(camera_port)});

    PollRun run = poll_once(camera_port);
    EXPECT_TRUE(run.status.answered);
    EXPECT_STREQ(run.status.channel_1, "1 H264 1920x1080 30fps 4096kbps CBR RTSP live");
    EXPECT_STREQ(run.status.channel_2, "2 H264 1280x720 30fps 2048kbps CBR RTSP live");
    EXPECT_EQ(run.status.temperatures.cpu, 60.0);
    // Six requests on one connection, the statistics last.
    EXPECT_EQ(camera->number("/camera/http", "connections_accepted"), 1);
    EXPECT_EQ(camera->number("/camera/http", "requests"), 6);
    EXPECT_EQ(camera->text("/camera/http", "last_requests.5"), "GET /cgi-bin/control.cgi?ctrl=stats&chn=");

    // Faults of the camera: each poll ends with what it could read (no
    // streams and no temperatures when it failed) and says why in the trace.
    struct Case {
        const char *faults;
        const char *status;
        bool answered;
        const char *channel_2;
        double fpga;
        const char *traced;
    };
    const std::vector<Case> cases = {
        {R"({"status": 500})", "{}", false, VX4_NO_STREAM, NAN, "CPST: http a response 500"},
        {R"({"status": 200, "silent": true})", "{}", false, VX4_NO_STREAM, NAN, "CPST: http a response 500"},
        {R"({"silent": false, "garbled": true})", "{}", true, VX4_NO_STREAM, NAN, nullptr},
        {R"({"garbled": false})", R"({"channel_1": "", "channel_2": "H265 720p", "fpga": 120})", true,
         "2 H265 720p - - - - -", 120.0, "CPST: *** ctt: '120.00'"},
        {R"({"refuse": true})", "{}", false, VX4_NO_STREAM, NAN, "CPST: http open fail 111"},
    };
    for (const Case &c : cases) {
        camera->post("/camera/http/faults", c.faults);
        camera->post("/camera/http/status", c.status);
        long traced_before = c.traced ? traced(c.traced) : 0;
        run = poll_once(camera_port);
        EXPECT_EQ(run.status.answered, c.answered) << c.faults;
        EXPECT_STREQ(run.status.channel_1, VX4_NO_STREAM) << c.faults;
        EXPECT_STREQ(run.status.channel_2, c.channel_2) << c.faults;
        EXPECT_TRUE(std::isnan(c.fpga) ? std::isnan(run.status.temperatures.fpga) : run.status.temperatures.fpga == c.fpga)
            << c.faults;
        EXPECT_TRUE(!c.traced || traced(c.traced) == traced_before + 1) << c.faults;
    }
    EXPECT_EQ(traced("CPST: *** INVALID ***"), 1);
}

bool ping_answered;
bool ping_done;

void ping_once(struct ev_loop *loop, const char *host)
{
    ping_done = false;
    ASSERT_TRUE(vx4_start_camera_ping(loop, host, [](bool answered) {
        ping_answered = answered;
        ping_done = true;
    }));
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!ping_done && std::chrono::steady_clock::now() < deadline)
        ev_run(loop, EVRUN_ONCE);
    ASSERT_TRUE(ping_done);
}

// A raw ICMP socket needs privileges, a datagram one a group that
// net.ipv4.ping_group_range admits.
bool icmp_allowed()
{
    for (int type : {SOCK_RAW, SOCK_DGRAM}) {
        int fd = socket(AF_INET, type, IPPROTO_ICMP);
        if (fd >= 0) {
            close(fd);
            return true;
        }
    }
    return false;
}

bool write_text(const char *path, const std::string &text)
{
    FILE *file = fopen(path, "w");
    if (!file)
        return false;
    bool written = fputs(text.c_str(), file) >= 0;
    return fclose(file) == 0 && written;
}

// A network namespace of the calling process alone (a user namespace too
// when not privileged), with its loopback up and ignoring echo requests.
bool private_silent_loopback()
{
    if (unshare(CLONE_NEWNET) != 0) {
        std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0 || !write_text("/proc/self/setgroups", "deny") ||
            !write_text("/proc/self/uid_map", "0 " + uid + " 1") || !write_text("/proc/self/gid_map", "0 " + gid + " 1"))
            return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags |= IFF_UP) &&
              ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        close(fd);
    return up && write_text("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1");
}

// The request goes out on a loopback that never answers it.
TEST(CameraPing, NoAnswerWithinItsTime)
{
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char verdict = 's';  // skipped: no private namespace here
        if (private_silent_loopback()) {
            struct ev_loop *loop = ev_loop_new(EVFLAG_AUTO);
            auto began = std::chrono::steady_clock::now();
            ping_once(loop, "127.0.0.1");
            auto waited = std::chrono::steady_clock::now() - began;
            verdict = ping_done && !ping_answered && waited >= 400ms && waited < 1000ms ? 'y' : 'n';
        }
        ssize_t ignored = write(report[1], &verdict, 1);
        (void)ignored;
        _exit(0);
    }
    close(report[1]);
    char verdict = 0;
    ASSERT_EQ(read(report[0], &verdict, 1), 1);
    close(report[0]);
    waitpid(child, nullptr, 0);
    if (verdict == 's')
        GTEST_SKIP() << "no private network namespace on this machine";
    EXPECT_EQ(verdict, 'y');
}

// --- the supervisor as a whole

TEST_F(SupervisorTest, CameraSignalStreamsAndTemperatures)
{
    start_supervisor();
    if (icmp_allowed()) {
        ASSERT_TRUE(wait_values([](const vx4_supervisor_values &v) { return v.camera_signal == 1; }, 3000ms));
        EXPECT_TRUE(run_until([&] { return root.exists("/tmp/camera_signal") && root.read("/tmp/camera_signal") == "0"; }));
    }

    // A hot FPGA warns and is traced as a camera shutdown, but only the
    // head's own temperatures shut it down.
    camera->post("/camera/http/status", R"({"fpga": 95})");
    ASSERT_TRUE(wait_values([](const vx4_supervisor_values &v) { return v.hot == 1; }, 8000ms));
    vx4_supervisor_values hot = values();
    EXPECT_EQ(hot.fpga_temperature, 95.0f);
    EXPECT_EQ(hot.lens_temperature, 41.25f);
    EXPECT_EQ(hot.warm, 1);
    EXPECT_EQ(hot.overheat, 0);
    EXPECT_STREQ(hot.channel_2, "2 H264 1280x720 30fps 2048kbps CBR RTSP live");
    EXPECT_TRUE(run_until([&] { return root.exists("/tmp/fpga_temp") && root.read("/tmp/fpga_temp") == "95.00"; }));
    EXPECT_GE(traced("SUPV: camera temp shutdown 95.0 41.2 60.0"), 1);

    // A reading out of the sensor's range is shown but warns of nothing.
    camera->post("/camera/http/status", R"({"fpga": 300})");
    ASSERT_TRUE(wait_values([](const vx4_supervisor_values &v) { return v.fpga_temperature == 300.0f; }, 8000ms));
    ASSERT_TRUE(wait_values([](const vx4_supervisor_values &v) { return v.warm == 0; }, 2000ms));
    EXPECT_TRUE(run_until([&] { return root.read("/tmp/fpga_temp") == "300.00"; }));
    EXPECT_TRUE(power_log().empty());
    // The statistics took the valid readings and counted the other.
    vx4_roll_up_logger();
    EXPECT_EQ(logger_reading("present_camera_fpga_max_temperature"), "95.0 \u00B0C");
    EXPECT_EQ(logger_reading("present_invalid_camera_fpga_temperature"), "1");
}

TEST_F(SupervisorTest, CameraSignalLostWhenThePingIsNotAnswered)
{
    setenv("VX4_CAMERA_PING_HOST", "127.255.255.255", 1);
    start_supervisor();
    unsetenv("VX4_CAMERA_PING_HOST");
    ASSERT_TRUE(run_until([&] { return root.exists("/tmp/camera_signal"); }, 3000ms));
    EXPECT_EQ(root.read("/tmp/camera_signal"), "1");
    EXPECT_EQ(values().camera_signal, 0);
}

TEST_F(SupervisorTest, CoreTemperatures)
{
    set_cores("81000\n");
    start_supervisor();
    ASSERT_TRUE(wait_values([](const vx4_supervisor_values &v) { return v.processor_temperature == 81.0f; }));
    vx4_supervisor_values v = values();
    EXPECT_EQ(v.core_temperature[3], 81.0f);
    EXPECT_EQ(v.warm, 1);
    EXPECT_EQ(v.hot, 0);
    EXPECT_EQ(v.below_zero, 0);
    // One high temperature warning a second while it lasts.
    auto warnings = [] { return atoi(logger_reading("present_high_temperature_warnings").c_str()); };
    int first = warnings();
    auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(run_until([&] { return warnings() >= first + 3; }, 5000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - began, 1900ms);

    // One core that reads nonsense neither warns nor shuts down.
    root.write("/sys/devices/platform/coretemp.0/hwmon/hwmon1/temp2_input", "999999\n");
    ASSERT_TRUE(wait_traced("SUPV: implausible core0 temp 1000.0"));
    run_for(1500ms);
    EXPECT_EQ(values().processor_temperature, 81.0f);
    EXPECT_EQ(traced("SUPV: need shutdown"), 0);
    vx4_roll_up_logger();
    EXPECT_EQ(logger_reading("present_up_max_temperature"), "81.0 \u00B0C");

    // All cores above 89 °C: announced, then powered off.
    set_cores("90000");
    ASSERT_TRUE(run_until([&] { return !power_log().empty(); }, 5000ms));
    EXPECT_EQ(power_log()[0], "shutdown -P now");
    EXPECT_EQ(values().overheat, 1);
    EXPECT_LT(index_of("temp shutdown 0.0 90.0"), index_of("cl shutdown"));
}

TEST_F(SupervisorTest, RecordTextsAndFlags)
{
    root.write("/tmp/recording", "1\n");  // with a line end it is not "1"
    root.write("/tmp/paused", "1");
    root.write("/tmp/vx4_update", "COPY: files done\nsecond line");
    root.write("/opt/orba/VX4_RELEASE", "3.1.7 (sandbox)");
    start_supervisor();
    ASSERT_TRUE(wait_values([](const vx4_supervisor_values &v) { return v.paused == 1; }));
    vx4_supervisor_values v = values();
    EXPECT_EQ(v.recording, 0);
    EXPECT_GT(v.emmc_kb, 0);  // the recorder's free space, in the record
    EXPECT_EQ(v.usb_kb, vx4_get_recorder_usb_kb());
    EXPECT_STREQ(v.update_status, "COPY: files done");
    EXPECT_STREQ(v.version, "3.1.7 (sandbox)");
    EXPECT_STREQ(v.ext_usb_status, "removed");

    root.write("/tmp/recording", "1");
    ASSERT_TRUE(wait_values([](const vx4_supervisor_values &now) { return now.recording == 1; }));
}

TEST_F(SupervisorTest, ExternalStick)
{
    start_supervisor();
    auto status_is = [this](const char *text) {
        return wait_values([text](const vx4_supervisor_values &v) { return strcmp(v.ext_usb_status, text) == 0; });
    };
    root.make_dir("/media/usb-cpy");
    root.make_dir("/dev");

    // No stick: nothing to eject.
    EXPECT_EQ(vx4_request_supervisor_eject(), -1);
    ASSERT_TRUE(status_is("removed"));

    // Plugged: mounted, with the updates it carries and the logger's reset
    // marker.
    root.write("/media/usb-cpy/vx4_730-00512_update_1.0.zip", "package");
    root.write("/media/usb-cpy/vx4_log_reset.txt", "");
    root.write("/dev/usb_ext1", "");
    ASSERT_TRUE(status_is("inserted"));
    EXPECT_EQ(vx4_is_external_usb_mounted(), 1);
    EXPECT_TRUE(wait_values([](const vx4_supervisor_values &v) { return v.update_available == 1; }));
    EXPECT_EQ(traced("SUPV: update 1 0 0"), 1);
    EXPECT_EQ(traced("LGGR: reset logger by usb"), 1);

    // Pulled without an eject: unmounted.
    root.remove("/dev/usb_ext1");
    ASSERT_TRUE(status_is("removed"));
    EXPECT_GE(traced("SUPV: usb out"), 1);
    EXPECT_EQ(vx4_is_external_usb_mounted(), 0);

    // Ejected once its I/O is done, and not mounted again until pulled.
    root.remove("/media/usb-cpy/vx4_730-00512_update_1.0.zip");
    root.remove("/media/usb-cpy/vx4_log_reset.txt");
    root.write("/dev/usb_ext1", "");
    ASSERT_TRUE(status_is("inserted"));
    root.write("/sys/block/sdb/stat", "  100 0 800 20 5 0 40 10 3 30 30\n");
    EXPECT_EQ(vx4_request_supervisor_eject(), 1);
    EXPECT_EQ(vx4_is_external_usb_mounted(), 0);
    ASSERT_TRUE(status_is("eject pending"));
    ASSERT_TRUE(wait_traced("SUPV: io 3"));
    root.write("/sys/block/sdb/stat", "  100 0 800 20 5 0 40 10 0 30 30\n");
    ASSERT_TRUE(status_is("ejected"));
    EXPECT_EQ(traced("SUPV: usb ejected"), 1);
    run_for(1500ms);
    EXPECT_STREQ(values().ext_usb_status, "ejected");
    root.remove("/dev/usb_ext1");
    ASSERT_TRUE(status_is("removed"));

    // Pulled while its eject waits for I/O: unmounted, not stuck.
    root.write("/dev/usb_ext1", "");
    ASSERT_TRUE(status_is("inserted"));
    root.write("/sys/block/sdb/stat", "1 2 3 4 5 6 7 8 9 10 11");
    EXPECT_EQ(vx4_request_supervisor_eject(), 1);
    ASSERT_TRUE(wait_traced("SUPV: io 9"));
    root.remove("/dev/usb_ext1");
    ASSERT_TRUE(status_is("removed"));
    EXPECT_EQ(vx4_is_external_usb_mounted(), 0);
}

TEST_F(SupervisorTest, BatteryTypeInRedisAndTheConfiguration)
{
    redis = std::make_unique<RedisServer>(root.path());
    root.write("/config/system.json", R"({"model_name": "VX4 Advanced", "serial_number": "SN-0042", "model_number": 7, "other": 1})");
    redis->set("vx4-serial-number", "SN-0042");
    start_supervisor();
    char text[16];

    EXPECT_EQ(vx4_set_supervisor_battery_type("dewalt"), -1);
    EXPECT_FALSE(redis->get("vx4-battery"));
    EXPECT_EQ(vx4_set_supervisor_battery_type("Dewalt"), 0);
    EXPECT_EQ(redis->get("vx4-battery"), "Dewalt");
    JsonPtr config = parse_json(root.read("/config/system.json"));
    ASSERT_TRUE(config);
    EXPECT_STREQ(json_object_to_json_string_ext(config.get(), JSON_C_TO_STRING_PLAIN),
                 R"({"model_number":7,"model_name":"VX4 Advanced","serial_number":"SN-0042","battery":"Dewalt"})");
    EXPECT_EQ(traced("SUPV: db reply 'OK'"), 1);
    EXPECT_EQ(traced("SUPV: config stored 0"), 1);
    vx4_load_supervisor_battery_type(text, sizeof text);
    EXPECT_STREQ(text, "Dewalt");
    vx4_load_supervisor_serial_number(text, sizeof text);
    EXPECT_STREQ(text, "SN-0042");
    ASSERT_TRUE(wait_values([](const vx4_supervisor_values &v) { return strcmp(v.battery, "Dewalt") == 0; }));

    // A configuration that cannot be read is kept as it is, not replaced by
    // one without the model and serial number.
    root.write("/config/system.json", R"({"model_name": "VX4 Adv)");
    EXPECT_EQ(vx4_set_supervisor_battery_type("Indipro"), 0);
    EXPECT_EQ(root.read("/config/system.json"), R"({"model_name": "VX4 Adv)");
    EXPECT_EQ(traced("SUPV: config stored -1"), 1);

    // An error reply is no success.
    tcp_exchange(redis->port(), "CONFIG SET maxmemory-policy noeviction\r\nCONFIG SET maxmemory 1\r\n", 300ms);
    EXPECT_EQ(vx4_set_supervisor_battery_type("Dewalt"), -1);
    EXPECT_EQ(redis->get("vx4-battery"), "Indipro");

    // Without the server: "unknown" for the questions, empty in the record.
    redis.reset();
    vx4_load_supervisor_battery_type(text, sizeof text);
    EXPECT_STREQ(text, "unknown");
    EXPECT_EQ(vx4_set_supervisor_battery_type("Dewalt"), -1);
    EXPECT_TRUE(wait_values([](const vx4_supervisor_values &v) { return v.battery[0] == '\0'; }));
}

// Modes other than 2 power off; so does 2 once a shutdown was asked for
// heat. (The reboot itself is seen through the daemon.)
TEST_F(SupervisorTest, ShutdownRequests)
{
    start_supervisor();
    for (int mode : {3, 1, 2}) {
        size_t before = power_log().size();
        vx4_trigger_supervisor_shutdown(mode);
        ASSERT_TRUE(run_until([&] { return power_log().size() == before + 1; }, 3000ms)) << mode;
        EXPECT_EQ(power_log().back(), "shutdown -P now") << mode;
    }
    EXPECT_EQ(traced("SUPV: cl reboot"), 0);
}

TEST_F(SupervisorTest, BoardTemperatureShutsTheHeadDown)
{
    start_supervisor(true);
    set(R"({"pb_bme280_temperature": 35.0})");
    ASSERT_TRUE(wait_values([](const vx4_supervisor_values &v) { return v.board_temperature == 35.0f; }));
    // One implausible reading from the board shuts nothing down and goes
    // into no statistics.
    set(R"({"pb_bme280_temperature": 300.0})");
    ASSERT_TRUE(wait_traced("SUPV: implausible board temp 300.0"));
    run_for(1200ms);
    EXPECT_EQ(values().overheat, 0);
    EXPECT_EQ(traced("SUPV: need shutdown"), 0);
    vx4_roll_up_logger();
    EXPECT_EQ(logger_reading("present_psb_max_temperature"), "35.0 \u00B0C");

    set(R"({"pb_bme280_temperature": 89.5})");
    ASSERT_TRUE(run_until([&] { return !power_log().empty(); }, 5000ms));
    EXPECT_EQ(power_log()[0], "shutdown -P now");
    vx4_supervisor_values v = values();
    EXPECT_EQ(v.overheat, 1);
    EXPECT_EQ(v.board_temperature, 89.5f);
    EXPECT_LT(index_of("temp shutdown 89.5 0.0"), index_of("need shutdown"));
    EXPECT_LT(index_of("need shutdown"), index_of("cl shutdown"));
    // The camera rail went off and the board was told to expect the power-off.
    ASSERT_TRUE(run_until([&] { return sim_number("power_off_requests") >= 1; }));
    auto state = sim->get("/board");
    EXPECT_FALSE(json_object_get_boolean(json_at(state.get(), "rails.camera")));
}

}  // namespace
