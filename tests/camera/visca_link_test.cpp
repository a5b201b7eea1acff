// The VISCA link on a loop driven by the test, with the test playing the
// camera on a loopback socket.

#include "camera/visca_commands.h"
#include "camera/visca_connection.h"
#include "core/trace.h"
#include "support.h"

using namespace vx4test;
using clock_type = std::chrono::steady_clock;

namespace {

std::string hex_of(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char part[4];
    for (uint8_t byte : bytes) {
        snprintf(part, sizeof part, text.empty() ? "%02X" : " %02X", byte);
        text += part;
    }
    return text;
}

int acknowledged = 0;
int completed = 0;
std::vector<int> errors;

class ViscaLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.enter();
        root.write("/media/usb99/trace_mask", "0x00000040");
        init_trace();
        acknowledged = completed = 0;
        errors.clear();
        listener = listen_tcp(&port, 4);
        loop = ev_loop_new(EVBACKEND_POLL);
        connection = visca_connection_create(loop, "127.0.0.1", port, 5000);
        ASSERT_NE(connection, nullptr);
        camera = visca_connection_add_camera(connection, 1, 0);
        ASSERT_NE(camera, nullptr);
        camera->acknowledge_callback = [](visca_camera *, int) { ++acknowledged; };
        camera->completion_callback = [](visca_camera *, int) { ++completed; };
        camera->error_callback = [](visca_camera *, int, int code) { errors.push_back(code); };
    }

    void TearDown() override
    {
        visca_connection_destroy(connection);
        ev_loop_destroy(loop);
        if (peer >= 0)
            close(peer);
        close(listener);
    }

    // Runs the link's loop until the condition holds.
    bool pump(const std::function<bool()> &condition, milliseconds timeout = 3000ms)
    {
        return wait_until([&] {
            ev_run(loop, EVRUN_NOWAIT);
            return condition();
        }, timeout, 1ms);
    }

    void connect_camera()
    {
        ASSERT_TRUE(pump([this] { return visca_connection_is_connected(connection) != 0; }));
        peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(peer, 0);
    }

    // The next packet the camera receives, or "" when none comes in time.
    std::string next_packet(milliseconds timeout = 2000ms)
    {
        auto deadline = clock_type::now() + timeout;
        for (;;) {
            auto end = std::find(wire.begin(), wire.end(), 0xFF);
            if (end != wire.end()) {
                std::vector<uint8_t> packet(wire.begin(), end + 1);
                wire.erase(wire.begin(), end + 1);
                return hex_of(packet);
            }
            if (clock_type::now() >= deadline)
                return "";
            ev_run(loop, EVRUN_NOWAIT);
            pollfd watch{peer, POLLIN, 0};
            if (poll(&watch, 1, 1) == 1) {
                uint8_t data[256];
                ssize_t got = recv(peer, data, sizeof data, 0);
                if (got <= 0)
                    return "";
                wire.insert(wire.end(), data, data + got);
            }
        }
    }

    void reply(const std::string &hex)
    {
        std::vector<uint8_t> bytes;
        for (size_t at = 0; at + 1 < hex.size(); at += hex[at] == ' ' ? 1 : 2)
            if (hex[at] != ' ')
                bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(at, 2), nullptr, 16)));
        ASSERT_EQ(send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }

    // Plays the camera's side: "> packet" the link must send next, "< reply"
    // the camera sends, "-" nothing sent for 100 ms.
    void play(std::initializer_list<std::string> steps)
    {
        for (const std::string &step : steps) {
            if (step[0] == '>')
                EXPECT_EQ(next_packet(), step.substr(2));
            else if (step[0] == '<')
                reply(step.substr(2));
            else
                EXPECT_EQ(next_packet(100ms), "");
        }
    }

    long traced(const std::string &message) const { return vx4test::traced(root, "VSIO: " + message); }

    SandboxRoot root;
    int listener = -1;
    int port = 0;
    int peer = -1;
    std::vector<uint8_t> wire;
    struct ev_loop *loop = nullptr;
    visca_connection *connection = nullptr;
    visca_camera *camera = nullptr;
};

