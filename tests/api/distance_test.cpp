// Distances in the operator's unit, as the status document and the laser
// endpoints show them.
#include "api/distance.h"

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

    // Without a board there is no laser text.
    power_board_instance = nullptr;
    char text[16] = "unset";
    vx4_load_laser_distance(text, sizeof text);
    EXPECT_STREQ(text, "");

    // Cut to the buffer, always terminated.
    char small[4] = "xyz";
    vx4_format_distance(12.34, vx4_load_distance_unit(), small, sizeof small);
    EXPECT_STREQ(small, "12.");
}

TEST(Distance, DepthOfFieldAroundTheFocusedDistance)
{
    vx4test::SandboxRoot root;
    root.enter();
    vx4_init_nv();
    auto limits = [](int focus) {
        char far_limit[16], near_limit[16];
        vx4_load_depth_of_field(focus, far_limit, sizeof far_limit, near_limit, sizeof near_limit);
        return std::string(far_limit) + " / " + near_limit;
    };
    for (int32_t units : {0, 1}) {
        vx4_write_nv(NV_UNITS, &units, sizeof units);
        EXPECT_EQ(limits(-1), "? / ?");
        EXPECT_EQ(limits(2048), "\u221E / \u221E");  // focused beyond what the lens tells
        EXPECT_EQ(limits(4096), units ? "217 ft / 177 ft" : "66 m / 54 m");
    }
    int32_t metres = 0;
    vx4_write_nv(NV_UNITS, &metres, sizeof metres);
    EXPECT_EQ(limits(34816), "2 m / 1.6 m");  // 1.825 m, between two rows
    EXPECT_EQ(limits(61440), "0.011 m / 0.009 m");
    EXPECT_EQ(limits(65535), "0.011 m / 0.009 m");
    EXPECT_EQ(limits(12288), "11 m / 9 m");
}

}  // namespace
