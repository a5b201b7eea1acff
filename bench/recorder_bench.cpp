// The recorder's post-processing and XMP stamping of one recording, timed in
// this process; bench/recorder_post_processing runs it against cp.
//
//   recorder_bench post ROOT RECORDING   finishes RECORDING (hard-linked into
//                                        ROOT's eMMC work folder) as the
//                                        recovery at start does: duration,
//                                        WebVTT, copy to the store, record,
//                                        XMP, clean-up
//   recorder_bench stamp MP4 TEMPLATE    stamps XMP into MP4 in place
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/trace.h"
#include "platform.h"
#include "recorder/media_metadata.h"
#include "recorder/recorder.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Bytes this process wrote: through write calls, and down to the storage.
void io_counters(long long *written, long long *to_storage)
{
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value;
    while (io >> key >> value) {
        if (key == "wchar:")
            *written = value;
        else if (key == "write_bytes:")
            *to_storage = value;
    }
}

void write_text(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

int post(const char *root, const char *recording)
{
    setenv("VX4_ROOT", root, 1);
    setenv("VX4_CAMERA_HOST", "127.0.0.1", 1);
    if (vx4_platform_init("recorder_bench") != 0)
        return 1;
    init_trace();  // quiet unless ROOT/media/usb99/trace_mask asks
    const std::string id = "5f0c2a10-1a2b-11ef-8a00-0242ac120002";
    const std::string name = "Bench_2024-05-01-10-00-00.mp4";
    std::string work = vx4_path("/home/vx4/ApiVideos");
    std::string store = vx4_path("/media/usb99/ApiVideos");
    write_text(work + "/guid", id);
    write_text(store + "/" + id + ".json",
               R"({"id":")" + id + R"(","name":"Bench","asset_id":"Bench","start_time":"2024-05-01-10-00-00",)"
               R"("duration":"","files":[],"note":""})");
    if (link(recording, (work + "/" + name).c_str()) != 0) {
        perror("link");
        return 1;
    }
    struct stat st;
    stat(recording, &st);

    auto start = clock_type::now();
    vx4_create_recorder(nullptr);
    while (access((work + "/guid").c_str(), F_OK) == 0 || vx4_get_recorder_post_processing() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double elapsed = seconds_since(start);
    struct stat copy;
    if (stat((store + "/" + name).c_str(), &copy) != 0 || access((work + "/" + name).c_str(), F_OK) == 0) {
        fprintf(stderr, "post-processing did not finish the recording\n");
        return 1;
    }
    printf("post_processing bytes=%lld seconds=%.3f mb_per_s=%.1f\n", static_cast<long long>(st.st_size), elapsed,
           static_cast<double>(st.st_size) / 1e6 / elapsed);
    return 0;
}

int stamp(const char *path, const char *template_path)
{
    // The template as the daemon finds it, in a scratch root.
    char scratch[] = "/tmp/vx4-stamp-XXXXXX";
    if (!mkdtemp(scratch))
        return 1;
    setenv("VX4_ROOT", scratch, 1);
    setenv("VX4_CAMERA_HOST", "127.0.0.1", 1);
    vx4_platform_init("recorder_bench");
    std::string folder = std::string(scratch) + "/opt/orba/bin";
    std::filesystem::create_directories(folder);
    std::ifstream in(template_path);
    std::stringstream text;
    text << in.rdbuf();
    write_text(folder + "/xmp_template.txt", text.str());

    vx4_media_metadata metadata{};
    snprintf(metadata.title, sizeof metadata.title, "Bench");
    snprintf(metadata.note, sizeof metadata.note, "stamped by the benchmark");
    vx4_set_metadata_start_time(&metadata, "2024-05-01-10-00-00");
    sync();
    long long written_before = 0, storage_before = 0, written_after = 0, storage_after = 0;
    io_counters(&written_before, &storage_before);
    auto start = clock_type::now();
    int result = vx4_write_xmp(path, metadata);
    double elapsed = seconds_since(start);
    io_counters(&written_after, &storage_after);
    vx4_media_metadata back;
    bool readable = vx4_read_xmp(path, &back) == 0 && strcmp(back.note, metadata.note) == 0;
    std::filesystem::remove_all(scratch);
    printf("stamp result=%d readable=%d ms=%.2f written_bytes=%lld storage_bytes=%lld\n", result, readable,
           elapsed * 1000, written_after - written_before, storage_after - storage_before);
    return result == 0 && readable ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "post") == 0)
        return post(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "stamp") == 0)
        return stamp(argv[2], argv[3]);
    fprintf(stderr, "usage: %s post ROOT RECORDING | stamp MP4 TEMPLATE\n", argv[0]);
    return 2;
}
