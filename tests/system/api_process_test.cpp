// vx4-api as a black box in a sandbox root, without a power board.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <regex>

#include "support.h"

using namespace vx4test;

namespace {

class ApiProcess : public ::testing::Test {
protected:
    void SetUp() override { port = std::stoi(env["VX4_API_PORT"]); }
    void start() { api = Process({api_program()}, env, root.at("/api")); }
    bool wait_started()
    {
        return wait_until([this] { return api.errors().find("entering loop...\n") != std::string::npos; });
    }
    bool wait_served() { return wait_until([this] { return http_request(port, "GET", "/", "", 200ms).status != 0; }); }
    std::string trace() const { return root.read("/media/usb99/trace"); }

    SandboxRoot root;
    std::map<std::string, std::string> env = sandbox_environment(root);
    int port = 0;
    Process api;
};

TEST_F(ApiProcess, StartsRotatesTheTraceCreatesTheFifoServesOnLoopbackAndStops)
{
    root.write("/media/usb99/trace", "previous run\n");
    root.write("/media/usb99/trace_mask", "0x00020000");
    root.write("/tmp/intensity", "80");
    start();
    ASSERT_TRUE(wait_started()) << api.errors();
    // No power board in this sandbox: its service reports that and the
    // daemon runs on.
    std::string no_board = api_program() + ": mraa_gpio_init() failed at line 2385\n";
    ASSERT_TRUE(wait_until([&] { return api.errors().find(no_board) != std::string::npos; })) << api.errors();
    std::string errors = api.errors();
    errors.erase(errors.find(no_board), no_board.size());
    EXPECT_EQ(errors, "start\nentering loop...\n");
    EXPECT_EQ(root.read("/media/usb99/trace_old"), "previous run\n");
    EXPECT_TRUE(std::regex_search(trace(), std::regex(R"(^start mask 0x00020000 \[\d\d:\d\d:\d\d\.\d\d\d\]\n)")));
    struct stat st;
    ASSERT_EQ(stat(root.at("/var/run/vx4/api.fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(root.exists("/home/vx4/nv/nv01.json"));

    ASSERT_TRUE(wait_served());
    EXPECT_EQ(http_request(port, "GET", "/api/no_such_route").status, 404);
    // UTF-8 text in a header value is served.
    EXPECT_EQ(tcp_exchange(port, "GET /api/no_such_route HTTP/1.1\r\nUser-Agent: Caf\xc3\xa9 \xe2\x9c\x93\r\n\r\n").rfind("HTTP/1.1 404", 0),
              0u);
    std::string p = std::to_string(port);
    EXPECT_EQ(traced(root, "HSRV: thread start"), 1);
    EXPECT_NE(trace().find("HSRV: starting http server on port " + p + "\n ["), std::string::npos);
    EXPECT_EQ(traced(root, "HSRV: listening on port " + p), 1);
    for (const auto &[file, value] : {std::pair{"/tmp/intensity", "25"}, {"/tmp/focus_speed", "2"}, {"/tmp/zoom_speed", "3"}})
        EXPECT_EQ(root.read(file), value) << file;

    // Sandboxed, it answers on the loopback address only.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in other{};
    other.sin_family = AF_INET;
    other.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.2", &other.sin_addr);
    EXPECT_NE(connect(fd, reinterpret_cast<sockaddr *>(&other), sizeof other), 0);
    close(fd);
    api.signal(SIGINT);
    EXPECT_EQ(api.wait_exit(5000ms), 0);  // a stop (SIGTERM: the board's system test)
}

TEST_F(ApiProcess, ReplacesAStaleFifoRunsWithItsPortTakenAndNeitherUserSignalsNorASecondDaemonDisturbIt)
{
    root.write("/var/run/vx4/api.fifo", "a plain file left behind");
    root.write("/media/usb99/trace_mask", "0x00020000");
    int taken = listen_tcp(&port);  // the API cannot serve; the rest of the daemon runs
    ASSERT_GE(taken, 0);
    start();
    ASSERT_TRUE(wait_started()) << api.errors();
    EXPECT_TRUE(wait_until([this] { return traced(root, "HSRV: bind fail Address already in use") == 1; })) << trace();
    struct stat st;
    ASSERT_EQ(stat(root.at("/var/run/vx4/api.fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    // Writers come and go; the daemon never sees end-of-file and keeps going.
    for (int i = 0; i < 20; ++i) {
        int fd = open(root.at("/var/run/vx4/api.fifo").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_GT(write(fd, "camera enable\nlow\n", 18), 0);
        close(fd);
    }
    for (int number : {SIGUSR1, SIGUSR2, SIGUSR1})
        api.signal(number);
    EXPECT_FALSE(api.wait_exit(300ms).has_value());
    EXPECT_TRUE(api.running());

    // A second daemon exits at once and touches nothing: neither the FIFO nor the trace.
    std::string first_trace = trace();
    Process second({api_program()}, env, root.at("/second"));
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_EQ(second.errors(), api_program() + ": vx4-api is already running (pid " + std::to_string(api.pid()) +
                                   "), not starting a second one\n");
    struct stat after;
    ASSERT_EQ(stat(root.at("/var/run/vx4/api.fifo").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, st.st_ino);
    EXPECT_EQ(trace(), first_trace);
    api.signal(SIGHUP);
    EXPECT_EQ(api.wait_exit(5000ms), 0);
    close(taken);
}

TEST_F(ApiProcess, RefusesToStartWithAPeerOffLoopback)
{
    env["VX4_CAMERA_HOST"] = "192.0.2.1";
    start();
    EXPECT_EQ(api.wait_exit(), 1);
    EXPECT_NE(api.errors().find("is not a loopback address"), std::string::npos);
    EXPECT_FALSE(root.exists("/var/run/vx4/api.fifo"));
}

// Whatever sits at the names of the files it shares with others, the daemon
// starts, serves, and writes nothing through a link; its mask watcher
// survives such a file swapped in later.
class ApiSharedFiles : public ApiProcess, public ::testing::WithParamInterface<Planted> {};

TEST_P(ApiSharedFiles, NeitherStallNorMisleadTheDaemon)
{
    for (const char *file : {"/config/system.json", "/home/vx4/nv/nv00.json", "/home/vx4/nv/nv01.json",
                             "/media/usb99/trace", "/media/usb99/trace_mask", "/tmp/intensity", "/tmp/lighting"})
        root.plant(file, GetParam());
    start();
    ASSERT_TRUE(wait_served()) << api.errors();
    auto mask = [this] { return parse_json(http_request(port, "GET", "/api/trace/mask").body); };
    bool folder = GetParam() == Planted::folder;
    EXPECT_EQ(root.read("/tmp/intensity"), folder ? "" : "25");  // replaced, links and all
    EXPECT_EQ(http_request(port, "PUT", "/api/trace/mask", R"({"trace_mask": 16})").body,
              folder ? R"({"status":"BAD_REQUEST"})" : R"({"status":"OK"})");
    EXPECT_TRUE(folder || wait_until([&] { return json_object_get_int(json_at(mask().get(), "trace_mask")) == 16; }));
    // Swapped in while running, then replaced by a real mask file.
    root.plant("/media/usb99/trace_mask", GetParam());
    root.remove("/media/usb99/trace_mask");
    root.write("/media/usb99/trace_mask", "0x22");
    EXPECT_TRUE(wait_until([&] { return json_object_get_int(json_at(mask().get(), "trace_mask")) == 0x22; }));
    EXPECT_TRUE(root.elsewhere_untouched());
}

INSTANTIATE_TEST_SUITE_P(Kinds, ApiSharedFiles, ::testing::ValuesIn(all_planted),
                         [](const auto &kind) { return std::string(planted_name(kind.param)); });

// A kill in the middle of a calibration save leaves the old calibration or
// the new one, never a mix of two requests.
TEST_F(ApiProcess, CalibrationSurvivesAKillWhole)
{
    for (int run = 0;; ++run) {
        start();
        ASSERT_TRUE(wait_served()) << api.errors();
        JsonPtr stored = parse_json(http_request(port, "GET", "/api/magnetometer/calibration").body);
        auto value = [&](const char *key) { return std::string(json_object_get_string(json_at(stored.get(), key))); };
        // The first item saved and the last one come from the same request.
        EXPECT_EQ(value("magnetometer_calibration_x"), value("magnetometer_ellipsoid_22")) << "run " << run;
        if (run == 8)
            break;
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (int n = run * 1000; !stop; ++n) {
                JsonPtr body = parse_json("{}");
                json_object_object_foreach(stored.get(), name, ignored)
                    json_object_object_add(body.get(), name, json_object_new_int(n));
                http_request(port, "PUT", "/api/magnetometer/calibration", json_object_to_json_string(body.get()), 500ms);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + 37 * run));
        api.signal(SIGKILL);
        api.wait_exit();
        stop = true;
        writer.join();
    }
}

TEST_F(ApiProcess, MissingRunFolderFailsWithTheFifoMessage)
{
    root.remove("/var/run/vx4");
    start();
    EXPECT_EQ(api.wait_exit(), 1);
    EXPECT_TRUE(std::regex_search(api.errors(), std::regex(": mkdifo\\(\\) failed at line 208: No such file or directory\n")))
        << api.errors();
}

}  // namespace
