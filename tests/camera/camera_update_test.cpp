// The camera firmware update against vx4-sim's camera module and its
// loader, with the VISCA thread stepping aside. The update's one-second
// ticks are shortened a hundredfold; its texts are followed in the trace.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <regex>
#include <string>
#include <vector>

#include "camera/camera_update.h"
#include "camera/visca_connection.h"
#include "core/trace.h"
#include "support.h"

using namespace vx4test;

namespace {

std::atomic<int> updates_done{0};

class CameraUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("VX4_CAMERA_VISCA_PORT", std::to_string(free_tcp_port()).c_str(), 1);
        root.enter();
        root.write("/media/usb99/trace_mask", "0x00000040");
        init_trace();
        visca_set_update_time_scale(0.01);
    }

    void start(const std::string &image = "camera_update_2.0.bin", size_t size = 1048575)
    {
        sim = std::make_unique<SimHead>(root, std::vector<std::string>{
                                                  "--visca-port=" + std::string(getenv("VX4_CAMERA_VISCA_PORT")),
                                                  "--loader-image=" + root.at("/received.bin")});
        for (size_t i = 0; i < size; ++i)
            file += static_cast<char>((i * 131 + i / 1024) % 251);
        root.write("/media/usb-cpy/" + image, file);
        ASSERT_EQ(pthread_create(&visca_thread_data.thread, nullptr, visca_thread_procedure, &visca_thread_data), 0);
        pthread_detach(visca_thread_data.thread);
        ASSERT_TRUE(wait_until([] { return visca_connection_is_connected(visca_thread_data.connection) != 0; }));
    }

    // Runs one update to its end: the texts it reported, "step|A|B".
    std::vector<std::string> update()
    {
        int before = updates_done;
        EXPECT_EQ(visca_start_update(&visca_thread_data, [] { ++updates_done; }), 1);
        EXPECT_EQ(visca_start_update(&visca_thread_data, nullptr), 0);  // one at a time
        EXPECT_TRUE(wait_until([&] { return updates_done > before; }, 15000ms));
        // The VISCA thread takes the camera back.
        EXPECT_TRUE(wait_until([] { return visca_connection_is_connected(visca_thread_data.connection) != 0; }));
        EXPECT_EQ(visca_update_active(&visca_thread_data), 0);
        static const std::regex status(R"(^VSIO: status (\d+) (\d+) '([^']*)' '([^']*)' \[)");
        std::vector<std::string> shown;
        std::smatch match;
        for (const std::string &line : split_lines(root.read("/media/usb99/trace")))
            if (std::regex_search(line, match, status) && match[3] != "X-Modem")
                shown.push_back(match[1].str() + " of " + match[2].str() + "|" + match[3].str() + "|" + match[4].str());
        return shown;
    }

    std::string status() const
    {
        char step[17], a[17], b[17];
        visca_load_update_status(&visca_thread_data, step, sizeof step, a, sizeof a, b, sizeof b);
        return std::string(step) + "|" + a + "|" + b;
    }

    long long loader(const char *key) const { return json_object_get_int64(json_at(sim->get("/camera/loader").get(), key)); }

    SandboxRoot root;
    std::unique_ptr<SimHead> sim;
    std::string file;
};

const std::vector<std::string> dialogue = {
    "1 of 1036|wait|connection", "2 of 1036|exchange|query",     "3 of 1036|exchange|power off",
    "4 of 1036|exchange|main 1", "5 of 1036|exchange|main 2",    "6 of 1036|exchange|main 3",
    "7 of 1036|exchange|main 4", "8 of 1036|exchange|user update", "9 of 1036|wait|ready",
    "10 of 1036|wait|receive",   "11 of 1036|wait|X-Modem start",
};

TEST_F(CameraUpdate, ImageGoesOverWholeDespiteRefusedBlocks)
{
    start();
    EXPECT_EQ(status(), "0 of 0|not active|not active");
    sim->post("/camera/loader/faults", R"({"nak_blocks": 3})");
    std::vector<std::string> shown = update();
    std::vector<std::string> expected = dialogue;
    expected.insert(expected.end(), {"1035 of 1036|wait|reboot", "1036 of 1036|update|complete"});
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(status(), "1036 of 1036|update|complete");
    EXPECT_EQ(loader("completed"), 1);
    EXPECT_EQ(loader("blocks"), 1024);
    EXPECT_EQ(loader("naks"), 3);
    EXPECT_EQ(loader("crc_errors"), 0);
    EXPECT_EQ(root.read("/received.bin"), file);
}

TEST_F(CameraUpdate, LoaderThatAnswersOnlyOnANewConnectionIsReachedAgain)
{
    start("camera_update_2.0.bin", 5000);
    sim->post("/camera/loader/faults", R"({"reconnect": true})");
    long long accepted = json_object_get_int64(json_at(sim->get("/camera").get(), "connections_accepted"));
    std::vector<std::string> shown = update();
    EXPECT_NE(std::find(shown.begin(), shown.end(), "9 of 17|wait|writer"), shown.end());
    EXPECT_NE(std::find(shown.begin(), shown.end(), "9 of 17|connect|pending"), shown.end());
    EXPECT_EQ(shown.back(), "17 of 17|update|complete");
    EXPECT_EQ(root.read("/received.bin"), file);
    // The update's two connections, and the VISCA thread's after it.
    EXPECT_EQ(json_object_get_int64(json_at(sim->get("/camera").get(), "connections_accepted")), accepted + 3);
}

