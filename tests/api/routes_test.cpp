// The route table is whole: every route the controller applications know,
// in the order that decides which handler a request reaches.
#include "api/routes.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "camera/visca_connection.h"

namespace {

using route_row = std::pair<std::string, std::string>;

// Method and path of every route in its place; "GET,PUT /p" is two routes,
// in that order.
const char *const expected_table = R"(
GET,POST /api/1.0/vx4  GET /api/1.0/camera/zoom  GET /api/1.0/camera/focus  GET,POST /api/1.0/camera
GET,POST /api/1.0/video  GET,POST /api/1.0/lighting  GET /api/1.0/recordings  POST /api/1.0/laser/enable
POST /api/1.0/laser/disable  GET,PUT /api/setup/date  GET,PUT /api/setup/time  GET,PUT /api/setup/title
GET,PUT /api/setup/flow_direction  GET,PUT /api/setup/operator_id  GET,PUT /api/setup/filename
GET,PUT /api/setup/gps_data  GET,PUT /api/setup/gps_location  GET,PUT /api/setup/ssid
GET,PUT /api/setup/password  GET,PUT /api/setup/observer_seats  GET,PUT /api/setup/language
GET,PUT /api/setup/battery_type  GET,PUT /api/setup/save_delay  GET,PUT /api/setup/high_beam_time
GET,PUT /api/setup/units  GET /api/model  GET /api/serial_number  GET /api/status  GET /api/versions
GET /api/install/versions  GET /api/install/status  POST /api/install/software  POST /api/install/firmware
POST /api/install/camera  GET,PUT /api/led/mode  POST /api/led/high_beam/on  POST /api/led/high_beam/off
GET,PUT /api/led/intensity  POST /api/led/intensity/increment  POST /api/led/intensity/decrement
POST /api/led/intensity/stop  GET,PUT /api/camera/exposure/mode  POST /api/camera/exposure/shutter/increment
POST /api/camera/exposure/shutter/decrement  POST /api/camera/exposure/shutter/reset
POST /api/camera/exposure/shutter/stop  POST /api/camera/exposure/iris/increment
POST /api/camera/exposure/iris/decrement  POST /api/camera/exposure/iris/reset
POST /api/camera/exposure/iris/stop  POST /api/camera/exposure/gain/increment
POST /api/camera/exposure/gain/decrement  POST /api/camera/exposure/gain/reset
POST /api/camera/exposure/gain/stop  GET,PUT /api/camera/focus/mode  GET,PUT,POST /api/camera/focus/speed
GET,PUT /api/camera/focus/position  POST /api/camera/focus/increment  POST /api/camera/focus/decrement
POST /api/camera/focus/stop  POST /api/camera/zoom/reset  GET,PUT,POST /api/camera/zoom/speed
GET,PUT /api/camera/zoom/position  POST /api/camera/zoom/increment  POST /api/camera/zoom/decrement
POST /api/camera/zoom/stop  GET,PUT /api/camera/invert_image  GET,PUT /api/camera/image_stabilizer
GET,PUT /api/camera/sensitivity  GET,PUT /api/camera/ir_filter  GET,PUT /api/camera/defog
PUT /api/camera/title/line  POST /api/camera/title/clear_all  POST /api/camera/title/turn_all_on
POST /api/camera/title/turn_all_off  POST /api/camera/title/clear_line  POST /api/camera/title/turn_line_on
POST /api/camera/title/turn_line_off  POST /api/camera/recorder/start  POST /api/camera/recorder/stop
POST /api/camera/recorder/pause  POST /api/camera/recorder/resume  POST /api/camera/recorder/save
POST /api/camera/recorder/remove  GET /api/camera/recorder/files  POST /api/camera/recorder/copy
POST /api/camera/recorder/delete  GET /api/camera/recorder/video/metadata
PUT /api/camera/recorder/video/note  GET /api/camera/recorder/image/metadata
PUT /api/camera/recorder/image/note  POST /api/camera/recorder/file/metadata
PUT /api/camera/recorder/file/note  GET,POST /api/camera/imagecache  GET /api/laser/status
GET /api/laser/distance  GET,PUT /api/laser/speed  GET,PUT /api/laser/mode  POST /api/laser/execute
GET,PUT /api/magnetometer/calibration  POST /api/motor/tilt/increment  POST /api/motor/tilt/decrement
POST /api/motor/tilt/stop  POST /api/motor/height/increment  POST /api/motor/height/decrement
POST /api/motor/height/stop  POST /api/motor/height/findhome  GET,PUT /api/height/extension
GET,PUT /api/height/preset  POST /api/motor/pan/increment  POST /api/motor/pan/decrement
POST /api/motor/pan/stop  GET,PUT /api/osd/zoom  GET,PUT /api/osd/flow_direction  GET,PUT /api/osd/date_time
GET,PUT /api/osd/compass  GET,PUT /api/osd/title  GET,PUT /api/osd/operator_id  GET,PUT /api/osd/color
GET,PUT /api/osd/dwell  POST /api/seats/request  POST /api/seats/update  GET /api/logger/readings
GET,POST /api/logger/log_file  POST /api/logger/reset  GET /api/logger/files  POST /api/logger/copy
POST /api/logger/delete  POST /api/eject  POST /api/shutdown  GET,PUT /api/debug/crit_temp_warning
GET,PUT /api/debug/high_temp_warning  GET,PUT /api/debug/low_temp_warning
GET,PUT /api/debug/high_press_warning  GET,PUT /api/debug/high_rh_warning
GET,PUT /api/debug/tilt_mtr_warning  GET,PUT /api/debug/pan_mtr_warning
GET,PUT /api/debug/height_mtr_warning  GET /api/power_board/readings  GET,PUT /api/power_board/read_command
POST /api/power_board/suspend  POST /api/power_board/resume  POST /api/power_board/trigger
POST /api/power_board/write  PUT /api/power_board/zero_buffer  GET,PUT /api/trace/mask
)";

