#include "api/system.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "api/api_reply.h"
#include "core/trace.h"
#include "supervisor/installer.h"
#include "supervisor/supervisor.h"

namespace {

json_object *texts(std::initializer_list<std::pair<const char *, const char *>> pairs)
{
    json_object *reply = json_object_new_object();
    for (auto [key, text] : pairs)
        json_object_object_add(reply, key, json_object_new_string(text));
    return reply;
}

int install(http_connection *connection, const char *what, int (*trigger)())
{
    trace(TRACE_HTTP_API, "install %s", what);
    return api_reply_status(connection, trigger() >= 1 ? "OK" : "BAD_REQUEST");
}

}  // namespace

int api_get_versions(http_connection *connection, const char *, int64_t, void *)
{
    char firmware[16], camera[8];
    vx4_load_supervisor_firmware_version(firmware, sizeof firmware);
    vx4_load_supervisor_camera_version(camera, sizeof camera);
    return json_response_handler(connection, texts({{"software_version", "03.01"},
                                                    {"firmware_version", firmware},
                                                    {"camera_version", camera}}));
}

int api_get_model(http_connection *connection, const char *, int64_t, void *)
{
    char model[16];
    vx4_load_supervisor_model_name(model, sizeof model);
    return api_reply_text(connection, "model", model);
}

int api_get_serial_number(http_connection *connection, const char *, int64_t, void *)
{
    char serial[16];
    vx4_load_supervisor_serial_number(serial, sizeof serial);
    return api_reply_text(connection, "serial_number", serial);
}

int api_get_install_versions(http_connection *connection, const char *, int64_t, void *)
{
    char software[16], firmware[16], camera[16];
    vx4_load_installer_software_update_version(software, sizeof software);
    vx4_load_installer_firmware_update_version(firmware, sizeof firmware);
    vx4_load_installer_camera_update_version(camera, sizeof camera);
    return json_response_handler(connection, texts({{"software_update", software},
                                                    {"firmware_update", firmware},
                                                    {"camera_update", camera}}));
}

int api_get_install_status(http_connection *connection, const char *, int64_t, void *)
{
    char target[17], stage[17], first[17], second[17];
    vx4_load_installer_status(target, sizeof target, stage, sizeof stage, first, sizeof first, second, sizeof second);
    return json_response_handler(connection, texts({{"target", target},
                                                    {"stage", stage},
                                                    {"description_1", first},
                                                    {"description_2", second}}));
}

int api_post_install_software(http_connection *connection, const char *, int64_t, void *)
{
    return install(connection, "software", vx4_trigger_software_update);
}

int api_post_install_firmware(http_connection *connection, const char *, int64_t, void *)
{
    return install(connection, "firmware", vx4_trigger_firmware_update);
}

int api_post_install_camera(http_connection *connection, const char *, int64_t, void *)
{
    return install(connection, "camera", vx4_trigger_camera_update);
}

// The shutdown type, a string or a number, 0 when absent. A type that is not
// entirely a decimal number is refused rather than read as 0, which would
// power the head off when a reboot was meant.
int api_post_shutdown(http_connection *connection, const char *body, int64_t length, void *)
{
    char text[32] = "0";
    json_object *request = api_read_json_body(connection, body, length);
    api_json_string(request, "shutdown_type", text, sizeof text);
    json_object_put(request);
    char *end = nullptr;
    errno = 0;
    long type = strtol(text, &end, 10);
    if (end == text || *end || errno == ERANGE || type < INT_MIN || type > INT_MAX) {
        trace(TRACE_HTTP_API, "shutdown refused");
        return api_reply_status(connection, "BAD_REQUEST");
    }
    trace(TRACE_HTTP_API, "shutdown %d", static_cast<int>(type));
    vx4_trigger_supervisor_shutdown(static_cast<int>(type));
    return api_reply_status(connection, "OK");
}

int api_post_eject(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "eject");
    return api_reply_status(connection, vx4_request_supervisor_eject() < 0 ? "BAD_REQUEST" : "OK");
}
