#include "core/settings.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstring>
#include <string>

#include "support.h"

using namespace vx4test;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { root.enter(); }

    // The value of key in one of the two files (nullptr when absent).
    json_object *file(int index)
    {
        json_object_put(document);
        document = json_object_from_file(root.at(index ? "/home/vx4/nv/nv01.json" : "/home/vx4/nv/nv00.json").c_str());
        return document;
    }
    int file_int(int index, const char *key)
    {
        json_object *value;
        if (!file(index) || !json_object_object_get_ex(document, key, &value))
            return -999;
        return json_object_get_int(value);
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

    ~SettingsTest() override { json_object_put(document); }

    SandboxRoot root;
    json_object *document = nullptr;
};

TEST_F(SettingsTest, FirstStartWritesDefaultsToTheSecondFile)
{
    vx4_init_nv();
    EXPECT_TRUE(root.exists("/home/vx4/nv/nv01.json"));
    EXPECT_FALSE(root.exists("/home/vx4/nv/nv00.json"));
    EXPECT_EQ(file_int(1, "previous_id"), 0);
    EXPECT_EQ(file_int(1, "current_id"), 1);
    EXPECT_EQ(file_int(1, "values_valid"), 1);
    EXPECT_EQ(file_int(1, "viewer_seats"), 5);
    EXPECT_EQ(file_int(1, "high_beam_time"), 15);
    EXPECT_EQ(title(), "ASSET");
    EXPECT_EQ(read_int(NV_CAMERA_IR_FILTER), 2);
    EXPECT_EQ(read_int(NV_UNITS), 1);
}

TEST_F(SettingsTest, SavesAlternateAndARestartPicksTheNewest)
{
    vx4_init_nv();
    write_title("PIPE 1");
    EXPECT_EQ(file_int(0, "previous_id"), 1);
    EXPECT_EQ(file_int(0, "current_id"), 2);

    vx4_init_nv();  // nv01's previous_id 0 is not nv00's current_id 2
    EXPECT_EQ(title(), "PIPE 1");

    write_title("PIPE 2");
    EXPECT_EQ(file_int(1, "previous_id"), 2);
    EXPECT_EQ(file_int(1, "current_id"), 3);
    vx4_init_nv();
    EXPECT_EQ(title(), "PIPE 2");

    write_title("PIPE 3");
    EXPECT_EQ(file_int(0, "current_id"), 4);
    vx4_init_nv();
    EXPECT_EQ(title(), "PIPE 3");
}

TEST_F(SettingsTest, ItemsAreCutAndPaddedToTheirSizes)
{
    vx4_init_nv();
    write_title(std::string(60, 'T'));
    EXPECT_EQ(title(), std::string(41, 'T'));
    vx4_init_nv();
    EXPECT_EQ(title(), std::string(41, 'T'));

    unsigned char language[16];
    memset(language, 0xAA, sizeof language);
    vx4_read_nv(NV_LANGUAGE, language, sizeof language);
    EXPECT_EQ(memcmp(language, "ENG", 3), 0);
    for (int i = 3; i < 16; ++i)
        EXPECT_EQ(language[i], 0) << i;

    char two[2];
    vx4_read_nv(NV_FLOW_DIRECTION, two, sizeof two);
    EXPECT_EQ(std::string(two, 2), "UP");

    vx4_write_nv(NV_FLOW_DIRECTION, "DOWN", 4);  // shorter than the item: the rest is zero
    char flow[NV_FLOW_DIRECTION_SIZE + 1];
    vx4_read_nv(NV_FLOW_DIRECTION, flow, sizeof flow);
    EXPECT_STREQ(flow, "DOWN");

    double calibration = -12.625;
    vx4_write_nv(NV_MAGNETOMETER_ELLIPSOID_22, &calibration, sizeof calibration);
    vx4_init_nv();
    double back = 0;
    vx4_read_nv(NV_MAGNETOMETER_ELLIPSOID_22, &back, sizeof back);
    EXPECT_EQ(back, -12.625);
}

