// vx4-api as a black box in a sandbox root.

#include <regex>

#include "support.h"

using namespace vx4test;

namespace {

class ApiProcess : public ::testing::Test {
protected:
    void start(std::map<std::string, std::string> overrides = {})
    {
        auto env = sandbox_environment(root);
        for (const auto &[name, value] : overrides)
            env[name] = value;
        api = Process({api_program()}, env, root.at("/api"));
    }
    bool wait_started()
    {
        return wait_until([this] { return api.errors().find("entering loop...\n") != std::string::npos; });
    }
    std::string trace() const { return root.read("/media/usb99/trace"); }

    SandboxRoot root;
    Process api;
};

TEST_F(ApiProcess, StartsRotatesTheTraceAndCreatesTheFifo)
{
    root.write("/media/usb99/trace", "previous run\n");
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
    EXPECT_TRUE(std::regex_search(trace(), std::regex(R"(^start mask 0x00000000 \[\d\d:\d\d:\d\d\.\d\d\d\]\n)")));

    struct stat st;
    ASSERT_EQ(stat(root.at("/var/run/vx4/api.fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(root.exists("/home/vx4/nv/nv01.json"));
}

TEST_F(ApiProcess, ReplacesAStaleFifoAndKeepsReadingIt)
{
    root.write("/var/run/vx4/api.fifo", "a plain file left behind");
    start();
    ASSERT_TRUE(wait_started()) << api.errors();
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
    EXPECT_TRUE(api.running());
}

TEST_F(ApiProcess, AppliesAMaskFileEditWithinASecond)
{
    start();
    ASSERT_TRUE(wait_started());
    root.write("/media/usb99/trace_mask", "0x00002000");
    EXPECT_TRUE(wait_until([this] { return trace().find("modify mask 0x00002000") != std::string::npos; }, 1000ms));
}

TEST_F(ApiProcess, UserSignalsLeaveItRunning)
{
    start();
    ASSERT_TRUE(wait_started());
    api.signal(SIGUSR1);
    api.signal(SIGUSR2);
    api.signal(SIGUSR1);
    EXPECT_FALSE(api.wait_exit(300ms).has_value());
    EXPECT_TRUE(api.running());
}

class ApiStopSignal : public ApiProcess, public ::testing::WithParamInterface<int> {};

TEST_P(ApiStopSignal, EndsWithStatusZero)
{
    start();
    ASSERT_TRUE(wait_started());
    api.signal(GetParam());
    EXPECT_EQ(api.wait_exit(5000ms), 0);
}

INSTANTIATE_TEST_SUITE_P(HupIntTerm, ApiStopSignal, ::testing::Values(SIGHUP, SIGINT, SIGTERM));

TEST_F(ApiProcess, RefusesToStartWithAPeerOffLoopback)
{
    start({{"VX4_CAMERA_HOST", "192.0.2.1"}});
    EXPECT_EQ(api.wait_exit(), 1);
    EXPECT_NE(api.errors().find("is not a loopback address"), std::string::npos);
    EXPECT_FALSE(root.exists("/var/run/vx4/api.fifo"));
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
