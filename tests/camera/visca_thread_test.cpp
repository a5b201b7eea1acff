// The VISCA thread against the simulated camera module: commands in order,
// positions and version, and recovery from every fault the camera can show.
#include "camera/camera_settings.h"
#include "camera/visca_commands.h"
#include "camera_link_fixture.h"

using namespace vx4test;
using clock_type = std::chrono::steady_clock;

namespace {

class ViscaThread : public CameraLinkTest {
protected:
    void SetUp() override { enter("0x00000040"); }

    // Queues a command and waits until the camera has answered everything.
    bool settle(milliseconds timeout = 3000ms)
    {
        return wait_until([] {
            visca_camera *camera = visca_thread_data.camera;
            if (!camera)
                return false;
            std::lock_guard<std::mutex> hold(camera->queue_mutex);
            return camera->in_flight == 0 && camera->extract_index == camera->insert_index;
        }, timeout);
    }

    // Connects, then runs the first command, which switches on the notices
    // and asks the version.
    void start_linked()
    {
        start_link();
        ASSERT_TRUE(wait_until(connected, 5000ms));
        ASSERT_EQ(visca_camera_zoom_stop(visca_thread_data.camera), 0);
        ASSERT_TRUE(wait_until([] { return visca_thread_data.camera.load()->model_code != 0; }));
        ASSERT_TRUE(settle());
    }

    long long state_number(const char *key) const { return static_cast<long long>(sim->number("/camera", key)); }

    long traced(const std::string &message) const { return vx4test::traced(root, "VSIO: " + message); }
};

TEST_F(ViscaThread, CommandsFlowInOrderAndPositionsAndVersionAreTracked)
{
    start_camera();
    sim->post("/camera/version", R"({"model_code": 1815, "rom_version": 770})");
    sim->post("/camera/delays", R"({"ack_ms": 5})");
    start_linked();
    visca_camera *camera = visca_thread_data.camera;
    EXPECT_EQ(camera->model_code, 1815);
    EXPECT_EQ(camera->rom_version, 770);
    EXPECT_EQ(commands(), (std::vector<std::string>{"81 01 04 07 00 FF", "81 01 04 16 02 FF", "81 01 04 69 02 FF",
                                                    "81 09 00 02 FF"}));

    sim->post("/camera/commands/clear");
    std::vector<std::string> expected;
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(visca_camera_focus_near_limit(camera, 0x8000 + i), 0);
        char packet[64];
        snprintf(packet, sizeof packet, "81 01 04 28 08 00 00 %02X FF", i);
        expected.push_back(packet);
    }
    ASSERT_TRUE(settle());
    EXPECT_EQ(commands(), expected);
    EXPECT_EQ(state_number("overlapped"), 0);  // never a second one before the reply
    EXPECT_EQ(state_number("errors_sent"), 0);

    ASSERT_EQ(visca_camera_zoom_focus_direct(camera, 0x2000, 0x3000), 0);
    ASSERT_TRUE(wait_until([camera] { return camera->zoom_position == 0x2000 && camera->focus_position == 0x3000; }));
    EXPECT_EQ(global_zoom_position, 0x2000);
    EXPECT_EQ(global_focus_position, 0x3000);
    char text[8];
    vx4_load_camera_zoom_values(nullptr, nullptr, text, sizeof text);
    EXPECT_STREQ(text, "3.0x");
}

