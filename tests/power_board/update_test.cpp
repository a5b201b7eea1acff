// The power board firmware update against vx4-sim's board and a stub
// programming tool on the sandbox stick, with its waits shortened a
// hundredfold. The status texts are followed through the trace.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <regex>

#include "board_fixture.h"
#include "hex_records.h"

using namespace vx4test;

namespace {

std::atomic<int> updates_done{0};

class BoardUpdate : public BoardTest {
protected:
    void SetUp() override
    {
        start();
        board.update_time_scale = 0.01;
        refresh();  // status bit 0: an update is possible
        image("firmware_update_1.4.hex", hex_image(100 * 1024));
    }

    void image(const std::string &name, const std::string &text) const { root.write("/media/usb-cpy/" + name, text); }

    // The programming tool: records its arguments, then runs body.
    void tool(const std::string &body) const
    {
        root.write("/media/usb-cpy/bin/STM32_Programmer.sh",
                   "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$VX4_ROOT/tool_args\"\n" + body + "\n");
        chmod(root.at("/media/usb-cpy/bin/STM32_Programmer.sh").c_str(), 0755);
    }

    // The tool that writes the image into the board's bootloader as the real one would.
    std::string flashing_tool() const
    {
        return "printf '\\033[1;32mErasing memory corresponding to segment 0:\\033[0m\\n'\n"
               "echo 'Erasing internal memory sectors [0 49]'\n"
               "curl -sf -o /dev/null -d \"{\\\"image\\\": \\\"$4\\\"}\" http://127.0.0.1:" +
               std::to_string(sim->control_port()) +
               "/board/bootloader/flash || { echo 'Error: failed to write memory'; exit 1; }\n"
               "echo 'Download in Progress:'\necho '[==========] 100%'\necho 'File download complete'\n"
               "echo 'Time elapsed during download operation: 00:00:00.800'";
    }

    // Runs one update to its end: the status texts it showed, "progress|stage|detail".
    std::vector<std::string> update(bool through_trigger = true)
    {
        int before = updates_done;
        size_t shown = statuses().size();
        if (through_trigger) {
            EXPECT_EQ(vx4_power_board_trigger_firmware_update(&board, [] { ++updates_done; }), 1);
        } else {
            auto *record = static_cast<vx4_power_board_record *>(calloc(1, sizeof(vx4_power_board_record)));
            record->type = VX4_PB_RECORD_UPDATE;
            record->done = [] { ++updates_done; };
            vx4_power_board_queue_record(&board, record);
        }
        EXPECT_TRUE(run_until([&] { return updates_done > before; }, 15000ms));
        EXPECT_EQ(board.update_active, 0);
        std::vector<std::string> all = statuses();
        return {all.begin() + static_cast<long>(std::min(shown, all.size())), all.end()};
    }

    std::vector<std::string> statuses() const
    {
        static const std::regex status(R"(^PWRB: update status '([^']*)' '([^']*)' '([^']*)'$)");
        std::vector<std::string> found;
        std::smatch match;
        for (const std::string &line : trace_lines(root))
            if (std::regex_match(line, match, status))
                found.push_back(match[1].str() + "|" + match[2].str() + "|" + match[3].str());
        return found;
    }

