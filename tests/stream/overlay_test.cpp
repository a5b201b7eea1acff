// Overlays from /tmp/overlays.json: what is drawn, where, and what is said
// about a file that is missing or wrong.

#include <opencv2/imgproc.hpp>
#include <tuple>

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

    static Picture grey_frame()
    {
        Picture frame(1280, 720);
        frame.y.setTo(200);
        frame.u.setTo(128);
        frame.v.setTo(128);
        return frame;
    }
    bool draw(Picture &frame, OverlayRates rates = {}) { return renderer->draw(frame, rates); }
    bool draw_fresh()
    {
        Picture frame = grey_frame();
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

// Bounding box of the pixels whose brightness passes the test.
template <typename Test>
cv::Rect pixels_where(const Picture &frame, Test test)
{
    int left = frame.width(), top = frame.height(), right = -1, bottom = -1;
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            if (test(frame.y.at<uchar>(y, x))) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    return right < 0 ? cv::Rect() : cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

// Where it goes; how it looks is the next test's.
TEST_F(Overlays, TheAssetExampleIsCentredOnItsPoint)
{
    write(R"({"overlays":[{"x":50,"y":5,"type":"TEXT","value":"ASSET"}]})");
    Picture frame = grey_frame();
    ASSERT_TRUE(draw(frame));
    cv::Rect changed = pixels_where(frame, [](uchar v) { return v != 200; });
    cv::Rect text = pixels_where(frame, [](uchar v) { return v > 200; });
    // Box and text centred on (640, 36), the text a word wide.
    EXPECT_NEAR(changed.x + changed.width / 2.0, 640, 2);
    EXPECT_NEAR(changed.y + changed.height / 2.0, 37, 3);
    EXPECT_NEAR(text.x + text.width / 2.0, 640, 3);
    EXPECT_NEAR(text.y + text.height / 2.0, 36, 3);
    EXPECT_GT(text.width, 80);
    EXPECT_LT(text.width, 130);
}

// A full-range YCbCr picture as BGR, chroma repeated over its 2 x 2 pixels.
cv::Mat to_bgr(const Picture &frame)
{
    cv::Mat u, v, ycrcb, bgr;
    cv::resize(frame.u, u, frame.y.size(), 0, 0, cv::INTER_NEAREST);
    cv::resize(frame.v, v, frame.y.size(), 0, 0, cv::INTER_NEAREST);
    cv::merge(std::vector<cv::Mat>{frame.y, v, u}, ycrcb);
    cv::cvtColor(ycrcb, bgr, cv::COLOR_YCrCb2BGR);
    return bgr;
}

TEST_F(Overlays, LookAsWhenDrawnOnACopyOfTheColourPictureAndAddedAtHalfWeight)
{
    write(R"({"overlays":[{"x":50,"y":5,"type":"text","value":"ASSET 12 gjpqy"},
                          {"x":20,"y":60,"type":"text","value":"Wg"},{"x":21,"y":62,"type":"text","value":"overlap"}]})");
    Picture frame(1280, 720);
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x)
            frame.y.at<uchar>(y, x) = static_cast<uchar>(60 + (x * 7 + y * 3) % 130);
    for (int y = 0; y < 360; ++y)
        for (int x = 0; x < 640; ++x) {
            frame.u.at<uchar>(y, x) = static_cast<uchar>(104 + (x * 5) % 48);
            frame.v.at<uchar>(y, x) = static_cast<uchar>(104 + (y * 3 + x) % 48);
        }
    // How the overlays were drawn on BGR frames: boxes and texts on a copy,
    // then half of each.
    cv::Mat before = to_bgr(frame), copy = before.clone(), expected;
    for (auto [text, px, py] : {std::tuple{"ASSET 12 gjpqy", 640.0, 36.0}, {"Wg", 256.0, 432.0},
                                {"overlap", 268.8, 446.4}}) {
        OverlayPlacement place = place_overlay_text(text, px, py);
        cv::rectangle(copy, cv::Point(place.x0 - 4, place.y0 + 7),
                      cv::Point(place.x0 + place.size.width + 4, place.y0 - place.size.height - 4),
                      cv::Scalar(0, 0, 0), cv::FILLED, cv::LINE_8);
        cv::putText(copy, text, cv::Point(place.x0, place.y0), cv::FONT_HERSHEY_DUPLEX, 1.0,
                    cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
    }
    cv::addWeighted(copy, 0.5, before, 0.5, 0, expected);

    ASSERT_TRUE(draw(frame));
    cv::Mat drawn = to_bgr(frame), expected_ycrcb, drawn_ycrcb, difference;
    cv::cvtColor(expected, expected_ycrcb, cv::COLOR_BGR2YCrCb);
    cv::cvtColor(drawn, drawn_ycrcb, cv::COLOR_BGR2YCrCb);
    std::vector<cv::Mat> want, got;
    cv::split(expected_ycrcb, want);
    cv::split(drawn_ycrcb, got);
    double worst = 0;
    cv::absdiff(want[0], got[0], difference);
    cv::minMaxLoc(difference, nullptr, &worst);
    EXPECT_LE(worst, 3) << "brightness";
    // Colour over whole chroma samples, as the JPEG keeps it.
    for (int c : {1, 2}) {
        cv::Mat want_chroma, got_chroma;
        cv::resize(want[c], want_chroma, frame.u.size(), 0, 0, cv::INTER_AREA);
        cv::resize(got[c], got_chroma, frame.u.size(), 0, 0, cv::INTER_AREA);
        cv::absdiff(want_chroma, got_chroma, difference);
        cv::minMaxLoc(difference, nullptr, &worst);
        EXPECT_LE(worst, 3) << "colour " << c;
    }
    // nothing to compare when nothing was drawn
    EXPECT_GT(cv::norm(expected, before, cv::NORM_L1), 1e5);
}

TEST_F(Overlays, AMissingFileIsReportedOncePerDisappearance)
{
    EXPECT_FALSE(draw_fresh());
    EXPECT_FALSE(draw_fresh());
    EXPECT_EQ(said(), "Cannot stat /tmp/overlays.json\n");

    write(R"({"overlays":[{"x":10,"y":90,"type":"text","value":"A"}]})");
    Picture frame = grey_frame();
    EXPECT_TRUE(draw(frame));
    EXPECT_TRUE(draw_fresh());
    EXPECT_NE(cv::countNonZero(frame.y != 200), 0);

    root.remove("/tmp/overlays.json");
    Picture untouched = grey_frame();
    EXPECT_FALSE(draw(untouched));
    EXPECT_FALSE(draw_fresh());
    EXPECT_EQ(cv::countNonZero(untouched.y != 200), 0);
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
    Picture frame = grey_frame();
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
