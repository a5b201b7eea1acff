#include "api/api_reply.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/stick_files.h"
#include "platform.h"

namespace {

constexpr size_t header_size = 8192;
constexpr size_t file_piece = 2048;

// Head and body as one send; the reply ends the connection both ways.
int send_reply(http_connection *connection, const char *head, size_t head_length, const char *body,
               size_t body_length)
{
    iovec pieces[2] = {{const_cast<char *>(head), head_length}, {const_cast<char *>(body), body_length}};
    http_connection_sendv(connection, pieces, 2);
    shutdown(connection->socket, SHUT_RDWR);
    return 0;
}

size_t format_head(char (&head)[header_size], const http_connection *connection, const char *format, long length)
{
    int written = snprintf(head, sizeof head, format, connection->request.major, connection->request.minor, length);
    return written < 0 ? 0 : static_cast<size_t>(written);
}

int reply_json_text(http_connection *connection, const char *format, const char *text)
{
    size_t length = strlen(text);
    char head[header_size];
    size_t head_length = format_head(head, connection, format, static_cast<long>(length));
    return send_reply(connection, head, head_length, text, length);
}

}  // namespace

json_object *api_read_json_body(http_connection *connection, const char *body, int64_t length, bool *malformed)
{
    http_request *request = &connection->request;
    if (malformed)
        *malformed = false;
    if (!request->tokener)
        request->tokener = json_tokener_new();
    if (!request->tokener)
        return nullptr;
    if (!body || length < 0)
        length = 0;
    json_object *value = json_tokener_parse_ex(request->tokener, body ? body : "", static_cast<int>(length));
    json_tokener_error error = json_tokener_get_error(request->tokener);
    if (!value && malformed)
        *malformed = error != json_tokener_continue && error != json_tokener_success;
    if (!value && error == json_tokener_continue) {
        // Only a handler fed in pieces ever gets here with more to come.
        request->json_consumed += static_cast<uint64_t>(length);
        if (request->json_consumed < static_cast<uint64_t>(request->content_length))
            return nullptr;
    }
    json_tokener_free(request->tokener);
    request->tokener = nullptr;
    return value;
}

bool api_json_string(json_object *body, const char *key, char *buffer, size_t size)
{
    json_object *value;
    if (!body || !json_object_object_get_ex(body, key, &value))
        return false;
    const char *text = json_object_get_string(value);
    if (size > 0)
        snprintf(buffer, size, "%s", text ? text : "");
    return true;
}

bool api_json_int(json_object *body, const char *key, int32_t *value)
{
    json_object *found;
    if (!body || !json_object_object_get_ex(body, key, &found))
        return false;
    *value = json_object_get_int(found);
    return true;
}