    // Changes of the reset (13) and boot-select (15) lines, "13=1" and so on.
    std::vector<std::string> boot_lines()
    {
        JsonPtr state = sim->get("/board");
        std::vector<std::string> lines;
        json_object *changes = json_at(state.get(), "bootloader.lines");
        for (size_t i = 0; i < json_object_array_length(changes); ++i) {
            json_object *change = json_object_array_get_idx(changes, i);
            lines.push_back(std::to_string(json_object_get_int(json_at(change, "line"))) + "=" +
                            std::to_string(json_object_get_int(json_at(change, "value"))));
        }
        return lines;
    }
};

std::vector<std::string> countdown(const std::string &stage, const std::string &word, int from)
{
    std::vector<std::string> texts;
    for (int left = from; left > 0; --left)
        texts.push_back(stage + "|" + word + " (" + std::to_string(left) + ")");
    return texts;
}

TEST_F(BoardUpdate, ImageIsProgrammedInTheBootloaderAndTheBoardRestartedNormally)
{
    tool(flashing_tool());
    vx4_power_board_enable_camera_power(&board);
    settle();
    refresh();
    std::vector<std::string> before = boot_lines();  // the lines set low when the bus opened

    std::vector<std::string> shown = update();

    std::vector<std::string> expected = {
        "1 of 98|setting|boot mode", "2 of 98|setting|boot mode", "3 of 98|setting|boot mode",
        "4 of 98|invoking|programmer", "5 of 98|erasing|step 1", "6 of 98|erasing|step 2",
        "7 of 98|programming|step 1", "8 of 98|programming|step 1", "9 of 98|process|success",
        "10 of 98|process|success"};
    for (int left = 5; left > 0; --left)
        expected.push_back("10 of 98|update|success (" + std::to_string(left) + ")");
    for (const char *text : {"programmer|done", "resetting|3", "resetting|2", "resetting|1", "reset|high",
                             "reset|normal", "reset|low", "program|complete"})
        expected.push_back(std::string("10 of 98|") + text);
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(traced("PWRB: process 'Erasing memory corresponding to segment 0:'"), 1);  // colours removed

    // Reset held, boot select raised, reset released into the bootloader;
    // then reset held, boot select lowered, reset released into the firmware.
    std::vector<std::string> lines = boot_lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(before.size()));
    EXPECT_EQ(lines, (std::vector<std::string>{"13=1", "15=1", "13=0", "13=1", "15=0", "13=0"}));
    JsonPtr state = sim->get("/board");
    EXPECT_EQ(json_object_get_int(json_at(state.get(), "bootloader.entries")), 1);
    EXPECT_EQ(json_object_get_int(json_at(state.get(), "bootloader.flashes")), 1);
    EXPECT_EQ(json_object_get_int(json_at(state.get(), "bootloader.unanswered")), 0);  // nothing sent meanwhile
    // The tool got the image's path as one argument.
    EXPECT_EQ(root.read("/tool_args"), "-c\nport=usb1\n-w\n" + root.at("/media/usb-cpy/firmware_update_1.4.hex") + "\n");
    // The board forgot its rails in the reset; they come back as they were.
    ASSERT_TRUE(run_until([&] { return json_object_get_boolean(json_at(sim->get("/board").get(), "rails.camera")); }));
}

TEST_F(BoardUpdate, ToolOutputDecidesTheOutcome)
{
    struct Case {
        const char *tool;  // nullptr: no tool on the stick
        std::vector<std::string> countdown;
        const char *last;
    };
    const std::vector<Case> cases = {
        {"echo 'File download complete'; echo 'Error: failed to verify'", countdown("update", "success", 5),
         "program|complete"},
        {"echo 'Error: failed to erase memory'", countdown("update", "failure", 10), "program|failed"},
        {"exit 0", countdown("update", "unknown", 10), "program|failed"},
        {nullptr, countdown("process", "failure", 10), "program|failed"},
        {"echo 'Erasing'; exec sleep 30", countdown("update", "failure", 10), "program|failed"},  // hangs
    };
    for (const Case &c : cases) {
        if (c.tool)
            tool(c.tool);
        else
            root.remove("/media/usb-cpy/bin/STM32_Programmer.sh");
        std::vector<std::string> shown = update();
        std::vector<std::string> details;
        for (const std::string &text : shown)
            details.push_back(text.substr(text.find('|') + 1));
        auto at = std::search(details.begin(), details.end(), c.countdown.begin(), c.countdown.end());
        EXPECT_NE(at, details.end()) << (c.tool ? c.tool : "no tool");
        EXPECT_EQ(details.back(), c.last) << (c.tool ? c.tool : "no tool");
    }
}

