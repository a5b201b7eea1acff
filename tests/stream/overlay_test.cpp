// Overlays from /tmp/overlays.json: what is drawn, where, and what is said
// about a file that is missing or wrong.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <opencv2/imgproc.hpp>

#include "overlay.h"
#include "support.h"

using vx4test::SandboxRoot;

namespace {

class Overlays : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.enter();
        messages = fopen(root.at("/messages").c_str(), "w");
        renderer = std::make_unique<OverlayRenderer>(root.at("/tmp/overlays.json"), messages);
    }
    void TearDown() override { fclose(messages); }

    cv::Mat grey_frame() const { return cv::Mat(720, 1280, CV_8UC3, cv::Scalar(200, 200, 200)); }
    bool draw(cv::Mat &frame, OverlayRates rates = {}) { return renderer->draw(frame, rates); }
    bool draw_fresh()
    {
        cv::Mat frame = grey_frame();
        return draw(frame);
    }
    std::string said() const
    {
        fflush(messages);
        return root.read("/messages");
    }
    // Writes the file with a modification time of its own, as a rewrite a
    // second later would.
    void write(const std::string &json)
    {
        root.write("/tmp/overlays.json", json);
        timespec times[2] = {{0, UTIME_OMIT}, {++stamp, 0}};
        utimensat(AT_FDCWD, root.at("/tmp/overlays.json").c_str(), times, 0);
    }

    SandboxRoot root;
    FILE *messages = nullptr;
    std::unique_ptr<OverlayRenderer> renderer;
    time_t stamp = 1700000000;
};

// Bounding box of the pixels whose first channel passes the test.
template <typename Test>
cv::Rect pixels_where(const cv::Mat &frame, Test test)
{
    int left = frame.cols, top = frame.rows, right = -1, bottom = -1;
    for (int y = 0; y < frame.rows; ++y)
        for (int x = 0; x < frame.cols; ++x)
            if (test(frame.at<cv::Vec3b>(y, x)[0])) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    return right < 0 ? cv::Rect() : cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

TEST_F(Overlays, TheAssetExampleIsCentredOnItsPointOverAHalfDarkBox)
{
    write(R"({"overlays":[{"x":50,"y":5,"type":"TEXT","value":"ASSET"}]})");
    cv::Mat frame = grey_frame();
    ASSERT_TRUE(draw(frame));

    cv::Rect changed = pixels_where(frame, [](uchar v) { return v != 200; });
    cv::Rect text = pixels_where(frame, [](uchar v) { return v > 200; });
    ASSERT_FALSE(changed.empty());
    ASSERT_FALSE(text.empty());
    // Box and text centred on (640, 36), the text a word wide.
    EXPECT_NEAR(changed.x + changed.width / 2.0, 640, 2);
    EXPECT_NEAR(changed.y + changed.height / 2.0, 37, 3);
    EXPECT_NEAR(text.x + text.width / 2.0, 640, 3);
    EXPECT_NEAR(text.y + text.height / 2.0, 36, 3);
    EXPECT_GT(text.width, 80);
    EXPECT_LT(text.width, 130);
    // The box is the frame at half brightness; text is half white over it.
    EXPECT_EQ(frame.at<cv::Vec3b>(changed.y + 1, changed.x + 1), cv::Vec3b(100, 100, 100));
    EXPECT_EQ(frame.at<cv::Vec3b>(changed.br().y - 2, changed.br().x - 2), cv::Vec3b(100, 100, 100));
    double brightest = 0;
    cv::minMaxLoc(frame, nullptr, &brightest);
    EXPECT_EQ(brightest, 228);  // (255 + 200) / 2
    // Nothing else moves.
    EXPECT_EQ(cv::countNonZero(frame(cv::Rect(0, 100, 1280, 620)).reshape(1) != 200), 0);
    EXPECT_EQ(said(), "/tmp/overlays.json updated\n");
}

TEST_F(Overlays, AMissingFileIsReportedOncePerDisappearance)
{
    EXPECT_FALSE(draw_fresh());
    EXPECT_FALSE(draw_fresh());
    EXPECT_EQ(said(), "Cannot stat /tmp/overlays.json\n");

    write(R"({"overlays":[{"x":10,"y":90,"type":"text","value":"A"}]})");
    cv::Mat frame = grey_frame();
    EXPECT_TRUE(draw(frame));
    EXPECT_TRUE(draw_fresh());
    EXPECT_NE(cv::countNonZero(frame.reshape(1) != 200), 0);

    root.remove("/tmp/overlays.json");
    cv::Mat untouched = grey_frame();
    EXPECT_FALSE(draw(untouched));
    EXPECT_FALSE(draw_fresh());
    EXPECT_EQ(cv::countNonZero(untouched.reshape(1) != 200), 0);
    EXPECT_EQ(said(), "Cannot stat /tmp/overlays.json\n/tmp/overlays.json updated\nCannot stat /tmp/overlays.json\n");
}

TEST_F(Overlays, EmptyMissingOrBrokenListsAreReportedOnceUntilTheFileChanges)
{
    write(R"({"overlays":[]})");
    EXPECT_FALSE(draw_fresh());
    EXPECT_FALSE(draw_fresh());
    EXPECT_EQ(said(), "/tmp/overlays.json updated\nNo overlays in /tmp/overlays.json\n");

    write(R"({"overlay":[{"x":1,"y":1,"type":"text","value":"A"}]})");
    EXPECT_FALSE(draw_fresh());
    EXPECT_FALSE(draw_fresh());
    write(R"({"overlays":{"x":1}})");  // not an array
    EXPECT_FALSE(draw_fresh());
    write(R"({"overlays":[{"x":1,)");
    EXPECT_FALSE(draw_fresh());
    EXPECT_FALSE(draw_fresh());
    EXPECT_EQ(said(), "/tmp/overlays.json updated\nNo overlays in /tmp/overlays.json\n"
                      "/tmp/overlays.json updated\nArray 'overlays' missing in /tmp/overlays.json\n"
                      "/tmp/overlays.json updated\nArray 'overlays' missing in /tmp/overlays.json\n"
                      "/tmp/overlays.json updated\nError parsing /tmp/overlays.json\n");

    write(R"({"overlays":[{"x":1,"y":1,"type":"text","value":"back"}]})");
    EXPECT_TRUE(draw_fresh());
}

TEST_F(Overlays, EntriesMissingKeysAreNamedOnEveryFrameAndSkipped)
{
    write(R"({"overlays":[{"x":20},{"type":"text","value":"no place"},{"x":50,"y":50,"type":"text","value":"ok"},
                          {"x":50,"y":80,"type":"image","value":"logo.png"},{"x":5,"y":5,"type":"banner","value":"?"},
                          7, null]})");
    EXPECT_TRUE(draw_fresh());
    std::string first = said();
    EXPECT_EQ(first, "/tmp/overlays.json updated\n"
                     "Missing 'y' tag in overlay\nMissing 'type' tag in overlay\nMissing 'value' tag in overlay\n"
                     "Missing 'x' tag in overlay\nMissing 'y' tag in overlay\n"
                     "Missing 'x' tag in overlay\nMissing 'y' tag in overlay\nMissing 'type' tag in overlay\n"
                     "Missing 'value' tag in overlay\n"
                     "Missing 'x' tag in overlay\nMissing 'y' tag in overlay\nMissing 'type' tag in overlay\n"
                     "Missing 'value' tag in overlay\n");
    cv::Mat frame = grey_frame();
    EXPECT_TRUE(draw(frame));
    EXPECT_EQ(said(), first + first.substr(strlen("/tmp/overlays.json updated\n")));
    // Only "ok" is drawn: image and unknown types draw nothing.
    cv::Rect changed = pixels_where(frame, [](uchar v) { return v != 200; });
    EXPECT_NEAR(changed.x + changed.width / 2.0, 640, 2);
    EXPECT_NEAR(changed.y + changed.height / 2.0, 361, 3);
}

