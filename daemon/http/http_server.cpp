#include "http/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "core/trace.h"
#include "platform.h"

const char http_not_found_response[] =
    "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 106\r\n\r\n"
    "<!DOCTYPE html>\r\n<html><head><title>404 Not Found</title></head><body><h2>404 Not Found</h2></body></html>";
const size_t http_not_found_length = sizeof http_not_found_response - 1;
const char http_refused_body[] = "{\"status\":\"BAD_REQUEST\"}";

// A registered route; other modules hold only pointers to it.
struct http_handler {
    http_handler *next;
    char *method;                   // "GET", "POST", "PUT", ... or "*" for any
    char *path;                     // path prefix
    http_handler_function function;
    http_close_function close_function;
    void *user_data;
};


namespace {

constexpr int max_version_number = 9999;

int64_t monotonic_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

const char *error_text() { return strerror(errno); }

// ---- request parser ----

bool is_token(unsigned char c)
{
    if (c < 0x21 || c > 0x7E)
        return false;
    return !strchr("()<>@,;:\\\"/[]?={}", c);
}

// A header value may hold tabs and bytes above 0x7F (UTF-8 text in a
// User-Agent, for one); only other control characters are refused.
bool is_value_byte(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Stores one byte; false once the buffer is full, which makes the request
// malformed (the stored tokens must stay under the buffer size).
bool store(http_request *request, char c)
{
    *request->write_pointer++ = c;
    return request->write_pointer < request->buffer + sizeof request->buffer;
}

// Header names are case-insensitive.
void look_up_header(http_request *request)
{
    const char *name = request->header_name;
    char *value = request->header_value;
    if (!strcasecmp(name, "Host"))
        request->host = value;
    else if (!strcasecmp(name, "Connection"))
        request->connection = value;
    else if (!strcasecmp(name, "Content-Length"))
        request->content_length = strtol(value, nullptr, 10);
    else if (!strcasecmp(name, "User-Agent"))
        request->user_agent = value;
    else if (!strcasecmp(name, "Accept"))
        request->accept = value;
    else if (!strcasecmp(name, "Accept-Language"))
        request->accept_language = value;
    else if (!strcasecmp(name, "Accept-Encoding"))
        request->accept_encoding = value;
    else if (!strcasecmp(name, "Referer"))
        request->referer = value;
    else if (!strcasecmp(name, "Content-Type"))
        request->content_type = value;
    else if (!strcasecmp(name, "X-Requested-With"))
        request->x_requested_with = value;
}

// Decides where the body goes once the headers have ended. The body stays
// in the buffer when it fits behind the stored tokens, wherever the headers
// ended within the current read.
int start_body(http_request *request)
{
    int64_t length = request->content_length;
    if (length == 0)
        return HTTP_REQUEST_COMPLETE;
    if (length < 0 || length > HTTP_MAX_CONTENT_LENGTH)
        return HTTP_REQUEST_ERROR;
    size_t room = static_cast<size_t>(request->buffer + sizeof request->buffer - request->write_pointer);
    if (static_cast<uint64_t>(length) <= room) {
        request->content = request->write_pointer;
        request->content_allocated = 0;
    } else {
        request->content = static_cast<char *>(calloc(static_cast<size_t>(length), 1));
        if (!request->content)
            return HTTP_REQUEST_ERROR;
        request->content_allocated = 1;
        trace(TRACE_HTTP_SERVER, "content allocated %ld", static_cast<long>(length));
    }
    return HTTP_REQUEST_BODY;
}

// Adds a digit to a version number; false when it grows absurdly long.
bool add_digit(int32_t *number, unsigned char c)
{
    *number = *number * 10 + (c - '0');
    return *number <= max_version_number;
}

// One step of the parser: the next state for byte c.
int parse_byte(http_request *request, unsigned char c)
{
    constexpr int error = HTTP_REQUEST_ERROR;
    switch (request->state) {
    case HTTP_REQUEST_START:
        if (!is_token(c))
            return error;
        request->method = request->write_pointer;
        return store(request, static_cast<char>(c)) ? HTTP_REQUEST_METHOD : error;
    case HTTP_REQUEST_METHOD:
        if (is_token(c))
            return store(request, static_cast<char>(c)) ? HTTP_REQUEST_METHOD : error;
        if (c == ' ')
            return store(request, '\0') ? HTTP_REQUEST_TARGET_START : error;
        return error;
    case HTTP_REQUEST_TARGET_START:
        request->target = request->write_pointer;
        [[fallthrough]];
    case HTTP_REQUEST_TARGET:
        if (c == ' ')
            return store(request, '\0') ? HTTP_REQUEST_VERSION_H : error;
        if (c == '\r') {
            if (!store(request, '\0') || strcmp(request->method, "GET") != 0)
                return error;
            request->major = 0;
            request->minor = 9;
            return HTTP_REQUEST_SIMPLE_END;
        }
        if (c < 0x20 || c == 0x7F)
            return error;
        if (c == '?' && !request->query)
            request->query = request->write_pointer;
        return store(request, static_cast<char>(c)) ? HTTP_REQUEST_TARGET : error;
    case HTTP_REQUEST_SIMPLE_END:
        return c == '\n' ? HTTP_REQUEST_COMPLETE : error;
    case HTTP_REQUEST_VERSION_H:
    case HTTP_REQUEST_VERSION_H + 1:
    case HTTP_REQUEST_VERSION_H + 2:
    case HTTP_REQUEST_VERSION_H + 3:
    case HTTP_REQUEST_VERSION_SLASH:
        return c == static_cast<unsigned char>("HTTP/"[request->state - HTTP_REQUEST_VERSION_H]) ? request->state + 1 : error;
    case HTTP_REQUEST_MAJOR_START:
        if (!is_digit(c))
            return error;
        request->major = c - '0';
        return HTTP_REQUEST_MAJOR;
    case HTTP_REQUEST_MAJOR:
        if (c == '.')
            return HTTP_REQUEST_MINOR_START;
        return is_digit(c) && add_digit(&request->major, c) ? HTTP_REQUEST_MAJOR : error;
    case HTTP_REQUEST_MINOR_START:
        if (!is_digit(c))
            return error;
        request->minor = c - '0';
        return HTTP_REQUEST_MINOR;
    case HTTP_REQUEST_MINOR:
        if (c == '\r')
            return HTTP_REQUEST_LINE_END;
        return is_digit(c) && add_digit(&request->minor, c) ? HTTP_REQUEST_MINOR : error;
    case HTTP_REQUEST_LINE_END:
        return c == '\n' ? HTTP_REQUEST_HEADER_START : error;
    case HTTP_REQUEST_HEADER_START:
        if (c == '\r')
            return HTTP_REQUEST_HEADERS_END;
        if (!is_token(c))
            return error;
        request->header_name = request->write_pointer;
        return store(request, static_cast<char>(c)) ? HTTP_REQUEST_HEADER_NAME : error;
    case HTTP_REQUEST_HEADER_NAME:
        if (is_token(c))
            return store(request, static_cast<char>(c)) ? HTTP_REQUEST_HEADER_NAME : error;
        if (c == ':')
            return store(request, '\0') ? HTTP_REQUEST_VALUE_START : error;
        return error;
    case HTTP_REQUEST_VALUE_START:
        if (c == ' ' || c == '\t')
            return HTTP_REQUEST_VALUE_START;
        if (!is_value_byte(c))
            return error;  // an empty value included
        request->header_value = request->write_pointer;
        return store(request, static_cast<char>(c)) ? HTTP_REQUEST_VALUE : error;
    case HTTP_REQUEST_VALUE:
        if (is_value_byte(c))
            return store(request, static_cast<char>(c)) ? HTTP_REQUEST_VALUE : error;
        if (c != '\r' || !store(request, '\0'))
            return error;
        look_up_header(request);
        return HTTP_REQUEST_LINE_END;
    case HTTP_REQUEST_HEADERS_END:
        return c == '\n' ? start_body(request) : error;
    default:
        return error;
    }
}

// ---- connection lists ----

void list_push(http_connection **head, http_connection *connection)
{
    connection->next = *head;
    if (*head)
        (*head)->previous_next = &connection->next;
    connection->previous_next = head;
    *head = connection;
}

void list_remove(http_connection *connection)
{
    *connection->previous_next = connection->next;
    if (connection->next)
        connection->next->previous_next = connection->previous_next;
    connection->next = nullptr;
    connection->previous_next = nullptr;
}

// ---- server ----

// While every connection is in use the listening socket is watched only when
// one of them may give way to a waiting client: otherwise clients wait in the
// backlog instead of waking the loop for nothing.
void set_accepting(http_server *server, bool accepting)
{
    if (server->accepting == accepting)
        return;
    epoll_event event{};
    event.events = accepting ? static_cast<uint32_t>(EPOLLIN) : 0u;
    event.data.ptr = server;
    if (epoll_ctl(server->epoll_fd, EPOLL_CTL_MOD, server->listen_socket, &event) == 0)
        server->accepting = accepting;
}

void close_connection(http_server *server, http_connection *connection)
{
    --server->active_count;
    epoll_ctl(server->epoll_fd, EPOLL_CTL_DEL, connection->socket, nullptr);
    http_request_context_free(&connection->request);
    if (connection->request.tokener) {
        json_tokener_free(connection->request.tokener);
        connection->request.tokener = nullptr;
    }
    close(connection->socket);
    connection->socket = -1;
    connection->bound_handler = nullptr;
    list_remove(connection);
    list_push(&server->free_connections, connection);
    set_accepting(server, true);
}

void free_connection_list(http_connection *connection)
{
    while (connection) {
        http_connection *next = connection->next;
        free(connection);
        connection = next;
    }
}

// Releases whatever a server holds so far (creation failures and destroy).
void release_server(http_server *server)
{
    for (http_connection *connection = server->active_connections; connection;) {
        http_connection *next = connection->next;
        epoll_ctl(server->epoll_fd, EPOLL_CTL_DEL, connection->socket, nullptr);
        http_request_context_free(&connection->request);
        if (connection->request.tokener)
            json_tokener_free(connection->request.tokener);
        close(connection->socket);
        free(connection);
        connection = next;
    }
    free_connection_list(server->free_connections);
    for (http_handler *handler = server->handlers; handler;) {
        http_handler *next = handler->next;
        free(handler->method);
        free(handler->path);
        free(handler);
        handler = next;
    }
    if (server->epoll_fd >= 0 && server->listen_socket >= 0)
        epoll_ctl(server->epoll_fd, EPOLL_CTL_DEL, server->listen_socket, nullptr);
    free(server->events);
    if (server->epoll_fd >= 0)
        close(server->epoll_fd);
    if (server->listen_socket >= 0)
        close(server->listen_socket);
    free(server);
}

http_server *fail(http_server *server, const char *format)
{
    trace(TRACE_HTTP_SERVER, format, error_text());
    release_server(server);
    return nullptr;
}

bool path_matches(const http_handler *handler, const http_request *request)
{
    if (handler->method[0] != '*' && strcmp(handler->method, request->method) != 0)
        return false;
    return strncmp(request->target, handler->path, strlen(handler->path)) == 0;
}

void answer_not_found(http_server *server, http_connection *connection)
{
    shutdown(connection->socket, SHUT_RD);
    http_connection_send(connection, http_not_found_response, http_not_found_length);
    shutdown(connection->socket, SHUT_WR);
    close_connection(server, connection);
}

// A complete request: the first matching handler takes it, or the 404.
// True when the connection is still open.
bool dispatch(http_server *server, http_connection *connection)
{
    http_request *request = &connection->request;
    for (http_handler *handler = server->handlers; handler; handler = handler->next) {
        if (!path_matches(handler, request))
            continue;
        connection->bound_handler = handler;
        int result = handler->function(connection, request->content, request->content_length,
                                       handler->user_data);
        if (result >= 1) {
            http_request_context_free(request);
            return true;
        }
        close_connection(server, connection);
        return false;
    }
    answer_not_found(server, connection);
    return false;
}

// A refused request still gets an answer, in the request's version when
// its line got that far. Its write side then closes; what the client still
// sends is read and dropped, so that the answer is not lost to a reset.
void answer_refused(http_server *server, http_connection *connection)
{
    const http_request &request = connection->request;
    bool versioned = request.major != 0 || request.minor != 0;
    char reply[256];
    int length = snprintf(reply, sizeof reply,
                          "HTTP/%d.%d 200 OK\r\nContent-Length: %zu\r\nContent-Type: application/json\r\n\r\n%s",
                          versioned ? request.major : 1, versioned ? request.minor : 1, sizeof http_refused_body - 1,
                          http_refused_body);
    trace(TRACE_HTTP_SERVER, "request refused");
    http_connection_send(connection, reply, static_cast<size_t>(length));
    shutdown(connection->socket, SHUT_WR);
    connection->deadline_ms = monotonic_ms() + server->request_timeout_ms;
}

enum class read_result { more, nothing, hang_up, closed };

read_result read_connection(http_server *server, http_connection *connection)
{
    char data[HTTP_REQUEST_BUFFER_SIZE];
    ssize_t got = read(connection->socket, data, sizeof data);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return read_result::nothing;
        http_request_context_free(&connection->request);
        shutdown(connection->socket, SHUT_RD);
        return read_result::hang_up;
    }
    if (got == 0)
        return read_result::hang_up;
    if (http_handler *handler = connection->bound_handler) {
        handler->function(connection, data, got, handler->user_data);
        return read_result::more;
    }
    if (connection->request.state == HTTP_REQUEST_ERROR)
        return read_result::more;
    connection->deadline_ms = monotonic_ms() + server->request_timeout_ms;
    int parsed = http_request_parse_http_header(&connection->request, data, static_cast<size_t>(got));
    if (parsed < 0)
        answer_refused(server, connection);
    if (parsed != 0)
        return read_result::more;
    return dispatch(server, connection) ? read_result::more : read_result::closed;
}

void hang_up(http_server *server, http_connection *connection)
{
    if (http_handler *handler = connection->bound_handler; handler && handler->close_function)
        handler->close_function(connection, handler->user_data);
    close_connection(server, connection);
}

void handle_connection(http_server *server, http_connection *connection, uint32_t events)
{
    bool peer_gone = events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
    read_result result = read_result::nothing;
    if (events & EPOLLIN) {
        // After a hang-up nothing more can arrive: read what is left, so
        // that a request sent just before the peer shut its side down is
        // still served.
        do
            result = read_connection(server, connection);
        while (peer_gone && result == read_result::more);
    }
    if (result == read_result::closed)
        return;
    if (peer_gone || result == read_result::hang_up)
        hang_up(server, connection);
}

// The connection that gives way to a waiting client once it has been open
// HTTP_GIVE_WAY_AFTER_MS: the oldest of those that sent nothing (or nothing
// valid); a request under way only when no such connection is left, so that
// a slow upload outlasts a flood of idle clients.
http_connection *giving_way_candidate(http_server *server)
{
    http_connection *idle = nullptr;
    http_connection *under_way = nullptr;
    for (http_connection *connection = server->active_connections; connection; connection = connection->next) {
        if (connection->bound_handler)
            continue;
        const http_request &request = connection->request;
        bool sent_nothing = request.state == HTTP_REQUEST_ERROR || request.write_pointer == request.buffer;
        http_connection *&oldest = sent_nothing ? idle : under_way;
        if (!oldest || connection->accepted_ms < oldest->accepted_ms)
            oldest = connection;
    }
    return idle ? idle : under_way;
}

http_connection *connection_giving_way(http_server *server)
{
    http_connection *candidate = giving_way_candidate(server);
    bool due = candidate && monotonic_ms() - candidate->accepted_ms >= HTTP_GIVE_WAY_AFTER_MS;
    return due ? candidate : nullptr;
}

void update_accepting(http_server *server)
{
    set_accepting(server, server->free_connections || connection_giving_way(server));
}

// A client usually sends its request with the handshake: reading it at once
// saves a wait and frees the slot sooner. At most one pool's worth of
// clients per wake-up, so that connections already open get their turn. With
// every connection held, one that has not delivered a request gives way, so
// that idle clients cannot lock the controller out.
void accept_pending(http_server *server)
{
    if (!server->free_connections) {
        http_connection *giving_way = connection_giving_way(server);
        if (giving_way) {
            char peer[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &giving_way->peer_address.sin_addr, peer, sizeof peer);
            trace(TRACE_HTTP_SERVER, "closed for a waiting client %s", peer);
            close_connection(server, giving_way);
        }
    }
    for (uint32_t accepted = 0; accepted < server->connection_limit && server->free_connections; ++accepted) {
        http_connection *connection = http_server_accept_connection(server);
        if (!connection)
            break;
        handle_connection(server, connection, EPOLLIN);
    }
    update_accepting(server);
}

void close_expired(http_server *server)
{
    int64_t now = monotonic_ms();
    for (http_connection *connection = server->active_connections; connection;) {
        http_connection *next = connection->next;
        if (!connection->bound_handler && now >= connection->deadline_ms) {
            char peer[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &connection->peer_address.sin_addr, peer, sizeof peer);
            trace(TRACE_HTTP_SERVER, "request timeout %s", peer);
            close_connection(server, connection);
        }
        connection = next;
    }
}

// The wait must end in time for the next request time-out, and while every
// connection is held and none may give way yet, for the first that may.
int wait_time(http_server *server, int timeout_ms)
{
    int64_t earliest = -1;
    for (http_connection *connection = server->active_connections; connection; connection = connection->next)
        if (!connection->bound_handler && (earliest < 0 || connection->deadline_ms < earliest))
            earliest = connection->deadline_ms;
    if (!server->accepting)
        if (http_connection *candidate = giving_way_candidate(server))
            earliest = std::min(earliest, candidate->accepted_ms + HTTP_GIVE_WAY_AFTER_MS);
    if (earliest < 0)
        return timeout_ms;
    int64_t left = earliest - monotonic_ms();
    if (left < 0)
        left = 0;
    return timeout_ms < 0 || left < timeout_ms ? static_cast<int>(left) : timeout_ms;
}

}  // namespace

