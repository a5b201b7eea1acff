// A small single-threaded HTTP/1.x server on epoll: one listening socket, a
// fixed pool of connections, an incremental request parser and handlers
// matched by method and path prefix in registration order. One request is
// served per connection; the handler writes the whole reply itself.
#pragma once

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

struct json_tokener;
struct http_connection;

// Called once the request is complete with its body and Content-Length. A
// result of 1 or more keeps the connection open with the handler bound:
// every later read is then handed to it as (connection, bytes, count, user
// data). 0 or less closes the connection at once.
using http_handler_function = int (*)(http_connection *connection, const char *body,
                                      int64_t content_length, void *user_data);
// Called when the peer hangs up while its handler is bound.
using http_close_function = void (*)(http_connection *connection, void *user_data);

constexpr size_t HTTP_REQUEST_BUFFER_SIZE = 8192;
// Bodies above this are refused as soon as their length is known, before
// any of it is stored: no route takes more (the largest is a cached still
// image), and a client must not make the daemon allocate at will.
constexpr int64_t HTTP_MAX_CONTENT_LENGTH = (1 << 19) - 1;
// A connection that delivers no byte of its request for this long is
// closed, so that idle or stalled clients never hold the pool; one that
// keeps sending (a large upload on a slow link) is not cut.
constexpr int HTTP_REQUEST_TIMEOUT_MS = 10000;
// While every connection is held and another client waits, a connection that
// has not delivered a whole request after this long is closed for it (the
// oldest of those that sent nothing, requests under way only when no such
// one is left), so that a flood of idle connections cannot lock the
// controller out.
constexpr int HTTP_GIVE_WAY_AFTER_MS = 50;
// What a refused request (malformed, or its body too large) is answered
// with, in the API's own words, before the connection closes.
extern const char http_refused_body[];

// Clients beyond the pool wait in the kernel's queue for a free connection.
// A queue as short as the pool makes the kernel drop handshakes in a burst,
// and those clients then stall for a retransmission (200 ms to seconds).
constexpr uint32_t HTTP_LISTEN_BACKLOG = 128;

// The parser's states, one per place in the request line and headers.
enum http_request_state {
    HTTP_REQUEST_ERROR = -1,
    HTTP_REQUEST_START = 0,         // before the method
    HTTP_REQUEST_METHOD = 1,
    HTTP_REQUEST_TARGET_START = 2,
    HTTP_REQUEST_TARGET = 3,
    HTTP_REQUEST_SIMPLE_END = 4,    // "GET target\r": HTTP/0.9, waiting for "\n"
    HTTP_REQUEST_VERSION_H = 5,     // 5 to 9: the letters of "HTTP/"
    HTTP_REQUEST_VERSION_SLASH = 9,
    HTTP_REQUEST_MAJOR_START = 10,
    HTTP_REQUEST_MAJOR = 11,
    HTTP_REQUEST_MINOR_START = 12,
    HTTP_REQUEST_MINOR = 13,
    HTTP_REQUEST_LINE_END = 14,     // "\r" seen, waiting for "\n"
    HTTP_REQUEST_HEADER_START = 15,
    HTTP_REQUEST_HEADER_NAME = 16,
    HTTP_REQUEST_VALUE_START = 17,
    HTTP_REQUEST_VALUE = 18,
    HTTP_REQUEST_HEADERS_END = 19,  // empty line's "\r" seen
    HTTP_REQUEST_BODY = 20,
    HTTP_REQUEST_COMPLETE = 21,
};

struct http_request {
    int32_t state;                  // http_request_state
    char *write_pointer;            // next free byte of buffer
    char *header_name;
    char *header_value;
    char *method;
    char *target;                   // keeps its query part
    char *query;                    // first "?" of the target, or null
    int32_t major;
    int32_t minor;
    char *host;
    char *connection;
    int64_t content_length;         // 0 when absent
    uint64_t content_received;
    char *content;                  // body, inside buffer or allocated
    int32_t content_allocated;      // 1: content must be freed
    char *user_agent;
    char *accept;
    char *accept_language;
    char *accept_encoding;
    char *referer;
    char *content_type;
    char *x_requested_with;
    json_tokener *tokener;          // for the handlers' body parsing
    uint64_t json_consumed;
    char buffer[HTTP_REQUEST_BUFFER_SIZE];  // last, so that no field lies behind it
};

struct http_handler;
struct http_server;

struct http_connection {
    http_server *server;
    http_connection *next;
    http_connection **previous_next;
    int socket;
    sockaddr_in peer_address;
    socklen_t peer_address_length;
    int64_t accepted_ms;            // monotonic
    int64_t deadline_ms;            // monotonic; closed unless a byte of the request comes by then
    http_handler *bound_handler;
    http_request request;
};

struct http_server {
    int listen_socket;
    sockaddr_in bind_address;
    uint32_t connection_limit;      // pool size; the listen backlog is at least HTTP_LISTEN_BACKLOG
    int epoll_fd;
    epoll_event *events;            // connection_limit + 1 entries
    http_handler *handlers;
    http_handler *handlers_tail;
    http_connection *free_connections;
    http_connection *active_connections;
    uint64_t active_count;
    uint64_t accepted_count;
    bool accepting;                 // listening socket watched for new clients
    int request_timeout_ms;
};

// Listens on port with a pool of limit connections; the loopback address only
// in sandbox mode, every interface on the unit. Null on failure (traced).
http_server *http_server_init(int port, uint32_t limit);
// Appends a handler; registration order is match order. 0 or -1.
int http_server_register_handler(http_server *server, const char *method, const char *path,
                                 http_handler_function function, http_close_function close_function,
                                 void *user_data);
// Waits up to timeout_ms once and handles everything that arrived, then
// closes the connections whose request time-out has passed. A refused
// request is answered at once; what the client still sends is then read and
// dropped until it hangs up or the time-out passes. 0 or -1.
int http_server_process_events(http_server *server, int timeout_ms);
http_connection *http_server_accept_connection(http_server *server);
void http_server_destroy(http_server *server);
// Changes the request time-out (HTTP_REQUEST_TIMEOUT_MS by default).
void http_server_set_request_timeout(http_server *server, int timeout_ms);

void http_request_reset(http_request *request);
void http_request_context_free(http_request *request);
// Parses data from the stored state on: 0 when the request (headers and whole
// body) is complete, 1 when more is needed, -1 when it is malformed. *used,
// when given, receives the number of bytes of data consumed.
int http_request_parse_http_header(http_request *request, const char *data, size_t length,
                                   size_t *used = nullptr);

// Writes all of data on the connection's socket, waiting while the peer's
// window is full, but never longer than the request time-out. 0 or -1.
int http_connection_send(http_connection *connection, const void *data, size_t length);
// The same for several pieces sent as one: a reply's head and body leave in
// the same segment instead of waiting for the peer's acknowledgement.
int http_connection_sendv(http_connection *connection, const iovec *pieces, int count);
// The fixed 404 page, written whatever version the request used.
extern const char http_not_found_response[];
extern const size_t http_not_found_length;
