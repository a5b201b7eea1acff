// The recorder's endpoints: start, pause, resume and stop a recording, mark
// and unmark still images, notes and metadata of videos, images and files,
// the list of recorded files with their copies and deletions, and the older
// recordings list.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http/http_server.h"

int api_post_recorder_start(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_recorder_stop(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_recorder_pause(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_recorder_resume(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_recorder_save(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_recorder_remove(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_recorder_files(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_recorder_copy(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_recorder_delete(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_recorder_video_metadata(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_recorder_video_note(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_get_recorder_image_metadata(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_recorder_image_note(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_post_recorder_file_metadata(http_connection *connection, const char *body, int64_t length, void *user_data);
int api_put_recorder_file_note(http_connection *connection, const char *body, int64_t length, void *user_data);
// GET /api/1.0/recordings.
int api_get_recordings(http_connection *connection, const char *body, int64_t length, void *user_data);

// A note as stored: printable ASCII only, at most size - 1 characters.
void api_filter_note(const char *text, char *note, size_t size);
