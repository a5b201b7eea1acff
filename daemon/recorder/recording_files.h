// The finished recordings in the store, described by their records: listed
// with where each file lies and how far its copy to the operator's stick
// has come; copied to the stick and deleted on two worker threads, one
// request at a time each, so that the API answers at once.
#pragma once

#include <json-c/json.h>

#include <cstddef>

// Starts the copy and delete threads. is_external_usb_mounted may be null
// (then the platform's view of the stick's mount). 0 or -1.
int vx4_start_recording_files(int (*is_external_usb_mounted)());

// One entry per file of every record, in directory order. An empty array
// when the store cannot be read; null when no array can be made.
json_object *vx4_get_recorder_files();
// Appends the entries of one record's text (the listing's reader of each
// record file). 0, or -1 when the text is not a record.
int vx4_list_recording_record(const char *text, size_t length, json_object *result);

// Hand an array of {"name"} (copy) or {"parent_id", "name"} (delete) objects
// to the worker. owner is the document holding the array; it becomes the
// recorder's in every case. 0 accepted, 1 busy with an earlier request, -1
// refused (no array; for a copy, no stick).
int vx4_copy_recorder_files(json_object *files, json_object *owner);
int vx4_delete_recorder_files(json_object *files, json_object *owner);

// The older recordings list, from /media/usb99/video.
json_object *vx4_get_recorder_recordings();
