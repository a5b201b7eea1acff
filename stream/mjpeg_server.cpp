#include "mjpeg_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const std::string_view mjpeg_stream_header =
    "HTTP/1.0 200 OK\r\n"
    "Accept-Range: bytes\r\n"
    "Connection: close\r\n"
    "Max-Age: 0\r\n"
    "Expires: 0\r\n"
    "Cache-Control: no-cache, private\r\n"
    "Pragma: no-cache\r\n"
    "Content-Type: multipart/x-mixed-replace;boundary=frame\r\n"
    "\r\n";

std::string mjpeg_part_head(size_t jpeg_length)
{
    return "--frame\r\nContent-Type: image/jpg\r\nContent-Length: " + std::to_string(jpeg_length) + "\r\n\r\n";
}

std::string single_picture_head(size_t jpeg_length)
{
    return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: image/jpg\r\nContent-Length: " +
           std::to_string(jpeg_length) + "\r\n\r\n";
}

bool request_wants_single_picture(std::string_view request)
{
    return request.find("frame_id=") != std::string_view::npos;
}

MjpegServer::~MjpegServer()
{
    for (Client &client : clients_)
        close(client.socket);
    if (listen_socket_ >= 0)
        close(listen_socket_);
    if (epoll_ >= 0)
        close(epoll_);
}

void MjpegServer::start(int port, bool loopback_only)
{
    signal(SIGPIPE, SIG_IGN);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        int flags = fcntl(fd, F_GETFL, 0);
        if (flags < 0)
            fputs("Get file opts error", stderr);
        else if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
            fputs("fcntl error", stderr);
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
            fputs("Set socket options error", stderr);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(loopback_only ? INADDR_LOOPBACK : INADDR_ANY);
        address.sin_port = htons(static_cast<uint16_t>(port));
        // An unbound socket would listen on a port chosen by the system.
        if (port < 1 || port > 65535 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
            fputs("Can't bind socket\n", stderr);
            close(fd);
            fd = -1;
        } else if (listen(fd, 5) < 0) {
            fputs("Listen error\n", stderr);
            close(fd);
            fd = -1;
        }
    }
    listen_socket_ = fd;

    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        fputs("epoll create error", stderr);
        return;
    }
    if (listen_socket_ >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = nullptr;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_socket_, &event) < 0)
            fputs("epoll ctl error", stderr);
    }
}

void MjpegServer::poll()
{
    if (epoll_ < 0)
        return;
    int count = epoll_wait(epoll_, events_, 10, 0);
    if (count < 0) {
        if (errno != EINTR)
            fprintf(stderr, "epoll wait error %d\n", errno);
        return;
    }
    for (int i = 0; i < count; ++i) {
        auto *client = static_cast<Client *>(events_[i].data.ptr);
        uint32_t happened = events_[i].events;
        if (!client) {
            acceptClient();
        } else if (happened & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            removeClient(client);
        } else if (happened & EPOLLIN) {
            readRequest(client);
        } else if (happened & EPOLLOUT) {
            if (flush(client) < 0)
                fprintf(stderr, "%d\n", errno);
        }
    }
    closeSilentClients();
}

void MjpegServer::closeSilentClients()
{
    auto now = std::chrono::steady_clock::now();
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client &client = *it++;
        if (!client.header_sent && !client.single_frame && now - client.connected > request_timeout_)
            removeClient(&client);
    }
}

void MjpegServer::acceptClient()
{
    int fd = accept4(listen_socket_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        perror("accept() failure");
        return;
    }
    clients_.emplace_back();
    Client &client = clients_.back();
    client.socket = fd;
    client.connected = std::chrono::steady_clock::now();
    epoll_event event{};
    // Output is watched only while a send is unfinished.
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = &client;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) < 0) {
        fputs("epoll ctl add error", stderr);
        close(fd);
        clients_.pop_back();
        return;
    }
    ++client_count_;
    fputs("client connected\n", stdout);
    fflush(stdout);
}

void MjpegServer::removeClient(Client *client)
{
    if (epoll_ctl(epoll_, EPOLL_CTL_DEL, client->socket, nullptr) < 0)
        fputs("epoll ctl del error", stderr);
    for (auto it = clients_.begin(); it != clients_.end(); ++it)
        if (&*it == client) {
            close(it->socket);
            clients_.erase(it);
            --client_count_;
            return;
        }
}

void MjpegServer::readRequest(Client *client)
{
    char request[1024];
    ssize_t got = recv(client->socket, request, sizeof request, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        removeClient(client);
        return;
    }
    if (got < 0)
        return;
    if (request_wants_single_picture(std::string_view(request, static_cast<size_t>(got)))) {
        client->single_frame = true;
        return;
    }
    if (client->header_sent || client->single_frame)
        return;
    static const Bytes header = std::make_shared<const std::string>(mjpeg_stream_header);
    if (send(client, header) < 0) {
        removeClient(client);
        return;
    }
    client->header_sent = true;
    client->streaming = true;
}

int MjpegServer::send(Client *client, Bytes bytes)
{
    client->output = std::move(bytes);
    client->output_sent = 0;
    return flush(client);
}

int MjpegServer::flush(Client *client)
{
    while (client->output) {
        const std::string &bytes = *client->output;
        ssize_t sent = ::send(client->socket, bytes.data() + client->output_sent, bytes.size() - client->output_sent,
                              MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            watchOutput(client, true);
            return 1;
        }
        if (sent < 0) {
            int error = errno;
            client->output.reset();
            watchOutput(client, false);
            errno = error;
            return -1;
        }
        client->output_sent += static_cast<size_t>(sent);
        if (client->output_sent == bytes.size()) {
            client->output.reset();
            if (client->picture_queued)
                shutdown(client->socket, SHUT_RDWR);
        }
    }
    watchOutput(client, false);
    return 0;
}

void MjpegServer::watchOutput(Client *client, bool on)
{
    if (client->watching_output == on)
        return;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | (on ? EPOLLOUT : 0u);
    event.data.ptr = client;
    if (epoll_ctl(epoll_, EPOLL_CTL_MOD, client->socket, &event) == 0)
        client->watching_output = on;
}

void MjpegServer::broadcast(const std::vector<unsigned char> &jpeg)
{
    // Each text is built once per frame and shared by every client it goes to.
    Bytes part, picture;
    for (Client &client : clients_) {
        // A client still sending an earlier frame skips this one; one that
        // has just finished takes it.
        if (client.output && flush(&client) != 0)
            continue;
        if (client.single_frame) {
            if (client.picture_queued)
                continue;
            if (!picture) {
                std::string bytes = single_picture_head(jpeg.size());
                bytes.append(jpeg.begin(), jpeg.end());
                picture = std::make_shared<const std::string>(std::move(bytes));
            }
            client.picture_queued = true;
            send(&client, picture);
        } else if (client.header_sent && client.streaming) {
            if (!part) {
                std::string bytes = mjpeg_part_head(jpeg.size());
                bytes.append(jpeg.begin(), jpeg.end());
                part = std::make_shared<const std::string>(std::move(bytes));
            }
            if (send(&client, part) < 0)
                fprintf(stderr, "%d\n", errno);
        }
    }
}
