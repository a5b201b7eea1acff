#include "api/logger.h"

#include <json-c/json.h>

#include "api/api_reply.h"
#include "core/trace.h"
#include "logger/logger.h"

namespace {

constexpr size_t file_name_size = 4096;

int reply_result(http_connection *connection, int result)
{
    return api_reply_status(connection, result < 0 ? "BAD_REQUEST" : result > 0 ? "BUSY" : "OK");
}

// The body's "files" go to the worker together with the body that owns them.
int hand_files(http_connection *connection, const char *body, int64_t length,
               int (*hand)(json_object *files, json_object *owner))
{
    json_object *request = api_read_json_body(connection, body, length);
    json_object *files = nullptr;  // stays null without a "files"
    json_object_object_get_ex(request, "files", &files);
    return reply_result(connection, hand(files, request));
}

}  // namespace

int api_get_logger_readings(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "get logger readings");
    return json_response_handler(connection, vx4_get_logger_current_readings());
}

int api_get_logger_log_file(http_connection *connection, const char *body, int64_t length, void *)
{
    char name[file_name_size] = "";
    api_read_json_text(connection, body, length, "file_name", name, sizeof name);
    trace(TRACE_HTTP_API, "read logger file '%s'", name);
    if (!vx4_is_logger_file_name(name))
        return api_reply_status(connection, "BAD_REQUEST");
    return json_response_handler(connection, vx4_get_logger_file_readings(name));
}

int api_post_logger_log_file(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "create logger file");
    return api_reply_status(connection, vx4_create_logger_file() ? "BAD_REQUEST" : "OK");
}

int api_post_logger_reset(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "logger reset");
    return api_reply_status(connection, vx4_reset_logger() ? "BAD_REQUEST" : "OK");
}

int api_get_logger_files(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "logger files");
    return json_response_handler(connection, vx4_get_logger_files());
}

int api_post_logger_copy(http_connection *connection, const char *body, int64_t length, void *)
{
    trace(TRACE_HTTP_API, "logger copy");
    return hand_files(connection, body, length, vx4_copy_logger_files);
}

int api_post_logger_delete(http_connection *connection, const char *body, int64_t length, void *)
{
    trace(TRACE_HTTP_API, "logger delete");
    return hand_files(connection, body, length, vx4_delete_logger_files);
}
