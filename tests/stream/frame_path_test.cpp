// From the decoder's planes to the JPEG: the range expansion on the way into
// the picture, and JPEG pictures made from the planes as they are.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "frame_reader.h"
#include "jpeg_encoder.h"

namespace {

TEST(FramePath, LimitedRangePlanesAreStretchedToFullRangeAndFullRangeOnesCopied)
{
    struct Case {
        uint8_t y, u, v;        // as the decoder gives them
        bool full_range;
        uint8_t want_y, want_u, want_v;
    };
    const Case cases[] = {
        {16, 128, 128, false, 0, 128, 128},     // black, no colour
        {235, 128, 128, false, 255, 128, 128},  // white
        {126, 16, 240, false, 128, 0, 255},     // mid grey luma, chroma at its ends
        {0, 0, 255, false, 0, 0, 255},          // outside the range: clipped
        {250, 250, 3, false, 255, 255, 0},
        {16, 40, 200, true, 16, 40, 200},       // already full range
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> u(32 * 24, c.u), v(32 * 24, c.v);
        // Decoder rows are padded beyond the picture's width.
        std::vector<uint8_t> padded_y(80 * 48, 77);
        for (int row = 0; row < 48; ++row)
            std::fill_n(padded_y.begin() + row * 80, 64, c.y);
        const uint8_t *planes[3] = {padded_y.data(), u.data(), v.data()};
        const int strides[3] = {80, 32, 32};
        Picture picture(64, 48);
        copy_to_full_range(planes, strides, c.full_range, picture);
        EXPECT_EQ(cv::countNonZero(picture.y != c.want_y), 0) << int(c.y);
        EXPECT_EQ(cv::countNonZero(picture.u != c.want_u), 0) << int(c.u);
        EXPECT_EQ(cv::countNonZero(picture.v != c.want_v), 0) << int(c.v);
    }
}

TEST(FramePath, JpegFromThePlanesShowsTheirColours)
{
    // Colour blocks, each 16 x 16, and a gradient of brightness.
    Picture picture(1280, 720);
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x)
            picture.y.at<uchar>(y, x) = static_cast<uchar>((x / 5 + y / 3) % 256);
    for (int y = 0; y < 360; ++y)
        for (int x = 0; x < 640; ++x) {
            picture.u.at<uchar>(y, x) = static_cast<uchar>(60 + 16 * ((x / 8) % 9));
            picture.v.at<uchar>(y, x) = static_cast<uchar>(60 + 16 * ((y / 8) % 9));
        }
    std::vector<uint8_t> jpeg;
    ASSERT_TRUE(encode_jpeg(picture, 55, jpeg));
    ASSERT_GT(jpeg.size(), 1000u);
    EXPECT_EQ(jpeg[0], 0xff);
    EXPECT_EQ(jpeg[1], 0xd8);
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xff);
    EXPECT_EQ(jpeg.back(), 0xd9);

    cv::Mat decoded = cv::imdecode(jpeg, cv::IMREAD_COLOR), u, v, ycrcb, expected;
    ASSERT_EQ(decoded.size(), cv::Size(1280, 720));
    cv::resize(picture.u, u, picture.y.size(), 0, 0, cv::INTER_NEAREST);
    cv::resize(picture.v, v, picture.y.size(), 0, 0, cv::INTER_NEAREST);
    cv::merge(std::vector<cv::Mat>{picture.y, v, u}, ycrcb);
    cv::cvtColor(ycrcb, expected, cv::COLOR_YCrCb2BGR);
    EXPECT_GT(cv::PSNR(decoded, expected), 30);
    cv::Scalar mean_difference = cv::mean(cv::abs(decoded - expected) + cv::abs(expected - decoded));
    for (int c = 0; c < 3; ++c)
        EXPECT_LT(mean_difference[c], 4) << "channel " << c;
    // The quality is taken: a better one takes more bytes.
    std::vector<uint8_t> better;
    ASSERT_TRUE(encode_jpeg(picture, 90, better));
    EXPECT_GT(better.size(), jpeg.size());
}

}  // namespace
