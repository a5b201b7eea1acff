#include "core/settings.h"

#include <json-c/json.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "core/json_file.h"
#include "core/trace.h"
#include "platform.h"

namespace {

// The record, laid out in item order. Each text is followed by a byte that
// always stays zero, so a full-length text is still terminated.
struct nv_record {
    int32_t previous_id;
    int32_t current_id;
    int32_t date_time_osd;
    int32_t operator_id_osd;
    int32_t title_osd;
    int32_t flow_direction_osd;
    int32_t zoom_osd;
    int32_t compass_direction_osd;
    int32_t viewer_seats;
    char language[NV_LANGUAGE_SIZE + 1];
    int32_t camera_invert_image;
    int32_t camera_stabilize_image;
    int32_t camera_sensitivity;
    int32_t camera_ir_filter;
    int32_t camera_defog;
    char operator_id[NV_OPERATOR_ID_SIZE + 1];
    char title[NV_TITLE_SIZE + 1];
    char flow_direction[NV_FLOW_DIRECTION_SIZE + 1];
    int32_t osd_color;
    int32_t osd_delay;
    int32_t high_beam_time;
    int32_t pb_suspended;
    int32_t units;
    int32_t magnetometer_calibrated;
    double magnetometer[12];  // calibration x, y, z, then the ellipsoid row by row
};

enum class kind { integer, text, real };

struct item_info {
    const char *key;
    kind type;
    size_t offset;
    size_t size;
};

#define INT_ITEM(field) {#field, kind::integer, offsetof(nv_record, field), 4}
#define TEXT_ITEM(field, n) {#field, kind::text, offsetof(nv_record, field), n}
#define REAL_ITEM(key, i) {key, kind::real, offsetof(nv_record, magnetometer) + 8 * (i), 8}

const item_info items[NV_ITEM_COUNT] = {
    INT_ITEM(date_time_osd),
    INT_ITEM(operator_id_osd),
    INT_ITEM(title_osd),
    INT_ITEM(flow_direction_osd),
    INT_ITEM(zoom_osd),
    INT_ITEM(compass_direction_osd),
    INT_ITEM(viewer_seats),
    TEXT_ITEM(language, NV_LANGUAGE_SIZE),
    INT_ITEM(camera_invert_image),
    INT_ITEM(camera_stabilize_image),
    INT_ITEM(camera_sensitivity),
    INT_ITEM(camera_ir_filter),
    INT_ITEM(camera_defog),
    TEXT_ITEM(operator_id, NV_OPERATOR_ID_SIZE),
    TEXT_ITEM(title, NV_TITLE_SIZE),
    TEXT_ITEM(flow_direction, NV_FLOW_DIRECTION_SIZE),
    INT_ITEM(osd_color),
    INT_ITEM(osd_delay),
    INT_ITEM(high_beam_time),
    INT_ITEM(pb_suspended),
    INT_ITEM(units),
    INT_ITEM(magnetometer_calibrated),
    REAL_ITEM("magnetometer_calibration_x", 0),
    REAL_ITEM("magnetometer_calibration_y", 1),
    REAL_ITEM("magnetometer_calibration_z", 2),
    REAL_ITEM("magnetometer_ellipsoid_00", 3),
    REAL_ITEM("magnetometer_ellipsoid_01", 4),
    REAL_ITEM("magnetometer_ellipsoid_02", 5),
    REAL_ITEM("magnetometer_ellipsoid_10", 6),
    REAL_ITEM("magnetometer_ellipsoid_11", 7),
    REAL_ITEM("magnetometer_ellipsoid_12", 8),
    REAL_ITEM("magnetometer_ellipsoid_20", 9),
    REAL_ITEM("magnetometer_ellipsoid_21", 10),
    REAL_ITEM("magnetometer_ellipsoid_22", 11),
};

std::mutex record_lock;
nv_record record;
int file_in_force;  // 0: nv00.json, 1: nv01.json

constexpr const char *file_names[2] = {"/home/vx4/nv/nv00.json", "/home/vx4/nv/nv01.json"};
// Far above a whole record: a larger file is not one of ours.
constexpr size_t file_limit = 64 * 1024;

char *field(nv_record &image, const item_info &item)
{
    return reinterpret_cast<char *>(&image) + item.offset;
}

void set_defaults(nv_record &image)
{
    trace(TRACE_SETTINGS, "set defaults");
    image = nv_record{};
    image.previous_id = -1;
    image.current_id = 0;
    image.date_time_osd = 1;
    image.viewer_seats = 5;
    strcpy(image.language, "ENG");
    image.camera_stabilize_image = 1;
    image.camera_sensitivity = 1;
    image.camera_ir_filter = 2;
    image.camera_defog = 2;
    strcpy(image.operator_id, "VX4");
    strcpy(image.title, "ASSET");
    strcpy(image.flow_direction, "UPSTREAM");
    image.high_beam_time = 15;
    image.units = 1;
}

void load_image(nv_record &image, json_object *document)
{
    set_defaults(image);
    json_object *value;
    if (json_object_object_get_ex(document, "previous_id", &value) && value)
        image.previous_id = json_object_get_int(value);
    if (json_object_object_get_ex(document, "current_id", &value) && value)
        image.current_id = json_object_get_int(value);
    for (const item_info &item : items) {
        if (!json_object_object_get_ex(document, item.key, &value) || !value)
            continue;
        char *place = field(image, item);
        if (item.type == kind::integer) {
            int32_t n = json_object_get_int(value);
            memcpy(place, &n, sizeof n);
        } else if (item.type == kind::real) {
            double d = json_object_get_double(value);
            memcpy(place, &d, sizeof d);
        } else {
            const char *text = json_object_get_string(value);
            strncpy(place, text ? text : "", item.size);
        }
    }
}

// A file is valid when it parses and holds a non-zero values_valid. The
// caller owns the returned document.
json_object *read_valid_file(int index)
{
    json_object *document = vx4_read_json_file(file_names[index], file_limit);
    if (!document)
        return nullptr;
    json_object *valid;
    if (json_object_get_type(document) == json_type_object &&
        json_object_object_get_ex(document, "values_valid", &valid) && valid &&
        json_object_get_int(valid) != 0)
        return document;
    json_object_put(document);
    return nullptr;
}

json_object *item_value(const nv_record &image, const item_info &item)
{
    const char *place = reinterpret_cast<const char *>(&image) + item.offset;
    if (item.type == kind::integer) {
        int32_t n;
        memcpy(&n, place, sizeof n);
        return json_object_new_int(n);
    }
    if (item.type == kind::real) {
        double d;
        memcpy(&d, place, sizeof d);
        return json_object_new_double(d);
    }
    return json_object_new_string(place);
}

json_object *build_document(const nv_record &image)
{
    json_object *document = json_object_new_object();
    if (!document)
        return nullptr;
    auto add = [&](const char *key, json_object *value) {
        return value && json_object_object_add(document, key, value) == 0;
    };
    bool complete = add("previous_id", json_object_new_int(image.current_id)) &&
                    add("current_id", json_object_new_int(image.current_id + 1));
    for (const item_info &item : items)
        complete = complete && add(item.key, item_value(image, item));
    complete = complete && add("values_valid", json_object_new_int(1));
    if (!complete) {
        json_object_put(document);
        return nullptr;
    }
    return document;
}

// Saves the record into the file not in force; called under the lock.
void save_record()
{
    json_object *document = build_document(record);
    if (!document) {
        trace(TRACE_SETTINGS, "storage error");
        return;
    }
    int target = file_in_force ? 0 : 1;
    // Replaced whole and flushed with its folder: only then does the save count.
    int result = vx4_write_json_file(file_names[target], document, VX4_REPLACE_SYNC);
    json_object_put(document);
    if (result != 0) {
        trace(TRACE_SETTINGS, "storage failure %d", result);
        return;
    }
    record.previous_id = record.current_id;
    record.current_id += 1;
    file_in_force = target;
    trace(TRACE_SETTINGS, "stored %d to file %d", record.current_id, target);
}

}  // namespace

