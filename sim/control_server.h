// The simulator's control API: JSON over HTTP on loopback. Modules register
// routes; a test or a person reads and changes the simulated head with them.
#pragma once

#include <json-c/json.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ControlRequest {
    std::string method;
    std::string path;      // without the query
    std::string query;     // after '?', undecoded
    json_object *body;     // parsed body, nullptr when empty or not JSON (owned by the server)
};

struct ControlReply {
    int status = 200;
    json_object *body = nullptr;  // ownership passes to the server; nullptr sends {}
};

ControlReply control_ok(json_object *body = nullptr);
ControlReply control_error(int status, const std::string &message);

using ControlHandler = std::function<ControlReply(const ControlRequest &)>;

class ControlServer {
public:
    // Listens on 127.0.0.1:port. Throws std::runtime_error when it cannot.
    explicit ControlServer(int port);
    ~ControlServer();

    // Exact path match; the first registration of a method and path wins.
    void route(const std::string &method, const std::string &path, const std::string &summary,
               ControlHandler handler);
    void start();

private:
    struct Route {
        std::string method, path, summary;
        ControlHandler handler;
    };
    void serve();
    void handle(int fd);
    ControlReply dispatch(const ControlRequest &request);

    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::mutex routes_lock_;
    std::vector<Route> routes_;
    std::thread thread_;
};

// Helpers for handlers reading their JSON body.
bool json_get_int(json_object *body, const char *key, long long *value);
bool json_get_double(json_object *body, const char *key, double *value);
bool json_get_bool(json_object *body, const char *key, bool *value);
bool json_get_string(json_object *body, const char *key, std::string *value);
