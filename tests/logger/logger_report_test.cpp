// The readings report and the report files.

#include <ctime>
#include <regex>
#include <set>
#include <sstream>

#include "logger_fixture.h"

using namespace vx4test;

namespace {

const char report_keys[] = R"(present_model present_serial_number present_software_version present_firmware_version
present_camera_version present_battery_voltage present_date present_time present_runtime present_height_motor_warnings
present_tilt_motor_warnings present_pan_motor_warnings present_high_temperature_warnings present_high_pressure_warnings
present_high_humidity_warnings present_up_max_temperature present_up_min_temperature present_up_avg_temperature
present_camera_cpu_max_temperature present_camera_cpu_min_temperature present_camera_cpu_avg_temperature
present_invalid_camera_cpu_temperature present_camera_fpga_max_temperature present_camera_fpga_min_temperature
present_camera_fpga_avg_temperature present_invalid_camera_fpga_temperature present_camera_lens_max_temperature
present_camera_lens_min_temperature present_camera_lens_avg_temperature present_invalid_camera_lens_temperature
present_psb_max_temperature present_psb_min_temperature present_psb_avg_temperature present_internal_max_humidity
present_internal_min_humidity present_internal_avg_humidity present_internal_max_pressure present_internal_min_pressure
present_internal_avg_pressure historical_total_runtime historical_average_runtime historical_session_count
historical_height_motor_warnings historical_tilt_motor_warnings historical_pan_motor_warnings
historical_high_temperature_warnings historical_high_pressure_warnings historical_high_humidity_warnings
historical_up_max_temperature historical_up_min_temperature historical_up_avg_temperature
historical_camera_cpu_max_temperature historical_camera_cpu_min_temperature historical_camera_cpu_avg_temperature
historical_invalid_camera_cpu_temperature historical_camera_fpga_max_temperature
historical_camera_fpga_min_temperature historical_camera_fpga_avg_temperature historical_invalid_camera_fpga_temperature
historical_camera_lens_max_temperature historical_camera_lens_min_temperature historical_camera_lens_avg_temperature
historical_invalid_camera_lens_temperature historical_psb_max_temperature historical_psb_min_temperature
historical_psb_avg_temperature historical_internal_max_humidity historical_internal_min_humidity
historical_internal_avg_humidity historical_internal_max_pressure historical_internal_min_pressure
historical_internal_avg_pressure)";

using entry_list = std::vector<std::pair<std::string, std::string>>;

entry_list entries(json_object *object)
{
    entry_list all;
    json_object_object_foreach(object, key, value) all.emplace_back(key, json_object_get_string(value));
    return all;
}

std::map<std::string, std::string> texts(json_object *object)
{
    auto all = entries(object);
    return {all.begin(), all.end()};
}

const vx4_logger_callbacks supervisor = {
    [](char *b, size_t n) { snprintf(b, n, "VX4 Advanced"); }, [](char *b, size_t n) { snprintf(b, n, "SN-0042"); },
    [](char *b, size_t n) { snprintf(b, n, "01.07"); },        [](char *b, size_t n) { snprintf(b, n, "0A1B"); },
    [](char *b, size_t n) { snprintf(b, n, "14.2 V"); },       [] { return true; },
};

// A copy or delete request: the body's "files" and the body, which the logger takes over.
int hand(int (*to)(json_object *, json_object *), const std::string &body)
{
    json_object *owner = json_tokener_parse(body.c_str()), *files = nullptr;
    json_object_object_get_ex(owner, "files", &files);
    return to(files, owner);
}
int copy(const std::string &body) { return hand(vx4_copy_logger_files, body); }
// An empty request is taken only by an idle worker (which is busy with it for a moment).
bool copier_idle() { return copy(R"({"files": []})") == 0; }

}  // namespace

