// The recorder in this process, recording vx4-sim's stream with the real
// ffmpeg in a sandbox root.
#include "recorder/recorder.h"

#include <dirent.h>

#include <regex>

#include "core/settings.h"
#include "core/trace.h"
#include "platform.h"
#include "recorder/recorder_texts.h"
#include "recorder_fixture.h"

using namespace vx4test;

namespace {

const std::string work = "/home/vx4/ApiVideos/";
const std::string store = "/media/usb99/ApiVideos/";

std::atomic<int> osd_activity{-1};
void show_activity(int active) { osd_activity = active; }

std::string start_time_text(time_t seconds)
{
    char text[32];
    struct tm t;
    localtime_r(&seconds, &t);
    strftime(text, sizeof text, "%Y-%m-%d-%H-%M-%S", &t);
    return text;
}

// Children of this process that ended and were never collected.
int zombie_children()
{
    int zombies = 0;
    for (const std::string &pid : files_in("/proc", "")) {
        std::string stat = read_file("/proc/" + pid + "/stat");
        size_t close = stat.rfind(')');
        char state;
        int parent;
        if (close != std::string::npos && sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 &&
            parent == getpid() && state == 'Z')
            ++zombies;
    }
    return zombies;
}

class Recorder : public ::testing::Test {
protected:
    void SetUp() override
    {
        install_recorder_tools(root);
        root.write("/media/usb99/trace_mask", "0x00000200");
        root.write("/config/system.json", R"({"model_name": "VX4 Advanced", "serial_number": "SN-7"})");
    }

    // vx4-sim's camera stream (when asked), then the recorder.
    void create(bool camera = true)
    {
        if (camera) {
            int port = free_tcp_port();
            sim = std::make_unique<SimHead>(
                root, std::vector<std::string>{"--rtsp-port=" + std::to_string(port), "--stream-size=192x108",
                                               "--stream-fps=15"});
            setenv("VX4_CAMERA_RTSP_PORT", std::to_string(port).c_str(), 1);
            // The simulator's first viewer waits for its encoder to come up;
            // a loaded machine must not make that the recording's start.
            run_tool(root, {"ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries", "stream=codec_name",
                            "rtsp://127.0.0.1:" + std::to_string(port) + "/x4-1.mp4"});
        }
        root.enter();
        init_trace();
        vx4_init_nv();
        vx4_recorder_hooks hooks{show_activity, nullptr};
        ASSERT_EQ(vx4_create_recorder(&hooks), 0);
        ASSERT_TRUE(wait_until(idle, 20000ms));
    }

    static bool idle() { return vx4_get_recorder_post_processing() == 0 && !vx4_get_recorder_recording(); }

    // Starts a recording and waits (as a present controller) for the stream
    // to arrive in its file.
    void start_recording()
    {
        ASSERT_EQ(vx4_start_recorder(), 0);
        ASSERT_TRUE(wait_until([this] {
            vx4_service_recorder_watchdog();
            return file_size(emmc_recording()) > 8000;  // a fragment or more
        }, 15000ms)) << trace();
    }

    void stop_and_finish()
    {
        ASSERT_EQ(vx4_stop_recorder(), 0);
        ASSERT_TRUE(wait_until(idle, 20000ms));
    }

    std::string emmc_recording() const
    {
        auto names = files_in(root.at(work), ".mp4");
        return names.empty() ? "" : root.at(work + names[0]);
    }

    // The only record in the store.
    JsonPtr record() const
    {
        auto names = files_in(root.at(store), ".json");
        return names.size() == 1 ? parse_json(root.read(store + names[0])) : nullptr;
    }

    std::string record_text(const char *key) const
    {
        JsonPtr r = record();
        json_object *value = r ? json_at(r.get(), key) : nullptr;
        return value ? json_object_get_string(value) : "<absent>";
    }

    void set_free_kb(const std::string &folder, long kb) const { root.write("/sandbox/free_kb" + folder, std::to_string(kb)); }

    std::string trace() const { return root.read("/media/usb99/trace"); }
    bool traced(const std::string &text) const { return vx4test::traced(root, "RCDR: " + text) > 0; }

