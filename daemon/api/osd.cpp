#include "api/osd.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>

#include "api/api_reply.h"
#include "core/trace.h"

namespace {

constexpr int dwell_limit = 999;

struct osd_switch {
    vx4_osd_item item;
    const char *key;
    const char *trace_format;
};

constexpr osd_switch switches[] = {
    {VX4_OSD_ZOOM, "zoom_osd", "osd zoom %d"},
    {VX4_OSD_FLOW_DIRECTION, "flow_direction_osd", "osd flow direction %d"},
    {VX4_OSD_DATE_TIME, "date_time_osd", "osd date time %d"},
    {VX4_OSD_COMPASS, "compass_osd", "osd compass %d"},
    {VX4_OSD_TITLE, "title_osd", "osd title %d"},
    {VX4_OSD_OPERATOR_ID, "operator_id_osd", "osd operator id %d"},
};

constexpr const osd_switch &switch_of(vx4_osd_item item)
{
    for (const osd_switch &entry : switches)
        if (entry.item == item)
            return entry;
    return switches[0];
}

// Index = the camera's title colour code.
constexpr const char *color_names[] = {"wht", "yel", "vio", "red", "cyn", "grn", "blu"};
constexpr int color_count = sizeof color_names / sizeof color_names[0];

}  // namespace

template <vx4_osd_item item>
int api_get_osd_switch(http_connection *connection, const char *, int64_t, void *)
{
    json_object *reply = json_object_new_object();
    if (reply)
        json_object_object_add(reply, switch_of(item).key, json_object_new_boolean(vx4_get_osd_item(item) != 0));
    return json_response_handler(connection, reply);
}

template <vx4_osd_item item>
int api_put_osd_switch(http_connection *connection, const char *body, int64_t length, void *)
{
    bool shown = false;
    json_object *request = api_read_json_body(connection, body, length);
    api_json_boolean(request, switch_of(item).key, &shown);
    json_object_put(request);
    trace(TRACE_HTTP_API, switch_of(item).trace_format, shown ? 1 : 0);
    vx4_set_osd_item(item, shown ? 1 : 0, 1);
    return api_reply_status(connection, "OK");
}

#define VX4_OSD_SWITCH(item)                                                                     \
    template int api_get_osd_switch<item>(http_connection *, const char *, int64_t, void *); \
    template int api_put_osd_switch<item>(http_connection *, const char *, int64_t, void *);
VX4_OSD_SWITCH(VX4_OSD_ZOOM)
VX4_OSD_SWITCH(VX4_OSD_FLOW_DIRECTION)
VX4_OSD_SWITCH(VX4_OSD_DATE_TIME)
VX4_OSD_SWITCH(VX4_OSD_COMPASS)
VX4_OSD_SWITCH(VX4_OSD_TITLE)
VX4_OSD_SWITCH(VX4_OSD_OPERATOR_ID)
#undef VX4_OSD_SWITCH

int api_get_osd_color(http_connection *connection, const char *, int64_t, void *)
{
    int color = vx4_get_osd_item(VX4_OSD_COLOR);
    return api_reply_text(connection, "osd_color", color >= 1 && color < color_count ? color_names[color] : "wht");
}

int api_put_osd_color(http_connection *connection, const char *body, int64_t length, void *)
{
    char name[4] = "";
    api_read_json_text(connection, body, length, "osd_color", name, sizeof name);
    trace(TRACE_HTTP_API, "osd color '%s'", name);
    for (int color = 0; color < color_count; ++color)
        if (strcmp(name, color_names[color]) == 0) {
            vx4_set_osd_item(VX4_OSD_COLOR, color, 1);
            return api_reply_status(connection, "OK");
        }
    return api_reply_status(connection, "BAD_REQUEST");
}

int api_get_osd_dwell(http_connection *connection, const char *, int64_t, void *)
{
    return api_reply_number_text(connection, "osd_dwell", vx4_get_osd_item(VX4_OSD_DWELL));
}

int api_put_osd_dwell(http_connection *connection, const char *body, int64_t length, void *)
{
    int32_t dwell = 0;
    int found = api_read_json_integer(connection, body, length, "osd_dwell", &dwell);
    trace(TRACE_HTTP_API, "osd dwell %d", found < 0 ? -1 : dwell);
    // An absent key sets no dwell.
    if (found < 0 || dwell < 0 || dwell > dwell_limit)
        return api_reply_status(connection, "BAD_REQUEST");
    vx4_set_osd_item(VX4_OSD_DWELL, dwell, 1);
    return api_reply_status(connection, "OK");
}
