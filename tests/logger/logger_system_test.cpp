// The logger through the API of the running daemon, with the simulated board
// reporting to it.
#include "head_system.h"

using namespace vx4test;

namespace {

class LoggerSystem : public HeadSystem {
protected:
    // The first report file's entry in the list.
    std::map<std::string, std::string> listed()
    {
        JsonPtr list = call("GET", "/api/logger/files");
        std::map<std::string, std::string> entry;
        if (json_object_array_length(list.get()) == 1) {
            json_object_object_foreach(json_object_array_get_idx(list.get(), 0), key, value)
                entry[key] = json_object_get_string(value);
        }
        return entry;
    }
};

}  // namespace

TEST_F(LoggerSystem, AReportFileIsWrittenListedReadCopiedAndDeleted)
{
    start();
    EXPECT_EQ(text("GET", "/api/logger/readings", "present_runtime"), "0 MIN");
    EXPECT_EQ(json_object_object_length(call("GET", "/api/logger/readings").get()), 72);
    // A tilt over-current from the board counts as a warning at once.
    sim->post("/board/readings", R"({"pb_status": 5})");
    EXPECT_TRUE(wait_until([&] { return text("GET", "/api/logger/readings", "present_tilt_motor_warnings") == "1"; }));

    ASSERT_EQ(status("POST", "/api/logger/log_file"), "OK");
    auto entry = listed();
    ASSERT_EQ(entry["data_store"], "Main USB");
    std::string name = entry["name"];
    std::string body = R"({"file_name": ")" + name + "\"}";
    EXPECT_EQ(text("GET", "/api/logger/log_file", "historical_tilt_motor_warnings", body), "1");
    EXPECT_EQ(status("GET", "/api/logger/log_file", R"({"file_name": "../../config/system.json"})"), "BAD_REQUEST");

    std::string files = R"({"files": [{"name": ")" + name + "\"}]}";
    EXPECT_EQ(status("POST", "/api/logger/copy", files), "BAD_REQUEST");  // no stick
    root.write("/dev/usb_ext1", "");  // mounted at the supervisor's next look
    EXPECT_TRUE(wait_until([&] { return status("POST", "/api/logger/copy", files) == "OK"; }));
    EXPECT_TRUE(wait_until([&] { return listed()["data_store"] == "External USB"; }));
    EXPECT_EQ(listed()["percent_copied"], "100.0 %");
    EXPECT_EQ(status("POST", "/api/logger/delete", files), "OK");
    EXPECT_TRUE(wait_until([&] { return !root.exists("/media/usb99/ApiLogs/" + name); }));
    EXPECT_TRUE(root.exists("/media/usb-cpy/" + name));

    EXPECT_EQ(status("POST", "/api/logger/reset"), "OK");
    EXPECT_EQ(text("GET", "/api/logger/readings", "historical_tilt_motor_warnings"), "0");
    EXPECT_NE(root.read("/home/vx4/logger/log0.json").find(R"("previous_id":0,"current_id":1,)"), std::string::npos);
}