// Every command the daemon sends is accepted by the simulated camera in the
// thread's tests; here their parameters are encoded, at their edges. (The
// first acknowledgements' notices and version inquiry are the thread's too.)
TEST_F(ViscaLink, CommandsEncodeTheirParameters)
{
    connect_camera();
    const std::vector<std::pair<std::function<int()>, std::string>> cases = {
        {[&] { return visca_camera_zoom_direct(camera, 74565); }, "81 01 04 47 02 03 04 05 FF"},
        {[&] { return visca_camera_focus_far_variable(camera, 9); }, "81 01 04 08 21 FF"},
        {[&] { return visca_camera_zoom_tele_variable(camera, 9); }, "81 01 04 07 29 FF"},
        {[&] { return visca_camera_title_set_2(camera, 1, "Pipe-7"); },
         "81 01 04 73 21 0F 08 0F 04 4F 24 1B 1B 1B 1B FF"},
        {[&] { return visca_camera_title_set_3(camera, 10, "0123456789AB"); },
         "81 01 04 73 3A 27 1E 1F 20 21 22 23 24 25 26 FF"},
        {[&] { return visca_camera_title_set_2(camera, 0, "a&?!$\":'.,/- #z"); },
         "81 01 04 73 20 00 1A 1C 1D 41 49 4A 4B 4C 4D FF"},
        {[&] { return visca_camera_title_set_2(camera, 3, "/- #z"); },
         "81 01 04 73 23 4E 4F 1B 1B 19 1B 1B 1B 1B 1B FF"},
        {[&] { return visca_camera_title_set_1(camera, 10, 6, 3, 1); },
         "81 01 04 73 1A 00 06 03 01 00 00 00 00 00 00 FF"},
        {[&] { return visca_camera_title_set_1(camera, 2, -4, 0, 0); },
         "81 01 04 73 12 00 FC 00 00 00 00 00 00 00 00 FF"},
        {[&] { return visca_camera_title_turn_line_off(camera, 10); }, "81 01 04 74 3A FF"},
        {[&] { return visca_camera_defog_level(camera, 0x12); }, "81 01 04 37 02 02 FF"},
    };
    for (const auto &[queue, expected] : cases) {
        ASSERT_EQ(queue(), 0) << expected;
        EXPECT_EQ(next_packet(), expected);
        visca_camera_complete_command(camera, VISCA_ACKNOWLEDGED);
    }
    // A byte 0xFF inside a packet would end it early at the camera.
    EXPECT_EQ(visca_camera_title_set_1(camera, 2, -1, 0, 0), -1);
    play({"-"});
}

TEST_F(ViscaLink, RefusesCommandsWhileDisconnected)
{
    EXPECT_EQ(visca_camera_zoom_tele(camera), -1);  // still connecting
    connect_camera();
    play({"-"});  // nothing was kept from before
    ASSERT_EQ(visca_camera_zoom_tele(camera), 0);
    play({"> 81 01 04 07 02 FF"});

    close(peer);
    peer = -1;
    ASSERT_TRUE(pump([this] { return connection->fd == -1; }));
    EXPECT_EQ(traced("remote close"), 1);
    EXPECT_EQ(visca_connection_is_connected(connection), 0);
    EXPECT_EQ(visca_camera_zoom_wide(camera), -1);
    EXPECT_EQ(visca_camera_title_clear_all(camera), -1);
}

