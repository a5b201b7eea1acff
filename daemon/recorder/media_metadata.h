// Media metadata: the descriptive values stamped into every recording and
// still image as an XMP packet built from a template, so that the files stay
// self-describing once copied off the head. JPEG stills carry it in an APP1
// segment; MP4 recordings in a top-level ISO `uuid` box appended at the end
// of the file, where no offset of the media moves, so stamping a recording of
// gigabytes writes a few kilobytes in place.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct vx4_media_metadata {
    char title[81];
    char operator_id[81];
    char date[16];            // start time's "YYYY-MM-DD"
    char time[16];            // start time's "HH-MM-SS"
    char flow_direction[32];
    char camera_model[16];
    char serial_number[16];
    char gps_latitude[16];
    char gps_longitude[16];
    char gps_time[16];
    char note[513];
};

constexpr char VX4_XMP_TEMPLATE[] = "/opt/orba/bin/xmp_template.txt";
// A new packet's size; a packet rewritten in place keeps its region's size.
constexpr size_t VX4_XMP_PACKET_SIZE = 2560;

// Date and time of a start_time text ("YYYY-MM-DD-HH-MM-SS").
void vx4_set_metadata_start_time(vx4_media_metadata *metadata, std::string_view start_time);

// Where a file holds its packet, and where a new one goes.
struct vx4_xmp_place {
    int64_t region = -1;          // first byte of the packet, -1 when there is none
    int64_t region_length = 0;
    int64_t holder = -1;          // the APP1 marker or the uuid box that holds the region
    int64_t insertion = -1;       // JPEG: marker a new APP1 goes in front of; MP4: end of moov
    int64_t end = 0;              // MP4: end of the last whole top-level box
    int64_t playable_end = 0;     // MP4: end of the last whole box that is not a moof
    int64_t partial = -1;         // MP4: a box that runs past the end of the file
    bool partial_is_xmp = false;  //   ... being a packet box cut short
    bool starts_with_ftyp = false;
};
void vx4_scan_jpeg(const unsigned char *data, size_t size, vx4_xmp_place *place);
using vx4_read_at = std::function<ssize_t(int64_t offset, void *buffer, size_t length)>;
void vx4_scan_mp4(const vx4_read_at &read_at, int64_t size, vx4_xmp_place *place);

// The packet for the metadata in size bytes: the XMP namespace identifier, the
// template with the values filled in, padding and the closing processing
// instruction. Empty when the values do not fit.
std::string vx4_build_xmp_packet(const vx4_media_metadata &metadata, const std::string &template_text,
                                 size_t size);
// The size a packet for these values needs at least.
size_t vx4_xmp_packet_need(const vx4_media_metadata &metadata, const std::string &template_text);
// Reads the values of a packet. 0, or -1 when it does not end properly.
int vx4_parse_xmp_packet(const char *data, size_t size, vx4_media_metadata *metadata);

// Writes the metadata into the ".jpg" or ".mp4" file at path (a mapped
// path): in place over an existing packet when it fits; a JPEG is otherwise
// rewritten whole with a new segment, an MP4 gets a new box at its end. 0 or
// -1 (another type, no place for a packet, a file that cannot be written,
// no template: a file then keeps the packet it has).
int vx4_write_xmp(const std::string &path, const vx4_media_metadata &metadata);
// Reads the metadata of such a file. 0 or -1.
int vx4_read_xmp(const std::string &path, vx4_media_metadata *metadata);

// The length of an MP4 that plays: without a last box cut short (a recording
// interrupted by a power cut) and without a fragment header whose media is
// missing. The whole size for a finished file or one that is not an MP4.
int64_t vx4_mp4_playable_length(int fd, int64_t size);
