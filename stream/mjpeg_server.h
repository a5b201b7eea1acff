// The pictures over HTTP: every new frame as one part of a
// multipart/x-mixed-replace response (a motion-JPEG stream), or a single
// JPEG for a request holding "frame_id=". Single-threaded: the main loop
// polls it and hands it each new JPEG. Sends never block: a viewer whose
// socket cannot take a frame skips frames until it has caught up.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The fixed texts of the protocol.
extern const std::string_view mjpeg_stream_header;
std::string mjpeg_part_head(size_t jpeg_length);
std::string single_picture_head(size_t jpeg_length);
// What a request asks for.
bool request_wants_single_picture(std::string_view request);

class MjpegServer {
public:
    // A client that sends no request within this time is closed, so that
    // idle connections cannot use up the descriptors.
    static constexpr std::chrono::milliseconds request_timeout{10000};

    explicit MjpegServer(std::chrono::milliseconds silent_limit = request_timeout) : request_timeout_(silent_limit) {}
    ~MjpegServer();
    MjpegServer(const MjpegServer &) = delete;
    MjpegServer &operator=(const MjpegServer &) = delete;

    // Listens on the port (loopback only when asked). Problems are printed;
    // the server then serves nothing and the program goes on.
    void start(int port, bool loopback_only = false);
    // Handles pending socket events without waiting.
    void poll();
    // Sends one frame to every client that wants it.
    void broadcast(const std::vector<unsigned char> &jpeg);

    size_t clientCount() const { return client_count_; }

private:
    using Bytes = std::shared_ptr<const std::string>;
    struct Client {
        int socket = -1;
        std::chrono::steady_clock::time_point connected;
        bool header_sent = false;
        bool streaming = false;
        bool single_frame = false;
        bool picture_queued = false;  // the single picture is on its way
        bool watching_output = false;
        Bytes output;                 // being sent; shared by every viewer of a frame
        size_t output_sent = 0;
    };

    void acceptClient();
    void removeClient(Client *client);
    void readRequest(Client *client);
    // Starts sending bytes (output must be idle). -1 on a socket error.
    int send(Client *client, Bytes bytes);
    // Sends what the socket takes now. 1 while output remains, 0 when it
    // is all sent, -1 on a socket error.
    int flush(Client *client);
    void watchOutput(Client *client, bool on);
    void closeSilentClients();

    const std::chrono::milliseconds request_timeout_;
    int listen_socket_ = -1;
    int epoll_ = -1;
    epoll_event events_[10] = {};
    std::list<Client> clients_;
    size_t client_count_ = 0;
};
