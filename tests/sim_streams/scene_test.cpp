// The simulated camera's picture: the frame time reads back from what a
// viewer receives, the title lines appear as the camera state holds them.
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

TEST(Scene, TitleLinesShowAsTheCameraStateHoldsThem)
{
    SceneRenderer scene(1280, 720);
    SimCameraView plain;
    cv::Mat without = scene.render(noon, 1, plain).clone();

    SimCameraView titled;
    titled.titles[2] = {"ABC", 4, 1, false, true};
    cv::Mat with = scene.render(noon, 1, titled).clone();
    cv::Mat difference;
    cv::absdiff(with, without, difference);
    cv::Rect area = scene.title_area(2, 4, 3);
    EXPECT_GT(cv::countNonZero(difference(area).reshape(1)), 300);
    difference(area).setTo(cv::Scalar::all(0));
    EXPECT_EQ(cv::countNonZero(difference.reshape(1)), 0);  // nothing outside the line's cells
    // Yellow glyphs: red and green high, blue low somewhere in the cells.
    bool yellow = false;
    for (int y = area.y; y < area.br().y; ++y)
        for (int x = area.x; x < area.br().x; ++x) {
            cv::Vec3b pixel = with.at<cv::Vec3b>(y, x);
            yellow |= pixel[2] > 230 && pixel[1] > 230 && pixel[0] < 40;
        }
    EXPECT_TRUE(yellow);

    titled.titles[2].shown = false;
    EXPECT_EQ(cv::countNonZero(cv::Mat(scene.render(noon, 1, titled) != without).reshape(1)), 0);

    // A blinking line is there for half of each second.
    titled.titles[2] = {"ABC", 4, 0, true, true};
    EXPECT_GT(cv::countNonZero(cv::Mat(scene.render(noon + 100, 1, titled) != scene.render(noon + 100, 1, plain).clone()).reshape(1)), 0);
    cv::Mat off_phase = scene.render(noon + 600, 1, plain).clone();
    EXPECT_EQ(cv::countNonZero(cv::Mat(scene.render(noon + 600, 1, titled) != off_phase).reshape(1)), 0);
}

TEST(Scene, TheSceneMovesAndACameraSwitchedOffShowsBlack)
{
    SceneRenderer scene(1280, 720);
    cv::Rect middle(0, 100, 1280, 500);
    cv::Mat first = scene.render(noon, 1, SimCameraView{})(middle).clone();
    cv::Mat later = scene.render(noon + 500, 16, SimCameraView{})(middle).clone();
    cv::Mat difference;
    cv::absdiff(first, later, difference);
    EXPECT_GT(cv::mean(difference)[0] + cv::mean(difference)[1] + cv::mean(difference)[2], 10);

    SimCameraView off;
    off.power = false;
    off.titles[5] = {"HIDDEN", 0, 0, false, true};
    EXPECT_EQ(cv::countNonZero(cv::Mat(scene.render(noon, 1, off)(middle)).reshape(1)), 0);
    EXPECT_EQ(frame_code::read(scene.render(noon, 1, off)), noon & frame_code::time_mask);
}

}  // namespace
