// The supervisor and the installer seen through vx4-api on the simulated
// head: the board's own shutdown request, a software update from the stick
// with its progress and the reboot that follows, ejection and shutdown
// requests through the API.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "../recorder/recorder_fixture.h"
#include "head_system.h"

using namespace vx4test;

namespace {

class SupervisorSystem : public HeadSystem {
protected:
    void SetUp() override
    {
        root.write("/media/usb99/trace_mask", "0x00000421");
        for (const char *program : {"/sbin/shutdown", "/sbin/reboot"})
            script(program, "echo \"$(basename \"$0\") $*\" >> '" + root.path() + "/power.log'\n");
        root.make_dir("/media/usb-cpy");
        root.make_dir("/dev");
    }

    void script(const std::string &path, const std::string &body)
    {
        root.write(path, "#!/bin/sh\n" + body);
        chmod(root.at(path).c_str(), 0755);
    }

    std::vector<std::string> power_log() const
    {
        return root.exists("/power.log") ? split_lines(root.read("/power.log")) : std::vector<std::string>{};
    }

    // Where the line is first traced after the line at after (-1: nowhere).
    long position(const std::string &line, long after = -1) const
    {
        auto lines = trace_lines(root);
        auto found = std::find(lines.begin() + after + 1, lines.end(), line);
        return found == lines.end() ? -1 : found - lines.begin();
    }

    std::string install_status() const
    {
        JsonPtr reply = call("GET", "/api/install/status");
        std::string text;
        for (const char *key : {"target", "stage", "description_1", "description_2"})
            text += std::string(text.empty() ? "" : "|") + json_object_get_string(json_at(reply.get(), key));
        return text;
    }
};

TEST_F(SupervisorSystem, TheBoardsShutdownRequestPowersOff)
{
    start();
    sim->post("/board/readings", R"({"pb_status": 3})");
    ASSERT_TRUE(wait_until([&] { return !power_log().empty(); }));
    EXPECT_EQ(power_log(), std::vector<std::string>{"shutdown -P now"});
    EXPECT_NE(trace().find("PWRB: shutdown request ["), std::string::npos);
    EXPECT_NE(trace().find("SUPV: cl shutdown ["), std::string::npos);
}

TEST_F(SupervisorSystem, SoftwareUpdateFromTheStickThenReboot)
{
    script("/opt/orba/scripts/deploy_update.sh",
           "echo \"deploy $1\" >> '" + root.path() + "/power.log'\n"
           "echo 'Starting'\necho 'UNPACK: archive'\necho 'COPY: files done'\n"
           "while [ ! -e '" + root.path() + "/go' ]; do sleep 0.02; done\necho 'DONE: reboot'\n");
    start();
    EXPECT_EQ(status("POST", "/api/eject"), "BAD_REQUEST");  // no stick
    EXPECT_EQ(status("POST", "/api/install/software"), "BAD_REQUEST");
    EXPECT_EQ(install_status(), "none|0 of 0|not active|not active");

    root.write("/media/usb-cpy/vx4_730-00512_update_1.0.zip", "old");
    root.write("/media/usb-cpy/vx4_730-00512_update_1.1.zip", "new");
    root.write("/dev/usb_ext1", "");
    ASSERT_TRUE(wait_until([&] { return trace().find("SUPV: update 1 0 0 [") != std::string::npos; }));
    EXPECT_EQ(text("GET", "/api/install/versions", "software_update"), "1.1");

    EXPECT_EQ(status("POST", "/api/install/software"), "OK");
    ASSERT_TRUE(wait_until([&] { return install_status() == "software|3 of 11|COPY|files"; }));
    EXPECT_EQ(status("POST", "/api/install/firmware"), "BAD_REQUEST");  // one update at a time
    root.write("/go", "");
    ASSERT_TRUE(wait_until([&] { return power_log().size() == 2; }));
    EXPECT_EQ(power_log(), (std::vector<std::string>{
                               "deploy " + root.at("/media/usb-cpy/vx4_730-00512_update_1.1.zip"), "reboot "}));
    EXPECT_EQ(install_status(), "software|4 of 11|DONE|reboot");

    // The stick is ejected once no I/O is in flight.
    root.write("/sys/block/sdb/stat", "0 0 0 0 0 0 0 0 0 0 0");
    EXPECT_EQ(status("POST", "/api/eject"), "OK");
    EXPECT_TRUE(wait_until([&] { return trace().find("SUPV: usb ejected [") != std::string::npos; }));
}

}  // namespace

namespace {

// A shutdown while recording stops the recording first; a reboot waits for
// its copy to the stick, a shutdown for heat does not.
TEST_F(SupervisorSystem, ShutdownWhileRecording)
{
    install_recorder_tools(root);
    root.write("/media/usb99/trace_mask", "0x00000221");
    start("advanced", false, {"--rtsp-port=", "--stream-size=192x108", "--stream-fps=15"});
    run_tool(root, {"ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries", "stream=codec_name",
                    "rtsp://127.0.0.1:" + env["VX4_CAMERA_RTSP_PORT"] + "/x4-1.mp4"});
    auto record = [this] {
        const std::string work = root.at("/home/vx4/ApiVideos/");
        ASSERT_EQ(status("POST", "/api/camera/recorder/start"), "OK") << trace();
        ASSERT_TRUE(wait_until([&] {
            auto names = files_in(work, ".mp4");
            return !names.empty() && file_size(work + names[0]) > 8000;  // a fragment or more
        }, 15000ms));
    };

    record();
    // A type that is no number is refused, not taken for a power-off.
    EXPECT_EQ(status("POST", "/api/shutdown", R"({"shutdown_type": "reboot"})"), "BAD_REQUEST");
    EXPECT_EQ(status("POST", "/api/shutdown", R"({"shutdown_type": "2"})"), "OK");
    ASSERT_TRUE(wait_until([&] { return power_log().size() == 1; }, 15000ms)) << trace();
    EXPECT_EQ(power_log()[0], "reboot ");
    long stopped = position("SUPV: stop recording");
    long copied = position("RCDR: post process 0", stopped);
    ASSERT_GE(stopped, 0);
    EXPECT_GT(copied, stopped);
    EXPECT_GT(position("SUPV: cl reboot"), copied);

    record();
    sim->post("/board/readings", R"({"pb_bme280_temperature": 89.5})");
    ASSERT_TRUE(wait_until([&] { return power_log().size() == 2; }, 15000ms)) << trace();
    EXPECT_EQ(power_log()[1], "shutdown -P now");
    EXPECT_LT(position("SUPV: temp shutdown 89.5 0.0"), position("SUPV: need shutdown"));
    EXPECT_EQ(vx4test::traced(root, "SUPV: temperature, skip post"), 1);
}

}  // namespace
