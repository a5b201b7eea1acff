// Distances in the operator's unit, as the status document and the laser
// endpoints show them.
#include "api/distance.h"

#include <gtest/gtest.h>

#include <string>

#include "core/settings.h"
#include "power_board/power_board.h"
#include "support.h"

namespace {

std::string shown(double metres)
{
    char text[32] = "unset";
    vx4_format_distance(metres, vx4_load_distance_unit(), text, sizeof text);
    return text;
}

TEST(Distance, MetresOrFeetWithOneDecimalBelow99Point5)
{
    vx4test::SandboxRoot root;
    root.enter();
    vx4_init_nv();
    int32_t units = 0;
    vx4_write_nv(NV_UNITS, &units, sizeof units);
    EXPECT_EQ(shown(5), "5.0 m");
    EXPECT_EQ(shown(12.34), "12.3 m");
    EXPECT_EQ(shown(99.49), "99.5 m");  // the choice is made before rounding
    EXPECT_EQ(shown(99.5), "100 m");
    EXPECT_EQ(shown(0), "0.0 m");

    units = 1;
    vx4_write_nv(NV_UNITS, &units, sizeof units);
    EXPECT_EQ(shown(30.48), "100 ft");
    EXPECT_EQ(shown(1), "3.3 ft");
    EXPECT_EQ(shown(30.3), "99.4 ft");
    units = 2;  // anything but 1 is metres
    vx4_write_nv(NV_UNITS, &units, sizeof units);
    EXPECT_EQ(shown(30.48), "30.5 m");

    // Cut to the buffer, always terminated.
    char small[4] = "xyz";
    vx4_format_distance(12.34, vx4_load_distance_unit(), small, sizeof small);
    EXPECT_STREQ(small, "12.");
}

TEST(Distance, NoLaserTextWithoutABoard)
{
    vx4test::SandboxRoot root;
    root.enter();
    vx4_init_nv();
    power_board_instance = nullptr;
    char text[16] = "unset";
    vx4_load_laser_distance(text, sizeof text);
    EXPECT_STREQ(text, "");
}

}  // namespace
