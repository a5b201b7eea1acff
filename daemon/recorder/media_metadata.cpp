#include "recorder/media_metadata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/trace.h"
#include "platform.h"
#include "recorder/recorder_io.h"

namespace {

// The XMP namespace identifier of JPEG APP1 segments, with its zero byte.
constexpr char identifier[] = "http://ns.adobe.com/xap/1.0/";
constexpr size_t identifier_size = sizeof identifier;  // 29
constexpr char packet_end[] = "<?xpacket end=\"w\"?>\r\n \r\n \r\n";
constexpr size_t packet_end_size = sizeof packet_end - 1;  // 27
constexpr char padding_marker[] = "<!-- XML whitespace as padding -->";
constexpr size_t template_line = 80;
constexpr size_t max_template = 64 << 10;
constexpr size_t max_jpeg = 32 << 20;
constexpr size_t max_region = 1 << 20;
// The XMP UUID for ISO media files, BE7ACFCB-97A9-42E8-9C71-999491E3AFAC.
constexpr unsigned char xmp_uuid[16] = {0xBE, 0x7A, 0xCF, 0xCB, 0x97, 0xA9, 0x42, 0xE8,
                                        0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC};

// Writers of one file must not interleave (a note set while post-processing
// stamps the same recording).
std::mutex write_lock;

enum field_id { TITLE, OPERATOR, SHOT_DATE, VIEW, MODEL, LABEL, LATITUDE, LONGITUDE, GPS_TIME, NOTE };

struct tagged_field {
    const char *tag;
    field_id id;
};

const tagged_field tags[] = {
    {"<exif:GPSTimeStamp>", GPS_TIME},   {"<exif:GPSLatitude>", LATITUDE}, {"<exif:GPSLongitude>", LONGITUDE},
    {"<xmpDM:cameraModel>", MODEL},      {"<xmpDM:cameraLabel>", LABEL},   {"<xmpDM:projectName>", TITLE},
    {"<xmpDM:composer>", OPERATOR},      {"<xmpDM:scene>", VIEW},          {"<xmpDM:shotDate>", SHOT_DATE},
    {"<xmpDM:comment>", NOTE},
};

template <size_t size>
void copy_field(char (&field)[size], std::string_view text)
{
    size_t n = std::min(text.size(), size - 1);
    memcpy(field, text.data(), n);
    field[n] = '\0';
}

const tagged_field *tag_of(std::string_view line)
{
    for (const tagged_field &tag : tags)
        if (line.find(tag.tag) != std::string_view::npos)
            return &tag;
    return nullptr;
}

std::string value_of(const vx4_media_metadata &m, field_id id)
{
    switch (id) {
    case TITLE: return m.title;
    case OPERATOR: return m.operator_id;
    case SHOT_DATE: return std::string(m.date) + " " + m.time;
    case VIEW: return m.flow_direction;
    case MODEL: return m.camera_model;
    case LABEL: return m.serial_number;
    case LATITUDE: return m.gps_latitude;
    case LONGITUDE: return m.gps_longitude;
    case GPS_TIME: return m.gps_time;
    case NOTE: return m.note;
    }
    return "";
}

// Values are element text between a pair of double quotes: markup, the
// quote and line ends are escaped, so that any text keeps the packet well
// formed and reads back unchanged.
std::string escape(std::string_view text)
{
    std::string out;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (byte < 0x20 || byte == 0x7F)
            out += "&#" + std::to_string(byte) + ";";
        else
            out += c;
    }
    return out;
}

std::string unescape(std::string_view text)
{
    static const std::pair<const char *, char> named[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        bool done = false;
        for (const auto &[entity, c] : named)
            if (text.substr(i, strlen(entity)) == entity) {
                out += c;
                i += strlen(entity) - 1;
                done = true;
                break;
            }
        if (!done && text.substr(i, 2) == "&#") {
            size_t semicolon = text.find(';', i);
            std::string digits(text.substr(i + 2, semicolon == std::string_view::npos ? 0 : semicolon - i - 2));
            if (!digits.empty() && digits.size() <= 3 &&
                std::all_of(digits.begin(), digits.end(), [](char d) { return isdigit(static_cast<unsigned char>(d)); }) &&
                std::stoi(digits) < 256) {
                out += static_cast<char>(std::stoi(digits));
                i = semicolon;
                done = true;
            }
        }
        if (!done)
            out += '&';
    }
    return out;
}