void vx4_init_nv()
{
    std::lock_guard<std::mutex> hold(record_lock);
    std::string folder = vx4_path("/home/vx4/nv");
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        trace(TRACE_SETTINGS, "create '%s'", folder.c_str());
        mkdir(folder.c_str(), 0755);
    }
    json_object *file0 = read_valid_file(0);
    json_object *file1 = read_valid_file(1);
    nv_record chosen;
    if (file0 && file1) {
        nv_record b, a;
        load_image(b, file0);
        load_image(a, file1);
        file_in_force = a.previous_id == b.current_id ? 1 : 0;
        chosen = file_in_force ? a : b;
    } else if (file0 || file1) {
        file_in_force = file0 ? 0 : 1;
        load_image(chosen, file0 ? file0 : file1);
    } else {
        set_defaults(chosen);
        record = chosen;
        file_in_force = 0;
        save_record();
        chosen = record;
    }
    json_object_put(file0);
    json_object_put(file1);
    record = chosen;
    trace(TRACE_SETTINGS, "start %d from file %d", record.current_id, file_in_force);
}

void vx4_read_nv(int id, void *buffer, size_t length)
{
    if (id < 0 || id >= NV_ITEM_COUNT)
        return;
    const item_info &item = items[id];
    std::lock_guard<std::mutex> hold(record_lock);
    if (length > item.size) {
        memset(buffer, 0, length);
        memcpy(buffer, field(record, item), item.size);
    } else {
        memcpy(buffer, field(record, item), length);
    }
}

void vx4_write_nv(int id, const void *buffer, size_t length)
{
    nv_write write = {id, buffer, length};
    vx4_write_nv_items(&write, 1);
}

void vx4_write_nv_items(const nv_write *writes, size_t count)
{
    std::lock_guard<std::mutex> hold(record_lock);
    bool changed = false;
    for (size_t i = 0; i < count; ++i) {
        if (writes[i].id < 0 || writes[i].id >= NV_ITEM_COUNT)
            continue;
        const item_info &item = items[writes[i].id];
        char *place = field(record, item);
        if (item.size > writes[i].length) {
            memset(place, 0, item.size);
            memcpy(place, writes[i].buffer, writes[i].length);
        } else {
            memcpy(place, writes[i].buffer, item.size);
        }
        changed = true;
    }
    if (changed)
        save_record();
}
