#include "camera_enable.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"
#include "stream_log.h"

namespace {

constexpr char line[] = "camera enable\n";

const char *reason(int error)
{
    switch (error) {
    case ENXIO: return "no reader yet";
    case EINVAL: return "not a FIFO";
    case EAGAIN: return "FIFO full";
    default: return strerror(error);
    }
}

}  // namespace

CameraEnable::CameraEnable(std::string fifo_path, std::chrono::milliseconds retry_period)
    : path_(std::move(fifo_path)), period_(retry_period)
{
}

CameraEnable::~CameraEnable()
{
    stop();
    if (fifo_ >= 0)
        close(fifo_);
}

void CameraEnable::stop()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

int CameraEnable::attempt()
{
    int fd = vx4_open_fifo_writer(path_);
    if (fd < 0)
        return errno;
    // Shorter than PIPE_BUF: the line goes in whole or not at all.
    if (write(fd, line, sizeof line - 1) != static_cast<ssize_t>(sizeof line - 1)) {
        int error = errno;
        close(fd);
        return error;
    }
    std::lock_guard<std::mutex> hold(lock_);
    fifo_ = fd;
    return 0;
}

bool CameraEnable::start()
{
    int error = attempt();
    if (error == 0) {
        stream_log("Camera enabled");
        return true;
    }
    stream_log("Cannot write to %s: %s, retrying in the background", path_.c_str(), reason(error));
    thread_ = std::thread(&CameraEnable::retry, this);
    return false;
}

void CameraEnable::retry()
{
    std::unique_lock<std::mutex> hold(lock_);
    while (!wake_.wait_for(hold, period_, [this] { return stopping_; })) {
        hold.unlock();
        int error = attempt();
        hold.lock();
        if (error == 0) {
            stream_log("Camera enabled");
            return;
        }
    }
}
