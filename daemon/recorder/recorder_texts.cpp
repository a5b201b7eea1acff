#include "recorder/recorder_texts.h"

#include <cstdio>
#include <mutex>

#include "core/settings.h"

namespace {

struct recorder_texts {
    std::mutex lock;  // the API thread sets, the display tick and the recorder read
    char operator_id[81];
    char title[81];
    char flow_direction[32];
    char filename[81];
};

recorder_texts texts;

template <size_t size>
void load(const char (&field)[size], char *buffer, size_t length)
{
    if (length == 0)
        return;
    std::lock_guard<std::mutex> hold(texts.lock);
    snprintf(buffer, length, "%s", field);
}

template <size_t size>
void set(char (&field)[size], const char *text, int item)
{
    std::lock_guard<std::mutex> hold(texts.lock);
    snprintf(field, size, "%s", text ? text : "");
    if (item >= 0)
        vx4_write_nv(item, field, size);
}

template <size_t size>
void read_item(char (&field)[size], int item)
{
    vx4_read_nv(item, field, size);
    field[size - 1] = '\0';
}

}  // namespace

void vx4_init_recorder_texts()
{
    std::lock_guard<std::mutex> hold(texts.lock);
    read_item(texts.operator_id, NV_OPERATOR_ID);
    read_item(texts.title, NV_TITLE);
    read_item(texts.flow_direction, NV_FLOW_DIRECTION);
    snprintf(texts.filename, sizeof texts.filename, "%s", texts.title);
}

void vx4_load_recorder_title(char *buffer, size_t length) { load(texts.title, buffer, length); }
void vx4_load_recorder_flow_direction(char *buffer, size_t length) { load(texts.flow_direction, buffer, length); }
void vx4_load_recorder_operator_id(char *buffer, size_t length) { load(texts.operator_id, buffer, length); }
void vx4_load_recorder_filename(char *buffer, size_t length) { load(texts.filename, buffer, length); }

void vx4_set_recorder_title(const char *text) { set(texts.title, text, NV_TITLE); }
void vx4_set_recorder_operator_id(const char *text) { set(texts.operator_id, text, NV_OPERATOR_ID); }
void vx4_set_recorder_flow_direction(const char *text) { set(texts.flow_direction, text, NV_FLOW_DIRECTION); }
void vx4_set_recorder_filename(const char *text) { set(texts.filename, text, -1); }
