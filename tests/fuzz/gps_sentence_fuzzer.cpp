// NMEA sentences from the operator's GPS, through the API.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "recorder/gps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string sentence(reinterpret_cast<const char *>(data), size);
    char latitude[21], longitude[21], time[21];
    if (vx4_parse_gps_sentence(sentence.c_str(), latitude, longitude, time, sizeof latitude) == 0 &&
        (strlen(latitude) > 20 || strlen(longitude) > 20 || strlen(time) > 20))
        __builtin_trap();
    return 0;
}
