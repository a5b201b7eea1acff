#include "core/settings.h"

#include "support.h"

using namespace vx4test;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { root.enter(); }

    // A number in one of the two files (-999 when absent).
    int file_int(int index, const char *key)
    {
        JsonPtr document = parse_json(root.read(index ? "/home/vx4/nv/nv01.json" : "/home/vx4/nv/nv00.json"));
        json_object *value = document ? json_at(document.get(), key) : nullptr;
        return value ? json_object_get_int(value) : -999;
    }
    std::string title()
    {
        char text[NV_TITLE_SIZE + 1];
        vx4_read_nv(NV_TITLE, text, sizeof text);
        return text;
    }
    void write_title(const std::string &text) { vx4_write_nv(NV_TITLE, text.c_str(), text.size() + 1); }
    int read_int(int id)
    {
        int value = -1;
        vx4_read_nv(id, &value, sizeof value);
        return value;
    }

    SandboxRoot root;
};

TEST_F(SettingsTest, FirstStartWritesDefaultsToTheSecondFileThenSavesAlternateAndARestartPicksTheNewest)
{
    vx4_init_nv();
    EXPECT_FALSE(root.exists("/home/vx4/nv/nv00.json"));
    for (const auto &[key, value] : {std::pair{"previous_id", 0}, {"current_id", 1}, {"values_valid", 1},
                                     {"viewer_seats", 5}, {"high_beam_time", 15}})
        EXPECT_EQ(file_int(1, key), value) << key;
    EXPECT_EQ(title(), "ASSET");
    EXPECT_EQ(read_int(NV_CAMERA_IR_FILTER), 2);
    EXPECT_EQ(read_int(NV_UNITS), 1);

    // nv01's previous_id 0 is not nv00's current_id 2: nv00 is the newer.
    for (int id = 2; id <= 4; ++id) {
        write_title("PIPE " + std::to_string(id));
        EXPECT_EQ(file_int(id % 2, "previous_id"), id - 1);
        EXPECT_EQ(file_int(id % 2, "current_id"), id);
        vx4_init_nv();
        EXPECT_EQ(title(), "PIPE " + std::to_string(id));
    }
}

TEST_F(SettingsTest, ItemsAreCutAndPaddedToTheirSizesInCompactFiles)
{
    vx4_init_nv();
    write_title(std::string(60, 'T'));
    EXPECT_EQ(title(), std::string(41, 'T'));
    vx4_init_nv();
    EXPECT_EQ(title(), std::string(41, 'T'));

    unsigned char language[16];
    memset(language, 0xAA, sizeof language);
    vx4_read_nv(NV_LANGUAGE, language, sizeof language);
    EXPECT_EQ(memcmp(language, "ENG\0\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
    char two[2];
    vx4_read_nv(NV_FLOW_DIRECTION, two, sizeof two);
    EXPECT_EQ(std::string(two, 2), "UP");
    vx4_write_nv(NV_FLOW_DIRECTION, "DOWN", 4);  // shorter than the item: the rest is zero
    char flow[NV_FLOW_DIRECTION_SIZE + 1];
    vx4_read_nv(NV_FLOW_DIRECTION, flow, sizeof flow);
    EXPECT_STREQ(flow, "DOWN");

    double calibration = -12.625, back = 0;
    vx4_write_nv(NV_MAGNETOMETER_ELLIPSOID_22, &calibration, sizeof calibration);
    vx4_init_nv();
    vx4_read_nv(NV_MAGNETOMETER_ELLIPSOID_22, &back, sizeof back);
    EXPECT_EQ(back, -12.625);

    write_title("A/B");  // slashes stay unescaped, on one line
    std::string text = root.read("/home/vx4/nv/nv01.json");
    EXPECT_NE(text.find("\"title\":\"A/B\""), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST_F(SettingsTest, UnknownItemsAreNeitherReadNorWritten)
{
    vx4_init_nv();
    unsigned char buffer[8];
    memset(buffer, 0x5A, sizeof buffer);
    vx4_read_nv(34, buffer, sizeof buffer);
    vx4_read_nv(-1, buffer, sizeof buffer);
    for (unsigned char byte : buffer)
        EXPECT_EQ(byte, 0x5A);
    int value = 7;
    vx4_write_nv(34, &value, sizeof value);
    EXPECT_FALSE(root.exists("/home/vx4/nv/nv00.json"));
    EXPECT_EQ(file_int(1, "current_id"), 1);
}

TEST_F(SettingsTest, AFileCountsOnlyWhenWholeAndMarkedValid)
{
    const std::string good = R"({"previous_id":4,"current_id":5,"title":"GOOD","values_valid":1})";
    const struct {
        std::string nv00, nv01, title;
    } cases[] = {
        {good, R"({"previous_id":5,"current_id":6,"title":"ZERO","values_valid":0})", "GOOD"},
        {good, R"({"previous_id":5,"current_id":6,"title":"MISSING"})", "GOOD"},
        {good, R"({"previous_id":5,"current_id":6,"title":"NULL","values_valid":null})", "GOOD"},
        {good, R"({"previous_id":5,"current_id":6,"title":"HALF","values_valid":1)", "GOOD"},  // power cut
        {"{\"title\": \"BROKEN", R"({"previous_id":0,"current_id":1,"title":"SECOND","values_valid":1})", "SECOND"},
        {"garbage", "", "ASSET"},  // neither: defaults, written at once
    };
    for (const auto &c : cases) {
        root.write("/home/vx4/nv/nv00.json", c.nv00);
        root.write("/home/vx4/nv/nv01.json", c.nv01);
        vx4_init_nv();
        EXPECT_EQ(title(), c.title) << c.nv01;
    }
    EXPECT_EQ(file_int(1, "current_id"), 1);
    EXPECT_EQ(file_int(1, "values_valid"), 1);
    // The broken file is the one written next.
    root.write("/home/vx4/nv/nv00.json", "{\"title\": \"BROKEN");
    write_title("NEXT");
    EXPECT_EQ(file_int(0, "current_id"), 2);
    vx4_init_nv();
    EXPECT_EQ(title(), "NEXT");
}

TEST_F(SettingsTest, KeysMissingFromAnOlderFileTakeTheirDefaults)
{
    root.write("/home/vx4/nv/nv00.json", R"({"previous_id":1,"current_id":2,"units":0,"language":"DEU","values_valid":1})");
    vx4_init_nv();
    EXPECT_EQ(read_int(NV_UNITS), 0);
    EXPECT_EQ(read_int(NV_VIEWER_SEATS), 5);
    EXPECT_EQ(title(), "ASSET");
    char language[4];
    vx4_read_nv(NV_LANGUAGE, language, sizeof language);
    EXPECT_STREQ(language, "DEU");
}

TEST_F(SettingsTest, AFailedSaveIsRetriedIntoTheSameFile)
{
    vx4_init_nv();                            // nv01 in force, id 1
    root.make_dir("/home/vx4/nv/nv00.json");  // cannot be written as a file
    write_title("LOST");
    EXPECT_EQ(title(), "LOST");  // in force in memory, just not saved
    root.remove("/home/vx4/nv/nv00.json");
    write_title("SAVED");
    EXPECT_EQ(file_int(0, "previous_id"), 1);
    EXPECT_EQ(file_int(0, "current_id"), 2);
    vx4_init_nv();
    EXPECT_EQ(title(), "SAVED");
}

}  // namespace