void http_request_reset(http_request *request)
{
    memset(request, 0, sizeof *request);
    request->write_pointer = request->buffer;
}

void http_request_context_free(http_request *request)
{
    if (request->content_allocated) {
        trace(TRACE_HTTP_SERVER, "content free");
        free(request->content);
        request->content = nullptr;
        request->content_allocated = 0;
    }
}

int http_request_parse_http_header(http_request *request, const char *data, size_t length, size_t *used)
{
    size_t at = 0;
    while (at < length && request->state != HTTP_REQUEST_COMPLETE && request->state != HTTP_REQUEST_ERROR) {
        if (request->state == HTTP_REQUEST_BODY) {
            uint64_t wanted = static_cast<uint64_t>(request->content_length) - request->content_received;
            size_t take = length - at < wanted ? length - at : static_cast<size_t>(wanted);
            memcpy(request->content + request->content_received, data + at, take);
            request->content_received += take;
            at += take;
            if (request->content_received == static_cast<uint64_t>(request->content_length))
                request->state = HTTP_REQUEST_COMPLETE;
            continue;
        }
        request->state = parse_byte(request, static_cast<unsigned char>(data[at]));
        ++at;
    }
    if (used)
        *used = at;
    if (request->state == HTTP_REQUEST_COMPLETE)
        return 0;
    return request->state == HTTP_REQUEST_ERROR ? -1 : 1;
}

