// The camera services against the simulated camera module, in this process:
// the settings layer's sequences, the zoom and focus loops, the display.
#include <regex>

#include "camera/camera_settings.h"
#include "camera/motion_loops.h"
#include "camera/osd.h"
#include "camera_link_fixture.h"
#include "core/settings.h"
#include "recorder/recorder_texts.h"

using namespace vx4test;

namespace {

using Packets = std::vector<std::string>;

class CameraServices : public CameraLinkTest {
protected:
    void SetUp() override
    {
        enter("0x00001980");  // settings, display, zoom and focus loops
        vx4_init_nv();
    }

    static void store(int item, int32_t value) { vx4_write_nv(item, &value, sizeof value); }

    // The display's tick runs on the default loop, as on the main thread.
    // That loop reaps every child it hears of; the simulator is ours to reap.
    static void start_display()
    {
        vx4_init_osd();
        signal(SIGCHLD, SIG_DFL);
        std::thread([] { ev_run(ev_default_loop(0), 0); }).detach();
    }

    // Packets the camera received, without the link's own (position notices
    // on, version inquiry).
    Packets commands() const
    {
        Packets list = CameraLinkTest::commands();
        std::erase_if(list, [](const std::string &packet) {
            return packet == "81 01 04 16 02 FF" || packet == "81 01 04 69 02 FF" || packet == "81 09 00 02 FF";
        });
        return list;
    }

    bool received(const std::string &packet) const
    {
        Packets list = commands();
        return std::find(list.begin(), list.end(), packet) != list.end();
    }

    JsonPtr camera() const { return sim->get("/camera"); }
    bool flag(const char *key) const { return json_object_get_boolean(json_at(camera().get(), key)) != 0; }

    bool shown(int line) const
    {
        return json_object_get_boolean(json_at(camera().get(), "titles." + std::to_string(line) + ".shown"));
    }

    // Line's text and horizontal position as the camera shows them.
    bool title_is(int line, const std::string &text, int position = -1) const
    {
        JsonPtr state = camera();
        std::string at = "titles." + std::to_string(line) + ".";
        return json_object_get_boolean(json_at(state.get(), at + "shown")) &&
               json_object_get_string(json_at(state.get(), at + "text")) == text &&
               (position < 0 || json_object_get_int(json_at(state.get(), at + "position")) == position);
    }

