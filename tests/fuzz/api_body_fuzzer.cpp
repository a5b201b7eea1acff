// Request bodies come from any client on the network. The first byte chooses
// an endpoint that takes a body; the rest is its body. Whatever the body, the
// reply is one JSON object whose "status" is "OK" or "BAD_REQUEST" (or, for
// a speed step, the speed 0 to 7 or -1), and what is queued for the power
// board is a register write it takes. No camera is connected here.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "api/api_reply.h"
#include "api/camera.h"
#include "api/debug.h"
#include "api/laser.h"
#include "api/lighting.h"
#include "api/motion.h"
#include "api/osd.h"
#include "api/seats.h"
#include "api/setup.h"
#include "core/settings.h"
#include "platform.h"
#include "power_board/power_board_internal.h"

namespace {

// The speed steps answer with the speed; every other endpoint with "status".
const http_handler_function endpoints[] = {
    api_put_led_mode, api_put_led_intensity, api_post_power_board_write, api_put_laser_speed, api_put_laser_mode,
    api_put_height_preset, api_put_height_extension, api_put_power_board_read_command,
    api_put_power_board_zero_buffer, api_put_debug_warning<API_WARNING_HIGH_RH>, api_put_camera_exposure_mode,
    api_put_camera_focus_mode, api_put_camera_focus_speed, api_post_camera_focus_speed,
    api_put_camera_focus_position, api_put_camera_zoom_speed, api_post_camera_zoom_speed,
    api_put_camera_zoom_position, api_put_camera_image_setting<API_DEFOG>,
    api_put_camera_image_setting<API_IR_FILTER>, api_put_camera_title_line,
    api_post_camera_title_line_action<API_TITLE_CLEAR>, api_post_camera_imagecache,
    api_put_osd_switch<VX4_OSD_TITLE>, api_put_osd_color, api_put_osd_dwell, api_put_setup_date, api_put_setup_time,
    api_put_setup_high_beam_time, api_put_setup_text<API_SETUP_UNITS>, api_put_setup_observer_seats};
constexpr size_t endpoint_count = sizeof endpoints / sizeof endpoints[0];

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

std::string read_all(int fd)
{
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<size_t>(n));
    return got;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // State files go to a scratch root, never the host's /tmp.
    static char root[] = "/tmp/vx4-fuzz-api-XXXXXX";
    if (!mkdtemp(root))
        abort();
    atexit([] { std::filesystem::remove_all(root); });
    setenv("VX4_ROOT", root, 1);
    setenv("VX4_CAMERA_HOST", "127.0.0.1", 1);
    setenv("VX4_REDIS_HOST", "127.0.0.1", 1);
    if (vx4_platform_init("api_body_fuzzer") != 0)
        abort();
    // The image cache and the speed files live in /tmp; the display's and
    // the camera's settings in the store.
    if (mkdir((std::string(root) + "/tmp").c_str(), 0755) != 0)
        abort();
    vx4_init_nv();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    http_handler_function chosen = endpoints[data[0] % endpoint_count];
    const char *key = chosen == api_post_camera_focus_speed  ? "focus_speed"
                      : chosen == api_post_camera_zoom_speed ? "zoom_speed"
                                                             : "status";
    const char *body = reinterpret_cast<const char *>(data + 1);
    int64_t length = static_cast<int64_t>(size - 1);

    // A board without its service: what the handler queues stays in the queue.
    auto board = std::make_unique<vx4_power_board>();
    check(vx4_power_board_init(board.get(), nullptr, data[0] & 0x80, nullptr) == 0);
    power_board_instance = board.get();

    int ends[2];
    check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    http_server server{};
    server.request_timeout_ms = 1000;
    auto connection = std::make_unique<http_connection>();
    connection->server = &server;
    connection->socket = ends[0];
    http_request_reset(&connection->request);
    connection->request.major = 1;
    connection->request.minor = 1;
    connection->request.content_length = length;
    check(chosen(connection.get(), body, length, nullptr) == 0);
    http_request_context_free(&connection->request);
    close(ends[0]);

    std::string reply = read_all(ends[1]);
    close(ends[1]);
    size_t split = reply.find("\r\n\r\n");
    check(reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 && split != std::string::npos);
    json_object *object = json_tokener_parse(reply.c_str() + split + 4);
    json_object *value = nullptr;
    check(object && json_object_object_get_ex(object, key, &value));
    if (strcmp(key, "status") == 0) {
        std::string word = json_object_get_string(value);
        check(word == "OK" || word == "BAD_REQUEST");
    } else {
        int speed = json_object_get_int(value);
        check(json_object_is_type(value, json_type_int) && speed >= -1 && speed <= 7);
    }
    json_object_put(object);

    for (vx4_power_board_record *record = board->head; record; record = record->next)
        check(record->type == VX4_PB_RECORD_WRITE && record->write.count >= 1 &&
              record->write.count <= VX4_POWER_BOARD_MAX_WRITE && record->write.reg <= VX4_POWER_BOARD_MAX_REGISTER);
    power_board_instance = nullptr;
    vx4_power_board_destroy(board.get());
    return 0;
}