http_server *http_server_init(int port, uint32_t limit)
{
    trace(TRACE_HTTP_SERVER, "starting http server on port %d\n", port);
    auto *server = static_cast<http_server *>(calloc(1, sizeof(http_server)));
    if (!server) {
        trace(TRACE_HTTP_SERVER, "server alloc fail %s", error_text());
        return nullptr;
    }
    server->listen_socket = -1;
    server->epoll_fd = -1;
    server->connection_limit = limit;
    server->request_timeout_ms = HTTP_REQUEST_TIMEOUT_MS;

    server->listen_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server->listen_socket < 0)
        return fail(server, "socket alloc fail %s");
    int flags = fcntl(server->listen_socket, F_GETFL, 0);
    if (flags < 0)
        return fail(server, "flags fail %s");
    if (fcntl(server->listen_socket, F_SETFL, flags | O_NONBLOCK) < 0)
        return fail(server, "control fail %s");
    int yes = 1;
    if (setsockopt(server->listen_socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) < 0)
        trace(TRACE_HTTP_SERVER, "option fail %s", error_text());

    // A sandboxed daemon never answers beyond the machine it runs on.
    server->bind_address.sin_family = AF_INET;
    server->bind_address.sin_addr.s_addr = htonl(vx4_platform_sandboxed() ? INADDR_LOOPBACK : INADDR_ANY);
    server->bind_address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(server->listen_socket, reinterpret_cast<sockaddr *>(&server->bind_address),
             sizeof server->bind_address) < 0)
        return fail(server, "bind fail %s");
    uint32_t backlog = limit > HTTP_LISTEN_BACKLOG ? limit : HTTP_LISTEN_BACKLOG;
    if (listen(server->listen_socket, static_cast<int>(backlog)) < 0)
        return fail(server, "listen fail %s");
    server->epoll_fd = epoll_create(static_cast<int>(limit + 1));
    if (server->epoll_fd < 0)
        return fail(server, "poll fail %s");
    server->events = static_cast<epoll_event *>(calloc(limit + 1, sizeof(epoll_event)));
    if (!server->events)
        return fail(server, "events fail %s");
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = server;
    if (epoll_ctl(server->epoll_fd, EPOLL_CTL_ADD, server->listen_socket, &event) < 0)
        return fail(server, "poll control fail %s");
    server->accepting = true;
    for (uint32_t i = 0; i < limit; ++i) {
        auto *connection = static_cast<http_connection *>(calloc(1, sizeof(http_connection)));
        if (!connection)
            return fail(server, "null connection %s");
        connection->server = server;
        connection->socket = -1;
        list_push(&server->free_connections, connection);
    }
    trace(TRACE_HTTP_SERVER, "listening on port %d", port);
    return server;
}

