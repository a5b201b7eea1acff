// A whole head for system tests: vx4-sim with the power board (and, when
// asked, the camera module), a private redis and vx4-api pointed at them, in
// one sandbox root. The board's bus must have seen no error at the end.
#pragma once

#include "support.h"

namespace vx4test {

class HeadSystem : public ::testing::Test {
protected:
    using Writes = BoardWrites;

    // Starts the head and waits until the daemon runs its loop. more_sim
    // options may name the environment's ports: "--rtsp-port=" alone gets
    // VX4_CAMERA_RTSP_PORT.
    void start(const std::string &model = "advanced", bool camera = false,
               const std::vector<std::string> &more_sim = {})
    {
        std::string socket = root.path() + "/board.sock";
        env = sandbox_environment(root);
        std::vector<std::string> options{"--bus=" + socket, "--board-model=" + model};
        if (camera)
            options.push_back("--visca-port=" + env["VX4_CAMERA_VISCA_PORT"]);
        for (const std::string &option : more_sim)
            options.push_back(option == "--rtsp-port=" ? option + env["VX4_CAMERA_RTSP_PORT"] : option);
        sim = std::make_unique<SimHead>(root, options);
        redis = std::make_unique<RedisServer>(root.path());
        if (model == "advanced")
            root.write("/config/system.json", R"({"model_name": "VX4 Advanced"})");
        env["VX4_POWER_BOARD"] = "sim:" + socket;
        env["VX4_REDIS_PORT"] = std::to_string(redis->port());
        api_port = std::stoi(env["VX4_API_PORT"]);
        run_api();
    }

    // Stops the daemon and starts it again on the same head and root.
    void restart()
    {
        api.stop();
        run_api();
    }

    void TearDown() override
    {
        if (sim)
            expect_no_bus_errors(*sim);
    }

    // Register writes the simulated board received, oldest first.
    Writes writes() const { return board_writes(*sim); }
    long long reads() const { return static_cast<long long>(sim->number("/board", "bus.reads")); }

    // Every write the API has queued so far has reached the board: a marker
    // written through the API goes out behind them. How many writes the
    // board has received.
    size_t settle()
    {
        int mark = ++marks_ & 0xFF;
        char body[64];
        snprintf(body, sizeof body, R"({"register": "7F", "data": "%02X"})", mark);
        EXPECT_EQ(status("POST", "/api/power_board/write", body), "OK");
        return writes_up_to_marker(*sim, mark).size();
    }

    void fifo(const std::string &lines) const
    {
        int fd = open(root.at("/var/run/vx4/api.fifo").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
        close(fd);
    }

    // One API request; the reply's JSON (null when there is none).
    JsonPtr call(const std::string &method, const std::string &path, const std::string &body = "") const
    {
        HttpReply reply = http_request(api_port, method, path, body);
        EXPECT_EQ(reply.status, 200) << method << " " << path << "\n" << reply.head;
        return parse_json(reply.body);
    }

    // The reply's value of key as text ("" when absent).
    std::string text(const std::string &method, const std::string &path, const std::string &key,
                     const std::string &body = "") const
    {
        JsonPtr reply = call(method, path, body);
        json_object *value = reply ? json_at(reply.get(), key) : nullptr;
        return value ? json_object_get_string(value) : "";
    }

    // The "status" word of an action's reply.
    std::string status(const std::string &method, const std::string &path, const std::string &body = "") const
    {
        return text(method, path, "status", body);
    }

    std::string trace() const { return root.read("/media/usb99/trace"); }
    bool traced(const std::string &line) const { return vx4test::traced(root, line) > 0; }

    SandboxRoot root;
    std::map<std::string, std::string> env;
    int api_port = 0;
    std::unique_ptr<SimHead> sim;
    std::unique_ptr<RedisServer> redis;
    Process api;

    // Starts the daemon on the head (after a kill, say).
    void run_api()
    {
        api = Process({api_program()}, env, root.at("/api"));
        ASSERT_TRUE(wait_until([this] { return api.errors().find("entering loop...\n") != std::string::npos; }))
            << api.errors();
        // The API thread serves once its routes are registered.
        ASSERT_TRUE(wait_until([this] { return http_request(api_port, "GET", "/", "", 200ms).status != 0; }));
    }

private:
    int marks_ = 0;
};

}  // namespace vx4test