std::vector<route_row> expected_rows()
{
    std::vector<route_row> rows;
    std::istringstream words(expected_table);
    std::string methods, path;
    while (words >> methods >> path) {
        std::istringstream each(methods);
        for (std::string method; std::getline(each, method, ',');)
            rows.emplace_back(method, path);
    }
    return rows;
}

TEST(Routes, EveryRouteInItsPlace)
{
    std::vector<route_row> expected = expected_rows();
    ASSERT_EQ(expected.size(), 206u);
    const std::vector<api_route> &routes = vx4_api_routes();
    std::vector<route_row> registered;
    for (const api_route &route : routes) {
        registered.emplace_back(route.method, route.path);
        EXPECT_NE(route.handler, nullptr) << route.method << " " << route.path;
    }
    for (size_t i = 0; i < std::max(expected.size(), registered.size()); ++i) {
        route_row want = i < expected.size() ? expected[i] : route_row{};
        route_row got = i < registered.size() ? registered[i] : route_row{};
        ASSERT_EQ(got, want) << "route " << i + 1;
    }

    // The camera routes of the first generation are handed the camera link.
    const std::set<size_t> camera_rows = {0, 2, 3, 4, 5};
    for (size_t i = 0; i < routes.size(); ++i)
        EXPECT_EQ(routes[i].user_data, camera_rows.count(i) ? &visca_thread_data : nullptr) << "route " << i + 1;
}

// A request reaches the first route of its method whose path begins its
// target: a route after a shorter one of the same method that it begins
// with would never be reached.
TEST(Routes, NoRouteHidesALaterOne)
{
    const std::vector<api_route> &routes = vx4_api_routes();
    for (size_t later = 0; later < routes.size(); ++later)
        for (size_t earlier = 0; earlier < later; ++earlier) {
            std::string prefix = routes[earlier].path;
            EXPECT_FALSE(std::string(routes[earlier].method) == routes[later].method &&
                         std::string(routes[later].path).starts_with(prefix))
                << routes[earlier].method << " " << prefix << " hides " << routes[later].path;
        }
}

}  // namespace