void http_server_set_request_timeout(http_server *server, int timeout_ms)
{
    server->request_timeout_ms = timeout_ms;
}

int http_server_register_handler(http_server *server, const char *method, const char *path,
                                 http_handler_function function, http_close_function close_function,
                                 void *user_data)
{
    auto *handler = static_cast<http_handler *>(calloc(1, sizeof(http_handler)));
    if (!handler) {
        trace(TRACE_HTTP_SERVER, "null handler %s", error_text());
        return -1;
    }
    handler->method = strdup(method);
    if (!handler->method) {
        trace(TRACE_HTTP_SERVER, "null method %s", error_text());
        free(handler);
        return -1;
    }
    handler->path = strdup(path);
    if (!handler->path) {
        trace(TRACE_HTTP_SERVER, "null path %s", error_text());
        free(handler->method);
        free(handler);
        return -1;
    }
    handler->function = function;
    handler->close_function = close_function;
    handler->user_data = user_data;
    if (server->handlers_tail)
        server->handlers_tail->next = handler;
    else
        server->handlers = handler;
    server->handlers_tail = handler;
    return 0;
}

http_connection *http_server_accept_connection(http_server *server)
{
    http_connection *connection = server->free_connections;
    if (!connection)
        return nullptr;
    memset(&connection->peer_address, 0, sizeof connection->peer_address);
    connection->peer_address_length = sizeof connection->peer_address;
    int fd = accept4(server->listen_socket, reinterpret_cast<sockaddr *>(&connection->peer_address),
                     &connection->peer_address_length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            trace(TRACE_HTTP_SERVER, "accept error %s", error_text());
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        trace(TRACE_HTTP_SERVER, "bad flags %s", error_text());
        close(fd);
        return nullptr;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        trace(TRACE_HTTP_SERVER, "bad control %s", error_text());
        close(fd);
        return nullptr;
    }
    // Replies go out at once, not held back for the peer's acknowledgement.
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = connection;
    if (epoll_ctl(server->epoll_fd, EPOLL_CTL_ADD, fd, &event) < 0) {
        trace(TRACE_HTTP_SERVER, "bad poll %s", error_text());
        close(fd);
        return nullptr;
    }
    ++server->active_count;
    ++server->accepted_count;
    list_remove(connection);
    list_push(&server->active_connections, connection);
    connection->socket = fd;
    http_request_reset(&connection->request);
    connection->bound_handler = nullptr;
    connection->accepted_ms = monotonic_ms();
    connection->deadline_ms = connection->accepted_ms + server->request_timeout_ms;
    return connection;
}

