#include "api/logger.h"

#include <json-c/json.h>

#include "api/api_reply.h"
#include "core/trace.h"
#include "logger/logger.h"

namespace {

constexpr size_t file_name_size = 4096;

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
    return api_reply_handing_files(connection, body, length, vx4_copy_logger_files);
}

int api_post_logger_delete(http_connection *connection, const char *body, int64_t length, void *)
{
    trace(TRACE_HTTP_API, "logger delete");
    return api_reply_handing_files(connection, body, length, vx4_delete_logger_files);
}