int api_json_integer(json_object *body, const char *key, int32_t *value)
{
    json_object *found;
    if (!body || !json_object_object_get_ex(body, key, &found))
        return 0;
    switch (json_object_get_type(found)) {
    case json_type_int: {
        int64_t number = json_object_get_int64(found);
        if (number < INT32_MIN || number > INT32_MAX)
            return -1;
        *value = static_cast<int32_t>(number);
        return 1;
    }
    case json_type_double: {
        double number = json_object_get_double(found);
        if (!std::isfinite(number) || number != std::trunc(number) || number < INT32_MIN || number > INT32_MAX)
            return -1;
        *value = static_cast<int32_t>(number);
        return 1;
    }
    case json_type_string: {
        const char *text = json_object_get_string(found);
        const char *digits = text[0] == '-' || text[0] == '+' ? text + 1 : text;
        if (*digits < '0' || *digits > '9')
            return -1;
        errno = 0;
        char *end;
        long number = strtol(text, &end, 10);
        if (*end != '\0' || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
            return -1;
        *value = static_cast<int32_t>(number);
        return 1;
    }
    default:
        return -1;
    }
}

bool api_json_boolean(json_object *body, const char *key, bool *value)
{
    json_object *found;
    if (!body || !json_object_object_get_ex(body, key, &found))
        return false;
    *value = json_object_get_boolean(found);
    return true;
}

bool api_json_double(json_object *body, const char *key, double *value)
{
    json_object *found;
    if (!body || !json_object_object_get_ex(body, key, &found))
        return false;
    double number = json_object_get_double(found);
    if (!std::isfinite(number))
        return false;
    *value = number;
    return true;
}

json_object *api_new_exact_double(double value)
{
    if (!std::isfinite(value))
        return nullptr;
    char text[400];  // "%.4f" of the largest double takes 314 characters
    snprintf(text, sizeof text, "%.4f", value);
    for (int digits = 1; strtod(text, nullptr) != value && digits <= 17; ++digits)
        snprintf(text, sizeof text, "%.*g", digits, value);
    return json_object_new_double_s(value, text);
}

int json_response_handler(http_connection *connection, json_object *object)
{
    if (!object)
        return 0;
    reply_json_text(connection,
                    "HTTP/%d.%d 200 OK\r\nContent-Length: %ld\r\nContent-Type: application/json\r\n\r\n",
                    json_object_to_json_string_ext(object, JSON_C_TO_STRING_NOSLASHESCAPE));
    json_object_put(object);
    return 0;
}

int api_reply_text(http_connection *connection, const char *key, const char *text)
{
    json_object *reply = json_object_new_object();
    if (reply)
        json_object_object_add(reply, key, json_object_new_string(text));
    return json_response_handler(connection, reply);
}

int api_reply_status(http_connection *connection, const char *status)
{
    return api_reply_text(connection, "status", status);
}

bool api_read_json_text(http_connection *connection, const char *body, int64_t length, const char *key,
                        char *text, size_t size)
{
    json_object *request = api_read_json_body(connection, body, length);
    bool present = api_json_string(request, key, text, size);
    json_object_put(request);
    return present;
}

int api_read_json_integer(http_connection *connection, const char *body, int64_t length, const char *key,
                          int32_t *value)
{
    json_object *request = api_read_json_body(connection, body, length);
    int found = api_json_integer(request, key, value);
    json_object_put(request);
    return found;
}

int api_reply_number_text(http_connection *connection, const char *key, long long value)
{
    char text[24];
    snprintf(text, sizeof text, "%lld", value);
    return api_reply_text(connection, key, text);
}

int api_reply_json_closing(http_connection *connection, json_object *object)
{
    if (!object)
        return 0;
    reply_json_text(connection,
                    "HTTP/%d.%d 200 OK\r\nContent-Length: %ld\r\nContent-Type: application/json\r\n"
                    "Connection: close\r\n\r\n",
                    json_object_get_string(object));
    json_object_put(object);
    return 0;
}

int api_reply_empty_object(http_connection *connection)
{
    char head[header_size];
    int length = snprintf(head, sizeof head,
                          "HTTP/%d.%d 200 OK\r\nContent-Length: %d\r\nContent-Type: application/json\r\n"
                          "Connection: close\r\n\r\n{}",
                          connection->request.major, connection->request.minor, 2);
    return send_reply(connection, head, static_cast<size_t>(length), nullptr, 0);
}

int api_reply_no_content(http_connection *connection)
{
    char head[header_size];
    int length = snprintf(head, sizeof head, "HTTP/%d.%d 204 No Content\r\n\r\n", connection->request.major,
                          connection->request.minor);
    return send_reply(connection, head, static_cast<size_t>(length), nullptr, 0);
}

int api_reply_result(http_connection *connection, int result)
{
    return api_reply_status(connection, result < 0 ? "BAD_REQUEST" : result > 0 ? "BUSY" : "OK");
}

int api_reply_handing_files(http_connection *connection, const char *body, int64_t length,
                            int (*hand)(json_object *files, json_object *owner))
{
    json_object *request = api_read_json_body(connection, body, length);
    json_object *files = nullptr;
    json_object_object_get_ex(request, "files", &files);
    return api_reply_result(connection, hand(files, request));
}

int api_reply_jpeg_file(http_connection *connection, const char *absolute)
{
    // Pictures live on the stick: a FIFO or a link to a device there must
    // neither block the API nor stream for ever.
    long long size = 0;
    int fd = vx4_open_stick_file(absolute, &size);
    if (fd < 0)
        return api_reply_not_found(connection);
    char head[header_size];
    size_t head_length = format_head(head, connection,
                                     "HTTP/%d.%d 200 OK\r\nContent-Length: %lld\r\nContent-Type: image/jpeg\r\n\r\n",
                                     size);
    int sent = http_connection_send(connection, head, head_length);
    char piece[file_piece];
    ssize_t got;
    // No more than the length announced, should the file grow meanwhile.
    for (long long left = size; sent == 0 && left > 0 && (got = read(fd, piece, sizeof piece)) > 0; left -= got)
        sent = http_connection_send(connection, piece, static_cast<size_t>(std::min<long long>(got, left)));
    close(fd);
    shutdown(connection->socket, SHUT_RDWR);
    return 0;
}

int api_reply_not_found(http_connection *connection)
{
    return send_reply(connection, http_not_found_response, http_not_found_length, nullptr, 0);
}