// The identifier and the filled template up to the padding marker.
std::string packet_body(const vx4_media_metadata &m, const std::string &template_text)
{
    std::string body(identifier, identifier_size);
    std::string_view rest = template_text;
    while (!rest.empty()) {
        size_t newline = rest.find('\n');
        std::string_view line = rest.substr(0, newline == std::string_view::npos ? rest.size() : newline + 1);
        rest.remove_prefix(line.size());
        line = line.substr(0, template_line);
        if (line.find(padding_marker) != std::string_view::npos)
            break;
        const tagged_field *tag = tag_of(line);
        if (!tag) {
            body += line;
            continue;
        }
        size_t open = line.find('"');
        size_t close = open == std::string_view::npos ? open : line.find('"', open + 1);
        if (close == std::string_view::npos)
            continue;  // a tagged line without its quotes is left out
        body += line.substr(0, open + 1);
        body += escape(value_of(m, tag->id));
        body += line.substr(close);
    }
    return body;
}

uint32_t be32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void put_be32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

enum file_type { OTHER, JPEG, MP4 };

file_type type_of(const std::string &path)
{
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return OTHER;
    std::string extension = path.substr(dot);
    for (char &c : extension)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return extension == ".JPG" ? JPEG : extension == ".MP4" ? MP4 : OTHER;
}


// A new packet: the usual size, or more when the values need it.
size_t new_packet_size(const vx4_media_metadata &m, const std::string &template_text)
{
    size_t need = vx4_xmp_packet_need(m, template_text);
    return need <= VX4_XMP_PACKET_SIZE ? VX4_XMP_PACKET_SIZE : (need + 511) / 512 * 512;
}

bool pwrite_all(int fd, const void *data, size_t length, int64_t offset)
{
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
        ssize_t put = pwrite(fd, p, length, offset);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        p += put;
        length -= static_cast<size_t>(put);
        offset += put;
    }
    return true;
}

vx4_read_at reader_of(int fd)
{
    return [fd](int64_t offset, void *buffer, size_t length) { return pread(fd, buffer, length, offset); };
}

int write_jpeg(const std::string &path, const vx4_media_metadata &m, const std::string &template_text)
{
    std::string data;
    if (vx4_read_small_file(path, max_jpeg, &data) != 0)
        return -1;
    vx4_xmp_place place;
    vx4_scan_jpeg(reinterpret_cast<const unsigned char *>(data.data()), data.size(), &place);
    if (place.region >= 0) {
        std::string packet = vx4_build_xmp_packet(m, template_text, static_cast<size_t>(place.region_length));
        if (!packet.empty()) {
            int fd = vx4_recorder_open_for_update(path);
            bool written = fd >= 0 && pwrite_all(fd, packet.data(), packet.size(), place.region) && fsync(fd) == 0;
            if (fd >= 0)
                close(fd);
            return written ? 0 : -1;
        }
    }
    // A new segment, in place of a region too small for the values.
    std::string packet = vx4_build_xmp_packet(m, template_text, new_packet_size(m, template_text));
    size_t at;
    if (place.region >= 0) {
        at = static_cast<size_t>(place.holder);
        data.erase(at, static_cast<size_t>(place.region + place.region_length) - at);
    } else if (place.insertion >= 0) {
        at = static_cast<size_t>(place.insertion);
    } else {
        return -1;
    }
    size_t length = packet.size() + 2;
    std::string segment = {'\xFF', '\xE1', static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)};
    data.insert(at, segment + packet);
    return vx4_replace_file(path, data, VX4_REPLACE_SYNC);
}

int write_mp4(const std::string &path, const vx4_media_metadata &m, const std::string &template_text)
{
    int fd = vx4_recorder_open_for_update(path);
    if (fd < 0)
        return -1;
    struct stat st;
    int result = -1;
    vx4_xmp_place place;
    if (fstat(fd, &st) == 0)
        vx4_scan_mp4(reader_of(fd), st.st_size, &place);
    // A packet box cut short by a crash during an earlier stamp goes; any
    // other box cut short means this is no whole MP4: leave it alone.
    if (place.partial >= 0 && place.partial_is_xmp && ftruncate(fd, place.partial) == 0)
        place.partial = -1;
    if (place.partial >= 0 || place.insertion < 0 || !place.starts_with_ftyp) {
        close(fd);
        return -1;
    }
    std::string packet;
    if (place.region >= 0)
        packet = vx4_build_xmp_packet(m, template_text, static_cast<size_t>(place.region_length));
    if (!packet.empty()) {
        result = pwrite_all(fd, packet.data(), packet.size(), place.region) && fsync(fd) == 0 ? 0 : -1;
    } else {
        // Appended: every offset of the media stays where it is. The new box
        // is whole on disk before an old, too small one is turned into free
        // space, so a crash leaves one readable packet.
        packet = vx4_build_xmp_packet(m, template_text, new_packet_size(m, template_text));
        unsigned char header[24];
        put_be32(header, static_cast<uint32_t>(packet.size() + sizeof header));
        memcpy(header + 4, "uuid", 4);
        memcpy(header + 8, xmp_uuid, sizeof xmp_uuid);
        packet.insert(0, reinterpret_cast<const char *>(header), sizeof header);
        bool written = pwrite_all(fd, packet.data(), packet.size(), place.end) && fsync(fd) == 0;
        if (written && place.region >= 0)
            written = pwrite_all(fd, "free", 4, place.holder + 4) && fsync(fd) == 0;
        result = written ? 0 : -1;
    }
    close(fd);
    return result;
}

}  // namespace

