#include "recorder/recording_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "core/trace.h"
#include "platform.h"
#include "recorder/recorder_io.h"

namespace {

constexpr size_t max_record = 1 << 20;

struct worker {
    std::mutex lock;
    std::condition_variable wake;
    bool busy = false;
    json_object *files = nullptr;
    json_object *owner = nullptr;
};

// Never destroyed: their threads wait on them until the process ends.
worker &copier = *new worker;
worker &deleter = *new worker;
int (*stick_mounted)() = nullptr;

std::string text_of(json_object *object, const char *key)
{
    json_object *value;
    if (!object || !json_object_object_get_ex(object, key, &value) || json_object_is_type(value, json_type_null))
        return "";
    const char *text = json_object_get_string(value);
    return text ? text : "";
}

bool has(json_object *object, const char *key)
{
    json_object *value;
    return object && json_object_object_get_ex(object, key, &value);
}

bool ends_with(const std::string &text, const char *suffix)
{
    size_t n = strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// A record file of the folder, parsed; null when it is none.
json_object *read_record(const std::string &path)
{
    std::string text;
    if (vx4_read_small_file(path, max_record, &text) != 0)
        return nullptr;
    json_object *record = json_tokener_parse(text.c_str());
    if (record && !json_object_is_type(record, json_type_object)) {
        json_object_put(record);
        record = nullptr;
    }
    return record;
}

// Calls visit(record) for every record in folder.
template <typename Visit>
void for_each_record(const char *folder, Visit visit)
{
    std::string path = vx4_path(folder);
    DIR *listing = opendir(path.c_str());
    if (!listing)
        return;
    while (dirent *entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name.size() <= 5 || !ends_with(name, ".json"))
            continue;
        if (json_object *record = read_record(path + "/" + name)) {
            visit(record);
            json_object_put(record);
        }
    }
    closedir(listing);
}

json_object *list_entry(json_object *record, json_object *file, size_t index)
{
    std::string parent = text_of(record, "id");
    char id[45];
    snprintf(id, sizeof id, "%s_%zu", parent.c_str(), index);
    json_object *entry = json_object_new_object();
    json_object_object_add(entry, "id", json_object_new_string(id));
    json_object_object_add(entry, "parent_id", json_object_new_string(parent.c_str()));
    json_object_object_add(entry, "path", json_object_new_string(text_of(file, "path").c_str()));
    json_object_object_add(entry, "name", json_object_new_string(text_of(file, "name").c_str()));
    json_object_object_add(entry, "asset_id", json_object_new_string(text_of(record, "asset_id").c_str()));
    json_object_object_add(entry, "start_time", json_object_new_string(text_of(record, "start_time").c_str()));
    return entry;
}

void add_place(json_object *entry, const char *store, int64_t size, const std::string &percent)
{
    if (store) {
        json_object_object_add(entry, "data_store", json_object_new_string(store));
        json_object_object_add(entry, "size", json_object_new_string(std::to_string(size).c_str()));
    }
    json_object_object_add(entry, "percent_copied", json_object_new_string(percent.c_str()));
}

std::string percent_text(double percent)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f %%", percent);
    return text;
}

void copy_one(json_object *object)
{
    std::string name = text_of(object, "name");
    trace(TRACE_RECORDER, "copy '%s'", name.c_str());
    if (!vx4_is_single_name(name)) {
        trace(TRACE_RECORDER, "bad name '%s'", name.c_str());
        return;
    }
    std::string to = vx4_recorder_path(VX4_RECORDER_STICK, name);
    struct stat st;
    if (lstat(to.c_str(), &st) == 0) {
        trace(TRACE_RECORDER, "file '%s' exists", name.c_str());
        return;
    }
    int in = vx4_open_for_reading(vx4_recorder_path(VX4_RECORDER_STORE, name));
    int out = in < 0 ? -1 : vx4_recorder_create(to);
    bool whole = out >= 0 && fstat(in, &st) == 0 && vx4_recorder_copy(in, out, st.st_size, nullptr) == st.st_size &&
                 fdatasync(out) == 0;
    if (out >= 0 && (close(out) != 0 || !whole)) {
        // A part copy must not stand on the stick as if whole: a later copy
        // would skip it for existing.
        trace(TRACE_RECORDER, "copy '%s' failed '%s'", name.c_str(), strerror(errno));
        unlink(to.c_str());
    }
    if (in >= 0)
        close(in);
}

