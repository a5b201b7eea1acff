// The video server's log, rate measurement and connectivity test.

#include <regex>

#include "connectivity.h"
#include "rate_meter.h"
#include "stream_log.h"
#include "support.h"

using namespace vx4test;

namespace {

TEST(RateMeter, FramesPerSecondOverTheLast121Stamps)
{
    RateMeter meter;
    EXPECT_FALSE(meter.add(1000));
    EXPECT_FALSE(meter.add(1000));  // no time spanned yet
    meter.clear();
    int64_t t = 0;
    std::optional<double> rate;
    for (int i = 0; i < 100; ++i, t += 100'000'000)  // 10 per second
        rate = meter.add(t);
    EXPECT_NEAR(*rate, 10.0, 1e-9);
    for (int i = 0; i < 121; ++i, t += 33'333'333)  // then 30 per second
        rate = meter.add(t);
    EXPECT_NEAR(*rate, 30.0, 1e-3);  // the slower stamps have left the window
    for (int i = 0; i < 60; ++i, t += 100'000'000)
        rate = meter.add(t);
    EXPECT_NEAR(*rate, 120.0 / (61 * 0.033333333 + 59 * 0.1), 1e-3);
}

TEST(StreamLog, LinesAreStampedInUtcToTheMicrosecondAndAppended)
{
    EXPECT_EQ(stream_log_stamp({1700049600, 42}), "2023-11-15 12:00:00.000042");
    SandboxRoot root;
    root.enter();
    stream_log("first %d", 1);
    stream_log("%s", "second");
    std::vector<std::string> lines = split_lines(root.read("/media/usb99/stream.log"));
    ASSERT_EQ(lines.size(), 2u);
    std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} )");
    EXPECT_TRUE(std::regex_search(lines[0], stamp)) << lines[0];
    EXPECT_EQ(lines[0].substr(27), "first 1");
    EXPECT_EQ(lines[1].substr(27), "second");

    root.remove("/media/usb99");
    stream_log("dropped silently");
    EXPECT_FALSE(root.exists("/media/usb99/stream.log"));
}

TEST(Connectivity, AListeningPortIsReachableAndOthersAreNot)
{
    int open_port = 0;
    int listener = listen_tcp(&open_port);
    ASSERT_GE(listener, 0);

    EXPECT_TRUE(test_connection("127.0.0.1", open_port, 2));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(test_connection("127.0.0.1", free_tcp_port(), 2));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // refused at once, not timed out
    EXPECT_FALSE(test_connection("localhost", open_port, 2));  // dotted addresses only
    EXPECT_FALSE(test_connection("127.0.0.1", 0, 2));
    EXPECT_FALSE(test_connection("127.0.0.1", open_port + 65536, 2));
    close(listener);
}

}  // namespace