// Every command the daemon sends, as the camera takes it. (The library's
// commands the daemon never sends are left out.)
TEST_F(ViscaThread, TheCameraAcceptsEveryCommandTheDaemonSends)
{
    start_camera();
    start_linked();
    visca_camera *camera = visca_thread_data.camera;
    sim->post("/camera/commands/clear");
    using command = int (*)(visca_camera *);
    const command plain[] = {
        visca_camera_zoom_stop, visca_camera_focus_stop, visca_camera_manual_focus, visca_camera_auto_focus,
        visca_camera_continuous_zoom_position_on, visca_camera_continuous_focus_position_on, visca_camera_version_inq,
        visca_camera_exposure_mode_auto, visca_camera_exposure_mode_manual, visca_camera_gain_reset,
        visca_camera_gain_up, visca_camera_gain_down, visca_camera_iris_reset, visca_camera_iris_up,
        visca_camera_iris_down, visca_camera_shutter_reset, visca_camera_shutter_up, visca_camera_shutter_down,
        visca_camera_picture_flip_off, visca_camera_picture_flip_on, visca_camera_stabilizer_off,
        visca_camera_stabilizer_on, visca_camera_high_sensitivity_off, visca_camera_high_sensitivity_on,
        visca_camera_icr_off, visca_camera_icr_on, visca_camera_auto_icr_off, visca_camera_auto_icr_on,
        visca_camera_defog_off, visca_camera_title_clear_all, visca_camera_title_turn_all_on,
        visca_camera_title_turn_all_off,
    };
    int queued = 0;
    for (command each : plain) {
        ASSERT_EQ(each(camera), 0);
        ++queued;
    }
    // The lens waits where the direct moves below go: a direct move holds
    // its socket until the lens arrives, and two long ones would fill both.
    ASSERT_TRUE(settle());
    sim->post("/camera/position", R"({"zoom": 4096, "focus": 20480})");
    const std::vector<int> with_values = {
        visca_camera_zoom_tele_variable(camera, 7), visca_camera_zoom_wide_variable(camera, 7),
        visca_camera_zoom_direct(camera, 0x1000), visca_camera_focus_far_variable(camera, 5),
        visca_camera_focus_near_variable(camera, 5), visca_camera_focus_direct(camera, 0x5000),
        visca_camera_defog_level(camera, 2), visca_camera_title_set_1(camera, 10, 6, 3, 1),
        visca_camera_title_set_2(camera, 10, "Pipe-7 dn"), visca_camera_title_set_3(camera, 10, "150 m 8.5x"),
        visca_camera_title_turn_line_on(camera, 10), visca_camera_title_set_2(camera, 2, "gone"),
        visca_camera_title_turn_line_on(camera, 2), visca_camera_title_clear_line(camera, 2),
        visca_camera_title_turn_line_on(camera, 3), visca_camera_title_turn_line_off(camera, 3),
    };
    for (int result : with_values) {
        ASSERT_EQ(result, 0);
        ++queued;
    }
    ASSERT_TRUE(settle(10000ms));
    EXPECT_EQ(static_cast<int>(commands().size()), queued);
    EXPECT_EQ(state_number("errors_sent"), 0);

    JsonPtr state = sim->get("/camera");
    for (const auto &[key, value] : std::vector<std::pair<std::string, std::string>>{
             {"exposure_mode", "manual"}, {"focus_mode", "auto"}, {"defog", "2"}, {"picture_flip", "true"},
             {"stabilizer", "true"}, {"high_sensitivity", "true"}, {"icr", "true"}, {"auto_icr", "true"},
             {"titles.10.text", "PIPE-7 DN 150 M 8.5X"}, {"titles.10.position", "6"}, {"titles.10.color", "3"},
             {"titles.10.blink", "true"}, {"titles.10.shown", "true"}, {"titles.2.text", ""},
             {"titles.2.shown", "false"}, {"titles.3.shown", "false"}})
        EXPECT_STREQ(json_object_get_string(json_at(state.get(), key)), value.c_str()) << key;
}

