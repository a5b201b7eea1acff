#include "recorder/media_metadata.h"

#include "recorder/gps.h"
#include "recorder_fixture.h"

using namespace vx4test;

namespace {

vx4_media_metadata sample(const std::string &note = "a note")
{
    vx4_media_metadata m{};
    snprintf(m.title, sizeof m.title, "Main St \"north\" <2> & more");
    snprintf(m.operator_id, sizeof m.operator_id, "op 7");
    vx4_set_metadata_start_time(&m, "2024-03-05-14-07-09");
    snprintf(m.flow_direction, sizeof m.flow_direction, "UPSTREAM");
    snprintf(m.camera_model, sizeof m.camera_model, "VX4 Advanced");
    snprintf(m.serial_number, sizeof m.serial_number, "SN-1");
    snprintf(m.gps_latitude, sizeof m.gps_latitude, "48.11730");
    snprintf(m.gps_longitude, sizeof m.gps_longitude, "-11.51667");
    snprintf(m.gps_time, sizeof m.gps_time, "12:35:19.00 UTC");
    snprintf(m.note, sizeof m.note, "%s", note.c_str());
    return m;
}

// Every field, for a comparison that shows what differs.
std::string fields(const vx4_media_metadata &m)
{
    return std::string(m.title) + "|" + m.operator_id + "|" + m.date + "|" + m.time + "|" + m.flow_direction + "|" +
           m.camera_model + "|" + m.serial_number + "|" + m.gps_latitude + "|" + m.gps_longitude + "|" + m.gps_time +
           "|" + m.note;
}

void expect_same(const vx4_media_metadata &a, const vx4_media_metadata &b) { EXPECT_EQ(fields(a), fields(b)); }

std::string segment(unsigned char marker, const std::string &payload)
{
    size_t length = payload.size() + 2;
    return std::string{'\xFF', static_cast<char>(marker), static_cast<char>(length >> 8), static_cast<char>(length)} +
           payload;
}

// SOI, JFIF, Exif, tables, frame, scan data, EOI: enough for the scanner.
std::string jpeg(const std::string &extra_app1 = "")
{
    return std::string("\xFF\xD8", 2) + segment(0xE0, std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14)) + extra_app1 +
           segment(0xE1, std::string("Exif\0\0MM\0*", 10)) + segment(0xDB, std::string(65, '\x10')) +
           segment(0xC0, std::string("\x08\0\x10\0\x10\x01\x01\x11\0", 9)) + segment(0xDA, std::string("\x01\x01\0", 3)) +
           "scan\xFF\x00data" + std::string("\xFF\xD9", 2);
}

class MediaMetadata : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.enter();
        install_recorder_tools(root);
        template_text = read_file(VX4_XMP_TEMPLATE_SOURCE);
    }
    SandboxRoot root;
    std::string template_text;
};

TEST_F(MediaMetadata, PacketsKeepAnyTextAndTheirSize)
{
    std::string long_note(600, 'n');
    for (const std::string &note : {std::string("line\nbreak \"quoted\" <tag> &amp; 100%"), long_note, std::string()}) {
        vx4_media_metadata m = sample(note);
        std::string packet = vx4_build_xmp_packet(m, template_text, VX4_XMP_PACKET_SIZE);
        ASSERT_EQ(packet.size(), VX4_XMP_PACKET_SIZE);
        EXPECT_EQ(packet.compare(0, 29, std::string("http://ns.adobe.com/xap/1.0/\0", 29)), 0);
        EXPECT_EQ(packet.substr(packet.size() - 27), "<?xpacket end=\"w\"?>\r\n \r\n \r\n");
        vx4_media_metadata back;
        ASSERT_EQ(vx4_parse_xmp_packet(packet.data(), packet.size(), &back), 0);
        expect_same(back, m);
        EXPECT_EQ(strlen(back.note), std::min<size_t>(note.size(), 512));
    }
    // Values that need more room than the packet has do not fit: nothing is
    // cut into a packet that would not read back.
    vx4_media_metadata quotes = sample(std::string(512, '"'));
    EXPECT_EQ(vx4_build_xmp_packet(quotes, template_text, VX4_XMP_PACKET_SIZE), "");
    EXPECT_GT(vx4_xmp_packet_need(quotes, template_text), VX4_XMP_PACKET_SIZE);
    // A packet cut before its end does not read.
    std::string packet = vx4_build_xmp_packet(sample(), template_text, VX4_XMP_PACKET_SIZE);
    vx4_media_metadata back;
    EXPECT_EQ(vx4_parse_xmp_packet(packet.data(), packet.size() - 30, &back), -1);
}

