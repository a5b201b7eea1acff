#include "bus_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "board.h"
#include "net.h"

namespace {

constexpr size_t longest_line = 1 << 16;

}  // namespace

BusServer::BusServer(const std::string &path, SimBoard &board) : path_(path), board_(board)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw std::runtime_error("bus socket path '" + path + "' is empty or too long");
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 4) != 0) {
        std::string reason = strerror(errno);
        if (listen_fd_ >= 0)
            close(listen_fd_);
        throw std::runtime_error("bus socket " + path + ": " + reason);
    }
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0) {
        close(listen_fd_);
        throw std::runtime_error("pipe failed");
    }
    thread_ = std::thread(&BusServer::serve, this);
}

BusServer::~BusServer()
{
    char stop = 1;
    ssize_t ignored = write(stop_pipe_[1], &stop, 1);
    (void)ignored;
    thread_.join();
    drop_client();
    close(listen_fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    unlink(path_.c_str());
}

void BusServer::drop_client()
{
    if (client_fd_ < 0)
        return;
    close(client_fd_);
    client_fd_ = -1;
    pending_.clear();
    board_.disconnected();
}

void BusServer::serve()
{
    for (;;) {
        pollfd watch[3] = {{stop_pipe_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}, {client_fd_, POLLIN, 0}};
        int count = client_fd_ >= 0 ? 3 : 2;
        if (poll(watch, static_cast<nfds_t>(count), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watch[0].revents)
            return;
        if (watch[1].revents & POLLIN) {
            int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                drop_client();  // the daemon reconnects after a time-out; the newest wins
                client_fd_ = fd;
            }
            continue;
        }
        if (count < 3 || !watch[2].revents)
            continue;
        char buffer[8192];
        ssize_t n = recv(client_fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            drop_client();
            continue;
        }
        pending_.append(buffer, static_cast<size_t>(n));
        size_t end;
        bool alive = true;
        while (alive && (end = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (auto reply = board_.request(line))
                alive = send_all(client_fd_, *reply + "\n");
        }
        if (!alive || pending_.size() > longest_line)
            drop_client();
    }
}