void vx4_set_metadata_start_time(vx4_media_metadata *metadata, std::string_view start_time)
{
    copy_field(metadata->date, start_time.substr(0, 10));
    copy_field(metadata->time, start_time.size() > 11 ? start_time.substr(11, 8) : std::string_view());
}

void vx4_scan_jpeg(const unsigned char *data, size_t size, vx4_xmp_place *place)
{
    *place = vx4_xmp_place();
    size_t pos = 0;
    while (pos + 1 < size) {
        if (data[pos] != 0xFF || data[pos + 1] == 0xFF) {  // a fill byte before a marker
            ++pos;
            continue;
        }
        unsigned char marker = data[pos + 1];
        if (marker == 0xDA)  // start of scan: the segments are behind
            return;
        bool has_length = marker == 0xC0 || marker == 0xC2 || marker == 0xC4 || marker == 0xDB || marker >= 0xE0;
        if (!has_length) {
            pos += 2;
            continue;
        }
        if (pos + 4 > size)
            return;
        size_t length = static_cast<size_t>(data[pos + 2]) << 8 | data[pos + 3];
        if (length < 2 || pos + 2 + length > size)
            return;
        if (marker == 0xE1) {
            bool xmp = length - 2 >= identifier_size && memcmp(data + pos + 4, identifier, identifier_size) == 0;
            if (xmp && place->region < 0) {
                place->region = static_cast<int64_t>(pos + 4);
                place->region_length = static_cast<int64_t>(length - 2);
                place->holder = static_cast<int64_t>(pos);
            } else if (!xmp) {
                place->insertion = static_cast<int64_t>(pos);  // in front of the last other APP1
            }
        } else if ((marker == 0xDB || (marker >= 0xE0 && (marker & 0x0F) >= 2)) && place->insertion < 0) {
            place->insertion = static_cast<int64_t>(pos);
        }
        pos += 2 + length;
    }
}

void vx4_scan_mp4(const vx4_read_at &read_at, int64_t size, vx4_xmp_place *place)
{
    *place = vx4_xmp_place();
    // Box headers are read through a window: a fragment's header and the
    // header of its media box behind it come with one read.
    unsigned char window[4096];
    int64_t window_start = 0;
    size_t window_length = 0;
    int64_t pos = 0;
    while (pos < size) {
        if (pos < window_start || pos + 32 > window_start + static_cast<int64_t>(window_length)) {
            ssize_t got = read_at(pos, window, sizeof window);
            window_start = pos;
            window_length = got > 0 ? static_cast<size_t>(got) : 0;
        }
        const unsigned char *head = window + (pos - window_start);
        int64_t got = std::min<int64_t>(32, window_start + static_cast<int64_t>(window_length) - pos);
        int64_t box = got >= 8 ? be32(head) : 0;
        int64_t header = 8;
        if (got >= 8 && box == 1) {
            header = 16;
            box = got >= 16 ? static_cast<int64_t>(static_cast<uint64_t>(be32(head + 8)) << 32 | be32(head + 12)) : 0;
        } else if (got >= 8 && box == 0) {
            box = size - pos;  // the last box, up to the end of the file
        }
        if (got < 8 || box < header) {
            place->partial = pos;
            return;
        }
        bool xmp = memcmp(head + 4, "uuid", 4) == 0 && got >= header + 16 && box >= header + 16 &&
                   memcmp(head + header, xmp_uuid, sizeof xmp_uuid) == 0;
        if (box > size - pos) {
            place->partial = pos;
            place->partial_is_xmp = xmp;
            return;
        }
        if (pos == 0)
            place->starts_with_ftyp = memcmp(head + 4, "ftyp", 4) == 0;
        if (xmp && place->region < 0) {
            place->region = pos + header + 16;
            place->region_length = box - header - 16;
            place->holder = pos;
        }
        if (memcmp(head + 4, "moov", 4) == 0)
            place->insertion = pos + box;
        bool fragment_header = memcmp(head + 4, "moof", 4) == 0;
        pos += box;
        place->end = pos;
        if (!fragment_header)
            place->playable_end = pos;
    }
}

size_t vx4_xmp_packet_need(const vx4_media_metadata &metadata, const std::string &template_text)
{
    return packet_body(metadata, template_text).size() + packet_end_size;
}

