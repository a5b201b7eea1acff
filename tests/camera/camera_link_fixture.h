// The daemon's VISCA thread in this process against vx4-sim's camera module,
// whose state and received packets the tests read.
#pragma once

#include <pthread.h>

#include "camera/visca_connection.h"
#include "core/trace.h"
#include "support.h"

namespace vx4test {

class CameraLinkTest : public ::testing::Test {
protected:
    // The camera's port goes into the environment before the platform reads it.
    void enter(const char *trace_mask)
    {
        visca_port = free_tcp_port();
        setenv("VX4_CAMERA_VISCA_PORT", std::to_string(visca_port).c_str(), 1);
        root.enter();
        root.write("/media/usb99/trace_mask", trace_mask);
        init_trace();
    }

    void start_camera()
    {
        sim = std::make_unique<SimHead>(root, std::vector<std::string>{"--visca-port=" + std::to_string(visca_port)});
    }

    // The thread runs for the rest of the process, as in the daemon.
    void start_link()
    {
        ASSERT_EQ(pthread_create(&visca_thread_data.thread, nullptr, visca_thread_procedure, &visca_thread_data), 0);
        pthread_detach(visca_thread_data.thread);
    }

    static bool connected() { return visca_connection_is_connected(visca_thread_data.connection) != 0; }

    // Every packet the camera received since the last clear.
    std::vector<std::string> commands() const { return sim->texts("/camera/commands", "commands"); }

    SandboxRoot root;
    int visca_port = 0;
    std::unique_ptr<SimHead> sim;
};

}  // namespace vx4test