void delete_one(json_object *object)
{
    std::string parent = text_of(object, "parent_id");
    std::string name = text_of(object, "name");
    trace(TRACE_RECORDER, "delete '%s' '%s'", parent.c_str(), name.c_str());
    if (!vx4_is_single_name(name)) {
        trace(TRACE_RECORDER, "bad name '%s'", name.c_str());
        return;
    }
    std::string record_path = vx4_recorder_path(VX4_RECORDER_STORE, parent + ".json");
    json_object *record = vx4_is_single_name(parent) ? read_record(record_path) : nullptr;
    std::string path = vx4_recorder_path(VX4_RECORDER_STORE, name);
    trace(TRACE_RECORDER, "rm '%s'", path.c_str());
    if (unlink(path.c_str()) == 0) {
        if (ends_with(name, ".mp4")) {
            std::string vtt = path.substr(0, path.size() - 4) + ".vtt";
            trace(TRACE_RECORDER, "rm '%s'", vtt.c_str());
            if (unlink(vtt.c_str()) != 0)
                trace(TRACE_RECORDER, "file '%s' missing", vtt.c_str());
        }
    } else {
        trace(TRACE_RECORDER, "file '%s' missing", path.c_str());
    }
    if (!record)
        return;
    json_object *kept = json_object_new_object();
    for (const char *key : {"id", "name", "asset_id", "start_time", "duration"}) {
        json_object *value;
        if (json_object_object_get_ex(record, key, &value))
            json_object_object_add(kept, key, json_object_get(value));
    }
    json_object *files = json_object_new_array();
    json_object *old_files;
    if (json_object_object_get_ex(record, "files", &old_files) && json_object_is_type(old_files, json_type_array)) {
        for (size_t i = 0; i < json_object_array_length(old_files); ++i) {
            json_object *file = json_object_array_get_idx(old_files, i);
            if (has(file, "name") && text_of(file, "name") == name)
                continue;
            if (!has(file, "path")) {
                trace(TRACE_RECORDER, "null, no add");
                continue;
            }
            json_object_array_add(files, json_object_get(file));
        }
    }
    if (json_object_array_length(files) > 0) {
        json_object_object_add(kept, "files", files);
        json_object *note;
        if (json_object_object_get_ex(record, "note", &note))
            json_object_object_add(kept, "note", json_object_get(note));
        vx4_replace_file(record_path, json_object_to_json_string_ext(kept, JSON_C_TO_STRING_NOSLASHESCAPE), VX4_REPLACE_SYNC);
    } else {
        json_object_put(files);
        trace(TRACE_RECORDER, "rm parent");
        unlink(record_path.c_str());
    }
    json_object_put(kept);
    json_object_put(record);
}

void run_worker(worker *w, const char *start, const char *end, void (*handle)(json_object *))
{
    for (;;) {
        json_object *files, *owner;
        {
            std::unique_lock<std::mutex> hold(w->lock);
            w->wake.wait(hold, [w] { return w->files != nullptr; });
            files = w->files;
            owner = w->owner;
        }
        // Worked on without the lock: a request meanwhile is answered busy
        // at once instead of waiting for the whole copy.
        trace(TRACE_RECORDER, "%s", start);
        for (size_t i = 0; i < json_object_array_length(files); ++i)
            handle(json_object_array_get_idx(files, i));
        std::lock_guard<std::mutex> hold(w->lock);
        json_object_put(owner);
        w->files = w->owner = nullptr;
        w->busy = false;
        trace(TRACE_RECORDER, "%s", end);
    }
}

int hand_over(worker *w, json_object *files, json_object *owner, bool allowed, const char *refusal)
{
    if (!files || !json_object_is_type(files, json_type_array) || !allowed) {
        trace(TRACE_RECORDER, refusal, -1);
        json_object_put(owner);
        return -1;
    }
    std::lock_guard<std::mutex> hold(w->lock);
    if (w->busy) {
        trace(TRACE_RECORDER, refusal, 1);
        json_object_put(owner);
        return 1;
    }
    w->busy = true;
    w->files = files;
    w->owner = owner;
    w->wake.notify_one();
    return 0;
}

}  // namespace

int vx4_start_recording_files(int (*is_external_usb_mounted)())
{
    stick_mounted = is_external_usb_mounted;
    try {
        std::thread(run_worker, &copier, "copy starting", "copy end", copy_one).detach();
        std::thread(run_worker, &deleter, "delete starting", "delete end", delete_one).detach();
    } catch (const std::system_error &) {
        return -1;
    }
    return 0;
}