int http_server_process_events(http_server *server, int timeout_ms)
{
    int count = epoll_wait(server->epoll_fd, server->events, static_cast<int>(server->connection_limit + 1),
                           wait_time(server, timeout_ms));
    if (count < 0) {
        if (errno == EINTR)
            return 0;
        trace(TRACE_HTTP_SERVER, "bad wait %s", error_text());
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        const epoll_event &event = server->events[i];
        if (event.data.ptr == server)
            accept_pending(server);
        else
            handle_connection(server, static_cast<http_connection *>(event.data.ptr), event.events);
    }
    close_expired(server);
    update_accepting(server);
    return 0;
}

void http_server_destroy(http_server *server)
{
    if (server)
        release_server(server);
}

int http_connection_sendv(http_connection *connection, const iovec *pieces, int count)
{
    constexpr int max_pieces = 8;
    if (count < 0 || count > max_pieces)
        return -1;
    iovec left[max_pieces];
    memcpy(left, pieces, sizeof(iovec) * static_cast<size_t>(count));
    iovec *next = left;
    int64_t deadline = monotonic_ms() + connection->server->request_timeout_ms;
    for (;;) {
        while (count > 0 && next->iov_len == 0) {
            ++next;
            --count;
        }
        if (count == 0)
            return 0;
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = static_cast<size_t>(count);
        ssize_t sent = sendmsg(connection->socket, &message, MSG_NOSIGNAL);
        if (sent >= 0) {
            for (size_t done = static_cast<size_t>(sent); done > 0;) {
                size_t step = done < next->iov_len ? done : next->iov_len;
                next->iov_base = static_cast<char *>(next->iov_base) + step;
                next->iov_len -= step;
                done -= step;
                if (next->iov_len == 0) {
                    ++next;
                    --count;
                }
            }
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        int64_t wait = deadline - monotonic_ms();
        if (wait <= 0)
            return -1;
        pollfd writable{connection->socket, POLLOUT, 0};
        poll(&writable, 1, static_cast<int>(wait));
    }
}

int http_connection_send(http_connection *connection, const void *data, size_t length)
{
    iovec piece{const_cast<void *>(data), length};
    return http_connection_sendv(connection, &piece, 1);
}