TEST_F(MediaMetadata, JpegGetsItsPacketInFrontOfExifKeepsItsSizeWhenStampedAgainAndOutgrowsARegionTooSmall)
{
    std::string path = root.at("/still.jpg");
    std::string original = jpeg();
    root.write("/still.jpg", original);
    vx4_media_metadata m = sample();
    ASSERT_EQ(vx4_write_xmp(path, m), 0);
    std::string stamped = read_file(path);
    size_t exif = original.find("\xFF\xE1");
    ASSERT_EQ(stamped.size(), original.size() + 2564);
    EXPECT_EQ(stamped.substr(0, exif), original.substr(0, exif));
    EXPECT_EQ(stamped.substr(exif, 4), std::string("\xFF\xE1\x0A\x02", 4));  // 2562
    EXPECT_EQ(stamped.substr(exif + 2564), original.substr(exif));
    vx4_media_metadata back;
    ASSERT_EQ(vx4_read_xmp(path, &back), 0);
    expect_same(back, m);

    m = sample("second note");
    ASSERT_EQ(vx4_write_xmp(path, m), 0);
    EXPECT_EQ(file_size(path), static_cast<int64_t>(original.size() + 2564));
    ASSERT_EQ(vx4_read_xmp(path, &back), 0);
    EXPECT_STREQ(back.note, "second note");

    // Another writer's packet region, 100 bytes long, is replaced by one that fits.
    std::string small = segment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) + std::string(71, ' '));
    root.write("/small.jpg", jpeg(small));
    ASSERT_EQ(vx4_write_xmp(root.at("/small.jpg"), m), 0);
    EXPECT_EQ(file_size(root.at("/small.jpg")), static_cast<int64_t>(original.size() + 2564));
    ASSERT_EQ(vx4_read_xmp(root.at("/small.jpg"), &back), 0);
    expect_same(back, m);
}

TEST_F(MediaMetadata, Mp4GetsABoxAtItsEndAndStillPlays)
{
    for (mp4_layout layout : {mp4_layout::fragmented, mp4_layout::index_first}) {
        SCOPED_TRACE(layout == mp4_layout::fragmented ? "fragmented" : "index first");
        std::string path = root.at("/video.mp4");
        make_mp4(root, path, 2, layout);
        std::string original = read_file(path);
        vx4_media_metadata m = sample();
        ASSERT_EQ(vx4_write_xmp(path, m), 0);
        std::string stamped = read_file(path);
        ASSERT_EQ(stamped.size(), original.size() + 2584);
        EXPECT_EQ(stamped.substr(0, original.size()), original);  // not one byte of the media moved
        EXPECT_EQ(stamped.substr(original.size(), 8), std::string("\0\0\x0A\x18uuid", 8));
        EXPECT_EQ(decode_errors(root, path), "");
        EXPECT_NEAR(duration_of(root, path), 2.0, 0.1);
        vx4_media_metadata back;
        ASSERT_EQ(vx4_read_xmp(path, &back), 0);
        expect_same(back, m);

        // Stamped again: rewritten in place.
        ASSERT_EQ(vx4_write_xmp(path, sample("again")), 0);
        EXPECT_EQ(file_size(path), static_cast<int64_t>(stamped.size()));
        // Values too large for the box: a larger box follows, the old one
        // becomes free space.
        vx4_media_metadata large = sample(std::string(500, '<'));
        ASSERT_EQ(vx4_write_xmp(path, large), 0);
        std::string grown = read_file(path);
        EXPECT_EQ(grown.substr(original.size() + 4, 4), "free");
        ASSERT_EQ(vx4_read_xmp(path, &back), 0);
        EXPECT_STREQ(back.note, large.note);
        EXPECT_EQ(decode_errors(root, path), "");
    }
}

