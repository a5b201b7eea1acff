#include "routes.h"

const std::vector<api_route> &vx4_api_routes()
{
    // Rows are added family by family, each block at its place below; until
    // a family is there, its paths get the 404 page.
    static const std::vector<api_route> routes = {
        // Version 1.0: /api/1.0/vx4 ... /api/1.0/laser/disable
        // Setup: /api/setup/date ... /api/setup/password
        // Seats: /api/setup/observer_seats
        // Setup: /api/setup/language ... /api/setup/units
        // System: /api/model ... /api/install/camera
        // Lights: /api/led/...
        // Camera: /api/camera/exposure/... ... /api/camera/title/...
        // Recorder: /api/camera/recorder/...
        // Camera: /api/camera/imagecache
        // Laser, compass, motors and height: /api/laser/... ... /api/motor/pan/stop
        // On-screen display: /api/osd/...
        // Seats: /api/seats/request, /api/seats/update
        // Logger: /api/logger/...
        // System: /api/eject, /api/shutdown
        // Debug and power board: /api/debug/... ... /api/power_board/zero_buffer
        // Trace: /api/trace/mask
    };
    return routes;
}

int vx4_register_api_routes(http_server *server)
{
    int result = 0;
    for (const api_route &route : vx4_api_routes())
        if (http_server_register_handler(server, route.method, route.path, route.handler, nullptr,
                                         route.user_data) != 0)
            result = -1;
    return result;
}
