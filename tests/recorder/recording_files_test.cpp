#include "recorder/recording_files.h"

#include <sys/resource.h>

#include "core/trace.h"
#include "platform.h"
#include "support.h"

using namespace vx4test;

namespace {

const std::string store = "/media/usb99/ApiVideos/";
const std::string stick = "/media/usb-cpy/";
const char *const id = "0d5e7a54-1a2b-11ef-8a00-0242ac120002";

std::atomic<int> stick_in{1};
int stick_mounted() { return stick_in; }

class RecordingFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.write("/media/usb99/trace_mask", "0x00000200");
        root.enter();
        init_trace();
        root.make_dir(store);
        vx4_start_recording_files(stick_mounted);
    }

    void write_record(const std::string &files, const std::string &record_id = id) const
    {
        root.write(store + record_id + ".json",
                   R"({"id":")" + record_id + R"(","name":"A","asset_id":"Job 9","start_time":"2024-05-01-10-00-00",)"
                   R"("duration":"0:00:12","files":[)" + files + R"(],"note":"kept"})");
    }

    JsonPtr list() const
    {
        json_object *files = vx4_get_recorder_files();
        return JsonPtr(files);
    }

    // Hands a request over and waits for the worker to finish it.
    int run(int (*request)(json_object *, json_object *), const std::string &body, const char *end)
    {
        long ends = traced(root, end);
        json_object *owner = json_tokener_parse(body.c_str());
        json_object *files = nullptr;
        json_object_object_get_ex(owner, "files", &files);
        int result = request(files, owner);
        if (result == 0) {
            EXPECT_TRUE(wait_until([&] { return traced(root, end) > ends; }));
        }
        return result;
    }

    SandboxRoot root;
};

std::string text_at(json_object *entry, const char *key)
{
    json_object *value = json_at(entry, key);
    return value ? json_object_get_string(value) : "<absent>";
}

TEST_F(RecordingFiles, ListsEveryFileWithWhereItLiesAndHowFarItsCopyCame)
{
    write_record(R"({"path":"/ApiVideos","name":"A.mp4"},{"path":"/ApiVideos","name":"A_1.jpg"},)"
                 R"({"path":"/ApiVideos","name":"A_2.jpg"},{"path":"/ApiVideos","name":"gone.jpg"},)"
                 R"({"path":"/ApiVideos","name":"../outside.jpg"})");
    root.write(store + "A.mp4", std::string(1000, 'v'));
    root.write(store + "A_1.jpg", std::string(400, 'j'));
    root.write(stick + "A_1.jpg", std::string(200, 'j'));  // copied half-way
    root.write(store + "A_2.jpg", std::string(300, 'j'));
    root.write(stick + "A_2.jpg", std::string(300, 'j'));  // copied
    root.write("/media/usb99/outside.jpg", "secret");
    root.write(store + "broken.json", R"({"id": "x", "files": [)");
    root.write(store + "x.json.tmp", "{}");

    JsonPtr files = list();
    ASSERT_EQ(json_object_array_length(files.get()), 5u);
    json_object *first = json_object_array_get_idx(files.get(), 0);
    EXPECT_STREQ(json_object_to_json_string_ext(first, JSON_C_TO_STRING_NOSLASHESCAPE),
                 R"({"id":"0d5e7a54-1a2b-11ef-8a00-0242ac120002_0","parent_id":"0d5e7a54-1a2b-11ef-8a00-0242ac120002",)"
                 R"("path":"/ApiVideos","name":"A.mp4","asset_id":"Job 9","start_time":"2024-05-01-10-00-00",)"
                 R"("data_store":"Main USB","size":"1000","percent_copied":""})");
    struct Expected {
        const char *id_end, *store, *size, *percent;
    };
    const Expected expected[] = {{"_1", "Main USB", "400", "50.0 %"},
                                 {"_2", "External USB", "300", "100.0 %"},
                                 {"_3", "<absent>", "<absent>", ""},
                                 {"_4", "<absent>", "<absent>", ""}};  // a name out of the store is not looked at
    for (size_t i = 0; i < 4; ++i) {
        json_object *entry = json_object_array_get_idx(files.get(), i + 1);
        EXPECT_EQ(text_at(entry, "id"), std::string(id) + expected[i].id_end);
        EXPECT_EQ(text_at(entry, "data_store"), expected[i].store);
        EXPECT_EQ(text_at(entry, "size"), expected[i].size);
        EXPECT_EQ(text_at(entry, "percent_copied"), expected[i].percent);
    }
}