TEST_F(MediaMetadata, InterruptedRecordingIsCutToWhatPlays)
{
    std::string path = root.at("/cut.mp4");
    make_mp4(root, path, 3, mp4_layout::fragmented);
    int64_t whole = file_size(path);
    ASSERT_EQ(truncate(path.c_str(), whole - 1500), 0);
    int fd = open(path.c_str(), O_RDONLY);
    int64_t playable = vx4_mp4_playable_length(fd, whole - 1500);
    close(fd);
    EXPECT_GT(playable, whole / 3);
    EXPECT_LT(playable, whole - 1500);
    // No packet goes behind a box cut short: it would be taken for its end.
    EXPECT_EQ(vx4_write_xmp(path, sample()), -1);
    EXPECT_EQ(file_size(path), whole - 1500);
    // Cut there it plays (the recorder's recovery test) and is whole.
    ASSERT_EQ(truncate(path.c_str(), playable), 0);
    fd = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(vx4_mp4_playable_length(fd, playable), playable);
    close(fd);
}

TEST_F(MediaMetadata, FilesThatCannotCarryAPacketAreLeftAlone)
{
    root.write("/notes.vtt", "WEBVTT\n");
    EXPECT_EQ(vx4_write_xmp(root.at("/notes.vtt"), sample()), -1);
    EXPECT_EQ(root.read("/notes.vtt"), "WEBVTT\n");
    vx4_media_metadata back;
    EXPECT_EQ(vx4_read_xmp(root.at("/notes.vtt"), &back), -1);
    // Without the template a stamp would empty the packet: the file keeps it.
    root.write("/still.jpg", jpeg());
    ASSERT_EQ(vx4_write_xmp(root.at("/still.jpg"), sample()), 0);
    std::string stamped = root.read("/still.jpg");
    root.remove("/opt/orba/bin/xmp_template.txt");
    EXPECT_EQ(vx4_write_xmp(root.at("/still.jpg"), sample("lost")), -1);
    EXPECT_EQ(root.read("/still.jpg"), stamped);
}

TEST(GpsSentence, PositionsFromGgaSentencesOnly)
{
    struct Case {
        const char *sentence;
        int result;
        const char *latitude, *longitude, *time;
    };
    const Case cases[] = {
        {"$GPGGA,123519.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,", 0, "48.11730", "11.51667", "12:35:19.00 UTC"},
        {"$GPGGA,123519.00,4807.038,S,01131.000,W,1,08,0.9,545.4,M,46.9,M,,", 0, "-48.11730", "-11.51667", "12:35:19.00 UTC"},
        {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W", -1, nullptr, nullptr, nullptr},
        {"$GPGGA,123519.00,4807.038,N,01131.000", -1, nullptr, nullptr, nullptr},   // too few fields
        {"$GPGGA,123519.00,,,,,0,00,,,M,,M,,", -1, nullptr, nullptr, nullptr},       // no fix
        {"$GPGGA,123519.00,48o7.038,N,01131.000,E,1", -1, nullptr, nullptr, nullptr}, // not a number
        {"$GPGGA,123519.00,nan,N,01131.000,E,1", -1, nullptr, nullptr, nullptr},
    };
    vx4_set_recorder_gps_location("1.0", "2.0", "t");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sentence);
        EXPECT_EQ(vx4_set_recorder_gps_data(c.sentence), c.result);
        char sentence[81], latitude[21], longitude[21], time[21];
        vx4_load_recorder_gps_data(sentence, sizeof sentence);
        EXPECT_STREQ(sentence, c.sentence);
        vx4_load_recorder_gps_location(latitude, sizeof latitude, longitude, sizeof longitude, time, sizeof time);
        if (c.result == 0) {
            EXPECT_STREQ(latitude, c.latitude);
            EXPECT_STREQ(longitude, c.longitude);
            EXPECT_STREQ(time, c.time);
            vx4_set_recorder_gps_location("1.0", "2.0", "t");
        } else {
            EXPECT_STREQ(latitude, "1.0");  // a sentence that does not parse changes nothing
        }
    }
}

}  // namespace
