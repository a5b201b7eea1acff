#include "api/recorder.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>

#include "api/api_reply.h"
#include "core/trace.h"
#include "power_board/power_board.h"
#include "recorder/recorder.h"
#include "recorder/recording_files.h"

namespace {

constexpr size_t note_size = sizeof(vx4_media_metadata::note);
constexpr size_t file_name_size = 81;

int reply_metadata(http_connection *connection, const vx4_media_metadata &m)
{
    json_object *reply = json_object_new_object();
    if (reply) {
        const std::pair<const char *, const char *> values[] = {
            {"metadata_title", m.title},
            {"metadata_id", m.operator_id},
            {"metadata_date", m.date},
            {"metadata_time", m.time},
            {"metadata_view", m.flow_direction},
            {"metadata_model", m.camera_model},
            {"metadata_sn", m.serial_number},
            {"metadata_gps_latitude", m.gps_latitude},
            {"metadata_gps_time", m.gps_time},
            {"metadata_gps_longitude", m.gps_longitude},
            {"metadata_note", m.note},
        };
        for (const auto &[key, value] : values)
            json_object_object_add(reply, key, json_object_new_string(value));
    }
    return json_response_handler(connection, reply);
}

// The body's note, filtered; the trace shows its first 16 characters.
void read_note(json_object *body, char (&note)[note_size], const char *format, const char *name = nullptr)
{
    json_object *value = nullptr;
    const char *raw = body && json_object_object_get_ex(body, "metadata_note", &value) ? json_object_get_string(value) : "";
    api_filter_note(raw, note, sizeof note);
    char shown[20];
    if (strlen(note) > 16)
        snprintf(shown, sizeof shown, "%.16s...", note);
    else
        snprintf(shown, sizeof shown, "%s", note);
    if (name)
        trace(TRACE_HTTP_API, format, name, shown);
    else
        trace(TRACE_HTTP_API, format, shown);
}

using note_setter = int (*)(const char *);

int put_note(http_connection *connection, const char *body, int64_t length, note_setter set, const char *format)
{
    json_object *request = api_read_json_body(connection, body, length);
    char note[note_size];
    read_note(request, note, format);
    json_object_put(request);
    return api_reply_status(connection, set(note) != 0 ? "BAD_REQUEST" : "OK");
}

}  // namespace

void api_filter_note(const char *text, char *note, size_t size)
{
    if (size == 0)
        return;
    size_t used = 0;
    for (const char *p = text ? text : ""; *p && used + 1 < size; ++p)
        if (*p >= 0x20 && *p <= 0x7E)
            note[used++] = *p;
    note[used] = '\0';
}

int api_post_recorder_start(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "start");
    return api_reply_result(connection, vx4_start_recorder() < 0 ? -1 : 0);
}

int api_post_recorder_stop(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "stop");
    return api_reply_result(connection, vx4_stop_recorder() < 0 ? -1 : 0);
}

int api_post_recorder_pause(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "pause");
    return api_reply_result(connection, vx4_pause_recorder() < 0 ? -1 : 0);
}

int api_post_recorder_resume(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "resume");
    return api_reply_result(connection, vx4_resume_recorder() < 0 ? -1 : 0);
}

int api_post_recorder_save(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "save");
    int result = vx4_save_recorder_image();
    // A fresh distance for the next image.
    if (vx4_power_board *board = power_board_instance)
        vx4_power_board_trigger_laser_reading(board);
    return api_reply_result(connection, result < 0 ? -1 : 0);
}

int api_post_recorder_remove(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "remove");
    return api_reply_result(connection, vx4_remove_recorder_image() < 0 ? -1 : 0);
}

int api_get_recorder_files(http_connection *connection, const char *, int64_t, void *)
{
    trace(TRACE_HTTP_API, "files");
    return json_response_handler(connection, vx4_get_recorder_files());
}

int api_post_recorder_copy(http_connection *connection, const char *body, int64_t length, void *)
{
    trace(TRACE_HTTP_API, "copy");
    return api_reply_handing_files(connection, body, length, vx4_copy_recorder_files);
}

int api_post_recorder_delete(http_connection *connection, const char *body, int64_t length, void *)
{
    trace(TRACE_HTTP_API, "delete");
    return api_reply_handing_files(connection, body, length, vx4_delete_recorder_files);
}

int api_get_recorder_video_metadata(http_connection *connection, const char *, int64_t, void *)
{
    vx4_media_metadata metadata;
    vx4_load_recorder_video_metadata(&metadata);
    return reply_metadata(connection, metadata);
}

int api_put_recorder_video_note(http_connection *connection, const char *body, int64_t length, void *)
{
    return put_note(connection, body, length, vx4_set_recorder_video_note, "video note '%s'");
}

int api_get_recorder_image_metadata(http_connection *connection, const char *, int64_t, void *)
{
    vx4_media_metadata metadata;
    vx4_load_recorder_image_metadata(&metadata);
    return reply_metadata(connection, metadata);
}

int api_put_recorder_image_note(http_connection *connection, const char *body, int64_t length, void *)
{
    return put_note(connection, body, length, vx4_set_recorder_image_note, "image note '%s'");
}

int api_post_recorder_file_metadata(http_connection *connection, const char *body, int64_t length, void *)
{
    char name[file_name_size] = "";
    api_read_json_text(connection, body, length, "file_name", name, sizeof name);
    trace(TRACE_HTTP_API, "post file note '%s'", name);
    vx4_media_metadata metadata;
    vx4_load_recorder_file_metadata(name, &metadata);
    return reply_metadata(connection, metadata);
}

int api_put_recorder_file_note(http_connection *connection, const char *body, int64_t length, void *)
{
    json_object *request = api_read_json_body(connection, body, length);
    char name[file_name_size] = "";
    api_json_string(request, "file_name", name, sizeof name);
    char note[note_size];
    read_note(request, note, "put file note '%s' '%s'", name);
    json_object_put(request);
    return api_reply_status(connection, vx4_set_recorder_file_note(name, note) != 0 ? "BAD_REQUEST" : "OK");
}

int api_get_recordings(http_connection *connection, const char *, int64_t, void *)
{
    return api_reply_json_closing(connection, vx4_get_recorder_recordings());
}