TEST_F(LoggerTest, TheReadingsReportHasItsKeysInOrderWithUnits)
{
    start();  // no supervisor wired: its texts read as not known
    auto unknown = texts(JsonPtr(vx4_get_logger_current_readings()).get());
    EXPECT_EQ(std::vector({unknown["present_model"], unknown["present_serial_number"], unknown["present_firmware_version"],
                           unknown["present_camera_version"], unknown["present_battery_voltage"]}),
              std::vector<std::string>({"unknown", "unknown", "00.00", "", "? V"}));

    root.write(log_file(0), R"({"current_id":1,"total_runtime":600,"session_count":4,"psb_max_temperature":61.25,)"
                            R"("values_valid":1})");
    start(&supervisor);
    for (double sample : {20.0, 30.0})
        vx4_report_logger_up_temperature(sample);
    vx4_report_logger_internal_humidity(40.4);
    vx4_report_logger_internal_pressure(1013.6);
    vx4_report_logger_invalid_camera_fpga_temperature();
    vx4_report_logger_high_pressure_warning();
    auto before = texts(JsonPtr(vx4_get_logger_current_readings()).get());
    vx4_roll_up_logger();
    JsonPtr report(vx4_get_logger_current_readings());
    std::istringstream expected_keys(report_keys);
    for (const auto &[key, text] : entries(report.get())) {
        std::string expected;
        expected_keys >> expected;
        EXPECT_EQ(key, expected);
    }
    EXPECT_TRUE(expected_keys.eof()) << "fewer than 72 keys";

    auto t = texts(report.get());
    const std::map<std::string, std::string> expected = {
        {"present_model", "VX4 Advanced"}, {"present_serial_number", "SN-0042"}, {"present_software_version", "03.01"},
        {"present_firmware_version", "01.07"}, {"present_camera_version", "0A1B"}, {"present_battery_voltage", "14.2 V"},
        {"present_runtime", "1 MIN"}, {"present_up_max_temperature", "30.0 \u00B0C"},
        {"present_up_min_temperature", "20.0 \u00B0C"}, {"present_up_avg_temperature", "25.0 \u00B0C"},
        {"present_internal_avg_humidity", "40 %"}, {"present_internal_max_pressure", "1014 mb"},
        {"present_invalid_camera_fpga_temperature", "1"}, {"present_high_pressure_warnings", "1"},
        {"historical_total_runtime", "600 MIN"}, {"historical_average_runtime", "150 MIN"},
        {"historical_session_count", "4"}, {"historical_psb_max_temperature", "61.2 \u00B0C"},
        {"historical_invalid_camera_fpga_temperature", "1"}, {"historical_up_avg_temperature", "25.0 \u00B0C"}};
    for (const auto &[key, text] : expected)
        EXPECT_EQ(t[key], text) << key;
    EXPECT_TRUE(std::regex_match(t["present_date"], std::regex(R"(\d{4}-\d{2}-\d{2})"))) << t["present_date"];
    EXPECT_TRUE(std::regex_match(t["present_time"], std::regex(R"(\d{2}:\d{2}:\d{2})"))) << t["present_time"];
    // Before the first minute: nothing folded yet.
    EXPECT_EQ(std::vector({before["present_runtime"], before["present_up_avg_temperature"],
                           before["present_internal_avg_humidity"], before["present_internal_avg_pressure"]}),
              std::vector<std::string>({"0 MIN", "0.0 \u00B0C", "0 %", "0 mb"}));
}

TEST_F(LoggerTest, ReportFilesCreatedWithinASecondGetNamesASecondApart)
{
    start(&supervisor);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(vx4_create_logger_file(), 0);
    JsonPtr list(vx4_get_logger_files());
    std::set<std::string> names;
    for (size_t i = 0; i < json_object_array_length(list.get()); ++i)
        names.insert(texts(json_object_array_get_idx(list.get(), i))["name"]);
    std::vector<time_t> times;
    for (const std::string &name : names) {
        struct tm t{};
        ASSERT_TRUE(strptime(name.c_str(), "log_%Y-%m-%d-%H-%M-%S.json", &t)) << name;
        t.tm_isdst = -1;
        times.push_back(mktime(&t));
    }
    ASSERT_EQ(times.size(), 3u);
    EXPECT_EQ(std::vector({times[1] - times[0], times[2] - times[1]}), std::vector<time_t>({1, 1}));

    std::string raw = root.read("/media/usb99/ApiLogs/" + *names.begin());
    EXPECT_EQ(raw.rfind(R"({"present_model":"VX4 Advanced","present_serial_number":)", 0), 0u) << raw;
    JsonPtr content(vx4_get_logger_file_readings(names.begin()->c_str()));
    EXPECT_EQ(texts(content.get())["present_battery_voltage"], "14.2 V");
    EXPECT_EQ(json_object_object_length(JsonPtr(vx4_get_logger_file_readings("log_none.json")).get()), 0);
    root.write("/media/usb99/ApiLogs/log_broken.json", "{\"present_model\": ");
    EXPECT_EQ(vx4_get_logger_file_readings("log_broken.json"), nullptr);
}

