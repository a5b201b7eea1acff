#include "connectivity.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "stream_log.h"

bool test_connection(const std::string &host, int port, int timeout_seconds)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (port < 1 || port > 65535 || inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return false;
    address.sin_port = htons(static_cast<uint16_t>(port));

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int on = 1;
    int result = ioctl(fd, FIONBIO, &on);
    if (result != 0) {
        stream_log("ioctlsocket failed with error: %d", result);
        close(fd);
        return false;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        close(fd);
        return true;
    }
    // An immediate refusal has already consumed the socket's error: SO_ERROR
    // would read 0 afterwards.
    if (errno != EINPROGRESS) {
        close(fd);
        return false;
    }
    int off = 0;
    result = ioctl(fd, FIONBIO, &off);
    if (result != 0)
        stream_log("ioctlsocket failed with error: %d", result);

    // poll rather than select: a descriptor above FD_SETSIZE is possible
    // with many viewers connected.
    pollfd watch{fd, POLLOUT, 0};
    bool connected = false;
    if (poll(&watch, 1, timeout_seconds * 1000) > 0 && (watch.revents & POLLOUT) &&
        !(watch.revents & (POLLERR | POLLHUP))) {
        int error = -1;
        socklen_t length = sizeof error;
        connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    close(fd);
    return connected;
}
