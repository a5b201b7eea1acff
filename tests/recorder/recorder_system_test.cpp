// vx4-api recording vx4-sim's stream, driven through its API.

#include "head_system.h"
#include "recorder_fixture.h"

using namespace vx4test;

namespace {

const std::string work = "/home/vx4/ApiVideos/";
const std::string store = "/media/usb99/ApiVideos/";
const std::string recorder = "/api/camera/recorder/";

class RecorderSystem : public HeadSystem {
protected:
    void start()
    {
        install_recorder_tools(root);
        root.write("/media/usb99/trace_mask", "0x00000210");
        HeadSystem::start("advanced", false, {"--rtsp-port=", "--stream-size=320x180"});
        // The simulator's encoder comes up with its first viewer.
        run_tool(root, {"ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries", "stream=codec_name",
                        "rtsp://127.0.0.1:" + env["VX4_CAMERA_RTSP_PORT"] + "/x4-1.mp4"});
    }

    std::string recording() const
    {
        auto names = files_in(root.at(work), ".mp4");
        return names.empty() ? "" : names.back();
    }

    // A process that holds the sandbox's work folder on its command line.
    bool recording_process_alive() const
    {
        bool found = false;
        for (const std::string &pid : files_in("/proc", ""))
            found = found || read_file("/proc/" + pid + "/cmdline").find(root.at(work)) != std::string::npos;
        return found;
    }
};

TEST_F(RecorderSystem, AKilledDaemonsRecordingPlaysAfterTheNextStart)
{
    start();
    auto growing = [this] {
        std::string mp4 = recording();
        return !mp4.empty() && read_file(root.at(work + mp4)).size() > 60000;
    };
    // Killed while recording, then while paused: a child paused when the
    // daemon died never sees its end signal, and the next start ends it.
    for (bool paused : {false, true}) {
        SCOPED_TRACE(paused ? "paused" : "recording");
        ASSERT_EQ(status("POST", recorder + "start"), "OK");
        ASSERT_TRUE(wait_until(growing, 15000ms)) << trace();
        ASSERT_EQ(status("POST", recorder + "save"), "OK");
        if (paused) {
            ASSERT_EQ(status("POST", recorder + "pause"), "OK");
        }
        std::string mp4 = recording();

        api.signal(SIGKILL);
        api.wait_exit();
        // The recording child must not record on with nobody watching.
        if (!paused) {
            EXPECT_TRUE(wait_until([this] { return !recording_process_alive(); }, 10000ms));
        }
        run_api();
        ASSERT_TRUE(wait_until([this] { return !root.exists(work + "guid"); }, 20000ms))
            << trace();
        EXPECT_FALSE(recording_process_alive());
        EXPECT_FALSE(root.exists(work + mp4));
        EXPECT_EQ(decode_errors(root, root.at(store + mp4)), "");
        EXPECT_GT(duration_of(root, root.at(store + mp4)), 0.5);
        EXPECT_EQ(text("POST", recorder + "file/metadata", "metadata_title", R"({"file_name": ")" + mp4 + "\"}"), "ASSET");
    }
    JsonPtr files = call("GET", recorder + "files");
    ASSERT_TRUE(files && json_object_array_length(files.get()) == 2) << json_object_to_json_string(files.get());
    EXPECT_STREQ(json_object_get_string(json_at(json_object_array_get_idx(files.get(), 0), "data_store")), "Main USB");
}

TEST_F(RecorderSystem, NamesAndNotesFromClients)
{
    start();
    const std::string id = "0d5e7a54-1a2b-11ef-8a00-0242ac120002";
    root.write(store + id + ".json", R"({"id":")" + id + R"(","files":[{"path":"/ApiVideos","name":"A.mp4"}]})");
    root.write(store + "A.mp4", "video");
    root.write("/media/usb99/outside.mp4", "keep me");
    // No stick: copies are refused.
    EXPECT_EQ(status("POST", recorder + "copy", R"({"files": [{"name": "A.mp4"}]})"), "BAD_REQUEST");
    root.write("/dev/usb_ext1", "");

    // A name with a '/', "." or "..", or none, is refused by every route
    // that takes one; copies and deletions skip it.
    std::string entries = R"({"parent_id": "../outside", "name": "A.mp4"})";
    for (const std::string name : {"", ".", "..", "../outside.mp4", "../usb99/outside.mp4", "sub/A.mp4"}) {
        SCOPED_TRACE(name);
        entries += R"(,{"parent_id": ")" + id + R"(", "name": ")" + name + "\"}";
        EXPECT_EQ(status("PUT", recorder + "file/note", R"({"file_name": ")" + name + R"(", "metadata_note": "x"})"),
                  "BAD_REQUEST");
        EXPECT_EQ(text("POST", recorder + "file/metadata", "metadata_title", R"({"file_name": ")" + name + "\"}"), "");
    }
    auto finished = [this](const char *end) { return wait_until([this, end] { return traced(end); }); };
    // The stick is mounted at the supervisor's next look.
    ASSERT_TRUE(wait_until([&] { return status("POST", recorder + "copy", R"({"files": [)" + entries + "]}") == "OK"; }));
    EXPECT_TRUE(finished("RCDR: copy end"));
    EXPECT_FALSE(root.exists("/media/outside.mp4"));
    EXPECT_EQ(root.read("/media/usb-cpy/A.mp4"), "video");
    ASSERT_EQ(status("POST", recorder + "delete", R"({"files": [)" + entries + "]}"), "OK");
    EXPECT_TRUE(finished("RCDR: delete end"));
    EXPECT_EQ(root.read("/media/usb99/outside.mp4"), "keep me");
    EXPECT_FALSE(root.exists(store + "A.mp4"));  // the store's own file went, by its own name
    EXPECT_TRUE(root.exists(store + id + ".json"));  // its record was not named by "../outside"

    // Notes keep printable ASCII only, up to 512 characters.
    EXPECT_EQ(status("PUT", recorder + "video/note", "{\"metadata_note\": \"line\\nfeed caf\\u00e9 \\\"ok\\\"\"}"), "OK");
    EXPECT_EQ(root.read("/tmp/video_note"), "linefeed caf \"ok\"");
    EXPECT_EQ(text("GET", recorder + "video/metadata", "metadata_note"), "linefeed caf \"ok\"");
    EXPECT_EQ(status("PUT", recorder + "video/note", R"({"metadata_note": ")" + std::string(600, 'n') + "\"}"), "OK");
    EXPECT_EQ(root.read("/tmp/video_note"), std::string(512, 'n'));
    EXPECT_EQ(status("POST", recorder + "save"), "BAD_REQUEST");
}

}  // namespace