TEST_F(RecordingFiles, CopiesToTheMountedStickOnlyAndNeverOverwrites)
{
    root.write(store + "A.mp4", std::string(5000, 'v'));
    root.write(store + "A_1.jpg", "new picture");
    root.write(stick + "A_1.jpg", "operator's own file");
    const std::string body = R"({"files": [{"name": "A.mp4"}, {"name": "A_1.jpg"}, {"name": "missing.jpg"}]})";

    stick_in = 0;
    EXPECT_EQ(run(vx4_copy_recorder_files, body, "RCDR: copy end"), -1);
    EXPECT_FALSE(root.exists(stick + "A.mp4"));
    stick_in = 1;
    EXPECT_EQ(run(vx4_copy_recorder_files, "not json", "RCDR: copy end"), -1);
    EXPECT_EQ(run(vx4_copy_recorder_files, body, "RCDR: copy end"), 0);
    EXPECT_EQ(root.read(stick + "A.mp4"), std::string(5000, 'v'));
    EXPECT_EQ(root.read(stick + "A_1.jpg"), "operator's own file");
    EXPECT_FALSE(root.exists(stick + "missing.jpg"));

    // One request at a time: a second while the first runs is busy.
    root.write(store + "big.mp4", std::string(32 << 20, 'b'));
    json_object *first = json_tokener_parse(R"({"files": [{"name": "big.mp4"}]})");
    json_object *second = json_tokener_parse(R"({"files": []})");
    EXPECT_EQ(vx4_copy_recorder_files(json_object_object_get(first, "files"), first), 0);
    EXPECT_EQ(vx4_copy_recorder_files(json_object_object_get(second, "files"), second), 1);
    EXPECT_TRUE(wait_until([&] { return traced(root, "RCDR: copy end") == 2; }, 10000ms));
    EXPECT_EQ(root.read(stick + "big.mp4").size(), 32u << 20);

    // A copy that fails half-way leaves nothing on the stick that a later
    // copy would skip for being there.
    root.write(store + "cut.mp4", std::string(2 << 20, 'c'));
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit unlimited, small = {1 << 20, 1 << 20};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_EQ(run(vx4_copy_recorder_files, R"({"files": [{"name": "cut.mp4"}]})", "RCDR: copy end"), 0);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_FALSE(root.exists(stick + "cut.mp4"));
}

TEST_F(RecordingFiles, DeletingKeepsTheRecordInStepAndRemovesItWithItsLastFile)
{
    write_record(R"({"path":"/ApiVideos","name":"A.mp4"},{"path":"/ApiVideos","name":"A_1.jpg"},{"name":"no path"})");
    for (const char *name : {"A.mp4", "A.vtt", "A_1.jpg"})
        root.write(store + name, name);

    EXPECT_EQ(run(vx4_delete_recorder_files, std::string(R"({"files": [{"parent_id": ")") + id + R"(", "name": "A.mp4"}]})",
                  "RCDR: delete end"),
              0);
    EXPECT_FALSE(root.exists(store + "A.mp4"));
    EXPECT_FALSE(root.exists(store + "A.vtt"));
    EXPECT_TRUE(root.exists(store + "A_1.jpg"));
    EXPECT_EQ(root.read(store + id + ".json"),
              std::string(R"({"id":")") + id + R"(","name":"A","asset_id":"Job 9","start_time":"2024-05-01-10-00-00",)"
              R"("duration":"0:00:12","files":[{"path":"/ApiVideos","name":"A_1.jpg"}],"note":"kept"})");

    EXPECT_EQ(run(vx4_delete_recorder_files, std::string(R"({"files": [{"parent_id": ")") + id + R"(", "name": "A_1.jpg"}]})",
                  "RCDR: delete end"),
              0);
    EXPECT_FALSE(root.exists(store + "A_1.jpg"));
    EXPECT_FALSE(root.exists(store + id + ".json"));
    EXPECT_EQ(run(vx4_delete_recorder_files, "{}", "RCDR: delete end"), -1);
}

TEST_F(RecordingFiles, ListingNeverMissesARecordThatIsBeingRewritten)
{
    write_record(R"({"path":"/ApiVideos","name":"A.mp4"},{"path":"/ApiVideos","name":"A_1.jpg"})");
    std::string record = root.read(store + id + ".json");
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 60; ++i)
            vx4_replace_file(root.at(store + id + ".json"), record, VX4_REPLACE_SYNC);
        done = true;
    });
    int listings = 0;
    while (!done) {
        JsonPtr files = list();
        ASSERT_EQ(json_object_array_length(files.get()), 2u);
        ++listings;
    }
    writer.join();
    EXPECT_GT(listings, 0);
}

TEST_F(RecordingFiles, OlderListShowsTheEmmcCopyFirstAndFractionsOfCopies)
{
    root.write("/media/usb99/video/r.json",
               R"({"id":"r1","files":[{"path":"one.mp4","name":"one"},{"path":"two.mp4","name":"two"},)"
               R"({"path":"three.mp4","name":"three"},{"path":"../../outside.txt","name":"out"}]})");
    root.write("/home/vx4/Videos/one.mp4", std::string(400, 'x'));
    root.write("/media/usb99/video/one.mp4", std::string(100, 'x'));
    root.write("/media/usb99/video/two.mp4", std::string(200, 'x'));
    root.write(stick + "two.mp4", std::string(200, 'x'));
    root.write("/media/usb99/video/three.mp4", std::string(200, 'x'));
    root.write(stick + "three.mp4", std::string(50, 'x'));
    root.write("/outside.txt", "secret");
    JsonPtr list(vx4_get_recorder_recordings());
    ASSERT_EQ(json_object_array_length(list.get()), 4u);
    auto entry = [&](size_t i) { return json_object_array_get_idx(list.get(), i); };
    EXPECT_EQ(text_at(entry(0), "id"), "r1_0");
    EXPECT_EQ(text_at(entry(0), "data_store"), "eMMC");
    EXPECT_EQ(json_object_get_int(json_at(entry(0), "size")), 400);
    EXPECT_DOUBLE_EQ(json_object_get_double(json_at(entry(0), "percent_copied")), 0.25);
    EXPECT_EQ(text_at(entry(1), "data_store"), "External USB");
    EXPECT_DOUBLE_EQ(json_object_get_double(json_at(entry(1), "percent_copied")), 1.0);
    EXPECT_EQ(text_at(entry(2), "data_store"), "Main USB");
    EXPECT_DOUBLE_EQ(json_object_get_double(json_at(entry(2), "percent_copied")), 0.25);
    EXPECT_EQ(text_at(entry(3), "data_store"), "<absent>");
}

}  // namespace