TEST_F(BoardUpdate, MissingOrDamagedImageNeverTouchesTheBoard)
{
    tool(flashing_tool());
    std::vector<std::string> lines = boot_lines();
    std::string line = hex_record(0, 0, {1, 2, 3, 4});
    std::string bad_sum = line.substr(0, line.size() - 2) + (line.substr(line.size() - 2) == "00" ? "01" : "00");
    const std::string start = hex_record(4, 0, {0x08, 0x00}) + "\n";
    const std::string end = hex_record(1, 0, {}) + "\n";
    const std::vector<std::pair<std::string, const char *>> cases = {
        {start + bad_sum + "\n" + end, "checksum"},
        {hex_record(4, 0, {0x08, 0x08}) + "\n" + line + "\n" + end, "address"},
        {start + line.substr(0, 12) + "\n" + end, "truncated"},
        {start + end, "no data"},
    };
    for (const auto &[text, word] : cases) {
        image("firmware_update_1.4.hex", text);
        std::vector<std::string> shown = update();
        for (std::string &each : shown)
            each = each.substr(each.find('|') + 1);
        EXPECT_EQ(shown, countdown("rejected", word, 10));
    }
    root.remove("/media/usb-cpy/firmware_update_1.4.hex");
    EXPECT_EQ(vx4_power_board_trigger_firmware_update(&board, nullptr), 0);
    std::vector<std::string> shown = update(false);  // the image went away after the trigger
    EXPECT_EQ(shown.size(), 10u);
    EXPECT_EQ(shown.front(), "0 of 0|file|missing (10)");
    EXPECT_EQ(shown.back(), "0 of 0|file|missing (1)");
    EXPECT_EQ(boot_lines(), lines);
    EXPECT_FALSE(root.exists("/tool_args"));
    EXPECT_TRUE(writes().empty());  // not even the rails were written
}

TEST_F(BoardUpdate, NewestImageIsOfferedWhileTheBoardCanBeUpdated)
{
    image("firmware_update_1.10.hex", hex_image(16));
    image("firmware_update_1.2.hex", hex_image(16));
    root.make_dir("/media/usb-cpy/firmware_update_9.hex");  // not a regular file
    symlink(root.at("/media/usb-cpy/firmware_update_1.4.hex").c_str(),
            root.at("/media/usb-cpy/firmware_update_8.hex").c_str());
    char path[64], version[8];
    EXPECT_EQ(vx4_power_board_get_update_available(&board, path, sizeof path), 1);
    EXPECT_STREQ(path, "/media/usb-cpy/firmware_update_1.4.hex");
    vx4_power_board_load_update_version(&board, version, sizeof version);
    EXPECT_STREQ(version, "1.4");

    set(R"({"pb_status": 0})");  // a board that answers without status bit 0
    refresh();
    EXPECT_EQ(vx4_power_board_get_update_available(&board, path, sizeof path), 0);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(vx4_power_board_trigger_firmware_update(&board, nullptr), 0);
    sim->post("/board/faults", R"({"zero_frames": true})");  // one that does not answer at all
    refresh();
    EXPECT_EQ(vx4_power_board_get_update_available(&board, nullptr, 0), 1);
}

TEST_F(BoardUpdate, ImageNamedWithShellCharactersReachesTheToolAsItIs)
{
    root.remove("/media/usb-cpy/firmware_update_1.4.hex");
    const std::string name = "firmware_update_1.5;touch pwned;$(touch pwned2).hex";
    image(name, hex_image(64));
    tool(flashing_tool());
    std::vector<std::string> shown = update();
    EXPECT_EQ(shown.back(), "10 of 49|program|complete");
    EXPECT_EQ(split_lines(root.read("/tool_args")).back(), root.at("/media/usb-cpy/" + name));
    EXPECT_NE(access("pwned", F_OK), 0);
    EXPECT_NE(access("pwned2", F_OK), 0);
}

}  // namespace
