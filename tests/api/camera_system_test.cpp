// The camera and display endpoints of vx4-api on the simulated head.
#include "core/settings.h"
#include "head_system.h"

using namespace vx4test;

namespace {

class CameraSystem : public HeadSystem {
protected:
    // The head with its camera, once the daemon's power-up sequence has
    // ended with the defog setting.
    void start_head()
    {
        root.enter();
        vx4_init_nv();
        int32_t color = 9;  // no colour the display knows
        vx4_write_nv(NV_OSD_COLOR, &color, sizeof color);
        // The display shows nothing: what the camera receives is the test's.
        int32_t off = 0;
        for (int item : {NV_DATE_TIME_OSD, NV_OPERATOR_ID_OSD, NV_TITLE_OSD, NV_FLOW_DIRECTION_OSD, NV_ZOOM_OSD,
                         NV_COMPASS_DIRECTION_OSD})
            vx4_write_nv(item, &off, sizeof off);
        start("advanced", true);
        ASSERT_TRUE(wait_until([this] { return sent().find("81 01 04 37") != std::string::npos; }, 10000ms));
        sim->post("/camera/commands/clear");
    }

    // Every packet the camera received since the last clear, as one text.
    std::string sent() const
    {
        JsonPtr log = sim->get("/camera/commands");
        return json_object_to_json_string(json_at(log.get(), "commands"));
    }

    bool camera_flag(const std::string &key) const
    {
        return json_object_get_boolean(json_at(sim->get("/camera").get(), key));
    }

