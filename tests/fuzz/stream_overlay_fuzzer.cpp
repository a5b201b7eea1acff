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
    static Picture frame(320, 180);
    renderer.draw(frame, {29.97, 30.0});
    renderer.draw(frame, {1e308, -1e308});
    if (frame.height() != 180 || frame.width() != 320 || frame.bytes.size() != 320 * 180 * 3 / 2)
        __builtin_trap();
    return 0;
}