TEST_F(Overlays, AbsurdPositionsAreDrawnOffThePicture)
{
    write(R"({"overlays":[{"x":1e300,"y":-1e300,"type":"text","value":"far"},{"x":"a","y":true,"type":"text","value":"x"}]})");
    EXPECT_TRUE(draw_fresh());
}

TEST(OverlayText, RateFormatsAreUsedOnlyWithExactlyOneFloatingPointConversion)
{
    for (const char *good : {"%.1f fps", "%f", "%e", "%G", "%a", "%lf", "%-8.2f|", "%+010.3f", "100%% %.0f", "% #g"})
        EXPECT_TRUE(rate_format_is_safe(good)) << good;
    for (const char *bad : {"", "fps", "%s fps", "%d", "%n", "%f %f", "%*f", "%.*f", "%Lf", "%1$f", "%", "%.1",
                            "%hf", "%.1234f", "%1234f", "%'f", "%%"})
        EXPECT_FALSE(rate_format_is_safe(bad)) << bad;

    OverlayRates rates{29.97, 14.5};
    EXPECT_EQ(overlay_text("queue_rate", "%.1f fps", rates, 0), "30.0 fps");
    EXPECT_EQ(overlay_text("DEQUEUE_RATE", "out %.2f", rates, 0), "out 14.50");
    EXPECT_EQ(overlay_text("queue_rate", "%s fps", rates, 0), "%s fps");
    EXPECT_EQ(overlay_text("queue_rate", "%f and %n", rates, 0), "%f and %n");
    EXPECT_EQ(overlay_text("queue_rate", "100%% %.0f", rates, 0), "100% 30");
    EXPECT_EQ(overlay_text("queue_rate", "%999.1f", rates, 0)->size(), 127u);  // one line, bounded
    // A megabyte of text would take the frame rate with it: every text is cut to one line.
    std::string long_text(1 << 20, 'x');
    EXPECT_EQ(*overlay_text("text", long_text, rates, 0), long_text.substr(0, 127));
    EXPECT_EQ(*overlay_text("queue_rate", "%s" + long_text, rates, 0), ("%s" + long_text).substr(0, 127));
}

TEST(OverlayText, TextsDatesAndTypesCompareWithoutCase)
{
    setenv("TZ", "UTC", 1);
    tzset();
    OverlayRates rates;
    time_t noon = 1700049600;  // 2023-11-15 12:00:00 UTC
    EXPECT_EQ(overlay_text("Time", "%H:%M:%S", rates, noon), "12:00:00");
    EXPECT_EQ(overlay_text("date", "%Y-%m-%d", rates, noon), "2023-11-15");
    EXPECT_EQ(overlay_text("date", std::string(150, 'x'), rates, noon), "");  // longer than 100
    EXPECT_EQ(overlay_text("tExT", "ASSET", rates, noon), "ASSET");
    EXPECT_FALSE(overlay_text("image", "logo.png", rates, noon));
    EXPECT_FALSE(overlay_text("textual", "x", rates, noon));
}

}  // namespace
