// The frame time the simulated camera draws into its picture reads back
// from what a viewer receives; the stream tests rely on it.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "frame_code.h"
#include "scene.h"

namespace {

constexpr uint64_t noon = 1700049600000;  // a wall-clock time in milliseconds

cv::Mat through_jpeg(const cv::Mat &picture, int flags)
{
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, 55});
    return cv::imdecode(jpeg, flags);
}

TEST(FrameCode, TheFrameTimeSurvivesScalingJpegAndAReducedDecode)
{
    for (cv::Size size : {cv::Size(1280, 720), cv::Size(1920, 1080)}) {
        SceneRenderer scene(size.width, size.height);
        for (uint64_t time : {noon, noon + 1, noon + 999, (uint64_t{1} << 40) - 1}) {
            cv::Mat picture = scene.render(time, 7, SimCameraView{}).clone();
            cv::resize(picture, picture, cv::Size(1280, 720), 0, 0, cv::INTER_LINEAR);
            EXPECT_EQ(frame_code::read(through_jpeg(picture, cv::IMREAD_COLOR)), time & frame_code::time_mask);
            EXPECT_EQ(frame_code::read(through_jpeg(picture, cv::IMREAD_REDUCED_GRAYSCALE_4)),
                      time & frame_code::time_mask);
        }
    }
}

TEST(FrameCode, PicturesWithoutACodeDoNotReadAsOne)
{
    for (double level : {0.0, 255.0, 128.0})
        EXPECT_FALSE(frame_code::read(cv::Mat(720, 1280, CV_8UC3, cv::Scalar::all(level))));
    SceneRenderer scene(1280, 720);
    cv::Mat picture = scene.render(noon, 1, SimCameraView{}).clone();
    ASSERT_TRUE(frame_code::read(picture));
    cv::Rect cell = frame_code::cell_area(picture.size(), 3);
    uchar level = picture.at<cv::Vec3b>(cell.y + cell.height / 2, cell.x + cell.width / 2)[0];
    picture(cell).setTo(cv::Scalar::all(255 - level));
    EXPECT_FALSE(frame_code::read(picture));  // one bit flipped
}

TEST(FrameCode, AgesCountAcrossTheWrap)
{
    EXPECT_EQ(frame_code::age(noon & frame_code::time_mask, noon + 42), 42);
    EXPECT_EQ(frame_code::age((noon + 10) & frame_code::time_mask, noon), -10);
    uint64_t wrap = uint64_t{1} << 40;
    EXPECT_EQ(frame_code::age(wrap - 5, wrap + 5), 10);
}

}  // namespace
