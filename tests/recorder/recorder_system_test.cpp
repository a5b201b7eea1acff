// vx4-api recording vx4-sim's stream, driven through its API.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "recorder_fixture.h"

using namespace vx4test;

namespace {

const std::string work = "/home/vx4/ApiVideos/";
const std::string store = "/media/usb99/ApiVideos/";
const std::string recorder = "/api/camera/recorder/";

class RecorderSystem : public ::testing::Test {
protected:
    void start()
    {
        install_recorder_tools(root);
        root.write("/media/usb99/trace_mask", "0x00000210");
        env = sandbox_environment(root);
        sim = std::make_unique<SimHead>(
            root, std::vector<std::string>{"--rtsp-port=" + env["VX4_CAMERA_RTSP_PORT"], "--stream-size=320x180"});
        // The simulator's encoder comes up with its first viewer.
        run_tool(root, {"ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries", "stream=codec_name",
                        "rtsp://127.0.0.1:" + env["VX4_CAMERA_RTSP_PORT"] + "/x4-1.mp4"});
        redis = std::make_unique<RedisServer>(root.path());
        env["VX4_REDIS_PORT"] = std::to_string(redis->port());
        api_port = std::stoi(env["VX4_API_PORT"]);
        run_api();
    }

    void run_api()
    {
        api = Process({api_program()}, env, root.at("/api"));
        ASSERT_TRUE(wait_until([this] { return http_request(api_port, "GET", "/", "", 200ms).status != 0; }))
            << api.errors();
    }

    JsonPtr call(const std::string &method, const std::string &path, const std::string &body = "") const
    {
        HttpReply reply = http_request(api_port, method, path, body);
        EXPECT_EQ(reply.status, 200) << method << " " << path;
        return parse_json(reply.body);
    }

    std::string text(const std::string &method, const std::string &path, const char *key,
                     const std::string &body = "") const
    {
        JsonPtr reply = call(method, recorder + path, body);
        json_object *value = reply ? json_at(reply.get(), key) : nullptr;
        return value ? json_object_get_string(value) : "<absent>";
    }

    std::string status(const std::string &method, const std::string &path, const std::string &body = "") const
    {
        return text(method, path, "status", body);
    }

    std::string only(const std::string &folder, const std::string &suffix) const
    {
        auto names = files_in(root.at(folder), suffix);
        return names.empty() ? "" : names.back();
    }

    // A process that holds the sandbox's work folder on its command line.
    bool recording_process_alive() const
    {
        std::string needle = root.at(work);
        DIR *proc = opendir("/proc");
        bool found = false;
        while (dirent *entry = proc ? readdir(proc) : nullptr)
            if (read_file(std::string("/proc/") + entry->d_name + "/cmdline").find(needle) != std::string::npos)
                found = true;
        if (proc)
            closedir(proc);
        return found;
    }

    SandboxRoot root;
    std::map<std::string, std::string> env;
    int api_port = 0;
    std::unique_ptr<SimHead> sim;
    std::unique_ptr<RedisServer> redis;
    Process api;
};

TEST_F(RecorderSystem, AKilledDaemonsRecordingPlaysAfterTheNextStart)
{
    start();
    auto growing = [this] {
        std::string mp4 = only(work, ".mp4");
        return !mp4.empty() && read_file(root.at(work + mp4)).size() > 60000;
    };
    // Killed while recording, then while paused: a child paused when the
    // daemon died never sees its end signal, and the next start ends it.
    for (bool paused : {false, true}) {
        SCOPED_TRACE(paused ? "paused" : "recording");
        ASSERT_EQ(status("POST", "start"), "OK");
        ASSERT_TRUE(wait_until(growing, 15000ms)) << root.read("/media/usb99/trace");
        ASSERT_EQ(status("POST", "save"), "OK");
        if (paused) {
            ASSERT_EQ(status("POST", "pause"), "OK");
        }
        std::string mp4 = only(work, ".mp4");

        api.signal(SIGKILL);
        api.wait_exit();
        // The recording child must not record on with nobody watching.
        if (!paused) {
            EXPECT_TRUE(wait_until([this] { return !recording_process_alive(); }, 10000ms));
        }
        run_api();
        ASSERT_TRUE(wait_until([this] { return !root.exists(work + "guid"); }, 20000ms))
            << root.read("/media/usb99/trace");
        EXPECT_FALSE(recording_process_alive());
        EXPECT_FALSE(root.exists(work + mp4));
        EXPECT_EQ(decode_errors(root, root.at(store + mp4)), "");
        EXPECT_GT(duration_of(root, root.at(store + mp4)), 0.5);
        EXPECT_EQ(text("POST", "file/metadata", "metadata_title", R"({"file_name": ")" + mp4 + "\"}"), "ASSET");
    }
    JsonPtr files = call("GET", recorder + "files");
    ASSERT_TRUE(files && json_object_array_length(files.get()) == 2) << json_object_to_json_string(files.get());
    EXPECT_STREQ(json_object_get_string(json_at(json_object_array_get_idx(files.get(), 0), "data_store")), "Main USB");
}

TEST_F(RecorderSystem, NamesAndNotesFromClients)
{
    start();
    root.write(store + "A.mp4", "video");
    root.write("/media/usb99/outside.mp4", "keep me");
    std::string entries;
    for (const std::string name : {"", "..", "../outside.mp4", "sub/A.mp4"}) {
        SCOPED_TRACE(name);
        entries += std::string(entries.empty() ? "" : ",") + R"({"parent_id": "p", "name": ")" + name + "\"}";
        EXPECT_EQ(status("PUT", "file/note", R"({"file_name": ")" + name + R"(", "metadata_note": "x"})"),
                  "BAD_REQUEST");
        EXPECT_EQ(text("POST", "file/metadata", "metadata_title", R"({"file_name": ")" + name + "\"}"), "");
    }
    // Accepted, then each entry skipped by the worker.
    EXPECT_EQ(status("POST", "delete", R"({"files": [)" + entries + "]}"), "OK");
    EXPECT_TRUE(wait_until([this] { return root.read("/media/usb99/trace").find("delete end") != std::string::npos; }));
    EXPECT_EQ(root.read("/media/usb99/outside.mp4"), "keep me");
    EXPECT_EQ(root.read(store + "A.mp4"), "video");
    // No stick mounted: copies are refused.
    EXPECT_EQ(status("POST", "copy", R"({"files": [{"name": "A.mp4"}]})"), "BAD_REQUEST");

    // Notes keep printable ASCII only, up to 512 characters.
    EXPECT_EQ(status("PUT", "video/note", "{\"metadata_note\": \"line\\nfeed caf\\u00e9 \\\"ok\\\"\"}"), "OK");
    EXPECT_EQ(root.read("/tmp/video_note"), "linefeed caf \"ok\"");
    EXPECT_EQ(text("GET", "video/metadata", "metadata_note"), "linefeed caf \"ok\"");
    EXPECT_EQ(status("PUT", "video/note", R"({"metadata_note": ")" + std::string(600, 'n') + "\"}"), "OK");
    EXPECT_EQ(root.read("/tmp/video_note"), std::string(512, 'n'));
    EXPECT_EQ(status("POST", "save"), "BAD_REQUEST");
}

}  // namespace
