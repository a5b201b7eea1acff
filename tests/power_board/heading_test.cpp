// The compass direction from magnetometer and accelerometer readings with
// the calibration kept in the settings store.
#include "power_board/heading.h"

#include <array>

#include "core/settings.h"
#include "support.h"

using namespace vx4test;

namespace {

// The head standing level, as its accelerometer sees it.
constexpr float level[3] = {-1.0f, 0.0f, 0.0f};
constexpr std::array<double, 9> unit = {1, 0, 0, 0, 1, 0, 0, 0, 1};

class HeadingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.enter();
        vx4_init_nv();
        calibrate(1, {0, 0, 0}, unit);
    }

    void calibrate(int32_t calibrated, std::array<double, 3> offsets, std::array<double, 9> ellipsoid)
    {
        vx4_write_nv(NV_MAGNETOMETER_CALIBRATED, &calibrated, sizeof calibrated);
        for (int i = 0; i < 3; ++i)
            vx4_write_nv(NV_MAGNETOMETER_CALIBRATION_X + i, &offsets[i], sizeof(double));
        for (int i = 0; i < 9; ++i)
            vx4_write_nv(NV_MAGNETOMETER_ELLIPSOID_00 + i, &ellipsoid[i], sizeof(double));
    }

    std::string heading(int16_t x, int16_t y, int16_t z, const float *acceleration = level, size_t size = 16)
    {
        char text[16] = "untouched";
        vx4_load_heading(x, y, z, text, size, acceleration[0], acceleration[1], acceleration[2]);
        return text;
    }

    SandboxRoot root;
};

TEST_F(HeadingTest, EightPointsOfTheCompassOnALevelHead)
{
    const std::pair<std::array<int16_t, 2>, const char *> points[] = {
        {{-100, 0}, "N"}, {{-100, 100}, "NE"}, {{0, 100}, "E"},   {{100, 100}, "SE"}, {{100, 0}, "S"},
        {{100, -100}, "SW"}, {{0, -100}, "W"}, {{-100, -100}, "NW"},
        {{0, 0}, "N"},  // no field at all: the angle is exactly 0, which reads as 360 degrees
    };
    for (const auto &[xz, expected] : points)
        EXPECT_EQ(heading(xz[0], 0, xz[1]), expected) << xz[0] << " " << xz[1];
}

TEST_F(HeadingTest, CalibrationRemovesOffsetsAndScalesEachAxisByItsRowSum)
{
    calibrate(1, {500, -20, -300}, unit);
    EXPECT_EQ(heading(400, -20, -200), "NE");  // (-100, 0, 100) once the offsets are gone
    EXPECT_EQ(heading(500, -20, -300), "N");   // nothing left of the field
    // The whole z row counts, not only its diagonal: z weighs three times.
    calibrate(1, {0, 0, 0}, {1, 0, 0, 0, 1, 0, 1, 1, 1});
    EXPECT_EQ(heading(-100, 0, 100), "E");
    // Uncalibrated: XX. Texts are cut to the buffer and terminated.
    calibrate(0, {10, 20, 30}, unit);
    EXPECT_EQ(heading(0, 0, 100), "XX");
    EXPECT_EQ(heading(0, 0, 0, level, 2), "X");
    EXPECT_EQ(heading(0, 0, 0, level, 1), "");
    EXPECT_EQ(heading(0, 0, 0, level, 0), "untouched");
}

TEST_F(HeadingTest, TiltedHeadReadsTheSameDirection)
{
    EXPECT_EQ(heading(18794, 15000, -6840), "S");  // 200 degrees, level
    // The same field and gravity with the head rolled 15 and pitched -25
    // degrees; read as if level it would be 219 degrees, SW.
    const float tilted[3] = {-0.8754f, -0.2346f, -0.4226f};
    EXPECT_EQ(heading(15383, 15203, -12539, tilted), "S");
    EXPECT_EQ(heading(15383, 15203, -12539), "SW");
}

}  // namespace