    bool traced(const std::string &line) const { return vx4test::traced(root, line) > 0; }
};

TEST_F(CameraServices, PowerUpSetsTheCameraInOrderAndTheOptionsFollowTheOperator)
{
    store(NV_CAMERA_INVERT_IMAGE, 1);
    store(NV_CAMERA_STABILIZE_IMAGE, 0);
    store(NV_CAMERA_SENSITIVITY, 1);
    store(NV_CAMERA_IR_FILTER, 2);
    store(NV_CAMERA_DEFOG, 3);
    start_camera();
    sim->post("/camera/faults", R"({"split": true})");  // every reply in two reads
    start_link();
    vx4_init_camera(5);
    ASSERT_TRUE(wait_until([this] { return received("81 01 04 37 02 03 FF"); }, 5000ms));
    EXPECT_EQ(commands(), (Packets{"81 01 04 47 00 00 00 00 FF", "81 01 04 38 02 FF", "81 01 04 39 00 FF",
                                   "81 01 04 66 02 FF", "81 01 04 34 03 FF", "81 01 04 5E 02 FF", "81 01 04 01 03 FF",
                                   "81 01 04 51 02 FF", "81 01 04 37 02 03 FF"}));
    EXPECT_TRUE(traced("CMRA: zoom done"));

    // Setters: an unchanged value sends nothing, texts are exact; the IR
    // filter goes through the thread; the controller defaults follow.
    sim->post("/camera/commands/clear");
    EXPECT_EQ(vx4_set_camera_defog("high"), 0);
    EXPECT_EQ(vx4_set_camera_defog("Mid"), -1);
    EXPECT_EQ(vx4_set_camera_defog("mid"), 0);
    EXPECT_EQ(vx4_set_camera_ir_filter("on"), 0);
    ASSERT_TRUE(wait_until([this] { return received("81 01 04 01 02 FF"); }));
    vx4_set_controller_defaults();
    ASSERT_TRUE(wait_until([this] { return commands().size() == 6; }));
    EXPECT_EQ(commands(), (Packets{"81 01 04 37 02 02 FF", "81 01 04 51 03 FF", "81 01 04 01 02 FF",
                                   "81 01 04 47 00 00 00 00 FF", "81 01 04 38 02 FF", "81 01 04 39 00 FF"}));
    char text[4];
    vx4_load_camera_defog(text, sizeof text);
    EXPECT_STREQ(text, "mid");
    int32_t stored = 0;
    vx4_read_nv(NV_CAMERA_IR_FILTER, &stored, sizeof stored);
    EXPECT_EQ(stored, 1);

    // The camera module forgets everything at a power cycle: once the link
    // is back, the options go again.
    sim->post("/camera/power_cycle");
    EXPECT_FALSE(flag("picture_flip"));
    EXPECT_TRUE(wait_until([this] { return flag("picture_flip") && flag("icr"); }, 10000ms));
    EXPECT_TRUE(traced("CMRA: reconnect set"));
}

TEST_F(CameraServices, PowerUpGivesUpWithoutACameraAndWhatChangedMeanwhileGoesWhenItComes)
{
    start_link();
    vx4_init_camera(2);
    ASSERT_TRUE(wait_until([this] { return traced("CMRA: power up wait 1"); }));
    // A setter never waits for the camera, not even while the power-up does.
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(vx4_set_camera_ir_filter("on"), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 200ms);
    ASSERT_TRUE(wait_until([this] { return traced("CMRA: power up wait 2"); }, 4000ms));
    // Taken while the camera is away, applied once it is there.
    EXPECT_EQ(vx4_set_camera_invert_image("on"), 0);
    start_camera();
    ASSERT_TRUE(wait_until([this] { return flag("picture_flip") && flag("icr"); }, 10000ms));
    EXPECT_TRUE(traced("CMRA: reconnect set"));
    EXPECT_FALSE(traced("CMRA: power up wait 3"));
    EXPECT_FALSE(traced("CMRA: power up set"));
    EXPECT_FALSE(received("81 01 04 47 00 00 00 00 FF"));  // no zoom to wide: the power-up was dropped
}

TEST_F(CameraServices, AHeldZoomSpeedsUpEveryTwoSecondsAndTheNextPressStartsAgain)
{
    start_camera();
    start_link();
    ASSERT_TRUE(wait_until(connected));
    vx4_create_zoom_loop();
    vx4_create_focus_loop();
    root.write("/tmp/zoom_speed", "3");
    root.write("/tmp/focus_speed", "2");

    auto until = std::chrono::steady_clock::now() + 5200ms;
    while (std::chrono::steady_clock::now() < until) {
        EXPECT_EQ(vx4_trigger_zoom_loop(1, 500), 1);
        EXPECT_EQ(vx4_trigger_zoom_loop(-1, 500), 0);  // against the movement
        std::this_thread::sleep_for(300ms);            // a held button repeats
    }
    ASSERT_TRUE(wait_until([this] { return received("81 01 04 07 00 FF"); }));
    EXPECT_EQ(commands(), (Packets{"81 01 04 07 23 FF", "81 01 04 07 24 FF", "81 01 04 07 25 FF",
                                   "81 01 04 07 00 FF"}));
    EXPECT_EQ(root.read("/tmp/zoom_speed"), "3");

    // A stop returns once the camera was told and the loop has ended.
    EXPECT_EQ(vx4_trigger_focus_loop(-1, 5000), 1);
    ASSERT_TRUE(wait_until([this] { return received("81 01 04 08 32 FF"); }));
    vx4_stop_focus_loop();
    EXPECT_TRUE(traced("FSLP: end"));
    EXPECT_TRUE(wait_until([this] { return received("81 01 04 08 00 FF"); }));
}

TEST_F(CameraServices, TheDisplayDrawsItsLinesCentredHidesThemAfterTheDwellAndShowsCompassLaserAndZoomBelow)
{
    for (int item : {NV_ZOOM_OSD, NV_FLOW_DIRECTION_OSD, NV_COMPASS_DIRECTION_OSD, NV_TITLE_OSD, NV_OPERATOR_ID_OSD})
        store(item, 0);
    store(NV_DATE_TIME_OSD, 1);
    store(NV_OSD_COLOR, 3);
    vx4_init_recorder_texts();
    start_camera();
    start_link();
    ASSERT_TRUE(wait_until(connected));
    start_display();
    ASSERT_TRUE(wait_until([this] { return received("81 01 04 74 20 FF"); }));
    Packets first = commands();
    ASSERT_EQ(first.size(), 5u);
    EXPECT_EQ(first[0], "81 01 04 74 1F FF");
    EXPECT_EQ(first[1].substr(0, 14), "81 01 04 73 20");
    EXPECT_EQ(first[2].substr(0, 14), "81 01 04 73 30");
    EXPECT_EQ(first[3], "81 01 04 73 10 00 06 03 00 00 00 00 00 00 00 FF");
    EXPECT_EQ(first[4], "81 01 04 74 20 FF");
    std::string top = sim->text("/camera", "titles.0.text");
    EXPECT_TRUE(std::regex_match(top, std::regex(R"(VX4  \d\d/\d\d/\d\d  \d\d:\d\d)"))) << top;

    // Centred by the full length; one too long to centre starts at the edge.
    vx4_set_osd_item(VX4_OSD_TITLE, 1, 1);
    const std::string forty(40, 'W');
    for (const auto &[text, shown, position] :
         {std::tuple{std::string("PIPE 7"), std::string("PIPE 7              "), 13},
          {std::string(20, 'A'), std::string(20, 'A'), 6},
          {std::string("MANHOLE 12 TO MANHOLE 14"), std::string("MANHOLE 12 TO MANHOL"), 4},
          {forty, std::string(20, 'W'), 0}}) {
        vx4_set_recorder_title(text.c_str());
        EXPECT_TRUE(wait_until([&] { return title_is(1, shown, position); })) << text;
    }

    // Recording with a dwell of 1 s: lines 1 to 3 hide, and come back when
    // the recording ends. 999 never hides them.
    vx4_set_osd_item(VX4_OSD_DWELL, 1, 1);
    vx4_update_osd_recorder_activity(1);
    EXPECT_TRUE(wait_until([this] { return !shown(1); }, 3000ms));
    EXPECT_TRUE(shown(0));
    vx4_update_osd_recorder_activity(0);
    EXPECT_TRUE(wait_until([this] { return title_is(1, std::string(20, 'W')); }));
    vx4_set_osd_item(VX4_OSD_DWELL, 999, 1);
    vx4_update_osd_recorder_activity(1);
    ASSERT_TRUE(wait_until([this] { return traced("OSDP: delay second 2"); }, 4000ms));
    EXPECT_TRUE(title_is(1, std::string(20, 'W')));

    // The bottom line: compass, the laser reading in the operator's unit, zoom.
    store(NV_UNITS, 1);
    vx4_set_osd_laser_reading(12.34f);
    vx4_set_osd_item(VX4_OSD_ZOOM, 1, 1);
    vx4_set_osd_item(VX4_OSD_COMPASS, 1, 1);
    vx4_set_osd_item(VX4_OSD_LASER, 1, 0);
    EXPECT_TRUE(wait_until([this] { return title_is(10, "NE    40.5 FT   1.0X", 6); }));
    store(NV_UNITS, 0);
    vx4_set_osd_laser_reading(150.0f);
    EXPECT_TRUE(wait_until([this] { return title_is(10, "NE    150 M     1.0X"); }));
    vx4_set_osd_item(VX4_OSD_ZOOM, 0, 1);
    EXPECT_TRUE(wait_until([this] { return title_is(10, "NE    150 M         "); }));
    vx4_set_osd_item(VX4_OSD_COMPASS, 0, 1);
    vx4_set_osd_item(VX4_OSD_LASER, 0, 0);
    EXPECT_TRUE(wait_until([this] { return !shown(10); }));
}

}  // namespace
