// The logger's history files live in a folder other software can write and
// may be cut short by a power cut: any bytes must load as a record or not at
// all, and a loaded record must store and load again unchanged.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "logger/logger_internal.h"

static bool same_statistics(const logger_history &a, const logger_history &b)
{
    bool same = a.total_runtime == b.total_runtime && a.session_count == b.session_count &&
                memcmp(a.warnings, b.warnings, sizeof a.warnings) == 0;
    for (int q = 0; q < LOGGER_QUANTITY_COUNT; ++q) {
        const logger_history_quantity &x = a.quantities[q], &y = b.quantities[q];
        same = same && x.max == y.max && x.min == y.min && x.avg_acc == y.avg_acc && x.avg_count == y.avg_count &&
               x.invalid == y.invalid;
    }
    return same;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // In a buffer of its own exact length, so a read past the end shows.
    std::string text(reinterpret_cast<const char *>(data), size);
    logger_history loaded;
    if (!logger_parse_history(text.data(), text.size(), &loaded))
        return 0;
    for (const logger_history_quantity &q : loaded.quantities)
        if (!std::isfinite(q.max) || !std::isfinite(q.min) || !std::isfinite(q.avg_acc))
            __builtin_trap();

    json_object *document = logger_build_history(loaded);
    if (!document)
        __builtin_trap();
    std::string stored = json_object_to_json_string_ext(document, JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(document);
    logger_history again;
    if (!logger_parse_history(stored.data(), stored.size(), &again) || !same_statistics(loaded, again) ||
        again.previous_id != static_cast<int32_t>(loaded.current_id) || again.current_id != loaded.current_id + 1)
        __builtin_trap();
    return 0;
}
