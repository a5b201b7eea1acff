// The setup endpoints: the date and time (the sandbox's clock only), and the
// settings whose values are checked before they are kept.
#include "api/setup.h"

#include "api_connection.h"

using namespace vx4test;

namespace {

std::string get(const std::string &key)
{
    return json_object_get_string(json_at(handle("GET", "/api/setup/" + key).get(), key));
}

std::string put(const std::string &key, const std::string &value, const std::string &body_key = "")
{
    std::string body = "{\"" + (body_key.empty() ? key : body_key) + "\": " + value + "}";
    return json_object_get_string(json_at(handle("PUT", "/api/setup/" + key, body).get(), "status"));
}

using SetupEndpoints = ApiHandlerTest;

TEST_F(SetupEndpoints, DateAndTimeMoveTheProcessClockNeverTheHosts)
{
    time_t host_before = time(nullptr);
    EXPECT_EQ(put("date", "\"2024-2-29\""), "OK");
    EXPECT_EQ(get("date"), "2024-02-29");
    EXPECT_EQ(put("time", "\"7:5:3\""), "OK");
    EXPECT_EQ(get("time").substr(0, 7), "07:05:0");
    EXPECT_EQ(put("date", "\"1900-1-1\""), "OK");
    // Refused: the clock stays where it was.
    for (const char *bad : {"\"2024-13-01\"", "\"1899-01-01\"", "\"2023-02-29\"", "\"2024-00-10\"", "\"2024-02\"",
                            "\"2024-01-01x\"", "\"2024--1-05\"", "\"2024/01/01\"", "20240101"})
        EXPECT_EQ(put("date", bad), "BAD_REQUEST") << bad;
    for (const char *bad : {"\"24:00:00\"", "\"12:60:00\"", "\"12:00:60\"", "\"7:5\"", "\"-1:00:00\"", "7"})
        EXPECT_EQ(put("time", bad), "BAD_REQUEST") << bad;
    EXPECT_EQ(put("date", "\"2024-02-29\"", "day"), "BAD_REQUEST");
    EXPECT_EQ(get("date"), "1900-01-01");
    EXPECT_EQ(get("time").substr(0, 7), "07:05:0");
    EXPECT_LT(std::abs(difftime(time(nullptr), host_before)), 60.0);
}

TEST_F(SetupEndpoints, CheckedSettingsKeepTheirLastGoodValue)
{
    struct row {
        const char *key, *value, *status, *shown;
    } rows[] = {
        {"language", "\"FRA\"", "OK", "FRA"},
        {"language", "\"eng\"", "BAD_REQUEST", "FRA"},
        {"language", "\"ENGLISH\"", "BAD_REQUEST", "FRA"},
        {"units", "\"english\"", "OK", "english"},
        {"units", "\"feet\"", "BAD_REQUEST", "english"},
        {"units", "\"metric\"", "OK", "metric"},
        {"high_beam_time", "30", "OK", "30"},
        {"high_beam_time", "31", "BAD_REQUEST", "30"},
        {"high_beam_time", "\"-1\"", "BAD_REQUEST", "30"},
        {"high_beam_time", "\"5s\"", "BAD_REQUEST", "30"},
        {"high_beam_time", "\"12\"", "OK", "12"},
        // The network password shown is always the unit's own.
        {"password", "\"secret\"", "OK", "RW5@TIDE"},
        {"ssid", "\"a-name-of-forty-characters-for-the-ssid!\"", "OK", "a-name-of-forty-characters-for-"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(put(r.key, r.value), r.status) << r.key << " " << r.value;
        EXPECT_EQ(get(r.key), r.shown) << r.key << " " << r.value;
    }
    char language[8] = "";
    int32_t units = -1, high_beam = -1;
    vx4_read_nv(NV_LANGUAGE, language, sizeof language);
    vx4_read_nv(NV_UNITS, &units, sizeof units);
    vx4_read_nv(NV_HIGH_BEAM_TIME, &high_beam, sizeof high_beam);
    EXPECT_EQ(std::string(language) + " " + std::to_string(units) + " " + std::to_string(high_beam), "FRA 0 12");
    // Without the key the high beam time is 0, while the language is refused.
    EXPECT_EQ(put("high_beam_time", "1", "other"), "OK");
    EXPECT_EQ(get("high_beam_time"), "0");
    EXPECT_EQ(put("language", "\"ESP\"", "other"), "BAD_REQUEST");
}

}  // namespace
