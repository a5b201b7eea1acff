// The simulated bus socket: a Unix stream socket at a path, one connection
// at a time (a new one replaces the old), one reply line per request line.
#pragma once

#include <string>
#include <thread>

class SimBoard;

class BusServer {
public:
    // Listens at path (a file left there is replaced). Throws
    // std::runtime_error when it cannot.
    BusServer(const std::string &path, SimBoard &board);
    ~BusServer();
    BusServer(const BusServer &) = delete;
    BusServer &operator=(const BusServer &) = delete;

private:
    void serve();
    void drop_client();

    std::string path_;
    SimBoard &board_;
    int listen_fd_ = -1;
    int client_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::string pending_;
    std::thread thread_;
};
