#include "control_server.h"

#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <strings.h>

namespace {

constexpr size_t max_request = 1 << 20;

// Reads one request (head and Content-Length body) with a 5 s deadline.
bool read_request(int fd, std::string &head, std::string &body)
{
    std::string data;
    char buffer[8192];
    size_t head_end = std::string::npos;
    size_t length = 0;
    for (;;) {
        if (head_end == std::string::npos) {
            head_end = data.find("\r\n\r\n");
            if (head_end != std::string::npos) {
                head = data.substr(0, head_end);
                for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2))
                    if (strncasecmp(head.c_str() + at + 2, "content-length:", 15) == 0)
                        length = strtoul(head.c_str() + at + 17, nullptr, 10);
                if (length > max_request)
                    return false;
            }
        }
        if (head_end != std::string::npos && data.size() >= head_end + 4 + length) {
            body = data.substr(head_end + 4, length);
            return true;
        }
        if (data.size() > max_request)
            return false;
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, 5000) <= 0)
            return false;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        data.append(buffer, static_cast<size_t>(n));
    }
}

const char *reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    default: return "Error";
    }
}

}  // namespace

ControlReply control_ok(json_object *body) { return {200, body}; }

ControlReply control_error(int status, const std::string &message)
{
    json_object *body = json_object_new_object();
    json_object_object_add(body, "error", json_object_new_string(message.c_str()));
    return {status, body};
}

ControlServer::ControlServer(int port)
{
    listen_fd_ = listen_loopback(port, 64);
    if (listen_fd_ < 0)
        throw std::runtime_error("control API cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                 strerror(errno));
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    route("GET", "/", "this list of routes", [this](const ControlRequest &) {
        json_object *list = json_object_new_array();
        std::lock_guard<std::mutex> hold(routes_lock_);
        for (const Route &r : routes_)
            json_object_array_add(list, json_object_new_string((r.method + " " + r.path + "  " + r.summary).c_str()));
        json_object *body = json_object_new_object();
        json_object_object_add(body, "routes", list);
        return control_ok(body);
    });
}

ControlServer::~ControlServer()
{
    if (thread_.joinable()) {
        char stop = 1;
        ssize_t ignored = write(stop_pipe_[1], &stop, 1);
        (void)ignored;
        thread_.join();
    }
    close(listen_fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
}

void ControlServer::route(const std::string &method, const std::string &path, const std::string &summary,
                          ControlHandler handler)
{
    std::lock_guard<std::mutex> hold(routes_lock_);
    routes_.push_back({method, path, summary, std::move(handler)});
}

void ControlServer::start() { thread_ = std::thread(&ControlServer::serve, this); }

void ControlServer::serve()
{
    for (;;) {
        pollfd watch[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(watch, 2, -1) < 0 && errno != EINTR)
            return;
        if (watch[1].revents)
            return;
        if (!(watch[0].revents & POLLIN))
            continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        handle(fd);
        close(fd);
    }
}

void ControlServer::handle(int fd)
{
    std::string head, body;
    if (!read_request(fd, head, body))
        return;
    ControlRequest request;
    size_t first = head.find(' ');
    size_t second = head.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos)
        return;
    request.method = head.substr(0, first);
    std::string target = head.substr(first + 1, second - first - 1);
    size_t question = target.find('?');
    request.path = target.substr(0, question);
    if (question != std::string::npos)
        request.query = target.substr(question + 1);
    request.body = body.empty() ? nullptr : json_tokener_parse(body.c_str());
    ControlReply reply;
    if (!body.empty() && !request.body)
        reply = control_error(400, "body is not JSON");
    else
        reply = dispatch(request);
    json_object_put(request.body);
    if (!reply.body)
        reply.body = json_object_new_object();
    std::string text = json_object_to_json_string_ext(reply.body, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(reply.body);
    text += "\n";
    std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) +
                           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(text.size()) +
                           "\r\nConnection: close\r\n\r\n" + text;
    send_all(fd, response);
}

ControlReply ControlServer::dispatch(const ControlRequest &request)
{
    ControlHandler handler;
    bool path_known = false;
    {
        std::lock_guard<std::mutex> hold(routes_lock_);
        for (const Route &r : routes_) {
            if (r.path != request.path)
                continue;
            path_known = true;
            if (r.method == request.method) {
                handler = r.handler;
                break;
            }
        }
    }
    if (!handler)
        return control_error(path_known ? 405 : 404, "no route " + request.method + " " + request.path);
    return handler(request);
}

bool json_get_int(json_object *body, const char *key, long long *value)
{
    json_object *item;
    if (!body || !json_object_object_get_ex(body, key, &item) ||
        !(json_object_is_type(item, json_type_int) || json_object_is_type(item, json_type_double)))
        return false;
    *value = json_object_get_int64(item);
    return true;
}

bool json_get_double(json_object *body, const char *key, double *value)
{
    json_object *item;
    if (!body || !json_object_object_get_ex(body, key, &item) ||
        !(json_object_is_type(item, json_type_int) || json_object_is_type(item, json_type_double)))
        return false;
    *value = json_object_get_double(item);
    return true;
}

bool json_get_bool(json_object *body, const char *key, bool *value)
{
    json_object *item;
    if (!body || !json_object_object_get_ex(body, key, &item) ||
        !(json_object_is_type(item, json_type_boolean) || json_object_is_type(item, json_type_int)))
        return false;
    *value = json_object_get_boolean(item);
    return true;
}

bool json_get_string(json_object *body, const char *key, std::string *value)
{
    json_object *item;
    if (!body || !json_object_object_get_ex(body, key, &item) || !json_object_is_type(item, json_type_string))
        return false;
    *value = json_object_get_string(item);
    return true;
}