TEST_F(SettingsTest, UnknownItemsAreNeitherReadNorWritten)
{
    vx4_init_nv();
    int current = file_int(1, "current_id");
    unsigned char buffer[8];
    memset(buffer, 0x5A, sizeof buffer);
    vx4_read_nv(34, buffer, sizeof buffer);
    vx4_read_nv(-1, buffer, sizeof buffer);
    for (unsigned char byte : buffer)
        EXPECT_EQ(byte, 0x5A);
    int value = 7;
    vx4_write_nv(34, &value, sizeof value);
    EXPECT_FALSE(root.exists("/home/vx4/nv/nv00.json"));
    EXPECT_EQ(file_int(1, "current_id"), current);
}

TEST_F(SettingsTest, HalfWrittenNewerFileFallsBackToTheOlderCopy)
{
    vx4_init_nv();
    write_title("KEPT");        // nv00, id 2
    write_title("HALF DONE");   // nv01, id 3
    std::string text = root.read("/home/vx4/nv/nv01.json");
    root.write("/home/vx4/nv/nv01.json", text.substr(0, text.size() / 2));  // power cut mid-write
    vx4_init_nv();
    EXPECT_EQ(title(), "KEPT");
    write_title("AFTER");       // the broken file is the one written next
    EXPECT_EQ(file_int(1, "current_id"), 3);
    vx4_init_nv();
    EXPECT_EQ(title(), "AFTER");
}

TEST_F(SettingsTest, FileWithoutValuesValidDoesNotCount)
{
    root.write("/home/vx4/nv/nv00.json", R"({"previous_id":4,"current_id":5,"title":"GOOD","values_valid":1})");
    root.write("/home/vx4/nv/nv01.json", R"({"previous_id":5,"current_id":6,"title":"ZERO","values_valid":0})");
    vx4_init_nv();
    EXPECT_EQ(title(), "GOOD");

    root.write("/home/vx4/nv/nv01.json", R"({"previous_id":5,"current_id":6,"title":"MISSING"})");
    vx4_init_nv();
    EXPECT_EQ(title(), "GOOD");

    root.write("/home/vx4/nv/nv01.json", R"({"previous_id":5,"current_id":6,"title":"NULL","values_valid":null})");
    vx4_init_nv();
    EXPECT_EQ(title(), "GOOD");
}

TEST_F(SettingsTest, OnlyTheSecondFileValidIsUsed)
{
    root.write("/home/vx4/nv/nv00.json", "{\"title\": \"BROKEN");
    root.write("/home/vx4/nv/nv01.json", R"({"previous_id":0,"current_id":1,"title":"SECOND","values_valid":1})");
    vx4_init_nv();
    EXPECT_EQ(title(), "SECOND");
    write_title("NEXT");
    EXPECT_EQ(file_int(0, "current_id"), 2);
}

TEST_F(SettingsTest, NeitherFileValidGivesDefaultsWrittenAtOnce)
{
    root.write("/home/vx4/nv/nv00.json", "garbage");
    root.write("/home/vx4/nv/nv01.json", "");
    vx4_init_nv();
    EXPECT_EQ(title(), "ASSET");
    EXPECT_EQ(file_int(1, "current_id"), 1);
    EXPECT_EQ(file_int(1, "values_valid"), 1);
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
    vx4_init_nv();                               // nv01 in force, id 1
    root.make_dir("/home/vx4/nv/nv00.json");     // cannot be written as a file
    write_title("LOST");
    EXPECT_EQ(title(), "LOST");  // in force in memory, just not saved
    root.remove("/home/vx4/nv/nv00.json");
    write_title("SAVED");
    EXPECT_EQ(file_int(0, "previous_id"), 1);
    EXPECT_EQ(file_int(0, "current_id"), 2);
    vx4_init_nv();
    EXPECT_EQ(title(), "SAVED");
}

TEST_F(SettingsTest, FilesAreCompactAndSlashesStayUnescaped)
{
    vx4_init_nv();
    write_title("A/B");
    std::string text = root.read("/home/vx4/nv/nv00.json");
    EXPECT_NE(text.find("\"title\":\"A/B\""), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

}  // namespace