json_object *vx4_get_recorder_files()
{
    json_object *result = json_object_new_array();
    if (!result)
        return nullptr;
    std::string folder = vx4_path(VX4_RECORDER_STORE);
    DIR *listing = opendir(folder.c_str());
    if (!listing)
        return result;
    while (dirent *entry = readdir(listing)) {
        std::string name = entry->d_name;
        std::string text;
        if (name.size() > 5 && ends_with(name, ".json") &&
            vx4_read_small_file(folder + "/" + name, max_record, &text) == 0)
            vx4_list_recording_record(text.data(), text.size(), result);
    }
    closedir(listing);
    return result;
}

int vx4_list_recording_record(const char *text, size_t length, json_object *result)
{
    json_tokener *tokener = json_tokener_new();
    json_object *record = tokener ? json_tokener_parse_ex(tokener, text, static_cast<int>(length)) : nullptr;
    json_tokener_free(tokener);
    json_object *files;
    if (!record || !json_object_is_type(record, json_type_object) || !json_object_object_get_ex(record, "files", &files) ||
        !json_object_is_type(files, json_type_array)) {
        json_object_put(record);
        return -1;
    }
    for (size_t i = 0; i < json_object_array_length(files); ++i) {
        json_object *file = json_object_array_get_idx(files, i);
        json_object *entry = list_entry(record, file, i);
        std::string name = text_of(file, "name");
        bool single = vx4_is_single_name(name);
        int64_t main = single ? vx4_recorder_file_size(vx4_recorder_path(VX4_RECORDER_STORE, name)) : -1;
        int64_t external = single ? vx4_recorder_file_size(vx4_recorder_path(VX4_RECORDER_STICK, name)) : -1;
        if (external < 0 && main < 0)
            add_place(entry, nullptr, 0, "");
        else if (external < 0)
            add_place(entry, "Main USB", main, "");
        else if (main < 0)
            add_place(entry, "External USB", external, "");  // on the stick only
        else if (external == main)
            add_place(entry, "External USB", external, percent_text(100.0));
        else
            add_place(entry, "Main USB", main, percent_text(main ? external * 100.0 / static_cast<double>(main) : 0.0));
        json_object_array_add(result, entry);
    }
    json_object_put(record);
    return 0;
}

int vx4_copy_recorder_files(json_object *files, json_object *owner)
{
    bool mounted = stick_mounted ? stick_mounted() != 0 : vx4_is_mounted(VX4_RECORDER_STICK);
    return hand_over(&copier, files, owner, mounted, "no copy %d");
}

int vx4_delete_recorder_files(json_object *files, json_object *owner)
{
    return hand_over(&deleter, files, owner, true, "no delete %d");
}

json_object *vx4_get_recorder_recordings()
{
    printf("get_recordings\n");
    json_object *result = json_object_new_array();
    if (!result)
        return nullptr;
    for_each_record(VX4_RECORDER_LEGACY, [&](json_object *record) {
        json_object *files;
        if (!json_object_object_get_ex(record, "files", &files) || !json_object_is_type(files, json_type_array))
            return;
        for (size_t i = 0; i < json_object_array_length(files); ++i) {
            json_object *file = json_object_array_get_idx(files, i);
            json_object *entry = list_entry(record, file, i);
            std::string path = text_of(file, "path");
            // A path inside the folders, never out of them.
            bool inside = !path.empty() && ("/" + path + "/").find("/../") == std::string::npos;
            for (char c : path)
                inside = inside && static_cast<unsigned char>(c) >= 0x20;
            auto size_in = [&](const char *folder) {
                return inside ? vx4_recorder_file_size(vx4_path(folder) + "/" + path) : -1;
            };
            int64_t emmc = size_in(VX4_RECORDER_VIDEOS);
            int64_t external = size_in(VX4_RECORDER_STICK);
            int64_t main = size_in(VX4_RECORDER_LEGACY);
            const char *store = nullptr;
            int64_t size = 0;
            double percent = -1;
            if (emmc >= 0) {
                store = "eMMC";
                size = emmc;
                if (main >= 0)
                    percent = emmc ? static_cast<double>(main) / static_cast<double>(emmc) : 0.0;
            } else if (main >= 0) {
                size = main;
                store = external == main ? "External USB" : "Main USB";
                if (external >= 0)
                    percent = external == main ? 1.0 : main ? static_cast<double>(external) / static_cast<double>(main) : 0.0;
            }
            if (store) {
                json_object_object_add(entry, "data_store", json_object_new_string(store));
                json_object_object_add(entry, "size", json_object_new_int64(size));
            }
            if (percent >= 0)
                json_object_object_add(entry, "percent_copied", json_object_new_double(percent));
            json_object_array_add(result, entry);
        }
    });
    printf("Writing files response\n");
    fflush(stdout);
    return result;
}
