// What every API handler has in common: reading the JSON request body and
// writing one of the reply forms. Every reply names the request's own HTTP
// version in its status line and ends the connection.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>

#include "http/http_server.h"

// The body's JSON value, or null when it holds none (not JSON, truncated,
// empty): handlers then go on as if no key were present. The caller releases
// the value with json_object_put. malformed, when given, is set when the body
// is no JSON at all, as opposed to empty or cut short.
json_object *api_read_json_body(http_connection *connection, const char *body, int64_t length,
                                bool *malformed = nullptr);

// Look-ups that leave the handler's default alone when the body or the key is
// absent; true when the key was there. A string longer than the buffer is cut
// to its size less one. Any JSON type converts as json-c converts it.
bool api_json_string(json_object *body, const char *key, char *buffer, size_t size);
bool api_json_int(json_object *body, const char *key, int32_t *value);
bool api_json_boolean(json_object *body, const char *key, bool *value);
// A number that is not finite (NaN, Infinity, out of range) counts as absent.
bool api_json_double(json_object *body, const char *key, double *value);
// A double for a reply: "%.4f" when that reads back as the value, else the
// fewest digits that do; null (a JSON null) for a value that is not finite.
json_object *api_new_exact_double(double value);
// An integer from a client: a JSON integer, a number without a fraction, or
// a text of base-10 digits with an optional sign, within 32 bits. 1 with the
// value; 0 when the key is absent; -1 for anything else (booleans, fractions,
// non-finite numbers, texts with anything but digits), which handlers refuse.
int api_json_integer(json_object *body, const char *key, int32_t *value);
// Reads the body and copies the string under key, as api_json_string does.
bool api_read_json_text(http_connection *connection, const char *body, int64_t length, const char *key,
                        char *text, size_t size);
// Reads the body and takes the integer under key, as api_json_integer does.
int api_read_json_integer(http_connection *connection, const char *body, int64_t length, const char *key,
                          int32_t *value);

// The JSON reply: the object in json-c's plain form without escaped slashes.
// Takes ownership of the object; a null object writes nothing. Returns 0,
// the handler's result.
int json_response_handler(http_connection *connection, json_object *object);
// {key: text} as the JSON reply.
int api_reply_text(http_connection *connection, const char *key, const char *text);
// {key: "value"}, the number as text, as the JSON reply.
int api_reply_number_text(http_connection *connection, const char *key, long long value);
// {"status": status} as the JSON reply.
int api_reply_status(http_connection *connection, const char *status);
// "OK" for 0, "BUSY" for 1 (a worker still busy), "BAD_REQUEST" for -1.
int api_reply_result(http_connection *connection, int result);
// Hands the body's "files" (null without one) to a worker together with the
// body that owns them, and replies with the worker's answer.
int api_reply_handing_files(http_connection *connection, const char *body, int64_t length,
                            int (*hand)(json_object *files, json_object *owner));
// The older JSON form with "Connection: close" and json-c's spaced text.
int api_reply_json_closing(http_connection *connection, json_object *object);
// "{}" with "Connection: close".
int api_reply_empty_object(http_connection *connection);
// 204 No Content.
int api_reply_no_content(http_connection *connection);
// The JPEG file at the absolute path, or the 404 page when it cannot be opened.
int api_reply_jpeg_file(http_connection *connection, const char *absolute);
// The fixed 404 page.
int api_reply_not_found(http_connection *connection);