std::string vx4_build_xmp_packet(const vx4_media_metadata &metadata, const std::string &template_text, size_t size)
{
    std::string packet = packet_body(metadata, template_text);
    if (packet.size() + packet_end_size > size)
        return "";
    size_t left = size - packet.size() - packet_end_size;
    while (left > 0) {
        size_t line = std::min<size_t>(left, template_line);
        if (line >= 2)
            packet.append(line - 2, ' ').append("\r\n");
        else
            packet += ' ';
        left -= line;
    }
    packet.append(packet_end, packet_end_size);
    return packet;
}

int vx4_parse_xmp_packet(const char *data, size_t size, vx4_media_metadata *m)
{
    *m = vx4_media_metadata();
    std::string_view rest(data, size);
    while (!rest.empty()) {
        size_t newline = rest.find('\n');
        std::string_view line = rest.substr(0, newline);
        rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
        if (line.find("<?xpacket end") != std::string_view::npos)
            return 0;
        const tagged_field *tag = tag_of(line);
        size_t open = line.find('"');
        size_t close = open == std::string_view::npos ? open : line.find('"', open + 1);
        if (!tag || close == std::string_view::npos)
            continue;
        std::string value = unescape(line.substr(open + 1, close - open - 1));
        switch (tag->id) {
        case TITLE: copy_field(m->title, value); break;
        case OPERATOR: copy_field(m->operator_id, value); break;
        case VIEW: copy_field(m->flow_direction, value); break;
        case MODEL: copy_field(m->camera_model, value); break;
        case LABEL: copy_field(m->serial_number, value); break;
        case LATITUDE: copy_field(m->gps_latitude, value); break;
        case LONGITUDE: copy_field(m->gps_longitude, value); break;
        case GPS_TIME: copy_field(m->gps_time, value); break;
        case NOTE: copy_field(m->note, value); break;
        case SHOT_DATE: {
            size_t space = value.find(' ');
            copy_field(m->date, std::string_view(value).substr(0, space));
            copy_field(m->time, space == std::string::npos ? "" : std::string_view(value).substr(space + 1));
            break;
        }
        }
    }
    return -1;
}

int vx4_write_xmp(const std::string &path, const vx4_media_metadata &metadata)
{
    std::lock_guard<std::mutex> hold(write_lock);
    // Without its template a packet would carry no values: a file keeps the
    // packet it has rather than get an empty one.
    std::string template_text;
    int result = -1;
    file_type type = type_of(path);
    if (vx4_read_small_file(vx4_path(VX4_XMP_TEMPLATE), max_template, &template_text) != 0)
        trace(TRACE_RECORDER, "no xmp template");
    else if (type == JPEG)
        result = write_jpeg(path, metadata, template_text);
    else if (type == MP4)
        result = write_mp4(path, metadata, template_text);
    trace(TRACE_RECORDER, "write xmp md %d", result);
    return result;
}

int vx4_read_xmp(const std::string &path, vx4_media_metadata *metadata)
{
    *metadata = vx4_media_metadata();
    file_type type = type_of(path);
    int fd = type == OTHER ? -1 : vx4_open_for_reading(path);
    if (fd < 0) {
        if (type != OTHER)
            trace(TRACE_RECORDER, "xmp read open fail");
        trace(TRACE_RECORDER, "read xmp md %d", -1);
        return -1;
    }
    std::string region;
    struct stat st;
    vx4_xmp_place place;
    if (fstat(fd, &st) == 0) {
        if (type == MP4) {
            vx4_scan_mp4(reader_of(fd), st.st_size, &place);
        } else if (static_cast<uint64_t>(st.st_size) <= max_jpeg) {
            std::string data(static_cast<size_t>(st.st_size), '\0');
            if (pread(fd, data.data(), data.size(), 0) == st.st_size)
                vx4_scan_jpeg(reinterpret_cast<const unsigned char *>(data.data()), data.size(), &place);
        }
    }
    if (place.region >= 0) {
        region.resize(static_cast<size_t>(std::min<int64_t>(place.region_length, max_region)));
        ssize_t got = pread(fd, region.data(), region.size(), place.region);
        region.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    close(fd);
    int result = place.region >= 0 ? vx4_parse_xmp_packet(region.data(), region.size(), metadata) : -1;
    trace(TRACE_RECORDER, "read xmp md %d", result);
    return result;
}

int64_t vx4_mp4_playable_length(int fd, int64_t size)
{
    vx4_xmp_place place;
    vx4_scan_mp4(reader_of(fd), size, &place);
    bool cut_short = place.partial >= 0 || place.playable_end < place.end;
    return place.starts_with_ftyp && cut_short && place.playable_end > 0 ? place.playable_end : size;
}