TEST_F(LoggerTest, TheFileListShowsWhereEachFileIsAndHowFarItsCopyCame)
{
    start(&supervisor);
    for (auto [path, size] : std::map<std::string, size_t>{
             {"/media/usb99/ApiLogs/log_main.json", 10}, {"/media/usb99/ApiLogs/log_copied.json", 10},
             {"/media/usb-cpy/log_copied.json", 10}, {"/media/usb99/ApiLogs/log_half.json", 10},
             {"/media/usb-cpy/log_half.json", 5}, {"/media/usb99/ApiLogs/a.json", 3},
             {"/media/usb99/ApiLogs/.json", 3}, {"/media/usb99/ApiLogs/notes.txt", 3}, {"/media/usb99/outside.json", 7}})
        root.write(path, std::string(size, 'x'));
    root.make_dir("/media/usb99/ApiLogs/folder.json");
    symlink(root.at("/media/usb99/outside.json").c_str(), root.at("/media/usb99/ApiLogs/link.json").c_str());

    JsonPtr list(vx4_get_logger_files());
    std::map<std::string, entry_list> by_name;
    for (size_t i = 0; i < json_object_array_length(list.get()); ++i) {
        auto item = entries(json_object_array_get_idx(list.get(), i));
        by_name[item.at(1).second] = item;
    }
    auto entry = [](const char *name, const char *store, const char *size, const char *percent) {
        return std::pair(name, entry_list{{"path", "/ApiLogs"}, {"name", name}, {"data_store", store}, {"size", size},
                                          {"percent_copied", percent}});
    };
    EXPECT_EQ(by_name, (std::map<std::string, entry_list>{entry("log_main.json", "Main USB", "10", ""),
                                                          entry("log_copied.json", "External USB", "10", "100.0 %"),
                                                          entry("log_half.json", "Main USB", "10", "50.0 %"),
                                                          entry("a.json", "Main USB", "3", "")}));
}

TEST_F(LoggerTest, ClientFileNamesStayInsideTheirStore)
{
    start(&supervisor);
    root.write("/media/usb99/victim.json", R"({"secret": "1"})");
    root.write("/media/usb99/ApiLogs/log_a.json", "{}");
    symlink(root.at("/media/usb99/victim.json").c_str(), root.at("/media/usb99/ApiLogs/log_link.json").c_str());
    for (const char *name : {"", "/", ".", "..", "../victim.json", "sub/log_a.json", "/media/usb99/victim.json"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(vx4_is_logger_file_name(name));
        std::string body = std::string(R"({"files": [{"name": "log_a.json"}, {"name": ")") + name + "\"}]}";
        EXPECT_EQ(copy(body), -1);
        EXPECT_EQ(hand(vx4_delete_logger_files, body), -1);
        EXPECT_EQ(json_object_object_length(JsonPtr(vx4_get_logger_file_readings(name)).get()), 0);
    }
    for (const char *body : {R"({"files": [{"size": "2"}]})", R"({"files": "log_a.json"})", "{}"})
        EXPECT_EQ(copy(body), -1) << body;
    EXPECT_EQ(vx4_get_logger_file_readings("log_link.json"), nullptr);  // a link is not followed
    EXPECT_TRUE(root.exists("/media/usb99/victim.json"));
    EXPECT_TRUE(root.exists("/media/usb99/ApiLogs/log_a.json"));
    EXPECT_FALSE(root.exists("/media/usb-cpy/log_a.json"));
}

TEST_F(LoggerTest, CopiesAndDeletesRunOneRequestAtATime)
{
    start(&supervisor);
    for (const char *name : {"log_a.json", "log_b.json", "log_c.json"})
        root.write(std::string("/media/usb99/ApiLogs/") + name, name);
    root.write("/media/usb-cpy/log_b.json", "older");
    ASSERT_EQ(copy(R"({"files": [{"name": "log_a.json"}, "log_b.json", {"name": "log_gone.json"}]})"), 0);
    ASSERT_TRUE(wait_until(copier_idle));
    EXPECT_EQ(root.read("/media/usb-cpy/log_a.json"), "log_a.json");
    EXPECT_EQ(root.read("/media/usb-cpy/log_b.json"), "older");  // never overwritten

    // A long copy: a second request is answered at once, not queued.
    std::string big(32 << 20, 'x');
    root.write("/media/usb99/ApiLogs/log_big.json", big);
    ASSERT_TRUE(wait_until([] { return copy(R"({"files": ["log_big.json"]})") == 0; }));
    EXPECT_EQ(copy(R"({"files": ["log_c.json"]})"), 1);
    ASSERT_TRUE(wait_until(copier_idle, 20000ms));
    EXPECT_EQ(root.read("/media/usb-cpy/log_big.json").size(), big.size());

    // A copy that cannot be flushed to the stick is not left there half done.
    set_fsync_hook([](const std::string &path) { return path.find("/media/usb-cpy/") != std::string::npos ? -1 : 0; });
    ASSERT_TRUE(wait_until([] { return copy(R"({"files": ["log_c.json"]})") == 0; }));
    ASSERT_TRUE(wait_until(copier_idle));
    EXPECT_FALSE(root.exists("/media/usb-cpy/log_c.json"));

    ASSERT_EQ(hand(vx4_delete_logger_files, R"({"files": [{"name": "log_a.json"}, {"name": "log_gone.json"}]})"), 0);
    ASSERT_TRUE(wait_until([] { return hand(vx4_delete_logger_files, R"({"files": []})") == 0; }));
    EXPECT_FALSE(root.exists("/media/usb99/ApiLogs/log_a.json"));
    EXPECT_TRUE(root.exists("/media/usb99/ApiLogs/log_b.json"));
    EXPECT_TRUE(root.exists("/media/usb-cpy/log_a.json"));
}