TEST_F(CameraUpdate, BlockRefusedTenTimesCancelsTheTransfer)
{
    start("camera_update_2.0.bin", 3000);
    sim->post("/camera/loader/faults", R"({"nak_blocks": 1000})");
    std::vector<std::string> shown = update();
    EXPECT_EQ(shown.back(), "11 of 15|update|failure");
    EXPECT_EQ(loader("naks"), 10);
    EXPECT_EQ(loader("cancels"), 1);
    EXPECT_EQ(loader("completed"), 0);
    EXPECT_NE(root.read("/media/usb99/trace").find("VSIO: status 11 15 'X-Modem' 'failure'"), std::string::npos);
}

TEST_F(CameraUpdate, CameraThatNeverAnswersEndsTheUpdateAfterTheQuery)
{
    start("camera_update_2.0.bin", 3000);
    sim->post("/camera/faults", R"({"silent": true})");
    EXPECT_EQ(update(), (std::vector<std::string>{"1 of 15|wait|connection", "2 of 15|exchange|query",
                                                  "2 of 15|update|failure"}));
}

TEST_F(CameraUpdate, NewestFileIsOfferedWithItsVersion)
{
    start("camera_update_1.10.bin", 10);
    char path[64], version[8];
    EXPECT_EQ(visca_get_update_available(path, sizeof path), 1);
    EXPECT_STREQ(path, "/media/usb-cpy/camera_update_1.10.bin");
    root.write("/media/usb-cpy/camera_update_1.2.bin", "x");
    EXPECT_EQ(visca_get_update_available(path, sizeof path), 1);
    EXPECT_STREQ(path, "/media/usb-cpy/camera_update_1.2.bin");  // "1.2" sorts after "1.10"
    visca_load_update_version(version, sizeof version);
    EXPECT_STREQ(version, "1.2");
    root.remove("/media/usb-cpy/camera_update_1.2.bin");
    root.remove("/media/usb-cpy/camera_update_1.10.bin");
    EXPECT_EQ(visca_get_update_available(nullptr, 0), 0);
    visca_load_update_version(version, sizeof version);
    EXPECT_STREQ(version, "");
    EXPECT_EQ(visca_start_update(&visca_thread_data, nullptr), 0);
}

}  // namespace

namespace {

// X-Modem's CRC-16 (polynomial 0x1021, initial 0), bit by bit.
uint16_t xmodem_crc(const std::string &data)
{
    uint16_t crc = 0;
    for (unsigned char c : data) {
        crc ^= static_cast<uint16_t>(c << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::string xmodem_block(char start, int number, const std::string &data, int crc_error = 0)
{
    uint16_t crc = static_cast<uint16_t>(xmodem_crc(data) ^ crc_error);
    return std::string{start, static_cast<char>(number), static_cast<char>(~number)} + data +
           std::string{static_cast<char>(crc >> 8), static_cast<char>(crc & 0xFF)};
}

TEST(SimulatedLoader, RefusesDamagedBlocksAndKeepsTheImage)
{
    ASSERT_EQ(xmodem_crc("123456789"), 0x31C3);  // the standard check value
    SandboxRoot root;
    int port = free_tcp_port();
    SimHead sim(root, {"--visca-port=" + std::to_string(port), "--loader-image=" + root.at("/image.bin")});
    int fd = connect_tcp(port);
    ASSERT_GE(fd, 0);
    auto answer = [fd](const std::string &sent, size_t wanted) {
        EXPECT_TRUE(send_all(fd, sent));
        return receive_tcp(fd, 3000ms, nullptr, wanted);
    };
    EXPECT_EQ(answer(std::string("\x81\x01\x04\x00\x20\xFF", 6), 6), "\x90\x41\xFF\x90\x51\xFF");  // user update
    EXPECT_EQ(receive_tcp(fd, 3000ms, nullptr, 7), "ready\r\n");
    EXPECT_EQ(answer("reprogram ( )\r", 10), "receive\r\nC");
    std::string full(1024, 'A');
    EXPECT_EQ(answer(xmodem_block('\x02', 1, full, 0x0100), 1), "\x15");  // bad CRC
    EXPECT_EQ(answer(xmodem_block('\x02', 1, full), 1), "\x06");
    EXPECT_EQ(answer(xmodem_block('\x02', 1, full), 1), "\x06");  // a repeat: answered, not kept
    EXPECT_EQ(answer(xmodem_block('\x01', 2, "xyz" + std::string(125, '\x1A')), 1), "\x06");
    bool closed = false;
    EXPECT_EQ(answer("\x04", 9), "\x06reboot\r\n");
    receive_tcp(fd, 3000ms, &closed);
    EXPECT_TRUE(closed);  // the module restarts
    close(fd);
    EXPECT_EQ(root.read("/image.bin"), full + "xyz");
    JsonPtr loader = sim.get("/camera/loader");
    EXPECT_EQ(json_object_get_int(json_at(loader.get(), "crc_errors")), 1);
    EXPECT_EQ(json_object_get_int(json_at(loader.get(), "blocks")), 2);
}

}  // namespace