TEST_F(ViscaThread, TriesAgainFiveSecondsAfterADropOrARefusal)
{
    start_camera();
    start_linked();
    ASSERT_EQ(state_number("connections_accepted"), 1);
    sim->post("/camera/faults", R"({"drop": true, "refuse": true})");
    ASSERT_TRUE(wait_until([] { return !connected(); }));
    auto dropped = clock_type::now();
    EXPECT_EQ(visca_camera_zoom_tele(visca_thread_data.camera), -1);
    ASSERT_TRUE(wait_until([this] { return traced("create") == 2; }, 10000ms));
    auto paused = clock_type::now() - dropped;
    EXPECT_GE(paused, 4800ms);
    EXPECT_LT(paused, 8000ms);
    EXPECT_EQ(traced("remote close"), 1);
    ASSERT_TRUE(wait_until([this] { return traced("connect error 'Connection refused'") == 1; }));
    // A refusal ends the connection as a drop does: the same pause follows.
    sim->post("/camera/faults", R"({"refuse": false})");
    ASSERT_TRUE(wait_until(connected, 8000ms));
    EXPECT_EQ(traced("create"), 3);
    EXPECT_TRUE(wait_until([this] { return state_number("connections_accepted") == 2; }));

    // A new connection starts from unknown positions and switches the
    // notices on again with its first acknowledgements.
    sim->post("/camera/commands/clear");
    visca_camera *camera = visca_thread_data.camera;
    EXPECT_EQ(camera->focus_position, -1);
    EXPECT_EQ(camera->version_requested, -1);
    ASSERT_EQ(visca_camera_zoom_stop(camera), 0);
    ASSERT_TRUE(wait_until([camera] { return camera->version_requested == 0; }));
    ASSERT_TRUE(settle());
    EXPECT_EQ(commands(), (std::vector<std::string>{"81 01 04 07 00 FF", "81 01 04 16 02 FF", "81 01 04 69 02 FF",
                                                    "81 09 00 02 FF"}));
}

// Silence, over-long replies and a refused full buffer are the link's tests;
// here the thread goes on after late and garbled replies from the camera.
TEST_F(ViscaThread, RecoversFromLateAndGarbledRepliesAndStepsAsideForACameraUpdate)
{
    start_camera();
    start_linked();
    visca_camera *camera = visca_thread_data.camera;
    auto runs = [this, camera]() {
        sim->post("/camera/commands/clear");
        long before = traced("visca command 1 acknowledged");
        if (visca_camera_zoom_stop(camera) != 0 || visca_camera_focus_stop(camera) != 0 || !settle())
            return false;
        return commands().size() == 2 && traced("visca command 1 acknowledged") >= before + 1;
    };

    // Replies after the time-out: the acknowledge and the answer to the
    // interface clear come late and must not upset what follows.
    long long sent = state_number("replies_sent");
    sim->post("/camera/faults", R"({"late_ms": 400})");
    ASSERT_EQ(visca_camera_zoom_stop(camera), 0);
    ASSERT_TRUE(settle());
    ASSERT_TRUE(wait_until([&] { return state_number("replies_sent") >= sent + 2; }));
    sim->post("/camera/faults", R"({"late_ms": 0})");
    EXPECT_TRUE(runs());

    sim->post("/camera/faults", R"({"garbled": 2})");
    ASSERT_EQ(visca_camera_zoom_stop(camera), 0);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(runs());
    EXPECT_TRUE(connected());
    EXPECT_EQ(state_number("connections_accepted"), 1);

    // It steps aside for a camera update, and comes back at once after it.
    EXPECT_EQ(visca_update_active(&visca_thread_data), 0);
    visca_request_suspension(&visca_thread_data);
    ASSERT_TRUE(wait_until([] { return visca_update_active(&visca_thread_data) == 1; }));
    EXPECT_EQ(visca_thread_data.camera, nullptr);
    EXPECT_EQ(visca_thread_data.connection, nullptr);
    ASSERT_TRUE(wait_until([this] { return state_number("connections") == 0; }));
    pthread_mutex_lock(&visca_thread_data.update_start_mutex);
    EXPECT_EQ(visca_thread_data.update_started, 1);
    pthread_mutex_unlock(&visca_thread_data.update_start_mutex);
    EXPECT_NE(traced("wait begin"), 0);

    visca_report_update_end(&visca_thread_data);
    ASSERT_TRUE(wait_until([] { return visca_update_active(&visca_thread_data) == 0; }));
    ASSERT_TRUE(wait_until(connected, 3000ms));  // at once, no pause
    // The daemon may see its connection before the camera has counted it.
    EXPECT_TRUE(wait_until([this] { return state_number("connections_accepted") == 2; }, 1000ms));
    EXPECT_EQ(traced("wait end"), 1);
}

}  // namespace
