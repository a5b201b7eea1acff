// The overlay file is written by another program on the unit.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "overlay.h"

namespace {

char folder[] = "/tmp/vx4-overlay-fuzz-XXXXXX";

void remove_folder()
{
    unlink((std::string(folder) + "/overlays.json").c_str());
    rmdir(folder);
}

const std::string &overlay_file()
{
    static const std::string path = [] {
        if (!mkdtemp(folder))
            abort();
        atexit(remove_folder);
        return std::string(folder) + "/overlays.json";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *file = fopen(overlay_file().c_str(), "wb");
    if (!file)
        abort();
    fwrite(data, 1, size, file);
    fclose(file);

    static FILE *quiet = fopen("/dev/null", "w");
    OverlayRenderer renderer(overlay_file(), quiet);  // fresh: the file is parsed every time
    cv::Mat frame(180, 320, CV_8UC3, cv::Scalar(90, 120, 150));
    renderer.draw(frame, {29.97, 30.0});
    renderer.draw(frame, {1e308, -1e308});
    if (frame.rows != 180 || frame.cols != 320 || frame.type() != CV_8UC3)
        __builtin_trap();
    return 0;
}
