// Recording records as the files list reads them from the store, where a
// stick may have brought anything.
#include <json-c/json.h>

#include <cstddef>
#include <cstdint>

#include "recorder/recording_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    json_object *result = json_object_new_array();
    vx4_list_recording_record(reinterpret_cast<const char *>(data), size, result);
    json_object_to_json_string(result);
    json_object_put(result);
    return 0;
}
