// The request to the control daemon to power the camera: the line "camera
// enable" written into its command FIFO. It never blocks the caller: when
// nobody reads the FIFO yet (the daemon is not running, or its FIFO is one
// left from an earlier run), a thread retries until the daemon is there.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class CameraEnable {
public:
    explicit CameraEnable(std::string fifo_path,
                          std::chrono::milliseconds retry_period = std::chrono::milliseconds(200));
    ~CameraEnable();  // stops retrying and closes the FIFO
    CameraEnable(const CameraEnable &) = delete;
    CameraEnable &operator=(const CameraEnable &) = delete;

    // Tries once at once; true when the line went in. Otherwise logs why, once,
    // and leaves the retries to the thread.
    bool start();
    // Ends the retries; nothing is logged after it returns.
    void stop();

private:
    // 0 when delivered, else the errno of the failed step.
    int attempt();
    void retry();

    std::string path_;
    std::chrono::milliseconds period_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    int fifo_ = -1;
    std::thread thread_;
};
