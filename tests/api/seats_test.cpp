// Seats as the controller applications see them: requests, confirmations,
// the one-second countdown, the observer limit and the controller defaults.
#include "api/seats.h"

#include <sys/wait.h>

#include <sstream>

#include "api_connection.h"
#include "power_board/lights.h"

using namespace vx4test;

namespace {

std::string request(const std::string &role)
{
    JsonPtr reply = handle("POST", "/api/seats/request", R"({"seat_role": ")" + role + "\"}");
    return json_object_get_string(json_at(reply.get(), "seat_token"));
}

// "controllers observers role" of the update's reply.
std::string update(const std::string &action, const std::string &token)
{
    std::string body = R"({"seat_update": ")" + action + R"(", "seat_token": ")" + token + "\"}";
    JsonPtr reply = handle("POST", "/api/seats/update", body);
    return std::string(json_object_get_string(json_at(reply.get(), "controller_seats"))) + " " +
           json_object_get_string(json_at(reply.get(), "observer_seats")) + " " +
           json_object_get_string(json_at(reply.get(), "seat_role"));
}

std::string put_limit(const std::string &value)
{
    JsonPtr reply = handle("PUT", "/api/setup/observer_seats", R"({"observer_seats": )" + value + "}");
    return json_object_get_string(json_at(reply.get(), "status"));
}

void tick(int seconds)
{
    for (int i = 0; i < seconds; ++i)
        vx4_count_down_api_seats();
}

class Seats : public ApiHandlerTest {
protected:
    // Marks that the controller defaults clear; true once they are cleared.
    static void leave_marks()
    {
        vx4_set_api_mode(api_state.focus_mode, "manual");
        snprintf(led_state.mode, sizeof led_state.mode, "low");
    }
    bool defaults_applied() const
    {
        return std::string(api_state.focus_mode) + led_state.mode + root.read("/tmp/zoom_speed") == "autooff3";
    }
};

TEST_F(Seats, OnlyAConfirmedControllerBlocksAnotherRequest)
{
    std::string first = request("controller"), second = request("controller");
    EXPECT_EQ(update("lock", first) + ", " + update("lock", second), "0 5 controller, 0 5 controller");
    EXPECT_EQ(request("controller"), "");
    EXPECT_EQ(request("pilot"), "");
    EXPECT_EQ(update("refresh", ""), "0 5 ");  // no seat matches
}

TEST_F(Seats, ObserverLimitFreesPendingSeatsFirstThenTheLongestHeld)
{
    EXPECT_EQ(put_limit("\"2\""), "OK");
    std::string held = request("observer");
    EXPECT_EQ(update("lock", held), "1 1 observer");
    std::string pending = request("observer");
    EXPECT_EQ(request("observer"), "");
    EXPECT_EQ(put_limit("\"1\""), "OK");
    EXPECT_EQ(update("lock", pending), "1 0 ");
    EXPECT_EQ(update("refresh", held), "1 0 observer");

    EXPECT_EQ(put_limit("2"), "OK");
    tick(3);
    std::string later = request("observer");
    update("lock", later);
    EXPECT_EQ(put_limit("\"1\""), "OK");
    EXPECT_EQ(update("refresh", later), "1 0 ");  // 30 s left against 27
    EXPECT_EQ(put_limit("\"0\""), "OK");
    EXPECT_EQ(update("refresh", held), "1 0 ");

    for (const char *bad : {"\"6\"", "\"-1\"", "\"01\"", "\"1x\"", "\"\"", "null"})
        EXPECT_EQ(put_limit(bad), "BAD_REQUEST") << bad;
    int32_t kept = -1;
    vx4_read_nv(NV_VIEWER_SEATS, &kept, sizeof kept);
    EXPECT_EQ(kept, 0);
}

TEST_F(Seats, UnrefreshedSeatsExpireAndTheControllerWarnsInItsLastFiveSeconds)
{
    std::string controller = request("controller");
    update("lock", controller);
    leave_marks();
    tick(24);
    EXPECT_FALSE(vx4_get_controller_seat_warning());  // 6 s left
    tick(1);
    EXPECT_TRUE(vx4_get_controller_seat_warning());
    EXPECT_FALSE(defaults_applied());
    tick(5);
    EXPECT_FALSE(vx4_get_controller_seat_warning());
    EXPECT_TRUE(defaults_applied());
    EXPECT_EQ(update("refresh", controller), "1 5 ");
}

TEST_F(Seats, UpdatesFollowTheSeatsState)
{
    // The seat's state, another seat's before it, the observer limit and
    // the action; then the role ("-": none), the state after and whether the
    // controller defaults ran.
    std::istringstream rows(R"(
        1 0 5 lock controller 2 0   2 0 5 lock controller 2 0   3 0 5 lock observer 4 0   1 0 5 refresh - 1 0
        3 0 5 refresh - 3 0   4 0 5 refresh observer 4 0   2 0 5 release - 0 1   4 0 5 release - 0 0
        1 0 5 release - 1 0   4 0 5 make_controller controller 2 0   4 1 5 make_controller observer 4 0
        1 0 5 make_controller controller 1 0   2 1 5 make_controller - 2 0   3 0 5 make_controller - 3 0
        2 0 5 make_observer observer 4 1   2 4 1 make_observer controller 2 0   4 0 5 make_observer observer 4 0
        2 0 5 sit - 2 0)");
    int32_t state, other, limit, after;
    std::string action, role;
    bool defaults;
    while (rows >> state >> other >> limit >> action >> role >> after >> defaults) {
        vx4_init_api_state();
        api_state.observer_seat_limit = limit;
        api_state.seats[0] = {"other", 10, other};
        api_state.seats[1] = {"mine", 10, state};
        leave_marks();
        std::string what = action + " from " + std::to_string(state);
        EXPECT_EQ(update(action, "mine").substr(4), role == "-" ? "" : role) << what;
        EXPECT_EQ(api_state.seats[1].state, after) << what;
        EXPECT_EQ(defaults_applied(), defaults) << what;
        EXPECT_STREQ(api_state.seats[1].token, "mine") << what;
    }
    EXPECT_TRUE(rows.eof());
}

// What a fresh daemon hands out first must not be known in advance.
TEST(SeatTokens, DifferBetweenDaemonsStartedAlike)
{
    std::string tokens[2];
    for (std::string &token : tokens) {
        SandboxRoot root;
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        if (fork() == 0) {
            root.enter();
            vx4_init_nv();
            vx4_init_api_state();
            std::string mine = request("controller");
            _exit(write(ends[1], mine.data(), mine.size()) == 16 ? 0 : 1);
        }
        close(ends[1]);
        char got[17] = "";
        EXPECT_EQ(read(ends[0], got, 16), 16);
        close(ends[0]);
        wait(nullptr);
        token = got;
        EXPECT_EQ(strspn(got, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"), 16u);
    }
    EXPECT_NE(tokens[0], tokens[1]);
}

}  // namespace