    bool title_shown(int line) const { return camera_flag("titles." + std::to_string(line) + ".shown"); }
};

TEST_F(CameraSystem, ExposureFocusZoomTitlesDisplayAndImageCacheTakeOnlyWhatTheyAllow)
{
    start_head();
    // Steps in automatic exposure are refused and send nothing.
    for (const char *control : {"shutter", "iris", "gain"})
        for (const char *step : {"increment", "decrement", "reset", "stop"})
            EXPECT_EQ(status("POST", std::string("/api/camera/exposure/") + control + "/" + step), "BAD_REQUEST");
    EXPECT_EQ(status("PUT", "/api/camera/exposure/mode", R"({"exposure_mode": "Manual"})"), "BAD_REQUEST");
    EXPECT_EQ(sent(), "[ ]");
    EXPECT_EQ(status("PUT", "/api/camera/exposure/mode", R"({"exposure_mode": "manual"})"), "OK");
    EXPECT_EQ(root.read("/tmp/exposure_mode"), "manual");
    EXPECT_EQ(status("POST", "/api/camera/exposure/shutter/increment"), "OK");
    EXPECT_TRUE(wait_until([this] { return sent().find("81 01 04 0A 02 FF") != std::string::npos; }));

    // Speeds: 0 to 7 as whole numbers, stepped within that range.
    for (const std::string family : {"focus", "zoom"}) {
        std::string path = "/api/camera/" + family + "/speed", key = family + "_speed";
        for (const std::string bad : {"-1", "8", "\"abc\"", "\"5x\"", "3.5", "true", "null"})
            EXPECT_EQ(status("PUT", path, "{\"" + key + "\": " + bad + "}"), "BAD_REQUEST") << family << bad;
        EXPECT_EQ(status("PUT", path, "{}"), "BAD_REQUEST");
        EXPECT_EQ(status("PUT", path, "{\"" + key + "\": \"7\"}"), "OK");
        std::string operation = "{\"" + family + "_operation\": \"";
        EXPECT_EQ(text("POST", path, key, operation + "increment\"}"), "7");
        EXPECT_EQ(status("PUT", path, "{\"" + key + "\": 0}"), "OK");
        EXPECT_EQ(text("POST", path, key, operation + "decrement\"}"), "0");
        EXPECT_EQ(text("POST", path, key, operation + "increment\"}"), "1");
        EXPECT_EQ(text("GET", path, key), "1");
    }

    // Focus moves need manual focus; positions must fit the camera's range.
    EXPECT_EQ(status("POST", "/api/camera/focus/increment"), "BAD_REQUEST");
    EXPECT_EQ(status("PUT", "/api/camera/focus/mode", R"({"focus_mode": "manual"})"), "OK");
    EXPECT_EQ(status("POST", "/api/camera/focus/increment"), "OK");
    EXPECT_EQ(status("PUT", "/api/camera/zoom/position", R"({"zoom_position": 70000})"), "BAD_REQUEST");
    EXPECT_EQ(status("PUT", "/api/camera/zoom/position", R"({"zoom_position": 16384})"), "OK");
    EXPECT_TRUE(wait_until([this] { return text("GET", "/api/camera/zoom/position", "zoom_magnification") == "30x"; }));
    EXPECT_EQ(text("GET", "/api/camera/zoom/position", "zoom_position"), "16384");

    // Thirteen characters of a title go out as ten and three, blanks behind.
    sim->post("/camera/commands/clear");
    EXPECT_EQ(status("PUT", "/api/camera/title/line",
                     R"({"text": "ABCDEFGHIJKLM", "line_number": 5, "h_position": 2, "color": 1})"), "OK");
    EXPECT_EQ(sent(), R"([ "81 01 04 73 15 00 02 01 00 00 00 00 00 00 00 FF", )"
                      R"("81 01 04 73 25 00 01 02 03 04 05 06 07 08 09 FF", )"
                      R"("81 01 04 73 35 0A 0B 0C 1B 1B 1B 1B 1B 1B 1B FF" ])");
    EXPECT_EQ(status("POST", "/api/camera/title/clear_line", R"({"line_number": 15})"), "BAD_REQUEST");

    // The display's settings; the title line shows within a tick or two.
    EXPECT_EQ(text("GET", "/api/osd/color", "osd_color"), "wht");
    EXPECT_EQ(status("PUT", "/api/osd/color", R"({"osd_color": "yel"})"), "OK");
    EXPECT_EQ(status("PUT", "/api/osd/color", R"({"osd_color": "pink"})"), "BAD_REQUEST");
    EXPECT_EQ(text("GET", "/api/osd/color", "osd_color"), "yel");
    EXPECT_EQ(status("PUT", "/api/osd/title", R"({"title_osd": true})"), "OK");
    EXPECT_EQ(text("GET", "/api/osd/title", "title_osd"), "true");
    EXPECT_TRUE(wait_until([this] { return title_shown(1); }, 1000ms));
    for (const char *bad : {R"({"osd_dwell": 1000})", R"({"osd_dwell": "-1"})", R"({"osd_dwell": "30s"})"})
        EXPECT_EQ(status("PUT", "/api/osd/dwell", bad), "BAD_REQUEST") << bad;
    EXPECT_EQ(status("PUT", "/api/osd/dwell", R"({"osd_dwell": "30"})"), "OK");
    EXPECT_EQ(text("GET", "/api/osd/dwell", "osd_dwell"), "30");
    EXPECT_EQ(status("PUT", "/api/osd/dwell", "{}"), "OK");
    EXPECT_EQ(text("GET", "/api/osd/dwell", "osd_dwell"), "0");

    // The image cache keeps what it is given, whole, and nothing else.
    EXPECT_EQ(http_request(api_port, "GET", "/api/camera/imagecache").status, 404);
    std::string image(1000, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 7);
    EXPECT_EQ(status("POST", "/api/camera/imagecache", image), "OK");
    EXPECT_EQ(status("POST", "/api/camera/imagecache", ""), "BAD_REQUEST");
    EXPECT_EQ(status("POST", "/api/camera/imagecache", std::string(524288, 'x')), "BAD_REQUEST");
    HttpReply back = http_request(api_port, "GET", "/api/camera/imagecache");
    EXPECT_NE(back.head.find("Content-Type: image/jpeg"), std::string::npos);
    EXPECT_EQ(back.body, image);
}

TEST_F(CameraSystem, ZoomingClearsTheLaserReadingAndACameraPowerCycleIsMadeGood)
{
    start_head();
    auto distance = [this] { return text("GET", "/api/laser/distance", "laser_distance"); };
    auto reading = [&] {
        EXPECT_EQ(status("POST", "/api/laser/execute"), "OK");
        return wait_until([&] { return !distance().empty(); });
    };
    EXPECT_EQ(status("PUT", "/api/laser/mode", R"({"laser_mode": "manual"})"), "OK");
    auto laser_on = [this] { return json_object_get_boolean(json_at(sim->get("/board").get(), "rails.laser")) != 0; };
    ASSERT_TRUE(wait_until(laser_on));
    ASSERT_TRUE(reading());
    EXPECT_EQ(status("PUT", "/api/camera/focus/mode", R"({"focus_mode": "manual"})"), "OK");
    EXPECT_EQ(status("POST", "/api/camera/focus/decrement"), "OK");
    EXPECT_EQ(status("PUT", "/api/camera/focus/position", R"({"focus_position": 20480})"), "OK");
    EXPECT_FALSE(distance().empty());
    EXPECT_EQ(status("PUT", "/api/camera/zoom/position", R"({"zoom_position": 8000})"), "OK");
    EXPECT_EQ(distance(), "");
    ASSERT_TRUE(reading());
    EXPECT_EQ(status("POST", "/api/camera/zoom/decrement"), "OK");
    EXPECT_EQ(distance(), "");

    // The camera module forgets its settings and titles when its power is
    // cycled; the daemon gives them again once the link is back.
    EXPECT_EQ(status("PUT", "/api/camera/invert_image", R"({"invert_image": "on"})"), "OK");
    EXPECT_EQ(status("PUT", "/api/camera/invert_image", R"({"invert_image": "upside"})"), "BAD_REQUEST");
    EXPECT_EQ(text("GET", "/api/camera/invert_image", "invert_image"), "on");
    EXPECT_EQ(status("PUT", "/api/osd/title", R"({"title_osd": true})"), "OK");
    ASSERT_TRUE(wait_until([this] { return camera_flag("picture_flip") && title_shown(1); }));
    sim->post("/camera/power_cycle", R"({"lens_init_ms": 500})");
    EXPECT_FALSE(camera_flag("picture_flip") || title_shown(1));
    // Until the link is back a command cannot go: refused, not "OK".
    EXPECT_TRUE(wait_until([this] { return status("POST", "/api/camera/title/clear_all") == "BAD_REQUEST"; }));
    EXPECT_TRUE(wait_until([this] { return camera_flag("picture_flip") && title_shown(1); }, 10000ms));
}

}  // namespace