    SandboxRoot root;
    std::unique_ptr<SimHead> sim;
};

TEST_F(Recorder, OperationsFollowTheStateAFailedStartLeavesNothingAndStoppedOrEndedRecordingsPlay)
{
    create();
    for (auto operation : {vx4_stop_recorder, vx4_pause_recorder, vx4_resume_recorder, vx4_save_recorder_image,
                           vx4_remove_recorder_image})
        EXPECT_EQ(operation(), -1);
    // Without ffmpeg the start fails and leaves nothing behind that a later
    // start or the next run would take for a recording.
    ASSERT_EQ(rename(root.at("/bin/ffmpeg").c_str(), root.at("/bin/ffmpeg.away").c_str()), 0);
    EXPECT_EQ(vx4_start_recorder(), -1);
    EXPECT_FALSE(root.exists(work + "guid"));
    EXPECT_TRUE(files_in(root.at(store), ".json").empty());
    ASSERT_EQ(rename(root.at("/bin/ffmpeg.away").c_str(), root.at("/bin/ffmpeg").c_str()), 0);

    start_recording();
    EXPECT_TRUE(wait_until([] { return osd_activity == 1; }));
    EXPECT_EQ(vx4_start_recorder(), -1);
    EXPECT_EQ(vx4_resume_recorder(), -1);
    ASSERT_EQ(vx4_pause_recorder(), 0);
    EXPECT_EQ(vx4_get_recorder_paused(), 1);
    for (auto operation : {vx4_pause_recorder, vx4_save_recorder_image, vx4_remove_recorder_image, vx4_start_recorder})
        EXPECT_EQ(operation(), -1);

    ASSERT_EQ(vx4_stop_recorder(), 0);
    EXPECT_EQ(vx4_start_recorder(), -1);  // post-processing has begun
    ASSERT_TRUE(wait_until(idle, 20000ms)) << trace();
    EXPECT_EQ(osd_activity, 0);
    EXPECT_EQ(zombie_children(), 0);
    EXPECT_FALSE(root.exists(work + "guid"));
    EXPECT_EQ(emmc_recording(), "");
    auto mp4 = files_in(root.at(store), ".mp4");
    ASSERT_EQ(mp4.size(), 1u);
    EXPECT_GT(duration_of(root, root.at(store + mp4[0])), 0.2);
    EXPECT_TRUE(std::regex_match(record_text("duration"), std::regex(R"(\d+:\d\d:\d\d)")));

    // The camera's stream goes away: the recording ends, and what it holds
    // is kept. Both recordings play.
    start_recording();
    sim->post("/streams/stop");
    ASSERT_TRUE(wait_until(idle, 20000ms)) << trace();
    EXPECT_TRUE(traced("stop 4"));
    mp4 = files_in(root.at(store), ".mp4");
    ASSERT_EQ(mp4.size(), 2u);
    for (const std::string &name : mp4)
        EXPECT_EQ(decode_errors(root, root.at(store + name)), "") << name;
}

TEST_F(Recorder, StartsOnlyWithRoomAndStopsWhenRoomRunsOut)
{
    create();
    struct Case {
        long emmc_kb, usb_kb;
        int result;
    };
    for (Case c : {Case{79999, 100000, -1}, Case{80000, 99999, -1}, Case{80000, 100000, 0}}) {
        set_free_kb("/home/vx4/ApiVideos", c.emmc_kb);
        set_free_kb("/media/usb99/ApiVideos", c.usb_kb);
        EXPECT_EQ(vx4_start_recorder(), c.result) << c.emmc_kb << " " << c.usb_kb;
    }
    ASSERT_EQ(vx4_get_recorder_recording(), 1);
    // The stick's room less the recording's size below 30000 kB.
    set_free_kb("/media/usb99/ApiVideos", 30000);
    ASSERT_TRUE(wait_until(idle, 20000ms));
    EXPECT_TRUE(traced("stop 3"));
    EXPECT_LT(vx4_get_recorder_usb_kb(), 100000);

    set_free_kb("/media/usb99/ApiVideos", 100000);
    start_recording();
    set_free_kb("/home/vx4/ApiVideos", 9999);
    ASSERT_TRUE(wait_until(idle, 20000ms));
    EXPECT_EQ(files_in(root.at(store), ".mp4").size(), 2u);
    EXPECT_EQ(vx4_get_recorder_emmc_kb(), 9999);
}

TEST_F(Recorder, WatchdogEndsARecordingNobodyServices)
{
    root.write("/sandbox/recorder_watchdog_ms", "1500");
    create();
    start_recording();
    auto until = std::chrono::steady_clock::now() + 2500ms;
    while (std::chrono::steady_clock::now() < until) {
        vx4_service_recorder_watchdog();
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(vx4_get_recorder_recording(), 1);
    auto last_service = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([] { return !vx4_get_recorder_recording(); }, 5000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - last_service, 1300ms);
    EXPECT_TRUE(traced("stop 2"));
    ASSERT_TRUE(wait_until(idle, 20000ms));
}

TEST_F(Recorder, MarksBecomeStillImagesWithTheirNotes)
{
    create();
    EXPECT_EQ(vx4_set_recorder_save_delay(5001), -1);
    EXPECT_EQ(vx4_get_recorder_save_delay(), 1000u);
    EXPECT_EQ(vx4_set_recorder_save_delay(5000), 0);
    EXPECT_EQ(vx4_set_recorder_save_delay(1000), 0);
    ASSERT_EQ(vx4_set_recorder_video_note("for the next video"), 0);
    struct timeval before_start;
    vx4_gettimeofday(&before_start);
    start_recording();
    EXPECT_EQ(record_text("note"), "for the next video");
    EXPECT_FALSE(root.exists("/tmp/video_note"));
    EXPECT_EQ(vx4_remove_recorder_image(), -1);  // nothing marked yet

    // 12.5 s on (the clock of a sandbox moves for this process only): the
    // mark lies 12.5 s + the save delay + the time the stream took to come
    // after the start.
    struct timeval now;
    vx4_gettimeofday(&now);
    now.tv_sec += 12;
    now.tv_usec += 500000;
    vx4_settimeofday(&now);
    root.write("/tmp/image_note", "first note\nsecond line");
    ASSERT_EQ(vx4_save_recorder_image(), 0);
    std::string first = root.read(work + "save_times");
    int h, m, sec, ms;
    ASSERT_EQ(sscanf(first.c_str(), "%d:%d:%d.%d\n", &h, &m, &sec, &ms), 4) << first;
    long long marked_ms = ((h * 60LL + m) * 60 + sec) * 1000 + ms;
    long long latest_ms = (now.tv_sec - before_start.tv_sec) * 1000LL + (now.tv_usec - before_start.tv_usec) / 1000 + 1000;
    EXPECT_LE(marked_ms, latest_ms + 1);
    EXPECT_GE(marked_ms, latest_ms - 300) << first;
    EXPECT_FALSE(root.exists("/tmp/image_note"));
    ASSERT_EQ(vx4_save_recorder_image(), 0);
    ASSERT_EQ(vx4_set_recorder_image_note("replaced"), 0);
    EXPECT_EQ(root.read(work + "image_notes"), "first note\nreplaced\n");
    vx4_media_metadata metadata;
    vx4_load_recorder_image_metadata(&metadata);
    EXPECT_STREQ(metadata.note, "replaced");
    EXPECT_STREQ(metadata.camera_model, "VX4 Advanced");
    ASSERT_EQ(vx4_remove_recorder_image(), 0);
    EXPECT_EQ(root.read(work + "save_times"), first);
    EXPECT_EQ(root.read(work + "image_notes"), "first note\n");
    ASSERT_EQ(vx4_save_recorder_image(), 0);  // without a note: an empty line
    EXPECT_EQ(root.read(work + "image_notes"), "first note\n\n");
    ASSERT_EQ(vx4_remove_recorder_image(), 0);
    EXPECT_EQ(root.read(work + "image_notes"), "first note\n");
    ASSERT_EQ(vx4_remove_recorder_image(), 0);  // the only mark
    EXPECT_EQ(root.read(work + "save_times"), "");
    EXPECT_EQ(root.read(work + "image_notes"), "");
    // The same moment marked twice gives one image.
    root.write(work + "save_times", first + first);
    root.write(work + "image_notes", "first note\nsame moment\n");

    ASSERT_EQ(vx4_set_recorder_video_note("video note"), 0);
    vx4_load_recorder_video_metadata(&metadata);
    EXPECT_STREQ(metadata.note, "video note");
    EXPECT_EQ(std::string(metadata.date) + "-" + metadata.time, record_text("start_time"));
    now.tv_sec -= 12;
    now.tv_usec -= 500000;
    vx4_settimeofday(&now);
    stop_and_finish();

    // A mark past the end (12.5 s into a short recording) gets its last second.
    auto images = files_in(root.at(store), ".jpg");
    ASSERT_EQ(images.size(), 1u) << trace();
    EXPECT_NE(images[0].find(first.substr(0, 8).replace(2, 1, "-").replace(5, 1, "-")), std::string::npos);
    ASSERT_EQ(vx4_load_recorder_file_metadata(images[0].c_str(), &metadata), 0);
    EXPECT_STREQ(metadata.note, "first note");
    auto mp4 = files_in(root.at(store), ".mp4");
    ASSERT_EQ(mp4.size(), 1u);
    ASSERT_EQ(vx4_load_recorder_file_metadata(mp4[0].c_str(), &metadata), 0);
    EXPECT_STREQ(metadata.note, "video note");
    EXPECT_STREQ(metadata.serial_number, "SN-7");
    ASSERT_EQ(vx4_set_recorder_file_note(mp4[0].c_str(), "after the job"), 0);
    ASSERT_EQ(vx4_load_recorder_file_metadata(mp4[0].c_str(), &metadata), 0);
    EXPECT_STREQ(metadata.note, "after the job");
    JsonPtr r = record();
    EXPECT_EQ(json_object_array_length(json_at(r.get(), "files")), 2u);
    std::string vtt = root.read(store + mp4[0].substr(0, mp4[0].size() - 4) + ".vtt");
    EXPECT_TRUE(std::regex_match(vtt, std::regex("WEBVTT\n\n00:00:00\\.000 --> \\d\\d:\\d\\d:\\d\\d\\.000\n.*\n"))) << vtt;
}

TEST_F(Recorder, ClientTextsNeverReachAShellAndTakenNamesMoveTheStartOn)
{
    create();
    vx4_set_recorder_filename("$(touch pwned);`touch pwned2`|'q' %d/x");
    const std::string name = "$(touch pwned);`touch pwned2`|'q' %d_x";
    time_t now = vx4_time();
    std::vector<std::string> taken;
    for (int k = 0; k < 4; ++k) {
        taken.push_back(start_time_text(now + k));
        root.write(store + name + "_" + taken.back() + ".mp4", "earlier");
    }
    start_recording();
    std::string start_time = record_text("start_time");
    EXPECT_EQ(record_text("name"), name);
    EXPECT_EQ(std::find(taken.begin(), taken.end(), start_time), taken.end());
    EXPECT_GT(start_time, taken.front());
    EXPECT_TRUE(traced("start dup adjust 0"));
    ASSERT_EQ(vx4_save_recorder_image(), 0);
    stop_and_finish();

    EXPECT_TRUE(root.exists(store + name + "_" + start_time + ".mp4"));
    EXPECT_EQ(files_in(root.at(store), ".jpg").size(), 1u);
    for (const std::string &old : taken)
        EXPECT_EQ(root.read(store + name + "_" + old + ".mp4"), "earlier");
    for (const char *planted : {"pwned", "pwned2"}) {
        EXPECT_FALSE(root.exists(std::string("/") + planted));
        struct stat st;
        EXPECT_NE(stat(planted, &st), 0);
    }
}

class Recovery : public Recorder {
protected:
    const std::string id = "5f0c2a10-1a2b-11ef-8a00-0242ac120002";
    const std::string mp4 = "Job_2024-05-01-10-00-00.mp4";

    // What a power cut leaves: the guid, the record as the start wrote it, a
    // recording cut in the middle of a fragment, a mark.
    void leave_interrupted_recording()
    {
        root.write(work + "guid", id);
        root.write(store + id + ".json",
                   R"({"id":")" + id + R"(","name":"Job","asset_id":"Main St","start_time":"2024-05-01-10-00-00",)"
                   R"("duration":"","files":[],"note":"n"})");
        root.make_dir(work);
        make_mp4(root, root.at(work + mp4), 3, mp4_layout::fragmented);
        ASSERT_EQ(truncate(root.at(work + mp4).c_str(), file_size(root.at(work + mp4)) - 1500), 0);
        root.write(work + "save_times", "00:00:01.000\n");
        root.write(work + "image_notes", "\n");
    }
};

TEST_F(Recovery, StartFinishesAnInterruptedRecordingWithoutStills)
{
    leave_interrupted_recording();
    create(false);
    EXPECT_FALSE(root.exists(work + "guid"));
    EXPECT_FALSE(root.exists(work + mp4));
    EXPECT_EQ(decode_errors(root, root.at(store + mp4)), "");
    EXPECT_GT(duration_of(root, root.at(store + mp4)), 1.5);
    EXPECT_EQ(record_text("duration"), "0:00:02");
    EXPECT_EQ(json_object_array_length(json_at(record().get(), "files")), 1u);
    EXPECT_EQ(record_text("note"), "n");
    EXPECT_TRUE(files_in(root.at(store), ".jpg").empty());
    EXPECT_EQ(root.read(store + "Job_2024-05-01-10-00-00.vtt"), "WEBVTT\n\n00:00:00.000 --> 00:00:02.000\nMain St\n");
    vx4_media_metadata metadata;
    ASSERT_EQ(vx4_load_recorder_file_metadata(mp4.c_str(), &metadata), 0);
    EXPECT_STREQ(metadata.title, "Main St");
    EXPECT_STREQ(metadata.time, "10-00-00");
}

TEST_F(Recovery, AFailedCopyKeepsTheRecordingUntilTheNextStartCopiesIt)
{
    leave_interrupted_recording();
    root.make_dir(store + ".vx4-recording.tmp");  // the store refuses the copy
    create(false);
    EXPECT_NE(trace().find("RCDR: copy failed"), std::string::npos);
    EXPECT_TRUE(root.exists(work + "guid"));
    EXPECT_TRUE(root.exists(work + mp4));
    EXPECT_FALSE(root.exists(store + mp4));
    EXPECT_NE(record_text("error"), "<absent>");

    root.remove(store + ".vx4-recording.tmp");
    EXPECT_EQ(vx4_start_recorder(), -1);  // the unfinished recording goes first
    ASSERT_TRUE(wait_until([this] { return !root.exists(work + "guid") && idle(); }, 20000ms));
    EXPECT_FALSE(root.exists(work + mp4));
    EXPECT_EQ(decode_errors(root, root.at(store + mp4)), "");
    EXPECT_EQ(record_text("error"), "<absent>");
}

TEST_F(Recovery, ALostRecordIsRebuiltFromTheRecordingsName)
{
    leave_interrupted_recording();
    root.remove(store + id + ".json");
    create(false);
    EXPECT_EQ(decode_errors(root, root.at(store + mp4)), "");
    EXPECT_EQ(record_text("name"), "Job");
    EXPECT_EQ(record_text("start_time"), "2024-05-01-10-00-00");
    EXPECT_EQ(record_text("id"), id);
}

TEST(RecorderTexts, AreCutToTheirFields)
{
    SandboxRoot root;
    root.enter();
    vx4_init_nv();
    const std::string long_text(100, 't');
    char text[200];
    struct Field {
        void (*set)(const char *);
        void (*load)(char *, size_t);
        size_t kept;
    };
    for (auto [set, load, kept] : {Field{vx4_set_recorder_title, vx4_load_recorder_title, 80},
                                   Field{vx4_set_recorder_operator_id, vx4_load_recorder_operator_id, 80},
                                   Field{vx4_set_recorder_filename, vx4_load_recorder_filename, 80},
                                   Field{vx4_set_recorder_flow_direction, vx4_load_recorder_flow_direction, 31}}) {
        set(long_text.c_str());
        load(text, sizeof text);
        EXPECT_EQ(strlen(text), kept);
    }
}

}  // namespace