TEST_F(ViscaLink, QueueHoldsOneHundredAndTwentySevenCommandsInOrder)
{
    connect_camera();
    for (int i = 0; i < 127; ++i)
        ASSERT_EQ(visca_camera_focus_direct(camera, i), 0) << i;
    EXPECT_EQ(visca_camera_focus_direct(camera, 127), -1);
    play({"> 81 01 04 48 00 00 00 00 FF", "< 90 41 FF", "> 81 01 04 48 00 00 00 01 FF"});
    // Each reply frees one entry.
    EXPECT_EQ(visca_camera_focus_direct(camera, 127), 0);
    EXPECT_EQ(visca_camera_focus_direct(camera, 128), -1);
    for (int i = 2; i <= 127; ++i) {
        reply("90 41 FF");
        ASSERT_EQ(next_packet(), hex_of({0x81, 0x01, 0x04, 0x48, 0x00, 0x00, static_cast<uint8_t>(i >> 4),
                                         static_cast<uint8_t>(i & 0x0F), 0xFF}));
    }
    reply("90 41 FF");
    EXPECT_TRUE(pump([this] { return camera->in_flight == 0; }));
    EXPECT_EQ(acknowledged, 128);
}

TEST_F(ViscaLink, NextCommandGoesOutOnAcknowledgeOrAfterTheTimeOut)
{
    connect_camera();
    for (auto command : {visca_camera_zoom_tele, visca_camera_zoom_stop, visca_camera_zoom_wide})
        ASSERT_EQ(command(camera), 0);
    play({"> 81 01 04 07 02 FF", "-", "< 90 41 FF", "> 81 01 04 07 00 FF"});
    // No reply: the command is given up after 0.25 s, the camera's interface
    // cleared, and the next one sent.
    auto start = clock_type::now();
    play({"> 81 01 00 01 FF", "> 81 01 04 07 03 FF"});
    auto waited = clock_type::now() - start;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 1000ms);
    EXPECT_EQ(traced("if clear"), 1);
    EXPECT_EQ(traced("complete 2 3"), 1);
}

TEST_F(ViscaLink, ErrorsAndCompletionsOfTheCommandOnTheLineReleaseIt)
{
    connect_camera();
    for (auto command : {visca_camera_zoom_tele, visca_camera_zoom_stop, visca_camera_zoom_wide, visca_camera_version_inq})
        ASSERT_EQ(command(camera), 0);
    play({"> 81 01 04 07 02 FF", "< 90 60 02 FF", "> 81 01 04 07 00 FF"});  // a syntax error
    ASSERT_EQ(errors, std::vector<int>{0x02});
    play({"< 90 41 FF", "> 81 01 04 07 03 FF"});
    // The completion of the acknowledged command on socket 1 belongs to it,
    // not to the command on the line, which waits for its own reply.
    reply("90 51 FF");
    EXPECT_TRUE(pump([] { return completed == 1; }));
    // An inquiry is answered by a completion alone.
    play({"-", "< 90 42 FF", "> 81 09 00 02 FF", "< 90 50 00 20 06 1A 01 23 02 FF"});
    EXPECT_TRUE(pump([this] { return camera->in_flight == 0; }));
    EXPECT_EQ(traced("complete 1 2"), 1);
    EXPECT_EQ(traced("complete 4 1"), 1);
}

TEST_F(ViscaLink, ACommandRefusedForAFullBufferGoesAgainWhenASocketCompletes)
{
    connect_camera();
    for (auto command : {visca_camera_zoom_tele, visca_camera_focus_far, visca_camera_iris_up, visca_camera_gain_up})
        ASSERT_EQ(command(camera), 0);
    play({"> 81 01 04 07 02 FF", "< 90 41 FF", "> 81 01 04 08 02 FF", "< 90 42 FF", "> 81 01 04 0B 02 FF",
          "< 90 60 03 FF", "-", "< 90 51 FF", "> 81 01 04 0B 02 FF", "< 90 41 FF", "> 81 01 04 0C 02 FF"});
    EXPECT_EQ(traced("buffer full 3"), 1);
    // Without a socket freed in time, the usual time-out ends it.
    play({"< 90 60 03 FF", "-"});
    ASSERT_TRUE(pump([this] { return camera->in_flight == 0; }, 1000ms));
    EXPECT_EQ(traced("complete 4 3"), 1);
    EXPECT_EQ(traced("if clear"), 0);
}

