// The zoom magnification shown to the operator, from the published camera's
// zoom position.

#include "camera/camera_settings.h"
#include "camera/visca_connection.h"
#include "support.h"

using namespace vx4test;

namespace {

struct Shown {
    int zoom;
    float magnification;
    std::string text;
};

Shown shown()
{
    Shown result{-2, -2, ""};
    char text[16] = "unset";
    vx4_load_camera_zoom_values(&result.zoom, &result.magnification, text, sizeof text);
    result.text = text;
    return result;
}

TEST(CameraZoomValues, FollowTheMagnificationTable)
{
    SandboxRoot root;
    root.enter();
    EXPECT_EQ(shown().zoom, -1);  // no camera published
    EXPECT_EQ(shown().magnification, 0.0f);
    EXPECT_EQ(shown().text, "?");

    struct ev_loop *loop = ev_loop_new(EVBACKEND_POLL);
    visca_connection *connection = visca_connection_create(loop, "127.0.0.1", free_tcp_port(), 5000);
    ASSERT_NE(connection, nullptr);
    visca_camera *camera = visca_connection_add_camera(connection, 1, 0);
    ASSERT_NE(camera, nullptr);
    visca_thread_data.camera = camera;
    EXPECT_EQ(shown().text, "?");  // position not yet reported

    const struct {
        int zoom;
        float magnification;
        const char *text;
    } cases[] = {
        {12855, 8.5f, "8.5x"},   {13446, 10, "10x"},      {20000, 30, "30x"},    {31424, 360, "360x"},
        {40000, 360, "360x"},    {0, 1, "1.0x"},          {5793, 2, "2.0x"},     {7042, 2.5f, "2.5x"},
        {13445, 9.9973f, "10x"}, {13250, 9.48f, "9.5x"},  {16383, 29, "29x"},    {31000, 270, "270x"},
    };
    for (const auto &c : cases) {
        camera->zoom_position = c.zoom;
        Shown s = shown();
        EXPECT_EQ(s.zoom, c.zoom);
        EXPECT_NEAR(s.magnification, c.magnification, 0.001f) << c.zoom;
        EXPECT_EQ(s.text, c.text) << c.zoom;
    }

    // Outputs are optional, and the text is cut to the buffer.
    camera->zoom_position = 31424;
    char small[3] = "zz";
    EXPECT_EQ(vx4_load_camera_zoom_values(nullptr, nullptr, small, sizeof small), 0);
    EXPECT_STREQ(small, "36");
    int zoom = 0;
    EXPECT_EQ(vx4_load_camera_zoom_values(&zoom, nullptr, nullptr, 0), 0);
    EXPECT_EQ(zoom, 31424);

    visca_thread_data.camera = nullptr;
    visca_connection_destroy(connection);
    ev_loop_destroy(loop);
}

}  // namespace
