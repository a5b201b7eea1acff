// The setup endpoints: the date and time (the sandbox's clock only), and the
// settings whose values are checked before they are kept.
#include "api/setup.h"

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>

#include "api_connection.h"
#include "core/settings.h"
#include "api/api_state.h"
#include "power_board/lights.h"

using namespace vx4test;

namespace {

class Setup : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.enter();
        vx4_init_nv();
        vx4_init_api_state();
    }

    std::string get(http_handler_function handler, const std::string &key)
    {
        JsonPtr reply = handle(handler, "GET", "/api/setup/" + key);
        return json_object_get_string(json_at(reply.get(), key));
    }

    std::string put(http_handler_function handler, const std::string &key, const std::string &value)
    {
        JsonPtr reply = handle(handler, "PUT", "/api/setup/" + key, "{\"" + key + "\": " + value + "}");
        return json_object_get_string(json_at(reply.get(), "status"));
    }

    SandboxRoot root;
};

TEST(SetupClock, DatesAndTimesOfDigitsWithinTheirRanges)
{
    int a, b, c;
    for (const char *good : {"2024-2-29", "1900-01-01", "9999-12-31", "2024-02-31"})
        EXPECT_TRUE(vx4_parse_setup_date(good, &a, &b, &c)) << good;
    EXPECT_TRUE(vx4_parse_setup_date("2024-2-29", &a, &b, &c));
    EXPECT_EQ(a * 10000 + b * 100 + c, 20240229);
    for (const char *bad : {"2024-13-01", "1899-01-01", "10000-01-01", "2024-00-10", "2024-01-32", "2024-01",
                            "2024-01-01x", "2024--1-05", "+2024-01-01", "", "2024/01/01"})
        EXPECT_FALSE(vx4_parse_setup_date(bad, &a, &b, &c)) << bad;

    EXPECT_TRUE(vx4_parse_setup_time("7:5:3", &a, &b, &c));
    EXPECT_EQ(a * 10000 + b * 100 + c, 70503);
    EXPECT_TRUE(vx4_parse_setup_time("23:59:59", &a, &b, &c));
    for (const char *bad : {"24:00:00", "12:60:00", "12:00:60", "12:00", "1:2:3:4", "-1:00:00", "a:b:c"})
        EXPECT_FALSE(vx4_parse_setup_time(bad, &a, &b, &c)) << bad;
}

TEST_F(Setup, DateAndTimeMoveTheProcessClockNeverTheHosts)
{
    time_t host_before = time(nullptr);
    EXPECT_EQ(put(api_put_setup_date, "date", "\"2024-2-29\""), "OK");
    EXPECT_EQ(get(api_get_setup_date, "date"), "2024-02-29");
    EXPECT_EQ(put(api_put_setup_time, "time", "\"7:5:3\""), "OK");
    EXPECT_EQ(get(api_get_setup_time, "time").substr(0, 7), "07:05:0");
    EXPECT_EQ(get(api_get_setup_date, "date"), "2024-02-29");
    // Refused: the clock stays where it was.
    for (const char *bad : {"\"2024-13-01\"", "\"1899-01-01\"", "\"2023-02-29\"", "\"2024-02\"", "{}"})
        EXPECT_EQ(put(api_put_setup_date, "date", bad), "BAD_REQUEST") << bad;
    for (const char *bad : {"\"24:00:00\"", "\"7:5\"", "7"})
        EXPECT_EQ(put(api_put_setup_time, "time", bad), "BAD_REQUEST") << bad;
    EXPECT_EQ(get(api_get_setup_date, "date"), "2024-02-29");
    EXPECT_LT(std::abs(difftime(time(nullptr), host_before)), 60.0);
}

TEST_F(Setup, CheckedSettingsKeepTheirLastGoodValue)
{
    struct endpoints {
        http_handler_function get, put;
    };
    const std::map<std::string, endpoints> setting = {
        {"language", {api_get_setup_text<API_SETUP_LANGUAGE>, api_put_setup_text<API_SETUP_LANGUAGE>}},
        {"units", {api_get_setup_text<API_SETUP_UNITS>, api_put_setup_text<API_SETUP_UNITS>}},
        {"high_beam_time", {api_get_setup_high_beam_time, api_put_setup_high_beam_time}},
        {"password", {api_get_setup_text<API_SETUP_PASSWORD>, api_put_setup_text<API_SETUP_PASSWORD>}},
        {"ssid", {api_get_setup_text<API_SETUP_SSID>, api_put_setup_text<API_SETUP_SSID>}},
    };
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
        const endpoints &handlers = setting.at(r.key);
        EXPECT_EQ(put(handlers.put, r.key, r.value), r.status) << r.key << " " << r.value;
        EXPECT_EQ(get(handlers.get, r.key), r.shown) << r.key << " " << r.value;
    }
    char language[8] = "";
    int32_t units = -1, high_beam = -1;
    vx4_read_nv(NV_LANGUAGE, language, sizeof language);
    vx4_read_nv(NV_UNITS, &units, sizeof units);
    vx4_read_nv(NV_HIGH_BEAM_TIME, &high_beam, sizeof high_beam);
    EXPECT_STREQ(language, "FRA");
    EXPECT_EQ(units, 0);
    EXPECT_EQ(high_beam, 12);
    EXPECT_EQ(led_state.high_beam_time, 12);
    // Without the key the high beam time is 0, and no body means no language.
    EXPECT_EQ(put(api_put_setup_high_beam_time, "other", "1"), "OK");
    EXPECT_EQ(get(api_get_setup_high_beam_time, "high_beam_time"), "0");
    EXPECT_EQ(put(api_put_setup_text<API_SETUP_LANGUAGE>, "other", "1"), "BAD_REQUEST");
}

}  // namespace