TEST_F(ViscaLink, RepliesAreFramedAcrossReads)
{
    connect_camera();
    ASSERT_EQ(visca_camera_zoom_tele(camera), 0);
    ASSERT_EQ(visca_camera_zoom_stop(camera), 0);
    play({"> 81 01 04 07 02 FF", "< 90"});
    ASSERT_TRUE(pump([this] { return connection->receive_count == 1; }));
    EXPECT_EQ(acknowledged, 0);
    play({"< 41 FF", "> 81 01 04 07 00 FF"});
    EXPECT_EQ(acknowledged, 1);

    // Several replies in one read, and a reply too long to be one.
    reply("90 41 FF 90 07 04 16 00 00 01 02 03 04 FF");
    ASSERT_TRUE(pump([this] { return camera->focus_position == 0x1234; }));
    EXPECT_EQ(acknowledged, 2);
    // Its tail would read as an acknowledge if the framing lost its place.
    reply("90 41 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 90 41 FF 90 51 FF");
    ASSERT_TRUE(pump([] { return completed == 1; }));
    EXPECT_EQ(acknowledged, 2);
    EXPECT_EQ(traced("overrun"), 1);
}

TEST_F(ViscaLink, NoticesAndTheVersionAnswerAreTracked)
{
    connect_camera();
    reply("90 07 04 69 0A 0B 01 02 03 04 FF");
    ASSERT_TRUE(pump([this] { return camera->zoom_position == 0x1234; }));
    EXPECT_EQ(camera->digital_zoom_position, 0xAB);
    EXPECT_EQ(global_zoom_position, 0x1234);
    reply("90 07 04 16 00 00 0F 0E 0D 0C FF");
    ASSERT_TRUE(pump([this] { return camera->focus_position == 0xFEDC; }));
    EXPECT_EQ(global_focus_position, 0xFEDC);
    // A notice too short to carry a position changes nothing.
    reply("90 07 04 69 05 FF 90 50 00 20 06 1A 01 23 02 FF");
    ASSERT_TRUE(pump([this] { return camera->model_code != 0; }));
    EXPECT_EQ(camera->model_code, 0x061A);
    EXPECT_EQ(camera->rom_version, 0x0123);
    EXPECT_EQ(camera->zoom_position, 0x1234);
    // A reply from an address without a camera is dropped.
    reply("A0 50 00 20 07 00 02 00 02 FF");
    reply("90 07 04 69 00 00 00 00 00 01 FF");
    ASSERT_TRUE(pump([this] { return camera->zoom_position == 1; }));
    EXPECT_EQ(camera->model_code, 0x061A);
}

// A refused connection is the VISCA thread's test.
TEST(ViscaConnect, TimesOutAndTellsAnAddressItCannotUse)
{
    SandboxRoot root;
    root.enter();
    root.write("/media/usb99/trace_mask", "0x00000040");
    init_trace();
    struct ev_loop *loop = ev_loop_new(EVBACKEND_POLL);
    auto run_until_closed = [loop](visca_connection *connection) {
        return wait_until([&] {
            ev_run(loop, EVRUN_NOWAIT);
            return connection->fd == -1;
        }, 5000ms, 1ms);
    };

    // A listener whose backlog is full drops the handshake: no answer at all.
    int port = 0;
    int full = listen_tcp(&port, 0);
    int filler = connect_tcp(port);
    ASSERT_GE(filler, 0);
    auto start = clock_type::now();
    visca_connection *silent = visca_connection_create(loop, "127.0.0.1", port, 300);
    ASSERT_NE(silent, nullptr);
    ASSERT_TRUE(run_until_closed(silent));
    EXPECT_GE(clock_type::now() - start, 290ms);
    EXPECT_EQ(visca_connection_is_connected(silent), 0);
    visca_connection_destroy(silent);
    close(filler);
    close(full);

    EXPECT_EQ(visca_connection_create(loop, "camera.local", 1000, 5000), nullptr);
    ev_loop_destroy(loop);

    EXPECT_EQ(traced(root, "VSIO: connect timeout"), 1);
    EXPECT_NE(root.read("/media/usb99/trace").find("VSIO: addr failure 0 '"), std::string::npos);
}

}  // namespace
